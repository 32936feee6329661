// Launchers of classic and USB streams: claim the id, create the pipeline, build the
// groups and hand them to the runner of the platform.
#define NIMBRA_MODULE "modules/origin/src/StreamLaunchers"
#include "StreamBuild.h"

#include <string.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamDetect.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"

using nimbra_internal::now_ns;
using nimbra_internal::make_fakesink;
using nimbra_internal::platform_tag;
using nimbra_internal::release_pipeline;

// ---------------------------------------------------------------------------------
// Launchers

namespace {

// setenv while other threads may call getenv is a data race; the platform's variables
// are written only while they differ, once per platform tag and process.
std::mutex g_env_mutex;

void set_env_once(const char* name, const char* value) {
  const char* now = getenv(name);
  if (!now || strcmp(now, value) != 0) setenv(name, value, 1);
}

void set_platform_environment() {
  // A host that sets up its own environment (a board image with other paths, a test on an
  // x86 host whose plug-ins and compositor are elsewhere) keeps it.
  if (nimbra_internal::keeps_platform_environment()) return;
  const std::string& tag = platform_tag();
  std::lock_guard<std::mutex> g(g_env_mutex);
  static std::string applied;
  if (applied == tag) return;
  applied = tag;
  if (tag == "v4l2") {
    set_env_once("WAYLAND_DISPLAY", "wayland-1");
    set_env_once("XDG_RUNTIME_DIR", "/dev/socket/weston");
  } else if (tag == "6490") {
    const char* paths = "/opt/ubun20/usr/lib/aarch64-linux-gnu/gstreamer-1.0:/usr/lib/aarch64-linux-gnu/gstreamer-1.0";
    set_env_once("GST_PLUGIN_SYSTEM_PATH", paths);
    set_env_once("GST_PLUGIN_PATH", paths);
    set_env_once("GST_PLUGIN_SCANNER",
                 "/opt/ubun20/usr/lib/aarch64-linux-gnu/gstreamer1.0/gstreamer-1.0/gst-plugin-scanner");
    if (getenv("GST_REGISTRY")) unsetenv("GST_REGISTRY");
    if (getenv("GST_REGISTRY_1_0")) unsetenv("GST_REGISTRY_1_0");
  }
}

// "/usr/lib" at the head of LD_LIBRARY_PATH, added once rather than on every start.
void add_usr_lib_to_library_path() {
  std::lock_guard<std::mutex> g(g_env_mutex);
  const char* old = getenv("LD_LIBRARY_PATH");
  const std::string now = old ? old : "";
  const std::string padded = ":" + now + ":";
  if (padded.find(":/usr/lib:") != std::string::npos) return;
  const std::string ld = now.empty() ? std::string("/usr/lib") : "/usr/lib:" + now;
  setenv("LD_LIBRARY_PATH", ld.c_str(), 1);
}

}  // namespace

namespace nimbra_internal {
void apply_platform_environment() { set_platform_environment(); }
bool keeps_platform_environment() {
  const char* keep = getenv("NIMBRA_KEEP_PLATFORM_ENV");
  return keep && *keep && strcmp(keep, "0") != 0;
}
}  // namespace nimbra_internal

namespace {

// Moves the caller's callback out, leaving the caller's object empty.
void take_callback(PiplineData* d, std::function<int8_t(const Image&)>& callback) {
  d->callback = std::move(callback);
  callback = nullptr;
}

int run_classic(PiplineData* d, GstElement* input, GstElement* output) {
  const std::string& tag = platform_tag();
  if (tag == "v4l2") return start_6490_ql(d, input, output);
  if (tag == "ub2404") return start_ub2404(d, input, output);
  return start(d, input, output);
}

GstElement* build_output_or_fakesink(StreamOutput* output) {
  if (!output) {
    NLOG_INFO("streamOutput is set to fakesink due to streamOutput is nullptr.");
    return make_fakesink("sink");
  }
  return output->build();
}

}  // namespace

int pipeline_data_init(PiplineData* d, std::string streamId, std::function<int8_t(const Image&)>& callback) {
  d->windowStart = now_ns();
  d->frameCount = 0;
  take_callback(d, callback);
  d->streamId = streamId;
  d->image.frame_index = 0;
  d->metrics = nimbra_internal::metrics_of(streamId);
  d->entry = nimbra_internal::find_entry(streamId);
  if (!d->pipeline) {
    NLOG_ERROR("pipeline couldn't be created due to pipeline is nullptr.");
    return -1;
  }
  std::string detect_error;
  d->detector = nimbra_internal::StreamDetector::from_configuration(streamId, d->metrics, detect_error);
  if (!detect_error.empty()) {
    NLOG_ERROR("%s", detect_error.c_str());
    if (d->metrics) d->metrics->set_failed(detect_error);
    gst_object_unref(gst_object_ref_sink(d->pipeline));
    d->pipeline = nullptr;
    return -1;
  }
  return 0;
}

int startStream(StreamInput* input, StreamOutput* output, std::string streamId,
                std::function<int8_t(const Image&)>& callback) {
  auto claim = nimbra_internal::claim_stream(streamId, nimbra_internal::StreamKind::Classic);
  if (!claim) return -1;
  set_platform_environment();
  PiplineData d;
  gst_init(nullptr, nullptr);
  d.pipeline = gst_pipeline_new(streamId.c_str());
  if (pipeline_data_init(&d, streamId, callback) != 0) return -1;
  gst_object_ref_sink(d.pipeline);
  claim->set_pipeline(d.pipeline);
  NLOG_INFO("Registration pipeline for stream id: %s", streamId.c_str());
  if (!input) {
    NLOG_ERROR("streamInput couldn't be created due to streamInput is nullptr.");
    release_pipeline(&d);
    return -1;
  }
  GstElement* in = input->build();
  // Network cameras drop and come back; their input group can be built again in place.
  // They are live: the callback gets their newest frame unless the stream says otherwise.
  if (auto* rtsp = dynamic_cast<StreamInputRtsp*>(input)) {
    d.rebuild_input = [input] { return input->build(); };
    d.input_addr = rtsp->location;
    d.newest_wins = !nimbra_internal::configured_slow_callback_blocks(streamId);
  } else if (auto* rtmp = dynamic_cast<StreamInputRtmp*>(input)) {
    d.rebuild_input = [input] { return input->build(); };
    d.input_addr = rtmp->location;
    d.newest_wins = !nimbra_internal::configured_slow_callback_blocks(streamId);
  } else if (auto* file = dynamic_cast<StreamInputFile*>(input)) {
    d.input_addr = file->location;
  }
  GstElement* out = build_output_or_fakesink(output);
  const int rc = run_classic(&d, in, out);
  release_pipeline(&d);
  return rc == -1 ? -1 : 0;
}

int startUsbStream(StreamProperty prop, StreamOutput* output, std::string streamId,
                   std::function<int8_t(const Image&)>& callback) {
  auto claim = nimbra_internal::claim_stream(streamId, nimbra_internal::StreamKind::Usb);
  if (!claim) return -1;
  if (platform_tag() == "v4l2") set_platform_environment();
  add_usr_lib_to_library_path();
  PiplineData d;
  gst_init(nullptr, nullptr);
  d.pipeline = gst_pipeline_new(streamId.c_str());
  if (pipeline_data_init(&d, streamId, callback) != 0) return -1;
  gst_object_ref_sink(d.pipeline);
  claim->set_pipeline(d.pipeline);
  NLOG_INFO("Registration pipeline for stream id: %s", streamId.c_str());
  d.newest_wins = !nimbra_internal::configured_slow_callback_blocks(streamId);  // a camera is live
  GstElement* out = build_output_or_fakesink(output);
  const int rc = start_usb(&d, out, prop);
  release_pipeline(&d);
  return rc;
}

GstElement* g_get_stream_output(StreamIns ins) {
  NLOG_INFO("g_get_stream_output - stream id: %s, output type: %s, address: %s", ins.streamId.c_str(),
            ins.outputType.c_str(), ins.outputAddr.c_str());
  if (ins.outputType == "rtsp") {
    StreamOutputRtspsink out(ins.outputAddr, ins.width, ins.height);
    out.set_stream_id(ins.streamId);
    return out.build();
  }
  if (ins.outputType == "wayland") {
    StreamOutputWaylandsink out(0, 0, ins.width, ins.height);
    out.set_stream_id(ins.streamId);
    return out.build();
  }
  return make_fakesink("sink");
}

GstElement* g_setup_encoder_o(int n) {
  GstElement* e = gst_element_factory_make("v4l2h264enc", ("encoder" + std::to_string(n)).c_str());
  if (e) g_object_set(e, "capture-io-mode", 2, "output-io-mode", 5, nullptr);
  return e;
}

GstElement* g_setup_parser_o(int n) {
  return gst_element_factory_make("h264parse", ("parse" + std::to_string(n)).c_str());
}

GstElement* g_setup_sink(const char* location, int n) {
  GstElement* e = gst_element_factory_make("rtspclientsink", ("sink" + std::to_string(n)).c_str());
  if (e && location) g_object_set(e, "location", location, nullptr);
  return e;
}
