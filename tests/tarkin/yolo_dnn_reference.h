// SPDX-License-Identifier: BSD-3-Clause
// An independent YOLO detector as an application would write it with OpenCV alone:
// its own letterbox, cv::dnn::blobFromImage, Net::forward on the ONNX file, its own
// decoding, and cv::dnn::NMSBoxes (YOLOv8) or the classic per-class suppression with
// the +1 pixel overlap (YOLOv5). Nothing of the toolkit is used, so the detection
// element and the customization library are checked against it.
#pragma once

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <vector>

namespace yoloref {

struct Det {
  int cls;
  float score;
  float x, y, w, h;  // frame pixels
};

// Letterbox into the top-left corner of a size x size black picture; returns it and
// the frame pixels per model pixel.
inline cv::Mat letterbox(const cv::Mat &bgr, int size, float *scale)
{
  float s = std::max((float)bgr.rows / (float)size, (float)bgr.cols / (float)size);
  const int w = std::min(std::max((int)((float)bgr.cols / s), 1), size);
  const int h = std::min(std::max((int)((float)bgr.rows / s), 1), size);
  cv::Mat canvas = cv::Mat::zeros(size, size, CV_8UC3);
  cv::Mat small;
  cv::resize(bgr, small, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  small.copyTo(canvas(cv::Rect(0, 0, w, h)));
  *scale = s;
  return canvas;
}

inline std::vector<cv::Mat> forward(cv::dnn::Net &net, const cv::Mat &canvas, bool rgb)
{
  net.setInput(cv::dnn::blobFromImage(canvas, 1.0 / 255.0, cv::Size(), cv::Scalar(), rgb, false, CV_32F));
  std::vector<cv::Mat> outs;
  net.forward(outs, net.getUnconnectedOutLayersNames());
  return outs;
}

// YOLOv8 detection: one [1, 84, N] output; a row's best class is its candidate.
inline std::vector<Det> yolov8(cv::dnn::Net &net, const cv::Mat &bgr, int size, float box_thresh, float nms_thresh,
                               bool rgb = true)
{
  float scale = 1;
  const cv::Mat canvas = letterbox(bgr, size, &scale);
  std::vector<cv::Mat> outs = forward(net, canvas, rgb);
  CV_Assert(outs.size() == 1 && outs[0].dims == 3 && outs[0].size[1] == 84);
  const int n = outs[0].size[2];
  const cv::Mat rows = cv::Mat(84, n, CV_32F, outs[0].ptr<float>()).t();
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
  std::vector<int> ids;
  for (int r = 0; r < n; r++) {
    const float *p = rows.ptr<float>(r);
    cv::Point best;
    double max = 0;
    cv::minMaxLoc(cv::Mat(1, 80, CV_32F, const_cast<float *>(p + 4)), nullptr, &max, nullptr, &best);
    if (!(max > box_thresh))
      continue;
    boxes.emplace_back((int)((p[0] - 0.5f * p[2]) * scale), (int)((p[1] - 0.5f * p[3]) * scale),
                       (int)(p[2] * scale), (int)(p[3] * scale));
    scores.push_back((float)max);
    ids.push_back(best.x);
  }
  std::vector<int> keep;
  cv::dnn::NMSBoxes(boxes, scores, box_thresh, nms_thresh, keep);
  std::vector<Det> out;
  for (int k : keep)
    out.push_back(Det{ids[k], scores[k], (float)boxes[k].x, (float)boxes[k].y, (float)boxes[k].width,
                      (float)boxes[k].height});
  return out;
}

// YOLOv5: three [1, 255, g, g] heads (anchors x [x, y, w, h, objectness, 80 classes]).
// *margin receives the smallest distance of a same-class overlap that decided
// something from nms_thresh: a comparison is only meaningful when it is not tiny.
inline std::vector<Det> yolov5(cv::dnn::Net &net, const cv::Mat &bgr, int size, float box_thresh, float nms_thresh,
                               bool rgb, double *margin)
{
  static const float anchors[3][6] = {
      {10, 13, 16, 30, 33, 23}, {30, 61, 62, 45, 59, 119}, {116, 90, 156, 198, 373, 326}};
  auto sig = [](float v) { return 1.0f / (1.0f + std::exp(-v)); };
  float scale = 1;
  const cv::Mat canvas = letterbox(bgr, size, &scale);
  std::vector<cv::Mat> outs = forward(net, canvas, rgb);
  CV_Assert(outs.size() == 3);
  struct Cand {
    float x, y, w, h, score;
    int cls;
  };
  std::vector<Cand> cands;
  for (const cv::Mat &o : outs) {
    CV_Assert(o.dims == 4 && o.size[1] == 255);
    const int g = o.size[2];
    const int stride = size / g;
    const int head = stride == 8 ? 0 : stride == 16 ? 1 : 2;
    const size_t plane = (size_t)g * g;
    const float *p = o.ptr<float>();
    for (int a = 0; a < 3; a++)
      for (int i = 0; i < g; i++)
        for (int j = 0; j < g; j++) {
          auto at = [&](int k) { return p[(size_t)(a * 85 + k) * plane + (size_t)i * g + j]; };
          const float obj = sig(at(4));
          if (obj < box_thresh)
            continue;
          float best = 0;
          int cls = 0;
          for (int c = 0; c < 80; c++)
            if (at(5 + c) > best) {
              best = at(5 + c);
              cls = c;
            }
          if (!(best > box_thresh))
            continue;
          const float bw = 2 * sig(at(2)), bh = 2 * sig(at(3));
          const float w = anchors[head][2 * a] * bw * bw, h = anchors[head][2 * a + 1] * bh * bh;
          const float x = ((float)j + 2 * sig(at(0)) - 0.5f) * (float)stride - w / 2;
          const float y = ((float)i + 2 * sig(at(1)) - 0.5f) * (float)stride - h / 2;
          cands.push_back(Cand{x, y, w, h, sig(best) * obj, cls});
        }
  }
  std::vector<int> order(cands.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return cands[a].score > cands[b].score; });
  auto overlap = [](const Cand &a, const Cand &b) {
    const float iw = std::max(0.0f, std::min(a.x + a.w, b.x + b.w) - std::max(a.x, b.x) + 1);
    const float ih = std::max(0.0f, std::min(a.y + a.h, b.y + b.h) - std::max(a.y, b.y) + 1);
    const float inter = iw * ih;
    const float uni = (a.w + 1) * (a.h + 1) + (b.w + 1) * (b.h + 1) - inter;
    return uni <= 0 ? 0.0f : inter / uni;
  };
  *margin = 1.0;
  std::vector<bool> gone(cands.size(), false);
  std::vector<Det> out;
  for (size_t i = 0; i < order.size(); i++) {
    if (gone[i])
      continue;
    const Cand &a = cands[order[i]];
    for (size_t j = i + 1; j < order.size(); j++) {
      const Cand &b = cands[order[j]];
      if (gone[j] || b.cls != a.cls)
        continue;
      const float iou = overlap(a, b);
      *margin = std::min(*margin, std::fabs((double)iou - nms_thresh));
      if (iou > nms_thresh)
        gone[j] = true;
    }
    out.push_back(Det{a.cls, a.score, a.x * scale, a.y * scale, a.w * scale, a.h * scale});
  }
  return out;
}

// The part of a box inside a width x height frame, as x, y, w, h.
inline Det clip(Det d, int width, int height)
{
  const float x1 = std::min(std::max(d.x, 0.0f), (float)width), x2 = std::min(std::max(d.x + d.w, 0.0f), (float)width);
  const float y1 = std::min(std::max(d.y, 0.0f), (float)height),
              y2 = std::min(std::max(d.y + d.h, 0.0f), (float)height);
  d.x = x1;
  d.y = y1;
  d.w = x2 - x1;
  d.h = y2 - y1;
  return d;
}

// Black frames with saturated squares of each colour channel (the generated colour
// models' three classes), some across the frame's edges.
inline cv::Mat planted_frame(int variant)
{
  if (variant == 0) {
    cv::Mat f = cv::Mat::zeros(720, 1280, CV_8UC3);
    f(cv::Rect(96, 80, 176, 160)).setTo(cv::Scalar(0, 0, 255));
    f(cv::Rect(520, 300, 208, 240)).setTo(cv::Scalar(0, 255, 0));
    f(cv::Rect(980, 60, 136, 128)).setTo(cv::Scalar(255, 0, 0));
    f(cv::Rect(1180, 560, 100, 160)).setTo(cv::Scalar(0, 0, 255));  // bottom-right corner
    return f;
  }
  cv::Mat f = cv::Mat::zeros(480, 640, CV_8UC3);
  f(cv::Rect(0, 0, 90, 72)).setTo(cv::Scalar(255, 0, 0));  // top-left corner
  f(cv::Rect(300, 180, 100, 110)).setTo(cv::Scalar(0, 0, 255));
  f(cv::Rect(490, 410, 110, 70)).setTo(cv::Scalar(0, 255, 0));  // bottom edge
  return f;
}

}  // namespace yoloref
