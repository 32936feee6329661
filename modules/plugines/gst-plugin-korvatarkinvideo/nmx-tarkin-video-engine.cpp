// SPDX-License-Identifier: BSD-3-Clause
// Segmentation engine: creation from the settings structure and per-frame dispatch.
#include "nmx-tarkin-video-engine-private.h"

#include <algorithm>
#include <cctype>

namespace {

using Velkor::Tarkin::Config;
using Velkor::Tarkin::InterpreterBuilder;
using Velkor::Tarkin::Model;

constexpr int kKindYolov8Segmentation = 0;
constexpr const char *kDefaultModelType = "yolov8-segmentation";
// The yolov8 (anchor-free, split outputs) configuration of the runtime.
constexpr uint8_t kConfigRuntime = 3;
constexpr uint8_t kConfigPerformance = 3;
constexpr uint8_t kConfigFamilyYolov8 = 4;
constexpr int32_t kConfigSplitOutputs = 1;

std::string normalize_model_type(const gchar *type)
{
  std::string t = (type && *type) ? type : kDefaultModelType;
  for (char &c : t)
    c = (char)std::tolower((unsigned char)c);
  return t;
}

float clamp_thresh(double v)
{
  return (float)std::min(1.0, std::max(0.0, v));
}

GstNmxTarkinVideoEngine *fail(GstNmxTarkinVideoEngine *engine)
{
  gst_nmx_tarkin_video_engine_free(engine);
  return nullptr;
}

}  // namespace

GstNmxTarkinVideoEngine *gst_nmx_tarkin_video_engine_new(const GstStructure *settings)
{
  if (!settings)
    return nullptr;
  auto *engine = new GstNmxTarkinVideoEngine();
  engine->settings = gst_structure_copy(settings);
  const gchar *model = gst_structure_get_string(settings, "model");
  engine->model_path = model ? model : "";

  engine->model_type = normalize_model_type(gst_structure_get_string(settings, "model-type"));
  if (engine->model_type == "yolov8-segmentation" || engine->model_type == "yolov8-segment") {
    engine->model_type = kDefaultModelType;
    engine->model_kind = kKindYolov8Segmentation;
  } else {
    GST_ERROR("nmx-tarkin-video: unsupported model-type '%s'", engine->model_type.c_str());
    return fail(engine);
  }

  gdouble box = 0.5, nms = 0.45;
  gboolean print = TRUE;
  if (gst_structure_get_double(settings, "box-thresh", &box))
    engine->box_thresh = clamp_thresh(box);
  if (gst_structure_get_double(settings, "nms-thresh", &nms))
    engine->nms_thresh = clamp_thresh(nms);
  if (gst_structure_get_boolean(settings, "print-valid-boxes", &print))
    engine->print_valid_boxes = print;
  GST_INFO("nmx-tarkin-video: model-type=%s model=%s box=%.3f nms=%.3f print-valid-boxes=%s",
           engine->model_type.c_str(), engine->model_path.c_str(), engine->box_thresh, engine->nms_thresh,
           engine->print_valid_boxes ? "true" : "false");

  if (engine->model_path.empty()) {
    GST_ERROR("nmx-tarkin-video: missing required property 'model'");
    return fail(engine);
  }

  engine->model = Model::create_instance(engine->model_path);
  if (!engine->model) {
    GST_ERROR("nmx-tarkin-video: Model::create_instance failed (%s)", engine->model_path.c_str());
    return fail(engine);
  }
  const Velkor::Tarkin::Shapes input_shapes = {
      {1, GST_NMX_TARKIN_VIDEO_MODEL_SIZE, GST_NMX_TARKIN_VIDEO_MODEL_SIZE, 3}};
  const Velkor::Tarkin::Shapes output_shapes = {
      {1, GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM, GST_NMX_TARKIN_VIDEO_SEG_OUT_SIZE},
      {1, 4, GST_NMX_TARKIN_VIDEO_SEG_OUT_SIZE},
      {1, GST_NMX_TARKIN_VIDEO_OBJ_CLASS_NUM, GST_NMX_TARKIN_VIDEO_SEG_OUT_SIZE},
      {1, GST_NMX_TARKIN_VIDEO_SEG_PROTO_H, GST_NMX_TARKIN_VIDEO_SEG_PROTO_W, GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM}};
  engine->model->set_model_properties(input_shapes, Velkor::Tarkin::DataType(4), output_shapes,
                                      Velkor::Tarkin::DataType(4));
  engine->config = Config::create_instance();
  if (!engine->config) {
    GST_ERROR("nmx-tarkin-video: Config::create_instance failed");
    return fail(engine);
  }
  engine->config->runtime = kConfigRuntime;
  engine->config->performance = kConfigPerformance;
  engine->config->model_family = kConfigFamilyYolov8;
  engine->config->output_layout = kConfigSplitOutputs;
  engine->interpreter = InterpreterBuilder::build_interpretper_from_model_and_config(engine->model, engine->config);
  if (!engine->interpreter) {
    GST_ERROR("nmx-tarkin-video: build_interpretper_from_model_and_config failed");
    return fail(engine);
  }
  if (engine->interpreter->init(nullptr) != 0) {
    GST_ERROR("nmx-tarkin-video: interpreter init failed");
    return fail(engine);
  }
  if (engine->interpreter->load_model(nullptr) != 0) {
    GST_ERROR("nmx-tarkin-video: interpreter load_model failed");
    return fail(engine);
  }
  engine->input_tensor.assign(GST_NMX_TARKIN_VIDEO_INPUT_ELEMENTS, 0.0f);
  return engine;
}

void gst_nmx_tarkin_video_engine_free(GstNmxTarkinVideoEngine *engine)
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

gboolean gst_nmx_tarkin_video_engine_process_frame(GstNmxTarkinVideoEngine *engine, const guint8 *in, int width,
                                                   int height, int in_stride, GstVideoFormat out_format,
                                                   guint8 *out, int out_width, int out_height, int out_stride,
                                                   guint frame_index)
{
  if (!engine)
    return FALSE;
  if (engine->model_kind == kKindYolov8Segmentation)
    return gst_nmx_tarkin_video_engine_process_yolov8_segmentation(engine, in, width, height, in_stride,
                                                                   out_format, out, out_width, out_height,
                                                                   out_stride, frame_index);
  GST_ERROR("nmx-tarkin-video: model-type '%s' is not implemented", engine->model_type.c_str());
  return FALSE;
}

namespace nmx_tarkin_video {
const char *const kYoloV8SegCoco80[80] = {
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
    "dining table",  "toilet",       "TV",            "laptop",        "mouse",        "remote",
    "keyboard",      "cell phone",   "microwave",     "oven",          "toaster",      "sink",
    "refrigerator",  "book",         "clock",         "vase",          "scissors",     "teddy bear",
    "hair drier",    "toothbrush"};
}  // namespace nmx_tarkin_video
