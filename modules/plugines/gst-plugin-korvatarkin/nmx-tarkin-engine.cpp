// SPDX-License-Identifier: BSD-3-Clause
// Detection engine: creation from the settings structure, per-frame dispatch and
// the serialized detection text.
#include "nmx-tarkin-engine-private.h"

#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"

#include <algorithm>
#include <cctype>

namespace {

using Velkor::Tarkin::Config;
using Velkor::Tarkin::InterpreterBuilder;
using Velkor::Tarkin::Model;

constexpr int kKindYolov5 = 0;
constexpr int kKindYolov8Detection = 1;
constexpr guint kMaxSerializedBoxes = 512;
constexpr guint kFirstBoxId = 256;
constexpr guint kBoxColor = 0xFF00FF;
constexpr uint8_t kConfigFamilyYolov8 = 4;
constexpr uint8_t kConfigFamilyYolov5 = 108;

std::string normalize_model_type(const gchar *type)
{
  std::string t = (type && *type) ? type : "yolov5";
  for (char &c : t)
    c = (char)std::tolower((unsigned char)c);
  return t;
}

float clamp_thresh(double v)
{
  return (float)std::min(1.0, std::max(0.0, v));
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

gboolean nmx_tarkin_check_output_size(const char *what, unsigned int index, unsigned int reported,
                                      size_t declared_elements)
{
  if (nmx::yolo::output_size_covers(reported, declared_elements))
    return TRUE;
  GST_ERROR("nmx-tarkin: %s output %u reports size %u, smaller than its declared shape "
            "(%zu elements or %zu bytes)",
            what, index, reported, declared_elements, declared_elements * sizeof(float));
  return FALSE;
}

GstNmxTarkinEngine *gst_nmx_tarkin_engine_new(const GstStructure *settings)
{
  if (!settings)
    return nullptr;
  const gchar *model = gst_structure_get_string(settings, "model");
  if (!model || !*model) {
    GST_ERROR("nmx-tarkin: missing required property 'model'");
    return nullptr;
  }
  auto *engine = new GstNmxTarkinEngine();
  engine->settings = gst_structure_copy(settings);
  engine->model_path = model;

  engine->model_type = normalize_model_type(gst_structure_get_string(settings, "model-type"));
  if (engine->model_type == "yolov5") {
    engine->model_kind = kKindYolov5;
  } else if (engine->model_type == "yolov8-detection") {
    engine->model_kind = kKindYolov8Detection;
  } else if (engine->model_type == "yolov8") {
    GST_WARNING("nmx-tarkin: model-type 'yolov8' is deprecated, use 'yolov8-detection'");
    engine->model_type = "yolov8-detection";
    engine->model_kind = kKindYolov8Detection;
  } else {
    GST_ERROR("nmx-tarkin: unsupported model-type '%s'", engine->model_type.c_str());
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }

  gdouble box = GST_NMX_TARKIN_DEFAULT_BOX_THRESH, nms = GST_NMX_TARKIN_DEFAULT_NMS_THRESH;
  gboolean print = TRUE;
  if (!gst_structure_get_double(settings, "box-thresh", &box))
    box = GST_NMX_TARKIN_DEFAULT_BOX_THRESH;
  if (!gst_structure_get_double(settings, "nms-thresh", &nms))
    nms = GST_NMX_TARKIN_DEFAULT_NMS_THRESH;
  if (!gst_structure_get_boolean(settings, "print-valid-boxes", &print))
    print = TRUE;
  engine->box_thresh = clamp_thresh(box);
  engine->nms_thresh = clamp_thresh(nms);
  engine->print_valid_boxes = print;
  GST_INFO("nmx-tarkin: model-type=%s thresholds box=%.3f nms=%.3f print-valid-boxes=%s",
           engine->model_type.c_str(), engine->box_thresh, engine->nms_thresh, print ? "true" : "false");

  const bool v8 = engine->model_kind == kKindYolov8Detection;
  engine->model = Model::create_instance(engine->model_path);
  if (!engine->model) {
    GST_ERROR("nmx-tarkin: Model::create_instance failed (%s)", engine->model_path.c_str());
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }
  const Velkor::Tarkin::Shapes input_shapes = {{1, GST_NMX_TARKIN_MODEL_SIZE, GST_NMX_TARKIN_MODEL_SIZE, 3}};
  const Velkor::Tarkin::Shapes output_shapes =
      v8 ? Velkor::Tarkin::Shapes{{1, 4, 8400}, {1, 80, 8400}}
         : Velkor::Tarkin::Shapes{{1, 40, 40, 255}, {1, 20, 20, 255}, {1, 80, 80, 255}};
  engine->model->set_model_properties(input_shapes, Velkor::Tarkin::DataType(4), output_shapes,
                                      Velkor::Tarkin::DataType(4));
  engine->config = Config::create_instance();
  if (!engine->config) {
    GST_ERROR("nmx-tarkin: Config::create_instance failed");
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }
  engine->config->runtime = 3;
  engine->config->performance = 3;
  engine->config->model_family = v8 ? kConfigFamilyYolov8 : kConfigFamilyYolov5;
  engine->config->output_layout = v8 ? 1 : 0;
  engine->interpreter = InterpreterBuilder::build_interpretper_from_model_and_config(engine->model, engine->config);
  if (!engine->interpreter) {
    GST_ERROR("nmx-tarkin: build_interpretper_from_model_and_config failed");
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }
  if (engine->interpreter->init(nullptr) != 0) {
    GST_ERROR("nmx-tarkin: interpreter init failed");
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }
  if (engine->interpreter->load_model(nullptr) != 0) {
    GST_ERROR("nmx-tarkin: interpreter load_model failed");
    gst_nmx_tarkin_engine_free(engine);
    return nullptr;
  }
  engine->input_tensor.assign(GST_NMX_TARKIN_INPUT_ELEMENTS, 0.0f);
  return engine;
}

void gst_nmx_tarkin_engine_free(GstNmxTarkinEngine *engine)
{
  if (!engine)
    return;
  engine->interpreter.reset();
  // Model and config belong to the runtime.
  engine->model = nullptr;
  engine->config = nullptr;
  if (engine->settings)
    gst_structure_free(engine->settings);
  delete engine;
}

gboolean gst_nmx_tarkin_engine_execute_video(GstNmxTarkinEngine *engine, const guint8 *bgr, int width,
                                             int height, int stride, guint frame_index, char **out_text,
                                             gsize *out_len)
{
  if (!engine)
    return FALSE;
  switch (engine->model_kind) {
    case kKindYolov5:
      return gst_nmx_tarkin_engine_execute_yolov5(engine, bgr, width, height, stride, frame_index, out_text,
                                                  out_len);
    case kKindYolov8Detection:
      return gst_nmx_tarkin_engine_execute_yolov8_detection(engine, bgr, width, height, stride, frame_index,
                                                            out_text, out_len);
    default:
      GST_ERROR("nmx-tarkin: model-type '%s' is not implemented", engine->model_type.c_str());
      return FALSE;
  }
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
