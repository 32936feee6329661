// SPDX-License-Identifier: BSD-3-Clause
// Detection engine: creation from the settings structure, per-frame dispatch and
// the serialized detection text.
#include "nmx-tarkin-engine-private.h"

#include "nmx-detection-json.h"
#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int kKindYolov5 = 0;
constexpr int kKindYolov8Detection = 1;
constexpr guint kMaxSerializedBoxes = 512;
constexpr guint kFirstBoxId = 256;
constexpr guint kBoxColor = 0xFF00FF;
constexpr NmxTarkinRuntimeConfig kConfigYolov8 = {3, 3, 4, 1};
constexpr NmxTarkinRuntimeConfig kConfigYolov5 = {3, 3, 108, 0};
constexpr const char *kPrefix = "nmx-tarkin";

GstNmxTarkinEngine *fail(GstNmxTarkinEngine *engine)
{
  gst_nmx_tarkin_engine_free(engine);
  return nullptr;
}

}  // namespace

std::string nmx_tarkin_make_valid_structure_name(const char *label)
{
  const std::string in = label ? label : "";
  std::string out;
  out.reserve(in.size() + 4);
  for (char c : in) {
    const bool ok = g_ascii_isalpha(c) || g_ascii_isdigit(c) || c == '+' || c == '-' || c == '.' ||
                    c == '/' || c == ':' || c == '_';
    out.push_back(ok ? c : '_');
  }
  if (out.empty())
    out = "object";
  if (!g_ascii_isalpha(out[0]) && out[0] != '_')
    out = "cls_" + out;
  return out;
}

char *nmx_tarkin_serialize_boxes(const std::vector<DetectionBox> &boxes, const char *const *labels,
                                 int width, int height, guint frame_index)
{
  GValue list_value = G_VALUE_INIT;
  GValue boxes_value = G_VALUE_INIT;
  g_value_init(&list_value, GST_TYPE_LIST);
  g_value_init(&boxes_value, GST_TYPE_ARRAY);

  guint emitted = 0;
  for (const DetectionBox &b : boxes) {
    if (emitted >= kMaxSerializedBoxes)
      break;
    float x1 = b.x, y1 = b.y, x2 = b.x + b.w, y2 = b.y + b.h;
    if (width >= 1) {
      x1 = std::min(std::max(x1, 0.0f), (float)width);
      x2 = std::min(std::max(x2, 0.0f), (float)width);
    } else {
      x1 = x2 = 0.0f;
    }
    if (height >= 1) {
      y1 = std::min(std::max(y1, 0.0f), (float)height);
      y2 = std::min(std::max(y2, 0.0f), (float)height);
    } else {
      y1 = y2 = 0.0f;
    }
    if (x2 < x1)
      std::swap(x1, x2);
    if (y2 < y1)
      std::swap(y1, y2);
    const float rect[4] = {
        width >= 1 ? x1 / (float)width : 0.0f,
        height >= 1 ? y1 / (float)height : 0.0f,
        width >= 1 ? (x2 - x1) / (float)width : 0.0f,
        height >= 1 ? (y2 - y1) / (float)height : 0.0f,
    };
    const char *label = (b.class_id >= 0 && b.class_id < GST_NMX_TARKIN_OBJ_CLASS_NUM) ? labels[b.class_id]
                                                                                      : "unknown";
    const std::string name = nmx_tarkin_make_valid_structure_name(label);

    GValue rect_value = G_VALUE_INIT;
    g_value_init(&rect_value, GST_TYPE_ARRAY);
    for (float v : rect) {
      GValue f = G_VALUE_INIT;
      g_value_init(&f, G_TYPE_FLOAT);
      g_value_set_float(&f, v);
      gst_value_array_append_and_take_value(&rect_value, &f);
    }
    GstStructure *s = gst_structure_new(name.c_str(), "id", G_TYPE_UINT, kFirstBoxId + emitted,
                                        "confidence", G_TYPE_DOUBLE, (double)b.score * 100.0, "color",
                                        G_TYPE_UINT, kBoxColor, NULL);
    gst_structure_take_value(s, "rectangle", &rect_value);
    GValue sv = G_VALUE_INIT;
    g_value_init(&sv, GST_TYPE_STRUCTURE);
    gst_value_set_structure(&sv, s);
    gst_structure_free(s);
    gst_value_array_append_and_take_value(&boxes_value, &sv);
    emitted++;
  }

  GstStructure *top = gst_structure_new("ObjectDetection", "batch-index", G_TYPE_UINT, 0u, "timestamp",
                                        G_TYPE_UINT64, (guint64)frame_index, "sequence-index", G_TYPE_UINT,
                                        1u, "sequence-num-entries", G_TYPE_UINT, 1u, NULL);
  gst_structure_take_value(top, "bounding-boxes", &boxes_value);
  GValue tv = G_VALUE_INIT;
  g_value_init(&tv, GST_TYPE_STRUCTURE);
  gst_value_set_structure(&tv, top);
  gst_structure_free(top);
  gst_value_list_append_and_take_value(&list_value, &tv);
  char *text = gst_value_serialize(&list_value);
  g_value_unset(&list_value);
  return text;
}

char *nmx_tarkin_json_boxes(const std::vector<DetectionBox> &boxes, const char *const *labels, int width,
                            int height, guint64 frame, GstClockTime pts)
{
  nmx::detection::Frame f;
  f.frame = frame;
  f.has_pts = GST_CLOCK_TIME_IS_VALID(pts);
  f.pts_ns = f.has_pts ? pts : 0;
  f.width = width;
  f.height = height;
  f.detections.reserve(std::min<size_t>(boxes.size(), kMaxSerializedBoxes));
  for (const DetectionBox &b : boxes) {
    if (f.detections.size() >= kMaxSerializedBoxes)
      break;
    nmx::detection::Detection d;
    d.class_id = b.class_id;
    d.label = (b.class_id >= 0 && b.class_id < GST_NMX_TARKIN_OBJ_CLASS_NUM) ? labels[b.class_id] : "unknown";
    d.confidence = b.score;
    d.x = b.x;
    d.y = b.y;
    d.width = b.w;
    d.height = b.h;
    f.detections.push_back(std::move(d));
  }
  const std::string line = nmx::detection::to_json_line(f);
  return g_strndup(line.data(), line.size());
}

gboolean nmx_tarkin_check_output_size(const GstNmxTarkinEngine *engine, const char *what, unsigned int index,
                                      const unsigned int *sizes, unsigned int count, size_t declared_elements)
{
  if (nmx::yolo::output_size_covers(sizes[index], declared_elements))
    return TRUE;
  std::vector<uint32_t> all(sizes, sizes + count);
  const std::string looks = nmx::yolo::describe_output_sizes(all.data(), count);
  std::string reported;
  for (unsigned int i = 0; i < count; i++)
    reported += (i ? ", " : "") + std::to_string(sizes[i]);
  NMX_ENGINE_ERROR("nmx-tarkin: %s output %u reports size %u, smaller than its declared shape "
                   "(%zu elements or %zu bytes) at model-size %d; the outputs report %s%s%s",
                   what, index, sizes[index], declared_elements, declared_elements * sizeof(float),
                   engine->geometry.size, reported.c_str(), looks.empty() ? "" : ", which looks like ",
                   looks.c_str());
  return FALSE;
}

void nmx_tarkin_check_logits(GstNmxTarkinEngine *engine, const float *const *heads, const size_t *elements)
{
  if (engine->unit_check_done)
    return;
  for (int h = 0; h < 3; h++)
    if (!nmx::yolo::all_in_unit_interval(heads[h], elements[h])) {
      engine->unit_check_done = true;  // logits: nothing to warn about, ever
      return;
    }
  engine->unit_check_done = true;
  engine->pending_warning =
      "nmx-tarkin: every value of the YOLOv5 outputs lies in 0..1: the model looks exported with its "
      "sigmoids applied, but yolov5 decoding expects raw logits (expect many boxes of about 35 %); export "
      "the raw heads";
  GST_WARNING("%s", engine->pending_warning.c_str());
}

GstNmxTarkinEngine *gst_nmx_tarkin_engine_new(const GstStructure *settings)
{
  nmx_tarkin_clear_last_error();
  if (!settings)
    return nullptr;
  const gchar *model = gst_structure_get_string(settings, "model");
  if (!model || !*model) {
    NMX_ENGINE_ERROR("nmx-tarkin: missing required property 'model'");
    return nullptr;
  }
  auto *engine = new GstNmxTarkinEngine();
  engine->settings = gst_structure_copy(settings);
  engine->model_path = model;

  engine->model_type = nmx_tarkin_normalize_model_type(gst_structure_get_string(settings, "model-type"), "yolov5");
  if (engine->model_type == "yolov5") {
    engine->model_kind = kKindYolov5;
  } else if (engine->model_type == "yolov8-detection") {
    engine->model_kind = kKindYolov8Detection;
  } else if (engine->model_type == "yolov8") {
    GST_WARNING("nmx-tarkin: model-type 'yolov8' is deprecated, use 'yolov8-detection'");
    engine->model_type = "yolov8-detection";
    engine->model_kind = kKindYolov8Detection;
  } else {
    NMX_ENGINE_ERROR("nmx-tarkin: unsupported model-type '%s'", engine->model_type.c_str());
    return fail(engine);
  }
  const bool v8 = engine->model_kind == kKindYolov8Detection;

  engine->box_thresh = GST_NMX_TARKIN_DEFAULT_BOX_THRESH;
  engine->nms_thresh = GST_NMX_TARKIN_DEFAULT_NMS_THRESH;
  nmx_tarkin_core_read_thresholds(engine, settings);
  if (!nmx_tarkin_core_read_model_size(engine, settings, kPrefix))
    return fail(engine);
  // The colour order the model was trained on: YOLOv8 exports take RGB; YOLOv5 is
  // fed BGR unless told otherwise (stock YOLOv5 models were trained on RGB).
  engine->channel_rgb = v8;
  if (const gchar *order = gst_structure_get_string(settings, "channel-order")) {
    const std::string o = nmx_tarkin_normalize_model_type(order, "");
    if (o == "rgb" || o == "bgr") {
      engine->channel_rgb = o == "rgb";
    } else {
      NMX_ENGINE_ERROR("nmx-tarkin: unsupported channel-order '%s' (use bgr or rgb)", order);
      return fail(engine);
    }
  }
  GST_INFO("nmx-tarkin: model-type=%s thresholds box=%.3f nms=%.3f print-valid-boxes=%s",
           engine->model_type.c_str(), engine->box_thresh, engine->nms_thresh,
           engine->print_valid_boxes ? "true" : "false");
  GST_INFO("nmx-tarkin: model-size=%d channel-order=%s", engine->geometry.size, engine->channel_rgb ? "rgb" : "bgr");

  const unsigned int S = (unsigned int)engine->geometry.size;
  const unsigned int N = (unsigned int)engine->geometry.candidates;
  const unsigned int g[3] = {(unsigned int)engine->geometry.grid[0], (unsigned int)engine->geometry.grid[1],
                             (unsigned int)engine->geometry.grid[2]};
  const Velkor::Tarkin::Shapes input_shapes = {{1, S, S, 3}};
  const Velkor::Tarkin::Shapes output_shapes =
      v8 ? Velkor::Tarkin::Shapes{{1, 4, N}, {1, 80, N}}
         : Velkor::Tarkin::Shapes{{1, g[1], g[1], 255}, {1, g[2], g[2], 255}, {1, g[0], g[0], 255}};
  if (!nmx_tarkin_core_open_runtime(engine, kPrefix, input_shapes, output_shapes, v8 ? kConfigYolov8 : kConfigYolov5))
    return fail(engine);
  engine->input_tensor.assign((size_t)S * S * 3, 0.0f);
  return engine;
}

void gst_nmx_tarkin_engine_free(GstNmxTarkinEngine *engine)
{
  if (!engine)
    return;
  nmx_tarkin_core_close(engine);
  delete engine;
}

namespace {

gboolean execute(GstNmxTarkinEngine *engine, const guint8 *bgr, int width, int height, int stride, guint frame_index,
                 char **out_text, gsize *out_len, const NmxTarkinTextRequest *request)
{
  nmx_tarkin_clear_last_error();
  if (!engine)
    return FALSE;
  switch (engine->model_kind) {
    case kKindYolov5:
      return gst_nmx_tarkin_engine_execute_yolov5(engine, bgr, width, height, stride, frame_index, out_text, out_len,
                                                  request);
    case kKindYolov8Detection:
      return gst_nmx_tarkin_engine_execute_yolov8_detection(engine, bgr, width, height, stride, frame_index,
                                                            out_text, out_len, request);
    default:
      NMX_ENGINE_ERROR("nmx-tarkin: model-type '%s' is not implemented", engine->model_type.c_str());
      return FALSE;
  }
}

}  // namespace

gboolean gst_nmx_tarkin_engine_execute_video(GstNmxTarkinEngine *engine, const guint8 *bgr, int width,
                                             int height, int stride, guint frame_index, char **out_text,
                                             gsize *out_len)
{
  return execute(engine, bgr, width, height, stride, frame_index, out_text, out_len, nullptr);
}

gboolean gst_nmx_tarkin_engine_execute_json(GstNmxTarkinEngine *engine, const guint8 *bgr, int width, int height,
                                            int stride, guint64 frame, GstClockTime pts, char **out_text,
                                            gsize *out_len)
{
  NmxTarkinTextRequest request;
  request.json = true;
  request.frame = frame;
  request.pts = pts;
  return execute(engine, bgr, width, height, stride, (guint)(frame & 0xffffffffu), out_text, out_len, &request);
}

gboolean nmx_tarkin_engine_detect_boxes(GstNmxTarkinEngine *engine, const guint8 *bgr, int width, int height,
                                        int stride, std::vector<DetectionBox> *out)
{
  if (!out)
    return FALSE;
  out->clear();
  NmxTarkinTextRequest request;
  request.boxes = out;
  char *text = nullptr;
  gsize len = 0;
  // Frame 1: the engine's every-25th-frame timing line stays out of a stream's log.
  const gboolean ok = execute(engine, bgr, width, height, stride, 1, &text, &len, &request);
  g_free(text);
  return ok;
}

gchar *gst_nmx_tarkin_engine_take_warning(GstNmxTarkinEngine *engine)
{
  if (!engine)
    return nullptr;
  std::lock_guard<std::mutex> lock(engine->mutex);
  if (engine->pending_warning.empty())
    return nullptr;
  gchar *w = g_strdup(engine->pending_warning.c_str());
  engine->pending_warning.clear();
  return w;
}

const char *gst_nmx_tarkin_engine_last_error(void)
{
  return nmx_tarkin_last_error();
}

extern const char *const nmx_tarkin_coco80[80] = {
    "person",        "bicycle",      "car",           "motorcycle",    "airplane",     "bus",
    "train",         "truck",        "boat",          "traffic light", "fire hydrant", "stop sign",
    "parking meter", "bench",        "bird",          "cat",           "dog",          "horse",
    "sheep",         "cow",          "elephant",      "bear",          "zebra",        "giraffe",
    "backpack",      "umbrella",     "handbag",       "tie",           "suitcase",     "frisbee",
    "skis",          "snowboard",    "sports ball",   "kite",          "baseball bat", "baseball glove",
    "skateboard",    "surfboard",    "tennis racket", "bottle",        "wine glass",   "cup",
    "fork",          "knife",        "spoon",         "bowl",          "banana",       "apple",
    "sandwich",      "orange",       "broccoli",      "carrot",        "hot dog",      "pizza",
    "donut",         "cake",         "chair",         "couch",         "potted plant", "bed",
    "dining table",  "toilet",       "tv",            "laptop",        "mouse",        "remote",
    "keyboard",      "cell phone",   "microwave",     "oven",          "toaster",      "sink",
    "refrigerator",  "book",         "clock",         "vase",          "scissors",     "teddy bear",
    "hair drier",    "toothbrush"};
