// SPDX-License-Identifier: LGPL-2.1-or-later
// qtivoverlay: logo and text pixels land where the image and text structures
// say, in NV12 and RGB, system and memfd (GBM) memory; the launch-text form
// of the structure lists; alpha; bad entries; settings changed while playing.
#include "soft_test_util.h"

#include <glib/gstdio.h>
#include <gst/check/gstharness.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace softtest;

namespace {

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { gst_init(nullptr, nullptr); }
};
::testing::Environment *const gst_env = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

/* A private directory with the test's logo files. */
class Logos {
 public:
  Logos()
  {
    gchar *d = g_dir_make_tmp("nmx-overlay-XXXXXX", nullptr);
    dir_ = d ? d : "";
    g_free(d);
  }
  ~Logos()
  {
    for (const std::string &f : files_)
      g_unlink(f.c_str());
    g_rmdir(dir_.c_str());
  }
  /* A PNG of one colour (0xAARRGGBB) made by GStreamer's own encoder. */
  std::string png(const std::string &name, guint argb, int w, int h)
  {
    std::string path = dir_ + "/" + name;
    char desc[512];
    snprintf(desc, sizeof desc,
             "videotestsrc num-buffers=1 pattern=solid-color foreground-color=%u ! "
             "video/x-raw,format=RGBA,width=%d,height=%d ! pngenc ! filesink location=\"%s\"",
             argb, w, h, path.c_str());
    RunResult r = run_pipeline(desc);
    EXPECT_TRUE(r.eos) << r.error;
    files_.push_back(path);
    return path;
  }
  std::string raw(const std::string &name, const std::vector<uint8_t> &rgba)
  {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write((const char *)rgba.data(), (std::streamsize)rgba.size());
    files_.push_back(path);
    return path;
  }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

struct Px {
  double r, g, b;
};

/* Output pixel as RGB; NV12 converted with the BT.601 reference. */
Px pixel(FrameView &v, int x, int y)
{
  GstVideoFormat fmt = GST_VIDEO_FRAME_FORMAT(v.frame());
  if (fmt == GST_VIDEO_FORMAT_NV12) {
    Rgb c = yuv_to_rgb(v.row(0, y)[x], v.row(1, y / 2)[x & ~1], v.row(1, y / 2)[(x & ~1) + 1], false);
    return {c.r, c.g, c.b};
  }
  const GstVideoFormatInfo *fi = gst_video_format_get_info(fmt);
  const uint8_t *p = v.row(0, y) + GST_VIDEO_FORMAT_INFO_PSTRIDE(fi, 0) * x;
  return {(double)p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 0)], (double)p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 1)],
          (double)p[GST_VIDEO_FORMAT_INFO_POFFSET(fi, 2)]};
}

bool near(const Px &p, double r, double g, double b, double tol)
{
  return std::abs(p.r - r) <= tol && std::abs(p.g - g) <= tol && std::abs(p.b - b) <= tol;
}
bool is_black(const Px &p) { return near(p, 0, 0, 0, 6); }
bool is_red(const Px &p) { return p.r > 170 && p.g < 90 && p.b < 90; }

/* The structure lists in the very form the composition's launch text uses. */
std::string overlay_text(const std::string &logo, int lx, int ly, int lw, int lh, const std::string &text, int tx,
                         int ty, int size, const std::string &color)
{
  return " qtivoverlay name=ov images=\"{(structure)\\\"Image1,path=" + logo + ",resolution=<64,32>,destination=<" +
         std::to_string(lx) + "," + std::to_string(ly) + "," + std::to_string(lw) + "," + std::to_string(lh) +
         ">;\\\"}\" strings=\"{(structure)\\\"text1,contents=\\\\\\\"" + text + "\\\\\\\",fontsize=" +
         std::to_string(size) + ",position=<" + std::to_string(tx) + "," + std::to_string(ty) + ">,color=" + color +
         ";\\\"}\" ";
}

struct Case {
  const char *name;
  const char *format;
  bool gbm;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class OverlayDraw : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(OverlayDraw, LogoAndTextWhereTheStructuresSay)
{
  const Case c = GetParam();
  Logos logos;
  const std::string logo = logos.png("logo.png", 0xff1ec83c, 64, 32);
  const std::string feature = c.gbm ? "(memory:GBM)" : "";
  const std::string desc = std::string("videotestsrc num-buffers=3 pattern=black ! video/x-raw,format=") + c.format +
                           ",width=320,height=240 ! qtivtransform ! video/x-raw" + feature + ",format=" + c.format +
                           " ! " + overlay_text(logo, 40, 20, 64, 32, "HI 7", 100, 120, 30, "0xFF0000FF") +
                           "! appsink name=out";
  RunResult r = run_pipeline(desc);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 3u);
  EXPECT_EQ(caps_of(r.out()[0]).gbm, c.gbm);
  for (const SamplePtr &s : r.out()) {
    FrameView v(s);
    ASSERT_TRUE(v.ok());
    // The logo fills exactly its destination.
    EXPECT_TRUE(near(pixel(v, 40, 20), 30, 200, 60, 4));
    EXPECT_TRUE(near(pixel(v, 103, 51), 30, 200, 60, 4));
    EXPECT_TRUE(near(pixel(v, 70, 35), 30, 200, 60, 4));
    EXPECT_TRUE(is_black(pixel(v, 38, 20)));
    EXPECT_TRUE(is_black(pixel(v, 104, 35)));
    EXPECT_TRUE(is_black(pixel(v, 70, 52)));
    // The text: red strokes below and right of its position, nothing
    // anywhere else.
    int red = 0, min_x = 1 << 30, min_y = 1 << 30, max_y = 0;
    int stray = 0;
    for (int y = 0; y < 240; y++)
      for (int x = 0; x < 320; x++) {
        if (x >= 40 && x < 104 && y >= 20 && y < 52)
          continue;
        Px p = pixel(v, x, y);
        if (is_black(p))
          continue;
        if (x < 100 || y < 120 || x >= 250 || y >= 175) {
          stray++;
          continue;
        }
        if (is_red(p)) {
          red++;
          min_x = std::min(min_x, x);
          min_y = std::min(min_y, y);
          max_y = std::max(max_y, y);
        }
      }
    EXPECT_EQ(stray, 0);
    EXPECT_GT(red, 150);
    EXPECT_LT(min_x, 112);
    EXPECT_LT(min_y, 128);
    // Capitals about the font size tall.
    EXPECT_GE(max_y - min_y + 1, 26);
    EXPECT_LE(max_y - min_y + 1, 40);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, OverlayDraw,
                         ::testing::Values(Case{"NV12", "NV12", false}, Case{"NV12_GBM", "NV12", true},
                                           Case{"RGB", "RGB", false}, Case{"BGRA_GBM", "BGRA", true}),
                         [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

TEST(Overlay, LogoScaledToItsDestinationAndBlendedByAlpha)
{
  Logos logos;
  const std::string solid = logos.png("solid.png", 0xff2850dc, 16, 8);
  const std::string half = logos.png("half.png", 0x80ffffff, 16, 16);
  const std::string desc =
      "videotestsrc num-buffers=1 pattern=black ! video/x-raw,format=RGB,width=320,height=240 ! qtivoverlay "
      "images=\"{(structure)\\\"a,path=" + solid + ",resolution=<16,8>,destination=<0,0,128,64>;\\\", "
      "(structure)\\\"b,path=" + half + ",resolution=<16,16>,destination=<200,100,40,40>;\\\"}\" ! appsink name=out";
  RunResult r = run_pipeline(desc);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 1u);
  FrameView v(r.out()[0]);
  EXPECT_TRUE(near(pixel(v, 0, 0), 40, 80, 220, 2));
  EXPECT_TRUE(near(pixel(v, 127, 63), 40, 80, 220, 2));
  EXPECT_TRUE(is_black(pixel(v, 128, 30)));
  EXPECT_TRUE(is_black(pixel(v, 60, 64)));
  // Half-transparent white over black.
  EXPECT_TRUE(near(pixel(v, 220, 120), 128, 128, 128, 3));
  EXPECT_TRUE(is_black(pixel(v, 240, 120)));
}

TEST(Overlay, RawRgbaImageOfTheStatedResolution)
{
  Logos logos;
  std::vector<uint8_t> rgba;
  for (int i = 0; i < 8 * 4; i++)
    rgba.insert(rgba.end(), {250, 240, 10, 255});
  const std::string path = logos.raw("logo.rgba", rgba);
  const std::string desc = "videotestsrc num-buffers=1 pattern=black ! video/x-raw,format=BGRx,width=64,height=48 ! "
                           "qtivoverlay images=\"{(structure)\\\"raw,path=" + path +
                           ",resolution=<8,4>,destination=<10,10,0,0>;\\\"}\" ! appsink name=out";
  RunResult r = run_pipeline(desc);
  ASSERT_TRUE(r.eos) << r.error;
  FrameView v(r.out()[0]);
  EXPECT_TRUE(near(pixel(v, 10, 10), 250, 240, 10, 0));
  EXPECT_TRUE(near(pixel(v, 17, 13), 250, 240, 10, 0));
  EXPECT_TRUE(is_black(pixel(v, 18, 13)));
  EXPECT_TRUE(is_black(pixel(v, 17, 14)));
}

/* A logo that cannot be read is left out; the text is still drawn and the
 * stream goes on. Off-frame parts are clipped. */
TEST(Overlay, BadEntriesAreLeftOut)
{
  const std::string desc =
      "videotestsrc num-buffers=2 pattern=black ! video/x-raw,format=NV12,width=160,height=120 ! qtivoverlay name=ov "
      "images=\"{(structure)\\\"gone,path=/nonexistent/logo.png,resolution=<64,32>,destination=<0,0,64,32>;\\\"}\" "
      "strings=\"{(structure)\\\"t,contents=\\\\\\\"EDGE\\\\\\\",fontsize=40,position=<120,-10>,"
      "color=0xFF0000FF;\\\"}\" ! appsink name=out";
  RunResult r = run_pipeline(desc);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  FrameView v(r.out()[1]);
  int red = 0;
  for (int y = 0; y < 120; y++)
    for (int x = 0; x < 160; x++) {
      Px p = pixel(v, x, y);
      if (is_red(p))
        red++;
      if (x < 118) {
        EXPECT_TRUE(is_black(p)) << x << "," << y;
      }
    }
  EXPECT_GT(red, 20);
}

TEST(Overlay, EmptyListsDrawNothing)
{
  RunResult r = run_pipeline(
      "videotestsrc num-buffers=2 pattern=solid-color foreground-color=0xff2850dc ! "
      "video/x-raw,format=RGB,width=64,height=48 ! qtivoverlay images=\"{}\" strings=\"\" ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 2u);
  FrameView v(r.out()[0]);
  for (int y = 0; y < 48; y += 7)
    for (int x = 0; x < 64; x += 5)
      EXPECT_TRUE(near(pixel(v, x, y), 40, 80, 220, 0));
}

TEST(Overlay, PropertiesReadBackAsSet)
{
  GstElement *ov = gst_element_factory_make("qtivoverlay", nullptr);
  ASSERT_TRUE(ov);
  const char *text = "{(structure)\"t,contents=\\\"A\\\",fontsize=12,position=<1,2>,color=0x00FF00FF;\"}";
  g_object_set(ov, "strings", text, NULL);
  gchar *got = nullptr;
  g_object_get(ov, "strings", &got, NULL);
  EXPECT_STREQ(got, text);
  g_free(got);
  g_object_get(ov, "images", &got, NULL);
  EXPECT_EQ(got, nullptr);
  gst_object_unref(ov);
}

/* Texts replaced from another thread while frames are drawn. */
TEST(Overlay, StringsChangeWhilePlaying)
{
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(
      "videotestsrc num-buffers=120 pattern=black ! video/x-raw,format=NV12,width=320,height=240 ! "
      "qtivoverlay name=ov ! appsink name=out sync=false",
      &err);
  ASSERT_TRUE(pipe && !err);
  GstElement *ov = gst_bin_get_by_name(GST_BIN(pipe), "ov");
  GstElement *out = gst_bin_get_by_name(GST_BIN(pipe), "out");
  SinkCollector collector;
  GstAppSinkCallbacks cb = {};
  cb.new_sample = on_new_sample;
  gst_app_sink_set_callbacks(GST_APP_SINK(out), &cb, &collector, nullptr);
  std::atomic<bool> done{false};
  std::thread poke([&] {
    for (int i = 0; !done; i++) {
      std::string s = "{(structure)\"t,contents=\\\"N" + std::to_string(i) + "\\\",fontsize=" +
                      std::to_string(10 + i % 40) + ",position=<" + std::to_string(i % 300 - 20) + ",100>,color=0xFF0000FF;\"}";
      g_object_set(ov, "strings", s.c_str(), NULL);
      std::this_thread::yield();
    }
    g_object_set(ov, "strings", "{(structure)\"t,contents=\\\"LAST\\\",fontsize=30,position=<10,10>,color=0xFF0000FF;\"}",
                 NULL);
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
  {
    std::lock_guard<std::mutex> l(collector.lock);
    EXPECT_EQ(collector.samples.size(), 120u);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipe, GST_STATE_NULL);

  // The last text set is the one kept.
  gchar *now = nullptr;
  g_object_get(ov, "strings", &now, NULL);
  EXPECT_NE(std::string(now ? now : "").find("LAST"), std::string::npos);
  g_free(now);
  gst_object_unref(out);
  gst_object_unref(ov);
  gst_object_unref(pipe);
}

/* Harness: a writable frame is drawn in place and handed on as the same
 * buffer; raw RGBA logo clipped at the right edge. */
TEST(OverlayHarness, DrawsInPlaceAndClips)
{
  Logos logos;
  std::vector<uint8_t> rgba;
  for (int i = 0; i < 8 * 8; i++)
    rgba.insert(rgba.end(), {255, 255, 255, 255});
  const std::string path = logos.raw("white.rgba", rgba);
  GstHarness *h = gst_harness_new("qtivoverlay");
  const std::string images = "{(structure)\"w,path=" + path + ",resolution=<8,8>,destination=<28,4,8,8>;\"}";
  g_object_set(h->element, "images", images.c_str(), NULL);
  gst_harness_set_src_caps_str(h, "video/x-raw,format=RGB,width=32,height=16,framerate=30/1");
  GstBuffer *in = make_frame(GST_VIDEO_FORMAT_RGB, 32, 16, 0, [](GstVideoFrame *f) {
    for (int y = 0; y < 16; y++)
      memset(plane_row(f, 0, y), 0, 32 * 3);
  });
  const GstBuffer *in_ptr = in;
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_TRUE(out);
  EXPECT_EQ(out, in_ptr);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(out, &map, GST_MAP_READ));
  auto at = [&](int x, int y) { return map.data[(size_t)y * 32 * 3 + 3 * x]; };
  EXPECT_EQ(at(28, 4), 255);
  EXPECT_EQ(at(31, 11), 255);
  EXPECT_EQ(at(27, 4), 0);
  EXPECT_EQ(at(31, 12), 0);
  EXPECT_EQ(at(0, 0), 0);
  gst_buffer_unmap(out, &map);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

/* Sizes far beyond any frame: set_property must not throw (it used to abort
 * the process), the texts and logos are cut to the frame, and the frame
 * still shows what fits. */
TEST(OverlayLimits, HugeFontAndLogoAreClampedToTheFrame)
{
  Logos logos;
  const std::string logo = logos.png("red.png", 0xffff0000u, 16, 16);
  GstHarness *h = gst_harness_new("qtivoverlay");
  const std::string images = "{(structure)\"big,path=" + logo +
                             ",resolution=<16,16>,destination=<0,0,2000000000,2000000000>;\"}";
  const std::string strings =
      "{(structure)\"huge,contents=\\\"HUGE TEXT\\\",fontsize=200000,position=<0,0>,color=0x00FF00FF;\"}";
  g_object_set(h->element, "strings", strings.c_str(), NULL);
  gchar *back = nullptr;
  g_object_get(h->element, "strings", &back, NULL);
  EXPECT_STREQ(back, strings.c_str());
  g_free(back);
  g_object_set(h->element, "images", images.c_str(), NULL);
  gst_harness_set_src_caps_str(h, "video/x-raw,format=RGB,width=64,height=48,framerate=30/1");
  GstBuffer *in = make_frame(GST_VIDEO_FORMAT_RGB, 64, 48, 0, [](GstVideoFrame *f) {
    for (int y = 0; y < 48; y++)
      memset(plane_row(f, 0, y), 0, 64 * 3);
  });
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_TRUE(out);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(out, &map, GST_MAP_READ));
  /* The logo fills the frame; the text (green, over it) covers part. */
  int red = 0, green = 0;
  for (int i = 0; i < 64 * 48; i++) {
    const uint8_t *p = map.data + 3 * i;
    red += p[0] > 200 && p[1] < 60 && p[2] < 60;
    green += p[1] > 200 && p[0] < 60 && p[2] < 60;
  }
  EXPECT_GT(red, 64 * 48 / 10);
  EXPECT_GT(green, 64 * 48 / 10);
  EXPECT_EQ(red + green > 64 * 48 * 9 / 10, true) << "red " << red << " green " << green;
  gst_buffer_unmap(out, &map);
  gst_buffer_unref(out);

  /* Set again while playing: now rendered for the known frame. */
  const std::string far = "{(structure)\"far,contents=\\\"X\\\",fontsize=2000000,position=<-2147483000,"
                          "2147483000>,color=0xFFFFFFFF;\"}";
  g_object_set(h->element, "strings", far.c_str(), NULL);
  GstBuffer *in2 = make_frame(GST_VIDEO_FORMAT_RGB, 64, 48, 1, [](GstVideoFrame *f) {
    for (int y = 0; y < 48; y++)
      memset(plane_row(f, 0, y), 0, 64 * 3);
  });
  ASSERT_EQ(gst_harness_push(h, in2), GST_FLOW_OK);
  out = gst_harness_pull(h);
  ASSERT_TRUE(out);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

/* Logos are written in the frame's own range: white is Y 255 in full-range
 * NV12 and Y 235 in limited range. */
TEST(OverlayHarness, LogoFollowsTheFrameRange)
{
  Logos logos;
  std::vector<uint8_t> rgba;
  for (int i = 0; i < 8 * 8; i++)
    rgba.insert(rgba.end(), {255, 255, 255, 255});
  const std::string path = logos.raw("white.rgba", rgba);
  for (const auto &cm : std::vector<std::pair<std::string, int>>{{"bt601", 235}, {"1:4:0:0", 255}, {"1:3:0:0", 255}}) {
    GstHarness *h = gst_harness_new("qtivoverlay");
    const std::string images = "{(structure)\"w,path=" + path + ",resolution=<8,8>,destination=<0,0,8,8>;\"}";
    g_object_set(h->element, "images", images.c_str(), NULL);
    gst_harness_set_src_caps_str(
        h, ("video/x-raw,format=NV12,width=32,height=16,framerate=30/1,colorimetry=" + cm.first).c_str());
    GstBuffer *in = make_frame(GST_VIDEO_FORMAT_NV12, 32, 16, 0, [](GstVideoFrame *f) {
      for (int y = 0; y < 16; y++)
        memset(plane_row(f, 0, y), 16, 32);
      for (int y = 0; y < 8; y++)
        memset(plane_row(f, 1, y), 128, 32);
    });
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    ASSERT_TRUE(out);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(out, &map, GST_MAP_READ));
    EXPECT_NEAR(map.data[2 * 32 + 2], cm.second, 1) << cm.first;
    EXPECT_NEAR(map.data[32 * 16 + 2], 128, 1) << cm.first;
    gst_buffer_unmap(out, &map);
    gst_buffer_unref(out);
    gst_harness_teardown(h);
  }
}
