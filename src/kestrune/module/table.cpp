// The function table: one row per module function, in namespace order, and
// the typed entries of the native rows. An entry's parameter types decide how
// each argument is converted (views, int32, double, the bounds record, or the
// object itself); it checks what its kernel relies on, in the order callers
// see the errors, then calls the kernel once.
#include <cstdint>

#include "../dispatch/masking.hpp"
#include "../dispatch/edges.hpp"
#include "../dispatch/fits.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "numpy_entries.hpp"
#include "table.hpp"

namespace kestrune {

namespace {

// ---------------------------------------------------------------------------
// Masking kernels

// The kernels walk H x W pixels of 3 bytes into an output of at least H x W;
// anything else would read or write outside the caller's arrays, so it is
// refused here, before a byte is written.
bool check_masking_views(const ImageView& image, const PlaneView& output) {
    if (image.rows == 0 || image.cols == 0) return true;  // nothing is read or written
    if (!has_fixed_extent(image, "_image")) return false;
    if (output.rows < image.rows) {
        raise_value_error("_output must have at least %lld rows (got %lld)", static_cast<long long>(image.rows),
                          static_cast<long long>(output.rows));
        return false;
    }
    if (output.cols < image.cols) {
        raise_value_error("_output must have at least %lld columns (got %lld)", static_cast<long long>(image.cols),
                          static_cast<long long>(output.cols));
        return false;
    }
    // The count is an unsigned 32-bit number; larger images would be cut short.
    const auto rows = static_cast<unsigned long long>(image.rows);
    const auto cols = static_cast<unsigned long long>(image.cols);
    if (rows > 0xFFFFFFFFull / cols) {
        raise_value_error("_image must have fewer than 2**32 pixels (got %llu x %llu)", rows, cols);
        return false;
    }
    return true;
}

using MaskingKernel = std::uint32_t (*)(const ImageView&, const PlaneView&, const LchBounds&);

PyObject* run_masking(MaskingKernel kernel, const ImageView& image, const PlaneView& output,
                      const LchBounds& bounds) {
    if (!check_masking_views(image, output)) return nullptr;
    std::uint32_t n;
    {
        GilRelease unlocked;
        n = kernel(image, output, bounds);
    }
    return PyLong_FromUnsignedLong(n);
}

PyObject* mask_image_cy_impl_entry(ImageView image, PlaneView output, const LchBounds& bounds) {
    return run_masking(mask_image, image, output, bounds);
}

PyObject* selective_grayscale_impl_entry(ImageView image, PlaneView output, const LchBounds& bounds) {
    return run_masking(selective_grayscale, image, output, bounds);
}

// ---------------------------------------------------------------------------
// Edge scans and point lists

// The axis on which reading element [0, 0] fails, or -1 when it exists.
int missing_first_axis(const PointsView& v) {
    if (v.cols <= 0) return 1;
    if (v.rows <= 0) return 0;
    return -1;
}

// Pixel offsets and counts are 32-bit in the scan.
bool check_pixel_count(std::int64_t rows, std::int64_t cols) {
    if (rows > 0 && cols > 0 && rows > (kCountLimit - 1) / cols) {
        raise_value_error("_image must have fewer than 2**31 pixels (got %lld x %lld)", static_cast<long long>(rows),
                          static_cast<long long>(cols));
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

PyObject* simple_edge_hsv_entry(UcharImageView image, PointsView ps, const LchBounds& bounds, std::int32_t row_count,
                                std::int32_t column_count) {
    if (!has_fixed_extent(image, "_image")) return nullptr;
    if (!check_pixel_count(image.rows, image.cols) || !check_points(ps, "_ps") ||
        !check_line_counts(row_count, column_count))
        return nullptr;
    return PyLong_FromLong(simple_edge_hsv(image, ps, bounds, row_count, column_count));
}

PyObject* simple_edge_entry(PlaneView image, PointsView ps, std::int32_t row_count, std::int32_t column_count) {
    if (!check_pixel_count(image.rows, image.cols) || !check_points(ps, "_ps") ||
        !check_line_counts(row_count, column_count))
        return nullptr;
    return PyLong_FromLong(simple_edge(image, ps, row_count, column_count));
}

PyObject* simple_denoise_entry(PointsView in, PointsView out, std::int32_t min_distance) {
    if (in.rows == 0) return PyLong_FromLong(0);
    if (const int axis = missing_first_axis(in); axis >= 0) return out_of_bounds(axis);
    if (const int axis = missing_first_axis(out); axis >= 0) return out_of_bounds(axis);
    if (!check_points(in, "_ps_in") || !check_points(out, "_ps_out")) return nullptr;
    if (in.rows == 1) return PyLong_FromLong(0);
    // The output can need as many rows as the input; refuse before writing any.
    if (out.rows < in.rows)
        return raise_value_error("_ps_out must have at least as many rows as _ps_in (%lld < %lld)",
                                 static_cast<long long>(out.rows), static_cast<long long>(in.rows));
    return PyLong_FromLong(simple_denoise(in, out, min_distance));
}

PyObject* remove_inliers_entry(PointsView in, PointsView out, MaskView ms) {
    if (ms.size <= 0) return out_of_bounds(0);
    if (in.rows == 0) return PyLong_FromLong(0);
    if (const int axis = missing_first_axis(in); axis >= 0) return out_of_bounds(axis);
    if (const int axis = missing_first_axis(out); axis >= 0) return out_of_bounds(axis);
    if (!check_points(in, "_ps_in") || !check_points(out, "_ps_out")) return nullptr;
    if (ms.size < in.rows)
        return raise_value_error("_ms must have an entry for every row of _ps_in (%lld < %lld)",
                                 static_cast<long long>(ms.size), static_cast<long long>(in.rows));
    const std::int64_t kept = count_kept(in, ms);
    if (out.rows < kept)
        return raise_value_error("_ps_out must have a row for every kept point (%lld < %lld)",
                                 static_cast<long long>(out.rows), static_cast<long long>(kept));
    return PyLong_FromLong(remove_inliers(in, out, ms));
}

// ---------------------------------------------------------------------------
// Shape fits: the points are checked before the fit draws its random number.

bool check_mask(const PointsView& ps, const MaskView& ms) {
    if (ms.size < ps.rows) {
        raise_value_error("_ms must have at least as many entries as _ps has rows (got %lld, need %lld)",
                          static_cast<long long>(ms.size), static_cast<long long>(ps.rows));
        return false;
    }
    return true;
}

PyObject* ransac_circle_entry(PointsView ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                              std::int32_t delta) {
    if (!check_points(ps, "_ps")) return nullptr;
    return record_to_dict(ransac_circle(ps, count, min_r, max_r, delta));
}

PyObject* ransac_ellipse_entry(PointsView ps, std::int32_t count, std::int32_t min_r, std::int32_t max_r,
                               double ratio, std::int32_t delta) {
    if (!check_points(ps, "_ps")) return nullptr;
    return record_to_dict(ransac_ellipse(ps, count, min_r, max_r, ratio, delta));
}

PyObject* ransac_line_entry(PointsView ps, MaskView ms, std::int32_t count, std::int32_t delta, double slope_limit) {
    if (!check_points(ps, "_ps") || !check_mask(ps, ms)) return nullptr;
    return record_to_dict(ransac_line(ps, ms, count, delta, slope_limit));
}

PyObject* ransac_line2_entry(PointsView ps, MaskView ms, std::int32_t count, double ratio, std::int32_t delta) {
    if (!check_points(ps, "_ps") || !check_mask(ps, ms)) return nullptr;
    return record_to_tuple(ransac_line2(ps, ms, count, ratio, delta));
}

constexpr Param kBufferNone{"buffer", Default::none};

// mask_image and selective_grayscale are Python source (python_level.cpp),
// the others typed entries.
constexpr FunctionSpec kTable[] = {
    native<calculate_lch_bounds_entry>("calculate_lch_bounds",
                                       {"hue_limit", "chroma_limit", "intensity_limit", {"rgb_bits", Default::eight}}),
    native<mask_image_py_entry>("mask_image_py", {"image", "bounds"}),
    python_level("mask_image", {"image", "bounds", kBufferNone}),
    python_level("selective_grayscale", {"image", "bounds", kBufferNone}),
    native<mask_color_entry>("mask_color", {"color", "bounds"}),
    native<mask_image_cy_impl_entry>("mask_image_cy_impl", {"_image", "_output", "bounds"}),
    native<selective_grayscale_impl_entry>("selective_grayscale_impl", {"_image", "_output", "bounds"}),
    native<simple_edge_hsv_entry>("simple_edge_hsv", {"_image", "_ps", "bounds", "row_count", "column_count"}),
    native<simple_edge_entry>("simple_edge", {"_image", "_ps", "row_count", "column_count"}),
    native<simple_denoise_entry>("simple_denoise", {"_ps_in", "_ps_out", "min_distance"}),
    native<remove_inliers_entry>("remove_inliers", {"_ps_in", "_ps_out", "_ms"}),
    native<ransac_circle_entry>("ransac_circle", {"_ps", "count", "min_r", "max_r", "delta"}),
    native<ransac_ellipse_entry>("ransac_ellipse", {"_ps", "count", "min_r", "max_r", "ratio", "delta"}),
    native<ransac_line_entry>("ransac_line", {"_ps", "_ms", "count", "delta", "slope_limit"}),
    native<ransac_line2_entry>("ransac_line2", {"_ps", "_ms", "count", "ratio", "delta"}),
};

}  // namespace

std::span<const FunctionSpec> function_table() { return kTable; }

}  // namespace kestrune
