// Python numbers as the native 32-bit integers and doubles of the kernels:
// below both the array views (the bounds record's entries) and the binder.
#pragma once

#include <Python.h>

#include <cstdint>

namespace kestrune {

// An int (or int subclass) directly, anything else through __int__; a value
// outside int32 is OverflowError "value too large to convert to int". False
// with an exception set.
bool to_int32(PyObject* obj, std::int32_t& out);

// An exact float directly, anything else by the interpreter's conversion.
bool to_double(PyObject* obj, double& out);

}  // namespace kestrune
