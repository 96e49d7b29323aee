// Argument binding, number conversion and result records.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../types.hpp"
#include "views.hpp"

namespace kestrune {

// How a parameter is converted before the routine runs.
enum class Kind : std::uint8_t {
    object,       // passed on as the Python object, unchecked
    int32,        // 32-bit signed integer
    float64,      // double
    image,        // image view ("unsigned char")
    image_uchar,  // image view ("uchar")
    plane,        // plane view
    points,       // point-array view
    mask,         // point-mask view
    bounds,       // lch_bounds record from a mapping
};

enum class Default : std::uint8_t { required, none, int8 };

struct Param {
    const char* name;
    Kind kind;
    Default fallback = Default::required;
};

inline constexpr int kMaxParams = 6;

// The converted arguments of one call, in declaration order. Views are
// released when this goes out of scope, whatever the outcome.
struct Args {
    PyObject* object[kMaxParams] = {};  // borrowed, every parameter
    std::int32_t int32[kMaxParams] = {};
    double float64[kMaxParams] = {};
    BufferView view[kMaxParams];
    LchBounds bounds[kMaxParams] = {};

    ImageView image(int k) const { return view[k].image(); }
    PlaneView plane(int k) const { return view[k].plane(); }
    PointsView points(int k) const { return view[k].points(); }
    MaskView mask(int k) const { return view[k].mask(); }
};

// Converts one argument by its kind into slot k of `args`; false with an
// exception set.
bool convert_argument(PyObject* obj, Kind kind, int k, Args& args);

// 32-bit integer and double conversion with the module's rules.
bool to_int32(PyObject* obj, std::int32_t& out);
bool to_double(PyObject* obj, double& out);

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

// Sets ValueError with a printf-style message and returns NULL, for adapters.
PyObject* raise_value_error(const char* format, ...);

// A point array that has rows must have exactly two columns. False with
// ValueError "<name> must have exactly 2 columns (got <cols>)" otherwise.
bool check_point_columns(const PointsView& v, const char* name);

}  // namespace kestrune
