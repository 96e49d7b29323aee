// Argument conversion by parameter type, and result records.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../types.hpp"
#include "views.hpp"

namespace kestrune {

// 32-bit integer and double conversion with the module's rules.
bool to_int32(PyObject* obj, std::int32_t& out);
bool to_double(PyObject* obj, double& out);

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

// Releases the interpreter lock for a scope when the calling thread holds it.
class GilRelease {
public:
    GilRelease() {
        if (PyGILState_Check()) state_ = PyEval_SaveThread();
    }
    ~GilRelease() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_ = nullptr;
};

// Sets ValueError with a printf-style message and returns NULL, for entries.
PyObject* raise_value_error(const char* format, ...);

// Counts the kernels take, return or sample from are 32-bit signed integers:
// rows of a point array and pixels of a scanned image stay below this.
inline constexpr std::int64_t kCountLimit = std::int64_t{1} << 31;

// A point array with rows has exactly two columns and fewer than 2**31 rows
// (a zero row stride lets a view claim any number); columns first, so an array
// of the wrong shape is named for its shape. False with ValueError otherwise.
bool check_points(const PointsView& v, const char* name);

}  // namespace kestrune
