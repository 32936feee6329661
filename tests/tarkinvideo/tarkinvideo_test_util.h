// SPDX-License-Identifier: BSD-3-Clause
// Helpers for the segmentation tests: generated case files, captured log lines, and
// the expected overlay composed from the numpy reference's kept objects and masks.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace segtest {

inline std::string model_path(const std::string &rel)
{
  const char *d = std::getenv("NIMBRA_TARKINVIDEO_MODELS");
  return std::string(d ? d : "") + "/" + rel;
}

inline Json::Value load_doc()
{
  std::ifstream in(model_path("cases.json"));
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string errs;
  if (!Json::parseFromStream(b, in, &root, &errs))
    ADD_FAILURE() << "cannot read cases.json: " << errs;
  return root;
}

inline Json::Value find_case(const std::string &name)
{
  const Json::Value doc = load_doc();
  for (const Json::Value &c : doc["cases"])
    if (c["name"].asString() == name)
      return c;
  ADD_FAILURE() << "no case " << name;
  return Json::Value();
}

inline GstStructure *settings_for(const std::string &model, const std::string &type = "yolov8-segmentation",
                                  double box = -1, double nms = -1, bool print = true, int model_size = 0)
{
  GstStructure *s = gst_structure_new("nmx-tarkin-video-settings", "model", G_TYPE_STRING, model.c_str(),
                                      "model-type", G_TYPE_STRING, type.c_str(), "print-valid-boxes",
                                      G_TYPE_BOOLEAN, print, NULL);
  if (model_size > 0)
    gst_structure_set(s, "model-size", G_TYPE_UINT, (guint)model_size, NULL);
  if (box >= 0)
    gst_structure_set(s, "box-thresh", G_TYPE_DOUBLE, box, NULL);
  if (nms >= 0)
    gst_structure_set(s, "nms-thresh", G_TYPE_DOUBLE, nms, NULL);
  return s;
}

// Collects the log lines of the given categories.
class LogCapture {
 public:
  explicit LogCapture(std::vector<std::string> cats = {"default", "nmx-tarkin-video"}) : cats_(std::move(cats))
  {
    gst_debug_set_active(TRUE);
    for (const auto &c : cats_)
      gst_debug_set_threshold_for_name(c.c_str(), GST_LEVEL_INFO);
    gst_debug_add_log_function(&LogCapture::on_log, this, nullptr);
  }
  ~LogCapture() { gst_debug_remove_log_function_by_data(this); }

  // Index of the first line holding needle, or -1.
  int find(const std::string &needle)
  {
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < lines_.size(); i++)
      if (lines_[i].find(needle) != std::string::npos)
        return (int)i;
    return -1;
  }
  bool contains(const std::string &needle) { return find(needle) >= 0; }
  int count(const std::string &needle)
  {
    std::lock_guard<std::mutex> g(lock_);
    int n = 0;
    for (const auto &l : lines_)
      n += l.find(needle) != std::string::npos;
    return n;
  }
  std::string all()
  {
    std::lock_guard<std::mutex> g(lock_);
    std::string s;
    for (const auto &l : lines_)
      s += l + "\n";
    return s;
  }

 private:
  static void on_log(GstDebugCategory *cat, GstDebugLevel, const gchar *, const gchar *, gint, GObject *,
                     GstDebugMessage *message, gpointer user_data)
  {
    auto *self = static_cast<LogCapture *>(user_data);
    const char *name = gst_debug_category_get_name(cat);
    bool wanted = false;
    for (const auto &c : self->cats_)
      wanted |= c == name;
    if (!wanted)
      return;
    const gchar *text = gst_debug_message_get(message);
    std::lock_guard<std::mutex> g(self->lock_);
    self->lines_.push_back(text ? text : "");
  }
  std::vector<std::string> cats_;
  std::mutex lock_;
  std::vector<std::string> lines_;
};

// What the frame holds is irrelevant to replayed tensors, but it is varied so a
// preprocessing fault cannot hide.
inline cv::Mat test_frame(int w, int h)
{
  cv::Mat m(h, w, CV_8UC3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      m.at<cv::Vec3b>(y, x) = cv::Vec3b((uchar)(x * 3), (uchar)(y * 5), (uchar)(x + y));
  return m;
}

inline cv::Vec3b class_colour(int c)
{
  c = std::max(0, c);
  return cv::Vec3b((uchar)((37 * c + 64) % 256), (uchar)((17 * c + 128) % 256), (uchar)((29 * c + 192) % 256));
}

// The expected overlay: masks blended (BGR, 55 % over what is there) or set (BGRA,
// alpha 160) in kept order, then every outline and tag drawn with OpenCV's primitives.
inline cv::Mat expected_overlay(const Json::Value &c, bool bgra)
{
  static const char *const labels[80] = {
      "person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck", "boat", "traffic light",
      "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat", "dog", "horse", "sheep", "cow",
      "elephant", "bear", "zebra", "giraffe", "backpack", "umbrella", "handbag", "tie", "suitcase", "frisbee",
      "skis", "snowboard", "sports ball", "kite", "baseball bat", "baseball glove", "skateboard", "surfboard",
      "tennis racket", "bottle", "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple",
      "sandwich", "orange", "broccoli", "carrot", "hot dog", "pizza", "donut", "cake", "chair", "couch",
      "potted plant", "bed", "dining table", "toilet", "TV", "laptop", "mouse", "remote", "keyboard",
      "cell phone", "microwave", "oven", "toaster", "sink", "refrigerator", "book", "clock", "vase",
      "scissors", "teddy bear", "hair drier", "toothbrush"};
  const int W = c["width"].asInt(), H = c["height"].asInt();
  cv::Mat img = cv::Mat::zeros(H, W, bgra ? CV_8UC4 : CV_8UC3);
  for (const Json::Value &o : c["objects"]) {
    if (!o.isMember("mask"))
      continue;
    const int bx = o["box"][0].asInt(), by = o["box"][1].asInt(), bw = o["box"][2].asInt(),
              bh = o["box"][3].asInt();
    std::ifstream in(model_path(o["mask"].asString()), std::ios::binary);
    std::vector<char> m((size_t)bw * bh);
    in.read(m.data(), (std::streamsize)m.size());
    EXPECT_TRUE(in.good()) << "short mask file " << o["mask"].asString();
    const cv::Vec3b col = class_colour(o["class"].asInt());
    for (int y = 0; y < bh; y++)
      for (int x = 0; x < bw; x++) {
        if (!m[(size_t)y * bw + x])
          continue;
        uchar *p = img.ptr<uchar>(by + y) + (size_t)(bx + x) * img.channels();
        for (int k = 0; k < 3; k++)
          p[k] = bgra ? col[k] : (uchar)std::floor(p[k] * 0.45 + 0.55 * col[k] + 0.5);
        if (bgra)
          p[3] = 160;
      }
  }
  for (const Json::Value &o : c["objects"]) {
    const cv::Rect box(o["box"][0].asInt(), o["box"][1].asInt(), o["box"][2].asInt(), o["box"][3].asInt());
    const cv::Vec3b col = class_colour(o["class"].asInt());
    cv::rectangle(img, box, cv::Scalar(col[0], col[1], col[2], 255), 2, cv::LINE_AA);
    char text[128];
    snprintf(text, sizeof text, "%s %.2f", labels[o["class"].asInt()], o["score"].asFloat());
    int baseline = 0;
    const cv::Size ts = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.6, 1, &baseline);
    const int x0 = std::max(0, box.x);
    const int base = std::max(ts.height + 4, box.y - 4);
    const int tw = std::min(ts.width + 6, W - x0), th = std::min(ts.height + 6, H - std::max(0, base - ts.height - 4));
    if (tw > 0 && th > 0)
      cv::rectangle(img, cv::Rect(x0, base - ts.height - 4, tw, th), cv::Scalar(col[0], col[1], col[2], 220),
                    cv::FILLED);
    cv::putText(img, text, cv::Point(x0 + 3, base - 3), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                cv::Scalar(255, 255, 255, 255), 1, cv::LINE_AA);
  }
  return img;
}

inline int count_different(const cv::Mat &a, const cv::Mat &b)
{
  if (a.size() != b.size() || a.type() != b.type())
    return -1;
  cv::Mat d;
  cv::absdiff(a, b, d);
  return cv::countNonZero(d.reshape(1));
}

}  // namespace segtest
