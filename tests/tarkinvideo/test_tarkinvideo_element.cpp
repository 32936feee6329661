// SPDX-License-Identifier: BSD-3-Clause
// The nmx-tarkin-video element in a GstHarness: negotiation, the overlay frames it
// pushes, timestamps, failures and the periodic line.
#include "nmx-tarkin-video-engine.h"
#include "tarkinvideo_test_util.h"

#include <gst/check/gstharness.h>

#include <regex>

namespace {

using segtest::model_path;

const char *kGbmCaps = "video/x-raw(memory:GBM),format=BGR,width=320,height=240,framerate=25/1";

class SegElement : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  GstHarness *make(const std::string &model, const char *out_caps, const char *in_caps = kGbmCaps,
                   guint model_size = 640)
  {
    // The model has to be there before the harness plays the element.
    GstElement *e = gst_element_factory_make("nmx-tarkin-video", nullptr);
    g_object_set(e, "model", model_path(model).c_str(), "model-size", model_size, NULL);
    GstHarness *h = gst_harness_new_with_element(e, "sink", "src");
    gst_object_unref(e);
    gst_harness_set_src_caps_str(h, in_caps);
    gst_harness_set_sink_caps_str(h, out_caps);
    return h;
  }

  static GstBuffer *frame_buffer(int w, int h, GstClockTime pts)
  {
    const cv::Mat m = segtest::test_frame(w, h);
    GstBuffer *b = gst_buffer_new_memdup(m.data, m.total() * m.elemSize());
    GST_BUFFER_PTS(b) = pts;
    GST_BUFFER_DTS(b) = pts;
    GST_BUFFER_DURATION(b) = 40 * GST_MSECOND;
    GST_BUFFER_OFFSET(b) = 17;
    return b;
  }

  static cv::Mat pixels(GstBuffer *b, int w, int h, int ch)
  {
    GstMapInfo map;
    EXPECT_TRUE(gst_buffer_map(b, &map, GST_MAP_READ));
    EXPECT_EQ(map.size, (gsize)w * h * ch);
    cv::Mat m = cv::Mat(h, w, CV_8UC(ch), map.data).clone();
    gst_buffer_unmap(b, &map);
    return m;
  }
};

TEST_F(SegElement, OverlayFramesMatchTheReference)
{
  const Json::Value c = segtest::find_case("seg_planted");
  for (int ch : {4, 3}) {
    GstHarness *h = make(c["model"].asString(), ch == 4 ? "video/x-raw,format=BGRA" : "video/x-raw,format=BGR");
    for (int i = 0; i < 3; i++)
      ASSERT_EQ(gst_harness_push(h, frame_buffer(320, 240, i * 40 * GST_MSECOND)), GST_FLOW_OK);
    for (int i = 0; i < 3; i++) {
      GstBuffer *out = gst_harness_pull(h);
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(GST_BUFFER_PTS(out), i * 40 * GST_MSECOND);
      EXPECT_EQ(GST_BUFFER_DURATION(out), 40 * GST_MSECOND);
      EXPECT_EQ(segtest::count_different(pixels(out, 320, 240, ch), segtest::expected_overlay(c, ch == 4)), 0);
      gst_buffer_unref(out);
    }
    // Output caps: the input's size and rate, the requested format.
    GstCaps *caps = gst_pad_get_current_caps(h->sinkpad);
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 320);
    EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 240);
    EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), ch == 4 ? GST_VIDEO_FORMAT_BGRA : GST_VIDEO_FORMAT_BGR);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 25);
    gst_caps_unref(caps);
    gst_harness_teardown(h);
  }
}

TEST_F(SegElement, NoDetectionsGivesTransparentFrames)
{
  GstHarness *h = make("seg_none/model.replay.json", "video/x-raw,format=BGRA");
  ASSERT_EQ(gst_harness_push(h, frame_buffer(320, 240, 0)), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(cv::countNonZero(pixels(out, 320, 240, 4).reshape(1)), 0);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST_F(SegElement, ResolutionMismatchIsRefused)
{
  segtest::LogCapture log;
  GstHarness *h = make("seg_planted/model.replay.json", "video/x-raw,format=BGRA,width=1280,height=720",
                       "video/x-raw(memory:GBM),format=BGR,width=1920,height=1080");
  EXPECT_EQ(gst_harness_push(h, frame_buffer(1920, 1080, 0)), GST_FLOW_NOT_NEGOTIATED);
  EXPECT_TRUE(log.contains("Input/output resolution mismatch: in=1920x1080 out=1280x720. This plugin requires "
                           "matching dimensions."))
      << log.all();
  gst_harness_teardown(h);
}

TEST_F(SegElement, SystemMemoryInputDoesNotMatch)
{
  GstElement *e = gst_element_factory_make("nmx-tarkin-video", nullptr);
  GstPad *sink = gst_element_get_static_pad(e, "sink");
  GstCaps *sys = gst_caps_from_string("video/x-raw,format=BGR,width=320,height=240");
  GstCaps *gbm = gst_caps_from_string(kGbmCaps);
  EXPECT_FALSE(gst_pad_query_accept_caps(sink, sys));
  EXPECT_TRUE(gst_pad_query_accept_caps(sink, gbm));
  gst_caps_unref(sys);
  gst_caps_unref(gbm);
  gst_object_unref(sink);
  gst_object_unref(e);
}

TEST_F(SegElement, MissingModelFailsTheStateChange)
{
  segtest::LogCapture log;
  GstElement *e = gst_element_factory_make("nmx-tarkin-video", nullptr);
  ASSERT_NE(e, nullptr);
  gchar *type = nullptr;
  g_object_get(e, "model-type", &type, NULL);
  EXPECT_STREQ(type, "yolov8-segmentation");
  g_free(type);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_READY), GST_STATE_CHANGE_FAILURE);
  const int missing = log.find("nmx-tarkin-video: missing required property 'model'");
  const int failed = log.find("Failed to create nmx-tarkin-video engine");
  EXPECT_GE(missing, 0) << log.all();
  EXPECT_GT(failed, missing) << log.all();
  // A later model makes the next attempt work; the thresholds reach the engine.
  g_object_set(e, "model", model_path("seg_planted/model.replay.json").c_str(), "box-thresh", 0.3, NULL);
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_TRUE(log.contains("box=0.300 nms=0.450")) << log.all();
  EXPECT_EQ(gst_element_set_state(e, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  gst_object_unref(e);
}

TEST_F(SegElement, ModelSize320)
{
  const Json::Value c = segtest::find_case("seg_320");
  GstHarness *h = make(c["model"].asString(), "video/x-raw,format=BGRA",
                       "video/x-raw(memory:GBM),format=BGR,width=640,height=480,framerate=25/1", 320);
  ASSERT_EQ(gst_harness_push(h, frame_buffer(640, 480, 0)), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(segtest::count_different(pixels(out, 640, 480, 4), segtest::expected_overlay(c, true)), 0);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST_F(SegElement, FailedFramePassesWithAnEmptyOverlay)
{
  segtest::LogCapture log;
  GstHarness *h = make("seg_unknown_size/model.replay.json", "video/x-raw,format=BGR");
  GstBus *bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);
  EXPECT_EQ(gst_harness_push(h, frame_buffer(320, 240, 0)), GST_FLOW_OK);
  EXPECT_TRUE(log.contains("Video engine process failed")) << log.all();
  GstBuffer *out = gst_harness_pull(h);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(cv::countNonZero(pixels(out, 320, 240, 3).reshape(1)), 0);
  gst_buffer_unref(out);
  GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING);
  ASSERT_NE(m, nullptr);
  GError *err = nullptr;
  gst_message_parse_warning(m, &err, nullptr);
  EXPECT_NE(std::string(err->message).find("Frame 1 passed with an empty overlay: nmx-tarkin-video: "
                                           "yolov8-segmentation failed to map output tensors"),
            std::string::npos)
      << err->message;
  g_error_free(err);
  gst_message_unref(m);
  gst_object_unref(bus);
  gst_harness_teardown(h);
}

// Invokes listed in the replay fail: those frames come out empty and the others
// drawn; 25 failures in a row end the stream with an error.
TEST_F(SegElement, FailedFramesGoOnUntil25InARow)
{
  const Json::Value planted = segtest::find_case("seg_planted");
  const cv::Mat drawn = segtest::expected_overlay(planted, true);
  for (const char *replay : {"seg_fail_frames", "seg_fail_run25"}) {
    SCOPED_TRACE(replay);
    const bool run25 = std::string(replay) == "seg_fail_run25";
    GstHarness *h = make(std::string(replay) + "/model.replay.json", "video/x-raw,format=BGRA");
    GstBus *bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    std::vector<int> empty_frames;
    GstFlowReturn last = GST_FLOW_OK;
    int frames = 0;
    for (int i = 0; i < 30 && last == GST_FLOW_OK; i++) {
      last = gst_harness_push(h, frame_buffer(320, 240, i * 40 * GST_MSECOND));
      if (last != GST_FLOW_OK)
        break;
      GstBuffer *out = gst_harness_pull(h);
      ASSERT_NE(out, nullptr);
      frames++;
      const cv::Mat px = pixels(out, 320, 240, 4);
      if (cv::countNonZero(px.reshape(1)) == 0)
        empty_frames.push_back(i + 1);
      else
        EXPECT_EQ(segtest::count_different(px, drawn), 0) << "frame " << i + 1;
      gst_buffer_unref(out);
    }
    int warnings = 0, errors = 0;
    while (GstMessage *m = gst_bus_pop(bus)) {
      warnings += GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING;
      errors += GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR;
      gst_message_unref(m);
    }
    if (run25) {
      EXPECT_EQ(last, GST_FLOW_ERROR);
      EXPECT_EQ(frames, 25);  // frame 1, then 24 empty ones; the 26th ends it
      EXPECT_EQ(warnings, 24);
      EXPECT_EQ(errors, 1);
    } else {
      EXPECT_EQ(last, GST_FLOW_OK);
      EXPECT_EQ(frames, 30);
      EXPECT_EQ(empty_frames, (std::vector<int>{3, 10, 11}));
      EXPECT_EQ(warnings, 3);
      EXPECT_EQ(errors, 0);
    }
    gst_object_unref(bus);
    gst_harness_teardown(h);
  }
}

TEST_F(SegElement, FlushingRefusesFrames)
{
  GstHarness *h = make("seg_none/model.replay.json", "video/x-raw,format=BGRA");
  ASSERT_EQ(gst_harness_push(h, frame_buffer(320, 240, 0)), GST_FLOW_OK);
  gst_buffer_unref(gst_harness_pull(h));
  ASSERT_TRUE(gst_harness_push_event(h, gst_event_new_flush_start()));
  EXPECT_EQ(gst_harness_push(h, frame_buffer(320, 240, 40 * GST_MSECOND)), GST_FLOW_FLUSHING);
  ASSERT_TRUE(gst_harness_push_event(h, gst_event_new_flush_stop(TRUE)));
  gst_harness_push_event(h, gst_event_new_segment([] {
                           static GstSegment s;
                           gst_segment_init(&s, GST_FORMAT_TIME);
                           return &s;
                         }()));
  EXPECT_EQ(gst_harness_push(h, frame_buffer(320, 240, 80 * GST_MSECOND)), GST_FLOW_OK);
  gst_harness_teardown(h);
}

TEST_F(SegElement, PeriodicLineEvery25FramesWithoutLineEnd)
{
  GstHarness *h = make("seg_none/model.replay.json", "video/x-raw,format=BGRA");
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 50; i++)
    ASSERT_EQ(gst_harness_push(h, frame_buffer(320, 240, i * 40 * GST_MSECOND)), GST_FLOW_OK);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("frame=24 "), std::string::npos);
  const size_t a = err.find("[nmx-tarkin-video] frame=25 whole engine process infer_ms=");
  const size_t b = err.find("[nmx-tarkin-video] frame=50 whole engine process infer_ms=");
  ASSERT_NE(a, std::string::npos) << err;
  ASSERT_NE(b, std::string::npos) << err;
  // No line end after the element's line: what follows starts on the same line.
  EXPECT_FALSE(std::regex_search(err, std::regex("whole engine process infer_ms=[0-9.]+\n"))) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex("frame=25 whole engine process infer_ms=[0-9.]+\\S"))) << err;
  gst_harness_teardown(h);
}

}  // namespace
