// Buffer views of the caller's arrays, and the bounds record from a mapping.
#pragma once

#include <Python.h>

#include "../types.hpp"

namespace kestrune {

enum class ViewKind {
    image,        // 3 axes, unsigned char
    image_uchar,  // the same, named "uchar" in messages
    plane,        // 2 axes, unsigned char
    points,       // 2 axes, int
    mask,         // 1 axis, uint8_t, whole buffer C-contiguous
};

// One buffer export, held for the duration of a call and released by the
// destructor on every path. None gives an empty view (nothing held).
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Acquires `obj` as a view of `kind`; false with a Python exception set.
    bool acquire(PyObject* obj, ViewKind kind);
    void release();

    bool held() const { return held_; }
    ImageView image() const;
    PlaneView plane() const;
    PointsView points() const;
    MaskView mask() const;

private:
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(buffer_.buf); }
    std::int64_t extent(int axis) const { return buffer_.shape[axis]; }
    std::int64_t stride(int axis) const { return buffer_.strides[axis]; }

    Py_buffer buffer_{};
    Py_ssize_t packed_strides_[3] = {};  // for exporters that give no strides
    bool held_ = false;
};

// Fills `out` from a mapping with the keys "i", "c" and "M";
// false with a Python exception set.
bool bounds_from_mapping(PyObject* obj, LchBounds& out);

}  // namespace kestrune
