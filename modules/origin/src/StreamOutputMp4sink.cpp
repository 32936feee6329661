#define NIMBRA_MODULE "modules/origin/src/StreamOutputMp4sink"
#include "StreamOutputMp4sink.h"

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"

using nimbra_internal::add_all;
using nimbra_internal::drop_all;

namespace {
// A frame or an access unit without a PTS would end the whole recording with an error in
// mp4mux ("Buffer has no PTS"): an RTSP source's jitterbuffer that lost the sender's clock
// hands such frames on, and the parser may hand on its last access unit without one at
// the end-of-stream. Both get one where the group starts and before the muxer.
void guard_recording(GstElement* first, GstElement* parser) {
  GstPad* in = gst_element_get_static_pad(first, "sink");
  nimbra_internal::guard_timestamps(in, "A recording got frames without timestamps; those with no earlier frame are dropped.");
  if (in) gst_object_unref(in);
  GstPad* out = gst_element_get_static_pad(parser, "src");
  nimbra_internal::guard_timestamps(out, "A recording got access units without timestamps; those with no earlier one are dropped.");
  if (out) gst_object_unref(out);
}
}  // namespace

StreamOutputMp4sink::StreamOutputMp4sink(std::string location_) : location(std::move(location_)) {}

StreamOutputMp4sink::StreamOutputMp4sink(std::string location_, int width_, int height_)
    : location(std::move(location_)), width(width_), height(height_) {}

GstElement* StreamOutputMp4sink::build() {
  const std::string& tag = nimbra_internal::platform_tag();
  if (tag == "v4l2" || tag == "ub2404") return build_6490_ql();

  GstElement* bin = gst_bin_new("nimbra-output-mp4sink");
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  GstElement* sink = gst_element_factory_make("filesink", nullptr);
  GstElement* mux = gst_element_factory_make("mp4mux", nullptr);
  NLOG_INFO("Output url: %s.", location.c_str());
  NLOG_INFO("Platform is 8550 (pure ubuntu), will use qtic2venc plugin.");
  GstElement* encoder = gst_element_factory_make("qtic2venc", nullptr);
  GstElement* parser = gst_element_factory_make("h264parse", nullptr);
  if (!bin || !queue || !sink || !mux || !encoder || !parser) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, queue, sink, mux, encoder, parser});
    return nullptr;
  }
  g_object_set(sink, "location", location.c_str(), nullptr);
  g_object_set(encoder, "b-frames", 4, "target-bitrate", 2000000, nullptr);
  g_object_set(parser, "config-interval", 1, nullptr);
  add_all(bin, {encoder, queue, parser, mux, sink});
  if (!gst_element_link_many(encoder, queue, parser, mux, sink, nullptr)) {
    NLOG_ERROR("Failed to link elements. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  createSinkPad(bin, encoder);
  guard_recording(encoder, parser);
  return bin;
}

GstElement* StreamOutputMp4sink::build_6490_ql() {
  const bool ql = nimbra_internal::platform_tag() == "v4l2";
  GstElement* bin = gst_bin_new("nimbra-output-mp4sink");
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  GstElement* sink = gst_element_factory_make("filesink", nullptr);
  GstElement* transform = gst_element_factory_make("qtivtransform", "qtivtransformNV12");
  GstElement* nv12 = gst_element_factory_make("capsfilter", "capsfilter_nv12");
  GstElement* convert_nv12 = gst_element_factory_make("videoconvert", "videoconvert_NV12");
  GstElement* i420 = gst_element_factory_make("capsfilter", "capsfilter_I420");
  GstElement* box = gst_element_factory_make("videobox", "videobox");
  if (nv12) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "NV12", nullptr);
    g_object_set(nv12, "caps", caps, nullptr);
    gst_caps_unref(caps);
  }
  if (i420) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr);
    g_object_set(i420, "caps", caps, nullptr);
    gst_caps_unref(caps);
  }
  const int w = get_stream_width(stream_id);
  const int h = get_stream_height(stream_id);
  if (w != 0 && h != 0) {
    // The encoder works on 32-row aligned pictures; a negative border adds the rows.
    const int bottom = h - align_up(h, 32);
    if (box) g_object_set(box, "bottom", bottom, nullptr);
    NLOG_INFO("Configure video bottom: %d", bottom);
  } else {
    NLOG_WARN("Output width and height not specified.");
  }
  GstElement* convert_i420 = gst_element_factory_make("videoconvert", "videoconvert_I420");
  GstElement* mux = gst_element_factory_make("mp4mux", nullptr);
  NLOG_INFO("Output url: %s.", location.c_str());
  NLOG_INFO("Platform is 6490 ql, will use v4l2h264enc plugin.");
  GstElement* encoder = gst_element_factory_make("v4l2h264enc", nullptr);
  if (encoder)
    g_object_set(encoder, "b-frames", 4, "target-bitrate", 2000000, "capture-io-mode", ql ? 2 : 4,
                 "output-io-mode", ql ? 5 : 4, nullptr);
  // An encoder that can mark the padding rows as cropped does, so players show the configured height.
  if (encoder && w != 0 && h != 0 && g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), "crop-bottom"))
    g_object_set(encoder, "crop-bottom", (guint)(align_up(h, 32) - h), nullptr);
  GstElement* parser = gst_element_factory_make("h264parse", nullptr);
  if (parser) g_object_set(parser, "config-interval", 1, nullptr);
  if (!bin || !queue || !sink || !transform || !nv12 || !convert_nv12 || !i420 || !box || !convert_i420 ||
      !mux || !encoder || !parser) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, queue, sink, transform, nv12, convert_nv12, i420, box, convert_i420, mux, encoder, parser});
    return nullptr;
  }
  g_object_set(sink, "location", location.c_str(), nullptr);
  add_all(bin, {transform, nv12, convert_nv12, i420, box, convert_i420, encoder, queue, parser, mux, sink});
  if (!gst_element_link_many(transform, nv12, convert_nv12, i420, box, convert_i420, encoder, queue, parser, mux,
                             sink, nullptr)) {
    NLOG_ERROR("Failed to link elements. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  createSinkPad(bin, transform);
  guard_recording(transform, parser);
  return bin;
}
