#define NIMBRA_MODULE "modules/origin/src/StreamOutputRtspsink"
#include "StreamOutputRtspsink.h"

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"

using nimbra_internal::add_all;
using nimbra_internal::drop_all;

StreamOutputRtspsink::StreamOutputRtspsink(std::string location_) : location(std::move(location_)) {}

StreamOutputRtspsink::StreamOutputRtspsink(std::string location_, int width_, int height_)
    : location(std::move(location_)), width(width_), height(height_) {}

GstElement* StreamOutputRtspsink::build() {
  const std::string& tag = nimbra_internal::platform_tag();
  if (tag == "v4l2" || tag == "ub2404") return build_6490_ql();

  GstElement* bin = gst_bin_new("nimbra-output-rtspsink");
  GstElement* sink = gst_element_factory_make("rtspclientsink", nullptr);
  GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
  NLOG_INFO("Output url: %s.", location.c_str());
  if (tag == "8550")
    NLOG_INFO("Platform is 8550 (pure ubuntu), will use qtic2venc plugin.");
  else if (tag == "6490")
    NLOG_INFO("Platform is 6490 (velkor / pure ubuntu), will use qticvenc plugin.");
  else
    NLOG_INFO("Platform is default setting(not 6490/8550), will use qtic2venc plugin.");
  GstElement* encoder = gst_element_factory_make("qtic2venc", nullptr);
  const bool h265 = get_encode_type(stream_id) == "H265";
  GstElement* parser = gst_element_factory_make(h265 ? "h265parse" : "h264parse", nullptr);
  if (!bin || !sink || !filter || !encoder || !parser) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, sink, filter, encoder, parser});
    return nullptr;
  }
  g_object_set(sink, "location", location.c_str(), "protocols", 4, "do-rtsp-keep-alive", FALSE, nullptr);
  g_object_set(encoder, "target-bitrate", 5000000, "idr-interval", 30, "b-frames", 0, nullptr);
  GstCaps* caps = h265 ? gst_caps_new_simple("video/x-h265", "stream-format", G_TYPE_STRING, "byte-stream",
                                             "alignment", G_TYPE_STRING, "au", nullptr)
                       : gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, "baseline", nullptr);
  g_object_set(filter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  add_all(bin, {encoder, filter, parser, sink});
  if (!gst_element_link(encoder, filter)) {
    NLOG_ERROR("Failed to link qtic2venc and capsfilter. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!gst_element_link(filter, parser)) {
    NLOG_ERROR("Failed to link capsfilter and h26xparse. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!gst_element_link(parser, sink)) {
    NLOG_ERROR("Failed to link capsfilter and rtspclientsink. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  createSinkPad(bin, encoder);
  // Frames without a PTS (an RTSP source's jitterbuffer that lost the sender's clock) would
  // end the recording with an error in the muxer: they get one.
  GstPad* guarded = gst_element_get_static_pad(encoder, "sink");
  nimbra_internal::guard_timestamps(guarded, "Frames without timestamps reached an output; those with no earlier frame are dropped.");
  if (guarded) gst_object_unref(guarded);
  return bin;
}

GstElement* StreamOutputRtspsink::build_6490_ql() {
  const bool ql = nimbra_internal::platform_tag() == "v4l2";
  NLOG_INFO("Build 6490 ql v4l2.");
  GstElement* bin = gst_bin_new(("nimbra-output-rtspsink-" + stream_id).c_str());
  GstElement* sink = gst_element_factory_make("rtspclientsink", nullptr);
  NLOG_INFO("Output url: %s.", location.c_str());
  GstElement *parser, *encoder;
  if (get_encode_type(stream_id) == "H265") {
    NLOG_INFO("Stream id: %s, Output rtsp sink is h265 parse.", stream_id.c_str());
    parser = gst_element_factory_make("h265parse", "h265-parser2");
    encoder = gst_element_factory_make("v4l2h265enc", nullptr);
    if (encoder) g_object_set(encoder, "capture-io-mode", ql ? 5 : 4, "output-io-mode", ql ? 5 : 4, nullptr);
  } else {
    NLOG_INFO("Stream id: %s, Output rtsp sink is h264 parse.", stream_id.c_str());
    parser = gst_element_factory_make("h264parse", "h264-parser2");
    encoder = gst_element_factory_make("v4l2h264enc", nullptr);
    if (encoder) g_object_set(encoder, "capture-io-mode", ql ? 2 : 4, "output-io-mode", ql ? 5 : 4, nullptr);
  }
  NLOG_INFO("Platform is 6490 Qualcomm Linux, will use v4l2h264/5enc plugin.");
  if (!bin || !sink || !parser || !encoder) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, sink, parser, encoder});
    return nullptr;
  }
  g_object_set(sink, "location", location.c_str(), nullptr);
  add_all(bin, {encoder, parser, sink});
  if (!gst_element_link_many(encoder, parser, sink, nullptr)) {
    NLOG_ERROR("Failed to link v4l2h264enc/h26xparse2/rtspclientsink elements!");
    gst_object_unref(bin);
    return nullptr;
  }
  createSinkPad(bin, encoder);
  // Frames without a PTS (an RTSP source's jitterbuffer that lost the sender's clock) would
  // end the recording with an error in the muxer: they get one.
  GstPad* guarded = gst_element_get_static_pad(encoder, "sink");
  nimbra_internal::guard_timestamps(guarded, "Frames without timestamps reached an output; those with no earlier frame are dropped.");
  if (guarded) gst_object_unref(guarded);
  return bin;
}
