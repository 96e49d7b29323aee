// Adapters of the edge scans and the point-list passes: the checks the kernels
// rely on, in the order callers see them, then one kernel call.
#include <cstdint>

#include "../edges/edges.hpp"
#include "entries.hpp"

namespace kestrune {
namespace {

// Pixel offsets and counts are 32-bit in the scan.
constexpr std::int64_t kPixelLimit = std::int64_t{1} << 31;
// Point counts are returned as 32-bit integers.
constexpr std::int64_t kRowLimit = std::int64_t{1} << 31;

PyObject* out_of_bounds(int axis) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
    return nullptr;
}

// The axis on which reading element [0, 0] fails, or -1 when it exists.
int missing_first_axis(const PointsView& v) {
    if (v.cols <= 0) return 1;
    if (v.rows <= 0) return 0;
    return -1;
}

bool check_pixel_count(std::int64_t rows, std::int64_t cols) {
    if (rows > 0 && cols > 0 && rows > (kPixelLimit - 1) / cols) {
        raise_value_error("_image must have fewer than 2**31 pixels (got %lld x %lld)", static_cast<long long>(rows),
                          static_cast<long long>(cols));
        return false;
    }
    return true;
}

// Columns first, so an array of the wrong shape is named for its shape.
bool check_points(const PointsView& v, const char* name) {
    if (!check_point_columns(v, name)) return false;
    if (v.rows >= kRowLimit) {
        raise_value_error("%s must have fewer than 2**31 rows (got %lld)", name, static_cast<long long>(v.rows));
        return false;
    }
    return true;
}

bool check_line_count(std::int32_t count, const char* name) {
    if (count > kMaxLineCount) {
        raise_value_error("%s must be at most %d (got %d)", name, static_cast<int>(kMaxLineCount),
                          static_cast<int>(count));
        return false;
    }
    return true;
}

bool check_line_counts(std::int32_t row_count, std::int32_t column_count) {
    return check_line_count(row_count, "row_count") && check_line_count(column_count, "column_count");
}

}  // namespace

PyObject* entry_simple_edge_hsv(Args& a) {
    const ImageView image = a.image(0);
    const PointsView ps = a.points(1);
    if (image.rows > 0 && image.cols > 0 && image.channels != 3) {
        return raise_value_error("_image must have 3 channels (got %lld)", static_cast<long long>(image.channels));
    }
    if (!check_pixel_count(image.rows, image.cols) || !check_points(ps, "_ps") ||
        !check_line_counts(a.int32[3], a.int32[4])) {
        return nullptr;
    }
    return PyLong_FromLong(simple_edge_hsv(image, ps, a.bounds[2], a.int32[3], a.int32[4]));
}

PyObject* entry_simple_edge(Args& a) {
    const PlaneView image = a.plane(0);
    const PointsView ps = a.points(1);
    if (!check_pixel_count(image.rows, image.cols) || !check_points(ps, "_ps") ||
        !check_line_counts(a.int32[2], a.int32[3])) {
        return nullptr;
    }
    return PyLong_FromLong(simple_edge(image, ps, a.int32[2], a.int32[3]));
}

PyObject* entry_simple_denoise(Args& a) {
    const PointsView in = a.points(0);
    const PointsView out = a.points(1);
    if (in.rows == 0) return PyLong_FromLong(0);
    if (const int axis = missing_first_axis(in); axis >= 0) return out_of_bounds(axis);
    if (const int axis = missing_first_axis(out); axis >= 0) return out_of_bounds(axis);
    if (!check_points(in, "_ps_in") || !check_points(out, "_ps_out")) return nullptr;
    if (in.rows == 1) return PyLong_FromLong(0);
    // The output can need as many rows as the input; refuse before writing any.
    if (out.rows < in.rows) {
        return raise_value_error("_ps_out must have at least as many rows as _ps_in (%lld < %lld)",
                                 static_cast<long long>(out.rows), static_cast<long long>(in.rows));
    }
    return PyLong_FromLong(simple_denoise(in, out, a.int32[2]));
}

PyObject* entry_remove_inliers(Args& a) {
    const PointsView in = a.points(0);
    const PointsView out = a.points(1);
    const MaskView ms = a.mask(2);
    if (ms.size <= 0) return out_of_bounds(0);
    if (in.rows == 0) return PyLong_FromLong(0);
    if (const int axis = missing_first_axis(in); axis >= 0) return out_of_bounds(axis);
    if (const int axis = missing_first_axis(out); axis >= 0) return out_of_bounds(axis);
    if (!check_points(in, "_ps_in") || !check_points(out, "_ps_out")) return nullptr;
    if (ms.size < in.rows) {
        return raise_value_error("_ms must have an entry for every row of _ps_in (%lld < %lld)",
                                 static_cast<long long>(ms.size), static_cast<long long>(in.rows));
    }
    const std::int64_t kept = count_kept(in, ms);
    if (out.rows < kept) {
        return raise_value_error("_ps_out must have a row for every kept point (%lld < %lld)",
                                 static_cast<long long>(out.rows), static_cast<long long>(kept));
    }
    return PyLong_FromLong(remove_inliers(in, out, ms));
}

}  // namespace kestrune
