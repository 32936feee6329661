// SPDX-License-Identifier: BSD-3-Clause
// Per-frame YOLO pre- and post-processing for 1080p frames: the shared nmx_yolo_common
// code against the usual OpenCV path (blobFromImage with swapRB; decode then
// NMSBoxes), measured side by side in one run. Inference is timed on its own.
//
//   bench_tarkin CLIP_1080P.mp4 [MODEL.onnx]
#include "nmx-yolo-common.h"

#include <gst/app/app.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <tarkin/tarkin.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0)
{
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::vector<cv::Mat> decode_frames(const char *clip, int count)
{
  gchar *desc = g_strdup_printf("filesrc location=\"%s\" ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! "
                                "video/x-raw,format=BGR ! appsink name=s sync=false",
                                clip);
  GError *err = nullptr;
  GstElement *p = gst_parse_launch(desc, &err);
  g_free(desc);
  std::vector<cv::Mat> frames;
  if (!p) {
    std::fprintf(stderr, "bench_tarkin: %s\n", err ? err->message : "cannot build decode pipeline");
    g_clear_error(&err);
    return frames;
  }
  GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "s");
  gst_element_set_state(p, GST_STATE_PLAYING);
  while ((int)frames.size() < count) {
    GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (!s)
      break;
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(s));
    GstMapInfo map;
    GstBuffer *b = gst_sample_get_buffer(s);
    gst_buffer_map(b, &map, GST_MAP_READ);
    cv::Mat view(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                 GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
    frames.push_back(view.clone());
    gst_buffer_unmap(b, &map);
    gst_sample_unref(s);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return frames;
}

// Plausible raw outputs: a few hundred confident candidates in overlapping clusters
// over a background of low scores.
void make_v8_outputs(std::vector<float> &box, std::vector<float> &cls)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> low(0.0f, 0.05f), hot(0.55f, 0.98f), pos(40, 600), jit(-6, 6);
  box.assign(4 * 8400, 0.0f);
  cls.resize(80 * 8400);
  for (auto &v : cls)
    v = low(rng);
  for (int a = 0; a < 8400; a++) {
    box[a] = pos(rng);
    box[8400 + a] = pos(rng);
    box[2 * 8400 + a] = 30;
    box[3 * 8400 + a] = 40;
  }
  for (int k = 0; k < 60; k++) {
    const float cx = pos(rng), cy = pos(rng);
    for (int m = 0; m < 6; m++) {
      const int a = (int)(rng() % 8400);
      box[a] = cx + jit(rng);
      box[8400 + a] = cy + jit(rng);
      box[2 * 8400 + a] = 60 + jit(rng);
      box[3 * 8400 + a] = 90 + jit(rng);
      cls[(size_t)(k % 80) * 8400 + a] = hot(rng);
    }
  }
}

void make_v5_outputs(std::vector<float> heads[3])
{
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> low(-8.0f, -4.0f), cls_low(-3, 0), hot(1.0f, 4.0f);
  const int grids[3] = {80, 40, 20};
  for (int h = 0; h < 3; h++) {
    heads[h].resize((size_t)grids[h] * grids[h] * 255);
    for (size_t i = 0; i < heads[h].size(); i++)
      heads[h][i] = (i % 85 == 4) ? low(rng) : cls_low(rng);
  }
  for (int k = 0; k < 360; k++) {
    const int h = k % 3, g = grids[h];
    const int i = 10 + (k * 7) % (g - 20 > 0 ? g - 20 : 1), j = 10 + (k * 13) % (g - 20 > 0 ? g - 20 : 1);
    float *v = &heads[h][(size_t)(i * g + j) * 255 + (k % 3) * 85];
    v[4] = hot(rng);
    v[5 + k % 80] = hot(rng);
  }
}

// The usual OpenCV YOLOv8 post-processing: transpose to [8400][84], best class per
// row, then NMSBoxes.
void reference_v8(const std::vector<float> &box, const std::vector<float> &cls, float scale, std::vector<int> &keep)
{
  cv::Mat out(84, 8400, CV_32F);
  std::memcpy(out.ptr<float>(0), box.data(), 4 * 8400 * sizeof(float));
  std::memcpy(out.ptr<float>(4), cls.data(), 80 * 8400 * sizeof(float));
  cv::Mat rows = out.t();
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
  std::vector<int> ids;
  for (int r = 0; r < rows.rows; r++) {
    const float *p = rows.ptr<float>(r);
    cv::Mat sc(1, 80, CV_32F, const_cast<float *>(p + 4));
    cv::Point cls_id;
    double max;
    cv::minMaxLoc(sc, nullptr, &max, nullptr, &cls_id);
    if (max < 0.5)
      continue;
    boxes.emplace_back((int)((p[0] - 0.5f * p[2]) * scale), (int)((p[1] - 0.5f * p[3]) * scale), (int)(p[2] * scale),
                       (int)(p[3] * scale));
    scores.push_back((float)max);
    ids.push_back(cls_id.x);
  }
  cv::dnn::NMSBoxes(boxes, scores, 0.5f, 0.45f, keep);
}

// The usual OpenCV YOLOv5 post-processing over [25200][85] rows, then NMSBoxes.
void reference_v5(const std::vector<float> heads[3], float scale, std::vector<int> &keep)
{
  static const int grids[3] = {80, 40, 20}, strides[3] = {8, 16, 32};
  static const int *anchors[3] = {nmx::yolo::kAnchor0, nmx::yolo::kAnchor1, nmx::yolo::kAnchor2};
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
  std::vector<int> ids;
  auto sig = [](float x) { return 1.0f / (1.0f + std::exp(-x)); };
  for (int h = 0; h < 3; h++) {
    const int g = grids[h];
    for (int cell = 0; cell < g * g; cell++)
      for (int a = 0; a < 3; a++) {
        const float *p = &heads[h][(size_t)cell * 255 + a * 85];
        const float obj = sig(p[4]);
        if (obj < 0.5f)
          continue;
        cv::Mat sc(1, 80, CV_32F, const_cast<float *>(p + 5));
        cv::Point cls_id;
        double max;
        cv::minMaxLoc(sc, nullptr, &max, nullptr, &cls_id);
        if (max <= 0.5)
          continue;
        const float bw = 2 * sig(p[2]), bh = 2 * sig(p[3]);
        const float w = anchors[h][a * 2] * bw * bw, hh = anchors[h][a * 2 + 1] * bh * bh;
        const float x = ((cell % g) + 2 * sig(p[0]) - 0.5f) * strides[h] - w / 2;
        const float y = ((cell / g) + 2 * sig(p[1]) - 0.5f) * strides[h] - hh / 2;
        boxes.emplace_back((int)(x * scale), (int)(y * scale), (int)(w * scale), (int)(hh * scale));
        scores.push_back(sig((float)max) * obj);
        ids.push_back(cls_id.x);
      }
  }
  cv::dnn::NMSBoxes(boxes, scores, 0.5f, 0.45f, keep);
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_tarkin CLIP_1080P.mp4 [MODEL.onnx]\n");
    return 2;
  }
  if (!std::ifstream(argv[1]).good()) {
    std::fprintf(stderr, "bench_tarkin: cannot read clip %s\n", argv[1]);
    return 1;
  }
  if (argc > 2 && !std::ifstream(argv[2]).good()) {
    std::fprintf(stderr, "bench_tarkin: cannot read model %s\n", argv[2]);
    return 1;
  }
  gst_init(&argc, &argv);
  cv::setNumThreads(1);  // per-frame cost on one streaming thread, like the element
  const int kFrames = 40, kRounds = 3;
  std::vector<cv::Mat> frames = decode_frames(argv[1], kFrames);
  if (frames.size() < 10) {
    std::fprintf(stderr, "bench_tarkin: could not decode frames from %s\n", argv[1]);
    return 1;
  }
  std::printf("frames: %zu of %dx%d, %d rounds, OpenCV on one thread\n", frames.size(), frames[0].cols,
              frames[0].rows, kRounds);

  std::vector<float> tensor(640 * 640 * 3);
  float scale = 1;
  int nw, nh;
  double ours_pre8 = 0, ref_pre8 = 0, ours_pre5 = 0, ref_pre5 = 0;
  for (int r = 0; r < kRounds; r++) {
    // Interleaved, so drift in machine load hits both sides alike.
    for (const cv::Mat &f : frames) {
      auto t0 = Clock::now();
      nmx::yolo::letterbox_yolov8(f.data, f.cols, f.rows, (int)f.step, tensor.data(), 640, 640, &scale, &nw, &nh);
      ours_pre8 += ms_since(t0);
      t0 = Clock::now();
      cv::Mat blob = cv::dnn::blobFromImage(f, 1.0 / 255.0, cv::Size(640, 640), cv::Scalar(), true, false, CV_32F);
      ref_pre8 += ms_since(t0);
      t0 = Clock::now();
      nmx::yolo::letterbox_yolov5(f.data, f.cols, f.rows, (int)f.step, tensor.data(), 640, 640, &scale, &nw, &nh);
      ours_pre5 += ms_since(t0);
      t0 = Clock::now();
      blob = cv::dnn::blobFromImage(f, 1.0 / 255.0, cv::Size(640, 640), cv::Scalar(), false, false, CV_32F);
      ref_pre5 += ms_since(t0);
    }
  }
  const double n = (double)frames.size() * kRounds;

  std::vector<float> box, cls, heads[3];
  make_v8_outputs(box, cls);
  make_v5_outputs(heads);
  nmx::yolo::Yolov8Result r8;
  nmx::yolo::Yolov5Result r5;
  std::vector<int> keep;
  double ours_post8 = 0, ref_post8 = 0, ours_post5 = 0, ref_post5 = 0;
  size_t kept8 = 0, kept8_ref = 0;
  for (int i = 0; i < (int)n; i++) {
    auto t0 = Clock::now();
    nmx::yolo::decode_yolov8(box.data(), cls.data(), nmx::yolo::ModelGeometry(), 3.0f, 0.5f, 0.45f, &r8);
    ours_post8 += ms_since(t0);
    kept8 = r8.keep.size();
    t0 = Clock::now();
    reference_v8(box, cls, 3.0f, keep);
    ref_post8 += ms_since(t0);
    kept8_ref = keep.size();
    t0 = Clock::now();
    nmx::yolo::decode_yolov5(heads[0].data(), heads[1].data(), heads[2].data(), nmx::yolo::ModelGeometry(), 0.5f, 0.45f, &r5);
    ours_post5 += ms_since(t0);
    t0 = Clock::now();
    reference_v5(heads, 3.0f, keep);
    ref_post5 += ms_since(t0);
  }

  std::printf("YOLOv8 pre   letterbox RGB: %.3f ms   blobFromImage swapRB: %.3f ms   ratio ref/ours %.2f\n",
              ours_pre8 / n, ref_pre8 / n, ref_pre8 / ours_pre8);
  std::printf("YOLOv5 pre   letterbox BGR: %.3f ms   blobFromImage:        %.3f ms   ratio ref/ours %.2f\n",
              ours_pre5 / n, ref_pre5 / n, ref_pre5 / ours_pre5);
  std::printf("YOLOv8 post  decode+NMS:    %.3f ms   transpose+NMSBoxes:   %.3f ms   ratio ref/ours %.2f"
              "  (kept %zu vs %zu)\n",
              ours_post8 / n, ref_post8 / n, ref_post8 / ours_post8, kept8, kept8_ref);
  std::printf("YOLOv5 post  decode+NMS:    %.3f ms   rows+NMSBoxes:        %.3f ms   ratio ref/ours %.2f\n",
              ours_post5 / n, ref_post5 / n, ref_post5 / ours_post5);
  const double ours = ours_pre8 + ours_post8, ref = ref_pre8 + ref_post8;
  std::printf("YOLOv8 pre+post per frame: ours %.3f ms, OpenCV %.3f ms, ratio ref/ours %.2f (goal >= 1.00)\n", ours / n,
              ref / n, ref / ours);
  const double ours5 = ours_pre5 + ours_post5, ref5 = ref_pre5 + ref_post5;
  std::printf("YOLOv5 pre+post per frame: ours %.3f ms, OpenCV %.3f ms, ratio ref/ours %.2f (goal >= 1.00)\n",
              ours5 / n, ref5 / n, ref5 / ours5);

  if (argc > 2) {
    auto *m = Velkor::Tarkin::Model::create_instance(argv[2]);
    if (!m) {
      std::fprintf(stderr, "bench_tarkin: cannot load model %s\n", argv[2]);
      return 1;
    }
    m->set_model_properties({{1, 640, 640, 3}}, Velkor::Tarkin::DataType(4), {{1, 4, 8400}, {1, 80, 8400}},
                            Velkor::Tarkin::DataType(4));
    auto it = Velkor::Tarkin::InterpreterBuilder::build_interpretper_from_model_and_config(
        m, Velkor::Tarkin::Config::create_instance());
    if (!it || it->init(nullptr) != 0 || it->load_model(nullptr) != 0) {
      std::fprintf(stderr, "bench_tarkin: cannot load model %s\n", argv[2]);
      return 1;
    }
    double inf = 0;
    const int kInfer = 10;
    for (int i = 0; i < kInfer; i++) {
      it->set_input_tensor(0, tensor.data());
      auto t0 = Clock::now();
      it->invoke(nullptr);
      inf += ms_since(t0);
    }
    std::printf("inference (back end, %s): %.3f ms per frame, not part of the ratio\n", argv[2], inf / kInfer);
  }
  return 0;
}
