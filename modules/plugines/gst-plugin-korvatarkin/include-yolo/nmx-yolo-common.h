// SPDX-License-Identifier: BSD-3-Clause
// YOLO letterbox, decode and suppression shared by the detection engine, the
// segmentation engine and the customization library (static library
// nmx_yolo_common). Plain C++ over caller-owned memory: no GStreamer, no runtime,
// no logging, reentrant.
//
// Link the CMake target nmx_yolo_common (static, PIC); it brings this header's
// directory and OpenCV core/imgproc/dnn with it.
//
//   nmx::yolo::ModelGeometry g;                 // from the model's square input size
//   nmx::yolo::model_geometry(640, &g);          // 320, 416, ... any multiple of 32
//   float scale; int w, h;
//   nmx::yolo::letterbox_yolov8(bgr, width, height, stride, tensor, g.size, g.size, &scale, &w, &h);
//   ... inference, outputs data[i] with reported sizes[i] ...
//   int box, cls;
//   nmx::yolo::route_yolov8_outputs(sizes, count, g, &box, &cls);
//   check output_size_covers(sizes[box], g.v8_box_elements) (and the class tensor)
//   nmx::yolo::Yolov8Result r;
//   nmx::yolo::decode_yolov8(data[box], data[cls], g, scale, box_thresh, nms_thresh, &r);
//   for (int k : r.keep) use r.boxes[k], r.scores[k], r.class_ids[k];   // frame pixels
//
//   YOLOv5: letterbox_yolov5(...); route_yolov5_outputs(sizes, count, g, heads);
//   Yolov5Result r5; decode_yolov5(data[heads[0]], data[heads[1]], data[heads[2]], g, bt, nt, &r5);
//   for (int k : r5.order) if (k >= 0) use r5.boxes[4k..4k+3] * scale, r5.scores[k], r5.class_ids[k];
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nmx {
namespace yolo {

constexpr int kModelSize = 640;  // the default input size
constexpr int kMinModelSize = 32;
constexpr int kMaxModelSize = 4096;
constexpr int kClassNum = 80;
constexpr int kV5PropBoxSize = 85;  // 4 box values + objectness + 80 classes per anchor
constexpr int kV5Grid8 = 80, kV5Grid16 = 40, kV5Grid32 = 20;
constexpr int kV8BoxDim = 4;
constexpr int kV8Candidates = 8400;

extern const int kAnchor0[6];  // stride 8: (10,13) (16,30) (33,23)
extern const int kAnchor1[6];  // stride 16
extern const int kAnchor2[6];  // stride 32

// Elements of each declared output at 640, for the size checks.
constexpr size_t kV5Head8Elements = 80 * 80 * 255;   // 1,632,000
constexpr size_t kV5Head16Elements = 40 * 40 * 255;  // 408,000
constexpr size_t kV5Head32Elements = 20 * 20 * 255;  // 102,000
constexpr size_t kV8BoxElements = 4 * 8400;          // 33,600
constexpr size_t kV8ClassElements = 80 * 8400;      // 672,000

// --- Model geometry ------------------------------------------------------------
// Everything that depends on the model's square input size S: YOLOv5 heads of
// S/8, S/16, S/32 cells, YOLOv8 columns sum((S/stride)^2) over strides 8, 16, 32
// (8400 at 640, 2100 at 320), segmentation prototypes of S/4 x S/4.
struct ModelGeometry {
  int size = kModelSize;
  int grid[3] = {kV5Grid8, kV5Grid16, kV5Grid32};  // strides 8, 16, 32
  size_t candidates = kV8Candidates;
  size_t v5_head_elements[3] = {kV5Head8Elements, kV5Head16Elements, kV5Head32Elements};
  size_t v8_box_elements = kV8BoxElements;
  size_t v8_class_elements = kV8ClassElements;
  int proto = kModelSize / 4;
};
// False (g untouched) unless kMinModelSize <= size <= kMaxModelSize and size % 32 == 0.
bool model_geometry(int size, ModelGeometry *g);
inline bool valid_model_size(long size)
{
  return size >= kMinModelSize && size <= kMaxModelSize && size % 32 == 0;
}

// What a set of reported output sizes looks like, for error messages: "YOLOv8
// detection at model-size 640" and the like, or "" when no known layout at any
// model size fits them. Sizes may be element or byte counts.
std::string describe_output_sizes(const uint32_t *sizes, uint32_t count);

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
// The stride-8 head is also recognised by its byte count.
void route_yolov5_outputs(const uint32_t *sizes, uint32_t count, const ModelGeometry &g, int heads[3]);
// YOLOv8 detection: box and class output indices (by element or byte count; else 0 and 1).
void route_yolov8_outputs(const uint32_t *sizes, uint32_t count, const ModelGeometry &g, int *box, int *cls);

// True when every value lies in [0, 1]: outputs already passed through a sigmoid.
bool all_in_unit_interval(const float *v, size_t n);

// --- YOLOv5 decode and per-class suppression -------------------------------------
struct Yolov5Result {
  std::vector<float> boxes;   // x, y, w, h per candidate, 640-space
  std::vector<float> scores;  // candidate order
  std::vector<int> class_ids;
  std::vector<int> order;     // candidate indices best first; -1 = suppressed
  std::vector<float> sorted_scores;
};
// Heads are [row][column][anchor][85] floats of g.grid[k]^2 cells; the result is
// cleared first.
void decode_yolov5(const float *head8, const float *head16, const float *head32, const ModelGeometry &g,
                   float box_thresh, float nms_thresh, Yolov5Result *out);

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
  std::vector<float> column_max;  // scratch: each column's best class value
};
// box is [4][N] (cx, cy, w, h in input space), cls is [80][N] scores in 0..1, with
// N = g.candidates. A column whose best class reaches box_thresh gives one candidate
// per class above box_thresh, scored with that class's probability.
void decode_yolov8(const float *box, const float *cls, const ModelGeometry &g, float scale,
                   float box_thresh, float nms_thresh, Yolov8Result *out);

}  // namespace yolo
}  // namespace nmx
