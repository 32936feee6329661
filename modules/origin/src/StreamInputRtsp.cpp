#define NIMBRA_MODULE "modules/origin/src/StreamInputRtsp"
#include "StreamInputRtsp.h"

#include "StreamCommon.h"
#include "StreamEventClips.h"
#include "StreamLog.h"
#include "StreamPlatform.h"

using nimbra_internal::add_all;
using nimbra_internal::drop_all;

StreamInputRtsp::StreamInputRtsp(std::string location_, std::string stream_id_)
    : location(std::move(location_)) {
  stream_id = stream_id_;
  binName = "nimbra_input_file_" + stream_id_;
  g_stream_id = stream_id_;
}

GstPadProbeReturn pad_probe_cb(GstPad*, GstPadProbeInfo*, gpointer) { return GST_PAD_PROBE_OK; }

void cb_rtspsrc_pad_added(GstElement*, GstPad* pad, gpointer data) {
  GstElement* depay = GST_ELEMENT(data);
  NLOG_INFO("cb_uridecodebin_pad_added called.");
  gchar* pad_name = gst_pad_get_name(pad);
  NLOG_INFO("rtsp padname: %s", pad_name);
  g_free(pad_name);

  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) {
    NLOG_ERROR("Failed to get pad caps. Exiting callback.");
    return;
  }
  gchar* caps_text = gst_caps_to_string(caps);
  NLOG_INFO("Caps information: %s", caps_text);
  g_free(caps_text);
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
  if (!media) {
    NLOG_ERROR("Media type not found in caps.");
    gst_caps_unref(caps);
    return;
  }
  NLOG_INFO("Media type: %s", media);
  const gchar* name = gst_structure_get_name(s);

  if (g_strcmp0(media, "video") == 0) {
    NLOG_INFO("This is a video stream.");
    const gchar* encoding = gst_structure_get_string(s, "encoding-name");
    // Runs on rtspsrc's thread: get_decode_type never throws.
    // The stream's own id travels with the depayloader: g_stream_id names whichever
    // input group was built last in the process.
    const char* own_id = static_cast<const char*>(g_object_get_data(G_OBJECT(depay), "nimbra-stream-id"));
    const std::string configured = get_decode_type(own_id ? own_id : "");
    if (configured != (encoding ? encoding : "")) {
      NLOG_ERROR("Incoming data decode type: %s, doesn't match defined type, Update decode type in file "
                 "nimbra-gst.conf accordingly please.",
                 encoding ? encoding : "(none)");
    }
    NLOG_INFO("rtsp Structure name: %s", name);
    if (g_str_has_prefix(name, "application/x-rtp")) {
      NLOG_INFO("Linking application/x-rtp and media type is video.");
      GstPad* sink = gst_element_get_static_pad(depay, "sink");
      if (gst_pad_is_linked(sink)) {
        NLOG_INFO("We are already linked. Ignoring.");
      } else {
        GstPadLinkReturn ret = gst_pad_link(pad, sink);
        if (GST_PAD_LINK_FAILED(ret))
          NLOG_ERROR("Failed to link pads: %s.", gst_pad_link_get_name(ret));
        else
          NLOG_INFO("Pad linked successfully.");
      }
      gst_object_unref(sink);
    } else if (!g_str_has_prefix(name, "application/x-rdt")) {
      NLOG_INFO("This stream is not video.");
    }
  } else {
    if (g_strcmp0(media, "audio") == 0)
      NLOG_INFO("This is an audio stream.");
    else
      NLOG_ERROR("Unknown media type: %s", media);
    NLOG_INFO("rtsp Structure name: %s", name);
    NLOG_INFO("This stream is not video.");
  }
  gst_caps_unref(caps);
}

GstElement* StreamInputRtsp::build() {
  GstElement* bin = gst_bin_new(binName.c_str());
  GstElement* src = gst_element_factory_make("rtspsrc", "queue_input_src");
  const std::string codec = get_decode_type(stream_id);
  GstElement *depay, *parser;
  if (codec == "H265") {
    NLOG_INFO("Input rtsp is h265. Including rtph265depay and h265parse.");
    depay = gst_element_factory_make("rtph265depay", nullptr);
    parser = gst_element_factory_make("h265parse", nullptr);
  } else {
    NLOG_INFO("Input rtsp is h264. Including rtph264depay and h264parse.");
    depay = gst_element_factory_make("rtph264depay", nullptr);
    parser = gst_element_factory_make("h264parse", nullptr);
  }
  GstElement* decoder = nimbra_internal::make_input_decoder(nimbra_internal::InputKind::Rtsp, codec);
  if (!bin || !src || !depay || !parser || !decoder) {
    NLOG_ERROR("Not all elements could be created.");
    drop_all({bin, src, depay, parser, decoder});
    return nullptr;
  }
  g_object_set(src, "location", location.c_str(), nullptr);
  if (nimbra_internal::platform_tag() == "ub2404") {
    g_object_set(src, "latency", 200, "protocols", 4, nullptr);
    g_object_set(decoder, "capture-io-mode", 4, "output-io-mode", 4, "discard-corrupted-frames", TRUE,
                 nullptr);
  } else {
    g_object_set(src, "latency", 1000, "drop-on-latency", TRUE, "protocols", 1, "do-rtsp-keep-alive", TRUE,
                 "udp-reconnect", TRUE, "udp-buffer-size", 2097152, "timeout", (guint64)30000000, nullptr);
  }
  add_all(bin, {src, depay, parser, decoder});
  GstPad* depay_src = gst_element_get_static_pad(depay, "src");
  gst_pad_add_probe(depay_src, GST_PAD_PROBE_TYPE_BUFFER, pad_probe_cb, nullptr, nullptr);
  gst_object_unref(depay_src);

  if (!gst_element_link(depay, parser)) {
    NLOG_ERROR("Failed to link rtph26xdepay and qtdemux. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  if (!nimbra_internal::link_to_decoder(bin, parser, decoder, stream_id, codec, true)) {
    NLOG_ERROR("Failed to link h26xparse and videoconvert. Exiting.");
    gst_object_unref(bin);
    return nullptr;
  }
  g_object_set_data_full(G_OBJECT(depay), "nimbra-stream-id", g_strdup(stream_id.c_str()), g_free);
  g_signal_connect(src, "pad-added", G_CALLBACK(cb_rtspsrc_pad_added), depay);
  createSrcPad(bin, decoder);
  return bin;
}
