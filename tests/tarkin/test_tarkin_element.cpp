// SPDX-License-Identifier: BSD-3-Clause
// The nmx-tarkin element through GstHarness: text per frame, timestamps, flushing,
// state handling and the settings it hands to the engine.
#include <gst/check/gstharness.h>
#include <gst/video/video.h>

#include "tarkin_test_util.h"

using namespace tarkintest;

namespace {

class TarkinElement : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

const char *kCaps = "video/x-raw,format=BGR,width=320,height=240,framerate=25/1";

// The harness starts the element at once, so properties go in before it.
GstHarness *make_harness(const std::string &model, const std::string &type, double box = -1, double nms = -1,
                         gboolean print = TRUE, const char *output_format = nullptr)
{
  GstElement *e = gst_element_factory_make("nmx-tarkin", nullptr);
  g_object_set(e, "model", model.c_str(), "model-type", type.c_str(), "print-valid-boxes", print, NULL);
  if (output_format)
    gst_util_set_object_arg(G_OBJECT(e), "output-format", output_format);
  if (box >= 0)
    g_object_set(e, "box-thresh", box, NULL);
  if (nms >= 0)
    g_object_set(e, "nms-thresh", nms, NULL);
  GstHarness *h = gst_harness_new_with_element(e, "sink", "src");
  gst_object_unref(e);
  return h;
}

GstBuffer *bgr_buffer(guint64 n)
{
  GstBuffer *b = gst_buffer_new_allocate(nullptr, 320 * 240 * 3, nullptr);
  gst_buffer_memset(b, 0, (guint8)(n * 40), 320 * 240 * 3);
  GST_BUFFER_PTS(b) = n * 40 * GST_MSECOND;
  GST_BUFFER_DTS(b) = n * 40 * GST_MSECOND + 1;
  GST_BUFFER_DURATION(b) = 40 * GST_MSECOND;
  GST_BUFFER_OFFSET(b) = n;
  GST_BUFFER_OFFSET_END(b) = n + 1;
  return b;
}

std::string buffer_text(GstBuffer *b)
{
  GstMapInfo map;
  if (!gst_buffer_map(b, &map, GST_MAP_READ))
    return "";
  std::string s((const char *)map.data, map.size);
  gst_buffer_unmap(b, &map);
  return s;
}

}  // namespace

TEST_F(TarkinElement, OneTextBufferPerFrameWithTimestamps)
{
  GstHarness *h = make_harness(model_path("v8_overlap/model.replay.json"), "yolov8-detection");
  gst_harness_set_src_caps_str(h, kCaps);
  for (guint64 n = 0; n < 5; n++) {
    ASSERT_EQ(gst_harness_push(h, bgr_buffer(n)), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(GST_BUFFER_PTS(out), n * 40 * GST_MSECOND);
    EXPECT_EQ(GST_BUFFER_DTS(out), n * 40 * GST_MSECOND + 1);
    EXPECT_EQ(GST_BUFFER_DURATION(out), 40 * GST_MSECOND);
    EXPECT_EQ(GST_BUFFER_OFFSET(out), n);
    EXPECT_EQ(GST_BUFFER_OFFSET_END(out), n + 1);
    std::string text = buffer_text(out);
    EXPECT_EQ(text.size(), gst_buffer_get_size(out));
    EXPECT_EQ(text.find('\0'), std::string::npos);
    ParsedText p = parse_text(text);
    ASSERT_TRUE(p.ok) << text;
    EXPECT_EQ(p.timestamp, n + 1);  // the element's frame counter
    ASSERT_EQ(p.boxes.size(), 2u) << text;
    EXPECT_EQ(p.boxes[0].label, "motorcycle");
    EXPECT_EQ(p.boxes[0].id, 256u);
    EXPECT_EQ(p.boxes[1].id, 257u);
    gst_buffer_unref(out);
  }
  EXPECT_EQ(gst_harness_buffers_in_queue(h), 0u);
  GstCaps *caps = gst_pad_get_current_caps(h->sinkpad);
  ASSERT_NE(caps, nullptr);
  GstCaps *want = gst_caps_from_string("text/x-raw, format=(string)utf8");
  EXPECT_TRUE(gst_caps_is_equal(caps, want));
  gst_caps_unref(want);
  gst_caps_unref(caps);
  gst_harness_teardown(h);
}

TEST_F(TarkinElement, FlushingBetweenFlushStartAndStop)
{
  GstHarness *h = make_harness(model_path("v5_one_class/model.replay.json"), "yolov5");
  gst_harness_set_src_caps_str(h, kCaps);
  ASSERT_EQ(gst_harness_push(h, bgr_buffer(0)), GST_FLOW_OK);
  gst_buffer_unref(gst_harness_pull(h));
  ASSERT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
  EXPECT_EQ(gst_harness_push(h, bgr_buffer(1)), GST_FLOW_FLUSHING);
  EXPECT_EQ(gst_harness_buffers_in_queue(h), 0u);
  ASSERT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
  gst_harness_set_src_caps_str(h, kCaps);
  EXPECT_EQ(gst_harness_push(h, bgr_buffer(2)), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_NE(out, nullptr);
  ParsedText p = parse_text(buffer_text(out));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.timestamp, 2u);  // the flushed buffer never reached the engine
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST_F(TarkinElement, MissingModelFailsReady)
{
  LogCapture log;
  GstElement *e = gst_element_factory_make("nmx-tarkin", nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  EXPECT_TRUE(log.contains("nmx-tarkin: missing required property 'model'")) << log.all();
  EXPECT_TRUE(log.contains("Failed to create nmx-tarkin engine"));
  // With a model the same element comes up, and goes back down and up again.
  g_object_set(e, "model", model_path("v5_one_class/model.replay.json").c_str(), NULL);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  g_object_set(e, "model-type", "yolov9", NULL);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  EXPECT_TRUE(log.contains("nmx-tarkin: unsupported model-type 'yolov9'"));
  gst_element_set_state(e, GST_STATE_NULL);
  gst_object_unref(e);
}

TEST_F(TarkinElement, SettingsReachTheEngine)
{
  {
    LogCapture log;
    GstHarness *h = make_harness(model_path("v8_overlap/model.replay.json"), "yolov8");
    EXPECT_TRUE(log.contains("nmx-tarkin: model-type 'yolov8' is deprecated, use 'yolov8-detection'"));
    EXPECT_TRUE(log.contains("model-type=yolov8-detection thresholds box=0.500 nms=0.450 print-valid-boxes=true"))
        << log.all();
    gst_harness_teardown(h);
  }
  {
    LogCapture log;
    GstHarness *h = make_harness(model_path("v8_overlap/model.replay.json"), "YOLOv8-Detection", 0.3, 0.95, FALSE);
    EXPECT_TRUE(log.contains("model-type=yolov8-detection thresholds box=0.300 nms=0.950 print-valid-boxes=false"))
        << log.all();
    // At nms 0.95 the overlapping pair survives; of the two classes in one column
    // (identical boxes) only the better one does.
    gst_harness_set_src_caps_str(h, kCaps);
    ASSERT_EQ(gst_harness_push(h, bgr_buffer(0)), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    ParsedText p = parse_text(buffer_text(out));
    gst_buffer_unref(out);
    EXPECT_EQ(p.boxes.size(), 3u);
    gst_harness_teardown(h);
  }
  {
    // Values outside the range are refused by the property and clamped by GObject.
    GstElement *e = gst_element_factory_make("nmx-tarkin", nullptr);
    gdouble v = 0;
    g_object_get(e, "box-thresh", &v, NULL);
    EXPECT_DOUBLE_EQ(v, 0.5);
    g_object_set(e, "roi-width", 1280u, "roi-height", 720u, NULL);
    guint rw = 0;
    gchar *type = nullptr;
    g_object_get(e, "roi-width", &rw, "model-type", &type, NULL);
    EXPECT_EQ(rw, 1280u);
    EXPECT_STREQ(type, "yolov5");
    g_free(type);
    gst_object_unref(e);
  }
}

TEST_F(TarkinElement, ShortRuntimeOutputDropsTheFrameWithAWarning)
{
  LogCapture log;
  GstHarness *h = make_harness(model_path("v8_short/model.replay.json"), "yolov8-detection");
  BusMessages bus(h->element);
  gst_harness_set_src_caps_str(h, kCaps);
  EXPECT_EQ(gst_harness_push(h, bgr_buffer(0)), GST_FLOW_OK);
  EXPECT_TRUE(log.contains("smaller than its declared shape")) << log.all();
  EXPECT_TRUE(log.contains("Engine execute failed"));
  EXPECT_EQ(gst_harness_buffers_in_queue(h), 0u);
  const auto warnings = bus.take(GST_MESSAGE_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  // The warning says which frame and why, in the engine's words.
  EXPECT_NE(warnings[0].find("Frame 1 dropped: nmx-tarkin: yolov8-detection class output 1 reports size 8000"),
            std::string::npos)
      << warnings[0];
  EXPECT_TRUE(bus.take(GST_MESSAGE_ERROR).empty());
  gst_harness_teardown(h);
}

// The boundary of the failure count (the replay fails invokes 2..25 or 2..26): 24
// failed frames in a row are dropped with a warning each and the stream goes on; the
// 25th ends it with an error. (3 failures in 30 frames: failure_test.sh.)
TEST_F(TarkinElement, TwentyFiveFailedFramesInARowEndTheStream)
{
  for (int run : {24, 25}) {
    SCOPED_TRACE(run);
    GstHarness *h = make_harness(model_path("v8_fail_run" + std::to_string(run) + "/model.replay.json"),
                                 "yolov8-detection", -1, -1, TRUE, "json");
    BusMessages bus(h->element);
    gst_harness_set_src_caps_str(h, kCaps);
    std::vector<guint64> texts;
    GstFlowReturn last = GST_FLOW_OK;
    for (int n = 0; n < 30 && last == GST_FLOW_OK; n++) {
      last = gst_harness_push(h, bgr_buffer((guint64)n));
      while (GstBuffer *out = gst_harness_try_pull(h)) {
        Json::Value v = parse_json_line(buffer_text(out));
        texts.push_back(v["frame"].asUInt64());
        EXPECT_EQ(GST_BUFFER_PTS(out), (v["frame"].asUInt64() - 1) * 40 * GST_MSECOND);
        gst_buffer_unref(out);
      }
    }
    const auto warnings = bus.take(GST_MESSAGE_WARNING);
    const auto errors = bus.take(GST_MESSAGE_ERROR);
    EXPECT_EQ(warnings.size(), 24u);
    for (size_t k = 0; k < warnings.size(); k++)
      EXPECT_EQ(warnings[k].rfind("Frame " + std::to_string(k + 2) + " dropped: ", 0), 0u) << warnings[k];
    if (run == 25) {
      EXPECT_EQ(last, GST_FLOW_ERROR);
      EXPECT_EQ(texts, std::vector<guint64>{1});
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_NE(errors[0].find("25 frames in a row failed, the last one (frame 26): nmx-tarkin: yolov8-detection "
                               "invoke failed rc="),
                std::string::npos)
          << errors[0];
    } else {
      EXPECT_EQ(last, GST_FLOW_OK);
      std::vector<guint64> expected = {1};
      for (guint64 f = 26; f <= 30; f++)
        expected.push_back(f);
      EXPECT_EQ(texts, expected);
      EXPECT_TRUE(errors.empty());
    }
    gst_harness_teardown(h);
  }
}

TEST_F(TarkinElement, PaddedStrideFramesFromVideoMeta)
{
  // 318 pixels wide: GStreamer pads BGR rows to 956 bytes.
  GstHarness *h = make_harness(model_path("v5_edges/model.replay.json"), "yolov5");
  gst_harness_set_src_caps_str(h, "video/x-raw,format=BGR,width=318,height=179,framerate=25/1");
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGR, 318, 179);
  ASSERT_EQ(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), 956);
  GstBuffer *in = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  gst_buffer_memset(in, 0, 90, GST_VIDEO_INFO_SIZE(&info));
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ParsedText p = parse_text(buffer_text(out));
  gst_buffer_unref(out);
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.boxes.size(), 5u);
  for (const auto &b : p.boxes) {
    EXPECT_GE(b.rect[0], 0.0f);
    EXPECT_GE(b.rect[1], 0.0f);
    EXPECT_LE(b.rect[0] + b.rect[2], 1.0f + 1e-6f);
    EXPECT_LE(b.rect[1] + b.rect[3], 1.0f + 1e-6f);
  }
  gst_harness_teardown(h);
}

TEST_F(TarkinElement, PeriodicTimingLineEvery250Frames)
{
  GstHarness *h = make_harness(model_path("v5_one_class/model.replay.json"), "yolov5");
  g_object_set(h->element, "roi-width", 1280u, "roi-height", 720u, NULL);
  gst_harness_set_src_caps_str(h, kCaps);
  std::string first = capture_stderr([&] {
    ASSERT_EQ(gst_harness_push(h, bgr_buffer(0)), GST_FLOW_OK);
  });
  EXPECT_EQ(first.find("[nmx-tarkin]"), std::string::npos) << first;
  std::string rest = capture_stderr([&] {
    for (guint64 n = 1; n < 250; n++) {
      GstBuffer *b = bgr_buffer(n);
      if (n == 100)  // no PTS: the interval is unknown but the reference is kept
        GST_BUFFER_PTS(b) = GST_CLOCK_TIME_NONE;
      ASSERT_EQ(gst_harness_push(h, b), GST_FLOW_OK);
    }
  });
  const std::string prefix = "[nmx-tarkin] frame=250 text_bytes=";
  const size_t at = rest.find(prefix);
  ASSERT_NE(at, std::string::npos) << rest.substr(0, 500);
  EXPECT_EQ(rest.find("[nmx-tarkin] frame=", at + 1), std::string::npos);
  const std::string line = rest.substr(at, rest.find('\n', at) - at);
  EXPECT_NE(line.find(" roi=1280x720 infer_ms="), std::string::npos) << line;
  EXPECT_NE(line.find(" interval_ms="), std::string::npos) << line;
  EXPECT_NE(line.find(" pts_interval_ms=40.000"), std::string::npos) << line;
  EXPECT_EQ(gst_harness_buffers_in_queue(h), 250u);
  // A PTS going backwards gives -1 and becomes the new reference.
  rest = capture_stderr([&] {
    for (guint64 n = 250; n < 500; n++) {
      GstBuffer *b = bgr_buffer(n);
      if (n == 499)
        GST_BUFFER_PTS(b) = 0;
      ASSERT_EQ(gst_harness_push(h, b), GST_FLOW_OK);
    }
  });
  EXPECT_NE(rest.find("[nmx-tarkin] frame=500 "), std::string::npos) << rest.substr(0, 500);
  EXPECT_NE(rest.find(" pts_interval_ms=-1.000\n"), std::string::npos) << rest.substr(0, 500);
  gst_harness_teardown(h);
}

// The soft stand-in of the board's detection element reports a box's class
// probability as its confidence: a person at 0.8 is drawn at a 75 % threshold (it
// would be 64 % if the best class were counted twice) and not at 81 %.
TEST_F(TarkinElement, SoftDetectionElementConfidenceIsTheClassProbability)
{
  auto overlay = [](double threshold) {
    const std::string desc =
        "videotestsrc num-buffers=2 ! video/x-raw,format=NV12,width=640,height=360,framerate=25/1 ! "
        "qtimlvconverter ! qtimlqnn model=" + model_path("soft_person_08/model.replay.json") +
        " ! qtimlvdetection module=yolov8 threshold=" + std::to_string(threshold) +
        " ! video/x-raw,format=BGRA ! appsink name=out sync=false";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(desc.c_str(), &err);
    std::vector<guint8> last;
    if (!p) {
      ADD_FAILURE() << (err ? err->message : "no pipeline");
      g_clear_error(&err);
      return last;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "out");
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstSample *s = nullptr;
    g_signal_emit_by_name(sink, "pull-sample", &s);
    while (s) {
      GstMapInfo m;
      gst_buffer_map(gst_sample_get_buffer(s), &m, GST_MAP_READ);
      last.assign(m.data, m.data + m.size);
      gst_buffer_unmap(gst_sample_get_buffer(s), &m);
      gst_sample_unref(s);
      s = nullptr;
      g_signal_emit_by_name(sink, "pull-sample", &s);
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(p);
    return last;
  };
  // The box (320, 180, 160, 60) in 640 space is (240, 150, 160, 60) on 640x360.
  std::vector<guint8> f = overlay(75);
  ASSERT_EQ(f.size(), 640u * 360 * 4);
  const guint8 *edge = &f[((size_t)180 * 640 + 240) * 4];
  EXPECT_TRUE(edge[0] == 0 && edge[1] == 255 && edge[2] == 0 && edge[3] == 255)
      << (int)edge[0] << " " << (int)edge[1] << " " << (int)edge[2] << " " << (int)edge[3];
  f = overlay(81);
  ASSERT_EQ(f.size(), 640u * 360 * 4);
  size_t opaque = 0;
  for (size_t i = 3; i < f.size(); i += 4)
    opaque += f[i] != 0;
  EXPECT_EQ(opaque, 0u);
}

// A YOLOv5 model exported with its sigmoids: one bus warning for the stream, the
// frames themselves go through.
TEST_F(TarkinElement, SigmoidedOutputsWarnOnceOnTheBus)
{
  GstHarness *h = make_harness(model_path("v5_sigmoided/model.replay.json"), "yolov5");
  BusMessages bus(h->element);
  gst_harness_set_src_caps_str(h, kCaps);
  for (guint64 n = 0; n < 3; n++) {
    ASSERT_EQ(gst_harness_push(h, bgr_buffer(n)), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(h));
  }
  const auto warnings = bus.take(GST_MESSAGE_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("looks exported with its sigmoids applied"), std::string::npos) << warnings[0];
  gst_harness_teardown(h);
}
