#define NIMBRA_MODULE "modules/origin/src/StreamInputFile"
#include "StreamInputFile.h"

#include "StreamCommon.h"
#include "StreamEventClips.h"
#include "StreamLog.h"
#include "StreamSizing.h"

using nimbra_internal::add_all;
using nimbra_internal::drop_all;

StreamInputFile::StreamInputFile(std::string location_, std::string stream_id_)
    : location(std::move(location_)) {
  stream_id = stream_id_;
  binName = "nimbra_input_file_" + stream_id_;
  g_stream_id = stream_id_;
}

namespace {
// The caps name of a freshly added pad; demuxers may not have set caps yet, then the
// pad's query answer stands in.
std::string pad_caps_name(GstPad* pad) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) caps = gst_pad_query_caps(pad, nullptr);
  std::string name;
  if (caps && gst_caps_get_size(caps) > 0) name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  if (caps) gst_caps_unref(caps);
  return name;
}
}  // namespace

void cb_qtdemux_pad_added(GstElement*, GstPad* pad, gpointer data) {
  GstElement* queue = GST_ELEMENT(data);
  const std::string name = pad_caps_name(pad);
  if (name.rfind("video/x-h264", 0) != 0 && name.rfind("video/x-h265", 0) != 0) return;
  GstPad* sink = gst_element_get_static_pad(queue, "sink");
  if (sink && !gst_pad_is_linked(sink)) gst_pad_link(pad, sink);
  if (sink) gst_object_unref(sink);
}

GstElement* StreamInputFile::build() {
  GstElement* bin = gst_bin_new(binName.c_str());
  GstElement* src = gst_element_factory_make("filesrc", "queue_input_src");
  GstElement* demux = gst_element_factory_make("qtdemux", nullptr);
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  const std::string codec = get_decode_type(stream_id);
  GstElement* parser;
  if (codec == "H265") {
    NLOG_INFO("Input rtsp is h264. Including h265parse.");
    parser = gst_element_factory_make("h265parse", nullptr);
  } else {
    NLOG_INFO("Input rtsp is h264. Including h264parse.");
    parser = gst_element_factory_make("h264parse", nullptr);
  }
  GstElement* decoder = nimbra_internal::make_input_decoder(nimbra_internal::InputKind::File, codec);
  if (!bin || !src || !demux || !queue || !parser || !decoder) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, src, demux, queue, parser, decoder});
    return nullptr;
  }
  g_object_set(src, "location", location.c_str(), nullptr);
  nimbra_internal::size_queue(queue, nimbra_internal::QueueUse::Compressed, false);
  add_all(bin, {src, demux, queue, parser, decoder});

  if (!gst_element_link(src, demux)) {
    NLOG_ERROR("Failed to link filesrc and qtdemux. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!gst_element_link(queue, parser)) {
    NLOG_ERROR("Failed to link queue and h26xparse. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!nimbra_internal::link_to_decoder(bin, parser, decoder, stream_id, codec, false)) {
    NLOG_ERROR("Failed to link h26xparse and videoconvert. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  g_signal_connect(demux, "pad-added", G_CALLBACK(cb_qtdemux_pad_added), queue);
  createSrcPad(bin, decoder);
  return bin;
}
