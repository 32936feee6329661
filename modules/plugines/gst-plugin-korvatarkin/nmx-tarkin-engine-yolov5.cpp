// SPDX-License-Identifier: BSD-3-Clause
// YOLOv5 per-frame pipeline: letterbox, inference, three anchor heads, per-class
// suppression, serialized text.
#include "nmx-tarkin-engine-private.h"

#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"

#define GST_NMX_TARKIN_PROP_BOX_SIZE 85
#define GST_NMX_TARKIN_STRIDE8_SIZE 80
#define GST_NMX_TARKIN_STRIDE16_SIZE 40
#define GST_NMX_TARKIN_STRIDE32_SIZE 20

namespace {

const char *const *const kCoco80 = nmx_tarkin_coco80;

char *build_structure_text(const nmx::yolo::Yolov5Result &r, float scale, int width, int height,
                           guint frame_index)
{
  std::vector<DetectionBox> boxes;
  for (int idx : r.order) {
    if (idx < 0)
      continue;
    const float *b = &r.boxes[(size_t)idx * 4];
    boxes.push_back(DetectionBox{r.class_ids[idx], r.scores[idx], b[0] * scale, b[1] * scale, b[2] * scale,
                                 b[3] * scale});
    if (boxes.size() >= 512)
      break;
  }
  return nmx_tarkin_serialize_boxes(boxes, kCoco80, width, height, frame_index);
}

}  // namespace

gboolean gst_nmx_tarkin_engine_execute_yolov5(GstNmxTarkinEngine *engine, const guint8 *bgr, int width,
                                              int height, int stride, guint frame_index, char **out_text,
                                              gsize *out_len)
{
  if (!engine || !engine->interpreter || !bgr || !out_text || !out_len)
    return FALSE;
  std::lock_guard<std::mutex> lock(engine->mutex);
  *out_text = nullptr;
  *out_len = 0;

  // A stride shorter than a packed row would make the letterbox read past the frame.
  if (width < 1 || height < 1 || stride < 1 || (gint64)stride < (gint64)width * 3) {
    GST_ERROR("nmx-tarkin: invalid input video shape w=%d h=%d stride=%d", width, height, stride);
    return FALSE;
  }
  if (engine->input_tensor.size() != GST_NMX_TARKIN_INPUT_ELEMENTS)
    engine->input_tensor.resize(GST_NMX_TARKIN_INPUT_ELEMENTS);

  float scale = 1.0f;
  int new_w = 0, new_h = 0;
  nmx::yolo::letterbox_yolov5(bgr, width, height, stride, engine->input_tensor.data(),
                              GST_NMX_TARKIN_MODEL_SIZE, GST_NMX_TARKIN_MODEL_SIZE, &scale, &new_w, &new_h);

  int rc = engine->interpreter->set_input_tensor(0, engine->input_tensor.data());
  if (rc != 0) {
    GST_ERROR("nmx-tarkin: set_input_tensor failed rc=%d", rc);
    return FALSE;
  }
  rc = engine->interpreter->invoke(nullptr);
  if (rc != 0) {
    GST_ERROR("nmx-tarkin: invoke failed rc=%d", rc);
    return FALSE;
  }
  void *data[3] = {nullptr, nullptr, nullptr};
  unsigned int sizes[3] = {0, 0, 0};
  for (unsigned int i = 0; i < 3; i++) {
    rc = engine->interpreter->get_output_tensor(i, &data[i], &sizes[i]);
    if (rc != 0) {
      GST_ERROR("nmx-tarkin: get_output_tensor(%u) failed rc=%d", i, rc);
      return FALSE;
    }
  }
  const uint32_t reported[3] = {sizes[0], sizes[1], sizes[2]};
  int heads[3];
  nmx::yolo::route_yolov5_outputs(reported, 3, heads);
  static const size_t kHeadElements[3] = {
      (size_t)GST_NMX_TARKIN_STRIDE8_SIZE * GST_NMX_TARKIN_STRIDE8_SIZE * 3 * GST_NMX_TARKIN_PROP_BOX_SIZE,
      (size_t)GST_NMX_TARKIN_STRIDE16_SIZE * GST_NMX_TARKIN_STRIDE16_SIZE * 3 * GST_NMX_TARKIN_PROP_BOX_SIZE,
      (size_t)GST_NMX_TARKIN_STRIDE32_SIZE * GST_NMX_TARKIN_STRIDE32_SIZE * 3 * GST_NMX_TARKIN_PROP_BOX_SIZE,
  };
  for (int h = 0; h < 3; h++) {
    if (!data[heads[h]]) {
      GST_ERROR("nmx-tarkin: get_output_tensor(%d) returned no data", heads[h]);
      return FALSE;
    }
    if (!nmx_tarkin_check_output_size("yolov5", (unsigned int)heads[h], sizes[heads[h]], kHeadElements[h]))
      return FALSE;
  }

  nmx::yolo::Yolov5Result result;
  nmx::yolo::decode_yolov5(static_cast<const float *>(data[heads[0]]), static_cast<const float *>(data[heads[1]]),
                           static_cast<const float *>(data[heads[2]]), engine->box_thresh, engine->nms_thresh,
                           &result);
  char *text = build_structure_text(result, scale, width, height, frame_index);
  if (!text)
    return FALSE;
  *out_text = text;
  *out_len = strlen(text);
  return TRUE;
}
