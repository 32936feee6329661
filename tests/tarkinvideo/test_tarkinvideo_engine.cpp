// SPDX-License-Identifier: BSD-3-Clause
// Segmentation engine driven directly: planted tensors through the replay runtime,
// output pixels against the reference, failure paths, settings and concurrency.
#include "nmx-tarkin-video-engine-private.h"
#include "tarkinvideo_test_util.h"

#include <thread>

#include <unistd.h>

namespace {

using segtest::expected_overlay;
using segtest::find_case;
using segtest::model_path;

struct EngineDeleter {
  void operator()(GstNmxTarkinVideoEngine *e) const { gst_nmx_tarkin_video_engine_free(e); }
};
using EnginePtr = std::unique_ptr<GstNmxTarkinVideoEngine, EngineDeleter>;

EnginePtr make_engine(const std::string &rel, const std::string &type = "yolov8-segmentation", double box = -1,
                      double nms = -1, bool print = true, int model_size = 0)
{
  GstStructure *s = segtest::settings_for(model_path(rel), type, box, nms, print, model_size);
  EnginePtr e(gst_nmx_tarkin_video_engine_new(s));
  gst_structure_free(s);
  return e;
}

bool run(GstNmxTarkinVideoEngine *e, const cv::Mat &in, cv::Mat &out, guint frame = 1)
{
  const GstVideoFormat fmt = out.channels() == 4 ? GST_VIDEO_FORMAT_BGRA : GST_VIDEO_FORMAT_BGR;
  return gst_nmx_tarkin_video_engine_process_frame(e, in.data, in.cols, in.rows, (int)in.step, fmt, out.data, out.cols,
                                                   out.rows, (int)out.step, frame);
}

class SegEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

TEST_F(SegEngine, PlantedTensorsMatchReferenceBgr)
{
  const Json::Value c = find_case("seg_planted");
  ASSERT_EQ(c["objects"].size(), 4u) << "A, B, E and G survive; C and H lie outside, D is suppressed, F is at the threshold";
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  cv::Mat out(240, 320, CV_8UC3, cv::Scalar(7, 7, 7));
  ASSERT_TRUE(run(e.get(), in, out));
  const cv::Mat want = expected_overlay(c, false);
  EXPECT_EQ(segtest::count_different(out, want), 0);

  // Class 0 mask on black: 55 % of (64, 128, 192).
  EXPECT_EQ(out.at<cv::Vec3b>(100, 100), cv::Vec3b(35, 70, 106));
  cv::Mat class0;
  cv::inRange(out, cv::Scalar(35, 70, 106), cv::Scalar(35, 70, 106), class0);
  EXPECT_GT(cv::countNonZero(class0), 500);
  // The top-edge box (175, 0) has its tag inside the frame from row 0.
  EXPECT_EQ(out.at<cv::Vec3b>(0, 176), segtest::class_colour(5));
  // Nothing at the dropped boxes' columns beyond A/E/G, and the background is black.
  EXPECT_EQ(out.at<cv::Vec3b>(200, 300), cv::Vec3b(0, 0, 0));
  // The candidate kept only because the box below the frame was dropped is drawn.
  EXPECT_EQ(out.at<cv::Vec3b>(234, 130), cv::Vec3b(78, 14, 108));  // 55 % of class 9's (141, 25, 197)
}

TEST_F(SegEngine, PlantedTensorsMatchReferenceBgra)
{
  const Json::Value c = find_case("seg_planted");
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  cv::Mat out(240, 320, CV_8UC4, cv::Scalar(9, 9, 9, 9));
  ASSERT_TRUE(run(e.get(), in, out));
  EXPECT_EQ(segtest::count_different(out, expected_overlay(c, true)), 0);
  EXPECT_EQ(out.at<cv::Vec4b>(100, 100), cv::Vec4b(64, 128, 192, 160));
  EXPECT_EQ(out.at<cv::Vec4b>(200, 300), cv::Vec4b(0, 0, 0, 0)) << "transparent where nothing is drawn";
  const cv::Vec3b tag = segtest::class_colour(5);
  EXPECT_EQ(out.at<cv::Vec4b>(0, 176), cv::Vec4b(tag[0], tag[1], tag[2], 220));
}

TEST_F(SegEngine, OutputsRoutedBySizeInBytes)
{
  const Json::Value c = find_case("seg_routed_bytes");
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  cv::Mat out(240, 320, CV_8UC3);
  ASSERT_TRUE(run(e.get(), in, out));
  EXPECT_EQ(segtest::count_different(out, expected_overlay(c, false)), 0);
}

TEST_F(SegEngine, ModelExportedAt320)
{
  // 2100 columns and 80 x 80 prototypes: masks, boxes and tags as the reference has them.
  const Json::Value c = find_case("seg_320");
  ASSERT_EQ(c["objects"].size(), 2u);
  EnginePtr e = make_engine(c["model"].asString(), "yolov8-segmentation", -1, -1, true, 320);
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(640, 480);
  for (int ch : {3, 4}) {
    cv::Mat out(480, 640, CV_8UC(ch), cv::Scalar::all(3));
    ASSERT_TRUE(run(e.get(), in, out));
    EXPECT_EQ(segtest::count_different(out, expected_overlay(c, ch == 4)), 0) << ch;
  }
  // At the default size the same tensors do not fit, and the message says so.
  segtest::LogCapture log;
  EnginePtr e640 = make_engine(c["model"].asString());
  ASSERT_TRUE(e640);
  cv::Mat out(480, 640, CV_8UC4);
  EXPECT_FALSE(run(e640.get(), in, out));
  EXPECT_TRUE(log.contains("nmx-tarkin-video: yolov8-segmentation failed to map output tensors (sizes 67200, 8400, "
                           "168000, 204800; model-size 640 needs 268800, 33600, 672000 and 819200 elements)"))
      << log.all();
}

TEST_F(SegEngine, PaddedStridesAreHonoured)
{
  const Json::Value c = find_case("seg_planted");
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  cv::Mat in_big = cv::Mat::zeros(240, 400, CV_8UC3), out_big(240, 360, CV_8UC4, cv::Scalar::all(77));
  segtest::test_frame(320, 240).copyTo(in_big(cv::Rect(0, 0, 320, 240)));
  cv::Mat in = in_big(cv::Rect(0, 0, 320, 240)), out = out_big(cv::Rect(0, 0, 320, 240));
  ASSERT_TRUE(run(e.get(), in, out));
  EXPECT_EQ(segtest::count_different(out, expected_overlay(c, true)), 0);
  // The padding after each row is not the engine's to write.
  EXPECT_EQ(cv::countNonZero(out_big(cv::Rect(320, 0, 40, 240)).reshape(1) != 77), 0);
}

TEST_F(SegEngine, NoDetectionsClearsTheFrameAndSucceeds)
{
  const Json::Value c = find_case("seg_none");
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  for (int ch : {3, 4}) {
    cv::Mat out(240, 320, CV_8UC(ch), cv::Scalar::all(0x5a));
    ASSERT_TRUE(run(e.get(), in, out));
    EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0) << ch << " channels";
  }
}

TEST_F(SegEngine, EmptyFrameMessageEvery250thRenderedFrame)
{
  segtest::LogCapture log;
  EnginePtr e = make_engine("seg_none/model.replay.json");
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(64, 48);
  cv::Mat out(48, 64, CV_8UC4);
  for (guint i = 1; i <= 249; i++)
    ASSERT_TRUE(run(e.get(), in, out, i));
  EXPECT_FALSE(log.contains("no objects kept"));
  ASSERT_TRUE(run(e.get(), in, out, 250));
  EXPECT_TRUE(log.contains("nmx-tarkin-video: yolov8-segmentation no objects kept (frame=250)")) << log.all();
  EXPECT_EQ(e->rendered_frames, 250u);
}

TEST_F(SegEngine, FailuresLeaveTheOutputUntouched)
{
  for (const char *name : {"seg_unknown_size", "seg_three", "seg_fail_invoke"}) {
    const Json::Value c = find_case(name);
    segtest::LogCapture log;
    EnginePtr e = make_engine(c["model"].asString());
    ASSERT_TRUE(e) << name;
    const cv::Mat in = segtest::test_frame(320, 240);
    cv::Mat out(240, 320, CV_8UC3, cv::Scalar::all(0x5a));
    EXPECT_FALSE(run(e.get(), in, out)) << name;
    EXPECT_TRUE(log.contains(c["fail"].asString())) << name << "\n" << log.all();
    EXPECT_EQ(cv::countNonZero(out.reshape(1) != 0x5a), 0) << name;
    // The engine stays usable: the same failure again, no crash.
    EXPECT_FALSE(run(e.get(), in, out)) << name;
  }
}

TEST_F(SegEngine, BadGeometryIsRefused)
{
  segtest::LogCapture log;
  EnginePtr e = make_engine("seg_planted/model.replay.json");
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  std::vector<uint8_t> out(320 * 240 * 4, 0x5a);
  // An output stride shorter than a BGRA row would write past the frame.
  EXPECT_FALSE(gst_nmx_tarkin_video_engine_process_frame(e.get(), in.data, 320, 240, (int)in.step,
                                                         GST_VIDEO_FORMAT_BGRA, out.data(), 320, 240, 320 * 3, 1));
  EXPECT_TRUE(log.contains("cannot hold the overlay"));
  // An input stride shorter than a BGR row.
  EXPECT_FALSE(gst_nmx_tarkin_video_engine_process_frame(e.get(), in.data, 320, 240, 320 * 2, GST_VIDEO_FORMAT_BGRA,
                                                         out.data(), 320, 240, 320 * 4, 1));
  EXPECT_TRUE(log.contains("nmx-tarkin-video: yolov8-segmentation preprocess failed"));
  EXPECT_FALSE(gst_nmx_tarkin_video_engine_process_frame(e.get(), nullptr, 320, 240, 960, GST_VIDEO_FORMAT_BGRA,
                                                         out.data(), 320, 240, 1280, 1));
  EXPECT_FALSE(gst_nmx_tarkin_video_engine_process_frame(nullptr, in.data, 320, 240, 960, GST_VIDEO_FORMAT_BGRA,
                                                         out.data(), 320, 240, 1280, 1));
  // Any other output format fails the frame when there is something to draw.
  std::vector<uint8_t> rgb(320 * 240 * 3, 0x5a);
  EXPECT_FALSE(gst_nmx_tarkin_video_engine_process_frame(e.get(), in.data, 320, 240, (int)in.step,
                                                         GST_VIDEO_FORMAT_RGB, rgb.data(), 320, 240, 960, 1));
  EXPECT_TRUE(log.contains("nmx-tarkin-video: unsupported output format"));
  EXPECT_TRUE(log.contains("nmx-tarkin-video: failed to render overlay frame"));
  EXPECT_EQ(std::count(out.begin(), out.end(), 0x5a), (long)out.size());
}

TEST_F(SegEngine, ModelTypeAndSettings)
{
  {
    segtest::LogCapture log;
    GstStructure *s = segtest::settings_for(model_path("seg_planted/model.replay.json"), "YOLOv8-Segment", 1.7, -1,
                                            false);
    gst_structure_set(s, "nms-thresh", G_TYPE_DOUBLE, -0.2, NULL);
    EnginePtr e(gst_nmx_tarkin_video_engine_new(s));
    gst_structure_free(s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->model_type, "yolov8-segmentation");
    EXPECT_FLOAT_EQ(e->box_thresh, 1.0f);
    EXPECT_FLOAT_EQ(e->nms_thresh, 0.0f);
    EXPECT_FALSE(e->print_valid_boxes);
    EXPECT_TRUE(log.contains("model-type=yolov8-segmentation model=")) << log.all();
    EXPECT_TRUE(log.contains("box=1.000 nms=0.000 print-valid-boxes=false")) << log.all();
    // Box threshold 1.0: no planted score reaches it.
    const cv::Mat in = segtest::test_frame(320, 240);
    cv::Mat out(240, 320, CV_8UC3, cv::Scalar::all(1));
    ASSERT_TRUE(run(e.get(), in, out));
    EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
  }
  {
    segtest::LogCapture log;
    EXPECT_FALSE(make_engine("seg_planted/model.replay.json", "yolov8"));
    EXPECT_TRUE(log.contains("nmx-tarkin-video: unsupported model-type 'yolov8'"));
  }
  {
    segtest::LogCapture log;
    GstStructure *s = gst_structure_new("nmx-tarkin-video-settings", "model", G_TYPE_STRING, "", NULL);
    EXPECT_EQ(gst_nmx_tarkin_video_engine_new(s), nullptr);
    gst_structure_free(s);
    // The configuration line comes first, then the missing model.
    const int info = log.find("nmx-tarkin-video: model-type=yolov8-segmentation model= box=0.500 nms=0.450");
    const int err = log.find("nmx-tarkin-video: missing required property 'model'");
    EXPECT_GE(info, 0) << log.all();
    EXPECT_GT(err, info) << log.all();
  }
  {
    segtest::LogCapture log;
    EXPECT_FALSE(make_engine("does-not-exist.onnx"));
    EXPECT_TRUE(log.contains("nmx-tarkin-video: Model::create_instance failed"));
  }
  EXPECT_EQ(gst_nmx_tarkin_video_engine_new(nullptr), nullptr);
  gst_nmx_tarkin_video_engine_free(nullptr);
}

TEST_F(SegEngine, ValidBoxesLoggedAndTimingPrintedEvery50thFrame)
{
  segtest::LogCapture log;
  EnginePtr e = make_engine("seg_planted/model.replay.json");
  ASSERT_TRUE(e);
  const cv::Mat in = segtest::test_frame(320, 240);
  cv::Mat out(240, 320, CV_8UC3);
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(run(e.get(), in, out, 49));
  const std::string err49 = ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(run(e.get(), in, out, 50));
  const std::string err50 = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err49.find("time ="), std::string::npos);
  for (const char *stage : {"preprocess", "invoke", "postprocess", "total inference"})
    EXPECT_NE(err50.find(std::string("nmx-tarkin-video: yolov8-segmentation ") + stage + " time = "),
              std::string::npos)
        << err50;
  EXPECT_TRUE(log.contains("nmx-tarkin-video: frame=49 cls=person conf=0.9000 box=[60,70,80,60]")) << log.all();
  EXPECT_TRUE(log.contains("nmx-tarkin-video: frame=50 cls=bus conf=0.8500 box=[175,0,50,13]")) << log.all();
}

TEST_F(SegEngine, ConcurrentCallsOnOneEngine)
{
  const Json::Value c = find_case("seg_planted");
  EnginePtr e = make_engine(c["model"].asString());
  ASSERT_TRUE(e);
  const cv::Mat want3 = expected_overlay(c, false), want4 = expected_overlay(c, true);
  const cv::Mat in = segtest::test_frame(320, 240);
  std::atomic<int> bad{0};
  auto worker = [&](int ch) {
    for (int i = 0; i < 15; i++) {
      cv::Mat out(240, 320, CV_8UC(ch), cv::Scalar::all(3));
      if (!run(e.get(), in, out, (guint)i + 1) || segtest::count_different(out, ch == 3 ? want3 : want4) != 0)
        bad++;
    }
  };
  std::thread a(worker, 3), b(worker, 4);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(SegEngine, ProjectionAndColours)
{
  using nmx_tarkin_video::project_box_to_proto;
  EXPECT_EQ(project_box_to_proto(cv::Rect(60, 70, 80, 60), 0.5f), cv::Rect(30, 35, 40, 30));
  // 1920x1080: scale 3, frame pixel / 12 in prototype space, rounded outwards.
  EXPECT_EQ(project_box_to_proto(cv::Rect(13, 25, 10, 10), 3.0f), cv::Rect(1, 2, 1, 1));
  EXPECT_EQ(project_box_to_proto(cv::Rect(1900, 1000, 100, 100), 3.0f), cv::Rect(158, 83, 2, 9));
  EXPECT_TRUE(project_box_to_proto(cv::Rect(2000, 0, 10, 10), 3.0f).empty());
  EXPECT_EQ(nmx_tarkin_video::class_color_bgr(0), cv::Scalar(64, 128, 192));
  EXPECT_EQ(nmx_tarkin_video::class_color_bgr(-3), cv::Scalar(64, 128, 192));
  EXPECT_STREQ(nmx_tarkin_video::kYoloV8SegCoco80[62], "TV");
}

}  // namespace
