#include "numbers.hpp"

#include <climits>

#include "pyref.hpp"
#include "python_level.hpp"

namespace kestrune {

namespace {

bool long_to_int32(PyObject* value, std::int32_t& out) {
    long wide;
    if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        wide = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
    } else {
        wide = PyLong_AsLong(value);  // beyond 64 bits: the interpreter's own OverflowError
        if (wide == -1 && PyErr_Occurred()) return false;
    }
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<std::int32_t>(wide);
    return true;
}

// The warning's stack level that names the caller: frames of the
// Python-level source (mask_image converting its bounds through the kernel)
// are skipped, so the warning points where it would from C.
int caller_stack_level() {
    int level = 1;
    PyRef held;
    for (PyFrameObject* frame = PyEval_GetFrame(); frame != nullptr && is_python_level_code(frame); ++level) {
        held = PyRef(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
        frame = reinterpret_cast<PyFrameObject*>(held.get());
    }
    return level;
}

}  // namespace

bool to_int32(PyObject* obj, std::int32_t& out) {
    if (PyLong_Check(obj)) return long_to_int32(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    PyRef result(number->nb_int(obj));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        const char* type_name = Py_TYPE(result.get())->tp_name;
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int", type_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, caller_stack_level(),
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             type_name) < 0)
            return false;
    }
    return long_to_int32(result.get(), out);
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

}  // namespace kestrune
