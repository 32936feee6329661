// SPDX-License-Identifier: LGPL-2.1-or-later
// qtivtransform: pixel values against references computed here from the
// matrix definitions, strides, scaling, negotiation and passthrough.
#include "soft_test_util.h"

#include <random>

using namespace softtest;

namespace {

struct Yuv {
  int y, u, v;
};
/* Quadrant colours: red-ish, green-ish, blue, a pastel. Each is inside the
 * RGB gamut for both BT.601 and BT.709. */
const Yuv kQuadYuv[4] = {{81, 90, 200}, {145, 70, 60}, {41, 200, 110}, {180, 110, 150}};
const int kRgbQuad[4][3] = {{200, 30, 40}, {20, 180, 60}, {40, 50, 220}, {230, 200, 120}};

int quadrant(int x, int y, int w, int h) { return (y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0); }

GstBuffer *yuv_quadrants(GstVideoFormat fmt, int w, int h, int pad)
{
  return make_frame(fmt, w, h, pad, [&](GstVideoFrame *f) {
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++)
        plane_row(f, 0, y)[x] = (uint8_t)kQuadYuv[quadrant(x, y, w, h)].y;
    for (int y = 0; y < (h + 1) / 2; y++) {
      for (int x = 0; x < (w + 1) / 2; x++) {
        const Yuv &c = kQuadYuv[quadrant(2 * x, 2 * y, w, h)];
        if (fmt == GST_VIDEO_FORMAT_I420) {
          plane_row(f, 1, y)[x] = (uint8_t)c.u;
          plane_row(f, 2, y)[x] = (uint8_t)c.v;
        } else {
          bool nv21 = fmt == GST_VIDEO_FORMAT_NV21;
          plane_row(f, 1, y)[2 * x] = (uint8_t)(nv21 ? c.v : c.u);
          plane_row(f, 1, y)[2 * x + 1] = (uint8_t)(nv21 ? c.u : c.v);
        }
      }
    }
  });
}

struct RgbLayout {
  int bpp, r, g, b, a;  // a < 0: no alpha byte
};

RgbLayout layout_of(const std::string &f)
{
  if (f == "RGB") return {3, 0, 1, 2, -1};
  if (f == "BGR") return {3, 2, 1, 0, -1};
  if (f == "RGBA") return {4, 0, 1, 2, 3};
  if (f == "BGRA") return {4, 2, 1, 0, 3};
  if (f == "RGBx") return {4, 0, 1, 2, -1};
  return {4, 2, 1, 0, -1};  // BGRx
}

GstBuffer *rgb_frame(const std::string &fmt, int w, int h, int pad,
                     const std::function<void(int x, int y, uint8_t rgb[3])> &pixel)
{
  RgbLayout l = layout_of(fmt);
  return make_frame(gst_video_format_from_string(fmt.c_str()), w, h, pad, [&](GstVideoFrame *f) {
    for (int y = 0; y < h; y++) {
      uint8_t *row = plane_row(f, 0, y);
      for (int x = 0; x < w; x++) {
        uint8_t c[3];
        pixel(x, y, c);
        row[x * l.bpp + l.r] = c[0];
        row[x * l.bpp + l.g] = c[1];
        row[x * l.bpp + l.b] = c[2];
        if (l.bpp == 4)
          row[x * l.bpp + 3] = l.a >= 0 ? 77 : 0;
      }
    }
  });
}

std::string raw_caps(const std::string &fmt, int w, int h, const std::string &extra = "", bool gbm = false)
{
  return std::string("video/x-raw") + (gbm ? "(memory:GBM)" : "") + ",format=" + fmt + ",width=" + std::to_string(w) +
         ",height=" + std::to_string(h) + ",framerate=30/1" + extra;
}

RunResult push_one(GstBuffer *buf, const std::string &in_caps, const std::string &tail)
{
  RunOptions o;
  o.push = {buf};
  return run_pipeline("appsrc name=src format=time caps=\"" + in_caps + "\" ! " + tail + " ! appsink name=out", o);
}

void read_yuv(FrameView &v, const std::string &fmt, int x, int y, int &Y, int &U, int &V)
{
  Y = v.row(0, y)[x];
  if (fmt == "I420") {
    U = v.row(1, y / 2)[x / 2];
    V = v.row(2, y / 2)[x / 2];
  } else {
    const uint8_t *uv = v.row(1, y / 2) + (x / 2) * 2;
    U = fmt == "NV21" ? uv[1] : uv[0];
    V = fmt == "NV21" ? uv[0] : uv[1];
  }
}

/* libyuv's SIMD rows hold the U->B gain in a signed byte, capping it at
 * 2.0 (x 255/219 scale): BT.709's 2.112 loses 0.112 per unit of scaled U,
 * so saturated blues/yellows come out a few levels off. The tolerance grows
 * with |U - 128| by exactly that amount plus rounding. */
double b_tolerance(int u, bool bt709)
{
  return 2.5 + (bt709 ? 0.115 * std::abs(u - 128) * 255.0 / 224.0 : 0.0);
}

class YuvToRgb : public ::testing::TestWithParam<std::tuple<const char *, const char *, bool>> {};

TEST_P(YuvToRgb, MatchesMatrixReference)
{
  const std::string in_fmt = std::get<0>(GetParam()), out_fmt = std::get<1>(GetParam());
  const bool bt709 = std::get<2>(GetParam());
  const int w = 66, h = 48;  // 66: rows of RGB output need stride padding
  RunResult r = push_one(yuv_quadrants(gst_video_format_from_string(in_fmt.c_str()), w, h, 20),
                         raw_caps(in_fmt, w, h, bt709 ? ",colorimetry=bt709" : ",colorimetry=bt601"),
                         "qtivtransform ! video/x-raw,format=" + out_fmt);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 1u);
  FrameView v(r.out()[0]);
  ASSERT_TRUE(v.ok());
  ASSERT_EQ(v.width(), w);
  RgbLayout l = layout_of(out_fmt);
  for (int q = 0; q < 4; q++) {
    Rgb ref = yuv_to_rgb(kQuadYuv[q].y, kQuadYuv[q].u, kQuadYuv[q].v, bt709);
    for (int dy : {2, 10, 21}) {
      for (int dx : {1, 16, 31}) {
        int x = (q & 1 ? w / 2 : 0) + dx, y = (q & 2 ? h / 2 : 0) + dy;
        const uint8_t *p = v.row(0, y) + x * l.bpp;
        EXPECT_NEAR(p[l.r], ref.r, 2.5) << "R q" << q << " @" << x << "," << y;
        EXPECT_NEAR(p[l.g], ref.g, 2.5) << "G q" << q;
        EXPECT_NEAR(p[l.b], ref.b, b_tolerance(kQuadYuv[q].u, bt709)) << "B q" << q;
        if (l.a >= 0) {
          EXPECT_EQ(p[l.a], 255);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, YuvToRgb,
                         ::testing::Combine(::testing::Values("NV12", "NV21", "I420"),
                                            ::testing::Values("RGB", "BGR", "RGBA", "BGRA", "RGBx", "BGRx"),
                                            ::testing::Bool()));

class RgbToYuv : public ::testing::TestWithParam<std::tuple<const char *, const char *, bool>> {};

TEST_P(RgbToYuv, MatchesMatrixReference)
{
  const std::string in_fmt = std::get<0>(GetParam()), out_fmt = std::get<1>(GetParam());
  const bool bt709 = std::get<2>(GetParam());
  const int w = 64, h = 48;
  GstBuffer *in = rgb_frame(in_fmt, w, h, 12, [&](int x, int y, uint8_t c[3]) {
    const int *q = kRgbQuad[quadrant(x, y, w, h)];
    c[0] = (uint8_t)q[0];
    c[1] = (uint8_t)q[1];
    c[2] = (uint8_t)q[2];
  });
  RunResult r = push_one(in, raw_caps(in_fmt, w, h),
                         "qtivtransform ! video/x-raw,format=" + out_fmt +
                             (bt709 ? ",colorimetry=bt709" : ",colorimetry=bt601"));
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 1u);
  FrameView v(r.out()[0]);
  ASSERT_TRUE(v.ok());
  for (int q = 0; q < 4; q++) {
    double Y, U, V;
    rgb_to_yuv(kRgbQuad[q][0], kRgbQuad[q][1], kRgbQuad[q][2], bt709, Y, U, V);
    for (int dy : {2, 12, 21}) {
      for (int dx : {2, 16, 29}) {
        int x = (q & 1 ? w / 2 : 0) + dx, y = (q & 2 ? h / 2 : 0) + dy;
        int oy, ou, ov;
        read_yuv(v, out_fmt, x, y, oy, ou, ov);
        EXPECT_NEAR(oy, Y, 2.5) << "Y q" << q;
        EXPECT_NEAR(ou, U, 2.5) << "U q" << q;
        EXPECT_NEAR(ov, V, 2.5) << "V q" << q;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, RgbToYuv,
                         ::testing::Combine(::testing::Values("RGB", "BGR", "RGBA", "BGRA", "BGRx"),
                                            ::testing::Values("NV12", "NV21", "I420"), ::testing::Bool()));

TEST(TransformRgb, ChannelSwapsAreExact)
{
  const int w = 51, h = 29;
  std::mt19937 rng(7);
  std::vector<uint8_t> px((size_t)w * h * 3);
  for (auto &b : px)
    b = (uint8_t)rng();
  auto pixel = [&](int x, int y, uint8_t c[3]) {
    const uint8_t *p = &px[((size_t)y * w + x) * 3];
    c[0] = p[0];
    c[1] = p[1];
    c[2] = p[2];
  };
  const char *pairs[][2] = {{"RGB", "BGR"}, {"BGR", "RGB"}, {"RGBA", "BGRA"}, {"BGRA", "RGBA"}, {"RGB", "RGBA"},
                            {"BGR", "RGBA"}, {"RGBA", "RGB"}, {"BGRA", "RGB"}, {"BGRx", "RGBA"}, {"RGBx", "BGR"}};
  for (auto &pr : pairs) {
    const std::string in = pr[0], out = pr[1];
    RunResult r = push_one(rgb_frame(in, w, h, 9, pixel), raw_caps(in, w, h), "qtivtransform ! video/x-raw,format=" + out);
    ASSERT_TRUE(r.eos) << in << "->" << out << ": " << r.error;
    ASSERT_EQ(r.out().size(), 1u);
    FrameView v(r.out()[0]);
    ASSERT_TRUE(v.ok());
    RgbLayout ol = layout_of(out), il = layout_of(in);
    int mismatches = 0;
    for (int y = 0; y < h; y++) {
      for (int x = 0; x < w; x++) {
        uint8_t c[3];
        pixel(x, y, c);
        const uint8_t *p = v.row(0, y) + x * ol.bpp;
        mismatches += p[ol.r] != c[0] || p[ol.g] != c[1] || p[ol.b] != c[2];
        if (ol.a >= 0)
          mismatches += p[ol.a] != (il.a >= 0 ? 77 : 255);
      }
    }
    EXPECT_EQ(mismatches, 0) << in << "->" << out;
  }
}

/* Smooth content inside the gamut: the round trip only loses rounding. */
GstBuffer *smooth_nv12(int w, int h)
{
  return make_frame(GST_VIDEO_FORMAT_NV12, w, h, 8, [&](GstVideoFrame *f) {
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++)
        plane_row(f, 0, y)[x] = (uint8_t)(70 + (x * 100) / w + (y * 30) / h);
    for (int y = 0; y < h / 2; y++)
      for (int x = 0; x < w / 2; x++) {
        plane_row(f, 1, y)[2 * x] = (uint8_t)(118 + (x * 20) / (w / 2));
        plane_row(f, 1, y)[2 * x + 1] = (uint8_t)(120 + (y * 16) / (h / 2));
      }
  });
}

TEST(TransformRoundTrip, Nv12ToRgbAndBack)
{
  for (const char *cm : {"bt601", "bt709"}) {
    const int w = 96, h = 64;
    GstBuffer *in = smooth_nv12(w, h);
    GstBuffer *ref = gst_buffer_copy_deep(in);
    RunResult r = push_one(in, raw_caps("NV12", w, h, std::string(",colorimetry=") + cm),
                           std::string("qtivtransform ! video/x-raw,format=RGB ! qtivtransform ! "
                                       "video/x-raw,format=NV12,colorimetry=") + cm);
    ASSERT_TRUE(r.eos) << r.error;
    ASSERT_EQ(r.out().size(), 1u);
    FrameView v(r.out()[0]);
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_NV12, w, h);
    GstVideoFrame rf;
    ASSERT_TRUE(gst_video_frame_map(&rf, &info, ref, GST_MAP_READ));
    int worst_y = 0, worst_c = 0;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++)
        worst_y = std::max(worst_y, std::abs(v.row(0, y)[x] - plane_row(&rf, 0, y)[x]));
    for (int y = 0; y < h / 2; y++)
      for (int x = 0; x < w; x++)
        worst_c = std::max(worst_c, std::abs(v.row(1, y)[x] - plane_row(&rf, 1, y)[x]));
    gst_video_frame_unmap(&rf);
    gst_buffer_unref(ref);
    EXPECT_LE(worst_y, 2) << cm;
    EXPECT_LE(worst_c, 3) << cm;
  }
}

TEST(TransformScale, SolidRegionsKeepTheirColour)
{
  struct Case {
    const char *out;
    int w, h;
  } cases[] = {{"NV12", 160, 120}, {"NV12", 640, 480}, {"I420", 100, 70}, {"RGB", 160, 120}, {"BGRA", 480, 360}};
  for (const Case &c : cases) {
    RunResult r = push_one(yuv_quadrants(GST_VIDEO_FORMAT_NV12, 320, 240, 0), raw_caps("NV12", 320, 240, ",colorimetry=bt601"),
                           std::string("qtivtransform ! video/x-raw,format=") + c.out + ",width=" +
                               std::to_string(c.w) + ",height=" + std::to_string(c.h) + ",colorimetry=bt601");
    ASSERT_TRUE(r.eos) << c.out << ": " << r.error;
    ASSERT_EQ(r.out().size(), 1u);
    Caps caps = caps_of(r.out()[0]);
    EXPECT_EQ(caps.width, c.w);
    EXPECT_EQ(caps.height, c.h);
    FrameView v(r.out()[0]);
    ASSERT_TRUE(v.ok());
    for (int q = 0; q < 4; q++) {
      int x = (q & 1 ? c.w * 3 / 4 : c.w / 4), y = (q & 2 ? c.h * 3 / 4 : c.h / 4);
      if (std::string(c.out) == "RGB" || std::string(c.out) == "BGRA") {
        RgbLayout l = layout_of(c.out);
        Rgb ref = yuv_to_rgb(kQuadYuv[q].y, kQuadYuv[q].u, kQuadYuv[q].v, false);
        const uint8_t *p = v.row(0, y) + x * l.bpp;
        /* Conversion rounding plus libyuv's bilinear rows, which truncate
         * and lose up to 2 levels even on flat areas. */
        EXPECT_NEAR(p[l.r], ref.r, 4.5) << c.out;
        EXPECT_NEAR(p[l.g], ref.g, 4.5) << c.out;
        EXPECT_NEAR(p[l.b], ref.b, 4.5) << c.out;
      } else {
        int Y, U, V;
        read_yuv(v, c.out, x, y, Y, U, V);
        EXPECT_NEAR(Y, kQuadYuv[q].y, 2) << c.out;
        EXPECT_NEAR(U, kQuadYuv[q].u, 2) << c.out;
        EXPECT_NEAR(V, kQuadYuv[q].v, 2) << c.out;
      }
    }
  }
}

TEST(TransformScale, RampIsResampled)
{
  /* Halving a ramp of slope 1: output x covers input 2x..2x+1. */
  const int w = 256, h = 16;
  for (const char *fmt : {"I420", "NV12", "RGB", "RGBA"}) {
    std::string f = fmt;
    GstBuffer *in;
    if (f == "RGB" || f == "RGBA")
      in = rgb_frame(f, w, h, 4, [](int x, int, uint8_t c[3]) { c[0] = c[1] = c[2] = (uint8_t)x; });
    else
      in = make_frame(gst_video_format_from_string(fmt), w, h, 4, [&](GstVideoFrame *fr) {
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++)
            plane_row(fr, 0, y)[x] = (uint8_t)x;
        for (guint p = 1; p < GST_VIDEO_FRAME_N_PLANES(fr); p++)
          for (int y = 0; y < h / 2; y++)
            memset(plane_row(fr, p, y), 128, GST_VIDEO_FRAME_PLANE_STRIDE(fr, p));
      });
    RunResult r = push_one(in, raw_caps(f, w, h), "qtivtransform ! video/x-raw,format=" + f + ",width=128,height=8");
    ASSERT_TRUE(r.eos) << r.error;
    ASSERT_EQ(r.out().size(), 1u);
    FrameView v(r.out()[0]);
    ASSERT_TRUE(v.ok());
    int bpp = f == "RGB" ? 3 : (f == "RGBA" ? 4 : 1);
    for (int x = 2; x < 126; x += 7)
      EXPECT_NEAR(v.row(0, 4)[x * bpp], 2 * x + 0.5, 2.0) << fmt << " x=" << x;
  }
}

TEST(TransformNegotiation, KeepsSizeAndFramerateByDefault)
{
  RunResult r = run_pipeline("videotestsrc num-buffers=3 ! video/x-raw,format=NV12,width=176,height=144,framerate=25/1 ! "
                             "qtivtransform ! video/x-raw,format=RGB ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 3u);
  Caps c = caps_of(r.out()[0]);
  EXPECT_EQ(c.format, "RGB");
  EXPECT_EQ(c.width, 176);
  EXPECT_EQ(c.height, 144);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&c.info), 25);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&c.info), 1);
}

TEST(TransformNegotiation, WidthOnlyKeepsAspect)
{
  RunResult r = run_pipeline("videotestsrc num-buffers=2 ! video/x-raw,format=NV12,width=176,height=144 ! "
                             "qtivtransform ! video/x-raw,format=BGR,width=88 ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  Caps c = caps_of(r.out()[0]);
  EXPECT_EQ(c.width, 88);
  EXPECT_EQ(c.height, 72);
}

TEST(TransformNegotiation, GbmOnEitherSide)
{
  RunResult out_gbm = run_pipeline("videotestsrc num-buffers=2 ! video/x-raw,format=I420,width=64,height=48 ! qtivtransform ! "
                                   "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601 ! appsink name=out");
  ASSERT_TRUE(out_gbm.eos) << out_gbm.error;
  ASSERT_EQ(out_gbm.out().size(), 2u);
  EXPECT_TRUE(caps_of(out_gbm.out()[0]).gbm);
  EXPECT_EQ(caps_of(out_gbm.out()[0]).format, "NV12");

  RunResult in_gbm = push_one(yuv_quadrants(GST_VIDEO_FORMAT_NV12, 64, 48, 0),
                              raw_caps("NV12", 64, 48, ",colorimetry=bt601", true),
                              "qtivtransform ! video/x-raw,format=RGB");
  ASSERT_TRUE(in_gbm.eos) << in_gbm.error;
  ASSERT_EQ(in_gbm.out().size(), 1u);
  EXPECT_FALSE(caps_of(in_gbm.out()[0]).gbm);
  FrameView v(in_gbm.out()[0]);
  Rgb ref = yuv_to_rgb(kQuadYuv[0].y, kQuadYuv[0].u, kQuadYuv[0].v, false);
  EXPECT_NEAR(v.row(0, 5)[3 * 5], ref.r, 2.5);
}

/* Only the memory feature differs: buffers that already are fd memory pass
 * untouched; system memory is copied into fd memory, because consumers of
 * memory:GBM (frame copy) look for the buffer's fd. */
TEST(TransformNegotiation, GbmOutputAlwaysCarriesFdMemory)
{
  std::vector<GstBuffer *> seen_in, seen_out;
  std::mutex lock;
  RunOptions o;
  o.setup = [&](GstElement *pipe) {
    GstElement *t = gst_bin_get_by_name(GST_BIN(pipe), "t");
    auto probe = [](GstPad *, GstPadProbeInfo *info, gpointer data) -> GstPadProbeReturn {
      auto *v = static_cast<std::pair<std::vector<GstBuffer *> *, std::mutex *> *>(data);
      std::lock_guard<std::mutex> l(*v->second);
      v->first->push_back(GST_PAD_PROBE_INFO_BUFFER(info));
      return GST_PAD_PROBE_OK;
    };
    static std::pair<std::vector<GstBuffer *> *, std::mutex *> in_ctx, out_ctx;
    in_ctx = {&seen_in, &lock};
    out_ctx = {&seen_out, &lock};
    GstPad *sink = gst_element_get_static_pad(t, "sink"), *src = gst_element_get_static_pad(t, "src");
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, probe, &in_ctx, nullptr);
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, probe, &out_ctx, nullptr);
    gst_object_unref(sink);
    gst_object_unref(src);
    gst_object_unref(t);
  };
  auto fd_backed = [](const SamplePtr &s) {
    GstBuffer *b = gst_sample_get_buffer(s.get());
    GstMemory *m = gst_buffer_n_memory(b) > 0 ? gst_buffer_peek_memory(b, 0) : nullptr;
    return m && m->allocator && g_strcmp0(m->allocator->mem_type, "fd") == 0;
  };

  /* System memory in: copied, same picture. */
  RunResult r = run_pipeline("videotestsrc num-buffers=4 pattern=smpte ! video/x-raw,format=NV12,width=64,height=48 ! "
                             "tee name=split ! queue ! qtivtransform name=t ! video/x-raw(memory:GBM),format=NV12 ! "
                             "appsink name=out split. ! queue ! appsink name=out_ref",
                             o);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 4u);
  ASSERT_EQ(r.out("out_ref").size(), 4u);
  for (size_t i = 0; i < 4; i++) {
    EXPECT_TRUE(caps_of(r.out()[i]).gbm);
    EXPECT_TRUE(fd_backed(r.out()[i])) << "frame " << i;
    FrameView got(r.out()[i]), want(r.out("out_ref")[i]);
    for (int y = 0; y < 48; y++)
      ASSERT_EQ(memcmp(got.row(0, y), want.row(0, y), 64), 0) << "luma row " << y;
    for (int y = 0; y < 24; y++)
      ASSERT_EQ(memcmp(got.row(1, y), want.row(1, y), 64), 0) << "chroma row " << y;
  }

  /* fd memory in (an upstream converter's GBM output): handed on as it is. */
  seen_in.clear();
  seen_out.clear();
  RunResult fd = run_pipeline("videotestsrc num-buffers=4 ! video/x-raw,format=I420,width=64,height=48 ! qtivtransform ! "
                              "video/x-raw(memory:GBM),format=NV12 ! qtivtransform name=t ! "
                              "video/x-raw(memory:GBM),format=NV12 ! appsink name=out",
                              o);
  ASSERT_TRUE(fd.eos) << fd.error;
  ASSERT_EQ(fd.out().size(), 4u);
  EXPECT_TRUE(fd_backed(fd.out()[0]));
  ASSERT_EQ(seen_in.size(), 4u);
  ASSERT_EQ(seen_out.size(), 4u);
  EXPECT_EQ(seen_in, seen_out);
}

TEST(TransformProperties, EngineIsStored)
{
  GstElement *t = gst_element_factory_make("qtivtransform", nullptr);
  ASSERT_TRUE(t);
  for (int e = 0; e <= 3; e++) {
    g_object_set(t, "engine", e, NULL);
    int got = -1;
    g_object_get(t, "engine", &got, NULL);
    EXPECT_EQ(got, e);
  }
  gst_object_unref(t);
  RunResult r = run_pipeline("videotestsrc num-buffers=2 ! video/x-raw,format=NV12,width=64,height=48 ! "
                             "qtivtransform engine=3 ! video/x-raw,format=RGB ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
}

TEST(TransformBands, LargeFrameRowsAreAllConverted)
{
  /* Above the size where the helper thread converts the lower band; an odd
   * height leaves the last band one row short of a chroma pair. */
  const int w = 1280, h = 719;
  GstBuffer *in = make_frame(GST_VIDEO_FORMAT_NV12, w, h, 32, [&](GstVideoFrame *f) {
    for (int y = 0; y < h; y++)
      memset(plane_row(f, 0, y), 16 + (y * 219) / h, w);
    for (int y = 0; y < (h + 1) / 2; y++)
      for (int x = 0; x < w / 2; x++) {
        plane_row(f, 1, y)[2 * x] = (uint8_t)(100 + (y * 56) / ((h + 1) / 2));
        plane_row(f, 1, y)[2 * x + 1] = 140;
      }
  });
  RunResult r = push_one(in, raw_caps("NV12", w, h, ",colorimetry=bt709"), "qtivtransform ! video/x-raw,format=RGB");
  ASSERT_TRUE(r.eos) << r.error;
  FrameView v(r.out()[0]);
  ASSERT_TRUE(v.ok());
  for (int y : {0, 1, 357, 358, 359, 360, 361, 500, 717, 718}) {
    int Y = 16 + (y * 219) / h, U = 100 + ((y / 2) * 56) / ((h + 1) / 2);
    Rgb ref = yuv_to_rgb(Y, U, 140, true);
    for (int x : {0, 640, 1279}) {
      const uint8_t *p = v.row(0, y) + 3 * x;
      EXPECT_NEAR(p[0], ref.r, 2.5) << "row " << y;
      EXPECT_NEAR(p[1], ref.g, 2.5) << "row " << y;
      EXPECT_NEAR(p[2], ref.b, b_tolerance(U, true)) << "row " << y;
    }
  }
}

}  // namespace

/* ---- against stock videoconvert, for every matrix and range ---- */

namespace {

struct Colorimetry {
  const char *name;
  const char *caps;  // colorimetry field as written in caps
};
const Colorimetry kColorimetries[] = {
    {"bt601", "bt601"}, {"bt709", "bt709"}, {"bt601_full", "1:4:0:0"}, {"bt709_full", "1:3:0:0"}};

/* Block of 16x16 pixels per colour: chroma resampling (videoconvert filters
 * across chroma sites, libyuv replicates) only differs at block edges, which
 * the comparison leaves out. */
constexpr int kBlock = 16, kBlocks = 16, kSide = kBlock * kBlocks;

bool block_interior(int x, int y) { return x % kBlock >= 2 && x % kBlock < kBlock - 2 && y % kBlock >= 2 && y % kBlock < kBlock - 2; }

/* Runs one frame through qtivtransform to @out_caps and through videoconvert
 * to @ref_caps (the same, its 16-bit twin, or a longer chain of stock
 * elements); returns both outputs. */
std::pair<SamplePtr, SamplePtr> convert_both(GstBuffer *buf, const std::string &in_caps, const std::string &out_caps,
                                             const std::string &ref_caps)
{
  RunOptions o;
  o.push = {buf};
  RunResult r = run_pipeline("appsrc name=src format=time caps=\"" + in_caps + "\" ! tee name=t t. ! queue ! " +
                                 "qtivtransform ! " + out_caps + " ! appsink name=out_soft t. ! queue ! videoconvert ! " +
                                 ref_caps + " ! appsink name=out_ref",
                             o);
  EXPECT_TRUE(r.eos) << r.error;
  if (r.out("out_soft").size() != 1 || r.out("out_ref").size() != 1)
    return {};
  return {r.out("out_soft")[0], r.out("out_ref")[0]};
}

/* NV12 blocks of colours across the RGB cube, written with the given matrix
 * and range (so inside the gamut, as camera pictures are). */
GstBuffer *nv12_colour_blocks(bool bt709, bool full)
{
  return make_frame(GST_VIDEO_FORMAT_NV12, kSide, kSide, 0, [&](GstVideoFrame *f) {
    for (int y = 0; y < kSide; y++)
      for (int x = 0; x < kSide; x++) {
        int b = (y / kBlock) * kBlocks + x / kBlock;
        const int lv[7] = {0, 40, 85, 128, 170, 215, 255};
        double r = lv[b % 7], g = lv[(b / 7) % 7], bl = lv[(b / 49) % 7];
        double kr, kb;
        matrix_k(bt709, kr, kb);
        double luma = kr * r + (1 - kr - kb) * g + kb * bl;
        double ys = full ? 1.0 : 219.0 / 255.0, cs = full ? 1.0 : 224.0 / 255.0;
        double Y = (full ? 0 : 16) + luma * ys;
        double U = 128 + (bl - luma) / (2 * (1 - kb)) * cs, V = 128 + (r - luma) / (2 * (1 - kr)) * cs;
        auto q = [](double v) { return (uint8_t)std::min(255.0, std::max(0.0, std::round(v))); };
        plane_row(f, 0, y)[x] = q(Y);
        if (y % 2 == 0 && x % 2 == 0) {
          plane_row(f, 1, y / 2)[x] = q(U);
          plane_row(f, 1, y / 2)[x + 1] = q(V);
        }
      }
  });
}

class AgainstVideoconvert : public ::testing::TestWithParam<Colorimetry> {};

}  // namespace

/* NV12 of colours across the RGB cube (written with the matrix and range
 * the caps say), to RGB: within 3 of videoconvert on every channel.
 * videoconvert's 8-bit matrix path is itself up to 6 levels off the matrix
 * definitions (limited range BT.601: 209 for a green of 215), so the
 * reference is its 16-bit path (ARGB64), rounded to 8 bits. */
TEST_P(AgainstVideoconvert, Nv12ToRgb)
{
  const Colorimetry &cm = GetParam();
  const bool full = std::string(cm.name).find("full") != std::string::npos;
  const bool bt709 = std::string(cm.name).find("709") != std::string::npos;
  GstBuffer *buf = nv12_colour_blocks(bt709, full);
  auto outs = convert_both(buf, raw_caps("NV12", kSide, kSide, std::string(",colorimetry=") + cm.caps),
                           raw_caps("RGB", kSide, kSide), raw_caps("ARGB64", kSide, kSide));
  ASSERT_TRUE(outs.first && outs.second);
  FrameView soft(outs.first), ref(outs.second);
  auto ref_at = [&](int x, int y, int c) {
    const uint16_t *p = reinterpret_cast<const uint16_t *>(ref.row(0, y)) + 4 * x;
    return (p[1 + c] + 128) / 257;  // A, R, G, B in native-endian words
  };
  int worst = 0, wx = 0, wy = 0, wc = 0;
  for (int y = 0; y < kSide; y++)
    for (int x = 0; x < kSide; x++) {
      if (!block_interior(x, y))
        continue;
      for (int c = 0; c < 3; c++) {
        int d = std::abs(soft.row(0, y)[3 * x + c] - ref_at(x, y, c));
        if (d > worst) {
          worst = d;
          wx = x;
          wy = y;
          wc = c;
        }
      }
    }
  EXPECT_LE(worst, 3) << cm.name << ": channel " << wc << " at (" << wx << "," << wy << ") is "
                      << (int)soft.row(0, wy)[3 * wx + wc] << ", videoconvert " << ref_at(wx, wy, wc);
}

/* RGB solids to NV12 in the caps' matrix and range: within 3 of videoconvert
 * on Y, U and V. */
TEST_P(AgainstVideoconvert, RgbToNv12)
{
  const Colorimetry &cm = GetParam();
  GstBuffer *buf = rgb_frame("RGB", kSide, kSide, 0, [](int x, int y, uint8_t rgb[3]) {
    int b = (y / kBlock) * kBlocks + x / kBlock;
    const int lv[7] = {0, 40, 85, 128, 170, 215, 255};
    rgb[0] = (uint8_t)lv[b % 7];
    rgb[1] = (uint8_t)lv[(b / 7) % 7];
    rgb[2] = (uint8_t)lv[(b / 49) % 7];
  });
  const std::string nv12 = raw_caps("NV12", kSide, kSide, std::string(",colorimetry=") + cm.caps);
  auto outs = convert_both(buf, raw_caps("RGB", kSide, kSide), nv12, nv12);
  ASSERT_TRUE(outs.first && outs.second);
  FrameView soft(outs.first), ref(outs.second);
  int worst = 0;
  std::string where;
  for (int y = 0; y < kSide; y += 2)
    for (int x = 0; x < kSide; x += 2) {
      if (!block_interior(x, y))
        continue;
      int s[3], r[3];
      read_yuv(soft, "NV12", x, y, s[0], s[1], s[2]);
      read_yuv(ref, "NV12", x, y, r[0], r[1], r[2]);
      for (int c = 0; c < 3; c++)
        if (std::abs(s[c] - r[c]) > worst) {
          worst = std::abs(s[c] - r[c]);
          where = "component " + std::to_string(c) + " at (" + std::to_string(x) + "," + std::to_string(y) +
                  "): " + std::to_string(s[c]) + " vs " + std::to_string(r[c]);
        }
    }
  EXPECT_LE(worst, 3) << cm.name << ": " << where;
}

INSTANTIATE_TEST_SUITE_P(Colorimetries, AgainstVideoconvert, ::testing::ValuesIn(kColorimetries),
                         [](const ::testing::TestParamInfo<Colorimetry> &i) { return std::string(i.param.name); });

/* NV12 to NV12 in another matrix and range (a camera in BT.601 recorded as
 * BT.709): the values are converted, not passed through; within 3 of
 * videoconvert. */
TEST(TransformColorimetry, Nv12ToAnotherMatrixAndRange)
{
  const std::pair<const char *, const char *> pairs[] = {
      {"bt601", "bt709"}, {"bt709", "bt601"}, {"bt601", "1:4:0:0"}, {"1:3:0:0", "bt601"}};
  for (const auto &pr : pairs) {
    const std::string in_cm = pr.first;
    GstBuffer *buf = nv12_colour_blocks(in_cm == "bt709" || in_cm == "1:3:0:0", in_cm.find(':') != std::string::npos);
    GstBuffer *input = gst_buffer_ref(buf);
    const std::string out = raw_caps("NV12", kSide, kSide, std::string(",colorimetry=") + pr.second);
    /* videoconvert leaves YUV values alone when only the range changes, so
     * the reference goes through its 16-bit RGB. */
    auto outs = convert_both(buf, raw_caps("NV12", kSide, kSide, std::string(",colorimetry=") + pr.first), out,
                             raw_caps("ARGB64", kSide, kSide) + " ! videoconvert ! " + out);
    ASSERT_TRUE(outs.first && outs.second) << pr.first << " -> " << pr.second;
    FrameView soft(outs.first), ref(outs.second);
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_NV12, kSide, kSide);
    GstVideoFrame in_frame;
    ASSERT_TRUE(gst_video_frame_map(&in_frame, &info, input, GST_MAP_READ));
    int worst = 0, changed = 0;
    for (int y = 0; y < kSide; y += 2)
      for (int x = 0; x < kSide; x += 2) {
        if (!block_interior(x, y))
          continue;
        int s[3], r[3];
        read_yuv(soft, "NV12", x, y, s[0], s[1], s[2]);
        read_yuv(ref, "NV12", x, y, r[0], r[1], r[2]);
        for (int c = 0; c < 3; c++)
          worst = std::max(worst, std::abs(s[c] - r[c]));
        const uint8_t *uv = plane_row(&in_frame, 1, y / 2) + x;
        changed += std::abs(s[0] - plane_row(&in_frame, 0, y)[x]) > 3 || std::abs(s[1] - uv[0]) > 3 ||
                   std::abs(s[2] - uv[1]) > 3;
      }
    gst_video_frame_unmap(&in_frame);
    gst_buffer_unref(input);
    EXPECT_LE(worst, 3) << pr.first << " -> " << pr.second;
    EXPECT_GT(changed, 10) << pr.first << " -> " << pr.second << ": passed through unchanged";
  }
}
