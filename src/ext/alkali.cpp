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

PyDoc_STRVAR(alkali_cross_section__doc__,
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
    double detuning, mass, lorentz, norm, cutoff;
    if (!PyArg_ParseTuple(args, "OOOOOdddddOOOO:alkali_cross_section", &press_obj, &wn_obj,
                          &temp_obj, &wingamp_obj, &ext_obj, &detuning, &mass, &lorentz, &norm,
                          &cutoff, &wn0_obj, &oscstr_obj, &dwn_obj, &icenter_obj))
        return nullptr;
    Vec<const double> press, wn, temp, wn0, oscstr, dwn;
    Mat<const double> wingamp;
    Mat<double> extinction;
    Vec<const int> icenter;
    if (!ext::vector(name, "press", press_obj, press) ||
        !ext::vector(name, "wn", wn_obj, wn) ||
        !ext::vector(name, "temp", temp_obj, temp) ||
        !ext::matrix(name, "wingamp", wingamp_obj, wingamp) ||
        !ext::matrix(name, "ext", ext_obj, extinction) ||
        !ext::vector(name, "wn0", wn0_obj, wn0) ||
        !ext::vector(name, "oscstr", oscstr_obj, oscstr) ||
        !ext::vector(name, "dwn", dwn_obj, dwn) ||
        !ext::vector(name, "icenter", icenter_obj, icenter))
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
        !ext::at_least(name, "icenter", icenter.n, lines, "elements", per_line))
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
    ext::run(lines * layers + samples, [&] {
        exokern::alkali_cross_section(press, wn, temp, wingamp, extinction, detuning, mass,
                                      lorentz, norm, cutoff, wn0, oscstr, dwn, icenter);
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
