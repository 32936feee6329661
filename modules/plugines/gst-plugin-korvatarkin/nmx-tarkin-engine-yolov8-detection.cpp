// SPDX-License-Identifier: BSD-3-Clause
// YOLOv8 detection per-frame pipeline: letterbox to RGB, inference, 4x8400 boxes and
// 80x8400 classes, class-agnostic suppression, serialized text.
#include "nmx-tarkin-engine-private.h"

#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"

// Output geometry at the default model size; other sizes take it from engine->geometry.
#define GST_NMX_TARKIN_YOLOV8_DET_BOX_DIM 4
#define GST_NMX_TARKIN_YOLOV8_DET_CLASS_DIM 80
#define GST_NMX_TARKIN_YOLOV8_DET_OUT_SIZE 8400
#define GST_NMX_TARKIN_YOLOV8_DET_CONCAT_DIM 85

namespace {

const char *const *const kYoloV8Coco80 = nmx_tarkin_coco80;

struct YoloV8DetectionContext {
  gint32 width = 0, height = 0, stride = 0;
  float scale = 1.0f;
  const float *box_output = nullptr;
  const float *class_output = nullptr;
  guint32 box_output_size = 0, class_output_size = 0;
  nmx::yolo::Yolov8Result result;  // class_ids, scores, boxes, keep_indices
};

gboolean yolov8_detection_preprocess(GstNmxTarkinEngine *engine, const guint8 *bgr, int width, int height,
                                     int stride, YoloV8DetectionContext *ctx)
{
  if (!bgr || !ctx || width < 1 || height < 1 || stride < 1 || (gint64)stride < (gint64)width * 3)
    return FALSE;
  const int S = engine->geometry.size;
  float *input = nmx_tarkin_core_input(engine);
  int new_w = 0, new_h = 0;
  const bool ok = engine->channel_rgb
                      ? nmx::yolo::letterbox_yolov8(bgr, width, height, stride, input, S, S, &ctx->scale, &new_w, &new_h)
                      : nmx::yolo::letterbox_yolov5(bgr, width, height, stride, input, S, S, &ctx->scale, &new_w, &new_h);
  if (!ok)
    return FALSE;
  ctx->width = width;
  ctx->height = height;
  ctx->stride = stride;
  return TRUE;
}

gboolean yolov8_detection_invoke(GstNmxTarkinEngine *engine, YoloV8DetectionContext *ctx)
{
  int rc = engine->interpreter->set_input_tensor(0, engine->input_tensor.data());
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection set_input_tensor failed rc=%d", rc);
    return FALSE;
  }
  rc = engine->interpreter->invoke(nullptr);
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection invoke failed rc=%d", rc);
    return FALSE;
  }
  void *data[2] = {nullptr, nullptr};
  unsigned int sizes[2] = {0, 0};
  for (unsigned int i = 0; i < 2; i++) {
    rc = engine->interpreter->get_output_tensor(i, &data[i], &sizes[i]);
    if (rc != 0) {
      NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection get_output_tensor(%u) failed rc=%d", i, rc);
      return FALSE;
    }
  }
  // pick_output_tensor: by reported size (elements or bytes), else outputs 0 and 1.
  const uint32_t reported[2] = {sizes[0], sizes[1]};
  int box_index = 0, class_index = 1;
  nmx::yolo::route_yolov8_outputs(reported, 2, engine->geometry, &box_index, &class_index);
  ctx->box_output = static_cast<const float *>(data[box_index]);
  ctx->box_output_size = sizes[box_index];
  ctx->class_output = static_cast<const float *>(data[class_index]);
  ctx->class_output_size = sizes[class_index];
  if (!ctx->box_output || !ctx->class_output) {
    NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection runtime returned no output data");
    return FALSE;
  }
  return nmx_tarkin_check_output_size(engine, "yolov8-detection box", (unsigned int)box_index, sizes, 2,
                                      engine->geometry.v8_box_elements) &&
         nmx_tarkin_check_output_size(engine, "yolov8-detection class", (unsigned int)class_index, sizes, 2,
                                      engine->geometry.v8_class_elements);
}

gboolean yolov8_detection_postprocess(GstNmxTarkinEngine *engine, YoloV8DetectionContext *ctx)
{
  if (!ctx->box_output || !ctx->class_output)
    return FALSE;
  nmx::yolo::decode_yolov8(ctx->box_output, ctx->class_output, engine->geometry, ctx->scale, engine->box_thresh,
                           engine->nms_thresh, &ctx->result);
  return TRUE;
}

char *serialize_detections(const YoloV8DetectionContext &ctx, guint frame_index, const NmxTarkinTextRequest *request)
{
  const auto &r = ctx.result;
  std::vector<DetectionBox> boxes;
  for (int idx : r.keep) {
    if (idx < 0 || (size_t)idx >= r.boxes.size() || (size_t)idx >= r.class_ids.size() ||
        (size_t)idx >= r.scores.size())
      continue;
    const cv::Rect &b = r.boxes[idx];
    boxes.push_back(DetectionBox{r.class_ids[idx], r.scores[idx], (float)b.x, (float)b.y, (float)b.width,
                                 (float)b.height});
    if (boxes.size() >= 512)
      break;
  }
  if (request && request->boxes) {
    *request->boxes = std::move(boxes);
    return g_strdup("");
  }
  if (request && request->json)
    return nmx_tarkin_json_boxes(boxes, kYoloV8Coco80, ctx.width, ctx.height, request->frame, request->pts);
  return nmx_tarkin_serialize_boxes(boxes, kYoloV8Coco80, ctx.width, ctx.height, frame_index);
}

gboolean yolov8_detection_serialize(const YoloV8DetectionContext &ctx, guint frame_index,
                                    const NmxTarkinTextRequest *request, char **out_text, gsize *out_len)
{
  char *text = serialize_detections(ctx, frame_index, request);
  if (!text)
    return FALSE;
  *out_text = text;
  *out_len = strlen(text);
  return TRUE;
}

}  // namespace

gboolean gst_nmx_tarkin_engine_execute_yolov8_detection(GstNmxTarkinEngine *engine, const guint8 *bgr,
                                                        int width, int height, int stride, guint frame_index,
                                                        char **out_text, gsize *out_len,
                                                        const NmxTarkinTextRequest *request)
{
  if (!engine || !engine->interpreter || !bgr || !out_text || !out_len)
    return FALSE;
  std::lock_guard<std::mutex> lock(engine->mutex);
  *out_text = nullptr;
  *out_len = 0;

  YoloV8DetectionContext ctx;
  const gint64 t0 = g_get_monotonic_time();
  if (!yolov8_detection_preprocess(engine, bgr, width, height, stride, &ctx)) {
    NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection preprocess stage failed");
    return FALSE;
  }
  const gint64 t1 = g_get_monotonic_time();
  if (!yolov8_detection_invoke(engine, &ctx))
    return FALSE;
  const gint64 t2 = g_get_monotonic_time();
  if (!yolov8_detection_postprocess(engine, &ctx))
    return FALSE;
  const gint64 t3 = g_get_monotonic_time();
  if (!yolov8_detection_serialize(ctx, frame_index, request, out_text, out_len)) {
    NMX_ENGINE_ERROR("nmx-tarkin: yolov8-detection serialize stage failed");
    return FALSE;
  }
  const gint64 t4 = g_get_monotonic_time();
  if (frame_index % 25 == 0) {
    g_printerr("[nmx-tarkin] infer_preprocess_ms=%.3f infer_invoke_ms=%.3f infer_postprocess_ms=%.3f "
               "infer_serialize_ms=%.3f infer_total_ms=%.3f\n",
               (t1 - t0) / 1000.0, (t2 - t1) / 1000.0, (t3 - t2) / 1000.0, (t4 - t3) / 1000.0,
               (t4 - t0) / 1000.0);
  }
  return TRUE;
}
