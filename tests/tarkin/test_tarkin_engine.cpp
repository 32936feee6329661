// SPDX-License-Identifier: BSD-3-Clause
// Detection engine, shared YOLO code and the runtime stand-in, against the numpy
// reference's expectations for planted tensors and generated ONNX graphs.
#include "nmx-tarkin-engine-private.h"
#include "nmx-yolo-common.h"
#include "tarkin_test_util.h"

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
