/* SPDX-License-Identifier: BSD-3-Clause */
/*
 * libnmx_customize: the detection element's YOLOv5 and YOLOv8-detection letterbox
 * and decode-and-suppress steps for applications that run inference themselves.
 * Plain C, no runtime, no GStreamer, no logging; every function is reentrant and
 * the library keeps no state between calls.
 *
 *   NmxCustomizeImageFrame frame = { bgr, width, height, stride };
 *   NmxCustomizeLetterboxInfo info;
 *   nmx_customize_preprocess_yolov8_detection (&frame, input, 640 * 640 * 3, 640, 640, &info);
 *   ... run the model on input (640 x 640 x 3 floats, HWC) ...
 *   NmxCustomizeTensorView views[2] = { { boxes, 33600 }, { classes, 672000 } };
 *   NmxCustomizeDetectionList list = { 0 };
 *   nmx_customize_postprocess_yolov8_detection (views, 2, &list, 0.5f, 0.45f, info.scale);
 *   for (uint32_t i = 0; i < list.count; i++) use list.items[i];   // frame pixels
 *   ... next frame reuses list ...
 *   nmx_customize_detection_list_release (&list);
 *
 * Models exported at another input size (320, 416, ...: any multiple of 32) use the
 * *_at_size postprocess functions with that size, and a preprocess into a tensor of
 * that size: the output sizes alone cannot tell a 320 model's outputs counted in
 * bytes from a 640 model's counted in elements.
 *
 * Build flags: pkg-config --cflags --libs nmx_customize
 *
 * API version 2 (nmx_customize_get_api_version() == 2) changed, against version 1:
 *  - YOLOv8 detection scores are the class probability. Version 1 multiplied it by
 *    the column's best class probability, so a class at 0.9 was reported as 0.81
 *    and box_thresh 0.5 acted as about 0.707; with version 2 a score of 0.9 is 0.9
 *    and a candidate is kept when its probability exceeds box_thresh.
 *  - Each postprocess refuses (returns 0, list unchanged) a tensor view whose size
 *    is smaller than its layout needs (per model size: YOLOv5 heads of
 *    (S/8)^2 * 255, (S/16)^2 * 255, (S/32)^2 * 255 floats; YOLOv8 4 * N and 80 * N
 *    floats with N = (S/8)^2 + (S/16)^2 + (S/32)^2, 8400 at 640). A size is read as an
 *    element count when it equals the layout's, else as a byte count. Version 1
 *    read the full 640 layout whatever the size said.
 *  - New: nmx_customize_postprocess_yolov5_at_size and
 *    nmx_customize_postprocess_yolov8_detection_at_size take the model's input size.
 */
#ifndef NMX_CUSTOMIZE_H
#define NMX_CUSTOMIZE_H

#include <stddef.h>
#include <stdint.h>

#if defined(NMX_CUSTOMIZE_BUILDING) && defined(__GNUC__)
#define NMX_CUSTOMIZE_API __attribute__((visibility("default")))
#else
#define NMX_CUSTOMIZE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NMX_CUSTOMIZE_API_VERSION 2

#define NMX_CUSTOMIZE_MODEL_SIZE 640 /* the input size the functions without _at_size assume */
#define NMX_CUSTOMIZE_CLASS_NUM 80
#define NMX_CUSTOMIZE_YOLOV5_PROP_BOX_SIZE 85 /* 4 box values + objectness + 80 classes */
#define NMX_CUSTOMIZE_YOLOV5_GRID8 80
#define NMX_CUSTOMIZE_YOLOV5_GRID16 40
#define NMX_CUSTOMIZE_YOLOV5_GRID32 20
#define NMX_CUSTOMIZE_YOLOV8_CANDIDATES 8400

/* Packed 8-bit BGR, 3 bytes per pixel; stride must cover a row (>= width * 3). */
typedef struct NmxCustomizeImageFrame {
  const uint8_t *data;
  int32_t width;
  int32_t height;
  int32_t stride;
} NmxCustomizeImageFrame;

typedef struct NmxCustomizeLetterboxInfo {
  float scale;            /* frame pixels per tensor pixel */
  int32_t resized_width;  /* picture inside the tensor, top-left aligned */
  int32_t resized_height;
} NmxCustomizeLetterboxInfo;

/* One raw model output, not owned. size is what the runtime reports: an element
 * count or a byte count, both are recognised. */
typedef struct NmxCustomizeTensorView {
  const float *data;
  uint32_t size;
} NmxCustomizeTensorView;

typedef struct NmxCustomizeDetection {
  int32_t class_id; /* 0..79 */
  float score;      /* 0..1 */
  float x;          /* top-left corner, frame pixels; may lie outside the frame */
  float y;
  float width;
  float height;
} NmxCustomizeDetection;

/* Record layout is part of the ABI: six 4-byte fields. */
typedef char nmx_customize_detection_is_24_bytes[(sizeof(NmxCustomizeDetection) == 24) ? 1 : -1];

/* A zero-initialised list is a valid empty list. items is managed with realloc/free. */
typedef struct NmxCustomizeDetectionList {
  NmxCustomizeDetection *items;
  uint32_t count;
  uint32_t capacity;
} NmxCustomizeDetectionList;

/* All functions but the list helpers return 1 on success, 0 on failure. */

NMX_CUSTOMIZE_API int nmx_customize_get_api_version(void);

/* count = 0, memory kept. NULL accepted. */
NMX_CUSTOMIZE_API void nmx_customize_detection_list_reset(NmxCustomizeDetectionList *list);
/* Frees items; items = NULL, count = capacity = 0. NULL accepted. */
NMX_CUSTOMIZE_API void nmx_customize_detection_list_release(NmxCustomizeDetectionList *list);

/* Letterbox into dst (dst_count must be dst_width * dst_height * 3 floats, HWC):
 * B, G, R / 255 for YOLOv5, R, G, B * 1/255 for YOLOv8. Nothing is written on failure. */
NMX_CUSTOMIZE_API int nmx_customize_preprocess_yolov5(const NmxCustomizeImageFrame *frame, float *dst,
                                                      size_t dst_count, int dst_width, int dst_height,
                                                      NmxCustomizeLetterboxInfo *info);
NMX_CUSTOMIZE_API int nmx_customize_preprocess_yolov8_detection(const NmxCustomizeImageFrame *frame,
                                                                float *dst, size_t dst_count,
                                                                int dst_width, int dst_height,
                                                                NmxCustomizeLetterboxInfo *info);

/* Decode and suppress; the list receives exactly this call's detections in frame
 * pixels (scale from the preprocess), best first. On failure the list is unchanged.
 * YOLOv5 needs the three anchor heads ([row][column][anchor][85] floats), YOLOv8 the
 * [4][8400] box and [80][8400] class tensors; views are matched by size, else taken
 * in order, and a view smaller than its head or tensor is refused (0). These assume
 * a 640 x 640 model input. */
NMX_CUSTOMIZE_API int nmx_customize_postprocess_yolov5(const NmxCustomizeTensorView *outputs,
                                                       uint32_t output_count,
                                                       NmxCustomizeDetectionList *list, float box_thresh,
                                                       float nms_thresh, float scale);
NMX_CUSTOMIZE_API int nmx_customize_postprocess_yolov8_detection(const NmxCustomizeTensorView *outputs,
                                                                 uint32_t output_count,
                                                                 NmxCustomizeDetectionList *list,
                                                                 float box_thresh, float nms_thresh,
                                                                 float scale);

/* The same for a model of input size model_size x model_size (a multiple of 32 from
 * 32 to 4096; 0 is returned otherwise): YOLOv5 heads of model_size/8, /16 and /32
 * cells, YOLOv8 tensors of N = (S/8)^2 + (S/16)^2 + (S/32)^2 columns (2100 at 320).
 * Since API version 2. */
NMX_CUSTOMIZE_API int nmx_customize_postprocess_yolov5_at_size(const NmxCustomizeTensorView *outputs,
                                                               uint32_t output_count,
                                                               NmxCustomizeDetectionList *list,
                                                               float box_thresh, float nms_thresh, float scale,
                                                               int model_size);
NMX_CUSTOMIZE_API int nmx_customize_postprocess_yolov8_detection_at_size(const NmxCustomizeTensorView *outputs,
                                                                         uint32_t output_count,
                                                                         NmxCustomizeDetectionList *list,
                                                                         float box_thresh, float nms_thresh,
                                                                         float scale, int model_size);

#ifdef __cplusplus
}
#endif

#endif /* NMX_CUSTOMIZE_H */
