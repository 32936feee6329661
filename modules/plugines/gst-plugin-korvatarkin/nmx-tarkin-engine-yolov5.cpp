// SPDX-License-Identifier: BSD-3-Clause
// YOLOv5 per-frame pipeline: letterbox, inference, three anchor heads, per-class
// suppression, serialized text.
#include "nmx-tarkin-engine-private.h"

#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"

// Head geometry at the default model size; other sizes take it from engine->geometry.
#define GST_NMX_TARKIN_PROP_BOX_SIZE 85
#define GST_NMX_TARKIN_STRIDE8_SIZE 80
#define GST_NMX_TARKIN_STRIDE16_SIZE 40
#define GST_NMX_TARKIN_STRIDE32_SIZE 20

namespace {

const char *const *const kCoco80 = nmx_tarkin_coco80;

// The kept detections in frame pixels, best first, at most 512 (what the text carries).
std::vector<DetectionBox> kept_boxes(const nmx::yolo::Yolov5Result &r, float scale)
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
  return boxes;
}

char *build_structure_text(const nmx::yolo::Yolov5Result &r, float scale, int width, int height,
                           guint frame_index, const NmxTarkinTextRequest *request)
{
  const std::vector<DetectionBox> boxes = kept_boxes(r, scale);
  if (request && request->boxes) {
    *request->boxes = boxes;
    return g_strdup("");
  }
  if (request && request->json)
    return nmx_tarkin_json_boxes(boxes, kCoco80, width, height, request->frame, request->pts);
  return nmx_tarkin_serialize_boxes(boxes, kCoco80, width, height, frame_index);
}

}  // namespace

gboolean gst_nmx_tarkin_engine_execute_yolov5(GstNmxTarkinEngine *engine, const guint8 *bgr, int width,
                                              int height, int stride, guint frame_index, char **out_text,
                                              gsize *out_len, const NmxTarkinTextRequest *request)
{
  if (!engine || !engine->interpreter || !bgr || !out_text || !out_len)
    return FALSE;
  std::lock_guard<std::mutex> lock(engine->mutex);
  *out_text = nullptr;
  *out_len = 0;

  // A stride shorter than a packed row would make the letterbox read past the frame.
  if (width < 1 || height < 1 || stride < 1 || (gint64)stride < (gint64)width * 3) {
    NMX_ENGINE_ERROR("nmx-tarkin: invalid input video shape w=%d h=%d stride=%d", width, height, stride);
    return FALSE;
  }
  const nmx::yolo::ModelGeometry &g = engine->geometry;
  float *input = nmx_tarkin_core_input(engine);

  float scale = 1.0f;
  int new_w = 0, new_h = 0;
  if (engine->channel_rgb)
    nmx::yolo::letterbox_yolov8(bgr, width, height, stride, input, g.size, g.size, &scale, &new_w, &new_h);
  else
    nmx::yolo::letterbox_yolov5(bgr, width, height, stride, input, g.size, g.size, &scale, &new_w, &new_h);

  int rc = engine->interpreter->set_input_tensor(0, input);
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin: set_input_tensor failed rc=%d", rc);
    return FALSE;
  }
  rc = engine->interpreter->invoke(nullptr);
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin: invoke failed rc=%d", rc);
    return FALSE;
  }
  void *data[3] = {nullptr, nullptr, nullptr};
  unsigned int sizes[3] = {0, 0, 0};
  for (unsigned int i = 0; i < 3; i++) {
    rc = engine->interpreter->get_output_tensor(i, &data[i], &sizes[i]);
    if (rc != 0) {
      // A two-output model here is most likely a YOLOv8 one run with the default model-type.
      const uint32_t got[2] = {sizes[0], sizes[1]};
      const std::string looks = i == 2 ? nmx::yolo::describe_output_sizes(got, 2) : std::string();
      NMX_ENGINE_ERROR("nmx-tarkin: get_output_tensor(%u) failed rc=%d%s%s", i, rc,
                       looks.empty() ? "" : "; outputs 0 and 1 look like ", looks.c_str());
      return FALSE;
    }
  }
  const uint32_t reported[3] = {sizes[0], sizes[1], sizes[2]};
  int heads[3];
  nmx::yolo::route_yolov5_outputs(reported, 3, g, heads);
  for (int h = 0; h < 3; h++) {
    if (!data[heads[h]]) {
      NMX_ENGINE_ERROR("nmx-tarkin: get_output_tensor(%d) returned no data", heads[h]);
      return FALSE;
    }
    if (!nmx_tarkin_check_output_size(engine, "yolov5", (unsigned int)heads[h], sizes, 3, g.v5_head_elements[h]))
      return FALSE;
  }

  const float *head[3] = {static_cast<const float *>(data[heads[0]]), static_cast<const float *>(data[heads[1]]),
                          static_cast<const float *>(data[heads[2]])};
  nmx_tarkin_check_logits(engine, head, g.v5_head_elements);
  nmx::yolo::Yolov5Result result;
  nmx::yolo::decode_yolov5(head[0], head[1], head[2], g, engine->box_thresh, engine->nms_thresh, &result);
  char *text = build_structure_text(result, scale, width, height, frame_index, request);
  if (!text)
    return FALSE;
  *out_text = text;
  *out_len = strlen(text);
  return TRUE;
}
