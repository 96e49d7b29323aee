// The Python-level functions, defined by running their source once.
#pragma once

#include <Python.h>

namespace kestrune {

// The file name of the source, as tracebacks show it.
inline constexpr char kPythonLevelFile[] = "<kestrune>";

// Runs the source with the module's dict as its globals and returns a new
// dict from name to function (or NULL with an exception set). The two
// kernels are the function objects that mask_image and selective_grayscale
// call directly.
PyObject* define_python_level(PyObject* module_dict, PyObject* mask_kernel, PyObject* grayscale_kernel);

}  // namespace kestrune
