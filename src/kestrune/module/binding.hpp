// Argument conversion by parameter type (the numbers and views below it), and
// result records.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../types.hpp"
#include "numbers.hpp"
#include "views.hpp"

namespace kestrune {

// How an argument becomes a parameter of type T: convert() takes the Python
// object (false with an exception set), get() hands the value to the entry.
// Whatever convert() acquires is held until the call returns.
template <class T> struct Converted;

// Passed on as the Python object itself, unchecked (borrowed for the call).
template <> struct Converted<PyObject*> {
    PyObject* value = nullptr;
    bool convert(PyObject* obj) {
        value = obj;
        return true;
    }
    PyObject* get() const { return value; }
};

template <> struct Converted<std::int32_t> {
    std::int32_t value = 0;
    bool convert(PyObject* obj) { return to_int32(obj, value); }
    std::int32_t get() const { return value; }
};

template <> struct Converted<double> {
    double value = 0.0;
    bool convert(PyObject* obj) { return to_double(obj, value); }
    double get() const { return value; }
};

template <> struct Converted<LchBounds> {
    LchBounds value{};
    bool convert(PyObject* obj) { return bounds_from_mapping(obj, value); }
    const LchBounds& get() const { return value; }
};

template <class View> struct ConvertedView {
    BufferView view;
    bool convert(PyObject* obj) { return view.acquire(obj, view_kind_of<View>); }
    View get() const { return view.as<View>(); }
};
template <> struct Converted<ImageView> : ConvertedView<ImageView> {};
template <> struct Converted<UcharImageView> : ConvertedView<UcharImageView> {};
template <> struct Converted<PlaneView> : ConvertedView<PlaneView> {};
template <> struct Converted<PointsView> : ConvertedView<PointsView> {};
template <> struct Converted<MaskView> : ConvertedView<MaskView> {};

// Result records as fresh dicts in field order (new references, or NULL).
PyObject* record_to_dict(const Line& r);
PyObject* record_to_dict(const Circle& r);
PyObject* record_to_dict(const Ellipse& r);
PyObject* record_to_tuple(const Line2& r);

}  // namespace kestrune
