// Frame delivery, pipeline runners and stream launchers of classic streams.
//
// Where the code lives: StreamProbes.cpp (frame probes), StreamDrawing.cpp (drawing
// helpers), StreamRunners.cpp (the bus wait and the platform runners, rebuild),
// StreamLaunchers.cpp (classic and USB launchers, exported element helpers),
// StreamSplit.cpp (split stream), StreamFramePush.cpp (frame push to MP4 or RTSP),
// StreamRegistry.cpp (running streams and every stop), StreamSigint.cpp (SIGINT).
//
// A launcher creates and registers a pipeline under its stream key, builds the input
// and output groups and hands everything to the runner the platform tag selects. The
// runner links  input -> converter chain -> RGB caps -> (converter) -> output,  installs
// the frame probe on the RGB caps filter and waits on the bus on the caller's thread.
// Frames reach the callback on a streaming thread, mapped writable: what the callback
// draws is what the output shows or records.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "StreamBase.h"
#include "StreamMetrics.h"
#include "StreamTypes.h"

namespace nimbra_internal {
class StreamDetector;
}

using Velkor::Nimbra::Image;
using Velkor::Nimbra::StreamIns;

namespace nimbra_internal {
class StreamEntry;
}

// Per-pipeline runtime record (one per branch of a split stream).
struct PiplineData {
  GstElement* pipeline = nullptr;
  GstBus* bus = nullptr;
  uint64_t frameCount = 0;
  uint64_t windowStart = 0;
  std::function<int8_t(const Image&)> callback;
  Image image;
  std::string streamId = "empty";
  int rebuilds = 0;  // pipelines rebuilt after a drop of the input
  // The stream's numbers in the registry (none for a pipeline of an unregistered id).
  std::shared_ptr<nimbra_internal::StreamMetrics> metrics;
  // Builds the input group again (network inputs that reconnect in place); may be empty.
  std::function<GstElement*()> rebuild_input;
  // The input's address (URL, file, device), for messages that say what failed.
  std::string input_addr;
  // The stream's model, tracker and drawing when its properties have "detect".
  std::shared_ptr<nimbra_internal::StreamDetector> detector;
  // The registry entry of the stream: once it is asked to stop, no more frames go to the
  // callback (those still queued pass to the output undrawn).
  std::shared_ptr<nimbra_internal::StreamEntry> entry;
  // A live input (camera, network): the callback takes the newest frame, and a frame
  // with newer ones waiting behind it skips the callback. False for files and for
  // streams configured "slowCallback": "block", whose callback sees every frame.
  bool newest_wins = false;
  // The queue ahead of the frame probe whose waiting frames decide the skip; set by the
  // runner that builds the chain, null when there is none.
  GstElement* callback_queue = nullptr;
  // How long the last callback ran, and the time between the last two frames: frames
  // waiting ahead of the probe are the callback's doing only when it runs that long
  // (behind a display that keeps time they wait whatever the callback costs).
  uint64_t last_callback_ns = 0;
  int64_t previous_pts = -1;
  uint64_t frame_interval_ns = 0;
  uint64_t skip_budget = 0;  // frames that came in while the last callback ran
};

// ---- frame delivery ----
GstPadProbeReturn on_buffer_received(GstPad* pad, GstPadProbeInfo* info, void* data);
GstPadProbeReturn on_buffer_received_v4l2(GstPad* pad, GstPadProbeInfo* info, void* data);
GstPadProbeReturn on_buffer_received_re(GstPad* pad, GstPadProbeInfo* info, void* data);

// Draws the local wall-clock time (with milliseconds) in red at the top left of a
// packed RGB frame without row padding.
void draw_timestamp(uint8_t* rgb, int width, int height);
// Copies every pixel of `picture` into `frame`, except those with a channel above 240
// (treated as transparent). Both are packed RGB, height x width.
void draw_picture(uint8_t* frame, uint8_t* picture, int width, int height);

// ---- runners and stop requests ----
// True until a stop of every stream ("all_stream") or SIGINT; a later start sets it again.
extern std::atomic<bool> running;
// Pipelines of the running streams by stream id, every kind. Guarded internally; read it
// only while no stream starts or ends.
extern std::map<std::string, GstElement*> pipeline_map;
// Kept for compatibility; frame-push streams no longer publish their pipeline here
// (several can run at once).
extern GstElement* pipeline_s;
extern GstElement* appsrc_s;

int start(PiplineData* d, GstElement* input, GstElement* output);
int start_6490_ql(PiplineData* d, GstElement* input, GstElement* output);
int start_ub2404(PiplineData* d, GstElement* input, GstElement* output);
int start_usb(PiplineData* d, GstElement* output, StreamProperty prop);
int re_create_pipeline(PiplineData* d);
// Stops the stream `id` through its own stop action ("all_stream": every stream).
void send_eos(const std::string& id);
void handle_sigint(int);
void get_caps_for_qtivtransform(GstElement* element);

// ---- launchers ----
int pipeline_data_init(PiplineData* d, std::string streamId, std::function<int8_t(const Image&)>& callback);
int startStream(StreamInput* input, StreamOutput* output, std::string streamId,
                std::function<int8_t(const Image&)>& callback);
int startUsbStream(StreamProperty prop, StreamOutput* output, std::string streamId,
                   std::function<int8_t(const Image&)>& callback);
int startStream(StreamIns first, std::function<int8_t(const Image&)>& firstCallback, StreamIns second,
                std::function<int8_t(const Image&)>& secondCallback);
int start_save_mp4(std::string streamId, std::function<int8_t(const Image&)>& callback);
int start_network_push(std::string streamId, std::function<int8_t(const Image&)>& callback);
int start_save_mp4_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback);
int start_network_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback);
GstElement* g_get_stream_output(StreamIns ins);

GstElement* g_setup_encoder_o(int n);
GstElement* g_setup_parser_o(int n);
GstElement* g_setup_sink(const char* location, int n);

extern int g_fps;
extern uint64_t buffer_index;
extern int g_buffer_count;

namespace nimbra_internal {

// How a wait on a pipeline's bus ended.
struct BusEnd {
  enum Kind { Eos, Error, Stopped } kind = Stopped;
  std::string source, message, debug;
};
BusEnd parse_error(GstMessage* error_message);
void log_bus_error(const BusEnd& e, const char* error_format, const char* debug_format);
// Notes when an end-of-stream event enters an output. rtspclientsink at times never
// posts the end-of-stream it received (all data delivered, nothing on the bus), which
// would leave a finished stream running forever.
struct OutputEosWatch {
  std::atomic<int64_t> entered_ns{0};
  bool overdue() const;  // entered more than a few seconds ago without a bus message
};
std::shared_ptr<OutputEosWatch> watch_output_eos(GstElement* output, const char* pad_name = "sink");

// Waits for end-of-stream or an error (warnings dropped). A stop request for `key` lets
// the end-of-stream sent with it drain for a bounded time, then the wait ends (Stopped).
// With `watch`, an end-of-stream that entered the output but never reached the bus ends
// the wait as end-of-stream once it is overdue.
// With `pipeline`, a stop that comes before the pipeline plays ends the wait at once
// (nothing was recorded), and the stop's end-of-stream is repeated while it drains (a
// source that was still connecting drops the first one).
BusEnd wait_for_end(GstBus* bus, const std::string& key, const OutputEosWatch* watch = nullptr,
                    GstElement* pipeline = nullptr);
// The same with the stop condition given by the caller (a stream known by two ids).
// QoS reports of dropped frames on the bus count into `metrics` when given.
BusEnd wait_for_end(GstBus* bus, const std::function<bool()>& stopped, const OutputEosWatch* watch = nullptr,
                    GstElement* pipeline = nullptr, StreamMetrics* metrics = nullptr);
// Counts the frames a QoS message says its element dropped.
void count_qos(GstMessage* qos, StreamMetrics* metrics);

// Points the running stream `key` (see StreamRegistry.h) at `pipeline`, the target of
// its stop's end-of-stream (a new reference is taken). No effect for an id not running.
void register_pipeline(const std::string& key, GstElement* pipeline);
// Drops the pipeline of `key` from pipeline_map if it still names `pipeline`.
void unregister_pipeline(const std::string& key, GstElement* pipeline);
// Re-points the key at a rebuilt pipeline.
void replace_pipeline(const std::string& key, GstElement* pipeline);
// Whether the stream `key` was asked to stop (or is not registered at all).
bool stop_requested(const std::string& key);

// The registry counts its streams here: the SIGINT handler is installed while at least one
// stream is registered (the host's disposition is kept and restored afterwards). On the
// first SIGINT every stream is stopped through its own stop action, from a forwarder
// thread outside signal context; a second one while they drain goes to the host.
void sigint_stream_added();
void sigint_stream_removed();
// Extra work for the forwarder thread on every SIGINT (the rolling recorder's).
void add_sigint_action(std::function<void()> action);

}  // namespace nimbra_internal
