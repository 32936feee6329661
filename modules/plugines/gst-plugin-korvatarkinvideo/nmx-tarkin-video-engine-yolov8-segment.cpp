// SPDX-License-Identifier: BSD-3-Clause
// YOLOv8 instance segmentation per-frame pipeline: letterbox to RGB, inference,
// coefficient/box/class/prototype tensors routed by size, class-agnostic suppression,
// one matrix product for every mask, and the overlay frame.
#include "nmx-tarkin-video-engine-private.h"

#include "nmx-yolo-common.h"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace nmx_tarkin_video {

namespace {

constexpr int kMaskDim = GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM;
constexpr float kMaskThreshold = 0.5f;
constexpr double kBgrMaskOpacity = 0.55;
constexpr uchar kBgraMaskAlpha = 160;
constexpr double kBgraLabelAlpha = 220;
constexpr int kFontFace = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.6;
constexpr int kTimingEvery = 50;
constexpr guint64 kEmptyLogEvery = 250;

// Overlay scratch, one set per streaming thread (released at thread exit).
struct RenderScratch {
  cv::Mat coeffs, resized, bin;
};
thread_local RenderScratch t_scratch;

const char *label_for(int class_id)
{
  return (class_id >= 0 && class_id < GST_NMX_TARKIN_VIDEO_OBJ_CLASS_NUM) ? kYoloV8SegCoco80[class_id] : "unknown";
}

void blend_mask_roi_bgr(cv::Mat &dst_bgr, const cv::Mat &mask_bin, const cv::Scalar &color, double opacity)
{
  CV_Assert(dst_bgr.type() == CV_8UC3);
  CV_Assert(mask_bin.type() == CV_8UC1);
  CV_Assert(dst_bgr.size() == mask_bin.size());
  const double a = std::min(1.0, std::max(0.0, opacity));
  // Per channel lookup of round(out * (1 - a) + a * colour): one table per object.
  uchar lut[3][256];
  for (int c = 0; c < 3; c++)
    for (int v = 0; v < 256; v++)
      lut[c][v] = cv::saturate_cast<uchar>(std::lround(v * (1.0 - a) + a * color[c]));
  for (int y = 0; y < dst_bgr.rows; y++) {
    uchar *d = dst_bgr.ptr<uchar>(y);
    const uchar *m = mask_bin.ptr<uchar>(y);
    for (int x = 0; x < dst_bgr.cols; x++, d += 3) {
      if (!m[x])
        continue;
      d[0] = lut[0][d[0]];
      d[1] = lut[1][d[1]];
      d[2] = lut[2][d[2]];
    }
  }
}

void blend_mask_roi_bgra(cv::Mat &dst_bgra, const cv::Mat &mask_bin, const cv::Scalar &color, uchar alpha)
{
  CV_Assert(dst_bgra.type() == CV_8UC4);
  CV_Assert(mask_bin.type() == CV_8UC1);
  CV_Assert(dst_bgra.size() == mask_bin.size());
  const uchar px[4] = {(uchar)color[0], (uchar)color[1], (uchar)color[2], alpha};
  for (int y = 0; y < dst_bgra.rows; y++) {
    uchar *d = dst_bgra.ptr<uchar>(y);
    const uchar *m = mask_bin.ptr<uchar>(y);
    for (int x = 0; x < dst_bgra.cols; x++, d += 4)
      if (m[x])
        std::copy(px, px + 4, d);
  }
}

}  // namespace

void build_proto_matrix(const float *proto, cv::Mat &proto_t, int proto_side)
{
  const cv::Mat rows(proto_side * proto_side, kMaskDim, CV_32F, const_cast<float *>(proto));
  cv::transpose(rows, proto_t);
}

namespace {

typedef float v8f __attribute__((vector_size(32)));

// Four rows [i0, i0 + 4) of masks over pixels [p0, p1) (p1 - p0 a multiple of 8):
// each prototype value is loaded once for the four objects, the sums stay in registers.
__attribute__((always_inline)) inline void product_rows4(const cv::Mat &coeffs, const cv::Mat &proto_t,
                                                         cv::Mat &masks, int i0, int p0, int p1)
{
  const float *c0 = coeffs.ptr<float>(i0), *c1 = coeffs.ptr<float>(i0 + 1), *c2 = coeffs.ptr<float>(i0 + 2),
              *c3 = coeffs.ptr<float>(i0 + 3);
  const float *base = proto_t.ptr<float>(0);
  const size_t step = proto_t.step1();
  for (int p = p0; p < p1; p += 8) {
    v8f a0 = {}, a1 = {}, a2 = {}, a3 = {};
    const float *pk = base + p;
    for (int k = 0; k < kMaskDim; k++, pk += step) {
      v8f v;
      memcpy(&v, pk, sizeof v);
      a0 += c0[k] * v;
      a1 += c1[k] * v;
      a2 += c2[k] * v;
      a3 += c3[k] * v;
    }
    memcpy(masks.ptr<float>(i0) + p, &a0, sizeof a0);
    memcpy(masks.ptr<float>(i0 + 1) + p, &a1, sizeof a1);
    memcpy(masks.ptr<float>(i0 + 2) + p, &a2, sizeof a2);
    memcpy(masks.ptr<float>(i0 + 3) + p, &a3, sizeof a3);
  }
}

__attribute__((always_inline)) inline void product_row1(const cv::Mat &coeffs, const cv::Mat &proto_t,
                                                        cv::Mat &masks, int i, int p0, int p1)
{
  const float *c = coeffs.ptr<float>(i);
  const float *base = proto_t.ptr<float>(0);
  const size_t step = proto_t.step1();
  for (int p = p0; p < p1; p += 8) {
    v8f a = {};
    const float *pk = base + p;
    for (int k = 0; k < kMaskDim; k++, pk += step) {
      v8f v;
      memcpy(&v, pk, sizeof v);
      a += c[k] * v;
    }
    memcpy(masks.ptr<float>(i) + p, &a, sizeof a);
  }
}

// The general product (n x 32) . (32 x 25,600), blocked so a 32 x 256 slab of the
// prototypes stays in cache while every object's row is computed from it: the
// prototypes are read from memory once per frame, not once per object. On x86-64
// an AVX2 build of it is chosen at run time where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void product_blocked(const cv::Mat &coeffs, const cv::Mat &proto_t, cv::Mat &masks)
{
  constexpr int kBlock = 256;
  const int n = coeffs.rows;
  for (int p0 = 0; p0 < proto_t.cols; p0 += kBlock) {
    const int p1 = std::min(p0 + kBlock, proto_t.cols);
    int i = 0;
    for (; i + 4 <= n; i += 4)
      product_rows4(coeffs, proto_t, masks, i, p0, p1);
    for (; i < n; i++)
      product_row1(coeffs, proto_t, masks, i, p0, p1);
  }
}

}  // namespace

void mask_product(const float *coeff, const std::vector<KeptObject> &kept, const cv::Mat &proto_t, cv::Mat &masks,
                  int candidates)
{
  const int n = (int)kept.size();
  cv::Mat &coeffs = t_scratch.coeffs;
  coeffs.create(n, kMaskDim, CV_32F);
  for (int i = 0; i < n; i++) {
    float *row = coeffs.ptr<float>(i);
    for (int k = 0; k < kMaskDim; k++)
      row[k] = coeff[(size_t)k * candidates + kept[(size_t)i].column];
  }
  CV_Assert(proto_t.type() == CV_32F && proto_t.rows == kMaskDim && proto_t.cols % 8 == 0);
  masks.create(n, proto_t.cols, CV_32F);
  product_blocked(coeffs, proto_t, masks);
}

cv::Rect project_box_to_proto(const cv::Rect &box, float scale, int proto_side)
{
  const double f = scale > 0 ? 1.0 / scale : 1.0;
  const int x1 = (int)std::floor(box.x * f * 0.25);
  const int y1 = (int)std::floor(box.y * f * 0.25);
  const int x2 = (int)std::ceil((box.x + box.width) * f * 0.25);
  const int y2 = (int)std::ceil((box.y + box.height) * f * 0.25);
  return cv::Rect(x1, y1, x2 - x1, y2 - y1) & cv::Rect(0, 0, proto_side, proto_side);
}

cv::Scalar class_color_bgr(int class_id)
{
  const int c = std::max(0, class_id);
  return cv::Scalar((37 * c + 64) % 256, (17 * c + 128) % 256, (29 * c + 192) % 256);
}

void render_overlay(cv::Mat &out, const cv::Mat &masks, const std::vector<KeptObject> &kept, float scale,
                    bool print_valid_boxes, guint frame_index, int proto_side)
{
  const bool bgra = out.type() == CV_8UC4;
  out.setTo(cv::Scalar::all(0));
  const cv::Rect frame(0, 0, out.cols, out.rows);

  for (size_t i = 0; i < kept.size() && (int)i < masks.rows; i++) {
    const cv::Rect box = kept[i].box & frame;
    if (box.empty())
      continue;
    const cv::Rect pr = project_box_to_proto(box, scale, proto_side);
    if (pr.empty())
      continue;
    // Only the box region of the prototype-sized mask goes up to frame resolution.
    const cv::Mat mask(proto_side, proto_side, CV_32F, const_cast<float *>(masks.ptr<float>((int)i)));
    cv::resize(mask(pr), t_scratch.resized, box.size(), 0, 0, cv::INTER_LINEAR);
    cv::compare(t_scratch.resized, kMaskThreshold, t_scratch.bin, cv::CMP_GT);
    cv::Mat roi = out(box);
    const cv::Scalar color = class_color_bgr(kept[i].class_id);
    if (bgra)
      blend_mask_roi_bgra(roi, t_scratch.bin, color, kBgraMaskAlpha);
    else
      blend_mask_roi_bgr(roi, t_scratch.bin, color, kBgrMaskOpacity);
  }

  const bool log_boxes =
      print_valid_boxes && gst_debug_category_get_threshold(GST_CAT_DEFAULT) >= GST_LEVEL_INFO;
  const cv::Scalar white = bgra ? cv::Scalar(255, 255, 255, 255) : cv::Scalar(255, 255, 255);
  for (const KeptObject &k : kept) {
    cv::Scalar color = class_color_bgr(k.class_id);
    color[3] = bgra ? 255 : 0;
    cv::rectangle(out, k.box, color, 2, cv::LINE_AA);

    char text[128];
    const char *label = label_for(k.class_id);
    g_snprintf(text, sizeof text, "%s %.2f", label, k.score);
    int baseline = 0;
    const cv::Size ts = cv::getTextSize(text, kFontFace, kFontScale, 1, &baseline);
    const int x0 = std::max(0, k.box.x);
    // A box at the top edge gets its tag inside the frame.
    const int base = std::max(ts.height + 4, k.box.y - 4);
    const int top = base - ts.height - 4;
    const int tag_w = std::min(ts.width + 6, out.cols - x0);
    const int tag_h = std::min(ts.height + 6, out.rows - std::max(0, top));
    if (tag_w > 0 && tag_h > 0) {
      cv::Scalar fill = color;
      fill[3] = bgra ? kBgraLabelAlpha : 0;
      cv::rectangle(out, cv::Rect(x0, top, tag_w, tag_h), fill, cv::FILLED);
    }
    cv::putText(out, text, cv::Point(x0 + 3, base - 3), kFontFace, kFontScale, white, 1, cv::LINE_AA);
    if (log_boxes)
      GST_INFO("nmx-tarkin-video: frame=%u cls=%s conf=%.4f box=[%d,%d,%d,%d]", frame_index, label, k.score,
               k.box.x, k.box.y, k.box.width, k.box.height);
  }
}

}  // namespace nmx_tarkin_video

namespace {

using nmx_tarkin_video::KeptObject;

struct YoloV8SegmentationContext {
  gint32 width = 0, height = 0, stride = 0;
  float scale = 1.0f;
  const float *coeff_output = nullptr;
  const float *box_output = nullptr;
  const float *class_output = nullptr;
  const float *proto_output = nullptr;
  guint32 coeff_output_size = 0, box_output_size = 0, class_output_size = 0, proto_output_size = 0;
  std::vector<int> class_ids;
  std::vector<float> scores;
  std::vector<cv::Rect> boxes;
  std::vector<int> columns;
  std::vector<int> keep_indices;
};

gboolean preprocess(GstNmxTarkinVideoEngine *engine, const guint8 *in, int width, int height, int stride,
                    YoloV8SegmentationContext *ctx)
{
  // A stride shorter than a packed row would make the letterbox read past the frame.
  if (!in || width < 1 || height < 1 || stride < 1 || (gint64)stride < (gint64)width * 3)
    return FALSE;
  const int S = engine->geometry.size;
  int new_w = 0, new_h = 0;
  if (!nmx::yolo::letterbox_yolov8(in, width, height, stride, nmx_tarkin_core_input(engine), S, S, &ctx->scale,
                                   &new_w, &new_h))
    return FALSE;
  ctx->width = width;
  ctx->height = height;
  ctx->stride = stride;
  return TRUE;
}

// Element counts of the four outputs at the engine's model size.
struct SegOutputSizes {
  size_t coeff, box, cls, proto;
};

SegOutputSizes output_sizes(const nmx::yolo::ModelGeometry &g)
{
  const size_t m = GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM;
  return SegOutputSizes{m * g.candidates, g.v8_box_elements, g.v8_class_elements, (size_t)g.proto * g.proto * m};
}

// Routes one output by its reported size (element or byte count of a declared shape).
void pick_segmentation_output_tensor(const float *data, guint32 size, const SegOutputSizes &want,
                                     YoloV8SegmentationContext *ctx)
{
  auto is = [size](size_t elements) { return size == elements || size == elements * sizeof(float); };
  if (is(want.coeff)) {
    ctx->coeff_output = data;
    ctx->coeff_output_size = size;
  } else if (is(want.box)) {
    ctx->box_output = data;
    ctx->box_output_size = size;
  } else if (is(want.cls)) {
    ctx->class_output = data;
    ctx->class_output_size = size;
  } else if (is(want.proto)) {
    ctx->proto_output = data;
    ctx->proto_output_size = size;
  }
}

gboolean invoke(GstNmxTarkinVideoEngine *engine, YoloV8SegmentationContext *ctx)
{
  int rc = engine->interpreter->set_input_tensor(0, engine->input_tensor.data());
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation set_input_tensor failed rc=%d", rc);
    return FALSE;
  }
  rc = engine->interpreter->invoke(nullptr);
  if (rc != 0) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation invoke failed rc=%d", rc);
    return FALSE;
  }
  const SegOutputSizes want = output_sizes(engine->geometry);
  ctx->coeff_output = ctx->box_output = ctx->class_output = ctx->proto_output = nullptr;
  std::string reported;
  for (unsigned int i = 0; i < 4; i++) {
    void *data = nullptr;
    unsigned int size = 0;
    rc = engine->interpreter->get_output_tensor(i, &data, &size);
    if (rc != 0) {
      NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation get_output_tensor(%u) failed rc=%d", i, rc);
      return FALSE;
    }
    reported += (i ? ", " : "") + std::to_string(size);
    // Without data there is nothing to route; the missing tensor fails below.
    if (data)
      pick_segmentation_output_tensor(static_cast<const float *>(data), size, want, ctx);
  }
  if (!ctx->coeff_output || !ctx->box_output || !ctx->class_output || !ctx->proto_output) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation failed to map output tensors (sizes %s; model-size %d "
                     "needs %zu, %zu, %zu and %zu elements)",
                     reported.c_str(), engine->geometry.size, want.coeff, want.box, want.cls, want.proto);
    return FALSE;
  }
  // Each routed tensor must hold its whole declared shape before anything reads it.
  const struct {
    guint32 size;
    size_t elements;
  } checks[] = {{ctx->coeff_output_size, want.coeff},
                {ctx->box_output_size, want.box},
                {ctx->class_output_size, want.cls},
                {ctx->proto_output_size, want.proto}};
  for (const auto &c : checks) {
    if (!nmx::yolo::output_size_covers(c.size, c.elements)) {
      NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation output reports size %u, smaller than its declared "
                       "shape (%zu elements)", c.size, c.elements);
      return FALSE;
    }
  }
  return TRUE;
}

bool clear_output_frame(GstVideoFormat format, guint8 *out, int out_width, int out_height, int out_stride)
{
  const int bpp = format == GST_VIDEO_FORMAT_BGR ? 3 : format == GST_VIDEO_FORMAT_BGRA ? 4 : 0;
  if (!bpp)
    return true;  // other formats are left untouched
  for (int y = 0; y < out_height; y++)
    memset(out + (size_t)y * out_stride, 0, (size_t)out_width * bpp);
  return true;
}

gboolean render_output_frame(GstNmxTarkinVideoEngine *engine, const YoloV8SegmentationContext &ctx,
                             const std::vector<KeptObject> &kept, GstVideoFormat format, guint8 *out, int out_width,
                             int out_height, int out_stride, guint frame_index)
{
  if (!out || out_width < 1 || out_height < 1 || out_stride < 1)
    return FALSE;
  int type;
  if (format == GST_VIDEO_FORMAT_BGR) {
    type = CV_8UC3;
  } else if (format == GST_VIDEO_FORMAT_BGRA) {
    type = CV_8UC4;
  } else {
    NMX_ENGINE_ERROR("nmx-tarkin-video: unsupported output format %d", (int)format);
    return FALSE;
  }
  cv::Mat image(out_height, out_width, type, out, (size_t)out_stride);
  static thread_local cv::Mat proto_t, masks;
  const int proto_side = engine->geometry.proto;
  nmx_tarkin_video::build_proto_matrix(ctx.proto_output, proto_t, proto_side);
  nmx_tarkin_video::mask_product(ctx.coeff_output, kept, proto_t, masks, (int)engine->geometry.candidates);
  nmx_tarkin_video::render_overlay(image, masks, kept, ctx.scale, engine->print_valid_boxes, frame_index,
                                   proto_side);
  return TRUE;
}

gboolean postprocess(GstNmxTarkinVideoEngine *engine, YoloV8SegmentationContext *ctx, GstVideoFormat out_format,
                     guint8 *out, int out_width, int out_height, int out_stride, guint frame_index)
{
  const int N = (int)engine->geometry.candidates;
  ctx->class_ids.clear();
  ctx->scores.clear();
  ctx->boxes.clear();
  ctx->columns.clear();
  ctx->keep_indices.clear();
  ctx->class_ids.reserve(N);
  ctx->scores.reserve(N);
  ctx->boxes.reserve(N);
  ctx->columns.reserve(N);

  const float *cls = ctx->class_output;
  const float *box = ctx->box_output;
  const cv::Rect frame(0, 0, ctx->width, ctx->height);
  for (int a = 0; a < N; a++) {
    float best = cls[a];
    int best_c = 0;
    for (int c = 1; c < GST_NMX_TARKIN_VIDEO_OBJ_CLASS_NUM; c++) {
      const float v = cls[(size_t)c * N + a];
      if (v > best) {
        best = v;
        best_c = c;
      }
    }
    if (!(best >= engine->box_thresh))
      continue;
    const float cx = box[a], cy = box[N + a], w = box[2 * N + a], h = box[3 * N + a];
    const cv::Rect r = cv::Rect((int)((cx - 0.5f * w) * ctx->scale), (int)((cy - 0.5f * h) * ctx->scale),
                                (int)(ctx->scale * w), (int)(ctx->scale * h)) &
                       frame;
    if (r.width <= 0 || r.height <= 0)
      continue;
    ctx->class_ids.push_back(best_c);
    ctx->scores.push_back(best);
    ctx->boxes.push_back(r);
    ctx->columns.push_back(a);
  }

  if (ctx->boxes.empty()) {
    clear_output_frame(out_format, out, out_width, out_height, out_stride);
    if (++engine->rendered_frames % nmx_tarkin_video::kEmptyLogEvery == 0)
      GST_INFO("nmx-tarkin-video: yolov8-segmentation no objects kept (frame=%u)", frame_index);
    return TRUE;
  }
  cv::dnn::NMSBoxes(ctx->boxes, ctx->scores, engine->box_thresh, engine->nms_thresh, ctx->keep_indices, 1.0f, 0);
  if (ctx->keep_indices.empty()) {
    clear_output_frame(out_format, out, out_width, out_height, out_stride);
    if (++engine->rendered_frames % nmx_tarkin_video::kEmptyLogEvery == 0)
      GST_INFO("nmx-tarkin-video: yolov8-segmentation all boxes removed by NMS (frame=%u)", frame_index);
    return TRUE;
  }

  std::vector<KeptObject> kept;
  kept.reserve(ctx->keep_indices.size());
  for (int idx : ctx->keep_indices) {
    if (idx < 0 || (size_t)idx >= ctx->boxes.size())
      continue;
    kept.push_back(KeptObject{ctx->columns[idx], ctx->boxes[idx], ctx->class_ids[idx], ctx->scores[idx]});
  }
  if (!render_output_frame(engine, *ctx, kept, out_format, out, out_width, out_height, out_stride, frame_index)) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: failed to render overlay frame");
    return FALSE;
  }
  engine->rendered_frames++;
  return TRUE;
}

double ms_between(gint64 a, gint64 b)
{
  return (b - a) / 1000.0;
}

}  // namespace

gboolean gst_nmx_tarkin_video_engine_process_yolov8_segmentation(GstNmxTarkinVideoEngine *engine, const guint8 *in,
                                                                 int width, int height, int in_stride,
                                                                 GstVideoFormat out_format, guint8 *out,
                                                                 int out_width, int out_height, int out_stride,
                                                                 guint frame_index)
{
  if (!engine || !engine->interpreter || !in || !out)
    return FALSE;
  std::lock_guard<std::mutex> lock(engine->mutex);

  // The overlay is written row by row at out_stride: a shorter stride than a row of
  // pixels would spill into the next row and past the end of the frame.
  const int out_bpp = out_format == GST_VIDEO_FORMAT_BGRA ? 4 : 3;
  if (out_width < 1 || out_height < 1 || (gint64)out_stride < (gint64)out_width * out_bpp) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: output geometry %dx%d stride=%d cannot hold the overlay", out_width,
                     out_height, out_stride);
    return FALSE;
  }

  YoloV8SegmentationContext ctx;
  const gint64 t0 = g_get_monotonic_time();
  if (!preprocess(engine, in, width, height, in_stride, &ctx)) {
    NMX_ENGINE_ERROR("nmx-tarkin-video: yolov8-segmentation preprocess failed");
    return FALSE;
  }
  const gint64 t1 = g_get_monotonic_time();
  if (!invoke(engine, &ctx))
    return FALSE;
  const gint64 t2 = g_get_monotonic_time();
  gboolean ok = FALSE;
  try {
    ok = postprocess(engine, &ctx, out_format, out, out_width, out_height, out_stride, frame_index);
  } catch (const cv::Exception &e) {
    // Nothing escapes the streaming thread.
    NMX_ENGINE_ERROR("nmx-tarkin-video: failed to render overlay frame (%s)", e.what());
    ok = FALSE;
  }
  if (!ok)
    return FALSE;
  const gint64 t3 = g_get_monotonic_time();
  if (frame_index % nmx_tarkin_video::kTimingEvery == 0) {
    g_printerr("nmx-tarkin-video: yolov8-segmentation preprocess time = %3.2f ms\n", ms_between(t0, t1));
    g_printerr("nmx-tarkin-video: yolov8-segmentation invoke time = %3.2f ms\n", ms_between(t1, t2));
    g_printerr("nmx-tarkin-video: yolov8-segmentation postprocess time = %3.2f ms\n", ms_between(t2, t3));
    g_printerr("nmx-tarkin-video: yolov8-segmentation total inference time = %3.2f ms\n", ms_between(t0, t3));
  }
  return TRUE;
}
