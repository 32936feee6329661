#define NIMBRA_MODULE "modules/origin/src/StreamBuildAudio"
#include "StreamBuildAudio.h"

#include "StreamRegistry.h"

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"

using nimbra_internal::make_caps_filter;
using nimbra_internal::now_ns;
using nimbra_internal::platform_tag;

namespace {

GstElement* make(const char* factory, const char* name = nullptr) {
  return gst_element_factory_make(factory, name);
}

// Links `pad` to the sink pad of the element named `name` in `pipeline` unless that pad
// is already linked. Returns 1 linked, 0 already linked, -1 failed or missing.
int link_to_named(GstElement* pipeline, const char* name, GstPad* pad) {
  GstElement* target = gst_bin_get_by_name(GST_BIN(pipeline), name);
  if (!target) return -1;
  GstPad* sink = gst_element_get_static_pad(target, "sink");
  int rc;
  if (gst_pad_is_linked(sink))
    rc = 0;
  else
    rc = GST_PAD_LINK_FAILED(gst_pad_link(pad, sink)) ? -1 : 1;
  gst_object_unref(sink);
  gst_object_unref(target);
  return rc;
}

}  // namespace

StreamBuildAudio::StreamBuildAudio(std::string id) {
  stream_id = id;
  try {
    get_configuration_properties(id, prop);
  } catch (const std::exception& e) {
    NLOG_ERROR("Configuration of stream id: %s could not be read (%s).", id.c_str(), e.what());
  }
}

StreamBuildAudio::~StreamBuildAudio() {
  release_unadded();
  if (data.bus) gst_object_unref(data.bus);
  if (data.pipeline) {
    gst_element_set_state(data.pipeline, GST_STATE_NULL);
    gst_object_unref(data.pipeline);
  }
}

void StreamBuildAudio::release_unadded() {
  if (added_) return;
  for (GstElement** e : {&rtspsrc, &video_depay, &video_parse, &filesrc, &demux, &video_queue, &decoder,
                         &transform_in, &rgb_caps, &transform_out, &nv12_caps, &encoder, &out_parse, &audio_depay,
                         &audio_queue, &audio_parse, &mux, &sink}) {
    if (*e) gst_object_unref(gst_object_ref_sink(*e));
    *e = nullptr;
  }
}

int StreamBuildAudio::init() {
  NLOG_INFO("Init pipeline.");
  data.frameCount = 0;
  data.windowStart = now_ns();
  data.streamId = prop.streamId;
  gst_init(nullptr, nullptr);
  data.pipeline = gst_pipeline_new(prop.streamId.c_str());
  if (data.pipeline) gst_object_ref_sink(data.pipeline);
  if (!data.pipeline) {
    NLOG_ERROR("pipeline couldn't be created due to pipeline is nullptr.");
    return -1;
  }
  gst_object_ref_sink(data.pipeline);
  return 0;
}

namespace {
GstElement* make_decoder(const std::string& codec, bool rtsp) {
  const std::string& tag = platform_tag();
  if (tag == "8550") {
    NLOG_INFO("Platform is 8550, will use qtic2vdec plugin.");
    return make("qtic2vdec", rtsp ? nullptr : "qtic2vdec");
  }
  if (tag == "6490") {
    NLOG_INFO("Platform is 6490, will use qtivdec plugin.");
    return make("qtivdec");
  }
  if (tag == "v4l2") {
    NLOG_INFO("Platform is 6490 Qualcomm Linux, will use v4l2h264dec plugin.");
    GstElement* d = make(rtsp && codec == "H265" ? "v4l2h265dec" : "v4l2h264dec");
    if (d) {
      g_object_set(d, "capture-io-mode", 5, "output-io-mode", 5, nullptr);
      if (rtsp) g_object_set(d, "discard-corrupted-frames", TRUE, nullptr);
    }
    return d;
  }
  NLOG_INFO("Platform is default setting(not 6490/8550), will use qtivdec plugin.");
  return make("qtivdec");
}
}  // namespace

int StreamBuildAudio::init_rtsp_intput() {
  NLOG_INFO("Init rtsp input.");
  const bool h265 = get_decode_type(prop.streamId) == "H265";
  rtspsrc = make("rtspsrc", "rtspsrc");
  if (h265) {
    NLOG_INFO("Input rtsp is h265. Including rtph265depay and h265parse.");
    video_depay = make("rtph265depay", "rtph265depay_rtsp_input");
    video_parse = make("h265parse", "h265parse_rtsp_input");
  } else {
    NLOG_INFO("Input rtsp is h264. Including rtph264depay and h264parse.");
    video_depay = make("rtph264depay", "rtph264depay_rtsp_input");
    video_parse = make("h264parse", "h264parse_rtsp_input");
  }
  decoder = make_decoder(h265 ? "H265" : "H264", true);
  if (!rtspsrc || !video_depay || !video_parse || !decoder) {
    NLOG_ERROR("init_rtsp_intput - Not all elements could be created.\n");
    return -1;
  }
  g_object_set(rtspsrc, "location", prop.inputAddr.c_str(), "latency", 0, "drop-on-latency", TRUE, "protocols", 1,
               nullptr);
  return 0;
}

int StreamBuildAudio::init_file_intput() {
  NLOG_INFO("Init file input.");
  filesrc = make("filesrc", "filesrc");
  demux = make("qtdemux", "qtdemux");
  video_queue = make("queue", "file_input_queue");
  video_parse = make("h264parse", "h264parse");
  decoder = make_decoder("H264", false);
  if (!filesrc || !demux || !video_queue || !video_parse || !decoder) {
    NLOG_ERROR("Not all elements could be created.");
    return -1;
  }
  g_object_set(filesrc, "location", prop.inputAddr.c_str(), nullptr);
  return 0;
}

int StreamBuildAudio::init_rtsp_middle() {
  NLOG_INFO("Init rtsp middle.");
  transform_in = make("qtivtransform", "qtivtransformInput");
  rgb_caps = make_caps_filter("qtivtransformInputCap", "video/x-raw,format=RGB");
  transform_out = make("qtivtransform", "qtivtransformOutput");
  if (!transform_in || !rgb_caps || !transform_out) {
    NLOG_ERROR("init_middle - Not all elements could be created.\n");
    return -1;
  }
  if (platform_tag() == "8550") {
    NLOG_INFO("Platform is 8550, will skip opengl handling.");
    g_object_set(transform_in, "engine", 2, nullptr);
    g_object_set(transform_out, "engine", 2, nullptr);
  }
  return 0;
}

int StreamBuildAudio::init_middle_6490_ql() {
  NLOG_INFO("Init rtsp middle based on 6490_ql.");
  transform_in = make("qtivtransform", "qtivtransformInput");
  rgb_caps = make_caps_filter("capsfilter1", "video/x-raw(memory:GBM),format=RGB");
  transform_out = make("qtivtransform", "qtivtransformOutput");
  nv12_caps = make_caps_filter("capsfilter2", "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601");
  if (!transform_in || !rgb_caps || !transform_out || !nv12_caps) {
    NLOG_ERROR("init_middle - Not all elements could be created.\n");
    return -1;
  }
  g_object_set(transform_in, "engine", 2, nullptr);
  g_object_set(transform_out, "engine", 2, nullptr);
  return 0;
}

int StreamBuildAudio::init_rtsp_output() {
  NLOG_INFO("Init rtsp output.");
  const bool h265 = get_encode_type(prop.streamId) == "H265";
  encoder = make("qtic2venc");
  out_parse = make(h265 ? "h265parse" : "h264parse", h265 ? "h265_rtsp_output" : "h264_rtsp_output");
  mux = make("mpegtsmux", "mpegtsmux");
  sink = make("rtspclientsink");
  if (!encoder || !out_parse || !mux || !sink) {
    NLOG_ERROR("init_rtsp_output - Not all elements could be created.\n");
    return -1;
  }
  g_object_set(sink, "location", prop.outputAddr.c_str(), nullptr);
  return 0;
}

int StreamBuildAudio::init_rtsp_output_6490_ql() {
  NLOG_INFO("Init rtsp output based on 6490_ql.");
  NLOG_INFO("Target address: %s", prop.outputAddr.c_str());
  const bool h265 = get_encode_type(prop.streamId) == "H265";
  encoder = make(h265 ? "v4l2h265enc" : "v4l2h264enc");
  out_parse = make(h265 ? "h265parse" : "h264parse", h265 ? "h265_rtsp_output" : "h264_rtsp_output");
  mux = make("mpegtsmux", "mpegtsmux");
  sink = make("rtspclientsink");
  if (!encoder || !out_parse || !mux || !sink) {
    NLOG_ERROR("init_rtsp_output_6490_ql - Not all elements could be created.\n");
    return -1;
  }
  g_object_set(encoder, "capture-io-mode", 5, "output-io-mode", 5, nullptr);
  g_object_set(sink, "location", prop.outputAddr.c_str(), nullptr);
  return 0;
}

int StreamBuildAudio::init_audio() {
  NLOG_INFO("Init audio.");
  if (prop.inputType == "rtsp") {
    audio_depay = make("rtpmp4gdepay", "rtpmp4gdepay");
  } else if (prop.inputType == "file") {
    audio_queue = make("queue", "audio_queue");
  } else {
    return -1;
  }
  audio_parse = make("aacparse", "aacparse");
  if (!(audio_depay || audio_queue) || !audio_parse) {
    NLOG_ERROR("init_audio - Not all elements could be created.\n");
    return -1;
  }
  return 0;
}

int StreamBuildAudio::set_pipeline() {
  NLOG_INFO("Set pipeline.");
  if (kind == 11) {
    if (set_pipeline_rtsp_rtsp() != 0) return -1;
    g_signal_connect(rtspsrc, "pad-added", G_CALLBACK(audio_cb_rtspsrc_pad_added), data.pipeline);
  } else if (kind == 12) {
    if (set_pipeline_file_rtsp() != 0) return -1;
    g_signal_connect(demux, "pad-added", G_CALLBACK(audio_cb_filesrc_pad_added), data.pipeline);
  } else {
    NLOG_ERROR("Un-supported stream type: %d", kind);
    return -1;
  }
  NLOG_INFO("Link connection completed.");
  return 0;
}

int StreamBuildAudio::set_pipeline_rtsp_rtsp() {
  NLOG_INFO("Set rtsp-rtsp pipeline.");
  GstBin* bin = GST_BIN(data.pipeline);
  for (GstElement* e : {rtspsrc, video_depay, video_parse, decoder, transform_in, rgb_caps, transform_out, nv12_caps,
                        encoder, out_parse, audio_depay, audio_parse, mux, sink})
    if (e) gst_bin_add(bin, e);
  added_ = true;
  if (platform_tag() == "v4l2") {
    if (!gst_element_link_many(video_depay, video_parse, decoder, transform_in, rgb_caps, nullptr)) {
      NLOG_ERROR("Failed to link elements rtph264depay - h264parse - v4l2h264dec - qtivtransformInput - capsfilter1 "
                 "in audio stream based on 6490_ql.");
      return -1;
    }
    if (!gst_element_link_many(rgb_caps, transform_out, nv12_caps, nullptr)) {
      NLOG_ERROR("Failed to link elements capsfilter1 - qtivtransformOutput - capsfilter2 in audio stream based on "
                 "6490_ql.");
      return -1;
    }
    if (!gst_element_link_many(nv12_caps, encoder, out_parse, mux, nullptr)) {
      NLOG_ERROR("Failed to link elements capsfilter2 - v4l2h264enc - h264parse2 - mpegtsmux in audio stream based "
                 "on 6490_ql.");
      return -1;
    }
    if (!gst_element_link_many(audio_depay, audio_parse, mux, nullptr)) {
      NLOG_ERROR("Failed to link elements rtpmp4gdepay - aacparse - mpegtsmux in audio stream based on 6490_ql.");
      return -1;
    }
    if (!gst_element_link(mux, sink)) {
      NLOG_ERROR("Failed to link elements mpegtsmux - rtspclientsink in audio stream based on 6490_ql.");
      return -1;
    }
    return 0;
  }
  if (!gst_element_link_many(video_depay, video_parse, decoder, transform_in, rgb_caps, nullptr) ||
      !gst_element_link_many(rgb_caps, transform_out, encoder, out_parse, mux, nullptr) ||
      !gst_element_link_many(audio_depay, audio_parse, mux, nullptr) || !gst_element_link(mux, sink)) {
    NLOG_ERROR("Failed to link elements in audio stream.");
    return -1;
  }
  return 0;
}

int StreamBuildAudio::set_pipeline_file_rtsp() {
  NLOG_INFO("Set file-rtsp pipeline.");
  GstBin* bin = GST_BIN(data.pipeline);
  for (GstElement* e : {filesrc, demux, video_queue, video_parse, decoder, transform_in, rgb_caps, transform_out,
                        nv12_caps, encoder, out_parse, audio_queue, audio_parse, mux, sink})
    if (e) gst_bin_add(bin, e);
  added_ = true;
  if (!gst_element_link(filesrc, demux)) {
    NLOG_ERROR("Failed to link filesrc and qtdemux. Exiting.");
    return -1;
  }
  if (!gst_element_link_many(video_queue, video_parse, decoder, transform_in, rgb_caps, nullptr)) {
    NLOG_ERROR("Failed to link queue_file_in - h264parse - qtivdec - qtivtransformInput - capsfilter elements.");
    return -1;
  }
  if (platform_tag() == "v4l2") {
    if (!gst_element_link_many(rgb_caps, transform_out, nv12_caps, encoder, out_parse, mux, nullptr)) {
      NLOG_ERROR("Failed to link capsfilter - qtivtransformOutput - qtic2venc - mpegtsmux elements.");
      return -1;
    }
  } else if (!gst_element_link_many(rgb_caps, transform_out, encoder, out_parse, mux, nullptr)) {
    NLOG_ERROR("Failed to link capsfilter - qtivtransformOutput - qtic2venc - capsfilter_output - mpegtsmux "
               "elements.");
    return -1;
  }
  if (!gst_element_link_many(audio_queue, audio_parse, mux, nullptr)) {
    NLOG_ERROR("Failed to link queue_audio - aacparse - mpegtsmux elements.");
    return -1;
  }
  if (!gst_element_link(mux, sink)) {
    NLOG_ERROR("Failed to link mpegtsmux - rtspclientsink elements.");
    return -1;
  }
  return 0;
}

int StreamBuildAudio::launch_stream(std::function<int8_t(const Image&)>& callback) {
  auto claim = nimbra_internal::claim_stream(stream_id, nimbra_internal::StreamKind::Audio);
  if (!claim) return -1;
  if (init() != 0) return -1;
  data.callback = std::move(callback);
  callback = nullptr;
  data.metrics = claim->metrics();

  if (prop.inputType == "rtsp") {
    if (init_rtsp_intput() != 0) return -1;
    kind += 1;
  } else if (prop.inputType == "file") {
    if (init_file_intput() != 0) return -1;
    kind += 2;
  } else {
    NLOG_ERROR("Un-supported input type.");
    return -1;
  }
  const bool ql = platform_tag() == "v4l2";
  if ((ql ? init_middle_6490_ql() : init_rtsp_middle()) != 0) return -1;
  if (prop.outputType != "rtsp") {
    NLOG_ERROR("Un-supported output type. Please take a try to disable audio parameter.");
    return -1;
  }
  if ((ql ? init_rtsp_output_6490_ql() : init_rtsp_output()) != 0) return -1;
  kind += 10;
  if (init_audio() != 0 || set_pipeline() != 0) return -1;

  GstPad* pad = gst_element_get_static_pad(rgb_caps, "src");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, audio_on_buffer_received, &data, nullptr);
  gst_object_unref(pad);
  // A stop of its id (or of every stream) ends it with end-of-stream, like any stream.
  claim->set_pipeline(data.pipeline);
  auto eos_watch = nimbra_internal::watch_output_eos(mux, "src");
  const nimbra_internal::EntryPtr entry = claim.entry();
  auto stopped = [&entry] { return entry->stop_requested(); };
  // The destructor releases a pipeline that never left NULL (only described, or stopped
  // while it was built).
  if (!nimbra_internal::begin_playing(entry, data.pipeline)) {
    claim->set_pipeline(nullptr);
    return 0;
  }
  data.bus = gst_element_get_bus(data.pipeline);
  nimbra_internal::BusEnd end = nimbra_internal::wait_for_end(data.bus, stopped, eos_watch.get(), data.pipeline);
  const bool failed = end.kind == nimbra_internal::BusEnd::Error;
  if (failed)
    nimbra_internal::log_bus_error(end, "Error received from element %s: %s\n", "Debugging information: %s\n");
  else
    NLOG_INFO("End-Of-Stream reached.");
  claim->set_pipeline(nullptr);
  gst_element_set_state(data.pipeline, GST_STATE_NULL);
  gst_object_unref(data.bus);
  data.bus = nullptr;
  gst_object_unref(data.pipeline);
  data.pipeline = nullptr;
  return failed ? -1 : 0;
}

void audio_cb_rtspsrc_pad_added(GstElement*, GstPad* pad, gpointer user_data) {
  GstElement* pipeline = GST_ELEMENT(user_data);
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) return;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const gchar* name = gst_structure_get_name(s);
  const gchar* media = gst_structure_get_string(s, "media");
  NLOG_INFO("new_pad_type value: %s, media type: %s", name, media ? media : "(none)");
  if (g_str_has_prefix(name, "application/x-rtp") && media) {
    if (g_strcmp0(media, "video") == 0) {
      if (link_to_named(pipeline, "rtph264depay_rtsp_input", pad) < 0)
        link_to_named(pipeline, "rtph265depay_rtsp_input", pad);
    } else if (g_strcmp0(media, "audio") == 0) {
      link_to_named(pipeline, "rtpmp4gdepay", pad);
    }
  }
  gst_caps_unref(caps);
}

void audio_cb_filesrc_pad_added(GstElement*, GstPad* pad, gpointer user_data) {
  GstElement* pipeline = GST_ELEMENT(user_data);
  GstCaps* caps = gst_pad_query_caps(pad, nullptr);
  const gchar* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  gchar* text = gst_caps_to_string(caps);
  NLOG_INFO("New pad added: %s, _caps_str : %s", name, text);
  g_free(text);
  if (g_str_has_prefix(name, "video/x-h264")) {
    NLOG_INFO("Start to link video/x-h264.");
    int rc = link_to_named(pipeline, "file_input_queue", pad);
    if (rc > 0)
      NLOG_INFO("Linked video pad to queue.");
    else if (rc < 0)
      NLOG_ERROR("Failed to link video pad to queue.");
    else
      NLOG_INFO("Video is already linked.");
  } else if (g_str_has_prefix(name, "audio/mpeg")) {
    int rc = link_to_named(pipeline, "audio_queue", pad);
    if (rc > 0)
      NLOG_INFO("Linked audio pad to aacparse.");
    else if (rc < 0)
      NLOG_ERROR("Failed to link audio pad to aacparse.");
    else
      NLOG_INFO("Audio is already linked.");
  } else {
    NLOG_WARN("Unhandled pad type: %s", name);
  }
  gst_caps_unref(caps);
}

GstPadProbeReturn audio_on_buffer_received(GstPad* pad, GstPadProbeInfo* info, void* data) {
  return on_buffer_received(pad, info, data);
}
