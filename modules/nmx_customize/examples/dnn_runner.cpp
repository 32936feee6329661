// SPDX-License-Identifier: BSD-3-Clause
// The example application's inference back end. Any runtime would do; this one is
// OpenCV DNN, whose outputs come in the exporter's layout (NCHW heads, 5-D YOLOv5
// heads, one concatenated YOLOv8 tensor) and are rearranged here into what the
// library decodes.
#include "dnn_runner.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

struct ExampleNet {
  cv::dnn::Net net;
  std::vector<std::vector<float>> storage;  // backs the views handed out
};

namespace {

// Errors are reported on one line; OpenCV's messages span several.
void set_err(char *err, size_t len, std::string msg)
{
  for (char &c : msg)
    if (c == '\n' || c == '\r')
      c = ' ';
  while (!msg.empty() && msg.back() == ' ')
    msg.pop_back();
  if (err && len)
    std::snprintf(err, len, "%s", msg.c_str());
}

std::string shape_text(const cv::Mat &m)
{
  std::string s = "[";
  for (int d = 0; d < m.dims; d++)
    s += (d ? "," : "") + std::to_string(m.size[d]);
  return s + "]";
}

// YOLOv5 head to [row][column][anchor][85].
bool yolov5_head(const cv::Mat &m, std::vector<float> *out)
{
  const float *p = m.ptr<float>();
  if (m.dims == 4 && m.size[0] == 1 && m.size[1] == 255 && m.size[2] == m.size[3]) {  // NCHW
    const int g = m.size[2];
    out->resize((size_t)g * g * 255);
    for (int c = 0; c < 255; c++)
      for (int i = 0; i < g * g; i++)
        (*out)[(size_t)i * 255 + c] = p[(size_t)c * g * g + i];
    return true;
  }
  if (m.dims == 5 && m.size[0] == 1 && m.size[1] == 3 && m.size[4] == 85 && m.size[2] == m.size[3]) {
    const int g = m.size[2];  // [1,3,g,g,85]
    out->resize((size_t)g * g * 255);
    for (int a = 0; a < 3; a++)
      for (int i = 0; i < g * g; i++)
        for (int k = 0; k < 85; k++)
          (*out)[((size_t)i * 3 + a) * 85 + k] = p[((size_t)a * g * g + i) * 85 + k];
    return true;
  }
  if (m.dims == 4 && m.size[0] == 1 && m.size[3] == 255 && m.size[1] == m.size[2]) {  // already NHWC
    out->assign(p, p + m.total());
    return true;
  }
  return false;
}

}  // namespace

extern "C" {

ExampleNet *example_net_load(const char *onnx_path, char *err, size_t err_len)
{
  try {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(onnx_path);
    if (net.empty()) {
      set_err(err, err_len, std::string("cannot load ONNX model ") + onnx_path);
      return nullptr;
    }
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    auto *n = new ExampleNet;
    n->net = net;
    return n;
  } catch (const std::exception &e) {
    set_err(err, err_len, std::string("cannot load ONNX model ") + onnx_path + ": " + e.what());
    return nullptr;
  }
}

int example_net_run(ExampleNet *n, const float *input, int width, int height, int yolov8,
                    NmxCustomizeTensorView *views, uint32_t *view_count, char *err, size_t err_len)
{
  try {
    // HWC from the preprocess to the NCHW blob the network takes.
    const cv::Mat hwc(height, width, CV_32FC3, const_cast<float *>(input));
    std::vector<cv::Mat> planes;
    cv::split(hwc, planes);
    const int dims[4] = {1, 3, height, width};
    cv::Mat blob(4, dims, CV_32F);
    for (int c = 0; c < 3; c++)
      planes[c].copyTo(cv::Mat(height, width, CV_32F, blob.ptr<float>(0, c)));
    n->net.setInput(blob);
    std::vector<cv::Mat> outs;
    n->net.forward(outs, n->net.getUnconnectedOutLayersNames());

    n->storage.clear();
    if (yolov8) {
      // Found by row count, whatever order the network lists its outputs in: 4 rows
      // of boxes, 80 of classes, or one concatenation of boxes, classes (and, in a
      // segmentation export, mask coefficients) in that order.
      // Columns of a model of this input size: (S/8)^2 + (S/16)^2 + (S/32)^2.
      const size_t N = (size_t)(width / 8) * (height / 8) + (size_t)(width / 16) * (height / 16) +
                       (size_t)(width / 32) * (height / 32);
      const float *box = nullptr, *cls = nullptr;
      for (const cv::Mat &m : outs) {
        if (m.dims != 3 || m.size[0] != 1 || (size_t)m.size[2] != N) {
          set_err(err, err_len, "unexpected YOLOv8 output " + shape_text(m));
          return 0;
        }
        const float *p = m.ptr<float>();
        if (m.size[1] == 4) {
          box = p;
        } else if (m.size[1] == 80) {
          cls = p;
        } else if (m.size[1] >= 84) {
          box = p;
          cls = p + 4 * N;
        }
      }
      if (!box || !cls) {
        set_err(err, err_len, "no YOLOv8 box and class outputs among the network's outputs");
        return 0;
      }
      n->storage.emplace_back(box, box + 4 * N);
      n->storage.emplace_back(cls, cls + 80 * N);
    } else {
      for (const cv::Mat &m : outs) {
        std::vector<float> head;
        if (!yolov5_head(m, &head)) {
          set_err(err, err_len, "unexpected YOLOv5 output " + shape_text(m));
          return 0;
        }
        n->storage.push_back(std::move(head));
      }
    }
    if (n->storage.size() > EXAMPLE_NET_MAX_OUTPUTS) {
      set_err(err, err_len, "too many outputs");
      return 0;
    }
    // Views in the network's own output order: the library recognises them by size.
    for (size_t i = 0; i < n->storage.size(); i++)
      views[i] = NmxCustomizeTensorView{n->storage[i].data(), (uint32_t)n->storage[i].size()};
    *view_count = (uint32_t)n->storage.size();
    return 1;
  } catch (const std::exception &e) {
    set_err(err, err_len, std::string("inference failed: ") + e.what());
    return 0;
  }
}

void example_net_free(ExampleNet *n)
{
  delete n;
}

}  // extern "C"
