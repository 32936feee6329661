// SPDX-License-Identifier: BSD-3-Clause
// libnmx_customize against the detection engine on the engine's own planted replay
// tensors and ONNX models: the same letterboxed input, and the same detections in
// frame pixels before the engine clips and normalises them for its text.
#include "nmx-tarkin-engine-private.h"
#include "nmx-tarkin-labels.h"
#include "nmx_customize.h"
#include "tarkin_test_util.h"
#include "yolo_dnn_reference.h"

#include <cstring>

using namespace tarkintest;

// The engine's detections are captured where they enter its serializer (linked with
// --wrap for this symbol): that list is exactly what it clips and normalises.
#define REAL_SERIALIZE __real__Z26nmx_tarkin_serialize_boxesRKSt6vectorI12DetectionBoxSaIS0_EEPKPKciij
#define WRAP_SERIALIZE __wrap__Z26nmx_tarkin_serialize_boxesRKSt6vectorI12DetectionBoxSaIS0_EEPKPKciij

namespace {
std::vector<DetectionBox> g_engine_boxes;
int g_serialize_calls = 0;
}  // namespace

extern "C" char *REAL_SERIALIZE(const std::vector<DetectionBox> &boxes, const char *const *labels, int width,
                                int height, guint frame_index);
extern "C" char *WRAP_SERIALIZE(const std::vector<DetectionBox> &boxes, const char *const *labels, int width,
                                int height, guint frame_index)
{
  g_engine_boxes = boxes;
  g_serialize_calls++;
  return REAL_SERIALIZE(boxes, labels, width, height, frame_index);
}

namespace {

constexpr size_t kTextLimit = 512;  // detections the engine's text carries

class CustomizeEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

// A frame with content everywhere, so the letterbox comparison means something.
std::vector<uint8_t> gradient(int w, int h, int stride)
{
  std::vector<uint8_t> f((size_t)stride * h, 0);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t *p = &f[(size_t)y * stride + (size_t)x * 3];
      p[0] = (uint8_t)(x * 7 + y);
      p[1] = (uint8_t)(y * 5);
      p[2] = (uint8_t)((x ^ y) * 3);
    }
  return f;
}

struct Outcome {
  std::vector<DetectionBox> engine;
  std::string engine_text;
  std::vector<NmxCustomizeDetection> library;
};

// Runs one frame through the engine, then the library on the same frame and on the
// very output tensors the engine's runtime handed it.
void run_both(const std::string &model, const std::string &type, int w, int h, float bt, float nt, Outcome *o,
              int size = 640)
{
  const bool v8 = type != "yolov5";
  GstStructure *s = settings_for(model, type, bt, nt, size);
  GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
  gst_structure_free(s);
  ASSERT_NE(e, nullptr) << model;
  const int stride = w * 3 + 4;
  const std::vector<uint8_t> frame = gradient(w, h, stride);

  g_serialize_calls = 0;
  char *text = nullptr;
  gsize len = 0;
  ASSERT_TRUE(gst_nmx_tarkin_engine_execute_video(e, frame.data(), w, h, stride, 9, &text, &len));
  ASSERT_EQ(g_serialize_calls, 1);
  o->engine = g_engine_boxes;
  o->engine_text = text;
  g_free(text);

  // Preprocess: bit for bit the engine's input tensor.
  const NmxCustomizeImageFrame f = {frame.data(), w, h, stride};
  std::vector<float> input((size_t)size * size * 3, -1.0f);
  NmxCustomizeLetterboxInfo info;
  const int ok = v8 ? nmx_customize_preprocess_yolov8_detection(&f, input.data(), input.size(), size, size, &info)
                    : nmx_customize_preprocess_yolov5(&f, input.data(), input.size(), size, size, &info);
  ASSERT_EQ(ok, 1);
  ASSERT_EQ(e->input_tensor.size(), input.size());
  EXPECT_EQ(std::memcmp(e->input_tensor.data(), input.data(), input.size() * sizeof(float)), 0);

  // Postprocess on every output the runtime has, with the sizes it reports.
  std::vector<NmxCustomizeTensorView> views;
  for (unsigned int i = 0;; i++) {
    void *data = nullptr;
    unsigned int size = 0;
    if (e->interpreter->get_output_tensor(i, &data, &size) != 0)
      break;
    views.push_back(NmxCustomizeTensorView{static_cast<const float *>(data), size});
  }
  ASSERT_EQ(views.size(), v8 ? 2u : 3u);
  NmxCustomizeDetectionList list = {nullptr, 0, 0};
  // The size-less functions assume 640; any size goes through the _at_size ones.
  const int pok =
      size == 640
          ? (v8 ? nmx_customize_postprocess_yolov8_detection(views.data(), (uint32_t)views.size(), &list, bt, nt,
                                                             info.scale)
                : nmx_customize_postprocess_yolov5(views.data(), (uint32_t)views.size(), &list, bt, nt, info.scale))
          : (v8 ? nmx_customize_postprocess_yolov8_detection_at_size(views.data(), (uint32_t)views.size(), &list, bt,
                                                                     nt, info.scale, size)
                : nmx_customize_postprocess_yolov5_at_size(views.data(), (uint32_t)views.size(), &list, bt, nt,
                                                           info.scale, size));
  ASSERT_EQ(pok, 1);
  o->library.assign(list.items, list.items + list.count);
  nmx_customize_detection_list_release(&list);
  gst_nmx_tarkin_engine_free(e);
}

void expect_same(const Outcome &o)
{
  // The engine's text stops at 512 detections; the library has no limit.
  ASSERT_EQ(o.engine.size(), std::min(o.library.size(), kTextLimit));
  for (size_t i = 0; i < o.engine.size(); i++) {
    SCOPED_TRACE(i);
    const DetectionBox &a = o.engine[i];
    const NmxCustomizeDetection &b = o.library[i];
    EXPECT_EQ(a.class_id, b.class_id);
    EXPECT_EQ(a.score, b.score);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.w, b.width);
    EXPECT_EQ(a.h, b.height);
  }
}

}  // namespace

TEST_F(CustomizeEngine, PlantedReplayTensorsGiveTheEngineDetections)
{
  Json::Value cases = load_cases();
  ASSERT_GE(cases.size(), 10u);
  int compared = 0, beyond_frame = 0, beyond_limit = 0;
  for (const Json::Value &c : cases) {
    if (c.isMember("fail"))
      continue;
    SCOPED_TRACE(c["name"].asString());
    Outcome o;
    const int w = c["width"].asInt(), h = c["height"].asInt();
    run_both(model_path(c["model"].asString()), c["model_type"].asString(), w, h, c["box_thresh"].asFloat(),
             c["nms_thresh"].asFloat(), &o, c.get("model_size", 640).asInt());
    if (HasFatalFailure())
      return;
    // Non-trivial: each case plants at least one survivor, matching the reference.
    EXPECT_EQ(o.engine.size(), c["boxes"].size());
    EXPECT_GT(o.library.size(), 0u);
    expect_same(o);
    // Through the engine's own serializer the library's detections give its text.
    std::vector<DetectionBox> as_engine;
    for (const auto &d : o.library)
      as_engine.push_back(DetectionBox{d.class_id, d.score, d.x, d.y, d.width, d.height});
    if (as_engine.size() > kTextLimit)
      as_engine.resize(kTextLimit);
    char *text = REAL_SERIALIZE(as_engine, nmx_tarkin_coco80, w, h, 9);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(o.engine_text, text);
    g_free(text);
    for (const auto &d : o.library)
      if (d.x < 0 || d.y < 0 || d.x + d.width > w || d.y + d.height > h) {
        beyond_frame++;
        break;
      }
    if (o.library.size() > kTextLimit)
      beyond_limit++;
    compared++;
  }
  EXPECT_GE(compared, 10);
  // The cases cover what the text hides: boxes outside the frame and >512 detections.
  EXPECT_GE(beyond_frame, 2);
  EXPECT_GE(beyond_limit, 2);
}

TEST_F(CustomizeEngine, OnnxModelsGiveTheEngineDetections)
{
  const struct {
    const char *model, *type;
    int w, h;
  } runs[] = {
      {"yolov5.onnx", "yolov5", 1280, 720},
      {"yolov5_5d.onnx", "yolov5", 320, 240},
      {"yolov8_concat.onnx", "yolov8-detection", 1920, 1080},
      {"yolov8_split.onnx", "yolov8-detection", 333, 517},
  };
  for (const auto &r : runs) {
    SCOPED_TRACE(r.model);
    Outcome o;
    run_both(model_path(r.model), r.type, r.w, r.h, 0.5f, 0.45f, &o);
    if (HasFatalFailure())
      return;
    EXPECT_GT(o.library.size(), 0u);
    expect_same(o);
  }
}

// The library with an application's own OpenCV DNN inference, against the detector
// written separately in yolo_dnn_reference.h, on models exported at 640 and at 320:
// same detections (boxes to 1 px, scores to 1e-4) in the same order.
TEST_F(CustomizeEngine, LibraryMatchesAnIndependentDetectorAt640And320)
{
  for (const char *kind : {"v8", "v5"})
    for (int size : {640, 320})
      for (int variant = 0; variant < 2; variant++) {
        const bool v8 = std::string(kind) == "v8";
        SCOPED_TRACE(std::string(kind) + " at " + std::to_string(size) + ", frame " + std::to_string(variant));
        const std::string model = model_path(std::string("colour_") + kind + "_" + std::to_string(size) + ".onnx");
        cv::dnn::Net net = cv::dnn::readNetFromONNX(model);
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        const cv::Mat frame = yoloref::planted_frame(variant);
        double margin = 1;
        const std::vector<yoloref::Det> want = v8 ? yoloref::yolov8(net, frame, size, 0.5f, 0.45f, true)
                                                  : yoloref::yolov5(net, frame, size, 0.5f, 0.45f, false, &margin);
        ASSERT_GE(want.size(), 3u);
        ASSERT_GT(margin, 0.02);

        // The application: letterbox with the library, its own network, then decode.
        const NmxCustomizeImageFrame f = {frame.data, frame.cols, frame.rows, (int32_t)frame.step};
        std::vector<float> input((size_t)size * size * 3);
        NmxCustomizeLetterboxInfo info;
        ASSERT_EQ(v8 ? nmx_customize_preprocess_yolov8_detection(&f, input.data(), input.size(), size, size, &info)
                     : nmx_customize_preprocess_yolov5(&f, input.data(), input.size(), size, size, &info),
                  1);
        const cv::Mat hwc(size, size, CV_32FC3, input.data());
        net.setInput(cv::dnn::blobFromImage(hwc, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F));
        std::vector<cv::Mat> outs;
        net.forward(outs, net.getUnconnectedOutLayersNames());
        std::vector<std::vector<float>> storage;
        std::vector<NmxCustomizeTensorView> views;
        if (v8) {
          // [1, 84, N]: the box rows then the class rows, as two views.
          const size_t n = (size_t)outs[0].size[2];
          const float *p = outs[0].ptr<float>();
          views.push_back({p, (uint32_t)(4 * n)});
          views.push_back({p + 4 * n, (uint32_t)(80 * n)});
        } else {
          // NCHW [1, 255, g, g] heads to the [row][column][anchor][85] layout.
          for (const cv::Mat &o : outs) {
            const int g = o.size[2];
            std::vector<float> head((size_t)g * g * 255);
            for (int c = 0; c < 255; c++)
              for (int i = 0; i < g * g; i++)
                head[(size_t)i * 255 + c] = o.ptr<float>()[(size_t)c * g * g + i];
            storage.push_back(std::move(head));
          }
          for (const auto &h : storage)
            views.push_back({h.data(), (uint32_t)h.size()});
        }
        NmxCustomizeDetectionList list = {nullptr, 0, 0};
        ASSERT_EQ(v8 ? nmx_customize_postprocess_yolov8_detection_at_size(views.data(), (uint32_t)views.size(), &list,
                                                                          0.5f, 0.45f, info.scale, size)
                     : nmx_customize_postprocess_yolov5_at_size(views.data(), (uint32_t)views.size(), &list, 0.5f,
                                                                0.45f, info.scale, size),
                  1);
        ASSERT_EQ(list.count, want.size());
        for (uint32_t i = 0; i < list.count; i++) {
          SCOPED_TRACE(i);
          const NmxCustomizeDetection &d = list.items[i];
          EXPECT_EQ(d.class_id, want[i].cls);
          EXPECT_NEAR(d.score, want[i].score, 1e-4);
          EXPECT_NEAR(d.x, want[i].x, 1.0);
          EXPECT_NEAR(d.y, want[i].y, 1.0);
          EXPECT_NEAR(d.width, want[i].w, 1.0);
          EXPECT_NEAR(d.height, want[i].h, 1.0);
        }
        nmx_customize_detection_list_release(&list);
      }
}
