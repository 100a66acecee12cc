// exokern._opacity: the extinction of a model's sources: spectral lines with a continuum, as a
// new array (alkali.hpp's line_extinction), and tabulated cross sections (molecules,
// collision-induced absorption, scattering), added into the caller's array (tables.hpp).
//
// Each method checks every argument, every index included, before it writes anything.
#include <memory>
#include <new>

#include "exokern/alkali.hpp"
#include "exokern/tables.hpp"
#include "frame.hpp"

namespace ext = exokern::ext;
using exokern::index_t;
using exokern::Mat;
using exokern::Vec;

PyDoc_STRVAR(opacity__doc__, "Extinction of spectral lines and of tabulated cross sections.");

PyDoc_STRVAR(table_extinction__doc__,
    "table_extinction($module, ext, table, rows, weights, density, /)\n"
    "--\n"
    "\n"
    "Add interpolated, weighted rows of a table into the extinction.\n"
    "\n"
    "For every layer l and source s (term k = s * L + l of L layers), at\n"
    "every wavenumber j, with rows r0..r3 = rows[4k:4k+4] and\n"
    "(wt, wp) = weights[2k:2k+2]:\n"
    "\n"
    "    lo = table[r0, j] + wt * (table[r1, j] - table[r0, j])\n"
    "    hi = table[r2, j] + wt * (table[r3, j] - table[r2, j])\n"
    "    ext[l, j] += density[k] * (lo + wp * (hi - lo))\n"
    "\n"
    "the sources of a layer added in increasing s; where r1 = r0, lo (and hi)\n"
    "is the row itself, and where (r2, r3) = (r0, r1) the sum takes lo.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ext: 2D float ndarray\n"
    "    Extinction (layer, wavenumber), added into in place.\n"
    "table: 2D float ndarray\n"
    "    Rows of tabulated values on the wavenumber grid.\n"
    "rows: 1D int32 ndarray\n"
    "    Four rows of table per term.\n"
    "weights: 1D float ndarray\n"
    "    Two interpolation weights per term.\n"
    "density: 1D float ndarray\n"
    "    The density of each term; its length is a multiple of the layers.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "None\n");

static PyObject* table_extinction(PyObject*, PyObject* args) {
    static const char* const name = "table_extinction";
    PyObject *ext_obj, *table_obj, *rows_obj, *weights_obj, *density_obj;
    if (!PyArg_ParseTuple(args, "OOOOO:table_extinction", &ext_obj, &table_obj, &rows_obj,
                          &weights_obj, &density_obj))
        return nullptr;
    Mat<double> extinction;
    Mat<const double> table;
    Vec<const int> rows_arg;
    Vec<const double> weights, density;
    if (!ext::matrix(name, "ext", ext_obj, extinction) ||
        !ext::matrix(name, "table", table_obj, table) ||
        !ext::vector(name, "rows", rows_obj, rows_arg) ||
        !ext::vector(name, "weights", weights_obj, weights) ||
        !ext::vector(name, "density", density_obj, density))
        return nullptr;
    const index_t layers = extinction.rows, width = extinction.cols;
    if (layers > 0 && density.n % layers != 0)
        return ext::value_error("table_extinction: density must hold one value per layer and "
                                "source, a multiple of the %zd rows of ext; got %zd",
                                Py_ssize_t(layers), Py_ssize_t(density.n));
    const index_t terms = layers > 0 ? density.n : 0;
    if (!ext::at_least(name, "rows", rows_arg.n, 4 * terms, "elements", "four per term") ||
        !ext::at_least(name, "weights", weights.n, 2 * terms, "elements", "two per term") ||
        (terms > 0 && !ext::at_least(name, "table", table.cols, width, "columns",
                                     "one per column of ext")))
        return nullptr;
    if (terms > 0 && width > 0) {
        const ext::Extent written = ext::extent(extinction);
        const struct {
            const char* name;
            ext::Extent extent;
        } inputs[] = {
            {"table", ext::extent(Mat<const double>{table.data, table.rows, width,
                                                    table.rstride, table.cstride})},
            {"rows", ext::extent(Vec<const int>{rows_arg.data, 4 * terms, rows_arg.stride})},
            {"weights", ext::extent(Vec<const double>{weights.data, 2 * terms,
                                                      weights.stride})},
            {"density", ext::extent(density)},
        };
        for (const auto& input : inputs)
            if (!ext::disjoint(name, "ext", written, input.name, input.extent)) return nullptr;
    }
    ext::IndexCopy rows;
    if (!rows.take(Vec<const int>{rows_arg.data, 4 * terms, rows_arg.stride})) return nullptr;
    if (width > 0) {
        for (index_t i = 0; i < 4 * terms; ++i) {
            const index_t r = rows[i];
            if (r < 0 || r >= table.rows)
                return ext::value_error(
                    "table_extinction: rows[%zd] = %zd is not a row of table (0 to %zd)",
                    Py_ssize_t(i), Py_ssize_t(r), Py_ssize_t(table.rows - 1));
        }
    }
    ext::run(terms * width, [&] {
        exokern::table_extinction(extinction, table, rows.view(), weights, density);
    });
    Py_RETURN_NONE;
}

PyDoc_STRVAR(line_extinction__doc__,
    "line_extinction($module, press, wn, temp, lines, icenter, mixing, gas, continuum, cutoff, /)\n"
    "--\n"
    "\n"
    "The extinction of alkali lines and a continuum, layers x wavenumbers.\n"
    "\n"
    "For every layer m and sample j, with sigma_i the cross section that\n"
    "_alkali.alkali_cross_section (norm 1) gives line i alone, its wing\n"
    "amplitude the Lorentz core's value at the core's edge, and\n"
    "atoms_i = mixing[i] * gas[m]:\n"
    "\n"
    "    ext[m, j] = ((0 + sigma_0 * atoms_0) + sigma_1 * atoms_1 + ...)\n"
    "                + continuum[m]\n"
    "\n"
    "the lines in their order, each over its window |wn - wn0| <= cutoff and at\n"
    "its centre sample.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "press, temp: 1D float ndarray\n"
    "    Pressure (barye) and temperature (K) of every layer.\n"
    "wn: 1D float ndarray\n"
    "    Wavenumbers (cm-1), ascending.\n"
    "lines: 2D float ndarray\n"
    "    One row per line: centre (cm-1), oscillator strength, and its species'\n"
    "    detuning at 500 K (cm-1), mass (u) and Lorentz half-width at 2000 K and\n"
    "    1.01e6 barye (cm-1), then the step of its resolution test (cm-1).\n"
    "icenter: 1D int32 ndarray\n"
    "    The sample of wn at every line's centre.\n"
    "mixing: 1D float ndarray\n"
    "    Absorbers of every line per gas particle.\n"
    "gas: 1D float ndarray\n"
    "    Number density of the gas in every layer (cm-3).\n"
    "continuum: 1D float ndarray\n"
    "    Extinction added to every sample of a layer (cm-1).\n"
    "cutoff: float\n"
    "    Half-width of every line's window (cm-1).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ext: 2D float ndarray\n"
    "    Extinction (cm-1), layers x wavenumbers.\n");

static PyObject* line_extinction(PyObject*, PyObject* args) {
    static const char* const name = "line_extinction";
    PyObject *press_obj, *wn_obj, *temp_obj, *lines_obj, *icenter_obj, *mixing_obj, *gas_obj;
    PyObject *continuum_obj, *cutoff_obj;
    if (!PyArg_ParseTuple(args, "OOOOOOOOO:line_extinction", &press_obj, &wn_obj, &temp_obj,
                          &lines_obj, &icenter_obj, &mixing_obj, &gas_obj, &continuum_obj,
                          &cutoff_obj))
        return nullptr;
    Vec<const double> press, wn, temp, mixing, gas, continuum;
    Mat<const double> lines;
    Vec<const int> icenter_arg;
    double cutoff;
    if (!ext::vector(name, "press", press_obj, press) ||
        !ext::vector(name, "wn", wn_obj, wn) ||
        !ext::vector(name, "temp", temp_obj, temp) ||
        !ext::matrix(name, "lines", lines_obj, lines) ||
        !ext::vector(name, "icenter", icenter_obj, icenter_arg) ||
        !ext::vector(name, "mixing", mixing_obj, mixing) ||
        !ext::vector(name, "gas", gas_obj, gas) ||
        !ext::vector(name, "continuum", continuum_obj, continuum) ||
        !ext::real(name, "cutoff", cutoff_obj, cutoff))
        return nullptr;
    const index_t layers = temp.n, count = lines.rows, samples = wn.n;
    static const char* const per_layer = "one per layer of temp";
    static const char* const per_line = "one per row of lines";
    if (!ext::at_least(name, "lines", lines.cols, exokern::line_columns, "columns",
                       "wn0, oscstr, detuning, mass, lorentz, dwn") ||
        !ext::at_least(name, "press", press.n, layers, "elements", per_layer) ||
        !ext::at_least(name, "continuum", continuum.n, layers, "elements", per_layer) ||
        !ext::at_least(name, "gas", gas.n, layers, "elements", per_layer) ||
        !ext::at_least(name, "icenter", icenter_arg.n, count, "elements", per_line) ||
        !ext::at_least(name, "mixing", mixing.n, count, "elements", per_line))
        return nullptr;
    ext::IndexCopy icenter;
    if (!icenter.take(Vec<const int>{icenter_arg.data, count, icenter_arg.stride}))
        return nullptr;
    if (samples > 0) {
        for (index_t i = 0; i < count; ++i) {
            const index_t k = icenter[i];
            if (k < 0 || k >= samples)
                return ext::value_error(
                    "line_extinction: icenter[%zd] = %zd is not a sample of wn (0 to %zd)",
                    Py_ssize_t(i), Py_ssize_t(k), Py_ssize_t(samples - 1));
        }
    }
    std::unique_ptr<exokern::detail::LineWindow[]> windows(
        new (std::nothrow) exokern::detail::LineWindow[std::max<index_t>(count, 1)]);
    std::unique_ptr<double[]> powers(new (std::nothrow) double[std::max<index_t>(4 * layers, 1)]);
    if (!windows || !powers) return PyErr_NoMemory();
    Mat<double> out;
    PyObject* result = ext::new_matrix(layers, samples, out);
    if (result == nullptr) return nullptr;
    ext::run(layers * samples * (count + 1), [&] {
        exokern::line_extinction(out, press, wn, temp, lines, icenter.view(), mixing, gas,
                                 continuum, cutoff, windows.get(), powers.get());
    });
    return result;
}

static PyMethodDef opacity_methods[] = {
    {"line_extinction", line_extinction, METH_VARARGS, line_extinction__doc__},
    {"table_extinction", table_extinction, METH_VARARGS, table_extinction__doc__},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef opacity_module = {
    PyModuleDef_HEAD_INIT, "_opacity", opacity__doc__, -1, opacity_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__opacity(void) { return ext::init_module(&opacity_module); }
