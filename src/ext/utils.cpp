// The exported native utilities, linked into _quadra and _alkali: plain C entry points for
// native callers, declared in exokern/exokern.h. They read the arrays they are handed without
// checking them (the header states what the caller guarantees) and never touch the
// interpreter.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "exokern/exokern.h"
#include "exokern/resample.hpp"
#include "exokern/search.hpp"
#include "exokern/transfer.hpp"
#include "frame.hpp"

using exokern::ext::raw_matrix;
using exokern::ext::raw_vector;

extern "C" {

EXOKERN_API int pyramidsearch(PyObject* array, int lo, int hi, double value) {
    return int(exokern::pyramidsearch(raw_vector<const double>(array), lo, hi, value));
}

EXOKERN_API int binsearchapprox(PyObject* array, int lo, int hi, double value) {
    return int(exokern::binsearchapprox(raw_vector<const double>(array), lo, hi, value));
}

EXOKERN_API int valueinarray(PyObject* array, int value, int n) {
    return int(exokern::valueinarray(raw_vector<const int>(array), value, n));
}

EXOKERN_API int imax(PyObject* array) {
    return int(exokern::imax(raw_vector<const int>(array)));
}

EXOKERN_API int resample(double** rows, PyObject* out, int n, int step, int row) {
    exokern::resample(rows[row], raw_matrix<double>(out), n, step, row);
    return 0;
}

EXOKERN_API int linterp(double** rows, PyObject* out, PyObject* x, int row, double x0,
                        double dx) {
    exokern::linterp(rows[row], raw_matrix<double>(out), raw_vector<const double>(x), row, x0,
                     dx);
    return 0;
}

EXOKERN_API int downsample(double** rows, PyObject* out, int n, int factor, int row) {
    exokern::downsample(rows[row], raw_matrix<double>(out), n, factor, row);
    return 0;
}

EXOKERN_API int tdiff(PyObject* out, PyObject* tau, int first, int last, int col, double mu) {
    exokern::tdiff(raw_vector<double>(out), raw_matrix<const double>(tau), first, last, col, mu);
    return 1;
}

EXOKERN_API double itrapz(PyObject* data, PyObject* intervals, int first, int last, int col) {
    return exokern::itrapz(raw_matrix<const double>(data), raw_vector<const double>(intervals),
                           first, last, col);
}

EXOKERN_API int msg(int verb, char* buffer, const char* format, ...) {
    if (verb < 0) return 0;
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    std::vsprintf(buffer + std::strlen(buffer), format, args);
    std::vprintf(format, again);
    va_end(again);
    va_end(args);
    return 0;
}

}  // extern "C"
