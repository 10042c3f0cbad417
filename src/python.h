// The module's boundary with the CPython interpreter. Only this source module
// touches the Python C API; it exports the single symbol PyInit_velmora.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// PyMODINIT_FUNC carries extern "C" itself in C++.
PyMODINIT_FUNC PyInit_velmora(void);
