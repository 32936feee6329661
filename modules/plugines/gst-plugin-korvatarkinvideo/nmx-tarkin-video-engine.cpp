// SPDX-License-Identifier: BSD-3-Clause
// Segmentation engine: creation from the settings structure and per-frame dispatch.
#include "nmx-tarkin-video-engine-private.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr int kKindYolov8Segmentation = 0;
constexpr const char *kDefaultModelType = "yolov8-segmentation";
constexpr const char *kPrefix = "nmx-tarkin-video";
// The yolov8 (anchor-free, split outputs) configuration of the runtime.
constexpr NmxTarkinRuntimeConfig kConfigYolov8 = {3, 3, 4, 1};

GstNmxTarkinVideoEngine *fail(GstNmxTarkinVideoEngine *engine)
{
  gst_nmx_tarkin_video_engine_free(engine);
  return nullptr;
}

}  // namespace

GstNmxTarkinVideoEngine *gst_nmx_tarkin_video_engine_new(const GstStructure *settings)
{
  nmx_tarkin_clear_last_error();
  if (!settings)
    return nullptr;
  auto *engine = new GstNmxTarkinVideoEngine();
  engine->settings = gst_structure_copy(settings);
  const gchar *model = gst_structure_get_string(settings, "model");
  engine->model_path = model ? model : "";

  engine->model_type = nmx_tarkin_normalize_model_type(gst_structure_get_string(settings, "model-type"),
                                                       kDefaultModelType);
  if (engine->model_type == "yolov8-segmentation" || engine->model_type == "yolov8-segment") {
    engine->model_type = kDefaultModelType;
    engine->model_kind = kKindYolov8Segmentation;
  } else {
    NMX_ENGINE_ERROR("nmx-tarkin-video: unsupported model-type '%s'", engine->model_type.c_str());
    return fail(engine);
  }

  nmx_tarkin_core_read_thresholds(engine, settings);
  GST_INFO("nmx-tarkin-video: model-type=%s model=%s box=%.3f nms=%.3f print-valid-boxes=%s",
           engine->model_type.c_str(), engine->model_path.c_str(), engine->box_thresh, engine->nms_thresh,
           engine->print_valid_boxes ? "true" : "false");

  if (engine->model_path.empty()) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: missing required property 'model'");
    return fail(engine);
  }
  if (!nmx_tarkin_core_read_model_size(engine, settings, kPrefix))
    return fail(engine);

  const unsigned int S = (unsigned int)engine->geometry.size;
  const unsigned int N = (unsigned int)engine->geometry.candidates;
  const unsigned int P = (unsigned int)engine->geometry.proto;
  const unsigned int M = GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM;
  const Velkor::Tarkin::Shapes input_shapes = {{1, S, S, 3}};
  const Velkor::Tarkin::Shapes output_shapes = {
      {1, M, N}, {1, 4, N}, {1, GST_NMX_TARKIN_VIDEO_OBJ_CLASS_NUM, N}, {1, P, P, M}};
  if (!nmx_tarkin_core_open_runtime(engine, kPrefix, input_shapes, output_shapes, kConfigYolov8))
    return fail(engine);
  engine->input_tensor.assign((size_t)S * S * 3, 0.0f);
  return engine;
}

void gst_nmx_tarkin_video_engine_free(GstNmxTarkinVideoEngine *engine)
{
  if (!engine)
    return;
  nmx_tarkin_core_close(engine);
  delete engine;
}

const char *gst_nmx_tarkin_video_engine_last_error(void)
{
  return nmx_tarkin_last_error();
}

gboolean gst_nmx_tarkin_video_engine_process_frame(GstNmxTarkinVideoEngine *engine, const guint8 *in, int width,
                                                   int height, int in_stride, GstVideoFormat out_format,
                                                   guint8 *out, int out_width, int out_height, int out_stride,
                                                   guint frame_index)
{
  nmx_tarkin_clear_last_error();
  if (!engine)
    return FALSE;
  if (engine->model_kind == kKindYolov8Segmentation)
    return gst_nmx_tarkin_video_engine_process_yolov8_segmentation(engine, in, width, height, in_stride,
                                                                   out_format, out, out_width, out_height,
                                                                   out_stride, frame_index);
  NMX_ENGINE_ERROR("nmx-tarkin-video: model-type '%s' is not implemented", engine->model_type.c_str());
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
