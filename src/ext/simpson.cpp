// exokern._simpson: placeholder until its methods land.
#include "frame.hpp"

PyDoc_STRVAR(simpson__doc__, "Python wrapper for Simpson integration.");

static PyMethodDef simpson_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef simpson_module = {
    PyModuleDef_HEAD_INIT, "_simpson", simpson__doc__, -1, simpson_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__simpson(void) { return exokern::ext::init_module(&simpson_module); }
