// The callable type behind every module function, and its table rows.
#pragma once

#include <Python.h>

#include "binding.hpp"

namespace kestrune {

// Calls the routine with converted arguments; returns a new reference or NULL.
using Adapter = PyObject* (*)(Args& args);

// One row of the function table.
struct FunctionSpec {
    const char* name;
    Param params[kMaxParams];
    int param_count;
    Adapter adapter;
};

// Creates the function object for a row (new reference, or NULL).
PyObject* make_function(const FunctionSpec* spec);

// Converts `args` (exactly spec.param_count positional values) and runs the
// adapter: the path a convenience function uses to call a kernel directly.
PyObject* invoke_spec(const FunctionSpec& spec, PyObject* const* args);

// A global of the running module (falls back to builtins); new reference, or
// NULL with NameError, as a Python-level function reads its globals.
PyObject* module_global(const char* name);

}  // namespace kestrune
