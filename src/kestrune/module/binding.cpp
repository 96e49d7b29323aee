#include "binding.hpp"

#include <utility>

#include "errors.hpp"
#include "pyref.hpp"

namespace kestrune {

namespace {

// dict[key] = value, taking the value over; false with an exception set.
bool set_item(const PyRef& dict, const char* key, PyRef&& value) {
    PyRef owned(std::move(value));
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
}

}  // namespace

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

}  // namespace kestrune
