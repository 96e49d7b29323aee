#include "binding.hpp"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <utility>

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

// dict[key] = value, taking the value over; false with an exception set.
bool set_item(const PyRef& dict, const char* key, PyRef&& value) {
    PyRef owned(std::move(value));
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
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

PyObject* record_to_dict(const Line& r) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict, "px", PyRef(PyLong_FromLong(r.px))) ||
        !set_item(dict, "py", PyRef(PyLong_FromLong(r.py))) || !set_item(dict, "nx", PyRef(PyLong_FromLong(r.nx))) ||
        !set_item(dict, "ny", PyRef(PyLong_FromLong(r.ny))))
        return nullptr;
    return dict.release();
}

PyObject* record_to_dict(const Circle& r) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict, "x", PyRef(PyLong_FromLong(r.x))) ||
        !set_item(dict, "y", PyRef(PyLong_FromLong(r.y))) || !set_item(dict, "r", PyRef(PyLong_FromLong(r.r))))
        return nullptr;
    return dict.release();
}

PyObject* record_to_dict(const Ellipse& r) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict, "x", PyRef(PyFloat_FromDouble(r.x))) ||
        !set_item(dict, "y", PyRef(PyFloat_FromDouble(r.y))) ||
        !set_item(dict, "a", PyRef(PyFloat_FromDouble(r.a))) ||
        !set_item(dict, "b", PyRef(PyFloat_FromDouble(r.b))) ||
        !set_item(dict, "theta", PyRef(PyFloat_FromDouble(r.theta))))
        return nullptr;
    return dict.release();
}

PyObject* record_to_tuple(const Line2& r) {
    PyRef first(record_to_dict(r.l1));
    if (!first) return nullptr;
    PyRef second(record_to_dict(r.l2));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* raise_value_error(const char* format, ...) {
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

bool check_points(const PointsView& v, const char* name) {
    if (v.rows > 0 && v.cols != 2) {
        raise_value_error("%s must have exactly 2 columns (got %lld)", name, static_cast<long long>(v.cols));
        return false;
    }
    if (v.rows >= kCountLimit) {
        raise_value_error("%s must have fewer than 2**31 rows (got %lld)", name, static_cast<long long>(v.rows));
        return false;
    }
    return true;
}

}  // namespace kestrune
