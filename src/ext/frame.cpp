// Error policy of the exokern extension modules.
//
// The methods are called from Python by people, so a mistake gives a clear exception, never a
// crash, a silent wrong answer or a half-written array:
//   - after parsing, every array argument is checked before any element is read or written:
//     it must be a numpy.ndarray (else TypeError) of the dtype it must have, float64 or int32
//     (numpy.intc), in native byte order (else TypeError; nothing is converted); it must have
//     the right number of dimensions, be aligned, and be writeable where the method writes it,
//     and it must be long enough for what the method reads, with every index taken from the
//     caller inside the array it indexes (else ValueError);
//   - messages name the method and the argument and say what was expected and what was found;
//   - after any exception every caller array is exactly as it was;
//   - values are not judged: NaN, infinities and zero widths follow IEEE arithmetic silently.
// Counts and indices are 64-bit (npy_intp) inside. The exported native functions are for
// native callers and are not checked; the public header states their preconditions.
//
// This is the only file that includes numpy's headers, so its numpy API table is private to
// the module it is linked into.
#include "frame.hpp"

#include "exokern/simd.hpp"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <numpy/arrayobject.h>

namespace exokern::ext {

namespace {

template <class T>
struct Dtype;

template <>
struct Dtype<double> {
    static constexpr const char* name = "float64";
    static bool matches(PyArrayObject* a) {
        return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a);
    }
};

template <>
struct Dtype<int> {
    static constexpr const char* name = "int32 (numpy.intc)";
    static bool matches(PyArrayObject* a) {
        const int t = PyArray_TYPE(a);
        const bool int32 = t == NPY_INT || (NPY_SIZEOF_LONG == 4 && t == NPY_LONG);
        return int32 && PyArray_ISNOTSWAPPED(a);
    }
};

// The array behind obj if it passes the checks for a view of T with `ndim` dimensions.
template <class T>
PyArrayObject* checked(const char* method, const char* name, PyObject* obj, int ndim) {
    using E = std::remove_const_t<T>;
    if (!PyArray_Check(obj)) {
        PyObject* type = type_name(obj);
        if (type == nullptr) return nullptr;
        PyErr_Format(PyExc_TypeError, "%s: %s must be a numpy.ndarray, got %S", method, name,
                     type);
        Py_DECREF(type);
        return nullptr;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!Dtype<E>::matches(a)) {
        PyErr_Format(PyExc_TypeError, "%s: %s must have dtype %s, got %S", method, name,
                     Dtype<E>::name, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return nullptr;
    }
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be %d-dimensional, got %d-dimensional",
                     method, name, ndim, PyArray_NDIM(a));
        return nullptr;
    }
    if (!PyArray_ISALIGNED(a)) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be aligned in memory, got a misaligned array",
                     method, name);
        return nullptr;
    }
    if (!std::is_const_v<T> && !PyArray_ISWRITEABLE(a)) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be writeable, got a read-only array", method,
                     name);
        return nullptr;
    }
    return a;
}

template <class T>
Vec<T> vec_of(PyArrayObject* a) noexcept {
    const bool has_axis = PyArray_NDIM(a) >= 1;
    return {static_cast<detail::byte_ptr<T>>(PyArray_BYTES(a)), has_axis ? PyArray_DIM(a, 0) : 0,
            has_axis ? PyArray_STRIDE(a, 0) : index_t(sizeof(T))};
}

template <class T>
Mat<T> mat_of(PyArrayObject* a) noexcept {
    return {static_cast<detail::byte_ptr<T>>(PyArray_BYTES(a)), PyArray_DIM(a, 0),
            PyArray_DIM(a, 1), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}

}  // namespace

PyObject* type_name(PyObject* obj) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
}

namespace {

// Sets `kind` "<method>: <name> must be <what>, got <type of obj>".
bool wrong_type(PyObject* kind, const char* method, const char* name, const char* what,
                PyObject* obj) {
    PyObject* type = type_name(obj);
    if (type == nullptr) return false;
    PyErr_Format(kind, "%s: %s must be %s, got %S", method, name, what, type);
    Py_DECREF(type);
    return false;
}

}  // namespace

bool real(const char* method, const char* name, PyObject* obj, double& value) {
    // What float() accepts of a number, and no strings: PyFloat_AsDouble takes __float__ and
    // __index__ objects.
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) ||
        (!PyFloat_Check(obj) && !PyLong_Check(obj) && !PyNumber_Check(obj)))
        return wrong_type(PyExc_TypeError, method, name, "a real number", obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "%s: %s is too large for a float64", method,
                         name);
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            wrong_type(PyExc_TypeError, method, name, "a real number", obj);
        }
        return false;
    }
    value = v;
    return true;
}

bool integer(const char* method, const char* name, PyObject* obj, int& value) {
    if (PyFloat_Check(obj) || !PyIndex_Check(obj))
        return wrong_type(PyExc_TypeError, method, name, "an integer", obj);
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s: %s must fit in a 32-bit int (%d to %d)", method,
                     name, INT_MIN, INT_MAX);
        return false;
    }
    value = int(v);
    return true;
}

bool disjoint(const char* method, const char* written, Extent w, const char* other, Extent o) {
    if (w.lo == w.hi || o.lo == o.hi || w.hi <= o.lo || o.hi <= w.lo) return true;
    PyErr_Format(PyExc_ValueError, "%s: %s overlaps %s in memory", method, written, other);
    return false;
}

bool IndexCopy::take(Vec<const int> source) {
    n_ = std::max<index_t>(source.n, 0);
    data_.reset(new (std::nothrow) int[n_ > 0 ? n_ : 1]);
    if (!data_) {
        PyErr_NoMemory();
        return false;
    }
    if (source.unit() && n_ > 0) {
        std::memcpy(data_.get(), source.ptr(), size_t(n_) * sizeof(int));
    } else {
        for (index_t i = 0; i < n_; ++i) data_[i] = source[i];
    }
    return true;
}

// The vector path of the kernels: the widest this CPU supports, or the one EXOKERN_SIMD names.
// An unknown name fails the import; a path this CPU cannot run warns and takes the widest.
static bool choose_simd() {
    using exokern::Simd;
    const char* want = std::getenv("EXOKERN_SIMD");
    exokern::simd_path() = exokern::simd_best();
    if (want == nullptr || *want == '\0' || std::strcmp(want, "auto") == 0) return true;
    for (Simd s : {Simd::scalar, Simd::avx2, Simd::avx512}) {
        if (std::strcmp(want, exokern::simd_name(s)) != 0) continue;
        if (exokern::simd_supported(s)) {
            exokern::simd_path() = s;
            return true;
        }
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "EXOKERN_SIMD=%s: this CPU cannot run that path; using %s",
                                want, exokern::simd_name(exokern::simd_path())) == 0;
    }
    PyErr_Format(PyExc_ImportError,
                 "EXOKERN_SIMD must be auto, scalar, avx2 or avx512, got '%s'", want);
    return false;
}

static bool add_simd_constants(PyObject* module) {
    using exokern::Simd;
    // The paths this CPU runs, narrowest first: scalar always, avx2 and avx512 if supported.
    const Simd all[] = {Simd::scalar, Simd::avx2, Simd::avx512};
    Py_ssize_t count = 0;
    for (Simd s : all) count += exokern::simd_supported(s);
    PyObject* paths = PyTuple_New(count);
    if (paths == nullptr) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_FromString(exokern::simd_name(all[i]));
        if (name == nullptr || PyTuple_SetItem(paths, i, name) < 0) {
            Py_DECREF(paths);
            return false;
        }
    }
    if (PyModule_AddObject(module, "_simd_paths", paths) < 0) {
        Py_DECREF(paths);
        return false;
    }
    return PyModule_AddStringConstant(module, "_simd",
                                      exokern::simd_name(exokern::simd_path())) == 0;
}

// _set_simd(name): switch this module's path at run time (for benchmarks that compare the
// paths in one process); returns the previous path's name.
static PyObject* set_simd(PyObject* module, PyObject* args) {
    const char* want;
    if (!PyArg_ParseTuple(args, "s:_set_simd", &want)) return nullptr;
    for (exokern::Simd s : {exokern::Simd::scalar, exokern::Simd::avx2, exokern::Simd::avx512}) {
        if (std::strcmp(want, exokern::simd_name(s)) != 0) continue;
        if (!exokern::simd_supported(s))
            return value_error("_set_simd: this CPU cannot run the path '%s'", want);
        const char* before = exokern::simd_name(exokern::simd_path());
        exokern::simd_path() = s;
        if (PyModule_AddStringConstant(module, "_simd", want) < 0) return nullptr;
        return PyUnicode_FromString(before);
    }
    return value_error("_set_simd: the path must be scalar, avx2 or avx512, got '%s'", want);
}

static PyMethodDef simd_methods[] = {
    {"_set_simd", set_simd, METH_VARARGS,
     "_set_simd($module, name, /)\n--\n\nUse the vector path `name` in this module's "
     "kernels from now on; returns the previous one."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* init_module(PyModuleDef* def) {
    if (!choose_simd()) return nullptr;
    PyObject* module = PyModule_Create(def);
    if (module == nullptr) return nullptr;
    if (!add_simd_constants(module) || PyModule_AddFunctions(module, simd_methods) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // numpy's own import: numpy._core._multiarray_umath on numpy 2, numpy.core's on 1.x, so
    // neither series warns about the other's module path.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

template <class T>
bool vector(const char* method, const char* name, PyObject* obj, Vec<T>& view) {
    PyArrayObject* a = checked<T>(method, name, obj, 1);
    if (a == nullptr) return false;
    view = vec_of<T>(a);
    return true;
}

template <class T>
bool matrix(const char* method, const char* name, PyObject* obj, Mat<T>& view) {
    PyArrayObject* a = checked<T>(method, name, obj, 2);
    if (a == nullptr) return false;
    view = mat_of<T>(a);
    return true;
}

bool at_least(const char* method, const char* name, index_t have, index_t need,
              const char* unit, const char* why) {
    if (have >= need) return true;
    if (why != nullptr) {
        PyErr_Format(PyExc_ValueError, "%s: %s must have at least %zd %s (%s), got %zd", method,
                     name, Py_ssize_t(need), unit, why, Py_ssize_t(have));
    } else {
        PyErr_Format(PyExc_ValueError, "%s: %s must have at least %zd %s, got %zd", method, name,
                     Py_ssize_t(need), unit, Py_ssize_t(have));
    }
    return false;
}

bool count_fits(const char* method, const char* counts, index_t i, index_t count, index_t need,
                const char* unit, const char* name, index_t have) {
    if (have >= need) return true;
    PyErr_Format(PyExc_ValueError, "%s: %s[%zd] = %zd needs %zd %s of %s, got %zd", method,
                 counts, Py_ssize_t(i), Py_ssize_t(count), Py_ssize_t(need), unit, name,
                 Py_ssize_t(have));
    return false;
}

std::nullptr_t value_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* new_vector(index_t n, Vec<double>& view) {
    npy_intp dims[1] = {n};
    PyObject* obj = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (obj != nullptr) view = vec_of<double>(reinterpret_cast<PyArrayObject*>(obj));
    return obj;
}

PyObject* new_matrix(index_t rows, index_t cols, Mat<double>& view) {
    npy_intp dims[2] = {rows, cols};
    PyObject* obj = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (obj != nullptr) view = mat_of<double>(reinterpret_cast<PyArrayObject*>(obj));
    return obj;
}

template <class T>
Vec<T> raw_vector(PyObject* obj) noexcept {
    return vec_of<T>(reinterpret_cast<PyArrayObject*>(obj));
}

template <class T>
Mat<T> raw_matrix(PyObject* obj) noexcept {
    return mat_of<T>(reinterpret_cast<PyArrayObject*>(obj));
}

#define EXOKERN_INSTANTIATE(T)                                             \
    template bool vector<T>(const char*, const char*, PyObject*, Vec<T>&); \
    template bool matrix<T>(const char*, const char*, PyObject*, Mat<T>&); \
    template Vec<T> raw_vector<T>(PyObject*) noexcept;                     \
    template Mat<T> raw_matrix<T>(PyObject*) noexcept;
EXOKERN_INSTANTIATE(const double)
EXOKERN_INSTANTIATE(double)
EXOKERN_INSTANTIATE(const int)
EXOKERN_INSTANTIATE(int)
#undef EXOKERN_INSTANTIATE

}  // namespace exokern::ext
