// SPDX-License-Identifier: BSD-3-Clause
// libnmx_customize against the detection engine on the engine's own planted replay
// tensors and ONNX models: the same letterboxed input, and the same detections in
// frame pixels before the engine clips and normalises them for its text.
#include "nmx-tarkin-engine-private.h"
#include "nmx-tarkin-labels.h"
#include "nmx_customize.h"
#include "tarkin_test_util.h"

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
