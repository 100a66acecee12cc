// exokern._forward: the forward model's per-evaluation kernels that no other module holds: the
// limb's chords and the transit depth (chords.hpp), Planck emission on exokern's exponential
// (planck.hpp).
//
// Each method checks every argument before it writes anything, then runs its kernel; long
// calls release the interpreter lock.
#include <memory>
#include <new>

#include "exokern/chords.hpp"
#include "exokern/planck.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Mat;
using exokern::Vec;

PyDoc_STRVAR(forward__doc__, "The forward model's kernels: chords, transit depth, Planck.");

PyDoc_STRVAR(transit_depth__doc__,
    "transit_depth($module, ext, radii, rstar, taumax, tau, ideep, /)\n"
    "--\n"
    "\n"
    "Chord optical depths of every ray and the transit depth of every wavenumber.\n"
    "\n"
    "The levels (rows of ext, top first) lie at the decreasing radii; ray k grazes\n"
    "the middle of the shell between levels k and k+1. Between two levels the\n"
    "extinction is exponential in radius; each shell's chord integral is taken by\n"
    "Simpson's rule (in sqrt(r - b) over the grazed shell). The rays go from the\n"
    "top down; a wavenumber whose chord exceeds taumax is marked in ideep and\n"
    "deeper rays are opaque there. The transit depth sums (1 - exp(-tau)) b over\n"
    "the shells by the midpoint rule.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ext: 2D float ndarray\n"
    "    Extinction (level, wavenumber), cm-1.\n"
    "radii: 1D float ndarray\n"
    "    Radius of every level, decreasing, cm.\n"
    "rstar: float\n"
    "    Stellar radius, cm.\n"
    "taumax: float\n"
    "    Chord optical depth beyond which a ray is opaque.\n"
    "tau: 2D float ndarray or None\n"
    "    Written, one row per ray (one fewer than the levels): the chord optical\n"
    "    depth (+inf below the opaque ray); None: not kept.\n"
    "ideep: 1D int32 ndarray\n"
    "    Written: the first opaque ray of every wavenumber (the last ray where none).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "depth: 1D float ndarray\n"
    "    (R_bottom^2 + 2 integral of (1 - exp(-tau)) b db) / rstar^2.\n");

static PyObject* transit_depth(PyObject*, PyObject* args) {
    static const char* const name = "transit_depth";
    PyObject *ext_obj, *r_obj, *rstar_obj, *taumax_obj, *tau_obj, *ideep_obj;
    if (!PyArg_ParseTuple(args, "OOOOOO:transit_depth", &ext_obj, &r_obj, &rstar_obj,
                          &taumax_obj, &tau_obj, &ideep_obj))
        return nullptr;
    Mat<const double> extinction;
    Vec<const double> r;
    Mat<double> tau;
    Vec<int> ideep;
    double rstar, taumax;
    if (!ext::matrix(name, "ext", ext_obj, extinction) ||
        !ext::vector(name, "radii", r_obj, r) ||
        !ext::real(name, "rstar", rstar_obj, rstar) ||
        !ext::real(name, "taumax", taumax_obj, taumax) ||
        (tau_obj != Py_None && !ext::matrix(name, "tau", tau_obj, tau)) ||
        !ext::vector(name, "ideep", ideep_obj, ideep))
        return nullptr;
    const bool keep = tau_obj != Py_None;
    const index_t levels = extinction.rows, width = extinction.cols;
    static const char* const per_level = "one per row of ext";
    static const char* const per_wn = "one per column of ext";
    if (!ext::at_least(name, "ext", levels, 2, "rows") ||
        !ext::at_least(name, "radii", r.n, levels, "elements", per_level) ||
        (keep && !ext::at_least(name, "tau", tau.rows, levels - 1, "rows", "one per ray")) ||
        (keep && !ext::at_least(name, "tau", tau.cols, width, "columns", per_wn)) ||
        !ext::at_least(name, "ideep", ideep.n, width, "elements", per_wn))
        return nullptr;
    const Vec<const double> radii{r.data, levels, r.stride};
    // No tau: a view without elements, which the kernel does not write.
    const Mat<double> written{tau.data, keep ? levels - 1 : 0, keep ? width : 0, tau.rstride,
                              tau.cstride};
    const Vec<int> marks{ideep.data, width, ideep.stride};
    if (width > 0) {
        const ext::Extent inputs[] = {ext::extent(extinction), ext::extent(radii)};
        const char* names[] = {"ext", "radii"};
        for (int k = 0; k < 2; ++k)
            if (!ext::disjoint(name, "tau", ext::extent(written), names[k], inputs[k]) ||
                !ext::disjoint(name, "ideep", ext::extent(marks), names[k], inputs[k]))
                return nullptr;
        if (!ext::disjoint(name, "ideep", ext::extent(marks), "tau", ext::extent(written)))
            return nullptr;
    }
    Vec<double> depth;
    PyObject* result = ext::new_vector(width, depth);
    if (result == nullptr) return nullptr;
    const index_t coefficients = exokern::detail::chord_weights(levels);
    std::unique_ptr<double[]> coef(new (std::nothrow) double[std::max<index_t>(coefficients, 1)]);
    std::unique_ptr<double[]> work(
        new (std::nothrow) double[exokern::detail::chord_scratch(levels)]);
    if (!coef || !work) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    ext::run(levels * levels * width / 2 + coefficients, [&] {
        exokern::transit_depth(extinction, radii, rstar, taumax, written, marks, depth,
                               coef.get(), work.get());
    });
    return result;
}

PyDoc_STRVAR(planck__doc__,
    "planck($module, wn, temperature, out, /)\n"
    "--\n"
    "\n"
    "Planck emission per unit wavenumber of every layer and wavenumber.\n"
    "\n"
    "out[l, j] = c1 wn^3 / (exp(c2 wn / T) - 1), with c1 = 2 h c^2 and\n"
    "c2 = h c / k (cgs), the exponential exokern's own: the same bits on every CPU.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "wn: 1D float ndarray\n"
    "    Wavenumbers, cm-1.\n"
    "temperature: 1D float ndarray\n"
    "    Temperature of every layer, K.\n"
    "out: 2D float ndarray\n"
    "    Written: (layer, wavenumber), erg s-1 cm-2 sr-1 (cm-1)-1.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "None\n");

static PyObject* planck(PyObject*, PyObject* args) {
    static const char* const name = "planck";
    PyObject *wn_obj, *t_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO:planck", &wn_obj, &t_obj, &out_obj)) return nullptr;
    Vec<const double> wn, temperature;
    Mat<double> out;
    if (!ext::vector(name, "wn", wn_obj, wn) ||
        !ext::vector(name, "temperature", t_obj, temperature) ||
        !ext::matrix(name, "out", out_obj, out))
        return nullptr;
    if (!ext::at_least(name, "out", out.rows, temperature.n, "rows",
                       "one per layer of temperature") ||
        !ext::at_least(name, "out", out.cols, wn.n, "columns", "one per wavenumber"))
        return nullptr;
    const Mat<double> written{out.data, temperature.n, wn.n, out.rstride, out.cstride};
    if (temperature.n > 0 && wn.n > 0 &&
        (!ext::disjoint(name, "out", ext::extent(written), "wn", ext::extent(wn)) ||
         !ext::disjoint(name, "out", ext::extent(written), "temperature",
                        ext::extent(temperature))))
        return nullptr;
    ext::run(temperature.n * wn.n * 8, [&] { exokern::planck(wn, temperature, written); });
    Py_RETURN_NONE;
}

static PyMethodDef forward_methods[] = {
    {"transit_depth", transit_depth, METH_VARARGS, transit_depth__doc__},
    {"planck", planck, METH_VARARGS, planck__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef forward_module = {
    PyModuleDef_HEAD_INIT, "_forward", forward__doc__, -1, forward_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__forward(void) { return ext::init_module(&forward_module); }
