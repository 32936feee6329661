#define NIMBRA_MODULE "modules/origin/src/StreamInputRtmp"
#include "StreamInputRtmp.h"

#include "StreamCommon.h"
#include "StreamEventClips.h"
#include "StreamLog.h"

using nimbra_internal::add_all;
using nimbra_internal::drop_all;

StreamInputRtmp::StreamInputRtmp(std::string location_, std::string stream_id_)
    : location(std::move(location_)) {
  stream_id = stream_id_;
  binName = "nimbra_input_file_" + stream_id_;
  g_stream_id = stream_id_;
}

namespace {
bool rtmp2_available() {
  GstElementFactory* f = gst_element_factory_find("rtmp2src");
  if (!f) return false;
  gst_object_unref(f);
  return true;
}

// flvdemux fails the whole stream when a pad it feeds (usually the audio one, which comes
// first) is not linked; a skipped pad's data is dropped at the pad instead. (A fake sink
// would block the demuxer while the pipeline prerolls.)
void drop_pad(GstPad* pad, GstElement*) {
  gst_pad_add_probe(pad, (GstPadProbeType)(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    [](GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_DROP; }, nullptr, nullptr);
}
}  // namespace

void cb_flvdemux_pad_added(GstElement*, GstPad* pad, gpointer data) {
  GstElement* queue = GST_ELEMENT(data);
  GstPad* sink = gst_element_get_static_pad(queue, "sink");
  if (!sink) return;
  if (!gst_pad_is_linked(sink)) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    const char* name = caps && gst_caps_get_size(caps) > 0
                           ? gst_structure_get_name(gst_caps_get_structure(caps, 0))
                           : "";
    if (g_str_has_prefix(name, "video/x-h264") || g_str_has_prefix(name, "video/x-h265")) {
      if (GST_PAD_LINK_FAILED(gst_pad_link(pad, sink)))
        NLOG_ERROR("Failed to link new pad (video) to queue. Exiting.");
      else
        NLOG_INFO("Successfully linked new pad (video) to queue.");
    } else {
      NLOG_INFO("Pad added, but type is not video/x-h264 or video/x-h265, skipping.");
      drop_pad(pad, queue);
    }
    if (caps) gst_caps_unref(caps);
  }
  gst_object_unref(sink);
}

GstElement* StreamInputRtmp::build() {
  GstElement* bin = gst_bin_new(binName.c_str());
  // GStreamer's own RTMP client where it is installed: librtmp's rtmpsrc races its
  // streaming thread against its stop (double frees and crashes in RTMP_Close seen here,
  // on ordinary stops as well as on stops of a stalled stream).
  const bool own_client = rtmp2_available();
  GstElement* src = gst_element_factory_make(own_client ? "rtmp2src" : "rtmpsrc", nullptr);
  GstElement* demux = gst_element_factory_make("flvdemux", nullptr);
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  const std::string codec = get_decode_type(stream_id);
  GstElement* parser = gst_element_factory_make(codec == "H265" ? "h265parse" : "h264parse", nullptr);
  GstElement* decoder = nimbra_internal::make_input_decoder(nimbra_internal::InputKind::Rtmp, codec);
  if (!bin || !src || !demux || !queue || !parser || !decoder) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, src, demux, queue, parser, decoder});
    return nullptr;
  }
  if (own_client) {
    // librtmp-style options after the URL (" live=1") mean nothing to rtmp2src, which
    // always plays live; a stream silent for 10 s is gone.
    const std::string url = location.substr(0, location.find(' '));
    if (url.size() != location.size())
      NLOG_INFO("RTMP options after the address are not used: %s", location.substr(url.size() + 1).c_str());
    g_object_set(src, "location", url.c_str(), "timeout", 10, "idle-timeout", 10, nullptr);
  } else {
    // librtmp waits 120 s by default for a silent server, also while the pipeline is being
    // stopped; a stream silent for 10 s is gone anyway.
    g_object_set(src, "location", location.c_str(), "timeout", 10, nullptr);
  }
  add_all(bin, {src, demux, queue, parser, decoder});
  if (!gst_element_link(src, demux)) {
    NLOG_ERROR("Failed to link rtmpsrc and flvdemux. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  g_signal_connect(demux, "pad-added", G_CALLBACK(cb_flvdemux_pad_added), queue);
  if (!gst_element_link(queue, parser)) {
    NLOG_ERROR("Failed to link queue and h26xparse. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!nimbra_internal::link_to_decoder(bin, parser, decoder, stream_id, codec, true)) {
    NLOG_ERROR("Failed to link h26xparse and qtivdec. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  createSrcPad(bin, decoder);
  return bin;
}
