#define NIMBRA_MODULE "modules/origin/src/StreamOutputRtmpsink"
#include "StreamOutputRtmpsink.h"

#include "StreamCommon.h"
#include "StreamLog.h"

StreamOutputRtmpsink::StreamOutputRtmpsink(std::string location_) : location(std::move(location_)) {}

StreamOutputRtmpsink::StreamOutputRtmpsink(std::string location_, std::string codec_stream_id_)
    : location(std::move(location_)), codec_stream_id(std::move(codec_stream_id_)) {}

GstElement* StreamOutputRtmpsink::build() {
  GstElement* bin = gst_bin_new("nimbra-output-rtmpsink");
  GstElement* sink = gst_element_factory_make("rtmpsink", nullptr);
  GstElement* mux = gst_element_factory_make("flvmux", nullptr);
  GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
  GstElement* encoder = gst_element_factory_make("qtic2venc", nullptr);
  // The codec of the stream named at construction; without one, of the input group
  // created last in the process (which is another stream's when several start at once).
  const bool h265 = get_encode_type(codec_stream_id.empty() ? g_stream_id : codec_stream_id) == "H265";
  // FLV carries length-prefixed (avc) video while encoders emit byte-stream, so a parser
  // converts between the profile filter and the muxer.
  GstElement* parser = gst_element_factory_make(h265 ? "h265parse" : "h264parse", nullptr);
  if (!bin || !sink || !mux || !filter || !encoder || !parser) {
    NLOG_ERROR("Not all elements could be created.");
    nimbra_internal::drop_all({bin, sink, mux, filter, encoder, parser});
    return nullptr;
  }
  GstCaps* caps = gst_caps_new_simple(h265 ? "video/x-h265" : "video/x-h264", "profile", G_TYPE_STRING,
                                      "baseline", nullptr);
  g_object_set(filter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  g_object_set(sink, "location", location.c_str(), nullptr);
  g_object_set(mux, "streamable", TRUE, nullptr);
  nimbra_internal::add_all(bin, {encoder, filter, parser, mux, sink});
  if (!gst_element_link(encoder, filter)) {
    NLOG_ERROR("Failed to link qtic2venc and capsfilter. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!gst_element_link_many(filter, parser, mux, nullptr)) {
    NLOG_ERROR("Failed to link capsfilter and flvmux. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!gst_element_link(mux, sink)) {
    NLOG_ERROR("Failed to link flvmux and rtmpsink. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  createSinkPad(bin, encoder);
  return bin;
}
