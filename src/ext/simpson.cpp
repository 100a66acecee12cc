// exokern._simpson: Simpson-rule integration on irregular grids.
//
// geth computes the per-pair differentials of a grid once; simps and simps2D integrate on that
// grid with them. Each method parses its arguments, checks every array before it touches an
// element, calls its kernel (simpson.hpp) and builds the result. The module also exports the
// two Simpson sums, simpson and simpson2, for native callers (exokern/exokern.h).
#include <algorithm>

#include "exokern/exokern.h"
#include "exokern/simpson.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Mat;
using exokern::Vec;

PyDoc_STRVAR(simpson__doc__, "Python wrapper for Simpson integration.");

PyDoc_STRVAR(simpson_geth__doc__,
    "geth($module, h, /)\n"
    "--\n"
    "\n"
    "Calculate the differentials for a Simpson-rule integration.\n"
    "                                                            \n"
    "Parameters                                                  \n"
    "----------                                                  \n"
    "h: 1D double ndarray                                        \n"
    "    Intervals between the X-axis samples.                   \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "hsum: 1D double ndarray                                     \n"
    "    Sums of interval pairs:                                 \n"
    "    hsum[j] = h[s+2j] + h[s+2j+1]                           \n"
    "hratio: 1D double ndarray                                   \n"
    "    Ratio of consecutive intervals:                         \n"
    "    hratio[j] = h[s+2j] / h[s+2j+1]                         \n"
    "hfactor: 1D double ndarray                                  \n"
    "    Factor interval:                                        \n"
    "    hfactor[j] = hsum[j]**2 / (h[s+2j] * h[s+2j+1])         \n"
    "                                                            \n"
    "Notes                                                       \n"
    "-----                                                       \n"
    "The len(h) // 2 pairs j are made of the intervals h[s+2j]   \n"
    "and h[s+2j+1], with s = len(h) % 2: for an odd number of    \n"
    "intervals the first one, h[0], is skipped, and the last pair\n"
    "always ends with the last interval. An empty h gives the    \n"
    "list [0, 0, 0].                                             \n");

static PyObject* simpson_geth(PyObject*, PyObject* args) {
    static const char* const name = "geth";
    PyObject* h_obj;
    if (!PyArg_ParseTuple(args, "O:geth", &h_obj)) return nullptr;
    Vec<const double> h;
    if (!ext::vector(name, "h", h_obj, h)) return nullptr;
    if (h.n == 0) return Py_BuildValue("[i,i,i]", 0, 0, 0);
    const index_t m = h.n / 2;
    Vec<double> hsum, hratio, hfactor;
    PyObject* hsum_obj = ext::new_vector(m, hsum);
    if (hsum_obj == nullptr) return nullptr;
    PyObject* hratio_obj = ext::new_vector(m, hratio);
    if (hratio_obj == nullptr) {
        Py_DECREF(hsum_obj);
        return nullptr;
    }
    PyObject* hfactor_obj = ext::new_vector(m, hfactor);
    if (hfactor_obj == nullptr) {
        Py_DECREF(hsum_obj);
        Py_DECREF(hratio_obj);
        return nullptr;
    }
    ext::run(h.n, [&] { exokern::simpson_differentials(h, hsum, hratio, hfactor); });
    return Py_BuildValue("[N,N,N]", hsum_obj, hratio_obj, hfactor_obj);
}

// A differential argument where no Simpson pair is read: geth's own result for an empty grid,
// the int 0, is taken as an empty array, like an array of any length; anything else must be
// a float64 array as usual.
static bool differentials(const char* method, const char* name, PyObject* obj,
                          Vec<const double>& view) {
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        const long v = PyLong_AsLong(obj);
        if (v == 0) {
            view = Vec<const double>{};
            return true;
        }
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return ext::vector(method, name, obj, view);
}

// The differentials must hold one entry per Simpson pair of the longest count.
static bool enough_pairs(const char* method, Vec<const double> hsum, Vec<const double> hratio,
                         Vec<const double> hfactor, index_t npair, const char* why) {
    return ext::at_least(method, "hsum", hsum.n, npair, "elements", why) &&
           ext::at_least(method, "hratio", hratio.n, npair, "elements", why) &&
           ext::at_least(method, "hfactor", hfactor.n, npair, "elements", why);
}

PyDoc_STRVAR(simpson_simps__doc__,
    "simps($module, y, h, hsum, hratio, hfactor, /)\n"
    "--\n"
    "\n"
    "Wrapper for Simpson-rule integration.                        \n"
    "                                                              \n"
    "Parameters                                                    \n"
    "----------                                                    \n"
    "y: 1D double ndarray                                          \n"
    "    Function to integrate.                                    \n"
    "h: 1D double ndarray                                          \n"
    "    Intervals between function evaluations.                   \n"
    "hsum: 1D double ndarray                                       \n"
    "    Sums of interval pairs.                                   \n"
    "hratio: 1D double ndarray                                     \n"
    "    Ratio of consecutive intervals.                           \n"
    "hfactor: 1D double ndarray                                    \n"
    "    Factor interval.                                          \n"
    "                                                              \n"
    "Returns                                                       \n"
    "-------                                                       \n"
    "integ: Float                                                  \n"
    "    Integral of y over intervals h using the Simpson rule.    \n"
    "                                                              \n"
    "Notes                                                         \n"
    "-----                                                         \n"
    "- If there are even samples, use a trapezoidal integration for\n"
    "  the last interval.                                         \n"
    "- See geth for formula for hsum, hratio, and hfactor");

static PyObject* simpson_simps(PyObject*, PyObject* args) {
    static const char* const name = "simps";
    PyObject *y_obj, *h_obj, *hsum_obj, *hratio_obj, *hfactor_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:simps", &y_obj, &h_obj, &hsum_obj, &hratio_obj,
                          &hfactor_obj))
        return nullptr;
    Vec<const double> y, h, hsum, hratio, hfactor;
    if (!ext::vector(name, "y", y_obj, y) || !ext::vector(name, "h", h_obj, h) ||
        !differentials(name, "hsum", hsum_obj, hsum) ||
        !differentials(name, "hratio", hratio_obj, hratio) ||
        !differentials(name, "hfactor", hfactor_obj, hfactor))
        return nullptr;
    const index_t n = y.n;
    // An even count of at least 2 ends with a trapezoid over interval n - 2.
    if (n >= 2 && n % 2 == 0 &&
        !ext::at_least(name, "h", h.n, n - 1, "elements",
                       "len(y) - 1, for the last interval of an even count"))
        return nullptr;
    if (!enough_pairs(name, hsum, hratio, hfactor, exokern::detail::simpson_pairs(n),
                      "one per pair of intervals, (len(y) - 1) // 2"))
        return nullptr;
    double integ = 0.0;
    ext::run(n, [&] { integ = exokern::simps(y, h, hsum, hratio, hfactor); });
    return Py_BuildValue("d", integ);
}

PyDoc_STRVAR(simpson_simps2D__doc__,
    "simps2D($module, y, h, nint, hsum, hratio, hfactor, /)\n"
    "--\n"
    "\n"
    "Wrapper for Simpson-rule integration on a 2D input.\n"
    "Each wavelength has its own number of integration points.     \n"
    "                                                              \n"
    "Parameters                                                    \n"
    "----------                                                    \n"
    "y: 2D double ndarray                                          \n"
    "    Function to integrate, shape (rows, W): samples down the  \n"
    "    first axis, one integral per column.                      \n"
    "h: 1D double ndarray                                          \n"
    "    Intervals between the samples (rows) of y, shared by all  \n"
    "    columns.                                                  \n"
    "nint: 1D integer ndarray                                      \n"
    "    Number of samples to integrate in each column (W counts). \n"
    "hsum: 1D double ndarray                                       \n"
    "    Sums of interval pairs.                                   \n"
    "hratio: 1D double ndarray                                     \n"
    "    Ratio of consecutive intervals.                           \n"
    "hfactor: 1D double ndarray                                    \n"
    "    Factor interval.                                          \n"
    "                                                              \n"
    "Returns                                                       \n"
    "-------                                                       \n"
    "integ: 1D float ndarray                                       \n"
    "    Integral of y over intervals h using the Simpson rule.    \n"
    "                                                              \n"
    "Notes                                                         \n"
    "-----                                                         \n"
    "- If there are even samples, use a trapezoidal integration for\n"
    "  the last interval.                                         \n"
    "- See geth for formula for hsum, hratio, and hfactor");

static PyObject* simpson_simps2D(PyObject*, PyObject* args) {
    static const char* const name = "simps2D";
    PyObject *y_obj, *h_obj, *nint_obj, *hsum_obj, *hratio_obj, *hfactor_obj;
    if (!PyArg_ParseTuple(args, "OOOOOO:simps2D", &y_obj, &h_obj, &nint_obj, &hsum_obj,
                          &hratio_obj, &hfactor_obj))
        return nullptr;
    Mat<const double> y;
    Vec<const double> h, hsum, hratio, hfactor;
    Vec<const int> nint_arg;
    ext::IndexCopy nint;
    if (!ext::matrix(name, "y", y_obj, y) || !ext::vector(name, "h", h_obj, h) ||
        !ext::vector(name, "nint", nint_obj, nint_arg) ||
        !differentials(name, "hsum", hsum_obj, hsum) ||
        !differentials(name, "hratio", hratio_obj, hratio) ||
        !differentials(name, "hfactor", hfactor_obj, hfactor) ||
        !ext::at_least(name, "nint", nint_arg.n, y.cols, "elements", "one per column of y") ||
        !nint.take(nint_arg))
        return nullptr;
    // Every count must fit in its column; the longest count decides how many differentials
    // are read, the longest even count how far h is read; the counts add up to the work.
    index_t longest = 0, longest_at = 0, even = 0, even_at = 0, work = 0;
    for (index_t i = 0; i < y.cols; ++i) {
        const index_t n = nint[i];
        work += std::max<index_t>(n, 0);
        if (n > y.rows)
            return ext::value_error("simps2D: nint[%zd] = %zd exceeds the %zd rows of y",
                                    Py_ssize_t(i), Py_ssize_t(n), Py_ssize_t(y.rows));
        if (n > longest) {
            longest = n;
            longest_at = i;
        }
        if (n >= 2 && n % 2 == 0 && n > even) {
            even = n;
            even_at = i;
        }
    }
    const index_t npair = exokern::detail::simpson_pairs(longest);
    if ((even > 0 &&
         !ext::count_fits(name, "nint", even_at, even, even - 1, "elements", "h", h.n)) ||
        !ext::count_fits(name, "nint", longest_at, longest, npair, "elements", "hsum", hsum.n) ||
        !ext::count_fits(name, "nint", longest_at, longest, npair, "elements", "hratio",
                         hratio.n) ||
        !ext::count_fits(name, "nint", longest_at, longest, npair, "elements", "hfactor",
                         hfactor.n))
        return nullptr;
    Vec<double> integ;
    PyObject* result = ext::new_vector(y.cols, integ);
    if (result == nullptr) return nullptr;
    ext::run(work,
             [&] { exokern::simps_columns(y, h, nint.view(), hsum, hratio, hfactor, integ); });
    return Py_BuildValue("N", result);
}

static PyMethodDef simpson_methods[] = {
    {"geth", simpson_geth, METH_VARARGS, simpson_geth__doc__},
    {"simps", simpson_simps, METH_VARARGS, simpson_simps__doc__},
    {"simps2D", simpson_simps2D, METH_VARARGS, simpson_simps2D__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef simpson_module = {
    PyModuleDef_HEAD_INIT, "_simpson", simpson__doc__, -1, simpson_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__simpson(void) { return ext::init_module(&simpson_module); }

// Exported Simpson sums for native callers; their arguments are not checked (exokern.h).
extern "C" {

EXOKERN_API double simpson(PyObject* y, PyObject* hsum, PyObject* hratio, PyObject* hfactor,
                           int n) {
    using ext::raw_vector;
    return exokern::simpson_sum(raw_vector<const double>(y), raw_vector<const double>(hsum),
                                raw_vector<const double>(hratio),
                                raw_vector<const double>(hfactor), n);
}

EXOKERN_API double simpson2(PyObject* y, PyObject* hsum, PyObject* hratio, PyObject* hfactor,
                            int n, int i) {
    using ext::raw_vector;
    return exokern::simpson_sum(ext::raw_matrix<const double>(y).column(i),
                                raw_vector<const double>(hsum), raw_vector<const double>(hratio),
                                raw_vector<const double>(hfactor), n);
}

}  // extern "C"
