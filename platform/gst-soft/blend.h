// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Alpha blending of BGRA layers into raw frames, shared by qtivcomposer
 * (RGBA/BGRA inputs) and qtivoverlay (logos and text).
 */
#pragma once

#include "convert.h"

namespace nmxsoft {

/* Rectangle (x, y, w, h) of @img as an image of its own; x and y must be even
 * for 4:2:0 formats. */
Image image_region(const Image &img, int x, int y, int w, int h);

/* Fixed-point RGB -> YUV of one colour matrix and range. */
struct BlendCoefs {
  int yr, yg, yb, ur, ug, ub, vr, vg, vb;
  int yoff;  // 16 for limited range, 0 for full
};
BlendCoefs blend_coefs(const GstVideoColorimetry &colorimetry);

/* Blends @src (GStreamer BGRA, straight alpha) over the same-size image @dst,
 * which is NV12, NV21, I420 (starting on even coordinates) or packed RGB.
 * Fully transparent pixels cost one compare. */
void blend_bgra(const Image &src, const Image &dst, const BlendCoefs &coefs);

}  // namespace nmxsoft
