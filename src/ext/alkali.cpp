// exokern._alkali: the line extinction of one alkali species, added into the caller's array.
//
// alkali_cross_section checks every argument, the centre index of every line included, before
// it writes anything, then runs the kernel of alkali.hpp. The module also carries the exported
// native utilities of utils.cpp.
#include "exokern/alkali.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Mat;
using exokern::Vec;

PyDoc_STRVAR(alkali__doc__, "Wrapper for the alkali extinction-coeficient calculation.");

// The samples a call will touch: the order test's pass over wn, and every line's window times
// the layers. Windows are found by bisection as on an ascending grid, in log(samples) per line;
// a grid descending end to end counts whole.
static index_t touched(Vec<const double> wn, Vec<const double> wn0, double cutoff,
                       index_t layers) {
    const index_t n = wn.n;
    index_t work = n;
    if (n <= 0 || layers <= 0) return work;
    const bool descending = wn[0] > wn[n - 1];
    for (index_t i = 0; i < wn0.n; ++i) {
        index_t window = n;
        if (!descending) {
            const index_t first = exokern::detail::window_start(wn, true, wn0[i], cutoff);
            const index_t past = exokern::detail::window_start(wn, true, wn0[i], -cutoff);
            window = past > first ? past - first : 0;
        }
        work += (window + 1) * layers;
    }
    return work;
}

PyDoc_STRVAR(alkali_cross_section__doc__,
    "alkali_cross_section($module, press, wn, temp, wingamp, ext, detuning, mass, lorentz, norm, cutoff, wn0, oscstr, dwn, icenter, /)\n"
    "--\n"
    "\n"
    "TBD                                                             \n"
    "                                                                 \n"
    "Parameters                                                       \n"
    "----------                                                       \n"
    "wn: 1D float ndarray                                             \n"
    "    Wavenumber spectrum (cm-1).                                  \n"
    "temp: 1D float ndarray                                           \n"
    "    Temperature at each layer (K).                               \n"
    "TBD                                                              \n"
    "                                                                 \n"
    "Returns                                                          \n"
    "-------                                                          \n"
    "TBD                                                              \n");

static PyObject* alkali_cross_section(PyObject*, PyObject* args) {
    static const char* const name = "alkali_cross_section";
    PyObject *press_obj, *wn_obj, *temp_obj, *wingamp_obj, *ext_obj;
    PyObject *wn0_obj, *oscstr_obj, *dwn_obj, *icenter_obj;
    PyObject *detuning_obj, *mass_obj, *lorentz_obj, *norm_obj, *cutoff_obj;
    if (!PyArg_ParseTuple(args, "OOOOOOOOOOOOOO:alkali_cross_section", &press_obj, &wn_obj,
                          &temp_obj, &wingamp_obj, &ext_obj, &detuning_obj, &mass_obj,
                          &lorentz_obj, &norm_obj, &cutoff_obj, &wn0_obj, &oscstr_obj, &dwn_obj,
                          &icenter_obj))
        return nullptr;
    Vec<const double> press, wn, temp, wn0, oscstr, dwn;
    Mat<const double> wingamp;
    Mat<double> extinction;
    Vec<const int> icenter_arg;
    double detuning, mass, lorentz, norm, cutoff;
    if (!ext::vector(name, "press", press_obj, press) ||
        !ext::vector(name, "wn", wn_obj, wn) ||
        !ext::vector(name, "temp", temp_obj, temp) ||
        !ext::matrix(name, "wingamp", wingamp_obj, wingamp) ||
        !ext::matrix(name, "ext", ext_obj, extinction) ||
        !ext::real(name, "detuning", detuning_obj, detuning) ||
        !ext::real(name, "mass", mass_obj, mass) ||
        !ext::real(name, "lorentz", lorentz_obj, lorentz) ||
        !ext::real(name, "norm", norm_obj, norm) ||
        !ext::real(name, "cutoff", cutoff_obj, cutoff) ||
        !ext::vector(name, "wn0", wn0_obj, wn0) ||
        !ext::vector(name, "oscstr", oscstr_obj, oscstr) ||
        !ext::vector(name, "dwn", dwn_obj, dwn) ||
        !ext::vector(name, "icenter", icenter_obj, icenter_arg))
        return nullptr;
    // Layers come from temp, lines from wn0, samples from wn; everything else is indexed by them.
    const index_t layers = temp.n, lines = wn0.n, samples = wn.n;
    static const char* const per_layer = "one per layer of temp";
    static const char* const per_line = "one per line of wn0";
    if (!ext::at_least(name, "press", press.n, layers, "elements", per_layer) ||
        !ext::at_least(name, "wingamp", wingamp.rows, layers, "rows", per_layer) ||
        !ext::at_least(name, "wingamp", wingamp.cols, lines, "columns", per_line) ||
        !ext::at_least(name, "ext", extinction.rows, layers, "rows", per_layer) ||
        !ext::at_least(name, "ext", extinction.cols, samples, "columns",
                       "one per sample of wn") ||
        !ext::at_least(name, "oscstr", oscstr.n, lines, "elements", per_line) ||
        !ext::at_least(name, "dwn", dwn.n, lines, "elements", per_line) ||
        !ext::at_least(name, "icenter", icenter_arg.n, lines, "elements", per_line))
        return nullptr;
    // ext is written; nothing it is computed from may share its memory. The rows and columns
    // the kernel reads of each argument are the ones that count.
    const ext::Extent written = ext::extent(
        Mat<double>{extinction.data, layers, samples, extinction.rstride, extinction.cstride});
    const struct {
        const char* name;
        ext::Extent extent;
    } inputs[] = {
        {"press", ext::extent(Vec<const double>{press.data, layers, press.stride})},
        {"wn", ext::extent(wn)},
        {"temp", ext::extent(temp)},
        {"wingamp", ext::extent(Mat<const double>{wingamp.data, layers, lines, wingamp.rstride,
                                                  wingamp.cstride})},
        {"wn0", ext::extent(wn0)},
        {"oscstr", ext::extent(Vec<const double>{oscstr.data, lines, oscstr.stride})},
        {"dwn", ext::extent(Vec<const double>{dwn.data, lines, dwn.stride})},
        {"icenter", ext::extent(Vec<const int>{icenter_arg.data, lines, icenter_arg.stride})},
    };
    if (lines > 0 && layers > 0)
        for (const auto& input : inputs)
            if (!ext::disjoint(name, "ext", written, input.name, input.extent)) return nullptr;
    ext::IndexCopy icenter;
    if (!icenter.take(Vec<const int>{icenter_arg.data, lines, icenter_arg.stride}))
        return nullptr;
    // Every centre sample is compared with the scanned samples and may be overwritten by the
    // correction, so it must be a sample of wn (an empty wn is never scanned).
    if (samples > 0) {
        for (index_t i = 0; i < lines; ++i) {
            const index_t k = icenter[i];
            if (k < 0 || k >= samples)
                return ext::value_error(
                           "alkali_cross_section: icenter[%zd] = %zd is not a sample of wn "
                           "(0 to %zd)",
                           Py_ssize_t(i), Py_ssize_t(k), Py_ssize_t(samples - 1));
        }
    }
    ext::run(touched(wn, wn0, cutoff, layers), [&] {
        exokern::alkali_cross_section(press, wn, temp, wingamp, extinction, detuning, mass,
                                      lorentz, norm, cutoff, wn0, oscstr, dwn, icenter.view());
    });
    return Py_BuildValue("i", 1);
}

static PyMethodDef alkali_methods[] = {
    {"alkali_cross_section", alkali_cross_section, METH_VARARGS, alkali_cross_section__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef alkali_module = {
    PyModuleDef_HEAD_INIT, "_alkali", alkali__doc__, -1, alkali_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__alkali(void) { return ext::init_module(&alkali_module); }
