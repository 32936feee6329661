// SPDX-License-Identifier: BSD-3-Clause
// Engine record, and the overlay renderer exposed for the tests and the benchmark.
#pragma once

#include "nmx-tarkin-video-engine.h"

#include <opencv2/core.hpp>
#include <tarkin/tarkin.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _GstNmxTarkinVideoEngine {
  std::mutex mutex;
  GstStructure *settings = nullptr;
  Velkor::Tarkin::Model *model = nullptr;
  Velkor::Tarkin::Config *config = nullptr;
  std::unique_ptr<Velkor::Tarkin::Interpreter> interpreter;
  std::string model_path;
  std::string model_type;
  gint32 model_kind = 0;
  std::vector<float> input_tensor;
  float box_thresh = 0.5f;
  float nms_thresh = 0.45f;
  bool print_valid_boxes = true;
  guint64 rendered_frames = 0;
};

#define GST_NMX_TARKIN_VIDEO_INPUT_ELEMENTS \
  (GST_NMX_TARKIN_VIDEO_MODEL_SIZE * GST_NMX_TARKIN_VIDEO_MODEL_SIZE * 3)
#define GST_NMX_TARKIN_VIDEO_PROTO_PIXELS (GST_NMX_TARKIN_VIDEO_SEG_PROTO_H * GST_NMX_TARKIN_VIDEO_SEG_PROTO_W)

gboolean gst_nmx_tarkin_video_engine_process_yolov8_segmentation (GstNmxTarkinVideoEngine * engine,
    const guint8 * in, int width, int height, int in_stride, GstVideoFormat out_format, guint8 * out,
    int out_width, int out_height, int out_stride, guint frame_index);

namespace nmx_tarkin_video {

extern const char *const kYoloV8SegCoco80[80];

// One kept detection, in NMS order.
struct KeptObject {
  int column;     // candidate column 0..8399: its mask coefficients
  cv::Rect box;   // frame pixels, clipped to the input frame
  int class_id;
  float score;
};

// The [25,600][32] prototype tensor transposed to 32 x 25,600.
void build_proto_matrix (const float *proto, cv::Mat & proto_t);
// All masks at once: (kept x 32) . (32 x 25,600), row i = object i's 160x160 mask.
// coeff is the [32][8400] coefficient tensor.
void mask_product (const float *coeff, const std::vector<KeptObject> & kept, const cv::Mat & proto_t,
    cv::Mat & masks);
// Projected crop of a frame box in the 160x160 prototype space (may be empty).
cv::Rect project_box_to_proto (const cv::Rect & box, float scale);
cv::Scalar class_color_bgr (int class_id);
// Clears out, then draws masks (rows of masks, in kept order), outlines and tags.
// out is CV_8UC3 (BGR) or CV_8UC4 (BGRA).
void render_overlay (cv::Mat & out, const cv::Mat & masks, const std::vector<KeptObject> & kept, float scale,
    bool print_valid_boxes, guint frame_index);

}  // namespace nmx_tarkin_video
