// SPDX-License-Identifier: BSD-3-Clause
// YOLO letterbox, decode and suppression shared by the detection engine, the
// segmentation engine and the customization library (static library
// nmx_yolo_common). Plain C++ over caller-owned memory: no GStreamer, no runtime,
// no logging, reentrant.
//
// Link the CMake target nmx_yolo_common (static, PIC); it brings this header's
// directory and OpenCV core/imgproc/dnn with it.
//
//   float scale; int w, h;
//   nmx::yolo::letterbox_yolov8(bgr, width, height, stride, tensor, 640, 640, &scale, &w, &h);
//   ... inference, outputs data[i] with reported sizes[i] ...
//   int box, cls;
//   nmx::yolo::route_yolov8_outputs(sizes, count, &box, &cls);
//   nmx::yolo::Yolov8Result r;
//   nmx::yolo::decode_yolov8(data[box], data[cls], scale, box_thresh, nms_thresh, &r);
//   for (int k : r.keep) use r.boxes[k], r.scores[k], r.class_ids[k];   // frame pixels
//
//   YOLOv5: letterbox_yolov5(...); route_yolov5_outputs(sizes, count, heads);
//   Yolov5Result r5; decode_yolov5(data[heads[0]], data[heads[1]], data[heads[2]], bt, nt, &r5);
//   for (int k : r5.order) if (k >= 0) use r5.boxes[4k..4k+3] * scale, r5.scores[k], r5.class_ids[k];
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nmx {
namespace yolo {

constexpr int kModelSize = 640;
constexpr int kClassNum = 80;
constexpr int kV5PropBoxSize = 85;  // 4 box values + objectness + 80 classes per anchor
constexpr int kV5Grid8 = 80, kV5Grid16 = 40, kV5Grid32 = 20;
constexpr int kV8BoxDim = 4;
constexpr int kV8Candidates = 8400;

extern const int kAnchor0[6];  // stride 8: (10,13) (16,30) (33,23)
extern const int kAnchor1[6];  // stride 16
extern const int kAnchor2[6];  // stride 32

// Elements of each declared output, for the size checks.
constexpr size_t kV5Head8Elements = 80 * 80 * 255;   // 1,632,000
constexpr size_t kV5Head16Elements = 40 * 40 * 255;  // 408,000
constexpr size_t kV5Head32Elements = 20 * 20 * 255;  // 102,000
constexpr size_t kV8BoxElements = 4 * 8400;          // 33,600
constexpr size_t kV8ClassElements = 80 * 8400;      // 672,000

// --- Letterbox ---------------------------------------------------------------
// scale = max(height / dst_h, width / dst_w) (1 if <= 0); picture size
// (int)(width / scale) x (int)(height / scale), clamped to [1, dst]. Returns false
// on a bad geometry.
bool letterbox_geometry(int width, int height, int dst_w, int dst_h, float *scale, int *new_w,
                        int *new_h);

// Scratch images for the letterbox. Pass NULL to use the calling thread's own set
// (kept until the thread exits); a caller that must keep no state between calls
// passes a local one.
struct LetterboxScratch {
  cv::Mat resized, canvas;
};

// YOLOv5 input: bilinear resize into the top-left corner of a zero canvas, float
// B, G, R divided by 255, HWC. dst holds dst_w * dst_h * 3 floats.
bool letterbox_yolov5(const uint8_t *bgr, int width, int height, int stride, float *dst, int dst_w,
                      int dst_h, float *scale, int *new_w, int *new_h,
                      LetterboxScratch *scratch = nullptr);

// YOLOv8 input: as above but R, G, B and a factor of 1/255.
bool letterbox_yolov8(const uint8_t *bgr, int width, int height, int stride, float *dst, int dst_w,
                      int dst_h, float *scale, int *new_w, int *new_h,
                      LetterboxScratch *scratch = nullptr);

// --- Output routing and size checks ------------------------------------------
// A reported size is trusted when it equals the declared element count or covers
// the declared byte count; anything else would be read past its end.
bool output_size_covers(uint32_t reported, size_t declared_elements);

// YOLOv5: heads[0..2] receive the output indices for strides 8, 16, 32 (by size,
// later matches replace earlier ones; if any head stays empty, outputs 0, 1, 2).
void route_yolov5_outputs(const uint32_t *sizes, uint32_t count, int heads[3]);
// YOLOv8 detection: box and class output indices (by size; else 0 and 1).
void route_yolov8_outputs(const uint32_t *sizes, uint32_t count, int *box, int *cls);

// --- YOLOv5 decode and per-class suppression -------------------------------------
struct Yolov5Result {
  std::vector<float> boxes;   // x, y, w, h per candidate, 640-space
  std::vector<float> scores;  // candidate order
  std::vector<int> class_ids;
  std::vector<int> order;     // candidate indices best first; -1 = suppressed
  std::vector<float> sorted_scores;
};
// Heads are [row][column][anchor][85] floats; the result is cleared first.
void decode_yolov5(const float *head8, const float *head16, const float *head32, float box_thresh,
                   float nms_thresh, Yolov5Result *out);

// Exposed for tests: the descending quick sort whose tie order decides survivors.
void quick_sort_indice_inverse(std::vector<float> &values, int left, int right,
                               std::vector<int> &indices);
float calculate_overlap(float x1a, float y1a, float x2a, float y2a, float x1b, float y1b, float x2b,
                        float y2b);

// --- YOLOv8 decode and class-agnostic suppression ---------------------------------
struct Yolov8Result {
  std::vector<int> class_ids;
  std::vector<float> scores;
  std::vector<cv::Rect> boxes;  // frame pixels (scaled, truncated)
  std::vector<int> keep;        // cv::dnn::NMSBoxes result, best first
};
// box is [4][8400] (cx, cy, w, h in 640 space), cls is [80][8400] scores in 0..1.
void decode_yolov8(const float *box, const float *cls, float scale, float box_thresh,
                   float nms_thresh, Yolov8Result *out);

}  // namespace yolo
}  // namespace nmx
