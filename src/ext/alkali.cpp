// exokern._alkali: placeholder until its methods land.
#include "frame.hpp"

PyDoc_STRVAR(alkali__doc__, "Wrapper for the alkali extinction-coeficient calculation.");

static PyMethodDef alkali_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef alkali_module = {
    PyModuleDef_HEAD_INIT, "_alkali", alkali__doc__, -1, alkali_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__alkali(void) { return exokern::ext::init_module(&alkali_module); }
