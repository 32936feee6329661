// SPDX-License-Identifier: LGPL-2.1-or-later
// Pipeline helpers for the soft platform element tests: run a gst-launch
// description to EOS or error, collect what appsinks named "out*" received,
// and feed appsrc "src" with prepared buffers.
#pragma once

#include <gst/app/app.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace softtest {

using SamplePtr = std::shared_ptr<GstSample>;

struct RunResult {
  std::map<std::string, std::vector<SamplePtr>> samples;
  bool eos = false;
  bool timed_out = false;
  std::string error;
  std::string error_debug;
  std::string error_source;

  const std::vector<SamplePtr> &out(const std::string &name = "out") { return samples[name]; }
};

struct RunOptions {
  std::vector<GstBuffer *> push;  // pushed into appsrc "src", ownership taken
  std::function<void(GstElement *)> setup;  // called before PLAYING
  int timeout_s = 90;
};

class SinkCollector {
 public:
  std::mutex lock;
  std::vector<SamplePtr> samples;
};

inline GstFlowReturn on_new_sample(GstAppSink *sink, gpointer user_data)
{
  auto *c = static_cast<SinkCollector *>(user_data);
  GstSample *s = gst_app_sink_pull_sample(sink);
  if (!s)
    return GST_FLOW_ERROR;
  std::lock_guard<std::mutex> l(c->lock);
  c->samples.emplace_back(s, gst_sample_unref);
  return GST_FLOW_OK;
}

inline RunResult run_pipeline(const std::string &desc, RunOptions opts = RunOptions())
{
  RunResult r;
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(desc.c_str(), &err);
  if (!pipe || err) {
    r.error = std::string("parse: ") + (err ? err->message : "?");
    g_clear_error(&err);
    if (pipe)
      gst_object_unref(pipe);
    for (GstBuffer *b : opts.push)
      gst_buffer_unref(b);
    return r;
  }
  std::map<std::string, std::unique_ptr<SinkCollector>> collectors;
  GstIterator *it = gst_bin_iterate_recurse(GST_BIN(pipe));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GstElement *e = GST_ELEMENT(g_value_get_object(&item));
    if (GST_IS_APP_SINK(e) && g_str_has_prefix(GST_ELEMENT_NAME(e), "out")) {
      auto c = std::make_unique<SinkCollector>();
      GstAppSinkCallbacks cb = {};
      cb.new_sample = on_new_sample;
      gst_app_sink_set_callbacks(GST_APP_SINK(e), &cb, c.get(), nullptr);
      g_object_set(e, "sync", FALSE, NULL);
      collectors[GST_ELEMENT_NAME(e)] = std::move(c);
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);

  if (opts.setup)
    opts.setup(pipe);
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), "src");
  if (src && GST_IS_APP_SRC(src)) {
    for (GstBuffer *b : opts.push)
      gst_app_src_push_buffer(GST_APP_SRC(src), b);
    gst_app_src_end_of_stream(GST_APP_SRC(src));
  } else {
    for (GstBuffer *b : opts.push)
      gst_buffer_unref(b);
  }
  if (src)
    gst_object_unref(src);

  GstBus *bus = gst_element_get_bus(pipe);
  GstMessage *msg = gst_bus_timed_pop_filtered(bus, (GstClockTime)opts.timeout_s * GST_SECOND,
                                               (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (!msg) {
    r.timed_out = true;
  } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
    r.eos = true;
  } else {
    GError *e = nullptr;
    gchar *dbg = nullptr;
    gst_message_parse_error(msg, &e, &dbg);
    r.error = e ? e->message : "error";
    r.error_debug = dbg ? dbg : "";
    r.error_source = GST_MESSAGE_SRC_NAME(msg) ? GST_MESSAGE_SRC_NAME(msg) : "";
    g_clear_error(&e);
    g_free(dbg);
  }
  if (msg)
    gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipe, GST_STATE_NULL);
  for (auto &kv : collectors) {
    std::lock_guard<std::mutex> l(kv.second->lock);
    r.samples[kv.first] = kv.second->samples;
  }
  gst_object_unref(pipe);
  return r;
}

/* ---- raw frames ---- */

struct Caps {
  GstVideoInfo info;
  std::string format;
  int width = 0, height = 0;
  bool gbm = false;
};

inline Caps caps_of(const SamplePtr &s)
{
  Caps c;
  GstCaps *caps = gst_sample_get_caps(s.get());
  EXPECT_TRUE(caps != nullptr);
  gst_video_info_init(&c.info);
  if (!caps)
    return c;
  if (gst_video_info_from_caps(&c.info, caps)) {
    c.format = GST_VIDEO_INFO_NAME(&c.info);
    c.width = GST_VIDEO_INFO_WIDTH(&c.info);
    c.height = GST_VIDEO_INFO_HEIGHT(&c.info);
  }
  GstCapsFeatures *f = gst_caps_get_features(caps, 0);
  c.gbm = f && gst_caps_features_contains(f, "memory:GBM");
  return c;
}

/* Mapped view of a raw sample, honouring its video meta strides. */
class FrameView {
 public:
  explicit FrameView(const SamplePtr &s)
  {
    Caps c = caps_of(s);
    info_ = c.info;
    ok_ = gst_video_frame_map(&frame_, &info_, gst_sample_get_buffer(s.get()), GST_MAP_READ);
  }
  ~FrameView()
  {
    if (ok_)
      gst_video_frame_unmap(&frame_);
  }
  bool ok() const { return ok_; }
  int width() const { return GST_VIDEO_FRAME_WIDTH(&frame_); }
  int height() const { return GST_VIDEO_FRAME_HEIGHT(&frame_); }
  const uint8_t *row(int plane, int y) const
  {
    return (const uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&frame_, plane) + (size_t)y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame_, plane);
  }
  GstVideoFrame *frame() { return &frame_; }

 private:
  GstVideoInfo info_;
  GstVideoFrame frame_;
  bool ok_ = false;
};

/* Builds a raw buffer of @format/@w/@h whose planes have @pad extra bytes
 * per row (filled with 0xAB), described by a video meta. */
inline GstBuffer *make_frame(GstVideoFormat format, int w, int h, int pad,
                             const std::function<void(GstVideoFrame *)> &fill, GstClockTime pts = 0)
{
  GstVideoInfo info;
  gst_video_info_set_format(&info, format, w, h);
  gsize offset[GST_VIDEO_MAX_PLANES] = {0};
  gint stride[GST_VIDEO_MAX_PLANES] = {0};
  gsize total = 0;
  for (guint i = 0; i < GST_VIDEO_INFO_N_PLANES(&info); i++) {
    stride[i] = GST_VIDEO_INFO_PLANE_STRIDE(&info, i) + pad;
    offset[i] = total;
    int rows = GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info.finfo, i, h);
    total += (gsize)stride[i] * rows;
  }
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, total, nullptr);
  gst_buffer_memset(buf, 0, 0xAB, total);
  gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, format, w, h, GST_VIDEO_INFO_N_PLANES(&info),
                                 offset, stride);
  GstVideoFrame frame;
  if (gst_video_frame_map(&frame, &info, buf, GST_MAP_WRITE)) {
    fill(&frame);
    gst_video_frame_unmap(&frame);
  }
  GST_BUFFER_PTS(buf) = pts;
  GST_BUFFER_DURATION(buf) = GST_SECOND / 30;
  return buf;
}

inline uint8_t *plane_row(GstVideoFrame *f, int plane, int y)
{
  return (uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(f, plane) + (size_t)y * GST_VIDEO_FRAME_PLANE_STRIDE(f, plane);
}

/* ---- colour references, straight from the matrix definitions ---- */

struct Rgb {
  double r, g, b;
};

inline void matrix_k(bool bt709, double &kr, double &kb)
{
  kr = bt709 ? 0.2126 : 0.299;
  kb = bt709 ? 0.0722 : 0.114;
}

inline Rgb yuv_to_rgb(int Y, int U, int V, bool bt709)
{
  double kr, kb;
  matrix_k(bt709, kr, kb);
  double kg = 1 - kr - kb;
  double y = (Y - 16) * 255.0 / 219.0, u = (U - 128) * 255.0 / 224.0, v = (V - 128) * 255.0 / 224.0;
  double r = y + 2 * (1 - kr) * v;
  double b = y + 2 * (1 - kb) * u;
  double g = (y - kr * r - kb * b) / kg;
  auto clip = [](double x) { return x < 0 ? 0 : (x > 255 ? 255 : x); };
  return {clip(r), clip(g), clip(b)};
}

inline void rgb_to_yuv(double r, double g, double b, bool bt709, double &Y, double &U, double &V)
{
  double kr, kb;
  matrix_k(bt709, kr, kb);
  double kg = 1 - kr - kb;
  double y = kr * r + kg * g + kb * b;
  Y = 16 + y * 219.0 / 255.0;
  U = 128 + (b - y) / (2 * (1 - kb)) * 224.0 / 255.0;
  V = 128 + (r - y) / (2 * (1 - kr)) * 224.0 / 255.0;
}

}  // namespace softtest
