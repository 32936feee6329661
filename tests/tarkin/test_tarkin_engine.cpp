// SPDX-License-Identifier: BSD-3-Clause
// Detection engine, shared YOLO code and the runtime stand-in, against the numpy
// reference's expectations for planted tensors and generated ONNX graphs.
#include "nmx-detection-json.h"
#include "nmx-tarkin-engine-private.h"
#include "nmx-yolo-common.h"
#include "tarkin_test_util.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <glib/gstdio.h>

#include <fstream>
#include <thread>

using namespace tarkintest;

namespace {

class TarkinEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

std::vector<guint8> frame(int w, int h, int stride, guint8 value = 0)
{
  return std::vector<guint8>((size_t)stride * h, value);
}

// Runs one frame; returns the text or "" on failure.
bool run_frame(GstNmxTarkinEngine *e, int w, int h, guint index, std::string *text)
{
  auto f = frame(w, h, w * 3, 77);
  char *out = nullptr;
  gsize len = 123;
  gboolean ok = gst_nmx_tarkin_engine_execute_video(e, f.data(), w, h, w * 3, index, &out, &len);
  if (!ok) {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    return false;
  }
  EXPECT_EQ(len, strlen(out));
  *text = out;
  g_free(out);
  return true;
}

}  // namespace

TEST_F(TarkinEngine, ReplayCasesMatchReference)
{
  Json::Value cases = load_cases();
  ASSERT_GE(cases.size(), 10u);
  for (const Json::Value &c : cases) {
    SCOPED_TRACE(c["name"].asString());
    LogCapture log;
    GstStructure *s = settings_for(model_path(c["model"].asString()), c["model_type"].asString(),
                                   c["box_thresh"].asDouble(), c["nms_thresh"].asDouble(),
                                   c.get("model_size", 640).asInt());
    GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
    gst_structure_free(s);
    ASSERT_NE(e, nullptr) << log.all();
    std::string text;
    bool ok = run_frame(e, c["width"].asInt(), c["height"].asInt(), 42, &text);
    if (c.isMember("fail")) {
      EXPECT_FALSE(ok);
      EXPECT_TRUE(log.contains(c["fail"].asString())) << log.all();
      // Still usable: the next frame fails the same way rather than crashing.
      EXPECT_FALSE(run_frame(e, c["width"].asInt(), c["height"].asInt(), 43, &text));
      gst_nmx_tarkin_engine_free(e);
      continue;
    }
    ASSERT_TRUE(ok) << log.all();
    ParsedText p = parse_text(text);
    ASSERT_TRUE(p.ok) << text;
    EXPECT_EQ(p.timestamp, 42u);
    const Json::Value &exp = c["boxes"];
    ASSERT_EQ(p.boxes.size(), exp.size()) << text.substr(0, 2000);
    for (Json::ArrayIndex i = 0; i < exp.size(); i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(p.boxes[i].label, exp[i]["label"].asString());
      EXPECT_EQ(p.boxes[i].id, exp[i]["id"].asUInt());
      EXPECT_EQ(p.boxes[i].color, 0xFF00FFu);
      EXPECT_NEAR(p.boxes[i].confidence, exp[i]["confidence"].asDouble(), 1e-3);
      for (int k = 0; k < 4; k++)
        EXPECT_NEAR(p.boxes[i].rect[k], exp[i]["rect"][k].asDouble(), 2e-5) << "rect " << k;
    }
    gst_nmx_tarkin_engine_free(e);
  }
}

TEST_F(TarkinEngine, CreationFailuresAndModelTypes)
{
  const std::string replay = model_path("v8_overlap/model.replay.json");
  {
    LogCapture log;
    GstStructure *s = gst_structure_new_empty("nmx-tarkin-settings");
    EXPECT_EQ(gst_nmx_tarkin_engine_new(s), nullptr);
    gst_structure_free(s);
    EXPECT_TRUE(log.contains("nmx-tarkin: missing required property 'model'"));
  }
  {
    LogCapture log;
    GstStructure *s = settings_for("", "yolov5");
    EXPECT_EQ(gst_nmx_tarkin_engine_new(s), nullptr);
    gst_structure_free(s);
    EXPECT_TRUE(log.contains("nmx-tarkin: missing required property 'model'"));
  }
  EXPECT_EQ(gst_nmx_tarkin_engine_new(nullptr), nullptr);
  {
    LogCapture log;
    GstStructure *s = settings_for(replay, " yolov5");
    EXPECT_EQ(gst_nmx_tarkin_engine_new(s), nullptr);
    gst_structure_free(s);
    EXPECT_TRUE(log.contains("nmx-tarkin: unsupported model-type ' yolov5'"));
  }
  {
    LogCapture log;
    GstStructure *s = settings_for(replay, "Yolov8-Detection");
    GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
    gst_structure_free(s);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(log.contains("nmx-tarkin: model-type=yolov8-detection thresholds box=0.500 nms=0.450 "
                             "print-valid-boxes=true"))
        << log.all();
    gst_nmx_tarkin_engine_free(e);
  }
  {
    LogCapture log;
    GstStructure *s = settings_for(replay, "yolov8", 1.7);
    gst_structure_set(s, "nms-thresh", G_TYPE_DOUBLE, -0.2, NULL);
    GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
    gst_structure_free(s);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(log.contains("nmx-tarkin: model-type 'yolov8' is deprecated, use 'yolov8-detection'"));
    EXPECT_TRUE(log.contains("model-type=yolov8-detection thresholds box=1.000 nms=0.000")) << log.all();
    // At box-thresh 1.0 nothing planted in this replay survives.
    std::string text;
    ASSERT_TRUE(run_frame(e, 640, 640, 1, &text));
    ParsedText p = parse_text(text);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.boxes.empty());
    gst_nmx_tarkin_engine_free(e);
  }
  {
    LogCapture log;
    GstStructure *s = settings_for(model_path("no-such-model.onnx"), "yolov5");
    EXPECT_EQ(gst_nmx_tarkin_engine_new(s), nullptr);
    gst_structure_free(s);
    EXPECT_TRUE(log.contains("nmx-tarkin: Model::create_instance failed ("));
  }
  for (const char *bad : {"unmappable.onnx", "garbage.onnx"}) {
    LogCapture log;
    GstStructure *s = settings_for(model_path(bad), "yolov8-detection");
    std::string err = capture_stderr([&] { EXPECT_EQ(gst_nmx_tarkin_engine_new(s), nullptr); });
    gst_structure_free(s);
    EXPECT_TRUE(log.contains("nmx-tarkin: interpreter load_model failed")) << bad;
    EXPECT_NE(err.find(std::string("unmappable.onnx") == bad ? "no network output matches" : "cannot load"),
              std::string::npos)
        << err;
  }
}

TEST_F(TarkinEngine, InvalidFramesFailAndEngineStaysUsable)
{
  GstStructure *s = settings_for(model_path("v5_one_class/model.replay.json"), "yolov5");
  GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
  gst_structure_free(s);
  ASSERT_NE(e, nullptr);
  LogCapture log;
  auto f = frame(64, 64, 64 * 3);
  char *out = nullptr;
  gsize len = 0;
  EXPECT_FALSE(gst_nmx_tarkin_engine_execute_video(e, f.data(), 0, 64, 192, 1, &out, &len));
  EXPECT_TRUE(log.contains("nmx-tarkin: invalid input video shape w=0 h=64 stride=192"));
  // A stride shorter than a row would read past the frame.
  EXPECT_FALSE(gst_nmx_tarkin_engine_execute_video(e, f.data(), 64, 64, 100, 1, &out, &len));
  EXPECT_FALSE(gst_nmx_tarkin_engine_execute_video(e, nullptr, 64, 64, 192, 1, &out, &len));
  EXPECT_FALSE(gst_nmx_tarkin_engine_execute_video(nullptr, f.data(), 64, 64, 192, 1, &out, &len));
  std::string text;
  EXPECT_TRUE(run_frame(e, 64, 64, 2, &text));
  gst_nmx_tarkin_engine_free(e);
  gst_nmx_tarkin_engine_free(nullptr);
}

TEST_F(TarkinEngine, ConcurrentCallsGiveTheSameText)
{
  GstStructure *s = settings_for(model_path("v5_ties/model.replay.json"), "yolov5");
  GstNmxTarkinEngine *shared = gst_nmx_tarkin_engine_new(s);
  GstNmxTarkinEngine *other = gst_nmx_tarkin_engine_new(s);
  gst_structure_free(s);
  ASSERT_NE(shared, nullptr);
  ASSERT_NE(other, nullptr);
  std::string expected;
  ASSERT_TRUE(run_frame(shared, 640, 640, 7, &expected));
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; i++) {
        std::string text;
        if (run_frame(t % 2 ? other : shared, 640, 640, 7, &text) && text != expected)
          results[t] = text;
      }
    });
  for (auto &th : threads)
    th.join();
  for (const auto &r : results)
    EXPECT_EQ(r, "");
  gst_nmx_tarkin_engine_free(shared);
  gst_nmx_tarkin_engine_free(other);
}

TEST_F(TarkinEngine, StructureNames)
{
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name("traffic light"), "traffic_light");
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name(""), "object");
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name("9lives"), "cls_9lives");
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name("-x"), "cls_-x");
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name("_ok+-./:"), "_ok+-./:");
  EXPECT_EQ(nmx_tarkin_make_valid_structure_name("a\xc3\xa9"), "a__");
}

TEST_F(TarkinEngine, EmptyAndUnknownClassText)
{
  std::vector<DetectionBox> boxes = {{80, 0.5f, 10, 10, 20, 20}, {-1, 0.25f, -5, -5, 10, 10}};
  const char *labels[80] = {};
  char *text = nmx_tarkin_serialize_boxes(boxes, labels, 100, 50, 9);
  ASSERT_NE(text, nullptr);
  ParsedText p = parse_text(text);
  g_free(text);
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.boxes.size(), 2u);
  EXPECT_EQ(p.boxes[0].label, "unknown");
  EXPECT_NEAR(p.boxes[0].confidence, 50.0, 1e-6);
  EXPECT_NEAR(p.boxes[1].rect[0], 0.0, 1e-7);
  EXPECT_NEAR(p.boxes[1].rect[2], 0.05, 1e-6);  // clipped at the left edge: 5 px of 100
  EXPECT_NEAR(p.boxes[1].rect[3], 0.1, 1e-6);   // 5 px of 50
  text = nmx_tarkin_serialize_boxes({}, labels, 0, 0, 3);
  p = parse_text(text);
  g_free(text);
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.boxes.empty());
  EXPECT_EQ(p.timestamp, 3u);
}

// ---------------------------------------------------------------- letterbox

namespace {

struct LetterboxCase {
  int w, h, stride_pad;
  float scale;
  int new_w, new_h;
};

void check_letterbox(const LetterboxCase &c, bool v8)
{
  SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " pad " + std::to_string(c.stride_pad) +
               (v8 ? " v8" : " v5"));
  const int stride = c.w * 3 + c.stride_pad;
  // A uniform picture resizes to itself, so every picture value is exact; the row
  // padding holds 255 so any read of it shows.
  std::vector<guint8> img((size_t)stride * c.h, 255);
  for (int y = 0; y < c.h; y++)
    for (int x = 0; x < c.w; x++) {
      img[(size_t)y * stride + x * 3 + 0] = 10;
      img[(size_t)y * stride + x * 3 + 1] = 20;
      img[(size_t)y * stride + x * 3 + 2] = 30;
    }
  std::vector<float> dst(640 * 640 * 3, -1.0f);
  float scale = 0;
  int nw = 0, nh = 0;
  bool ok = v8 ? nmx::yolo::letterbox_yolov8(img.data(), c.w, c.h, stride, dst.data(), 640, 640, &scale, &nw, &nh)
               : nmx::yolo::letterbox_yolov5(img.data(), c.w, c.h, stride, dst.data(), 640, 640, &scale, &nw, &nh);
  ASSERT_TRUE(ok);
  EXPECT_FLOAT_EQ(scale, c.scale);
  EXPECT_EQ(nw, c.new_w);
  EXPECT_EQ(nh, c.new_h);
  const float first = (v8 ? 30 : 10) / 255.0f, last = (v8 ? 10 : 30) / 255.0f;
  int bad = 0;
  for (int y = 0; y < 640 && bad < 5; y++)
    for (int x = 0; x < 640 && bad < 5; x++) {
      const float *p = &dst[((size_t)y * 640 + x) * 3];
      const bool inside = x < c.new_w && y < c.new_h;
      const float e0 = inside ? first : 0.0f, e1 = inside ? 20 / 255.0f : 0.0f, e2 = inside ? last : 0.0f;
      if (std::fabs(p[0] - e0) > 1e-6f || std::fabs(p[1] - e1) > 1e-6f || std::fabs(p[2] - e2) > 1e-6f) {
        ADD_FAILURE() << "at " << x << "," << y << ": " << p[0] << " " << p[1] << " " << p[2];
        bad++;
      }
    }
}

}  // namespace

TEST_F(TarkinEngine, LetterboxGeometryAndPadding)
{
  const LetterboxCase cases[] = {
      {1920, 1080, 0, 3.0f, 640, 360},
      {100, 50, 0, 0.15625f, 640, 320},
      {1280, 720, 64, 2.0f, 640, 360},
      {33, 17, 1, 33 / 640.0f, (int)(33 / (33 / 640.0f)), (int)(17 / (33 / 640.0f))},
      {641, 3, 5, 641 / 640.0f, (int)(641 / (641 / 640.0f)), 2},
      {1, 1, 3, 1 / 640.0f, (int)(1 / (1 / 640.0f)), (int)(1 / (1 / 640.0f))},
  };
  for (const auto &c : cases) {
    check_letterbox(c, false);
    check_letterbox(c, true);
  }
  float scale;
  int nw, nh;
  float dst[3];
  guint8 px[3] = {0, 0, 0};
  EXPECT_FALSE(nmx::yolo::letterbox_yolov5(px, 0, 1, 3, dst, 1, 1, &scale, &nw, &nh));
  EXPECT_FALSE(nmx::yolo::letterbox_yolov8(px, 1, 1, 2, dst, 1, 1, &scale, &nw, &nh));
}

TEST_F(TarkinEngine, LetterboxResamplesBilinearly)
{
  // A horizontal ramp halved in size keeps its mean and stays monotonic; picture
  // content lands top-left, BGR for v5 and RGB for v8.
  const int w = 1280, h = 720;
  std::vector<guint8> img((size_t)w * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      img[((size_t)y * w + x) * 3 + 0] = (guint8)(x * 255 / (w - 1));
      img[((size_t)y * w + x) * 3 + 1] = 0;
      img[((size_t)y * w + x) * 3 + 2] = 200;
    }
  std::vector<float> v5(640 * 640 * 3), v8(640 * 640 * 3);
  float scale;
  int nw, nh;
  ASSERT_TRUE(nmx::yolo::letterbox_yolov5(img.data(), w, h, w * 3, v5.data(), 640, 640, &scale, &nw, &nh));
  ASSERT_TRUE(nmx::yolo::letterbox_yolov8(img.data(), w, h, w * 3, v8.data(), 640, 640, &scale, &nw, &nh));
  for (int x = 1; x < 640; x++) {
    const size_t i = ((size_t)100 * 640 + x) * 3;
    EXPECT_GE(v5[i], v5[i - 3]);
    EXPECT_FLOAT_EQ(v8[i + 2], v5[i]);
    EXPECT_FLOAT_EQ(v8[i], v5[i + 2]);
    EXPECT_NEAR(v5[i + 2], 200 / 255.0f, 1e-6);
  }
  EXPECT_NEAR(v5[0], 0.0f, 1.0f / 255.0f + 1e-6);
  EXPECT_NEAR(v5[639 * 3], 1.0f, 1.0f / 255.0f + 1e-6);
}

TEST_F(TarkinEngine, QuickSortDescendingPermutation)
{
  std::vector<float> values = {0.5f, 0.9f, 0.5f, 0.1f, 0.9f, 0.5f, 0.3f};
  std::vector<int> idx = {0, 1, 2, 3, 4, 5, 6};
  const std::vector<float> orig = values;
  nmx::yolo::quick_sort_indice_inverse(values, 0, (int)values.size() - 1, idx);
  for (size_t i = 0; i < values.size(); i++) {
    EXPECT_EQ(values[i], orig[idx[i]]);
    if (i) {
      EXPECT_GE(values[i - 1], values[i]);
    }
  }
  // Long equal runs (every candidate tied) must neither overflow the stack nor lose entries.
  std::vector<float> same(30000, 0.7f);
  std::vector<int> order(30000);
  for (int i = 0; i < 30000; i++)
    order[i] = i;
  nmx::yolo::quick_sort_indice_inverse(same, 0, 29999, order);
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 30000; i++)
    ASSERT_EQ(sorted[i], i);
}

TEST_F(TarkinEngine, OutputSizeRules)
{
  using nmx::yolo::output_size_covers;
  EXPECT_TRUE(output_size_covers(33600, 33600));
  EXPECT_TRUE(output_size_covers(134400, 33600));
  EXPECT_FALSE(output_size_covers(33599, 33600));
  EXPECT_FALSE(output_size_covers(134399, 33600));
  int heads[3];
  const uint32_t elems[3] = {102000, 1632000, 408000};
  nmx::yolo::route_yolov5_outputs(elems, 3, nmx::yolo::ModelGeometry(), heads);
  EXPECT_EQ(heads[0], 1);
  EXPECT_EQ(heads[1], 2);
  EXPECT_EQ(heads[2], 0);
  const uint32_t bytes[3] = {6528000, 1632000, 408000};
  nmx::yolo::route_yolov5_outputs(bytes, 3, nmx::yolo::ModelGeometry(), heads);
  EXPECT_EQ(heads[0], 0);
  EXPECT_EQ(heads[1], 1);
  EXPECT_EQ(heads[2], 2);
  int box, cls;
  const uint32_t v8[3] = {7, 2688000, 134400};
  nmx::yolo::route_yolov8_outputs(v8, 3, nmx::yolo::ModelGeometry(), &box, &cls);
  EXPECT_EQ(box, 2);
  EXPECT_EQ(cls, 1);
}

// ---------------------------------------------------------------- runtime stand-in

namespace {

using Velkor::Tarkin::Shapes;

std::unique_ptr<Velkor::Tarkin::Interpreter> load_abs(const std::string &path,
                                                      const Shapes &outs = {{1, 4, 8400}, {1, 80, 8400}})
{
  auto *m = Velkor::Tarkin::Model::create_instance(path);
  if (!m)
    return nullptr;
  m->set_model_properties({{1, 640, 640, 3}}, Velkor::Tarkin::DataType(4), outs, Velkor::Tarkin::DataType(4));
  auto *cfg = Velkor::Tarkin::Config::create_instance();
  auto it = Velkor::Tarkin::InterpreterBuilder::build_interpretper_from_model_and_config(m, cfg);
  if (!it || it->init(nullptr) != 0 || it->load_model(nullptr) != 0)
    return nullptr;
  return it;
}

void check_outputs(const std::string &file, const Shapes &outs, const std::string &stem)
{
  SCOPED_TRACE(file);
  auto it = load_abs(model_path(file), outs);
  ASSERT_TRUE(it);
  std::vector<float> input = read_floats(model_path("onnx_input.bin"));
  ASSERT_EQ(input.size(), 640u * 640u * 3u);
  ASSERT_EQ(it->set_input_tensor(0, input.data()), 0);
  ASSERT_EQ(it->invoke(nullptr), 0);
  for (unsigned int k = 0; k < outs.size(); k++) {
    std::vector<float> expect = read_floats(model_path(stem + "_expect" + std::to_string(k) + ".bin"));
    void *data = nullptr;
    unsigned int size = 0;
    ASSERT_EQ(it->get_output_tensor(k, &data, &size), 0);
    ASSERT_EQ(size, expect.size()) << "output " << k;
    const float *d = static_cast<const float *>(data);
    int bad = 0;
    for (size_t i = 0; i < expect.size() && bad < 5; i++)
      if (std::fabs(d[i] - expect[i]) > 1e-4f) {
        ADD_FAILURE() << "output " << k << " [" << i << "] " << d[i] << " != " << expect[i];
        bad++;
      }
  }
  void *data;
  unsigned int size;
  EXPECT_NE(it->get_output_tensor((unsigned int)outs.size(), &data, &size), 0);
}

}  // namespace

TEST_F(TarkinEngine, OnnxOutputsMappedOntoDeclaredShapes)
{
  const Shapes v5 = {{1, 40, 40, 255}, {1, 20, 20, 255}, {1, 80, 80, 255}};
  const Shapes v8 = {{1, 4, 8400}, {1, 80, 8400}};
  check_outputs("yolov5.onnx", v5, "yolov5");
  check_outputs("yolov5_5d.onnx", v5, "yolov5_5d");
  check_outputs("yolov8_concat.onnx", v8, "yolov8_concat");
  check_outputs("yolov8_split.onnx", v8, "yolov8_split");
  // The segmentation engine's declaration: coefficients, boxes, classes, prototypes.
  check_outputs("yolov8_seg.onnx", {{1, 32, 8400}, {1, 4, 8400}, {1, 80, 8400}, {1, 160, 160, 32}}, "yolov8_seg");
}

TEST_F(TarkinEngine, OnnxModelsRunThroughTheEngine)
{
  for (const char *m : {"yolov5.onnx", "yolov8_concat.onnx"}) {
    SCOPED_TRACE(m);
    GstStructure *s = settings_for(model_path(m), std::string(m).find("v8") != std::string::npos ? "yolov8-detection"
                                                                                                  : "yolov5");
    GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
    gst_structure_free(s);
    ASSERT_NE(e, nullptr);
    std::string text;
    ASSERT_TRUE(run_frame(e, 320, 240, 25, &text));
    ParsedText p = parse_text(text);
    EXPECT_TRUE(p.ok) << text;
    EXPECT_EQ(p.timestamp, 25u);
    EXPECT_LE(p.boxes.size(), 512u);
    gst_nmx_tarkin_engine_free(e);
  }
}

TEST_F(TarkinEngine, ReplayFileErrorsFailLoadModel)
{
  gchar *dir = g_dir_make_tmp("tarkin-replay-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  const std::string d = dir;
  auto write = [&](const std::string &name, const std::string &content) {
    std::ofstream(d + "/" + name, std::ios::binary) << content;
  };
  write("six.bin", std::string(6 * sizeof(float), '\0'));
  write("bad-json.replay.json", "{\"outputs\": [");
  write("no-outputs.replay.json", "{\"outputs\": []}");
  write("short.replay.json", "{\"outputs\": [{\"file\": \"six.bin\", \"shape\": [1, 7]}]}");
  write("unit.replay.json", "{\"outputs\": [{\"file\": \"six.bin\", \"shape\": [2, 3], \"report\": \"kb\"}]}");
  write("missing.replay.json", "{\"outputs\": [{\"file\": \"none.bin\", \"shape\": [6]}]}");
  write("good.replay.json", "{\"outputs\": [{\"file\": \"six.bin\", \"shape\": [2, 3], \"report\": \"bytes\"}]}");
  const std::pair<const char *, const char *> bad[] = {
      {"bad-json.replay.json", "is not valid JSON"},
      {"no-outputs.replay.json", "has no \"outputs\" array"},
      {"short.replay.json", "does not hold the 7 [1,7] float32 values"},
      {"unit.replay.json", "\"report\" must be"},
      {"missing.replay.json", "cannot open replay tensor"},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(b.first);
    std::unique_ptr<Velkor::Tarkin::Interpreter> it;
    std::string err = capture_stderr([&] { it = load_abs(d + "/" + b.first); });
    EXPECT_FALSE(it);
    EXPECT_NE(err.find(b.second), std::string::npos) << err;
  }
  auto it = load_abs(d + "/good.replay.json");
  ASSERT_TRUE(it);
  float in[4] = {0};
  ASSERT_EQ(it->set_input_tensor(0, in), 0);
  EXPECT_NE(it->set_input_tensor(1, in), 0);
  ASSERT_EQ(it->invoke(nullptr), 0);
  void *data = nullptr;
  unsigned int size = 0;
  ASSERT_EQ(it->get_output_tensor(0, &data, &size), 0);
  EXPECT_EQ(size, 24u);
  EXPECT_NE(it->get_output_tensor(1, &data, &size), 0);
  for (const char *f : {"six.bin", "bad-json.replay.json", "no-outputs.replay.json", "short.replay.json",
                        "unit.replay.json", "missing.replay.json", "good.replay.json"})
    g_unlink((d + "/" + f).c_str());
  g_rmdir(dir);
  g_free(dir);
}

// ---------------------------------------------------------------- model size, channels, messages

namespace {

GstNmxTarkinEngine *engine_for(const std::string &rel, const std::string &type, int model_size = 0,
                               const char *channel_order = nullptr)
{
  GstStructure *s = settings_for(model_path(rel), type, -1, -1, model_size);
  if (channel_order)
    gst_structure_set(s, "channel-order", G_TYPE_STRING, channel_order, NULL);
  GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
  gst_structure_free(s);
  return e;
}

}  // namespace

TEST_F(TarkinEngine, ModelSizeSettings)
{
  for (int bad : {300, 16, 8192}) {
    LogCapture log;
    EXPECT_EQ(engine_for("v8_overlap/model.replay.json", "yolov8-detection", bad), nullptr);
    EXPECT_TRUE(log.contains("nmx-tarkin: model-size " + std::to_string(bad) +
                             " is not a multiple of 32 between 32 and 4096"))
        << log.all();
    EXPECT_NE(std::string(gst_nmx_tarkin_engine_last_error()).find("model-size"), std::string::npos);
  }
  // The input tensor follows the size; the letterbox fills it.
  GstNmxTarkinEngine *e = engine_for("v8_320/model.replay.json", "yolov8-detection", 320);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->input_tensor.size(), 320u * 320u * 3u);
  EXPECT_EQ(e->geometry.candidates, 2100u);
  std::string text;
  ASSERT_TRUE(run_frame(e, 1280, 720, 1, &text));
  gst_nmx_tarkin_engine_free(e);
}

TEST_F(TarkinEngine, OutputsOfAnotherSizeNameBothSizes)
{
  // A model exported at 320 run at the default size: its 8,400- and 168,000-element
  // outputs fail the frame, and the message tells what they fit.
  {
    LogCapture log;
    GstNmxTarkinEngine *e = engine_for("v8_320/model.replay.json", "yolov8-detection");
    ASSERT_NE(e, nullptr);
    std::string text;
    EXPECT_FALSE(run_frame(e, 640, 480, 1, &text));
    const std::string want =
        "nmx-tarkin: yolov8-detection box output 0 reports size 8400, smaller than its declared shape (33600 "
        "elements or 134400 bytes) at model-size 640; the outputs report 8400, 168000, which looks like YOLOv8 "
        "detection outputs at model-size 320 (model-type=yolov8-detection model-size=320)";
    EXPECT_TRUE(log.contains(want)) << log.all();
    EXPECT_EQ(std::string(gst_nmx_tarkin_engine_last_error()), want);
    gst_nmx_tarkin_engine_free(e);
  }
  {
    LogCapture log;
    GstNmxTarkinEngine *e = engine_for("v5_320/model.replay.json", "yolov5");
    ASSERT_NE(e, nullptr);
    std::string text;
    EXPECT_FALSE(run_frame(e, 640, 480, 1, &text));
    EXPECT_TRUE(log.contains("at model-size 640; the outputs report 102000, 25500, 408000, which looks like YOLOv5 "
                             "outputs at model-size 320 (model-type=yolov5 model-size=320)"))
        << log.all();
    gst_nmx_tarkin_engine_free(e);
  }
  {
    // A YOLOv8 model with the default model-type: the missing third output is explained.
    LogCapture log;
    GstNmxTarkinEngine *e = engine_for("v8_overlap/model.replay.json", "yolov5");
    ASSERT_NE(e, nullptr);
    std::string text;
    EXPECT_FALSE(run_frame(e, 640, 480, 1, &text));
    EXPECT_TRUE(log.contains("nmx-tarkin: get_output_tensor(2) failed rc=-2; outputs 0 and 1 look like YOLOv8 "
                             "detection outputs at model-size 640 (model-type=yolov8-detection model-size=640)"))
        << log.all();
    gst_nmx_tarkin_engine_free(e);
  }
}

TEST_F(TarkinEngine, OnnxModelOfAnotherKindOrSizeIsDescribed)
{
  // The runtime names what the network's outputs look like; the engine names what
  // was asked for.
  const struct {
    const char *model, *type;
    int size;
    const char *runtime_says;
  } runs[] = {
      {"yolov8_concat.onnx", "yolov5", 640,
       "that looks like a YOLOv8 detection model with a 640x640 input (model-type=yolov8-detection model-size=640)"},
      // Shapes fixed at 320: the network does not even run on a 640 input.
      {"colour_v8_320.onnx", "yolov8-detection", 640,
       "the network runs on a 320x320 input instead, giving output0[1,84,2100]: that looks like a YOLOv8 detection "
       "model with a 320x320 input (model-type=yolov8-detection model-size=320)"},
      {"yolov5.onnx", "yolov8-detection", 640,
       "that looks like a YOLOv5 model with a 640x640 input (model-type=yolov5 model-size=640)"},
      {"yolov8_seg.onnx", "yolov8-detection", 640,
       "that looks like a YOLOv8 segmentation model with a 640 input (nmx-tarkin-video model-size=640)"},
  };
  for (const auto &r : runs) {
    SCOPED_TRACE(r.model);
    LogCapture log;
    GstNmxTarkinEngine *e = nullptr;
    const std::string err = capture_stderr([&] { e = engine_for(r.model, r.type, r.size); });
    EXPECT_EQ(e, nullptr);
    EXPECT_NE(err.find(r.runtime_says), std::string::npos) << err;
    EXPECT_TRUE(log.contains("nmx-tarkin: interpreter load_model failed (model " + model_path(r.model) + " as " +
                             r.type + " at model-size 640"))
        << log.all();
    gst_nmx_tarkin_engine_free(e);
  }
}

TEST_F(TarkinEngine, ChannelOrder)
{
  // One blue pixel: the tensor's first channel is blue for BGR, red for RGB.
  const guint8 px[3] = {255, 0, 0};
  for (const char *type : {"yolov5", "yolov8-detection"})
    for (const char *order : {(const char *)nullptr, "bgr", "rgb", "RGB"}) {
      SCOPED_TRACE(std::string(type) + " " + (order ? order : "(default)"));
      const bool v8 = std::string(type) != "yolov5";
      GstNmxTarkinEngine *e =
          engine_for(v8 ? "v8_overlap/model.replay.json" : "v5_one_class/model.replay.json", type, 0, order);
      ASSERT_NE(e, nullptr);
      const bool rgb = order ? g_ascii_strcasecmp(order, "rgb") == 0 : v8;
      char *text = nullptr;
      gsize len = 0;
      ASSERT_TRUE(gst_nmx_tarkin_engine_execute_video(e, px, 1, 1, 3, 1, &text, &len));
      g_free(text);
      EXPECT_FLOAT_EQ(e->input_tensor[0], rgb ? 0.0f : 1.0f);
      EXPECT_FLOAT_EQ(e->input_tensor[2], rgb ? 1.0f : 0.0f);
      gst_nmx_tarkin_engine_free(e);
    }
  LogCapture log;
  EXPECT_EQ(engine_for("v8_overlap/model.replay.json", "yolov8-detection", 0, "bgra"), nullptr);
  EXPECT_TRUE(log.contains("nmx-tarkin: unsupported channel-order 'bgra' (use bgr or rgb)")) << log.all();
}

TEST_F(TarkinEngine, SigmoidedYolov5OutputsWarnOnce)
{
  LogCapture log;
  GstNmxTarkinEngine *e = engine_for("v5_sigmoided/model.replay.json", "yolov5");
  ASSERT_NE(e, nullptr);
  std::string text;
  ASSERT_TRUE(run_frame(e, 640, 640, 1, &text));
  gchar *w = gst_nmx_tarkin_engine_take_warning(e);
  ASSERT_NE(w, nullptr);
  EXPECT_NE(std::string(w).find("every value of the YOLOv5 outputs lies in 0..1"), std::string::npos) << w;
  g_free(w);
  // What such a model gives: a crowd of boxes near 40 %.
  ParsedText p = parse_text(text);
  ASSERT_TRUE(p.ok);
  EXPECT_GE(p.boxes.size(), 50u);
  for (const auto &b : p.boxes)
    EXPECT_NEAR(b.confidence, 100.0 / (1.0 + std::exp(-0.6)) / (1.0 + std::exp(-0.55)), 1e-3);
  ASSERT_TRUE(run_frame(e, 640, 640, 2, &text));
  EXPECT_EQ(gst_nmx_tarkin_engine_take_warning(e), nullptr) << "once per engine";
  gst_nmx_tarkin_engine_free(e);
  // Raw logits never warn.
  e = engine_for("v5_one_class/model.replay.json", "yolov5");
  ASSERT_TRUE(run_frame(e, 640, 640, 1, &text));
  EXPECT_EQ(gst_nmx_tarkin_engine_take_warning(e), nullptr);
  gst_nmx_tarkin_engine_free(e);
}

TEST_F(TarkinEngine, JsonRecordOfAFrame)
{
  // The planted v8_edges case on 1280x720: boxes clipped to the frame, pixels and
  // normalised, labels as names, confidences 0..1, frame and pts as given.
  const Json::Value cases = load_cases();
  Json::Value c;
  for (const Json::Value &k : cases)
    if (k["name"].asString() == "v8_edges")
      c = k;
  ASSERT_TRUE(c.isObject());
  GstStructure *s = settings_for(model_path(c["model"].asString()), "yolov8-detection", -1, c["nms_thresh"].asDouble());
  GstNmxTarkinEngine *e = gst_nmx_tarkin_engine_new(s);
  gst_structure_free(s);
  ASSERT_NE(e, nullptr);
  auto f = frame(1280, 720, 1280 * 3);
  for (GstClockTime pts : {(GstClockTime)123456789012ull, GST_CLOCK_TIME_NONE}) {
    char *out = nullptr;
    gsize len = 0;
    ASSERT_TRUE(gst_nmx_tarkin_engine_execute_json(e, f.data(), 1280, 720, 1280 * 3, 5000000000ull, pts, &out, &len));
    const std::string text(out, len);
    g_free(out);
    EXPECT_EQ(len, text.size());
    const Json::Value v = parse_json_line(text);
    EXPECT_EQ(v["frame"].asUInt64(), 5000000000ull);
    if (GST_CLOCK_TIME_IS_VALID(pts))
      EXPECT_EQ(v["pts"].asUInt64(), 123456789012ull);
    else
      EXPECT_TRUE(v["pts"].isNull()) << text;
    EXPECT_EQ(v["width"].asInt(), 1280);
    EXPECT_EQ(v["height"].asInt(), 720);
    const Json::Value &d = v["detections"];
    ASSERT_EQ(d.size(), c["boxes"].size());
    for (Json::ArrayIndex i = 0; i < d.size(); i++) {
      const Json::Value &want = c["boxes"][i];
      // The reference names labels as structure names; the record keeps the class name.
      std::string label = d[i]["label"].asString();
      for (char &ch : label)
        if (ch == ' ')
          ch = '_';
      EXPECT_EQ(label, want["label"].asString());
      EXPECT_NEAR(d[i]["confidence"].asDouble() * 100.0, want["confidence"].asDouble(), 1e-4);
      const char *keys[4] = {"x", "y", "width", "height"};
      const double dims[4] = {1280, 720, 1280, 720};
      for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(d[i]["box_normalized"][keys[k]].asDouble(), want["rect"][k].asDouble(), 2e-6) << keys[k];
        EXPECT_NEAR(d[i]["box"][keys[k]].asDouble(), want["rect"][k].asDouble() * dims[k], 1e-3) << keys[k];
      }
    }
    EXPECT_EQ(d[0]["label"].asString(), "tv");  // the best one, across the whole frame
    EXPECT_EQ(d[0]["class_id"].asInt(), 62);
  }
  gst_nmx_tarkin_engine_free(e);
}

TEST_F(TarkinEngine, JsonWriterEdges)
{
  nmx::detection::Frame f;
  f.frame = 7;
  f.width = 100;
  f.height = 0;  // a degenerate frame: everything clips to 0
  nmx::detection::Detection d;
  d.class_id = -1;
  d.label = "we\"ird\\\n\x01label";
  d.confidence = std::nanf("");
  d.x = -5;
  d.y = 3;
  d.width = 200;
  d.height = 4;
  f.detections.push_back(d);
  // Written the same whatever the locale's decimal separator.
  const char *old = setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  setlocale(LC_NUMERIC, "de_DE.UTF-8");
  const std::string line = nmx::detection::to_json_line(f);
  setlocale(LC_NUMERIC, saved.c_str());
  const Json::Value v = parse_json_line(line);
  EXPECT_TRUE(v["pts"].isNull());
  ASSERT_EQ(v["detections"].size(), 1u);
  const Json::Value &o = v["detections"][0];
  EXPECT_EQ(o["label"].asString(), d.label);
  EXPECT_TRUE(o["confidence"].isNull());
  EXPECT_EQ(o["box"]["x"].asDouble(), 0.0);
  EXPECT_EQ(o["box"]["width"].asDouble(), 100.0);
  EXPECT_EQ(o["box"]["height"].asDouble(), 0.0);
  EXPECT_EQ(o["box_normalized"]["width"].asDouble(), 1.0);
  EXPECT_EQ(o["box_normalized"]["y"].asDouble(), 0.0);
  nmx::detection::Frame g;
  g.frame = 1;
  g.has_pts = true;
  g.pts_ns = 0;
  g.width = 640;
  g.height = 480;
  nmx::detection::Detection e2;
  e2.label = "person";
  e2.confidence = 0.1f;
  e2.x = 0.5f;
  e2.y = 1.25f;
  e2.width = 33.75f;
  e2.height = 10;
  g.detections.push_back(e2);
  EXPECT_EQ(nmx::detection::to_json_line(g),
            "{\"frame\":1,\"pts\":0,\"width\":640,\"height\":480,\"detections\":[{\"label\":\"person\",\"class_id\":0,"
            "\"confidence\":0.1,\"box\":{\"x\":0.5,\"y\":1.25,\"width\":33.75,\"height\":10},\"box_normalized\":{"
            "\"x\":0.00078125,\"y\":0.0026041667,\"width\":0.052734375,\"height\":0.020833334}}]}\n");
}

TEST_F(TarkinEngine, ReplayFailFramesList)
{
  gchar *dir = g_dir_make_tmp("tarkin-fail-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  const std::string d = dir;
  std::ofstream(d + "/one.bin", std::ios::binary) << std::string(sizeof(float), '\0');
  std::ofstream(d + "/ok.replay.json") << "{\"outputs\": [{\"file\": \"one.bin\", \"shape\": [1]}], "
                                          "\"fail-frames\": [2, 4]}";
  std::ofstream(d + "/bad.replay.json") << "{\"outputs\": [{\"file\": \"one.bin\", \"shape\": [1]}], "
                                           "\"fail-frames\": [0]}";
  std::ofstream(d + "/notarray.replay.json") << "{\"outputs\": [{\"file\": \"one.bin\", \"shape\": [1]}], "
                                                "\"fail-frames\": 3}";
  auto it = load_abs(d + "/ok.replay.json");
  ASSERT_TRUE(it);
  float in = 0;
  ASSERT_EQ(it->set_input_tensor(0, &in), 0);
  std::vector<int> rcs;
  capture_stderr([&] {
    for (int k = 0; k < 5; k++)
      rcs.push_back(it->invoke(nullptr));
  });
  EXPECT_EQ(rcs, (std::vector<int>{0, -2, 0, -2, 0}));
  for (const char *bad : {"bad.replay.json", "notarray.replay.json"}) {
    std::unique_ptr<Velkor::Tarkin::Interpreter> b;
    const std::string err = capture_stderr([&] { b = load_abs(d + "/" + bad); });
    EXPECT_FALSE(b) << bad;
    EXPECT_NE(err.find("\"fail-frames\""), std::string::npos) << err;
  }
  for (const char *f : {"one.bin", "ok.replay.json", "bad.replay.json", "notarray.replay.json"})
    g_unlink((d + "/" + f).c_str());
  g_rmdir(dir);
  g_free(dir);
}
