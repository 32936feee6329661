// SPDX-License-Identifier: LGPL-2.1-or-later
// qtivcomposer: pixels land where position, dimensions, crop and the flips
// say, in NV12 and RGB, from system and memfd (GBM) memory; launch-text pad
// options; negotiation; missing inputs and mismatched rates.
#include "soft_test_util.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace softtest;

namespace {

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { gst_init(nullptr, nullptr); }
};
::testing::Environment *const gst_env = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

struct Color {
  int r, g, b;
};
const Color kRed = {220, 30, 40}, kGreen = {30, 200, 60}, kBlue = {40, 50, 220}, kWhite = {235, 235, 235};
const Color kQuad[4] = {kRed, kGreen, kBlue, kWhite};  // TL, TR, BL, BR
const Color kBlack = {0, 0, 0};

struct Yuv8 {
  int y, u, v;
};
Yuv8 yuv_of(const Color &c)
{
  double Y, U, V;
  rgb_to_yuv(c.r, c.g, c.b, false, Y, U, V);
  return {(int)lround(Y), (int)lround(U), (int)lround(V)};
}

/* A frame of @fmt (NV12, RGB, BGRA...) coloured by @color_at(x, y); alpha
 * from @alpha_at for 4-byte formats. */
GstBuffer *paint(GstVideoFormat fmt, int w, int h, const std::function<Color(int, int)> &color_at, int index,
                 const std::function<int(int, int)> &alpha_at = nullptr)
{
  return make_frame(
      fmt, w, h, 8,
      [&](GstVideoFrame *f) {
        if (fmt == GST_VIDEO_FORMAT_NV12) {
          for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
              plane_row(f, 0, y)[x] = (uint8_t)yuv_of(color_at(x, y)).y;
          for (int y = 0; y < h / 2; y++)
            for (int x = 0; x < w / 2; x++) {
              Yuv8 c = yuv_of(color_at(2 * x, 2 * y));
              plane_row(f, 1, y)[2 * x] = (uint8_t)c.u;
              plane_row(f, 1, y)[2 * x + 1] = (uint8_t)c.v;
            }
          return;
        }
        const GstVideoFormatInfo *fi = gst_video_format_get_info(fmt);
        int bpp = GST_VIDEO_FORMAT_INFO_PSTRIDE(fi, 0);
        int ri = GST_VIDEO_FORMAT_INFO_POFFSET(fi, 0), gi = GST_VIDEO_FORMAT_INFO_POFFSET(fi, 1),
            bi = GST_VIDEO_FORMAT_INFO_POFFSET(fi, 2);
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++) {
            uint8_t *p = plane_row(f, 0, y) + bpp * x;
            Color c = color_at(x, y);
            p[ri] = (uint8_t)c.r;
            p[gi] = (uint8_t)c.g;
            p[bi] = (uint8_t)c.b;
            if (GST_VIDEO_FORMAT_INFO_HAS_ALPHA(fi))
              p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 3)] = (uint8_t)(alpha_at ? alpha_at(x, y) : 255);
            else if (bpp == 4)
              p[6 - ri - gi - bi] = 0x55;  // the padding byte, which must not matter
          }
      },
      gst_util_uint64_scale(index, GST_SECOND, 30));
}

GstBuffer *solid(GstVideoFormat fmt, int w, int h, Color c, int index)
{
  return paint(fmt, w, h, [c](int, int) { return c; }, index);
}

GstBuffer *quadrants(GstVideoFormat fmt, int w, int h, int index)
{
  return paint(fmt, w, h, [w, h](int x, int y) { return kQuad[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)]; },
               index);
}

std::string appsrc(const std::string &name, const std::string &format, int w, int h, int fps = 30)
{
  return "appsrc name=" + name + " format=time caps=\"video/x-raw,format=" + format + ",width=" + std::to_string(w) +
         ",height=" + std::to_string(h) + ",framerate=" + std::to_string(fps) + "/1\" ";
}

using Until = std::function<bool(const std::vector<SamplePtr> &)>;

/* Runs @desc, feeding each named appsrc its buffers then end-of-stream, and
 * collects what appsink "out" receives. With @until the run ends as soon as
 * it holds for the frames so far (for inputs that never end). */
RunResult run_fed(const std::string &desc, std::map<std::string, std::vector<GstBuffer *>> feeds,
                  const Until &until = nullptr)
{
  RunResult r;
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(desc.c_str(), &err);
  if (!pipe || err) {
    r.error = std::string("parse: ") + (err ? err->message : "?");
    g_clear_error(&err);
    if (pipe)
      gst_object_unref(pipe);
    for (auto &f : feeds)
      for (GstBuffer *b : f.second)
        gst_buffer_unref(b);
    return r;
  }
  SinkCollector collector;
  GstElement *out = gst_bin_get_by_name(GST_BIN(pipe), "out");
  GstAppSinkCallbacks cb = {};
  cb.new_sample = on_new_sample;
  gst_app_sink_set_callbacks(GST_APP_SINK(out), &cb, &collector, nullptr);
  g_object_set(out, "sync", FALSE, NULL);
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  for (auto &f : feeds) {
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), f.first.c_str());
    EXPECT_TRUE(src != nullptr) << f.first;
    for (GstBuffer *b : f.second)
      src ? (void)gst_app_src_push_buffer(GST_APP_SRC(src), b) : gst_buffer_unref(b);
    if (src) {
      gst_app_src_end_of_stream(GST_APP_SRC(src));
      gst_object_unref(src);
    }
  }
  GstBus *bus = gst_element_get_bus(pipe);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  for (;;) {
    GstMessage *msg =
        gst_bus_timed_pop_filtered(bus, 20 * GST_MSECOND, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (msg) {
      if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
        r.eos = true;
      } else {
        GError *e = nullptr;
        gst_message_parse_error(msg, &e, nullptr);
        r.error = e ? e->message : "error";
        g_clear_error(&e);
      }
      gst_message_unref(msg);
      break;
    }
    if (until) {
      std::vector<SamplePtr> so_far;
      {
        std::lock_guard<std::mutex> l(collector.lock);
        so_far = collector.samples;
      }
      if (until(so_far))
        break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      r.timed_out = true;
      break;
    }
  }
  gst_object_unref(bus);
  gst_element_set_state(pipe, GST_STATE_NULL);
  {
    std::lock_guard<std::mutex> l(collector.lock);
    r.samples["out"] = collector.samples;
  }
  gst_object_unref(out);
  gst_object_unref(pipe);
  return r;
}

/* Colour of output pixel (x, y), as RGB for packed frames and compared in
 * YUV for NV12. */
::testing::AssertionResult pixel_is(const SamplePtr &s, int x, int y, const Color &want, int tol = 3)
{
  FrameView v(s);
  if (!v.ok())
    return ::testing::AssertionFailure() << "cannot map frame";
  GstVideoFormat fmt = GST_VIDEO_FRAME_FORMAT(v.frame());
  /* libyuv's 4-byte bilinear scaler weighs with 7-bit fractions that sum to
   * 127/128: scaled 4-byte pictures come out up to 2% darker. */
  if (GST_VIDEO_FORMAT_INFO_PSTRIDE(gst_video_format_get_info(fmt), 0) == 4)
    tol = std::max(tol, 5);
  char got[96], exp[96];
  bool ok;
  if (fmt == GST_VIDEO_FORMAT_NV12) {
    Yuv8 w = yuv_of(want);
    int Y = v.row(0, y)[x], U = v.row(1, y / 2)[(x & ~1)], V = v.row(1, y / 2)[(x & ~1) + 1];
    ok = std::abs(Y - w.y) <= tol && std::abs(U - w.u) <= tol && std::abs(V - w.v) <= tol;
    snprintf(got, sizeof got, "YUV %d,%d,%d", Y, U, V);
    snprintf(exp, sizeof exp, "YUV %d,%d,%d", w.y, w.u, w.v);
  } else {
    const GstVideoFormatInfo *fi = gst_video_format_get_info(fmt);
    const uint8_t *p = v.row(0, y) + GST_VIDEO_FORMAT_INFO_PSTRIDE(fi, 0) * x;
    int R = p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 0)], G = p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 1)],
        B = p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 2)];
    ok = std::abs(R - want.r) <= tol && std::abs(G - want.g) <= tol && std::abs(B - want.b) <= tol;
    snprintf(got, sizeof got, "RGB %d,%d,%d", R, G, B);
    snprintf(exp, sizeof exp, "RGB %d,%d,%d", want.r, want.g, want.b);
  }
  if (ok)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") is " << got << ", expected " << exp;
}

bool is_fd_memory(const SamplePtr &s)
{
  GstMemory *m = gst_buffer_peek_memory(gst_sample_get_buffer(s.get()), 0);
  return m && m->allocator && g_strcmp0(m->allocator->mem_type, "fd") == 0;
}

std::vector<GstBuffer *> frames_of(const std::function<GstBuffer *(int)> &make, int n)
{
  std::vector<GstBuffer *> v;
  for (int i = 0; i < n; i++)
    v.push_back(make(i));
  return v;
}

struct FormatCase {
  const char *name;
  GstVideoFormat fmt;
  bool gbm;
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

class ComposerGrid : public ::testing::TestWithParam<FormatCase> {};

}  // namespace

/* Four solid inputs of another size scaled into the four quadrants. */
TEST_P(ComposerGrid, FourInputsLandInTheirQuadrants)
{
  const FormatCase fc = GetParam();
  const std::string fmt = gst_video_format_to_string(fc.fmt);
  const std::string feature = fc.gbm ? "(memory:GBM)" : "";
  std::string desc = "qtivcomposer name=mixer engine=2 ";
  for (int i = 0; i < 4; i++)
    desc += "sink_" + std::to_string(i) + "::position=\"<" + std::to_string((i % 2) * 320) + ", " +
            std::to_string((i / 2) * 180) + ">\" sink_" + std::to_string(i) + "::dimensions=\"<320, 180>\" ";
  desc += "! video/x-raw" + feature + ",format=" + fmt + ",width=640,height=360 ! appsink name=out ";
  std::map<std::string, std::vector<GstBuffer *>> feeds;
  for (int i = 0; i < 4; i++) {
    const std::string name = "s" + std::to_string(i);
    // GBM inputs come through qtivtransform, as they do on the board.
    desc += appsrc(name, fmt, 160 + 80 * i, 120 + 60 * i) +
            (fc.gbm ? "! qtivtransform ! video/x-raw(memory:GBM),format=" + fmt + " " : "") + "! mixer.sink_" +
            std::to_string(i) + " ";
    const int w = 160 + 80 * i, h = 120 + 60 * i;
    const Color c = kQuad[i];
    feeds[name] = frames_of([&](int n) { return solid(fc.fmt, w, h, c, n); }, 3);
  }
  RunResult r = run_fed(desc, feeds);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 3u);
  for (const SamplePtr &s : r.out()) {
    Caps c = caps_of(s);
    EXPECT_EQ(c.format, fmt);
    EXPECT_EQ(c.width, 640);
    EXPECT_EQ(c.height, 360);
    EXPECT_EQ(c.gbm, fc.gbm);
    EXPECT_EQ(is_fd_memory(s), fc.gbm);
    for (int i = 0; i < 4; i++) {
      int x0 = (i % 2) * 320, y0 = (i / 2) * 180;
      EXPECT_TRUE(pixel_is(s, x0, y0, kQuad[i])) << "input " << i;
      EXPECT_TRUE(pixel_is(s, x0 + 319, y0 + 179, kQuad[i])) << "input " << i;
      EXPECT_TRUE(pixel_is(s, x0 + 160, y0 + 90, kQuad[i])) << "input " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ComposerGrid,
                         ::testing::Values(FormatCase{"NV12", GST_VIDEO_FORMAT_NV12, false},
                                           FormatCase{"NV12_GBM", GST_VIDEO_FORMAT_NV12, true},
                                           FormatCase{"RGB", GST_VIDEO_FORMAT_RGB, false},
                                           FormatCase{"RGB_GBM", GST_VIDEO_FORMAT_RGB, true},
                                           FormatCase{"BGRx", GST_VIDEO_FORMAT_BGRx, false}),
                         [](const ::testing::TestParamInfo<FormatCase> &i) { return std::string(i.param.name); });

class ComposerPlacement : public ::testing::TestWithParam<GstVideoFormat> {};

/* Edges are exact; what no input covers is black. */
TEST_P(ComposerPlacement, PositionAndDimensionsEdges)
{
  const std::string fmt = gst_video_format_to_string(GetParam());
  const std::string desc = "qtivcomposer name=mixer sink_0::position=\"<100, 50>\" sink_0::dimensions=\"<200, 100>\" "
                           "! video/x-raw,format=" + fmt + ",width=640,height=360 ! appsink name=out " +
                           appsrc("s0", fmt, 320, 240) + "! mixer.";
  RunResult r = run_fed(desc, {{"s0", frames_of([&](int n) { return solid(GetParam(), 320, 240, kGreen, n); }, 2)}});
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  // Pool buffers come back dirty: the second frame proves the clearing.
  for (const SamplePtr &s : r.out()) {
    EXPECT_TRUE(pixel_is(s, 100, 50, kGreen));
    EXPECT_TRUE(pixel_is(s, 299, 149, kGreen));
    EXPECT_TRUE(pixel_is(s, 98, 50, kBlack));
    EXPECT_TRUE(pixel_is(s, 100, 48, kBlack));
    EXPECT_TRUE(pixel_is(s, 300, 149, kBlack));
    EXPECT_TRUE(pixel_is(s, 299, 150, kBlack));
    EXPECT_TRUE(pixel_is(s, 639, 359, kBlack));
    EXPECT_TRUE(pixel_is(s, 0, 0, kBlack));
  }
}

/* Quadrant input 320x240 shown at 640x480 size 320x240: crop and flips
 * decide which source quadrant lands top-left. */
TEST_P(ComposerPlacement, CropAndFlips)
{
  const GstVideoFormat f = GetParam();
  const std::string fmt = gst_video_format_to_string(f);
  // The pad options in the same words as the composition's launch text.
  const std::string desc =
      "qtivcomposer name=mixer engine=2 "
      "sink_0::position=\"<0, 0>\"  sink_0::dimensions=\"<320, 240>\"  "
      "sink_1::position=\"<320, 0>\"  sink_1::dimensions=\"<320, 240>\" sink_1::flip-horizontal=true  "
      "sink_2::position=\"<0, 240>\"  sink_2::dimensions=\"<320, 240>\" sink_2::flip-vertical=true  "
      "sink_3::position=\"<320, 240>\"  sink_3::dimensions=\"<320, 240>\" sink_3::crop=\"<160, 120, 160, 120>\" "
      " ! video/x-raw,format=" + fmt + ",width=640,height=480 ! appsink name=out " +
      appsrc("s0", fmt, 320, 240) + "! mixer. " + appsrc("s1", fmt, 320, 240) + "! mixer. " +
      appsrc("s2", fmt, 320, 240) + "! mixer. " + appsrc("s3", fmt, 320, 240) + "! mixer. ";
  std::map<std::string, std::vector<GstBuffer *>> feeds;
  for (int i = 0; i < 4; i++)
    feeds["s" + std::to_string(i)] = frames_of([&](int n) { return quadrants(f, 320, 240, n); }, 2);
  RunResult r = run_fed(desc, feeds);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  const SamplePtr &s = r.out()[1];
  auto quad_at = [&](int ox, int oy, int q, const char *what) {
    // Centre and corners of each 160x120 output quadrant of the tile.
    EXPECT_TRUE(pixel_is(s, ox + 80, oy + 60, kQuad[q])) << what;
    EXPECT_TRUE(pixel_is(s, ox + 2, oy + 2, kQuad[q])) << what;
    EXPECT_TRUE(pixel_is(s, ox + 157, oy + 117, kQuad[q])) << what;
  };
  quad_at(0, 0, 0, "plain TL");
  quad_at(160, 0, 1, "plain TR");
  quad_at(0, 120, 2, "plain BL");
  quad_at(320, 0, 1, "h-flip TL shows TR");
  quad_at(480, 0, 0, "h-flip TR shows TL");
  quad_at(320, 120, 3, "h-flip BL shows BR");
  quad_at(0, 240, 2, "v-flip TL shows BL");
  quad_at(160, 360, 1, "v-flip BR shows TR");
  // The crop is the white quadrant alone, scaled up to the whole tile.
  EXPECT_TRUE(pixel_is(s, 322, 242, kWhite));
  EXPECT_TRUE(pixel_is(s, 480, 360, kWhite));
  EXPECT_TRUE(pixel_is(s, 637, 477, kWhite));
}

INSTANTIATE_TEST_SUITE_P(Formats, ComposerPlacement,
                         ::testing::Values(GST_VIDEO_FORMAT_NV12, GST_VIDEO_FORMAT_RGB, GST_VIDEO_FORMAT_BGRA),
                         [](const ::testing::TestParamInfo<GstVideoFormat> &i) {
                           return std::string(gst_video_format_to_string(i.param));
                         });

TEST(ComposerProperties, LaunchTextReachesThePads)
{
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(
      "qtivcomposer name=mixer engine=2 sink_0::position=\"<12, -4>\"  sink_0::dimensions=\"<960, 540>\" "
      "sink_1::crop=\"<2, 4, 6, 8>\" sink_1::flip-horizontal=true sink_1::flip-vertical=1 ! fakesink "
      "videotestsrc ! mixer. videotestsrc ! mixer.",
      &err);
  ASSERT_TRUE(pipe) << (err ? err->message : "");
  ASSERT_EQ(err, nullptr) << err->message;
  GstElement *mixer = gst_bin_get_by_name(GST_BIN(pipe), "mixer");
  int engine = -1;
  g_object_get(mixer, "engine", &engine, NULL);
  EXPECT_EQ(engine, 2);
  GstPad *p0 = gst_element_get_static_pad(mixer, "sink_0");
  GstPad *p1 = gst_element_get_static_pad(mixer, "sink_1");
  ASSERT_TRUE(p0 && p1);
  auto ints = [](GstPad *pad, const char *prop) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, GST_TYPE_ARRAY);
    g_object_get_property(G_OBJECT(pad), prop, &v);
    std::vector<int> out;
    for (guint i = 0; i < gst_value_array_get_size(&v); i++)
      out.push_back(g_value_get_int(gst_value_array_get_value(&v, i)));
    g_value_unset(&v);
    return out;
  };
  EXPECT_EQ(ints(p0, "position"), (std::vector<int>{12, -4}));
  EXPECT_EQ(ints(p0, "dimensions"), (std::vector<int>{960, 540}));
  EXPECT_EQ(ints(p1, "crop"), (std::vector<int>{2, 4, 6, 8}));
  EXPECT_EQ(ints(p1, "position"), (std::vector<int>{0, 0}));
  gboolean fh = FALSE, fv = FALSE, f0 = TRUE;
  g_object_get(p1, "flip-horizontal", &fh, "flip-vertical", &fv, NULL);
  g_object_get(p0, "flip-horizontal", &f0, NULL);
  EXPECT_TRUE(fh);
  EXPECT_TRUE(fv);
  EXPECT_FALSE(f0);

  // A malformed value is refused whole: the old one stays.
  GValue bad = G_VALUE_INIT;
  g_value_init(&bad, GST_TYPE_ARRAY);
  GValue one = G_VALUE_INIT;
  g_value_init(&one, G_TYPE_INT);
  g_value_set_int(&one, 7);
  gst_value_array_append_value(&bad, &one);
  g_object_set_property(G_OBJECT(p0), "position", &bad);
  g_value_unset(&one);
  g_value_unset(&bad);
  EXPECT_EQ(ints(p0, "position"), (std::vector<int>{12, -4}));

  gst_object_unref(p0);
  gst_object_unref(p1);
  gst_object_unref(mixer);
  gst_object_unref(pipe);
}

/* Without sizes from downstream the output is the bounding box of the
 * inputs, at the fastest input's rate; a slower input repeats its frame. */
TEST(ComposerNegotiation, BoundingBoxAndMismatchedRates)
{
  const std::string desc = "qtivcomposer name=mixer sink_1::position=\"<320, 0>\" sink_1::dimensions=\"<100, 50>\" ! "
                           "video/x-raw,format=RGB ! appsink name=out " +
                           appsrc("s0", "RGB", 320, 240, 30) + "! mixer. " + appsrc("s1", "RGB", 64, 64, 10) +
                           "! mixer. ";
  std::vector<GstBuffer *> slow;
  for (int i = 0; i < 10; i++) {
    GstBuffer *b = solid(GST_VIDEO_FORMAT_RGB, 64, 64, kBlue, 0);
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, 10);
    GST_BUFFER_DURATION(b) = GST_SECOND / 10;
    slow.push_back(b);
  }
  RunResult r = run_fed(desc, {{"s0", frames_of([](int n) { return solid(GST_VIDEO_FORMAT_RGB, 320, 240, kRed, n); }, 30)},
                               {"s1", slow}});
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 30u);
  Caps c = caps_of(r.out()[0]);
  EXPECT_EQ(c.width, 420);
  EXPECT_EQ(c.height, 240);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&c.info), 30);
  EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&c.info), 1);
  for (const SamplePtr &s : r.out()) {
    EXPECT_TRUE(pixel_is(s, 10, 10, kRed));
    EXPECT_TRUE(pixel_is(s, 370, 25, kBlue));
    EXPECT_TRUE(pixel_is(s, 370, 100, kBlack));
  }
}

/* Inputs of other formats are converted; RGBA/BGRA ones are blended. */
TEST(ComposerFormats, MixedInputsAndAlpha)
{
  const std::string desc = "qtivcomposer name=mixer sink_0::dimensions=\"<320, 240>\" ! "
                           "video/x-raw,format=NV12,width=320,height=240 ! appsink name=out " +
                           appsrc("s0", "RGB", 160, 120) + "! mixer. " + appsrc("s1", "BGRA", 320, 240) + "! mixer. ";
  // The overlay is transparent but for an opaque square and a half-transparent one.
  auto alpha = [](int x, int y) {
    if (x >= 40 && x < 80 && y >= 40 && y < 80)
      return 255;
    if (x >= 200 && x < 240 && y >= 40 && y < 80)
      return 128;
    return 0;
  };
  RunResult r = run_fed(
      desc, {{"s0", frames_of([](int n) { return solid(GST_VIDEO_FORMAT_RGB, 160, 120, kRed, n); }, 2)},
             {"s1", frames_of([&](int n) { return paint(GST_VIDEO_FORMAT_BGRA, 320, 240, [](int, int) { return kWhite; },
                                                        n, alpha); },
                              2)}});
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  const SamplePtr &s = r.out()[1];
  EXPECT_TRUE(pixel_is(s, 10, 10, kRed));
  EXPECT_TRUE(pixel_is(s, 300, 200, kRed));
  EXPECT_TRUE(pixel_is(s, 60, 60, kWhite));
  EXPECT_TRUE(pixel_is(s, 42, 42, kWhite));
  const Color half = {(kRed.r + kWhite.r) / 2, (kRed.g + kWhite.g) / 2, (kRed.b + kWhite.b) / 2};
  EXPECT_TRUE(pixel_is(s, 220, 60, half, 4));
}

/* Live inputs: one never delivers anything, yet frames keep coming at the
 * output rate with the others in place and its own area black. */
TEST(ComposerLive, MissingInputDoesNotStall)
{
  const std::string desc =
      "qtivcomposer name=mixer latency=50000000 sink_1::position=\"<160, 0>\" sink_2::position=\"<0, 120>\" ! "
      "video/x-raw,format=NV12,width=320,height=240,framerate=30/1 ! appsink name=out "
      "videotestsrc is-live=true pattern=solid-color foreground-color=0xffdc1e28 ! "
      "video/x-raw,format=NV12,width=160,height=120,framerate=30/1 ! queue ! mixer.sink_0 "
      "videotestsrc is-live=true pattern=solid-color foreground-color=0xff1ec83c ! "
      "video/x-raw,format=NV12,width=160,height=120,framerate=15/1 ! queue ! mixer.sink_1 " +
      appsrc("silent", "NV12", 160, 120) + " is-live=true ! queue ! mixer.sink_2 ";
  // Under load the live inputs may start late: wait until both showed up.
  RunResult r = run_fed(desc, {}, [](const std::vector<SamplePtr> &f) {
    return f.size() >= 12 && pixel_is(f.back(), 80, 60, kRed, 4) && pixel_is(f.back(), 240, 60, kGreen, 4);
  });
  ASSERT_TRUE(r.error.empty()) << r.error;
  ASSERT_FALSE(r.timed_out);
  ASSERT_GE(r.out().size(), 12u);
  const SamplePtr &s = r.out().back();
  for (const SamplePtr &f : r.out()) {
    EXPECT_TRUE(pixel_is(f, 80, 180, kBlack));
    EXPECT_TRUE(pixel_is(f, 240, 180, kBlack));
  }
  // Timestamps advance by the output duration.
  GstClockTime t0 = GST_BUFFER_PTS(gst_sample_get_buffer(r.out()[r.out().size() - 2].get()));
  GstClockTime t1 = GST_BUFFER_PTS(gst_sample_get_buffer(s.get()));
  EXPECT_NEAR((double)(t1 - t0), GST_SECOND / 30.0, 2.0);
}

/* An input that ends early leaves its area to the background; the others
 * carry on to their own end. */
TEST(ComposerLive, EarlyEndOfOneInput)
{
  const std::string desc = "qtivcomposer name=mixer sink_1::position=\"<160, 0>\" ! "
                           "video/x-raw,format=NV12,width=320,height=120 ! appsink name=out " +
                           appsrc("s0", "NV12", 160, 120) + "! mixer. " + appsrc("s1", "NV12", 160, 120) + "! mixer. ";
  RunResult r = run_fed(desc, {{"s0", frames_of([](int n) { return solid(GST_VIDEO_FORMAT_NV12, 160, 120, kRed, n); }, 10)},
                               {"s1", frames_of([](int n) { return solid(GST_VIDEO_FORMAT_NV12, 160, 120, kBlue, n); }, 3)}});
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 10u);
  EXPECT_TRUE(pixel_is(r.out()[1], 240, 60, kBlue));
  EXPECT_TRUE(pixel_is(r.out()[9], 80, 60, kRed));
  EXPECT_TRUE(pixel_is(r.out()[9], 240, 60, kBlack));
}

/* Pad properties change from another thread while frames flow. */
TEST(ComposerRace, PropertiesChangeWhileComposing)
{
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(
      "qtivcomposer name=mixer ! video/x-raw,format=NV12,width=640,height=360 ! fakesink "
      "videotestsrc num-buffers=150 ! video/x-raw,format=NV12,width=640,height=360 ! mixer.sink_0 "
      "videotestsrc num-buffers=150 pattern=ball ! video/x-raw,format=RGB,width=320,height=240 ! mixer.sink_1",
      &err);
  ASSERT_TRUE(pipe && !err);
  GstElement *mixer = gst_bin_get_by_name(GST_BIN(pipe), "mixer");
  GstPad *pad = gst_element_get_static_pad(mixer, "sink_1");
  ASSERT_TRUE(pad);
  std::atomic<bool> done{false};
  std::thread poke([&] {
    auto set_ints = [&](const char *prop, int a, int b) {
      GValue arr = G_VALUE_INIT;
      g_value_init(&arr, GST_TYPE_ARRAY);
      for (int v : {a, b}) {
        GValue e = G_VALUE_INIT;
        g_value_init(&e, G_TYPE_INT);
        g_value_set_int(&e, v);
        gst_value_array_append_and_take_value(&arr, &e);
      }
      g_object_set_property(G_OBJECT(pad), prop, &arr);
      g_value_unset(&arr);
    };
    for (int i = 0; !done; i++) {
      // Positions partly off every edge, sizes down to nothing.
      set_ints("position", (i * 37) % 900 - 200, (i * 53) % 600 - 150);
      set_ints("dimensions", (i * 29) % 700, (i * 31) % 500);
      g_object_set(pad, "flip-horizontal", (gboolean)(i & 1), "flip-vertical", (gboolean)((i >> 1) & 1), NULL);
      std::this_thread::yield();
    }
  });
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(pipe);
  GstMessage *msg =
      gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  done = true;
  poke.join();
  ASSERT_TRUE(msg);
  EXPECT_EQ(GST_MESSAGE_TYPE(msg), GST_MESSAGE_EOS);
  gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(pad);
  gst_object_unref(mixer);
  gst_object_unref(pipe);
}

/* Overlays with alpha do not pick the output format, even outnumbering the
 * picture they go over. */
TEST(ComposerFormats, PictureFormatWinsOverOverlays)
{
  // Pads stack in the order they are requested: the picture first.
  const std::string desc = "qtivcomposer name=mixer ! video/x-raw,width=160,height=120 ! appsink name=out " +
                           appsrc("p", "NV12", 160, 120) + "! mixer.sink_0 " + appsrc("a", "BGRA", 160, 120) +
                           "! mixer.sink_1 " + appsrc("b", "BGRA", 160, 120) + "! mixer.sink_2 ";
  auto overlay = [](int n) {
    return paint(GST_VIDEO_FORMAT_BGRA, 160, 120, [](int, int) { return kWhite; }, n,
                 [](int x, int) { return x < 80 ? 0 : 255; });
  };
  RunResult r = run_fed(desc, {{"a", frames_of(overlay, 2)},
                               {"b", frames_of(overlay, 2)},
                               {"p", frames_of([](int n) { return solid(GST_VIDEO_FORMAT_NV12, 160, 120, kBlue, n); }, 2)}});
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  EXPECT_EQ(caps_of(r.out()[0]).format, "NV12");
  EXPECT_TRUE(pixel_is(r.out()[1], 20, 20, kBlue));
  EXPECT_TRUE(pixel_is(r.out()[1], 120, 20, kWhite));
}

/* Positions near the ends of the int range: the placement is clipped away
 * (it used to overflow x + w and write outside the frame), the other input
 * is composed as usual, and an open output size ignores the far one. */
TEST(ComposerLimits, FarPositionsAreClippedNotWrittenOutside)
{
  for (const char *fmt : {"NV12", "RGB"}) {
    const GstVideoFormat f = gst_video_format_from_string(fmt);
    const std::string desc =
        std::string("qtivcomposer name=mixer ") +
        "sink_0::position=\"<0, 0>\" sink_0::dimensions=\"<64, 48>\" "
        "sink_1::position=\"<2147483000, 0>\" sink_1::dimensions=\"<1280, 720>\" "
        "sink_2::position=\"<-2147483648, -2147483648>\" sink_2::dimensions=\"<2147483647, 2147483647>\" "
        "sink_3::position=\"<32, 2147483600>\" sink_3::dimensions=\"<64, 64>\" "
        "! video/x-raw,format=" + std::string(fmt) + ",width=128,height=96 ! appsink name=out " +
        appsrc("s0", fmt, 64, 48) + "! mixer. " + appsrc("s1", fmt, 64, 48) + "! mixer. " +
        appsrc("s2", fmt, 64, 48) + "! mixer. " + appsrc("s3", fmt, 64, 48) + "! mixer. ";
    std::map<std::string, std::vector<GstBuffer *>> feeds;
    feeds["s0"] = frames_of([&](int n) { return solid(f, 64, 48, kGreen, n); }, 2);
    for (const char *s : {"s1", "s2", "s3"})
      feeds[s] = frames_of([&](int n) { return solid(f, 64, 48, kRed, n); }, 2);
    RunResult r = run_fed(desc, feeds);
    ASSERT_TRUE(r.eos) << fmt << ": " << r.error;
    ASSERT_EQ(r.out().size(), 2u) << fmt;
    for (const SamplePtr &s : r.out()) {
      EXPECT_TRUE(pixel_is(s, 0, 0, kGreen)) << fmt;
      EXPECT_TRUE(pixel_is(s, 63, 47, kGreen)) << fmt;
      EXPECT_TRUE(pixel_is(s, 64, 0, kBlack)) << fmt;
      EXPECT_TRUE(pixel_is(s, 127, 95, kBlack)) << fmt;
      EXPECT_TRUE(pixel_is(s, 10, 60, kBlack)) << fmt;
    }
  }

  /* No size from downstream: the bounding box of what can be shown. */
  const std::string open_desc =
      "qtivcomposer name=mixer sink_0::position=\"<0, 0>\" sink_1::position=\"<2147483000, 2147483000>\" "
      "! video/x-raw,format=NV12 ! appsink name=out " +
      appsrc("s0", "NV12", 64, 48) + "! mixer. " + appsrc("s1", "NV12", 64, 48) + "! mixer. ";
  std::map<std::string, std::vector<GstBuffer *>> feeds;
  feeds["s0"] = frames_of([&](int n) { return solid(GST_VIDEO_FORMAT_NV12, 64, 48, kBlue, n); }, 1);
  feeds["s1"] = frames_of([&](int n) { return solid(GST_VIDEO_FORMAT_NV12, 64, 48, kRed, n); }, 1);
  RunResult r = run_fed(open_desc, feeds);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 1u);
  FrameView v(r.out()[0]);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(GST_VIDEO_FRAME_WIDTH(v.frame()), 64);
  EXPECT_EQ(GST_VIDEO_FRAME_HEIGHT(v.frame()), 48);
  EXPECT_TRUE(pixel_is(r.out()[0], 63, 47, kBlue));
}

/* ---- colours through the whole composition chain ---- */

namespace {

struct ChainCase {
  const char *name;
  const char *colorimetry[4];  // of each camera's encoded stream
};

void PrintTo(const ChainCase &c, std::ostream *os) { *os << c.name; }

class ComposerColours : public ::testing::TestWithParam<ChainCase> {};

}  // namespace

/* Four solid cameras encoded by x264 (colour description from their caps),
 * decoded, composed, encoded and recorded by the soft elements as in the
 * composition's launch text, then decoded by libav: every quadrant within 6
 * of its source colour on every channel. The stock side converts through
 * its 16-bit path (ARGB64), whose own error is under 2 levels. */
TEST_P(ComposerColours, SolidCamerasSurviveDecodeComposeEncodeDecode)
{
  const ChainCase &c = GetParam();
  const int rgb[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {200, 120, 40}};
  std::string desc = "qtivcomposer name=mixer engine=2 "
                     "sink_0::position=\"<0, 0>\" sink_0::dimensions=\"<640, 360>\" "
                     "sink_1::position=\"<640, 0>\" sink_1::dimensions=\"<640, 360>\" "
                     "sink_2::position=\"<0, 360>\" sink_2::dimensions=\"<640, 360>\" "
                     "sink_3::position=\"<640, 360>\" sink_3::dimensions=\"<640, 360>\" "
                     " ! video/x-raw(memory:GBM),format=NV12,width=1280,height=720 "
                     " ! qtivtransform engine=2 ! queue ! qtic2venc target-bitrate=4000000 ! queue ! h264parse "
                     " ! avdec_h264 ! videoconvert ! video/x-raw,format=ARGB64 ! appsink name=out ";
  for (int i = 0; i < 4; i++) {
    char color[16];
    snprintf(color, sizeof color, "0xff%02x%02x%02x", rgb[i][0], rgb[i][1], rgb[i][2]);
    desc += std::string("videotestsrc num-buffers=8 pattern=solid-color foreground-color=") + color +
            " ! video/x-raw,format=RGB,width=320,height=240,framerate=30/1 ! videoconvert ! "
            "video/x-raw,format=I420,colorimetry=" + c.colorimetry[i] +
            " ! x264enc speed-preset=ultrafast tune=zerolatency ! h264parse ! qtic2vdec ! qtivtransform engine=2 ! "
            "queue ! mixer. ";
  }
  RunResult r = run_pipeline(desc);
  ASSERT_TRUE(r.eos) << r.error << " " << r.error_debug;
  ASSERT_GE(r.out().size(), 4u);
  FrameView v(r.out().back());
  ASSERT_TRUE(v.ok());
  const int centres[4][2] = {{320, 180}, {960, 180}, {320, 540}, {960, 540}};
  for (int i = 0; i < 4; i++) {
    const uint16_t *p = reinterpret_cast<const uint16_t *>(v.row(0, centres[i][1])) + 4 * centres[i][0];
    for (int ch = 0; ch < 3; ch++) {
      const int got = (p[1 + ch] + 128) / 257;
      EXPECT_NEAR(got, rgb[i][ch], 6) << c.name << ": camera " << i << " (" << c.colorimetry[i] << ") channel "
                                      << ch;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Colorimetries, ComposerColours,
    ::testing::Values(ChainCase{"bt601", {"bt601", "bt601", "bt601", "bt601"}},
                      ChainCase{"bt709", {"bt709", "bt709", "bt709", "bt709"}},
                      ChainCase{"bt601_full", {"1:4:0:0", "1:4:0:0", "1:4:0:0", "1:4:0:0"}},
                      ChainCase{"bt709_full", {"1:3:0:0", "1:3:0:0", "1:3:0:0", "1:3:0:0"}},
                      ChainCase{"mixed", {"bt601", "bt709", "1:4:0:0", "bt709"}}),
    [](const ::testing::TestParamInfo<ChainCase> &i) { return std::string(i.param.name); });
