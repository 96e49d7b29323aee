// Adapters of the function table, one per module function, grouped by area.
#pragma once

#include "function.hpp"
#include "pyref.hpp"

namespace kestrune {

// color
PyObject* entry_calculate_lch_bounds(Args& a);
PyObject* entry_mask_color(Args& a);
PyObject* entry_mask_image_py(Args& a);
PyObject* entry_mask_image(Args& a);
PyObject* entry_selective_grayscale(Args& a);
PyObject* entry_mask_image_cy_impl(Args& a);
PyObject* entry_selective_grayscale_impl(Args& a);

// edges
PyObject* entry_simple_edge_hsv(Args& a);
PyObject* entry_simple_edge(Args& a);
PyObject* entry_simple_denoise(Args& a);
PyObject* entry_remove_inliers(Args& a);

// ransac
PyObject* entry_ransac_circle(Args& a);
PyObject* entry_ransac_ellipse(Args& a);
PyObject* entry_ransac_line(Args& a);
PyObject* entry_ransac_line2(Args& a);

// Unpacks exactly three items as an assignment `M, i, c = bounds` does, with
// the messages "too many values to unpack (expected 3)" and
// "need more than %zd value%.1s to unpack"; false with an exception set.
bool unpack_three(PyObject* seq, PyRef (&out)[3]);

// Table rows that convenience functions call directly.
extern const FunctionSpec kMaskImageCyImplSpec;
extern const FunctionSpec kSelectiveGrayscaleImplSpec;

}  // namespace kestrune
