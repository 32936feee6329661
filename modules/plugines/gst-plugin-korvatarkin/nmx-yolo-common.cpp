// SPDX-License-Identifier: BSD-3-Clause
// The one implementation of YOLO letterbox, decode and suppression.
#include "nmx-yolo-common.h"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

namespace nmx {
namespace yolo {

const int kAnchor0[6] = {10, 13, 16, 30, 33, 23};
const int kAnchor1[6] = {30, 61, 62, 45, 59, 119};
const int kAnchor2[6] = {116, 90, 156, 198, 373, 326};

bool model_geometry(int size, ModelGeometry *g)
{
  if (!g || !valid_model_size(size))
    return false;
  ModelGeometry r;
  r.size = size;
  r.candidates = 0;
  for (int k = 0; k < 3; k++) {
    r.grid[k] = size / (8 << k);
    r.v5_head_elements[k] = (size_t)r.grid[k] * r.grid[k] * 3 * kV5PropBoxSize;
    r.candidates += (size_t)r.grid[k] * r.grid[k];
  }
  r.v8_box_elements = (size_t)kV8BoxDim * r.candidates;
  r.v8_class_elements = (size_t)kClassNum * r.candidates;
  r.proto = size / 4;
  *g = r;
  return true;
}

namespace {

// The model size whose YOLOv8 column count is n (n = 21 (S/32)^2), or 0.
int v8_size_for_candidates(size_t n)
{
  if (n == 0 || n % 21 != 0)
    return 0;
  const size_t q = n / 21;
  const size_t r = (size_t)std::llround(std::sqrt((double)q));
  return r * r == q && valid_model_size((long)(r * 32)) ? (int)(r * 32) : 0;
}

// The model size whose YOLOv5 stride-k head has e elements, or 0.
int v5_size_for_head(size_t e, int k)
{
  if (e == 0 || e % 255 != 0)
    return 0;
  const size_t q = e / 255;
  const size_t r = (size_t)std::llround(std::sqrt((double)q));
  return r * r == q && valid_model_size((long)(r * (8u << k))) ? (int)(r * (8u << k)) : 0;
}

}  // namespace

std::string describe_output_sizes(const uint32_t *sizes, uint32_t count)
{
  // Each size as elements and as bytes.
  auto both = [](uint32_t s, auto fn) -> int {
    int r = fn((size_t)s);
    if (!r && s % 4 == 0)
      r = fn((size_t)s / 4);
    return r;
  };
  if (count >= 2) {
    // YOLOv8 detection: a [4][N] and an [80][N] output of the same N.
    for (uint32_t i = 0; i < count; i++)
      for (uint32_t j = 0; j < count; j++) {
        if (i == j)
          continue;
        const int sb = both(sizes[i], [](size_t e) { return e % 4 ? 0 : v8_size_for_candidates(e / 4); });
        const int sc = both(sizes[j], [](size_t e) { return e % 80 ? 0 : v8_size_for_candidates(e / 80); });
        if (sb && sb == sc)
          return "YOLOv8 detection outputs at model-size " + std::to_string(sb) +
                 " (model-type=yolov8-detection model-size=" + std::to_string(sb) + ")";
      }
  }
  if (count >= 3) {
    // YOLOv5: three heads of S/8, S/16, S/32 cells.
    for (uint32_t i = 0; i < count; i++) {
      const int s8 = both(sizes[i], [](size_t e) { return v5_size_for_head(e, 0); });
      if (!s8)
        continue;
      bool have16 = false, have32 = false;
      for (uint32_t j = 0; j < count; j++) {
        have16 |= both(sizes[j], [](size_t e) { return v5_size_for_head(e, 1); }) == s8;
        have32 |= both(sizes[j], [](size_t e) { return v5_size_for_head(e, 2); }) == s8;
      }
      if (have16 && have32)
        return "YOLOv5 outputs at model-size " + std::to_string(s8) + " (model-type=yolov5 model-size=" +
               std::to_string(s8) + ")";
    }
  }
  return "";
}

bool letterbox_geometry(int width, int height, int dst_w, int dst_h, float *scale, int *new_w,
                        int *new_h)
{
  if (width < 1 || height < 1 || dst_w < 1 || dst_h < 1)
    return false;
  float s = std::max((float)height / (float)dst_h, (float)width / (float)dst_w);
  if (s <= 0.0f)
    s = 1.0f;
  *scale = s;
  *new_w = std::min(std::max((int)((float)width / s), 1), dst_w);
  *new_h = std::min(std::max((int)((float)height / s), 1), dst_h);
  return true;
}

namespace {

// Zero the part of the HWC float tensor outside the top-left picture; the picture
// itself is written by the caller, so the whole canvas is never touched twice.
void zero_padding(float *dst, int dst_w, int dst_h, int new_w, int new_h)
{
  const size_t row = (size_t)dst_w * 3;
  if (new_w < dst_w)
    for (int y = 0; y < new_h; y++)
      std::memset(dst + y * row + (size_t)new_w * 3, 0, (size_t)(dst_w - new_w) * 3 * sizeof(float));
  if (new_h < dst_h)
    std::memset(dst + (size_t)new_h * row, 0, (size_t)(dst_h - new_h) * row * sizeof(float));
}

LetterboxScratch &thread_scratch()
{
  static thread_local LetterboxScratch scratch;
  return scratch;
}

bool letterbox(const uint8_t *bgr, int width, int height, int stride, float *dst, int dst_w,
               int dst_h, float *scale, int *new_w, int *new_h, bool to_rgb,
               LetterboxScratch *scratch)
{
  if (!bgr || !dst || !scale || !new_w || !new_h || stride < 1 || (int64_t)stride < (int64_t)width * 3)
    return false;
  float s;
  int nw, nh;
  if (!letterbox_geometry(width, height, dst_w, dst_h, &s, &nw, &nh))
    return false;
  LetterboxScratch &sc = scratch ? *scratch : thread_scratch();
  const cv::Mat src(height, width, CV_8UC3, const_cast<uint8_t *>(bgr), (size_t)stride);
  cv::resize(src, sc.resized, cv::Size(nw, nh), 0, 0, cv::INTER_LINEAR);
  const cv::Mat *picture = &sc.resized;
  if (to_rgb) {
    cv::cvtColor(sc.resized, sc.canvas, cv::COLOR_BGR2RGB);
    picture = &sc.canvas;
  }
  cv::Mat tensor(dst_h, dst_w, CV_32FC3, dst);
  cv::Mat roi = tensor(cv::Rect(0, 0, nw, nh));
  picture->convertTo(roi, CV_32F, to_rgb ? 0.00392156862745098 : 1.0 / 255.0);
  zero_padding(dst, dst_w, dst_h, nw, nh);
  *scale = s;
  *new_w = nw;
  *new_h = nh;
  return true;
}

}  // namespace

bool letterbox_yolov5(const uint8_t *bgr, int width, int height, int stride, float *dst, int dst_w,
                      int dst_h, float *scale, int *new_w, int *new_h, LetterboxScratch *scratch)
{
  return letterbox(bgr, width, height, stride, dst, dst_w, dst_h, scale, new_w, new_h, false, scratch);
}

bool letterbox_yolov8(const uint8_t *bgr, int width, int height, int stride, float *dst, int dst_w,
                      int dst_h, float *scale, int *new_w, int *new_h, LetterboxScratch *scratch)
{
  return letterbox(bgr, width, height, stride, dst, dst_w, dst_h, scale, new_w, new_h, true, scratch);
}

bool output_size_covers(uint32_t reported, size_t declared_elements)
{
  return (size_t)reported == declared_elements || (size_t)reported >= declared_elements * sizeof(float);
}

void route_yolov5_outputs(const uint32_t *sizes, uint32_t count, const ModelGeometry &g, int heads[3])
{
  heads[0] = heads[1] = heads[2] = -1;
  for (uint32_t i = 0; i < count; i++) {
    const size_t s = sizes[i];
    if (s == g.v5_head_elements[0] * 4 || s == g.v5_head_elements[0])
      heads[0] = (int)i;
    else if (s == g.v5_head_elements[1])
      heads[1] = (int)i;
    else if (s == g.v5_head_elements[2])
      heads[2] = (int)i;
  }
  if (heads[0] < 0 || heads[1] < 0 || heads[2] < 0) {
    heads[0] = 0;
    heads[1] = 1;
    heads[2] = 2;
  }
}

void route_yolov8_outputs(const uint32_t *sizes, uint32_t count, const ModelGeometry &g, int *box, int *cls)
{
  *box = *cls = -1;
  for (uint32_t i = 0; i < count; i++) {
    const size_t s = sizes[i];
    if (s == g.v8_box_elements || s == g.v8_box_elements * 4)
      *box = (int)i;
    else if (s == g.v8_class_elements || s == g.v8_class_elements * 4)
      *cls = (int)i;
  }
  if (*box < 0 || *cls < 0) {
    *box = 0;
    *cls = 1;
  }
}

bool all_in_unit_interval(const float *v, size_t n)
{
  for (size_t i = 0; i < n; i++)
    if (!(v[i] >= 0.0f && v[i] <= 1.0f))
      return false;
  return true;
}

// --- YOLOv5 ---------------------------------------------------------------------

namespace {

inline float sigmoid(float x)
{
  return 1.0f / (1.0f + std::exp(-x));
}

void process(const float *p, int grid_h, int grid_w, int stride, const int *anchor, float thresh,
             Yolov5Result *out)
{
  const int cell = 3 * kV5PropBoxSize;
  // Most cells fail the objectness test; rejecting them on the raw logit avoids an
  // exp per cell. The margin keeps every cell near the edge for the exact test.
  const bool prefilter = thresh > 0.0f && thresh < 1.0f;
  const float reject_below = prefilter ? std::log(thresh / (1.0f - thresh)) - 1e-3f : 0.0f;
  for (int a = 0; a < 3; a++) {
    for (int i = 0; i < grid_h; i++) {
      for (int j = 0; j < grid_w; j++) {
        const float *v = p + a * kV5PropBoxSize + (size_t)(i * grid_w + j) * cell;
        if (prefilter && v[4] < reject_below)
          continue;
        const float objectness = sigmoid(v[4]);
        if (!(objectness >= thresh))
          continue;
        float best = 0.0f;
        int best_class = 0;
        for (int k = 0; k < kClassNum; k++) {
          if (v[5 + k] > best) {
            best = v[5 + k];
            best_class = k;
          }
        }
        if (!(best > thresh))
          continue;
        const float dx = 2.0f * sigmoid(v[0]) - 0.5f;
        const float dy = 2.0f * sigmoid(v[1]) - 0.5f;
        const float bw0 = 2.0f * sigmoid(v[2]);
        const float bh0 = 2.0f * sigmoid(v[3]);
        const float w = (float)anchor[a * 2] * (bw0 * bw0);
        const float h = (float)anchor[a * 2 + 1] * (bh0 * bh0);
        const float x = ((float)j + dx) * (float)stride - w / 2.0f;
        const float y = ((float)i + dy) * (float)stride - h / 2.0f;
        out->boxes.insert(out->boxes.end(), {x, y, w, h});
        out->scores.push_back(sigmoid(best) * objectness);
        out->class_ids.push_back(best_class);
      }
    }
  }
}

void nms(const std::vector<float> &boxes, const std::vector<int> &class_ids, std::vector<int> &order,
         int filter_id, float threshold)
{
  const int n = (int)order.size();
  for (int i = 0; i < n; i++) {
    const int a = order[i];
    if (a == -1 || class_ids[a] != filter_id)
      continue;
    const float *ba = &boxes[(size_t)a * 4];
    for (int j = i + 1; j < n; j++) {
      const int b = order[j];
      if (b == -1 || class_ids[b] != filter_id)
        continue;
      const float *bb = &boxes[(size_t)b * 4];
      const float iou = calculate_overlap(ba[0], ba[1], ba[0] + ba[2], ba[1] + ba[3], bb[0], bb[1],
                                          bb[0] + bb[2], bb[1] + bb[3]);
      if (iou > threshold)
        order[j] = -1;
    }
  }
}

}  // namespace

void quick_sort_indice_inverse(std::vector<float> &values, int left, int right,
                               std::vector<int> &indices)
{
  // The partition step is exactly the reference procedure (it decides tie order);
  // only the larger side is iterated instead of recursed so equal runs of tens of
  // thousands of scores cannot exhaust a streaming thread's stack.
  while (left < right) {
    const float key = values[left];
    const int key_index = indices[left];
    int lo = left, hi = right;
    while (lo < hi) {
      while (lo < hi && values[hi] <= key)
        hi--;
      values[lo] = values[hi];
      indices[lo] = indices[hi];
      while (lo < hi && values[lo] >= key)
        lo++;
      values[hi] = values[lo];
      indices[hi] = indices[lo];
    }
    values[lo] = key;
    indices[lo] = key_index;
    if (lo - left < right - lo) {
      quick_sort_indice_inverse(values, left, lo - 1, indices);
      left = lo + 1;
    } else {
      quick_sort_indice_inverse(values, lo + 1, right, indices);
      right = lo - 1;
    }
  }
}

float calculate_overlap(float x1a, float y1a, float x2a, float y2a, float x1b, float y1b, float x2b,
                        float y2b)
{
  const float iw = std::max(0.0f, std::min(x2a, x2b) - std::max(x1a, x1b) + 1.0f);
  const float ih = std::max(0.0f, std::min(y2a, y2b) - std::max(y1a, y1b) + 1.0f);
  const float inter = iw * ih;
  const float uni = (x2a - x1a + 1.0f) * (y2a - y1a + 1.0f) + (x2b - x1b + 1.0f) * (y2b - y1b + 1.0f) - inter;
  return uni <= 0.0f ? 0.0f : inter / uni;
}

void decode_yolov5(const float *head8, const float *head16, const float *head32, const ModelGeometry &g,
                   float box_thresh, float nms_thresh, Yolov5Result *out)
{
  out->boxes.clear();
  out->scores.clear();
  out->class_ids.clear();
  out->order.clear();
  out->sorted_scores.clear();
  process(head8, g.grid[0], g.grid[0], 8, kAnchor0, box_thresh, out);
  process(head16, g.grid[1], g.grid[1], 16, kAnchor1, box_thresh, out);
  process(head32, g.grid[2], g.grid[2], 32, kAnchor2, box_thresh, out);
  const int n = (int)out->scores.size();
  out->order.resize(n);
  for (int i = 0; i < n; i++)
    out->order[i] = i;
  out->sorted_scores = out->scores;
  if (n > 1)
    quick_sort_indice_inverse(out->sorted_scores, 0, n - 1, out->order);
  const std::set<int> classes(out->class_ids.begin(), out->class_ids.end());
  for (int c : classes)
    nms(out->boxes, out->class_ids, out->order, c, nms_thresh);
}

// --- YOLOv8 ---------------------------------------------------------------------

void decode_yolov8(const float *box, const float *cls, const ModelGeometry &g, float scale,
                   float box_thresh, float nms_thresh, Yolov8Result *out)
{
  const int N = (int)g.candidates;
  out->class_ids.clear();
  out->scores.clear();
  out->boxes.clear();
  out->keep.clear();
  out->class_ids.reserve(N);
  out->scores.reserve(N);
  out->boxes.reserve(N);
  out->keep.reserve(N);
  // The best class of every column, class row by class row: the tensor is read in
  // memory order instead of 80 far-apart reads per column.
  std::vector<float> &column_max = out->column_max;
  column_max.assign(cls, cls + N);
  for (int c = 1; c < kClassNum; c++) {
    const float *row = cls + (size_t)c * N;
    float *m = column_max.data();
    for (int a = 0; a < N; a++)
      m[a] = std::max(m[a], row[a]);
  }
  for (int a = 0; a < N; a++) {
    if (!(column_max[a] >= box_thresh))
      continue;
    const float cx = box[a], cy = box[N + a], w = box[2 * N + a], h = box[3 * N + a];
    const cv::Rect r((int)((cx - 0.5f * w) * scale), (int)((cy - 0.5f * h) * scale), (int)(scale * w),
                     (int)(scale * h));
    for (int c = 0; c < kClassNum; c++) {
      const float v = cls[(size_t)c * N + a];
      if (v > box_thresh) {
        // The class probability is the confidence; multiplying it by the column's
        // best class would count that class twice (0.9 reported as 0.81).
        out->scores.push_back(v);
        out->class_ids.push_back(c);
        out->boxes.push_back(r);
      }
    }
  }
  if (!out->boxes.empty())
    cv::dnn::NMSBoxes(out->boxes, out->scores, box_thresh, nms_thresh, out->keep, 1.0f, 0);
}

}  // namespace yolo
}  // namespace nmx
