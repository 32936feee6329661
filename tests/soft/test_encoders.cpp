// SPDX-License-Identifier: LGPL-2.1-or-later
// Encoder stand-ins: outputs are checked with the regular parsers and libav
// decoders, independent of our own decoders.
#include "soft_test_util.h"

#include <glib/gstdio.h>
#include <unistd.h>

#include <set>

using namespace softtest;

namespace {

/* NAL unit types of a byte-stream access unit, in order. */
std::vector<int> nal_types(GstBuffer *buf, bool h265)
{
  std::vector<int> types;
  GstMapInfo m;
  if (!gst_buffer_map(buf, &m, GST_MAP_READ))
    return types;
  for (gsize i = 0; i + 3 < m.size; i++) {
    if (m.data[i] == 0 && m.data[i + 1] == 0 && m.data[i + 2] == 1) {
      uint8_t h = m.data[i + 3];
      types.push_back(h265 ? (h >> 1) & 0x3f : h & 0x1f);
      i += 3;
    }
  }
  gst_buffer_unmap(buf, &m);
  return types;
}

bool contains(const std::vector<int> &v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

std::string raw_src(int n, const char *format = "NV12", int w = 176, int h = 144)
{
  return "videotestsrc num-buffers=" + std::to_string(n) + " ! video/x-raw,format=" + format +
         ",width=" + std::to_string(w) + ",height=" + std::to_string(h) + ",framerate=30/1";
}

struct EncCase {
  const char *encoder;
  const char *codec;
  const char *format;
};

class EncoderTest : public ::testing::TestWithParam<EncCase> {};

TEST_P(EncoderTest, RoundTripKeepsSizeAndFrameCount)
{
  const EncCase &c = GetParam();
  std::string codec = c.codec;
  RunResult r = run_pipeline(raw_src(25, c.format) + " ! " + c.encoder + " ! video/x-" + codec + " ! " + codec +
                             "parse ! avdec_" + codec + " ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error << " " << r.error_debug;
  ASSERT_EQ(r.out().size(), 25u);
  Caps caps = caps_of(r.out().back());
  EXPECT_EQ(caps.width, 176);
  EXPECT_EQ(caps.height, 144);
  /* Content survives: the SMPTE bars' left column is white (Y 235), the
   * bottom-left block is dark. */
  FrameView v(r.out().back());
  ASSERT_TRUE(v.ok());
  EXPECT_NEAR(v.row(0, 10)[5], 235, 12);
  EXPECT_LT(v.row(0, 140)[5], 80);
}

TEST_P(EncoderTest, KeyframesCarryParameterSetsAndFollowTheGop)
{
  const EncCase &c = GetParam();
  const bool h265 = std::string(c.codec) == "h265";
  RunResult r = run_pipeline(raw_src(61, c.format) + " ! " + c.encoder + " ! video/x-" + c.codec + " ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 61u);
  GstCaps *caps = gst_sample_get_caps(r.out()[0].get());
  const GstStructure *s = gst_caps_get_structure(caps, 0);
  EXPECT_STREQ(gst_structure_get_name(s), h265 ? "video/x-h265" : "video/x-h264");
  EXPECT_STREQ(gst_structure_get_string(s, "stream-format"), "byte-stream");
  EXPECT_STREQ(gst_structure_get_string(s, "alignment"), "au");
  EXPECT_TRUE(gst_structure_get_string(s, "profile") != nullptr);
  int keyframes = 0;
  for (size_t i = 0; i < r.out().size(); i++) {
    GstBuffer *b = gst_sample_get_buffer(r.out()[i].get());
    std::vector<int> t = nal_types(b, h265);
    bool key = !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    if (key) {
      keyframes++;
      if (h265) {
        EXPECT_TRUE(contains(t, 32) && contains(t, 33) && contains(t, 34)) << "frame " << i;
        EXPECT_TRUE(contains(t, 19) || contains(t, 20)) << "frame " << i;
      } else {
        EXPECT_TRUE(contains(t, 7) && contains(t, 8) && contains(t, 5)) << "frame " << i;
      }
    } else {
      EXPECT_FALSE(contains(t, h265 ? 19 : 5)) << "IDR not flagged as key, frame " << i;
    }
  }
  /* Default GOP of 30: IDRs at 0, 30 and 60. */
  EXPECT_EQ(keyframes, 3);
}

TEST_P(EncoderTest, BFramesReorderWithConsistentTimestamps)
{
  const EncCase &c = GetParam();
  const int n = 30;
  RunResult r = run_pipeline(raw_src(n, c.format) + " ! " + c.encoder + " b-frames=2 ! video/x-" + c.codec +
                             " ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ((int)r.out().size(), n);
  std::set<GstClockTime> pts;
  GstClockTime last_dts = 0;
  bool reordered = false;
  GstClockTime last_pts = 0;
  for (const auto &s : r.out()) {
    GstBuffer *b = gst_sample_get_buffer(s.get());
    ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(b));
    ASSERT_TRUE(GST_BUFFER_DTS_IS_VALID(b));
    EXPECT_LE(GST_BUFFER_DTS(b), GST_BUFFER_PTS(b));
    EXPECT_GE(GST_BUFFER_DTS(b), last_dts);
    if (GST_BUFFER_PTS(b) < last_pts)
      reordered = true;
    last_pts = GST_BUFFER_PTS(b);
    last_dts = GST_BUFFER_DTS(b);
    pts.insert(GST_BUFFER_PTS(b));
  }
  EXPECT_TRUE(reordered) << "b-frames=2 produced no reordering";
  ASSERT_EQ((int)pts.size(), n);
  /* Same timestamps as the input, only in coding order. */
  GstClockTime base = *pts.begin();
  int i = 0;
  for (GstClockTime t : pts)
    EXPECT_EQ(t - base, gst_util_uint64_scale(i++, GST_SECOND, 30));
}

INSTANTIATE_TEST_SUITE_P(AllEncoders, EncoderTest,
                         ::testing::Values(EncCase{"v4l2h264enc", "h264", "NV12"},
                                           EncCase{"v4l2h264enc", "h264", "I420"},
                                           EncCase{"v4l2h265enc", "h265", "NV12"},
                                           EncCase{"v4l2h265enc", "h265", "I420"},
                                           EncCase{"qtic2venc", "h264", "NV12"},
                                           EncCase{"qtic2venc", "h265", "NV12"}),
                         [](const ::testing::TestParamInfo<EncCase> &i) {
                           return std::string(i.param.encoder) + "_" + i.param.codec + "_" + i.param.format;
                         });

/* Profile as h264parse reads it back from the SPS. */
std::string parsed_profile(const std::string &encoder, const std::string &profile, bool *has_b = nullptr)
{
  RunResult r = run_pipeline(raw_src(20) + " ! " + encoder + " b-frames=2 ! video/x-h264,profile=" + profile +
                             " ! h264parse ! appsink name=out");
  EXPECT_TRUE(r.eos) << r.error;
  if (r.out().empty())
    return "";
  if (has_b) {
    *has_b = false;
    for (const auto &s : r.out()) {
      GstBuffer *b = gst_sample_get_buffer(s.get());
      if (GST_BUFFER_DTS(b) != GST_BUFFER_PTS(b))
        *has_b = true;
    }
  }
  const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(r.out()[0].get()), 0);
  const char *p = gst_structure_get_string(s, "profile");
  return p ? p : "";
}

TEST(EncoderProfiles, DownstreamBaselineGivesBaselineStream)
{
  for (const char *enc : {"v4l2h264enc", "qtic2venc"}) {
    bool has_b = true;
    std::string p = parsed_profile(enc, "baseline", &has_b);
    EXPECT_TRUE(p == "baseline" || p == "constrained-baseline") << enc << ": " << p;
    EXPECT_FALSE(has_b) << enc;
    p = parsed_profile(enc, "constrained-baseline");
    EXPECT_TRUE(p == "baseline" || p == "constrained-baseline") << enc << ": " << p;
  }
}

TEST(EncoderProfiles, MainAndHighAreHonoured)
{
  bool has_b = false;
  EXPECT_EQ(parsed_profile("v4l2h264enc", "main", &has_b), "main");
  EXPECT_TRUE(has_b);
  EXPECT_EQ(parsed_profile("qtic2venc", "high"), "high");
}

TEST(EncoderProfiles, UnsupportedProfileFailsNegotiation)
{
  RunResult r = run_pipeline(raw_src(5) + " ! v4l2h264enc ! video/x-h264,profile=high-4:4:4 ! fakesink");
  EXPECT_FALSE(r.eos);
  EXPECT_FALSE(r.error.empty());
}

TEST(EncoderCodecChoice, QtiC2VEncFollowsDownstreamCaps)
{
  RunResult h265 = run_pipeline(raw_src(5) + " ! qtic2venc ! video/x-h265 ! h265parse ! appsink name=out");
  ASSERT_TRUE(h265.eos) << h265.error;
  ASSERT_EQ(h265.out().size(), 5u);
  const GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(h265.out()[0].get()), 0);
  EXPECT_STREQ(gst_structure_get_name(s), "video/x-h265");
  EXPECT_STREQ(gst_structure_get_string(s, "profile"), "main");

  RunResult any = run_pipeline(raw_src(5) + " ! qtic2venc ! appsink name=out");
  ASSERT_TRUE(any.eos) << any.error;
  s = gst_caps_get_structure(gst_sample_get_caps(any.out()[0].get()), 0);
  EXPECT_STREQ(gst_structure_get_name(s), "video/x-h264");
}

TEST(EncoderSettings, IdrIntervalAndBitrate)
{
  RunResult r = run_pipeline(raw_src(40) + " ! qtic2venc idr-interval=10 ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  int keys = 0;
  for (const auto &s : r.out())
    keys += !GST_BUFFER_FLAG_IS_SET(gst_sample_get_buffer(s.get()), GST_BUFFER_FLAG_DELTA_UNIT);
  EXPECT_EQ(keys, 4);

  auto total = [](const std::string &enc, guint bitrate) {
    RunResult r = run_pipeline("videotestsrc num-buffers=60 pattern=snow ! video/x-raw,format=NV12,width=176,height=144,"
                               "framerate=30/1 ! " + enc + " target-bitrate=" + std::to_string(bitrate) +
                               " ! appsink name=out");
    EXPECT_TRUE(r.eos) << r.error;
    gsize bytes = 0;
    for (const auto &s : r.out())
      bytes += gst_buffer_get_size(gst_sample_get_buffer(s.get()));
    return bytes;
  };
  for (const char *enc : {"v4l2h264enc", "v4l2h265enc"}) {
    gsize low = total(enc, 100000), high = total(enc, 2000000);
    EXPECT_GT(high, low * 3) << enc << " low=" << low << " high=" << high;
  }
}

TEST(EncoderSettings, PropertiesPerFactory)
{
  GstElement *q = gst_element_factory_make("qtic2venc", nullptr);
  ASSERT_TRUE(q);
  guint br = 0, b = 99, idr = 0;
  g_object_get(q, "target-bitrate", &br, "b-frames", &b, "idr-interval", &idr, NULL);
  EXPECT_EQ(br, 4000000u);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(idr, 30u);
  EXPECT_EQ(g_object_class_find_property(G_OBJECT_GET_CLASS(q), "capture-io-mode"), nullptr);
  gst_object_unref(q);

  GstElement *v = gst_element_factory_make("v4l2h265enc", nullptr);
  ASSERT_TRUE(v);
  g_object_set(v, "capture-io-mode", 4, "output-io-mode", 5, "target-bitrate", 1500000u, NULL);
  int cap = 0, out = 0;
  g_object_get(v, "capture-io-mode", &cap, "output-io-mode", &out, "target-bitrate", &br, NULL);
  EXPECT_EQ(cap, 4);
  EXPECT_EQ(out, 5);
  EXPECT_EQ(br, 1500000u);
  gst_object_unref(v);
}

TEST(EncoderInput, GbmCapsAreAccepted)
{
  RunResult r = run_pipeline(raw_src(10) + " ! qtivtransform ! video/x-raw(memory:GBM),format=NV12 ! v4l2h264enc ! "
                             "h264parse ! avdec_h264 ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  EXPECT_EQ(r.out().size(), 10u);
}

TEST(EncoderInput, ResolutionChangeDrainsTheOldEncoder)
{
  /* With B-frames the encoder holds pictures back; new caps mid-stream must
   * not lose them. */
  for (const char *enc : {"v4l2h264enc b-frames=2", "v4l2h265enc b-frames=2"}) {
    const bool h265 = std::string(enc).find("h265") != std::string::npos;
    std::string codec = h265 ? "h265" : "h264";
    GstElement *pipe = gst_parse_launch(("appsrc name=src format=time ! " + std::string(enc) + " ! " + codec +
                                         "parse ! avdec_" + codec + " ! appsink name=out sync=false")
                                            .c_str(),
                                        nullptr);
    ASSERT_TRUE(pipe);
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "out");
    gst_element_set_state(pipe, GST_STATE_PLAYING);
    int idx = 0;
    for (auto size : {std::make_pair(176, 144), std::make_pair(320, 240)}) {
      GstCaps *caps = gst_caps_from_string(("video/x-raw,format=I420,framerate=30/1,width=" + std::to_string(size.first) +
                                            ",height=" + std::to_string(size.second))
                                               .c_str());
      for (int i = 0; i < 10; i++, idx++) {
        GstBuffer *b = make_frame(GST_VIDEO_FORMAT_I420, size.first, size.second, 0,
                                  [&](GstVideoFrame *f) {
                                    for (guint p = 0; p < 3; p++)
                                      for (int y = 0; y < GST_VIDEO_FRAME_COMP_HEIGHT(f, p); y++)
                                        memset(plane_row(f, p, y), p ? 128 : 40 + 4 * idx,
                                               GST_VIDEO_FRAME_COMP_WIDTH(f, p));
                                  },
                                  gst_util_uint64_scale(idx, GST_SECOND, 30));
        GstSample *smp = gst_sample_new(b, caps, nullptr, nullptr);
        gst_app_src_push_sample(GST_APP_SRC(src), smp);
        gst_sample_unref(smp);
        gst_buffer_unref(b);
      }
      gst_caps_unref(caps);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    std::vector<int> widths;
    while (GstSample *smp = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 30 * GST_SECOND)) {
      SamplePtr sp(smp, gst_sample_unref);
      widths.push_back(caps_of(sp).width);
    }
    EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink))) << enc;
    ASSERT_EQ(widths.size(), 20u) << enc;
    EXPECT_EQ(widths.front(), 176) << enc;
    EXPECT_EQ(widths[9], 176) << enc;
    EXPECT_EQ(widths[10], 320) << enc;
    EXPECT_EQ(widths.back(), 320) << enc;
    gst_element_set_state(pipe, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipe);
  }
}

TEST(EncoderInput, OddSizeIsAClearError)
{
  RunResult r = run_pipeline(raw_src(3, "I420", 175, 143) + " ! v4l2h264enc ! fakesink");
  EXPECT_FALSE(r.eos);
  EXPECT_NE(r.error.find("not even"), std::string::npos) << r.error;
}

}  // namespace

/* crop-bottom marks padding rows below the picture as cropped: libav shows
 * the picture's own size with its last row intact, for H.264 (frame
 * cropping) and H.265 (conformance window). Unusable values are not
 * applied. */
TEST(EncoderCrop, PaddingRowsAreCroppedInTheStream)
{
  for (const char *enc : {"v4l2h264enc", "v4l2h265enc", "qtic2venc"}) {
    const std::string codec = std::string(enc) == "v4l2h265enc" ? "h265" : "h264";
    /* 176x128 of picture: white above row 120, grey rows 120..127 (the
     * picture's bottom edge), then 16 black rows of padding (videobox). */
    const std::string desc =
        "videotestsrc num-buffers=3 pattern=white ! video/x-raw,format=I420,width=176,height=120,framerate=30/1 ! "
        "videobox bottom=-8 fill=1 ! videobox bottom=-16 fill=0 ! videoconvert ! video/x-raw,format=NV12 ! " +
        std::string(enc) + " crop-bottom=16 ! video/x-" + codec + " ! " + codec + "parse ! avdec_" + codec +
        " ! appsink name=out";
    RunResult r = run_pipeline(desc);
    ASSERT_TRUE(r.eos) << enc << ": " << r.error << " " << r.error_debug;
    ASSERT_EQ(r.out().size(), 3u) << enc;
    Caps c = caps_of(r.out()[0]);
    EXPECT_EQ(c.width, 176) << enc;
    EXPECT_EQ(c.height, 128) << enc;
    FrameView v(r.out()[2]);
    ASSERT_TRUE(v.ok());
    EXPECT_GT(v.row(0, 100)[88], 200) << enc << ": white picture";
    /* videobox fill=1 is green; whatever it is, it is not the black padding. */
    EXPECT_GT(v.row(0, 127)[88], 60) << enc << ": the picture's last row";
  }

  /* Odd values round down to whole chroma rows; a crop that would leave
   * nothing is not applied. */
  for (const auto &cr : std::vector<std::pair<int, int>>{{17, 128}, {140, 144}}) {
    RunResult r = run_pipeline(raw_src(2, "NV12", 176, 144) + " ! v4l2h264enc crop-bottom=" +
                               std::to_string(cr.first) + " ! h264parse ! avdec_h264 ! appsink name=out");
    ASSERT_TRUE(r.eos) << r.error;
    ASSERT_EQ(r.out().size(), 2u);
    EXPECT_EQ(caps_of(r.out()[0]).height, cr.second) << "crop-bottom=" << cr.first;
  }
}

/* The stream says which matrix and range its pictures were made with (the
 * input caps'), as the stock parsers read it back: a player converts the
 * colours back the way they were made. */
TEST(EncoderColour, ColourDescriptionFollowsTheInputCaps)
{
  struct Want {
    const char *caps;
    GstVideoColorMatrix matrix;
    GstVideoColorRange range;
  };
  const Want wants[] = {{"bt601", GST_VIDEO_COLOR_MATRIX_BT601, GST_VIDEO_COLOR_RANGE_16_235},
                        {"bt709", GST_VIDEO_COLOR_MATRIX_BT709, GST_VIDEO_COLOR_RANGE_16_235},
                        {"1:4:5:4", GST_VIDEO_COLOR_MATRIX_BT601, GST_VIDEO_COLOR_RANGE_0_255},
                        {"1:3:5:1", GST_VIDEO_COLOR_MATRIX_BT709, GST_VIDEO_COLOR_RANGE_0_255}};
  for (const char *enc : {"v4l2h264enc", "v4l2h265enc"}) {
    const std::string codec = std::string(enc) == "v4l2h265enc" ? "h265" : "h264";
    for (const Want &w : wants) {
      /* Through a raw byte-stream file, so that only the stream itself
       * (not the caps) carries the description. */
      gchar *path = g_build_filename(g_get_tmp_dir(), "nmx-enc-colour-XXXXXX", nullptr);
      int fd = g_mkstemp(path);
      ASSERT_GE(fd, 0);
      close(fd);
      RunResult wr = run_pipeline(raw_src(2, "NV12") + ",colorimetry=" + w.caps + " ! " + enc + " ! filesink location=" +
                                  path);
      ASSERT_TRUE(wr.eos) << enc << " " << w.caps << ": " << wr.error;
      RunResult r = run_pipeline(std::string("filesrc location=") + path + " ! " + codec + "parse ! avdec_" + codec +
                                 " ! appsink name=out");
      g_unlink(path);
      g_free(path);
      ASSERT_TRUE(r.eos) << enc << " " << w.caps << ": " << r.error;
      ASSERT_FALSE(r.out().empty());
      Caps c = caps_of(r.out()[0]);
      EXPECT_EQ(c.info.colorimetry.matrix, w.matrix) << enc << " " << w.caps;
      EXPECT_EQ(c.info.colorimetry.range, w.range) << enc << " " << w.caps;
    }
  }
}
