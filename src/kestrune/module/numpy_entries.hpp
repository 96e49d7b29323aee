// The module functions written with NumPy that stay C++ (numpy_entries.cpp).
#pragma once

#include <Python.h>

namespace kestrune {

PyObject* calculate_lch_bounds_entry(PyObject* hue_limit, PyObject* chroma_limit, PyObject* intensity_limit,
                                     PyObject* rgb_bits);
PyObject* mask_color_entry(PyObject* color, PyObject* bounds);
PyObject* mask_image_py_entry(PyObject* image, PyObject* bounds);

// A global of the running module (falls back to builtins); new reference, or
// NULL with NameError, as a Python-level function reads its globals.
PyObject* module_global(const char* name);

}  // namespace kestrune
