// exokern._kelvo: temperature-pressure profiles, and the exported xi term.
//
// The kernels (expint.hpp, tprofile.hpp) print nothing; they hand every argument of E2 outside
// its domain to a callback. This file supplies the module's one diagnostic for it, once per xi
// evaluation:
//     Domain error, x (<x in %g>) must be >= 0.
// guillot collects the arguments while it computes and, once done and holding the interpreter
// lock, writes the messages through Python's sys.stdout and flushes it: they follow whatever
// the program printed before the call, and nothing blocks on the C library's standard output
// with the lock held (where a thread of the same process reads file descriptor 1 from a pipe,
// as Jupyter's kernel does, that would deadlock). The exported xi, for native callers, prints
// with printf on C's stdout and leaves flushing to its caller.
#include <cstdio>
#include <vector>

#include "exokern/exokern.h"
#include "exokern/expint.hpp"
#include "exokern/tprofile.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Vec;

namespace {

void print_domain_error(double x) noexcept {
    std::printf("Domain error, x (%g) must be >= 0.\n", x);
}

// Collects the arguments of the domain errors, in the order they occur, into room reserved
// beforehand (two xi evaluations per layer), so that nothing is allocated without the lock.
struct DomainErrors {
    std::vector<double> args;
    void operator()(double x) noexcept {
        if (args.size() < args.capacity()) args.push_back(x);
    }
};

// Writes the collected messages through sys.stdout and flushes it; false with an exception
// set when sys.stdout refuses them.
bool report(const DomainErrors& errors) {
    if (errors.args.empty()) return true;
    for (const double x : errors.args) PySys_WriteStdout("Domain error, x (%g) must be >= 0.\n", x);
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) return true;
    PyObject* done = PyObject_CallMethod(out, "flush", nullptr);
    if (done == nullptr) return false;
    Py_DECREF(done);
    return true;
}

// Cost of one layer of guillot in the elements that ext::run weighs (a trapezoid step, about a
// nanosecond): its two E2 evaluations take from a dozen to two hundred steps each, some 120 ns
// for a typical profile. A profile of a hundred layers so keeps the interpreter lock.
constexpr index_t guillot_cost_per_layer = 128;

}  // namespace

extern "C" double xi(double gamma, double tau) {
    return exokern::xi(gamma, tau, print_domain_error);
}

PyDoc_STRVAR(kelvo__doc__, "Python wrapper for the temperature-profile models.");

PyDoc_STRVAR(kelvo_guillot__doc__,
    "guillot($module, params, pressure, grav=..., /)\n"
    "--\n"
    "\n"
    "Generate a temperature profile based on the three-channel Eddington \n"
    "approximation model (Guillot 2010), with the parameterization of     \n"
    "Line et al. (2013).                                                  \n"
    "                                                                     \n"
    "Inputs                                                               \n"
    "------                                                               \n"
    "params: 1D float ndarray                                             \n"
    "  Array of free parameters:                                          \n"
    "   log10(kappa):  Planck thermal IR opacity in units cm^2/gr         \n"
    "   log10(gamma1): Visible-to-thermal stream Planck mean opacity ratio\n"
    "   log10(gamma2): Visible-to-thermal stream Planck mean opacity ratio\n"
    "   alpha: Weight partition between visible-streams (0.0--1.0)        \n"
    "   t_irr: Stellar irradiation temperature (Kelvin degree)            \n"
    "          A good guess is the planet's equilibrium temperature.      \n"
    "   t_int: Planetary internal heat flux (in Kelvin degrees)           \n"
    "pressure: 1D float ndarray                                           \n"
    "    Atmospheric pressure array (barye).                              \n"
    "grav: 1D flaot ndarray (optional)                                    \n"
    "    Atmospheric gravity at each pressure layer (cm s-2).             \n"
    "                                                            \n"
    "Returns                                                     \n"
    "-------                                                     \n"
    "temperature: 1D float ndarray                               \n"
    "    Temperature at each pressure layer (Kelvin degree).     \n"
    "                                                            \n"
    "Example                                                     \n"
    "-------                                                     \n"
    ">>> import numpy as np                                      \n"
    ">>> from exokern import _kelvo                              \n"
    ">>> nlayers = 20                                            \n"
    ">>> press = np.logspace(-8, 2, nlayers) * 1e6               \n"
    ">>> grav = np.tile(2200.0, nlayers)                         \n"
    ">>> params = np.array([-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0])\n"
    ">>> temp = _kelvo.guillot(params, press, grav)              \n"
    ">>> print(temp)                                             \n"
    "[1046.89057361 1046.8906572  1046.89094586 1046.89194204 1046.89537746\n"
    " 1046.9072167  1046.94798848 1047.08827618 1047.57026844 1049.22033981\n"
    " 1054.80921126 1073.11749958 1127.5360275  1256.04683354 1458.34379995\n"
    " 1623.82740006 1659.07947584 1659.7176149  1660.94856336 1665.06440703]");

static PyObject* kelvo_guillot(PyObject*, PyObject* args) {
    static const char* const name = "guillot";
    PyObject *params_obj, *pressure_obj, *grav_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO|O:guillot", &params_obj, &pressure_obj, &grav_obj))
        return nullptr;
    Vec<const double> params, pressure, grav;
    if (!ext::vector(name, "params", params_obj, params) ||
        !ext::at_least(name, "params", params.n, 6, "elements",
                       "log10(kappa), log10(gamma1), log10(gamma2), alpha, t_irr, t_int") ||
        !ext::vector(name, "pressure", pressure_obj, pressure))
        return nullptr;
    const bool has_grav = grav_obj != nullptr;
    if (has_grav && (!ext::vector(name, "grav", grav_obj, grav) ||
                     !ext::at_least(name, "grav", grav.n, pressure.n, "elements",
                                    "one per layer of pressure")))
        return nullptr;
    Vec<double> temperature;
    PyObject* result = ext::new_vector(pressure.n, temperature);
    if (result == nullptr) return nullptr;
    DomainErrors errors;
    try {
        errors.args.reserve(size_t(2 * pressure.n));
    } catch (const std::bad_alloc&) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    ext::run(pressure.n * guillot_cost_per_layer, [&] {
        if (has_grav)
            exokern::guillot(params, pressure, grav, temperature, errors);
        else
            exokern::guillot(params, pressure, temperature, errors);
    });
    if (!report(errors)) {
        Py_DECREF(result);
        return nullptr;
    }
    return Py_BuildValue("N", result);
}

PyDoc_STRVAR(kelvo_isothermal__doc__,
    "isothermal($module, T0, nlayers, /)\n"
    "--\n"
    "\n"
    "Generate an isothermal temperature profile.\n"
    "                                            \n"
    "Inputs                                      \n"
    "------                                      \n"
    "T0: 1D float array                          \n"
    "    Atmospheric temperature (in Kelvin).    \n"
    "nlayers: integer                            \n"
    "    Number of atmospheric layers.           \n"
    "                                            \n"
    "Returns                                     \n"
    "-------                                     \n"
    "T: 1D float ndarray                         \n"
    "    Temperature profile.");

static PyObject* kelvo_isothermal(PyObject*, PyObject* args) {
    static const char* const name = "isothermal";
    PyObject *t0_obj, *nlayers_obj;
    if (!PyArg_ParseTuple(args, "OO:isothermal", &t0_obj, &nlayers_obj)) return nullptr;
    Vec<const double> t0;
    int nlayers;
    if (!ext::vector(name, "T0", t0_obj, t0) ||
        !ext::integer(name, "nlayers", nlayers_obj, nlayers))
        return nullptr;
    // T0[0] is read only when there is a layer to fill.
    if (nlayers >= 1 && !ext::at_least(name, "T0", t0.n, 1, "element")) return nullptr;
    // A negative count is refused by numpy itself (ValueError).
    Vec<double> temperature;
    PyObject* result = ext::new_vector(nlayers, temperature);
    if (result == nullptr) return nullptr;
    if (nlayers >= 1) ext::run(nlayers, [&] { exokern::isothermal(t0[0], temperature); });
    return Py_BuildValue("N", result);
}

static PyMethodDef kelvo_methods[] = {
    {"guillot", kelvo_guillot, METH_VARARGS, kelvo_guillot__doc__},
    {"isothermal", kelvo_isothermal, METH_VARARGS, kelvo_isothermal__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef kelvo_module = {
    PyModuleDef_HEAD_INIT, "_kelvo", kelvo__doc__, -1, kelvo_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__kelvo(void) { return ext::init_module(&kelvo_module); }
