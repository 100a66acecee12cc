// The frame shared by the four extension modules: module initialisation, argument checks that
// turn a Python object into a strided view or raise, result arrays, and releasing the
// interpreter lock around long kernel loops.
//
// Only frame.cpp sees numpy's headers; the bindings see Python objects and views. A binding
// function reads: parse the argument tuple, check each argument (a view, or an exception),
// create the result, call the kernel, return the result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <memory>

#include "exokern/strided.hpp"

namespace exokern::ext {

static_assert(sizeof(int) == 4, "int32 arrays are read as int");

// Creates the module from its definition and binds numpy's C API. On failure prints the
// underlying error, raises ImportError "numpy.core.multiarray failed to import" and returns
// null.
PyObject* init_module(PyModuleDef* def);

// Argument checks. Each returns true and fills the view, or returns false with TypeError
// (not an ndarray, wrong dtype) or ValueError (wrong number of dimensions, misaligned or, for
// views of non-const elements, read-only) set. The element type of the view says the dtype:
// double for float64, int for int32 (numpy.intc). `method` and `name` go into the message,
// as in "optdepth: ideep must have dtype int32 (numpy.intc), got int64".
template <class T>
bool vector(const char* method, const char* name, PyObject* obj, Vec<T>& view);
template <class T>
bool matrix(const char* method, const char* name, PyObject* obj, Mat<T>& view);

// ValueError "<method>: <name> must have at least <need> <unit> (<why>), got <have>" unless
// have >= need; `why` may be null.
bool at_least(const char* method, const char* name, index_t have, index_t need,
              const char* unit, const char* why = nullptr);

// ValueError "<method>: <counts>[<i>] = <count> needs <need> <unit> of <name>, got <have>"
// unless have >= need: a count taken from the caller's array `counts` asks more of another
// argument than it holds.
bool count_fits(const char* method, const char* counts, index_t i, index_t count, index_t need,
                const char* unit, const char* name, index_t have);

// Sets ValueError with a printf-style message (PyErr_Format conventions); returns null, so that
// a method can `return value_error(...)`.
std::nullptr_t value_error(const char* format, ...);

// New float64 result arrays (row-major, uninitialised), or null with numpy's exception set.
PyObject* new_vector(index_t n, Vec<double>& view);
PyObject* new_matrix(index_t rows, index_t cols, Mat<double>& view);

// Views of array objects handed in by native callers of the exported functions; nothing is
// checked (their preconditions are the caller's, as the public header states).
template <class T>
Vec<T> raw_vector(PyObject* obj) noexcept;
template <class T>
Mat<T> raw_matrix(PyObject* obj) noexcept;

// Scalar arguments, parsed as objects ("O") and converted here so that a bad one is reported
// with the method and the argument, like the arrays: TypeError "<method>: <name> must be a
// real number, got str"; an int outside 32 bits gives OverflowError naming the argument.
// `real` takes what float() takes from a number (floats, ints, numpy scalars, __index__ and
// __float__ objects); `integer` takes ints and __index__ objects, not floats.
bool real(const char* method, const char* name, PyObject* obj, double& value);
bool integer(const char* method, const char* name, PyObject* obj, int& value);

// The name of obj's type (its __name__), as a new reference, for messages.
PyObject* type_name(PyObject* obj);

// Byte range [lo, hi) that a view's elements occupy; empty (lo == hi) for a view without
// elements.
struct Extent {
    const char* lo = nullptr;
    const char* hi = nullptr;
};

template <class T>
Extent extent(const Vec<T>& v) noexcept {
    if (v.n <= 0) return {};
    const char* first = reinterpret_cast<const char*>(v.data);
    const char* last = first + (v.n - 1) * v.stride;
    return {std::min(first, last), std::max(first, last) + sizeof(T)};
}

template <class T>
Extent extent(const Mat<T>& m) noexcept {
    if (m.rows <= 0 || m.cols <= 0) return {};
    const char* base = reinterpret_cast<const char*>(m.data);
    const index_t dr = (m.rows - 1) * m.rstride, dc = (m.cols - 1) * m.cstride;
    const char* lo = base + std::min<index_t>(dr, 0) + std::min<index_t>(dc, 0);
    const char* hi = base + std::max<index_t>(dr, 0) + std::max<index_t>(dc, 0) + sizeof(T);
    return {lo, hi};
}

// ValueError "<method>: <written> overlaps <other> in memory" when the byte ranges of an array
// the method writes and another argument intersect (bounds only, as numpy.may_share_memory
// judges: two interleaved views are refused too). One rule for every method: an output never
// shares memory with an input.
bool disjoint(const char* method, const char* written, Extent w, const char* other, Extent o);

// A private, contiguous copy of a caller's int32 index array, taken before anything is checked,
// written or run without the interpreter lock. Checks and kernels read only the copy, so
// another thread (or an output aliasing the array) changing the caller's array cannot move an
// index out of the range that was checked.
class IndexCopy {
  public:
    // False with MemoryError set when the copy cannot be allocated.
    bool take(Vec<const int> source);
    Vec<const int> view() const noexcept { return {reinterpret_cast<const char*>(data_.get()),
                                                   n_, index_t(sizeof(int))}; }
    const int& operator[](index_t i) const noexcept { return data_[i]; }

  private:
    std::unique_ptr<int[]> data_;
    index_t n_ = 0;
};

// Runs f, without the interpreter lock when `work` (elements touched) is large enough for
// other Python threads to gain from it. The argument tuple keeps every array alive meanwhile.
template <class F>
void run(index_t work, F&& f) {
    constexpr index_t threshold = 1 << 14;
    if (work < threshold) {
        f();
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    f();
    Py_END_ALLOW_THREADS
}

}  // namespace exokern::ext
