#include "errors.hpp"

#include <cstdarg>
#include <cstdio>

namespace kestrune {

PyObject* raise_value_error(const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

PyObject* out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    return nullptr;
}

}  // namespace kestrune
