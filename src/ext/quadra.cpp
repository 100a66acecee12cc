// exokern._quadra: trapezoidal-rule integrators, optical depth and emergent intensity.
//
// Each method parses its arguments, checks every array before it touches an element, calls
// its kernel (trapezoid.hpp, transfer.hpp) and builds the result. The module also carries the
// exported native utilities of utils.cpp.
#include <algorithm>

#include "exokern/transfer.hpp"
#include "exokern/trapezoid.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Mat;
using exokern::Vec;

PyDoc_STRVAR(quadra__doc__, "Python wrapper for trapezoidal-rule integration.");

// ideep, which optdepth and cumoptdepth write, shares no memory with what they read.
static bool ideep_apart(const char* name, Vec<int> ideep, Mat<const double> data,
                        Vec<const double> intervals) {
    const ext::Extent written = ext::extent(Vec<int>{ideep.data, data.cols, ideep.stride});
    const index_t rows = intervals.n > 0 ? intervals.n + 1 : 0;
    return ext::disjoint(name, "ideep", written, "data",
                         ext::extent(Mat<const double>{data.data, rows, data.cols, data.rstride,
                                                       data.cstride})) &&
           ext::disjoint(name, "ideep", written, "intervals", ext::extent(intervals));
}

PyDoc_STRVAR(quadra_trapz__doc__,
    "trapz($module, data, intervals, /)\n"
    "--\n"
    "\n"
    "Integrate the data array using the trapezoidal rule.       \n"
    "                                                            \n"
    "Parameters                                                  \n"
    "----------                                                  \n"
    "data: 1D double ndarray                                     \n"
    "    Sampled function (Y-axis) to integrate.                 \n"
    "intervals: 1D double ndarray                                \n"
    "    Intervals between the data samples (X-axis).            \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "res: double                                                 \n"
    "    The integral of data over the given intervals.          \n");

static PyObject* quadra_trapz(PyObject*, PyObject* args) {
    static const char* const name = "trapz";
    PyObject *data_obj, *intervals_obj;
    if (!PyArg_ParseTuple(args, "OO:trapz", &data_obj, &intervals_obj)) return nullptr;
    Vec<const double> data, intervals;
    if (!ext::vector(name, "data", data_obj, data) ||
        !ext::vector(name, "intervals", intervals_obj, intervals))
        return nullptr;
    if (intervals.n > 0 &&
        !ext::at_least(name, "data", data.n, intervals.n + 1, "elements",
                       "one more than intervals"))
        return nullptr;
    double res = 0.0;
    ext::run(intervals.n, [&] { res = exokern::trapz(data, intervals); });
    return Py_BuildValue("d", res);
}

PyDoc_STRVAR(quadra_trapz2D__doc__,
    "trapz2D($module, data, intervals, nint, /)\n"
    "--\n"
    "\n"
    "Integrate the data array using the trapezoidal rule.       \n"
    "                                                            \n"
    "Parameters                                                  \n"
    "----------                                                  \n"
    "data: 2D double ndarray                                     \n"
    "    Sampled function (Y-axis) to integrate.                 \n"
    "intervals: 1D double ndarray                                \n"
    "    Intervals between the data samples (X-axis).            \n"
    "nint: 1D integer ndarray                                    \n"
    "    Number of intervals to integrate.                       \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "integ: 1D double ndarray                                    \n"
    "    The integral of data over the given intervals.          \n");

static PyObject* quadra_trapz2D(PyObject*, PyObject* args) {
    static const char* const name = "trapz2D";
    PyObject *data_obj, *intervals_obj, *nint_obj;
    if (!PyArg_ParseTuple(args, "OOO:trapz2D", &data_obj, &intervals_obj, &nint_obj))
        return nullptr;
    Mat<const double> data;
    Vec<const double> intervals;
    Vec<const int> nint_arg;
    ext::IndexCopy nint;
    if (!ext::matrix(name, "data", data_obj, data) ||
        !ext::vector(name, "intervals", intervals_obj, intervals) ||
        !ext::vector(name, "nint", nint_obj, nint_arg) ||
        !ext::at_least(name, "nint", nint_arg.n, data.cols, "elements",
                       "one per column of data") ||
        !nint.take(nint_arg))
        return nullptr;
    // The longest column decides how far data and intervals are read; the counts add up to
    // the work.
    index_t longest = 0, where = 0, work = 0;
    for (index_t i = 0; i < data.cols; ++i) {
        if (nint[i] > longest) {
            longest = nint[i];
            where = i;
        }
        work += std::max(nint[i], 0);
    }
    if (longest > 0 &&
        (!ext::count_fits(name, "nint", where, longest, longest + 1, "rows", "data", data.rows) ||
         !ext::count_fits(name, "nint", where, longest, longest, "elements", "intervals",
                          intervals.n)))
        return nullptr;
    Vec<double> integ;
    PyObject* result = ext::new_vector(data.cols, integ);
    if (result == nullptr) return nullptr;
    ext::run(work, [&] { exokern::trapz_columns(data, intervals, nint.view(), integ); });
    return Py_BuildValue("N", result);
}

PyDoc_STRVAR(quadra_cumtrapz__doc__,
    "cumtrapz($module, output, data, intervals, threshold, /)\n"
    "--\n"
    "\n"
    "Calculate the cumulative integral of a data array using the    \n"
    "trapezoidal-rule.  Stop calculation if it reaches the threshold.\n"
    "                                                                \n"
    "Parameters:                                                     \n"
    "-----------                                                     \n"
    "output: 1D double ndarray                                       \n"
    "   The output array to store the results.                       \n"
    "data: 1D double ndarray                                         \n"
    "   Sampled function (Y-axis) to integrate.                      \n"
    "intervals: 1D double ndarray                                    \n"
    "   Intervals between the data samples (X-axis).                 \n"
    "threshold: double                                               \n"
    "   Maximum threshold value to integrate.                        \n"
    "                                                                \n"
    "Returns:                                                        \n"
    "--------                                                        \n"
    "ind: integer                                                    \n"
    "   The index where the integration stopped.                     \n");

static PyObject* quadra_cumtrapz(PyObject*, PyObject* args) {
    static const char* const name = "cumtrapz";
    PyObject *output_obj, *data_obj, *intervals_obj, *threshold_obj;
    if (!PyArg_ParseTuple(args, "OOOO:cumtrapz", &output_obj, &data_obj, &intervals_obj,
                          &threshold_obj))
        return nullptr;
    Vec<double> output;
    Vec<const double> data, intervals;
    double threshold;
    if (!ext::vector(name, "output", output_obj, output) ||
        !ext::vector(name, "data", data_obj, data) ||
        !ext::vector(name, "intervals", intervals_obj, intervals) ||
        !ext::real(name, "threshold", threshold_obj, threshold))
        return nullptr;
    const index_t n = std::max<index_t>(intervals.n, 0);
    if (!ext::at_least(name, "output", output.n, n + 1, "elements", "one more than intervals"))
        return nullptr;
    if (n > 0 &&
        !ext::at_least(name, "data", data.n, n + 1, "elements", "one more than intervals"))
        return nullptr;
    // output[0] is written even without intervals; data and intervals are read only with them.
    const ext::Extent written = ext::extent(Vec<double>{output.data, std::min(output.n, n + 1),
                                                        output.stride});
    if (n > 0 &&
        (!ext::disjoint(name, "output", written, "data",
                        ext::extent(Vec<const double>{data.data, n + 1, data.stride})) ||
         !ext::disjoint(name, "output", written, "intervals", ext::extent(intervals))))
        return nullptr;
    index_t ind = 0;
    ext::run(n, [&] { ind = exokern::cumtrapz(output, data, intervals, threshold); });
    return Py_BuildValue("n", Py_ssize_t(ind));
}

PyDoc_STRVAR(quadra_optdepth__doc__,
    "optdepth($module, data, intervals, taumax, ideep, ilay, /)\n"
    "--\n"
    "\n"
    "Integrate optical depth using the trapezoidal rule.        \n"
    "                                                            \n"
    "Parameters                                                  \n"
    "----------                                                  \n"
    "data: 2D double ndarray                                     \n"
    "    Sampled function (Y-axis) to integrate.                 \n"
    "intervals: 1D double ndarray                                \n"
    "    Intervals between the data samples (X-axis).            \n"
    "taumax: Float                                               \n"
    "    Maximum optical depth to compute.                       \n"
    "ideep: 1D integer ndarray                                   \n"
    "    Flag of layer that reached taumax.                      \n"
    "ilay: Integer                                               \n"
    "    Current layer index.                                    \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "tau: 1D double ndarray                                      \n"
    "    2x the integral of data over the given intervals.       \n");

static PyObject* quadra_optdepth(PyObject*, PyObject* args) {
    static const char* const name = "optdepth";
    PyObject *data_obj, *intervals_obj, *taumax_obj, *ideep_obj, *ilay_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:optdepth", &data_obj, &intervals_obj, &taumax_obj,
                          &ideep_obj, &ilay_obj))
        return nullptr;
    Mat<const double> data;
    Vec<const double> intervals;
    Vec<int> ideep;
    double taumax;
    int ilay;
    if (!ext::matrix(name, "data", data_obj, data) ||
        !ext::vector(name, "intervals", intervals_obj, intervals) ||
        !ext::real(name, "taumax", taumax_obj, taumax) ||
        !ext::vector(name, "ideep", ideep_obj, ideep) ||
        !ext::integer(name, "ilay", ilay_obj, ilay) ||
        !ext::at_least(name, "ideep", ideep.n, data.cols, "elements", "one per column of data"))
        return nullptr;
    if (intervals.n > 0 &&
        !ext::at_least(name, "data", data.rows, intervals.n + 1, "rows",
                       "one more than intervals"))
        return nullptr;
    if (!ideep_apart(name, ideep, data, intervals)) return nullptr;
    index_t open = 0;
    for (index_t i = 0; i < data.cols; ++i) open += ideep[i] < 0;
    Vec<double> tau;
    PyObject* result = ext::new_vector(data.cols, tau);
    if (result == nullptr) return nullptr;
    ext::run(intervals.n * open + data.cols,
             [&] { exokern::optdepth(data, intervals, taumax, ideep, ilay, tau); });
    return Py_BuildValue("N", result);
}

PyDoc_STRVAR(quadra_cumoptdepth__doc__,
    "cumoptdepth($module, data, intervals, taumax, ideep, /)\n"
    "--\n"
    "\n"
    "Integrate the optical depth of every layer in one pass.     \n"
    "                                                            \n"
    "Parameters                                                  \n"
    "----------                                                  \n"
    "data: 2D double ndarray                                     \n"
    "    Sampled function (Y-axis) to integrate.                 \n"
    "intervals: 1D double ndarray                                \n"
    "    Intervals between the data samples (X-axis).            \n"
    "taumax: Float                                               \n"
    "    Maximum optical depth to compute.                       \n"
    "ideep: 1D integer ndarray                                   \n"
    "    Flag of layer that reached taumax.                      \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "tau: 2D double ndarray                                      \n"
    "    Row k: 2x the integral of data over intervals[:k], as   \n"
    "    optdepth gives it for ilay = k, layer after layer.      \n");

static PyObject* quadra_cumoptdepth(PyObject*, PyObject* args) {
    static const char* const name = "cumoptdepth";
    PyObject *data_obj, *intervals_obj, *taumax_obj, *ideep_obj;
    if (!PyArg_ParseTuple(args, "OOOO:cumoptdepth", &data_obj, &intervals_obj, &taumax_obj,
                          &ideep_obj))
        return nullptr;
    Mat<const double> data;
    Vec<const double> intervals;
    Vec<int> ideep;
    double taumax;
    if (!ext::matrix(name, "data", data_obj, data) ||
        !ext::vector(name, "intervals", intervals_obj, intervals) ||
        !ext::real(name, "taumax", taumax_obj, taumax) ||
        !ext::vector(name, "ideep", ideep_obj, ideep) ||
        !ext::at_least(name, "ideep", ideep.n, data.cols, "elements", "one per column of data"))
        return nullptr;
    const index_t nlay = intervals.n;
    if (nlay > 0 &&
        !ext::at_least(name, "data", data.rows, nlay + 1, "rows", "one more than intervals"))
        return nullptr;
    if (!ideep_apart(name, ideep, data, intervals)) return nullptr;
    Mat<double> tau;
    PyObject* result = ext::new_matrix(nlay + 1, data.cols, tau);
    if (result == nullptr) return nullptr;
    ext::run((nlay + 1) * data.cols,
             [&] { exokern::cumoptdepth(data, intervals, taumax, ideep, tau); });
    return Py_BuildValue("N", result);
}

PyDoc_STRVAR(quadra_intensity__doc__,
    "intensity($module, tau, ideep, planck, mu, rtop, /)\n"
    "--\n"
    "\n"
    "Intensity radiative-transfer integration under plane-parallel, LTE    \n"
    "approximation:                                                         \n"
    "  I = integ{B * exp(-tau/mu)} dtau/mu                                  \n"
    "                                                                       \n"
    "Parameters:                                                            \n"
    "-----------                                                            \n"
    "tau: 2D double ndarray                                                 \n"
    "   Optical depth as a function of altitude and wavelength.             \n"
    "ideep: 1D integer ndarray                                              \n"
    "   Bottom-layer index of the atmosphere as a function of wavelength.   \n"
    "planck: 2D dloble ndarray                                              \n"
    "   Planck blackbody emission as a funcrion of altitude and wavelength. \n"
    "mu: 1D float ndarray                                                   \n"
    "   Cosine of angles between normal and the the ray paths.              \n"
    "rtop: Integer                                                          \n"
    "   Top-layer index of the atmosphere.                                  \n"
    "                                                                       \n"
    "Returns:                                                               \n"
    "--------                                                               \n"
    "intensity: 2D double ndarray                                           \n"
    "   Intensity at the top of an atmosphere as a function of mu and       \n"
    "   wavelength.                                                         \n");

static PyObject* quadra_intensity(PyObject*, PyObject* args) {
    static const char* const name = "intensity";
    PyObject *tau_obj, *ideep_obj, *planck_obj, *mu_obj, *rtop_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:intensity", &tau_obj, &ideep_obj, &planck_obj, &mu_obj,
                          &rtop_obj))
        return nullptr;
    Mat<const double> tau, planck;
    Vec<const int> ideep_arg;
    Vec<const double> mu;
    ext::IndexCopy ideep;
    int rtop;
    if (!ext::matrix(name, "tau", tau_obj, tau) ||
        !ext::vector(name, "ideep", ideep_obj, ideep_arg) ||
        !ext::matrix(name, "planck", planck_obj, planck) ||
        !ext::vector(name, "mu", mu_obj, mu) ||
        !ext::integer(name, "rtop", rtop_obj, rtop) ||
        !ext::at_least(name, "ideep", ideep_arg.n, tau.cols, "elements",
                       "one per column of tau") ||
        !ext::at_least(name, "planck", planck.cols, tau.cols, "columns", "as many as tau") ||
        !ideep.take(ideep_arg))
        return nullptr;
    // Every bottom layer must be a row of tau and planck; rows rtop .. ideep[i] are read
    // where ideep[i] - rtop >= 2.
    index_t deepest = -1, layers = 0;
    for (index_t i = 0; i < tau.cols; ++i) {
        const index_t d = ideep[i];
        if (d < 0 || d >= tau.rows)
            return ext::value_error(
                       "intensity: ideep[%zd] = %zd is not a row of tau (0 to %zd)",
                       Py_ssize_t(i), Py_ssize_t(d), Py_ssize_t(tau.rows - 1));
        if (d - rtop >= 2) {
            if (rtop < 0)
                return ext::value_error(
                           "intensity: rtop = %d must not be negative where layers are "
                           "integrated (ideep[%zd] = %zd)",
                           rtop, Py_ssize_t(i), Py_ssize_t(d));
            layers += d - rtop;
        }
        deepest = std::max(deepest, d);
    }
    if (!ext::at_least(name, "planck", planck.rows, deepest + 1, "rows", "deepest ideep + 1"))
        return nullptr;
    Mat<double> out;
    PyObject* result = ext::new_matrix(mu.n, tau.cols, out);
    if (result == nullptr) return nullptr;
    ext::run((layers + tau.cols) * mu.n,
             [&] { exokern::intensity(tau, ideep.view(), planck, mu, rtop, out); });
    return Py_BuildValue("N", result);
}

PyDoc_STRVAR(quadra_exp__doc__,
    "_exp($module, x, /)\n"
    "--\n"
    "\n"
    "exokern's exponential of every element of the 1-D float64 array x, on the\n"
    "vector path in use (exokern.simd()): the exponential every kernel takes,\n"
    "on its own, for tests and benchmarks.");

static PyObject* quadra_exp(PyObject*, PyObject* args) {
    static const char* const name = "_exp";
    PyObject* x_obj;
    if (!PyArg_ParseTuple(args, "O:_exp", &x_obj)) return nullptr;
    Vec<const double> x;
    if (!ext::vector(name, "x", x_obj, x)) return nullptr;
    Vec<double> out;
    PyObject* result = ext::new_vector(x.n, out);
    if (result == nullptr) return nullptr;
    ext::run(x.n, [&] { exokern::exp_array(x, out); });
    return result;
}

static PyMethodDef quadra_methods[] = {
    {"trapz", quadra_trapz, METH_VARARGS, quadra_trapz__doc__},
    {"trapz2D", quadra_trapz2D, METH_VARARGS, quadra_trapz2D__doc__},
    {"cumtrapz", quadra_cumtrapz, METH_VARARGS, quadra_cumtrapz__doc__},
    {"optdepth", quadra_optdepth, METH_VARARGS, quadra_optdepth__doc__},
    {"intensity", quadra_intensity, METH_VARARGS, quadra_intensity__doc__},
    {"cumoptdepth", quadra_cumoptdepth, METH_VARARGS, quadra_cumoptdepth__doc__},
    {"_exp", quadra_exp, METH_VARARGS, quadra_exp__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef quadra_module = {
    PyModuleDef_HEAD_INIT, "_quadra", quadra__doc__, -1, quadra_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__quadra(void) { return ext::init_module(&quadra_module); }
