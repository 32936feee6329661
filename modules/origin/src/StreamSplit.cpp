// Split stream: one RTSP source decoded once and shown through two branches, each with
// its own probe, callback and output.
#define NIMBRA_MODULE "modules/origin/src/StreamSplit"
#include "StreamBuild.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "StreamSizing.h"

using nimbra_internal::make_caps_filter;

namespace {

GstElement* make_named(const char* factory, const char* name, const char* error_text) {
  GstElement* e = gst_element_factory_make(factory, name);
  if (!e) g_printerr("%s\n", error_text);
  return e;
}

void on_pad_added(GstElement*, GstPad* pad, gpointer data) {
  GstElement* depay = GST_ELEMENT(data);
  GstPad* sink = gst_element_get_static_pad(depay, "sink");
  if (!gst_pad_is_linked(sink)) {
    if (GST_PAD_LINK_FAILED(gst_pad_link(pad, sink)))
      g_printerr("Failed to link rtspsrc to rtph264depay\n");
    else
      g_print("Linked rtspsrc to rtph264depay\n");
  } else {
    g_print("Pad already linked\n");
  }
  gst_object_unref(sink);
}

// RGB caps -> converter -> NV12 caps -> converter, with the frame probe on the RGB caps.
bool setup_processing_branch(PiplineData* d, GstElement** first, GstElement** last) {
  GstElement* rgb = make_caps_filter(nullptr, "video/x-raw,format=RGB");
  GstElement* t1 = gst_element_factory_make("qtivtransform", nullptr);
  GstElement* nv12 = make_caps_filter(nullptr, "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601");
  GstElement* t2 = gst_element_factory_make("qtivtransform", nullptr);
  if (!rgb || !t1 || !nv12 || !t2) {
    g_printerr("Failed to create processing elements.\n");
    nimbra_internal::drop_all({rgb, t1, nv12, t2});
    return false;
  }
  nimbra_internal::add_all(d->pipeline, {rgb, t1, nv12, t2});
  if (!gst_element_link_many(rgb, t1, nv12, t2, nullptr)) {
    g_printerr("Failed to link processing branch.\n");
    return false;
  }
  nimbra_internal::add_probe(rgb, on_buffer_received_v4l2, d);
  *first = rgb;
  *last = t2;
  return true;
}

bool link_request_pad(GstElement* splitter, const char* pad_name, GstElement* branch) {
  GstPad* src = gst_element_request_pad_simple(splitter, pad_name);
  if (!src) return false;
  GstPad* sink = gst_element_get_static_pad(branch, "sink");
  const bool ok = sink && !GST_PAD_LINK_FAILED(gst_pad_link(src, sink));
  if (sink) gst_object_unref(sink);
  gst_object_unref(src);
  return ok;
}

}  // namespace

int startStream(StreamIns first, std::function<int8_t(const Image&)>& firstCallback, StreamIns second,
                std::function<int8_t(const Image&)>& secondCallback) {
  // Both ids name the one split stream: a stop of either ends it.
  auto claim1 = nimbra_internal::claim_stream(first.streamId, nimbra_internal::StreamKind::Split);
  if (!claim1) return -1;
  auto claim2 = nimbra_internal::claim_stream(second.streamId, nimbra_internal::StreamKind::Split);
  if (!claim2) return -1;
  nimbra_internal::apply_platform_environment();
  gst_init(nullptr, nullptr);
  GstElement* pipeline = gst_pipeline_new(first.pStreamId.c_str());
  if (!pipeline) {
    NLOG_ERROR("pipeline couldn't be created due to pipeline is nullptr.");
    return -1;
  }
  gst_object_ref_sink(pipeline);
  claim1->set_pipeline(pipeline);
  claim2->set_pipeline(pipeline);
  PiplineData d1, d2;
  d1.pipeline = pipeline;
  d2.pipeline = pipeline;
  // Both records borrow the one pipeline; it is released once, below.
  auto finish = [&](int rc) {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    d1.pipeline = d2.pipeline = nullptr;
    if (d1.bus) gst_object_unref(d1.bus);
    gst_object_unref(pipeline);
    return rc;
  };
  if (pipeline_data_init(&d1, first.streamId, firstCallback) != 0 ||
      pipeline_data_init(&d2, second.streamId, secondCallback) != 0)
    return finish(-1);

  GstElement* source = make_named("rtspsrc", "source", "Failed to create RTSP source.");
  if (source) g_object_set(source, "location", first.inputAddr.c_str(), nullptr);
  GstElement* depay = make_named("rtph264depay", "depay", "Failed to create RTP depayloader.");
  GstElement* parser = make_named("h264parse", "parser", "Failed to create H264 parser.");
  GstElement* decoder = make_named("v4l2h264dec", "decoder", "Failed to create H264 decoder.");
  if (decoder) g_object_set(decoder, "capture-io-mode", 5, "output-io-mode", 2, nullptr);
  GstElement* splitter = make_named("qtivsplit", "splitter", "Failed to create splitter.");
  GstElement* q1 = gst_element_factory_make("queue", "queue_1");
  GstElement* q2 = gst_element_factory_make("queue", "queue_2");
  GstElement* out1 = g_get_stream_output(first);
  GstElement* out2 = g_get_stream_output(second);
  // Both branches may get the same kind of output under the same name ("sink" for a fake
  // sink); a bin refuses, and frees, a second child of one name.
  if (out1 && out2 && g_strcmp0(GST_ELEMENT_NAME(out1), GST_ELEMENT_NAME(out2)) == 0) {
    gchar* name = g_strdup_printf("%s_2", GST_ELEMENT_NAME(out2));
    gst_object_set_name(GST_OBJECT(out2), name);
    g_free(name);
  }
  if (!source || !depay || !parser || !decoder || !splitter || !q1 || !q2 || !out1 || !out2) {
    NLOG_ERROR("Failed to create elements.");
    nimbra_internal::drop_all({source, depay, parser, decoder, splitter, q1, q2, out1, out2});
    return finish(-1);
  }
  // Decoded pictures of a camera: before the splitter and before the first output.
  nimbra_internal::size_queue(q1, nimbra_internal::QueueUse::Frames, true);
  nimbra_internal::size_queue(q2, nimbra_internal::QueueUse::Frames, true);
  nimbra_internal::add_all(pipeline, {q1, q2, source, depay, parser, decoder, splitter, out1, out2});

  GstElement *b1_first, *b1_last, *b2_first, *b2_last;
  if (!setup_processing_branch(&d1, &b1_first, &b1_last) || !setup_processing_branch(&d2, &b2_first, &b2_last)) {
    NLOG_ERROR("Failed to setup processing branches.");
    return finish(-1);
  }
  if (!gst_element_link_many(depay, parser, decoder, q1, splitter, nullptr)) {
    NLOG_ERROR("Failed to create elements.");
    return finish(-1);
  }
  g_signal_connect(source, "pad-added", G_CALLBACK(on_pad_added), depay);
  if (!link_request_pad(splitter, "src_0", b1_first) || !gst_element_link_many(b1_last, q2, out1, nullptr)) {
    NLOG_ERROR("Failed to link output_1 branch");
    return finish(-1);
  }
  if (!link_request_pad(splitter, "src_1", b2_first) || !gst_element_link(b2_last, out2)) {
    NLOG_ERROR("Failed to link output_2 branch");
    return finish(-1);
  }
  nimbra_internal::prepare_pipeline(pipeline);
  if (!nimbra_internal::has_synced_output(out1) && !nimbra_internal::has_synced_output(out2))
    g_object_set(pipeline, "latency", (GstClockTime)0, nullptr);
  const nimbra_internal::EntryPtr e1 = claim1.entry(), e2 = claim2.entry();
  auto stopped = [&] { return e1->stop_requested() || e2->stop_requested(); };
  if (e2->stop_requested() || !nimbra_internal::begin_playing(e1, pipeline)) return finish(0);
  d1.bus = gst_element_get_bus(pipeline);
  if (stopped()) nimbra_internal::send_eos_async(pipeline);
  // Polls, so a stop by either id (or of every stream) ends a stalled source as well.
  nimbra_internal::BusEnd end = nimbra_internal::wait_for_end(d1.bus, stopped, nullptr, pipeline);
  if (end.kind == nimbra_internal::BusEnd::Error) {
    nimbra_internal::log_bus_error(end, "Error received from element %s: %s", "Debugging information: %s");
    return finish(-1);
  }
  return finish(0);
}
