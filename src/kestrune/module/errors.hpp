// The exceptions the calling layer raises of its own.
#pragma once

#include <Python.h>

namespace kestrune {

// Sets ValueError with a printf-style message and returns NULL, for entries.
PyObject* raise_value_error(const char* format, ...);

// IndexError "Out of bounds on buffer access (axis %d)" and NULL: the first
// element of an array that lacks it along `axis`.
PyObject* out_of_bounds(int axis);

}  // namespace kestrune
