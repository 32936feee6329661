// SPDX-License-Identifier: BSD-3-Clause
// C API over the YOLO letterbox, decode and suppression the detection engine uses
// (nmx_yolo_common), so an application's own inference sees exactly the engine's
// pre- and post-processing. Nothing here logs, and no exception crosses the C
// boundary: a failure is a 0 result.
#include "nmx_customize.h"

#include "nmx-yolo-common.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

static_assert(sizeof(NmxCustomizeDetection) == 24, "NmxCustomizeDetection must stay 24 bytes");

namespace {

using Detections = std::vector<NmxCustomizeDetection>;

constexpr uint32_t kInitialCapacity = 16;

bool valid_preprocess_args(const NmxCustomizeImageFrame *frame, const float *dst, size_t dst_count,
                           int dst_width, int dst_height, const NmxCustomizeLetterboxInfo *info)
{
  if (!frame || !frame->data || !dst || !info)
    return false;
  if (frame->width <= 0 || frame->height <= 0 || frame->stride <= 0 || dst_width <= 0 || dst_height <= 0)
    return false;
  // In 64 bits: dst_width * dst_height * 3 overflows int for large targets.
  const unsigned long long need = (unsigned long long)dst_width * (unsigned long long)dst_height * 3ull;
  return (unsigned long long)dst_count == need;
}

// NaN passes a "<= 0" test and infinity would turn every box into inf/NaN.
bool valid_scale(float scale)
{
  return std::isfinite(scale) && scale > 0.0f;
}

int preprocess(const NmxCustomizeImageFrame *frame, float *dst, size_t dst_count, int dst_width, int dst_height,
               NmxCustomizeLetterboxInfo *info, bool yolov8)
{
  if (!valid_preprocess_args(frame, dst, dst_count, dst_width, dst_height, info))
    return 0;
  // A row shorter than width * 3 bytes would be read past its end.
  if ((long long)frame->stride < (long long)frame->width * 3)
    return 0;
  try {
    // Local scratch: the library keeps nothing between calls, not even per thread.
    nmx::yolo::LetterboxScratch scratch;
    float scale = 1.0f;
    int new_w = 0, new_h = 0;
    const bool ok = yolov8
                        ? nmx::yolo::letterbox_yolov8(frame->data, frame->width, frame->height, frame->stride, dst,
                                                      dst_width, dst_height, &scale, &new_w, &new_h, &scratch)
                        : nmx::yolo::letterbox_yolov5(frame->data, frame->width, frame->height, frame->stride, dst,
                                                      dst_width, dst_height, &scale, &new_w, &new_h, &scratch);
    if (!ok)
      return 0;
    info->scale = scale;
    info->resized_width = new_w;
    info->resized_height = new_h;
    return 1;
  } catch (...) {
    return 0;
  }
}

// Replaces the list's content with dets. On failure the list is left as it was.
int store(NmxCustomizeDetectionList *list, const Detections &dets)
{
  const size_t n = dets.size();
  if (n > UINT32_MAX)
    return 0;
  // A list whose items are NULL holds no memory, whatever its capacity says.
  const uint32_t capacity = list->items ? list->capacity : 0;
  if (n > capacity) {
    long long grown = capacity ? capacity : kInitialCapacity;
    while (grown < (long long)n) {
      grown *= 2;
      if (grown > INT32_MAX) {
        grown = (long long)n;
        break;
      }
    }
    void *items = std::realloc(list->items, (size_t)grown * sizeof(NmxCustomizeDetection));
    if (!items)
      return 0;
    list->items = static_cast<NmxCustomizeDetection *>(items);
    list->capacity = (uint32_t)grown;
  }
  list->count = (uint32_t)n;
  if (n)
    std::memcpy(list->items, dets.data(), n * sizeof(NmxCustomizeDetection));
  return 1;
}

// A view is decoded only when it holds its whole layout: its data is there and its
// size is the layout's element count or covers its byte count.
bool view_holds(const NmxCustomizeTensorView &v, size_t elements)
{
  return v.data && nmx::yolo::output_size_covers(v.size, elements);
}

int postprocess_yolov5(const NmxCustomizeTensorView *outputs, uint32_t output_count, NmxCustomizeDetectionList *list,
                       float box_thresh, float nms_thresh, float scale, int model_size)
{
  nmx::yolo::ModelGeometry g;
  if (!outputs || !list || output_count < 3 || !valid_scale(scale) || !nmx::yolo::model_geometry(model_size, &g))
    return 0;
  try {
    std::vector<uint32_t> sizes(output_count);
    for (uint32_t i = 0; i < output_count; i++)
      sizes[i] = outputs[i].size;
    int heads[3];
    nmx::yolo::route_yolov5_outputs(sizes.data(), output_count, g, heads);
    for (int h = 0; h < 3; h++)
      if (!view_holds(outputs[heads[h]], g.v5_head_elements[h]))
        return 0;
    nmx::yolo::Yolov5Result r;
    nmx::yolo::decode_yolov5(outputs[heads[0]].data, outputs[heads[1]].data, outputs[heads[2]].data, g, box_thresh,
                             nms_thresh, &r);
    Detections dets;
    dets.reserve(r.order.size());
    for (int idx : r.order) {
      if (idx < 0)
        continue;
      const float *b = &r.boxes[(size_t)idx * 4];
      dets.push_back(NmxCustomizeDetection{r.class_ids[idx], r.scores[idx], b[0] * scale, b[1] * scale,
                                           b[2] * scale, b[3] * scale});
    }
    return store(list, dets);
  } catch (...) {
    return 0;
  }
}

int postprocess_yolov8(const NmxCustomizeTensorView *outputs, uint32_t output_count, NmxCustomizeDetectionList *list,
                       float box_thresh, float nms_thresh, float scale, int model_size)
{
  nmx::yolo::ModelGeometry g;
  if (!outputs || !list || output_count < 2 || !valid_scale(scale) || !nmx::yolo::model_geometry(model_size, &g))
    return 0;
  try {
    std::vector<uint32_t> sizes(output_count);
    for (uint32_t i = 0; i < output_count; i++)
      sizes[i] = outputs[i].size;
    int box = 0, cls = 1;
    nmx::yolo::route_yolov8_outputs(sizes.data(), output_count, g, &box, &cls);
    if (!view_holds(outputs[box], g.v8_box_elements) || !view_holds(outputs[cls], g.v8_class_elements))
      return 0;
    nmx::yolo::Yolov8Result r;
    nmx::yolo::decode_yolov8(outputs[box].data, outputs[cls].data, g, scale, box_thresh, nms_thresh, &r);
    Detections dets;
    dets.reserve(r.keep.size());
    for (int idx : r.keep) {
      if (idx < 0 || (size_t)idx >= r.boxes.size() || (size_t)idx >= r.scores.size() ||
          (size_t)idx >= r.class_ids.size())
        continue;
      const cv::Rect &b = r.boxes[idx];
      dets.push_back(NmxCustomizeDetection{r.class_ids[idx], r.scores[idx], (float)b.x, (float)b.y, (float)b.width,
                                           (float)b.height});
    }
    return store(list, dets);
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

int nmx_customize_get_api_version(void)
{
  return NMX_CUSTOMIZE_API_VERSION;
}

void nmx_customize_detection_list_reset(NmxCustomizeDetectionList *list)
{
  if (list)
    list->count = 0;
}

void nmx_customize_detection_list_release(NmxCustomizeDetectionList *list)
{
  if (!list)
    return;
  std::free(list->items);
  list->items = nullptr;
  list->count = 0;
  list->capacity = 0;
}

int nmx_customize_preprocess_yolov5(const NmxCustomizeImageFrame *frame, float *dst, size_t dst_count, int dst_width,
                                    int dst_height, NmxCustomizeLetterboxInfo *info)
{
  return preprocess(frame, dst, dst_count, dst_width, dst_height, info, false);
}

int nmx_customize_preprocess_yolov8_detection(const NmxCustomizeImageFrame *frame, float *dst, size_t dst_count,
                                              int dst_width, int dst_height, NmxCustomizeLetterboxInfo *info)
{
  return preprocess(frame, dst, dst_count, dst_width, dst_height, info, true);
}

int nmx_customize_postprocess_yolov5(const NmxCustomizeTensorView *outputs, uint32_t output_count,
                                     NmxCustomizeDetectionList *list, float box_thresh, float nms_thresh,
                                     float scale)
{
  return postprocess_yolov5(outputs, output_count, list, box_thresh, nms_thresh, scale, NMX_CUSTOMIZE_MODEL_SIZE);
}

int nmx_customize_postprocess_yolov5_at_size(const NmxCustomizeTensorView *outputs, uint32_t output_count,
                                             NmxCustomizeDetectionList *list, float box_thresh, float nms_thresh,
                                             float scale, int model_size)
{
  return postprocess_yolov5(outputs, output_count, list, box_thresh, nms_thresh, scale, model_size);
}

int nmx_customize_postprocess_yolov8_detection(const NmxCustomizeTensorView *outputs, uint32_t output_count,
                                               NmxCustomizeDetectionList *list, float box_thresh, float nms_thresh,
                                               float scale)
{
  return postprocess_yolov8(outputs, output_count, list, box_thresh, nms_thresh, scale, NMX_CUSTOMIZE_MODEL_SIZE);
}

int nmx_customize_postprocess_yolov8_detection_at_size(const NmxCustomizeTensorView *outputs, uint32_t output_count,
                                                       NmxCustomizeDetectionList *list, float box_thresh,
                                                       float nms_thresh, float scale, int model_size)
{
  return postprocess_yolov8(outputs, output_count, list, box_thresh, nms_thresh, scale, model_size);
}

}  // extern "C"
