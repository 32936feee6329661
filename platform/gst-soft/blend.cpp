// SPDX-License-Identifier: LGPL-2.1-or-later
#include "blend.h"

#include <algorithm>

namespace nmxsoft {

namespace {

bool is_yuv420(GstVideoFormat f)
{
  return f == GST_VIDEO_FORMAT_NV12 || f == GST_VIDEO_FORMAT_NV21 || f == GST_VIDEO_FORMAT_I420;
}

int packed_bpp(GstVideoFormat f) { return (f == GST_VIDEO_FORMAT_RGB || f == GST_VIDEO_FORMAT_BGR) ? 3 : 4; }

inline uint8_t mix(int over, int under, int a) { return (uint8_t)((over * a + under * (255 - a) + 127) / 255); }

inline int clamp8(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

Image image_region(const Image &img, int x, int y, int w, int h)
{
  Image s = img;
  s.width = w;
  s.height = h;
  if (is_yuv420(img.format)) {
    s.data[0] = img.data[0] + (ptrdiff_t)y * img.stride[0] + x;
    if (img.format == GST_VIDEO_FORMAT_I420) {
      s.data[1] = img.data[1] + (ptrdiff_t)(y / 2) * img.stride[1] + x / 2;
      s.data[2] = img.data[2] + (ptrdiff_t)(y / 2) * img.stride[2] + x / 2;
    } else {
      s.data[1] = img.data[1] + (ptrdiff_t)(y / 2) * img.stride[1] + x;
    }
  } else {
    s.data[0] = img.data[0] + (ptrdiff_t)y * img.stride[0] + (ptrdiff_t)x * packed_bpp(img.format);
  }
  return s;
}

BlendCoefs blend_coefs(const GstVideoColorimetry &colorimetry)
{
  const GstVideoColorMatrix m = colorimetry.matrix;
  const bool full = colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  double kr = 0.299, kb = 0.114;
  if (m == GST_VIDEO_COLOR_MATRIX_BT709) {
    kr = 0.2126;
    kb = 0.0722;
  } else if (m == GST_VIDEO_COLOR_MATRIX_BT2020) {
    kr = 0.2627;
    kb = 0.0593;
  }
  const double kg = 1 - kr - kb, ys = full ? 1.0 : 219.0 / 255.0, cs = full ? 1.0 : 224.0 / 255.0, one = 65536.0;
  auto fix = [one](double v) { return (int)(v * one + (v < 0 ? -0.5 : 0.5)); };
  BlendCoefs c;
  c.yr = fix(kr * ys);
  c.yg = fix(kg * ys);
  c.yb = fix(kb * ys);
  c.ur = fix(-kr / (2 * (1 - kb)) * cs);
  c.ug = fix(-kg / (2 * (1 - kb)) * cs);
  c.ub = fix(0.5 * cs);
  c.vr = fix(0.5 * cs);
  c.vg = fix(-kg / (2 * (1 - kr)) * cs);
  c.vb = fix(-kb / (2 * (1 - kr)) * cs);
  c.yoff = full ? 0 : 16;
  return c;
}

void blend_bgra(const Image &s, const Image &d, const BlendCoefs &c)
{
  const int w = std::min(s.width, d.width), h = std::min(s.height, d.height);
  if (is_yuv420(d.format)) {
    const bool nv21 = d.format == GST_VIDEO_FORMAT_NV21;
    for (int y = 0; y < h; y++) {
      const uint8_t *sp = s.data[0] + (ptrdiff_t)y * s.stride[0];
      uint8_t *dy = d.data[0] + (ptrdiff_t)y * d.stride[0];
      uint8_t *du = nullptr, *dv = nullptr;
      int step = 2;
      /* Chroma follows the top-left pixel of each 2x2 block. */
      if ((y & 1) == 0) {
        if (d.format == GST_VIDEO_FORMAT_I420) {
          du = d.data[1] + (ptrdiff_t)(y / 2) * d.stride[1];
          dv = d.data[2] + (ptrdiff_t)(y / 2) * d.stride[2];
          step = 1;
        } else {
          uint8_t *uv = d.data[1] + (ptrdiff_t)(y / 2) * d.stride[1];
          du = nv21 ? uv + 1 : uv;
          dv = nv21 ? uv : uv + 1;
        }
      }
      for (int x = 0; x < w; x++) {
        const uint8_t *p = sp + 4 * x;
        const int a = p[3];
        if (!a)
          continue;
        const int b = p[0], g = p[1], r = p[2];
        dy[x] = mix(clamp8(((c.yr * r + c.yg * g + c.yb * b + 32768) >> 16) + c.yoff), dy[x], a);
        if (du && (x & 1) == 0) {
          const int i = (x / 2) * step;
          du[i] = mix(clamp8(((c.ur * r + c.ug * g + c.ub * b + 32768) >> 16) + 128), du[i], a);
          dv[i] = mix(clamp8(((c.vr * r + c.vg * g + c.vb * b + 32768) >> 16) + 128), dv[i], a);
        }
      }
    }
    return;
  }
  int ri = 2, gi = 1, bi = 0;
  const int bpp = packed_bpp(d.format);
  if (d.format == GST_VIDEO_FORMAT_RGB || d.format == GST_VIDEO_FORMAT_RGBA || d.format == GST_VIDEO_FORMAT_RGBx) {
    ri = 0;
    bi = 2;
  }
  const bool keep_alpha = d.format == GST_VIDEO_FORMAT_RGBA || d.format == GST_VIDEO_FORMAT_BGRA;
  for (int y = 0; y < h; y++) {
    const uint8_t *sp = s.data[0] + (ptrdiff_t)y * s.stride[0];
    uint8_t *dp = d.data[0] + (ptrdiff_t)y * d.stride[0];
    for (int x = 0; x < w; x++) {
      const uint8_t *p = sp + 4 * x;
      const int a = p[3];
      if (!a)
        continue;
      uint8_t *o = dp + bpp * x;
      o[ri] = mix(p[2], o[ri], a);
      o[gi] = mix(p[1], o[gi], a);
      o[bi] = mix(p[0], o[bi], a);
      if (keep_alpha)
        o[3] = (uint8_t)(a + o[3] * (255 - a) / 255);
    }
  }
}

}  // namespace nmxsoft
