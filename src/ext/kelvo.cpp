// exokern._kelvo: placeholder until its methods land.
#include "frame.hpp"

PyDoc_STRVAR(kelvo__doc__, "Python wrapper for the temperature-profile models.");

static PyMethodDef kelvo_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef kelvo_module = {
    PyModuleDef_HEAD_INIT, "_kelvo", kelvo__doc__, -1, kelvo_methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__kelvo(void) { return exokern::ext::init_module(&kelvo_module); }
