// Buffer views of the caller's arrays, and the bounds record from a mapping.
#pragma once

#include <Python.h>

#include "../types.hpp"

namespace kestrune {

// simple_edge_hsv's image: an ImageView whose element is named "uchar" in
// messages, where every other image says "unsigned char".
struct UcharImageView : ImageView {};

enum class ViewKind {
    image,        // 3 axes, unsigned char
    image_uchar,  // the same, named "uchar" in messages
    plane,        // 2 axes, unsigned char
    points,       // 2 axes, int
    mask,         // 1 axis, uint8_t, whole buffer C-contiguous
};

// The kind a parameter of view type V is acquired as.
template <class V> inline constexpr ViewKind view_kind_of = ViewKind::image;
template <> inline constexpr ViewKind view_kind_of<UcharImageView> = ViewKind::image_uchar;
template <> inline constexpr ViewKind view_kind_of<PlaneView> = ViewKind::plane;
template <> inline constexpr ViewKind view_kind_of<PointsView> = ViewKind::points;
template <> inline constexpr ViewKind view_kind_of<MaskView> = ViewKind::mask;

// One buffer export, held for the duration of a call and released by the
// destructor on every path. None gives an empty view (nothing held).
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView();

    // Acquires `obj` as a view of `kind`, once; false with a Python exception set.
    bool acquire(PyObject* obj, ViewKind kind);

    // An empty view (None) reads as all zeros: no data, every extent and stride 0.
    template <class V> V as() const;

private:
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(buffer_.buf); }
    std::int64_t extent(int axis) const { return buffer_.shape[axis]; }
    std::int64_t stride(int axis) const { return buffer_.strides[axis]; }

    Py_buffer buffer_{};
    Py_ssize_t packed_strides_[3] = {};  // for exporters that give no strides
    bool held_ = false;
};

template <> inline ImageView BufferView::as<ImageView>() const {
    if (!held_) return {};
    return {data(), extent(0), extent(1), extent(2), stride(0), stride(1)};
}
template <> inline UcharImageView BufferView::as<UcharImageView>() const { return {as<ImageView>()}; }
template <> inline PlaneView BufferView::as<PlaneView>() const {
    if (!held_) return {};
    return {data(), extent(0), extent(1), stride(0)};
}
template <> inline PointsView BufferView::as<PointsView>() const {
    if (!held_) return {};
    return {data(), extent(0), extent(1), stride(0)};
}
template <> inline MaskView BufferView::as<MaskView>() const {
    if (!held_) return {};
    return {data(), extent(0)};
}

// Counts the kernels take, return or sample from are 32-bit signed integers:
// rows of a point array and pixels of a scanned image stay below this.
inline constexpr std::int64_t kCountLimit = std::int64_t{1} << 31;

// The extent a kind fixes: an image has 3 channels, a point array 2 columns.
// Entries test it where their other checks stand (after every argument is
// converted), and only for a view with elements on its other axes; false with
// ValueError in the kind's words ("_image must have exactly 3 channels (got 4)",
// simple_edge_hsv's "uchar" image "must have 3 channels").
bool has_fixed_extent(const ImageView& v, const char* name);
bool has_fixed_extent(const UcharImageView& v, const char* name);
bool has_fixed_extent(const PointsView& v, const char* name);

// A point array with rows has exactly two columns and fewer than 2**31 rows
// (a zero row stride lets a view claim any number); columns first, so an array
// of the wrong shape is named for its shape. False with ValueError otherwise.
bool check_points(const PointsView& v, const char* name);

// Fills `out` from a mapping with the keys "i", "c" and "M";
// false with a Python exception set.
bool bounds_from_mapping(PyObject* obj, LchBounds& out);

}  // namespace kestrune
