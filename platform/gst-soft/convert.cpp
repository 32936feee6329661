// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Conversion core. libyuv names packed RGB by the little-endian word, so its
 * "ARGB" is GStreamer BGRA (bytes B,G,R,A), "ABGR" is RGBA, "RGB24" is BGR and
 * "RAW" is RGB. R/B swapped variants are obtained the way libyuv does it
 * internally: swap the U and V planes and pass the mirrored (Yvu) matrix.
 */
#include "convert.h"

#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace nmxsoft {

namespace {

enum class Kind { I420, NV12, NV21, RGB24, RAW, ARGB, ABGR, NONE };

Kind kind_of(GstVideoFormat f)
{
  switch (f) {
    case GST_VIDEO_FORMAT_I420: return Kind::I420;
    case GST_VIDEO_FORMAT_NV12: return Kind::NV12;
    case GST_VIDEO_FORMAT_NV21: return Kind::NV21;
    case GST_VIDEO_FORMAT_BGR: return Kind::RGB24;
    case GST_VIDEO_FORMAT_RGB: return Kind::RAW;
    case GST_VIDEO_FORMAT_BGRA:
    case GST_VIDEO_FORMAT_BGRx: return Kind::ARGB;
    case GST_VIDEO_FORMAT_RGBA:
    case GST_VIDEO_FORMAT_RGBx: return Kind::ABGR;
    default: return Kind::NONE;
  }
}

bool is_yuv(Kind k) { return k == Kind::I420 || k == Kind::NV12 || k == Kind::NV21; }
bool is_rgb3(Kind k) { return k == Kind::RGB24 || k == Kind::RAW; }
bool has_alpha(GstVideoFormat f) { return f == GST_VIDEO_FORMAT_RGBA || f == GST_VIDEO_FORMAT_BGRA; }

/* Rows [row0, row1) of an image; row0 must be even so chroma rows line up. */
Image band_of(const Image &img, int row0, int row1)
{
  Image b = img;
  b.height = row1 - row0;
  b.data[0] = img.data[0] + (size_t)row0 * img.stride[0];
  Kind k = kind_of(img.format);
  if (k == Kind::I420) {
    b.data[1] = img.data[1] + (size_t)(row0 / 2) * img.stride[1];
    b.data[2] = img.data[2] + (size_t)(row0 / 2) * img.stride[2];
  } else if (k == Kind::NV12 || k == Kind::NV21) {
    b.data[1] = img.data[1] + (size_t)(row0 / 2) * img.stride[1];
  }
  return b;
}

/* Forces alpha to opaque after a copy from an RGBx/BGRx source, whose padding
 * byte is undefined. Alpha is byte 3 in every 4-byte format we handle. */
void fill_alpha(uint8_t *data, int stride, int width, int height)
{
  for (int y = 0; y < height; y++) {
    uint8_t *row = data + (size_t)y * stride;
    for (int x = 0; x < width; x++)
      row[4 * x + 3] = 0xff;
  }
}

/* Limited to full range with 7 fractional bits in 16-bit lanes: luma
 * (v - 16) x 255/219 ~ (149 v - 2384) / 128, chroma (v - 128) x 255/224 +
 * 128 ~ (146 v - 2240) / 128; at most 1.2 levels off, clamped to 0..255 by
 * saturating arithmetic. SSE2 here and NEON on the board (a plain loop stays
 * scalar at -O2 and then costs more than the conversion itself). */
constexpr uint8_t kExpandLumaMul = 149, kExpandChromaMul = 146;
constexpr uint16_t kExpandLumaSub = 2384, kExpandChromaSub = 2240;

void expand_row(const uint8_t *in, uint8_t *out, int n, uint8_t mul, uint16_t sub)
{
  int x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), m = _mm_set1_epi16(mul), round = _mm_set1_epi16(64),
                off = _mm_set1_epi16((short)sub);
  for (; x + 16 <= n; x += 16) {
    __m128i v = _mm_loadu_si128((const __m128i *)(in + x));
    __m128i lo = _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), m);
    __m128i hi = _mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), m);
    lo = _mm_srli_epi16(_mm_subs_epu16(_mm_add_epi16(lo, round), off), 7);
    hi = _mm_srli_epi16(_mm_subs_epu16(_mm_add_epi16(hi, round), off), 7);
    _mm_storeu_si128((__m128i *)(out + x), _mm_packus_epi16(lo, hi));
  }
#elif defined(__ARM_NEON)
  const uint8x8_t m = vdup_n_u8(mul);
  const uint16x8_t round = vdupq_n_u16(64), off = vdupq_n_u16(sub);
  for (; x + 16 <= n; x += 16) {
    uint8x16_t v = vld1q_u8(in + x);
    uint16x8_t lo = vqsubq_u16(vaddq_u16(vmull_u8(vget_low_u8(v), m), round), off);
    uint16x8_t hi = vqsubq_u16(vaddq_u16(vmull_u8(vget_high_u8(v), m), round), off);
    vst1q_u8(out + x, vcombine_u8(vqshrn_n_u16(lo, 7), vqshrn_n_u16(hi, 7)));
  }
#endif
  for (; x < n; x++) {
    int t = in[x] * mul + 64 - sub;
    t = t < 0 ? 0 : t >> 7;
    out[x] = (uint8_t)(t > 255 ? 255 : t);
  }
}

/* Fixed-point RGB->YUV rows for the matrices libyuv has no encoder for
 * (BT.709, BT.2020). 15 fractional bits keep 255 * coef * 3 inside int32. */
struct RgbToYuvCoefs {
  int yr, yg, yb, yoff;
  int ur, ug, ub;
  int vr, vg, vb;
};

RgbToYuvCoefs make_coefs(GstVideoColorMatrix m, bool full)
{
  double kr = 0.299, kb = 0.114;
  if (m == GST_VIDEO_COLOR_MATRIX_BT709) {
    kr = 0.2126; kb = 0.0722;
  } else if (m == GST_VIDEO_COLOR_MATRIX_BT2020) {
    kr = 0.2627; kb = 0.0593;
  } else if (m == GST_VIDEO_COLOR_MATRIX_SMPTE240M) {
    kr = 0.212; kb = 0.087;
  }
  double kg = 1.0 - kr - kb;
  double ys = full ? 1.0 : 219.0 / 255.0;
  double cs = full ? 1.0 : 224.0 / 255.0;
  const double one = 32768.0;
  RgbToYuvCoefs c;
  c.yr = (int)lround(kr * ys * one);
  c.yg = (int)lround(kg * ys * one);
  c.yb = (int)lround(kb * ys * one);
  c.yoff = full ? 0 : 16;
  c.ur = (int)lround(-kr / (2 * (1 - kb)) * cs * one);
  c.ug = (int)lround(-kg / (2 * (1 - kb)) * cs * one);
  c.ub = (int)lround(0.5 * cs * one);
  c.vr = (int)lround(0.5 * cs * one);
  c.vg = (int)lround(-kg / (2 * (1 - kr)) * cs * one);
  c.vb = (int)lround(-kb / (2 * (1 - kr)) * cs * one);
  return c;
}

inline uint8_t clamp8(int v) { return (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v)); }

/* BPP and the byte offsets are template arguments so the inner loops have
 * constant strides and the compiler can vectorise them. */
template <int BPP, int RI, int GI, int BI>
void rgb_to_yuv_rows(const uint8_t *src, int sstride, uint8_t *dy, int ystride, uint8_t *du,
                     int ustride, uint8_t *dv, int vstride, int uvstep, int width, int height,
                     const RgbToYuvCoefs &c)
{
  const int half = 1 << 14;
  for (int y = 0; y < height; y++) {
    const uint8_t *s = src + (size_t)y * sstride;
    uint8_t *o = dy + (size_t)y * ystride;
    for (int x = 0; x < width; x++) {
      const uint8_t *p = s + x * BPP;
      o[x] = clamp8(((c.yr * p[RI] + c.yg * p[GI] + c.yb * p[BI] + half) >> 15) + c.yoff);
    }
  }
  for (int y = 0; y < height; y += 2) {
    const uint8_t *s0 = src + (size_t)y * sstride;
    const uint8_t *s1 = (y + 1 < height) ? s0 + sstride : s0;
    uint8_t *ou = du + (size_t)(y / 2) * ustride;
    uint8_t *ov = dv + (size_t)(y / 2) * vstride;
    for (int x = 0; x < width; x += 2) {
      int x1 = (x + 1 < width) ? x + 1 : x;
      const uint8_t *a = s0 + x * BPP, *b = s0 + x1 * BPP, *cc = s1 + x * BPP, *d = s1 + x1 * BPP;
      int r = a[RI] + b[RI] + cc[RI] + d[RI];
      int g = a[GI] + b[GI] + cc[GI] + d[GI];
      int bl = a[BI] + b[BI] + cc[BI] + d[BI];
      /* Sums of four: two more fractional bits. */
      ou[(x / 2) * uvstep] = clamp8(((c.ur * r + c.ug * g + c.ub * bl + (1 << 16)) >> 17) + 128);
      ov[(x / 2) * uvstep] = clamp8(((c.vr * r + c.vg * g + c.vb * bl + (1 << 16)) >> 17) + 128);
    }
  }
}

void rgb_to_yuv_generic(const Image &s, const Image &d, const RgbToYuvCoefs &c)
{
  Kind dk = kind_of(d.format);
  uint8_t *u, *v;
  int us = d.stride[1], vs = d.stride[1], step = 2;
  if (dk == Kind::I420) {
    u = d.data[1]; v = d.data[2]; vs = d.stride[2]; step = 1;
  } else if (dk == Kind::NV12) {
    u = d.data[1]; v = d.data[1] + 1;
  } else {
    v = d.data[1]; u = d.data[1] + 1;
  }
  const uint8_t *p = s.data[0];
  int ss = s.stride[0];
  switch (kind_of(s.format)) {
    case Kind::RGB24:
      rgb_to_yuv_rows<3, 2, 1, 0>(p, ss, d.data[0], d.stride[0], u, us, v, vs, step, s.width, s.height, c);
      break;
    case Kind::RAW:
      rgb_to_yuv_rows<3, 0, 1, 2>(p, ss, d.data[0], d.stride[0], u, us, v, vs, step, s.width, s.height, c);
      break;
    case Kind::ARGB:
      rgb_to_yuv_rows<4, 2, 1, 0>(p, ss, d.data[0], d.stride[0], u, us, v, vs, step, s.width, s.height, c);
      break;
    case Kind::ABGR:
      rgb_to_yuv_rows<4, 0, 1, 2>(p, ss, d.data[0], d.stride[0], u, us, v, vs, step, s.width, s.height, c);
      break;
    default:
      break;
  }
}

void scale_image(const Image &s, const Image &d)
{
  const auto filter = libyuv::kFilterBilinear;
  switch (kind_of(s.format)) {
    case Kind::I420:
      libyuv::I420Scale(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], s.width,
                        s.height, d.data[0], d.stride[0], d.data[1], d.stride[1], d.data[2], d.stride[2],
                        d.width, d.height, filter);
      break;
    case Kind::NV12:
    case Kind::NV21:
      libyuv::NV12Scale(s.data[0], s.stride[0], s.data[1], s.stride[1], s.width, s.height, d.data[0],
                        d.stride[0], d.data[1], d.stride[1], d.width, d.height, filter);
      break;
    case Kind::RGB24:
    case Kind::RAW:
      libyuv::RGBScale(s.data[0], s.stride[0], s.width, s.height, d.data[0], d.stride[0], d.width, d.height,
                       filter);
      break;
    case Kind::ARGB:
    case Kind::ABGR:
      libyuv::ARGBScale(s.data[0], s.stride[0], s.width, s.height, d.data[0], d.stride[0], d.width, d.height,
                        filter);
      break;
    default:
      break;
  }
}

}  // namespace

bool convert_format_supported(GstVideoFormat fmt) { return kind_of(fmt) != Kind::NONE; }

bool same_yuv_colours(const GstVideoInfo *a, const GstVideoInfo *b)
{
  if (!GST_VIDEO_INFO_IS_YUV(a) || !GST_VIDEO_INFO_IS_YUV(b))
    return true;
  /* Anything the YUV->RGB rows do not know is read as BT.601. */
  auto norm = [](GstVideoColorMatrix m) {
    return (m == GST_VIDEO_COLOR_MATRIX_BT709 || m == GST_VIDEO_COLOR_MATRIX_BT2020) ? m
                                                                                     : GST_VIDEO_COLOR_MATRIX_BT601;
  };
  auto full = [](const GstVideoInfo *i) { return i->colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255; };
  return norm(a->colorimetry.matrix) == norm(b->colorimetry.matrix) && full(a) == full(b);
}

Image Image::from_frame(GstVideoFrame *frame)
{
  Image img;
  img.format = GST_VIDEO_FRAME_FORMAT(frame);
  img.width = GST_VIDEO_FRAME_WIDTH(frame);
  img.height = GST_VIDEO_FRAME_HEIGHT(frame);
  for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(frame) && i < 3; i++) {
    img.data[i] = (uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(frame, i);
    img.stride[i] = GST_VIDEO_FRAME_PLANE_STRIDE(frame, i);
  }
  return img;
}

BandWorker::BandWorker() : thread_(&BandWorker::loop, this) {}

BandWorker::~BandWorker()
{
  {
    std::lock_guard<std::mutex> l(lock_);
    quit_ = true;
  }
  cond_.notify_all();
  thread_.join();
}

void BandWorker::loop()
{
  std::unique_lock<std::mutex> l(lock_);
  for (;;) {
    cond_.wait(l, [this] { return quit_ || (job_ != nullptr && !taken_); });
    if (quit_)
      return;
    taken_ = true;
    running_ = true;
    const std::function<void(int, int)> *job = job_;
    const int bands = bands_;
    l.unlock();
    for (int b; (b = next_.fetch_add(1)) < bands;)
      (*job)(b, 1);
    l.lock();
    running_ = false;
    cond_.notify_all();
  }
}

void BandWorker::run(int bands, const std::function<void(int, int)> &job)
{
  next_ = 0;
  {
    std::lock_guard<std::mutex> l(lock_);
    job_ = &job;
    bands_ = bands;
    taken_ = false;
  }
  cond_.notify_one();
  for (int b; (b = next_.fetch_add(1)) < bands;)
    job(b, 0);
  std::unique_lock<std::mutex> l(lock_);
  /* A helper that never woke up must not pick the finished job up later. */
  if (taken_)
    cond_.wait(l, [this] { return !running_; });
  job_ = nullptr;
}

bool Converter::configure(const GstVideoInfo *in, const GstVideoInfo *out)
{
  configured_ = false;
  if (!convert_format_supported(GST_VIDEO_INFO_FORMAT(in)) || !convert_format_supported(GST_VIDEO_INFO_FORMAT(out)))
    return false;
  if (GST_VIDEO_INFO_WIDTH(in) <= 0 || GST_VIDEO_INFO_HEIGHT(in) <= 0 || GST_VIDEO_INFO_WIDTH(out) <= 0 ||
      GST_VIDEO_INFO_HEIGHT(out) <= 0)
    return false;
  in_ = *in;
  out_ = *out;

  /* Anything but an explicit full range is video (limited) range. */
  expand_range_ = in->colorimetry.range != GST_VIDEO_COLOR_RANGE_0_255;
  switch (in->colorimetry.matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
      yuv_to_rgb_ = &libyuv::kYuvF709Constants;
      yvu_to_rgb_ = &libyuv::kYvuF709Constants;
      break;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
      yuv_to_rgb_ = &libyuv::kYuvV2020Constants;
      yvu_to_rgb_ = &libyuv::kYvuV2020Constants;
      break;
    default:
      yuv_to_rgb_ = &libyuv::kYuvJPEGConstants;
      yvu_to_rgb_ = &libyuv::kYvuJPEGConstants;
      break;
  }
  /* NMXSOFT_CONVERT_THREADS=1 keeps the conversion on the streaming thread,
   * for machines where the second core is better spent elsewhere. */
  const char *threads = g_getenv("NMXSOFT_CONVERT_THREADS");
  if (threads && atoi(threads) == 1)
    threading_ = false;
  out_matrix_ = out->colorimetry.matrix;
  out_full_range_ = out->colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  recode_ = !same_yuv_colours(in, out);
  configured_ = true;
  return true;
}

Image scratch_image(std::vector<uint8_t> &buf, GstVideoFormat fmt, int width, int height)
{
  GstVideoInfo info;
  gst_video_info_set_format(&info, fmt, width, height);
  if (buf.size() < GST_VIDEO_INFO_SIZE(&info) + 64)
    buf.resize(GST_VIDEO_INFO_SIZE(&info) + 64);
  /* libyuv's SIMD rows prefer 16-byte aligned planes. */
  uint8_t *base = buf.data();
  base += (16 - ((uintptr_t)base & 15)) & 15;
  Image img;
  img.format = fmt;
  img.width = width;
  img.height = height;
  for (guint i = 0; i < GST_VIDEO_INFO_N_PLANES(&info) && i < 3; i++) {
    img.data[i] = base + GST_VIDEO_INFO_PLANE_OFFSET(&info, i);
    img.stride[i] = GST_VIDEO_INFO_PLANE_STRIDE(&info, i);
  }
  return img;
}

Image Converter::expand_band(const Image &s, int thread)
{
  const Kind k = kind_of(s.format);
  const int w = s.width, h = s.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  const int cbytes = k == Kind::I420 ? cw : 2 * cw;
  std::vector<uint8_t> &tmp = expand_tmp_[thread];
  const size_t need = (size_t)w * h + (size_t)cbytes * ch * (k == Kind::I420 ? 2 : 1) + 64;
  if (tmp.size() < need)
    tmp.resize(need);
  uint8_t *base = tmp.data() + ((16 - ((uintptr_t)tmp.data() & 15)) & 15);
  Image e = s;
  const int planes = k == Kind::I420 ? 3 : 2;
  uint8_t *at = base;
  for (int p = 0; p < planes; p++) {
    const int rows = p == 0 ? h : ch, bytes = p == 0 ? w : cbytes;
    e.data[p] = at;
    e.stride[p] = bytes;
    for (int y = 0; y < rows; y++) {
      const uint8_t *in = s.data[p] + (ptrdiff_t)y * s.stride[p];
      uint8_t *out = at + (size_t)y * bytes;
      if (p == 0)
        expand_row(in, out, bytes, kExpandLumaMul, kExpandLumaSub);
      else
        expand_row(in, out, bytes, kExpandChromaMul, kExpandChromaSub);
    }
    at += (size_t)rows * bytes;
  }
  return e;
}

void Converter::convert_rows(const Image &src_full, const Image &dst_full, int row0, int row1, int thread)
{
  const Image s = band_of(src_full, row0, row1);
  const Image d = band_of(dst_full, row0, row1);
  const int w = s.width, h = s.height;
  const Kind sk = kind_of(s.format), dk = kind_of(d.format);
  const auto *K = static_cast<const libyuv::YuvConstants *>(yuv_to_rgb_);
  const auto *Kvu = static_cast<const libyuv::YuvConstants *>(yvu_to_rgb_);

  if (is_yuv(sk) && is_yuv(dk) && recode_) {
    /* Another matrix or range: the colours go through 8-bit BGRA. */
    std::vector<uint8_t> &buf = recode_tmp_[thread];
    const size_t stride = (size_t)w * 4;
    if (buf.size() < stride * h + 16)
      buf.resize(stride * h + 16);
    Image rgb;
    rgb.format = GST_VIDEO_FORMAT_BGRA;
    rgb.width = w;
    rgb.height = h;
    rgb.data[0] = buf.data() + ((16 - ((uintptr_t)buf.data() & 15)) & 15);
    rgb.stride[0] = (int)stride;
    convert_rows(s, rgb, 0, h, thread);
    convert_rows(rgb, d, 0, h, thread);
    return;
  }

  if (is_yuv(sk) && is_yuv(dk)) {
    /* Same 4:2:0 sampling: only the chroma layout changes. */
    if (sk == Kind::I420) {
      if (dk == Kind::I420)
        libyuv::I420Copy(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], d.data[0],
                         d.stride[0], d.data[1], d.stride[1], d.data[2], d.stride[2], w, h);
      else if (dk == Kind::NV12)
        libyuv::I420ToNV12(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], d.data[0],
                           d.stride[0], d.data[1], d.stride[1], w, h);
      else
        libyuv::I420ToNV21(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], d.data[0],
                           d.stride[0], d.data[1], d.stride[1], w, h);
    } else if (dk == Kind::I420) {
      if (sk == Kind::NV12)
        libyuv::NV12ToI420(s.data[0], s.stride[0], s.data[1], s.stride[1], d.data[0], d.stride[0], d.data[1],
                           d.stride[1], d.data[2], d.stride[2], w, h);
      else
        libyuv::NV21ToI420(s.data[0], s.stride[0], s.data[1], s.stride[1], d.data[0], d.stride[0], d.data[1],
                           d.stride[1], d.data[2], d.stride[2], w, h);
    } else if (sk == dk) {
      libyuv::NV12Copy(s.data[0], s.stride[0], s.data[1], s.stride[1], d.data[0], d.stride[0], d.data[1],
                       d.stride[1], w, h);
    } else {
      /* NV12 <-> NV21 is the same byte swap both ways. */
      libyuv::NV21ToNV12(s.data[0], s.stride[0], s.data[1], s.stride[1], d.data[0], d.stride[0], d.data[1],
                         d.stride[1], w, h);
    }
    return;
  }

  if (is_yuv(sk)) {
    const bool four = !is_rgb3(dk);
    const Image e = expand_range_ ? expand_band(s, thread) : s;
    /* dk is ARGB/RGB24 (B first in memory) or ABGR/RAW (R first). */
    const bool rfirst = dk == Kind::ABGR || dk == Kind::RAW;
    if (sk == Kind::I420) {
      const uint8_t *u = rfirst ? e.data[2] : e.data[1];
      const uint8_t *v = rfirst ? e.data[1] : e.data[2];
      int us = rfirst ? e.stride[2] : e.stride[1];
      int vs = rfirst ? e.stride[1] : e.stride[2];
      const libyuv::YuvConstants *m = rfirst ? Kvu : K;
      if (four)
        libyuv::I420ToARGBMatrix(e.data[0], e.stride[0], u, us, v, vs, d.data[0], d.stride[0], m, w, h);
      else
        libyuv::I420ToRGB24Matrix(e.data[0], e.stride[0], u, us, v, vs, d.data[0], d.stride[0], m, w, h);
    } else {
      /* Reading NV12 as NV21 with the mirrored matrix swaps R and B. */
      bool as_nv12 = (sk == Kind::NV12) != rfirst;
      const libyuv::YuvConstants *m = rfirst ? Kvu : K;
      if (four) {
        if (as_nv12)
          libyuv::NV12ToARGBMatrix(e.data[0], e.stride[0], e.data[1], e.stride[1], d.data[0], d.stride[0], m, w, h);
        else
          libyuv::NV21ToARGBMatrix(e.data[0], e.stride[0], e.data[1], e.stride[1], d.data[0], d.stride[0], m, w, h);
      } else {
        if (as_nv12)
          libyuv::NV12ToRGB24Matrix(e.data[0], e.stride[0], e.data[1], e.stride[1], d.data[0], d.stride[0], m, w,
                                    h);
        else
          libyuv::NV21ToRGB24Matrix(e.data[0], e.stride[0], e.data[1], e.stride[1], d.data[0], d.stride[0], m, w,
                                    h);
      }
    }
    return;
  }

  if (is_yuv(dk)) {
    const bool bt601 = out_matrix_ != GST_VIDEO_COLOR_MATRIX_BT709 && out_matrix_ != GST_VIDEO_COLOR_MATRIX_BT2020 &&
                       out_matrix_ != GST_VIDEO_COLOR_MATRIX_SMPTE240M;
    if (!bt601) {
      rgb_to_yuv_generic(s, d, make_coefs(out_matrix_, out_full_range_));
      return;
    }
    if (!out_full_range_ && (sk == Kind::ARGB || sk == Kind::ABGR)) {
      const bool argb = sk == Kind::ARGB;
      if (dk == Kind::I420)
        (argb ? libyuv::ARGBToI420 : libyuv::ABGRToI420)(s.data[0], s.stride[0], d.data[0], d.stride[0], d.data[1],
                                                         d.stride[1], d.data[2], d.stride[2], w, h);
      else if (dk == Kind::NV12)
        (argb ? libyuv::ARGBToNV12 : libyuv::ABGRToNV12)(s.data[0], s.stride[0], d.data[0], d.stride[0], d.data[1],
                                                         d.stride[1], w, h);
      else
        (argb ? libyuv::ARGBToNV21 : libyuv::ABGRToNV21)(s.data[0], s.stride[0], d.data[0], d.stride[0], d.data[1],
                                                         d.stride[1], w, h);
      return;
    }
    /* Remaining libyuv encoders write I420 only; semi-planar outputs go
     * through a per-band chroma scratch so the bands stay independent. */
    uint8_t *u = d.data[1], *v = d.data[2];
    int us = d.stride[1], vs = d.stride[2];
    int cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (dk != Kind::I420) {
      std::vector<uint8_t> &tmp = thread_tmp_[thread];
      if (tmp.size() < (size_t)cw * ch * 2)
        tmp.resize((size_t)cw * ch * 2);
      u = tmp.data();
      v = tmp.data() + (size_t)cw * ch;
      us = vs = cw;
    }
    int (*fn)(const uint8_t *, int, uint8_t *, int, uint8_t *, int, uint8_t *, int, int, int) = nullptr;
    if (out_full_range_) {
      switch (sk) {
        case Kind::ARGB: fn = libyuv::ARGBToJ420; break;
        case Kind::ABGR: fn = libyuv::ABGRToJ420; break;
        case Kind::RGB24: fn = libyuv::RGB24ToJ420; break;
        default: fn = libyuv::RAWToJ420; break;
      }
    } else {
      fn = sk == Kind::RGB24 ? libyuv::RGB24ToI420 : libyuv::RAWToI420;
    }
    fn(s.data[0], s.stride[0], d.data[0], d.stride[0], u, us, v, vs, w, h);
    if (dk == Kind::NV12)
      libyuv::MergeUVPlane(u, us, v, vs, d.data[1], d.stride[1], cw, ch);
    else if (dk == Kind::NV21)
      libyuv::MergeUVPlane(v, vs, u, us, d.data[1], d.stride[1], cw, ch);
    return;
  }

  /* Packed RGB to packed RGB. */
  const bool src_rfirst = sk == Kind::ABGR || sk == Kind::RAW;
  const bool dst_rfirst = dk == Kind::ABGR || dk == Kind::RAW;
  const bool swap = src_rfirst != dst_rfirst;
  if (is_rgb3(sk) && is_rgb3(dk)) {
    if (swap)
      libyuv::RAWToRGB24(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
    else
      libyuv::CopyPlane(s.data[0], s.stride[0], d.data[0], d.stride[0], w * 3, h);
  } else if (is_rgb3(sk)) {
    /* RGB24ToARGB maps B,G,R to B,G,R,A; fed R,G,B it yields R,G,B,A. */
    if (swap)
      libyuv::RAWToARGB(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
    else
      libyuv::RGB24ToARGB(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
  } else if (is_rgb3(dk)) {
    if (swap)
      libyuv::ARGBToRAW(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
    else
      libyuv::ARGBToRGB24(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
  } else {
    if (swap)
      libyuv::ARGBToABGR(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
    else
      libyuv::ARGBCopy(s.data[0], s.stride[0], d.data[0], d.stride[0], w, h);
    if (has_alpha(d.format) && !has_alpha(s.format))
      fill_alpha(d.data[0], d.stride[0], w, h);
  }
}

void Converter::convert_same_size(const Image &src, const Image &dst)
{
  const int h = src.height;
  /* Below roughly VGA the hand-off to the helper costs more than it saves. */
  static const bool multi_core = std::thread::hardware_concurrency() > 1;
  if (threading_ && multi_core && h >= 64 && (int64_t)src.width * h >= 640 * 360) {
    if (!worker_)
      worker_.reset(new BandWorker());
    /* Several bands per thread so that a late helper still takes a share. */
    const int bands = 8;
    const int band_h = ((h + bands - 1) / bands + 1) & ~1;
    std::function<void(int, int)> job = [&](int band, int thread) {
      int row0 = band * band_h, row1 = std::min(h, row0 + band_h);
      if (row0 < row1)
        convert_rows(src, dst, row0, row1, thread);
    };
    worker_->run(bands, job);
  } else {
    convert_rows(src, dst, 0, h, 0);
  }
}

bool Converter::convert(const Image &src, const Image &dst)
{
  if (!configured_ || !convert_format_supported(src.format) || !convert_format_supported(dst.format))
    return false;
  if (src.width == dst.width && src.height == dst.height) {
    convert_same_size(src, dst);
  } else if (!recode_ && (src.format == dst.format ||
                          (kind_of(src.format) == kind_of(dst.format) && !has_alpha(dst.format)))) {
    scale_image(src, dst);
  } else if ((int64_t)dst.width * dst.height <= (int64_t)src.width * src.height) {
    /* Shrinking: scale first so the colour conversion runs on fewer pixels. */
    Image tmp = scratch_image(scratch_, src.format, dst.width, dst.height);
    scale_image(src, tmp);
    convert_same_size(tmp, dst);
  } else {
    Image tmp = scratch_image(scratch_, dst.format, src.width, src.height);
    convert_same_size(src, tmp);
    scale_image(tmp, dst);
  }
  return true;
}

bool Converter::convert_frames(GstVideoFrame *in, GstVideoFrame *out)
{
  return convert(Image::from_frame(in), Image::from_frame(out));
}

}  // namespace nmxsoft
