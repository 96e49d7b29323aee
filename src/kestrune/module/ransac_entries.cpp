// Adapters of the four shape fits.
#include "../ransac/fits.hpp"
#include "entries.hpp"

namespace kestrune {

namespace {

// Checks made after conversion and before the fit (and so before its one
// rand() call): the point array's columns, then the mask's length.
bool check_points(const PointsView& ps) { return check_point_columns(ps, "_ps"); }

bool check_mask(const PointsView& ps, const MaskView& ms) {
    if (ms.size < ps.rows) {
        raise_value_error("_ms must have at least as many entries as _ps has rows (got %lld, need %lld)",
                          static_cast<long long>(ms.size), static_cast<long long>(ps.rows));
        return false;
    }
    return true;
}

}  // namespace

// ransac_circle(_ps, count, min_r, max_r, delta)
PyObject* entry_ransac_circle(Args& a) {
    const PointsView ps = a.points(0);
    if (!check_points(ps)) return nullptr;
    return record_to_dict(ransac_circle(ps, a.int32[1], a.int32[2], a.int32[3], a.int32[4]));
}

// ransac_ellipse(_ps, count, min_r, max_r, ratio, delta)
PyObject* entry_ransac_ellipse(Args& a) {
    const PointsView ps = a.points(0);
    if (!check_points(ps)) return nullptr;
    return record_to_dict(ransac_ellipse(ps, a.int32[1], a.int32[2], a.int32[3], a.float64[4], a.int32[5]));
}

// ransac_line(_ps, _ms, count, delta, slope_limit)
PyObject* entry_ransac_line(Args& a) {
    const PointsView ps = a.points(0);
    const MaskView ms = a.mask(1);
    if (!check_points(ps) || !check_mask(ps, ms)) return nullptr;
    return record_to_dict(ransac_line(ps, ms, a.int32[2], a.int32[3], a.float64[4]));
}

// ransac_line2(_ps, _ms, count, ratio, delta)
PyObject* entry_ransac_line2(Args& a) {
    const PointsView ps = a.points(0);
    const MaskView ms = a.mask(1);
    if (!check_points(ps) || !check_mask(ps, ms)) return nullptr;
    return record_to_tuple(ransac_line2(ps, ms, a.int32[2], a.float64[3], a.int32[4]));
}

}  // namespace kestrune
