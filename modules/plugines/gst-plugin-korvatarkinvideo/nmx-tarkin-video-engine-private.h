// SPDX-License-Identifier: BSD-3-Clause
// Engine record, and the overlay renderer exposed for the tests and the benchmark.
#pragma once

#include "nmx-tarkin-engine-core.h"
#include "nmx-tarkin-video-engine.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// The detection engine's fields (model input size in geometry), then its own counter.
struct _GstNmxTarkinVideoEngine : NmxTarkinEngineCore {
  guint64 rendered_frames = 0;
};

#define GST_NMX_TARKIN_VIDEO_INPUT_ELEMENTS \
  (GST_NMX_TARKIN_VIDEO_MODEL_SIZE * GST_NMX_TARKIN_VIDEO_MODEL_SIZE * 3)  /* at 640 */
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

// Sizes below are those of the default 640 model: 160 x 160 prototypes (P = S/4 for
// a model of input size S) and 8400 candidate columns.

// The [P*P][32] prototype tensor transposed to 32 x P*P.
void build_proto_matrix (const float *proto, cv::Mat & proto_t, int proto_side = 160);
// All masks at once: (kept x 32) . (32 x P*P), row i = object i's P x P mask.
// coeff is the [32][candidates] coefficient tensor.
void mask_product (const float *coeff, const std::vector<KeptObject> & kept, const cv::Mat & proto_t,
    cv::Mat & masks, int candidates = 8400);
// Projected crop of a frame box in the P x P prototype space (may be empty).
cv::Rect project_box_to_proto (const cv::Rect & box, float scale, int proto_side = 160);
cv::Scalar class_color_bgr (int class_id);
// Clears out, then draws masks (rows of masks, in kept order), outlines and tags.
// out is CV_8UC3 (BGR) or CV_8UC4 (BGRA).
void render_overlay (cv::Mat & out, const cv::Mat & masks, const std::vector<KeptObject> & kept, float scale,
    bool print_valid_boxes, guint frame_index, int proto_side = 160);

}  // namespace nmx_tarkin_video
