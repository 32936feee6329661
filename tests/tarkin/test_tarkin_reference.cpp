// SPDX-License-Identifier: BSD-3-Clause
// The nmx-tarkin element's detections against an independent OpenCV DNN detector
// (yolo_dnn_reference.h) on the same frames and ONNX models: YOLOv8 and YOLOv5, models
// exported at 640 and at 320, both channel orders. Boxes must agree to 1 pixel and
// confidences to 1e-4, in the same order.
#include <gst/check/gstharness.h>

#include "tarkin_test_util.h"
#include "yolo_dnn_reference.h"

#include <set>

using namespace tarkintest;

namespace {

class TarkinReference : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

const char *const kLabels[80] = {
    "person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck", "boat", "traffic light",
    "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat", "dog", "horse", "sheep", "cow",
    "elephant", "bear", "zebra", "giraffe", "backpack", "umbrella", "handbag", "tie", "suitcase", "frisbee",
    "skis", "snowboard", "sports ball", "kite", "baseball bat", "baseball glove", "skateboard", "surfboard",
    "tennis racket", "bottle", "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple",
    "sandwich", "orange", "broccoli", "carrot", "hot dog", "pizza", "donut", "cake", "chair", "couch",
    "potted plant", "bed", "dining table", "toilet", "tv", "laptop", "mouse", "remote", "keyboard", "cell phone",
    "microwave", "oven", "toaster", "sink", "refrigerator", "book", "clock", "vase", "scissors", "teddy bear",
    "hair drier", "toothbrush"};

struct ModelRun {
  const char *type;
  int size;
  const char *channel_order;  // nullptr: the model type's default
};

// The element's JSON record of one frame.
Json::Value element_json(const ModelRun &r, const std::string &model, const cv::Mat &frame, GstClockTime pts)
{
  GstElement *e = gst_element_factory_make("nmx-tarkin", nullptr);
  g_object_set(e, "model", model.c_str(), "model-type", r.type, "model-size", (guint)r.size, NULL);
  gst_util_set_object_arg(G_OBJECT(e), "output-format", "json");
  if (r.channel_order)
    g_object_set(e, "channel-order", r.channel_order, NULL);
  GstHarness *h = gst_harness_new_with_element(e, "sink", "src");
  gst_object_unref(e);
  gchar *caps = g_strdup_printf("video/x-raw,format=BGR,width=%d,height=%d,framerate=25/1", frame.cols, frame.rows);
  gst_harness_set_src_caps_str(h, caps);
  g_free(caps);
  GstBuffer *in = gst_buffer_new_memdup(frame.data, frame.total() * frame.elemSize());
  GST_BUFFER_PTS(in) = pts;
  Json::Value v;
  if (gst_harness_push(h, in) == GST_FLOW_OK) {
    GstBuffer *out = gst_harness_pull(h);
    GstMapInfo map;
    if (out && gst_buffer_map(out, &map, GST_MAP_READ)) {
      v = parse_json_line(std::string((const char *)map.data, map.size));
      gst_buffer_unmap(out, &map);
    }
    if (out)
      gst_buffer_unref(out);
  } else {
    ADD_FAILURE() << "push failed";
  }
  gst_harness_teardown(h);
  return v;
}

void compare(const Json::Value &got, const std::vector<yoloref::Det> &want, const cv::Mat &frame)
{
  ASSERT_TRUE(got.isObject());
  EXPECT_EQ(got["width"].asInt(), frame.cols);
  EXPECT_EQ(got["height"].asInt(), frame.rows);
  const Json::Value &d = got["detections"];
  ASSERT_EQ(d.size(), want.size());
  for (Json::ArrayIndex i = 0; i < d.size(); i++) {
    SCOPED_TRACE("detection " + std::to_string(i));
    const yoloref::Det w = yoloref::clip(want[i], frame.cols, frame.rows);
    EXPECT_EQ(d[i]["class_id"].asInt(), w.cls);
    EXPECT_EQ(d[i]["label"].asString(), kLabels[w.cls]);
    EXPECT_NEAR(d[i]["confidence"].asDouble(), w.score, 1e-4);
    const Json::Value &b = d[i]["box"], &n = d[i]["box_normalized"];
    EXPECT_NEAR(b["x"].asDouble(), w.x, 1.0);
    EXPECT_NEAR(b["y"].asDouble(), w.y, 1.0);
    EXPECT_NEAR(b["width"].asDouble(), w.w, 1.0);
    EXPECT_NEAR(b["height"].asDouble(), w.h, 1.0);
    EXPECT_NEAR(n["x"].asDouble(), b["x"].asDouble() / frame.cols, 1e-6);
    EXPECT_NEAR(n["y"].asDouble(), b["y"].asDouble() / frame.rows, 1e-6);
    EXPECT_NEAR(n["width"].asDouble(), b["width"].asDouble() / frame.cols, 1e-6);
    EXPECT_NEAR(n["height"].asDouble(), b["height"].asDouble() / frame.rows, 1e-6);
  }
}

void check_run(const ModelRun &r)
{
  const bool v8 = std::string(r.type) == "yolov8-detection";
  const std::string model = model_path(std::string(v8 ? "colour_v8_" : "colour_v5_") + std::to_string(r.size) +
                                       ".onnx");
  cv::dnn::Net net = cv::dnn::readNetFromONNX(model);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  const bool rgb = r.channel_order ? std::string(r.channel_order) == "rgb" : v8;
  for (int variant = 0; variant < 2; variant++) {
    SCOPED_TRACE("frame variant " + std::to_string(variant));
    const cv::Mat frame = yoloref::planted_frame(variant);
    double margin = 1;
    const std::vector<yoloref::Det> want = v8 ? yoloref::yolov8(net, frame, r.size, 0.5f, 0.45f, rgb)
                                              : yoloref::yolov5(net, frame, r.size, 0.5f, 0.45f, rgb, &margin);
    // The comparison means something only with several objects of several classes,
    // and (YOLOv5) no overlap so close to the threshold that rounding could flip it.
    std::set<int> classes;
    for (const auto &d : want)
      classes.insert(d.cls);
    ASSERT_GE(want.size(), 3u);
    ASSERT_GE(classes.size(), 2u);
    ASSERT_GT(margin, 0.02);
    const Json::Value got = element_json(r, model, frame, 40 * GST_MSECOND * (variant + 1));
    EXPECT_EQ(got["frame"].asUInt64(), 1u);
    EXPECT_EQ(got["pts"].asUInt64(), 40 * GST_MSECOND * (variant + 1));
    compare(got, want, frame);
  }
}

}  // namespace

TEST_F(TarkinReference, Yolov8At640And320)
{
  for (int size : {640, 320}) {
    SCOPED_TRACE(size);
    check_run(ModelRun{"yolov8-detection", size, nullptr});
  }
}

TEST_F(TarkinReference, Yolov5At640And320)
{
  for (int size : {640, 320}) {
    SCOPED_TRACE(size);
    check_run(ModelRun{"yolov5", size, nullptr});
  }
}

TEST_F(TarkinReference, ChannelOrderIsWhatTheModelIsFed)
{
  // The colour models tell the channels apart, so a swapped order changes which
  // class each square is: the reference swaps exactly when the element is told to.
  check_run(ModelRun{"yolov5", 320, "rgb"});
  check_run(ModelRun{"yolov8-detection", 640, "bgr"});
}
