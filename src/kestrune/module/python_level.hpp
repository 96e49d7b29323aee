// The Python-level functions, defined by running their source once.
#pragma once

#include <Python.h>

namespace kestrune {

// The file name of the source.
inline constexpr char kPythonLevelFile[] = "<kestrune>";

// Whether `frame` runs the Python-level source. Its frames are hidden where a
// caller could tell them apart from C: warnings name the caller, tracebacks
// skip them.
bool is_python_level_code(PyFrameObject* frame);

// Runs the source with the module's dict as its globals and returns a new
// dict from name to function (or NULL with an exception set). The two
// kernels are the function objects that mask_image and selective_grayscale
// call directly.
PyObject* define_python_level(PyObject* module_dict, PyObject* mask_kernel, PyObject* grayscale_kernel);

}  // namespace kestrune
