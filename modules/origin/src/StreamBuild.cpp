#define NIMBRA_MODULE "modules/origin/src/StreamBuild"
#include "StreamBuild.h"

#include <fcntl.h>
#include <gst/app/gstappsrc.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamLog.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamPlatform.h"

using nimbra_internal::launch_quoted;
using nimbra_internal::make_caps_filter;
using nimbra_internal::now_ns;
using nimbra_internal::platform_tag;
using nimbra_internal::stop_requested;

std::atomic<bool> running{true};
std::map<std::string, GstElement*> pipeline_map;
GstElement* pipeline_s = nullptr;
GstElement* appsrc_s = nullptr;
int g_fps = 25;
uint64_t buffer_index = 0;
int g_buffer_count = 4;

namespace {

constexpr GstClockTime kBusPoll = 200 * GST_MSECOND;
// After a stop request a runner lets the end-of-stream travel (so MP4 files get their
// index) for at most this long before it tears the pipeline down.
constexpr auto kDrainTimeout = std::chrono::seconds(5);

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ---------------------------------------------------------------------------------
// Registry of running pipelines and stop requests.
std::mutex g_map_mutex;
struct KeyState {
  bool stop = false;
  uint64_t generation = 0;
};
std::map<std::string, KeyState> g_keys;
uint64_t g_stop_all_generation = 0;

// ---------------------------------------------------------------------------------
// Frame delivery shared by the probes.

void update_size_from_caps(GstPad* pad, Image& image) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) {
    NLOG_FRAME("No caps available on this pad.");
    return;
  }
  const GstStructure* s = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
  if (!s) {
    NLOG_WARN("No structure found in caps.");
  } else {
    int w = 0, h = 0;
    if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h)) {
      image.width = w;
      image.height = h;
      NLOG_FRAME("Get width: %d, height: %d", w, h);
    } else {
      NLOG_WARN("Width or Height not found.");
    }
  }
  if (nimbra_internal::frame_logging()) {
    gchar* text = gst_caps_to_string(caps);
    NLOG_FRAME("Caps: %s", text);
    g_free(text);
  }
  gst_caps_unref(caps);
  NLOG_FRAME("caps_str get and completed.");
}

void update_fps(PiplineData* d) {
  d->frameCount++;
  const uint64_t now = now_ns();
  if (now - d->windowStart >= 1000000000ULL) {
    NLOG_FRAME("To calculate frame rate.");
    double fps = (double)d->frameCount * 1e9 / (double)(now - d->windowStart);
    NLOG_FRAME("FPS: %f", fps);
    d->frameCount = 0;
    d->windowStart = now;
    d->image.fps = fps;
    NLOG_FRAME("Complete to calculate frame rate.");
  }
}

// Maps the frame writable and runs the callback on it. A buffer shared with another
// holder is made writable first, so a drawing never changes someone else's frame and
// always reaches this branch's output.
void deliver(GstPadProbeInfo* info, PiplineData* d, bool set_status, bool v4l2) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer) return;
  if (!gst_buffer_is_writable(buffer)) {
    buffer = gst_buffer_make_writable(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, (GstMapFlags)(GST_MAP_READ | GST_MAP_WRITE))) return;
  if (set_status) d->image.pipe_status = 0;
  d->image.data = map.data;
  d->image.size = map.size;
  if (v4l2) {
    d->image.src_width = d->image.height ? (int32_t)(map.size / (3 * (size_t)d->image.height)) : 0;
    d->image.src_height = d->image.height;
    NLOG_FRAME("Callback: w: %d, h: %d, id: %s, fps: %f", d->image.width, d->image.height,
               d->image.stream_id.c_str(), d->image.fps);
  } else {
    NLOG_FRAME("Callback: w: %d, h: %d, id: %s", d->image.width, d->image.height, d->image.stream_id.c_str());
  }
  d->callback(d->image);
  d->image.data = nullptr;
  gst_buffer_unmap(buffer, &map);
}

GstPadProbeReturn classic_probe(GstPad* pad, GstPadProbeInfo* info, PiplineData* d, bool set_status) {
  d->image.stream_id = d->streamId;
  d->image.frame_index++;
  NLOG_FRAME("callback on_buffer_received start. frame: %ld", (long)d->image.frame_index);
  update_size_from_caps(pad, d->image);
  update_fps(d);
  if (!d->callback) {
    NLOG_WARN("Callback not initialized.");
  } else {
    NLOG_FRAME("Callback function invoking.");
    deliver(info, d, set_status, false);
    NLOG_FRAME("Callback function invoking completed.");
  }
  NLOG_FRAME("callback on_buffer_received end.");
  return GST_PAD_PROBE_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Probes

GstPadProbeReturn on_buffer_received(GstPad* pad, GstPadProbeInfo* info, void* data) {
  return classic_probe(pad, info, static_cast<PiplineData*>(data), true);
}

GstPadProbeReturn on_buffer_received_re(GstPad* pad, GstPadProbeInfo* info, void* data) {
  return classic_probe(pad, info, static_cast<PiplineData*>(data), false);
}

GstPadProbeReturn on_buffer_received_v4l2(GstPad* pad, GstPadProbeInfo* info, void* data) {
  auto* d = static_cast<PiplineData*>(data);
  d->image.stream_id = d->streamId;
  d->image.frame_index++;
  const long idx = (long)d->image.frame_index;
  NLOG_FRAME("START: on_buffer_received_v4l2 - ############################################ idx: %ld", idx);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer) {
    NLOG_FRAME("Frame %ld no buffer received.", idx);
    return GST_PAD_PROBE_OK;
  }
  if (!GST_BUFFER_PTS_IS_VALID(buffer)) {
    NLOG_FRAME("Frame %ld has no timestamp.", idx);
  } else {
    const GstClockTime t = GST_BUFFER_PTS(buffer);
    char text[48];
    snprintf(text, sizeof text, "%u:%02u:%02u.%09u", (unsigned)(t / (GST_SECOND * 3600)),
             (unsigned)((t / (GST_SECOND * 60)) % 60), (unsigned)((t / GST_SECOND) % 60),
             (unsigned)(t % GST_SECOND));
    d->image.timestamp = text;
  }
  NLOG_FRAME("callback on_buffer_received start. frame: %ld", idx);
  update_size_from_caps(pad, d->image);
  update_fps(d);
  if (!d->callback) {
    NLOG_WARN("Callback not initialized.");
  } else {
    NLOG_FRAME("Callback function invoking. idx: %ld", idx);
    deliver(info, d, true, true);
    NLOG_FRAME("Callback function invoking completed. idx: %ld", idx);
  }
  NLOG_FRAME("END: on_buffer_received_v4l2 - ############################################ idx: %ld", idx);
  return GST_PAD_PROBE_OK;
}

void draw_timestamp(uint8_t* rgb, int width, int height) {
  if (!rgb || width <= 0 || height <= 0) return;
  cv::Mat frame(height, width, CV_8UC3, rgb);
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  long ms = (long)(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm tmv;
  localtime_r(&secs, &tmv);
  char text[64];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tmv);
  snprintf(text + n, sizeof text - n, ".%03ld", ms);
  cv::putText(frame, text, cv::Point(20, 50), cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(255, 0, 0), 2,
              cv::LINE_AA);
}

void draw_picture(uint8_t* frame, uint8_t* picture, int width, int height) {
  if (!frame || !picture || width <= 0 || height <= 0) return;
  const size_t pixels = (size_t)width * height;
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = picture + i * 3;
    if (p[0] <= 240 && p[1] <= 240 && p[2] <= 240) {
      uint8_t* f = frame + i * 3;
      f[0] = p[0];
      f[1] = p[1];
      f[2] = p[2];
    }
  }
}

// ---------------------------------------------------------------------------------
// Registry and stop requests

namespace nimbra_internal {

void register_pipeline(const std::string& key, GstElement* pipeline) {
  std::lock_guard<std::mutex> g(g_map_mutex);
  GstElement*& slot = pipeline_map[key];
  if (slot) gst_object_unref(slot);
  slot = GST_ELEMENT(gst_object_ref(pipeline));
  g_keys[key] = KeyState{false, g_stop_all_generation};
  running = true;
}

void unregister_pipeline(const std::string& key, GstElement* pipeline) {
  std::lock_guard<std::mutex> g(g_map_mutex);
  auto it = pipeline_map.find(key);
  if (it != pipeline_map.end() && it->second == pipeline) {
    gst_object_unref(it->second);
    pipeline_map.erase(it);
    g_keys.erase(key);
  }
}

void replace_pipeline(const std::string& key, GstElement* pipeline) {
  std::lock_guard<std::mutex> g(g_map_mutex);
  auto it = pipeline_map.find(key);
  if (it == pipeline_map.end()) return;  // stopped meanwhile: leave it unregistered
  if (it->second) gst_object_unref(it->second);
  it->second = GST_ELEMENT(gst_object_ref(pipeline));
}

bool stop_requested(const std::string& key) {
  std::lock_guard<std::mutex> g(g_map_mutex);
  auto it = g_keys.find(key);
  if (it == g_keys.end()) return true;
  return it->second.stop || it->second.generation != g_stop_all_generation;
}

std::mutex g_sigint_actions_mutex;
std::vector<std::function<void()>> g_sigint_actions;

void run_sigint_actions() {
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard<std::mutex> g(g_sigint_actions_mutex);
    actions = g_sigint_actions;
  }
  for (auto& a : actions) a();
}

void add_sigint_action(std::function<void()> action) {
  std::lock_guard<std::mutex> g(g_sigint_actions_mutex);
  g_sigint_actions.push_back(std::move(action));
}

namespace {
int g_sigint_pipe[2] = {-1, -1};
std::once_flag g_sigint_once;

void on_sigint_forwarded() {
  running = false;
  {
    std::lock_guard<std::mutex> g(g_map_mutex);
    ++g_stop_all_generation;
  }
  if (appsrc_s && pipeline_s) {
    NLOG_INFO("Received SIGINT signal, will send EOS to pipeline.");
    gst_element_send_event(pipeline_s, gst_event_new_eos());
    NLOG_WARN("Sending EOS to pipeline completed.");
  }
  run_sigint_actions();
}
}  // namespace

void install_sigint_forwarder() {
  std::call_once(g_sigint_once, [] {
    if (pipe2(g_sigint_pipe, O_CLOEXEC) != 0) return;
    fcntl(g_sigint_pipe[1], F_SETFL, O_NONBLOCK);
    std::thread([] {
      char c;
      for (;;) {
        ssize_t n = read(g_sigint_pipe[0], &c, 1);
        if (n == 1)
          on_sigint_forwarded();
        else if (n < 0 && errno == EINTR)
          continue;
        else
          break;
      }
    }).detach();
  });
  struct sigaction sa = {};
  sa.sa_handler = handle_sigint;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
}

}  // namespace nimbra_internal

// Only async-signal-safe work here: the forwarder thread does the rest.
void handle_sigint(int) {
  const int saved = errno;
  if (nimbra_internal::g_sigint_pipe[1] >= 0) {
    char c = 1;
    ssize_t r = write(nimbra_internal::g_sigint_pipe[1], &c, 1);
    (void)r;
  }
  errno = saved;
}

void send_eos(const std::string& id) {
  std::vector<std::pair<std::string, GstElement*>> targets;
  {
    std::lock_guard<std::mutex> g(g_map_mutex);
    if (id == "all_stream") {
      running = false;
      ++g_stop_all_generation;
      for (auto& kv : pipeline_map)
        if (kv.second) targets.emplace_back(kv.first, kv.second);  // the map's reference moves here
      pipeline_map.clear();
      g_keys.clear();
    } else {
      for (const std::string& key : {id, id + "_mp4", id + "_network"}) {
        auto it = g_keys.find(key);
        if (it != g_keys.end()) it->second.stop = true;
      }
      auto it = pipeline_map.find(id);
      if (it != pipeline_map.end() && it->second)
        targets.emplace_back(id, GST_ELEMENT(gst_object_ref(it->second)));
    }
  }
  if (id != "all_stream") NLOG_INFO("send_eos: stopping single pipeline %s", id.c_str());
  for (auto& kv : targets) {
    if (id == "all_stream") NLOG_INFO("send_eos: stopping pipeline %s", kv.first.c_str());
    // Frame-push pipelines end from their own loop, which closes the source properly.
    if (!ends_with(kv.first, "_mp4") && !ends_with(kv.first, "_network")) gst_element_send_event(kv.second, gst_event_new_eos());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    gst_object_unref(kv.second);
  }
}

// ---------------------------------------------------------------------------------
// Runners

namespace nimbra_internal {
void log_bus_error(const BusEnd& e, const char* prefix_error, const char* prefix_debug) {
  NLOG_ERROR(prefix_error, e.source.c_str(), e.message.c_str());
  NLOG_ERROR(prefix_debug, e.debug.empty() ? "none" : e.debug.c_str());
}

BusEnd parse_error(GstMessage* m) {
  BusEnd e;
  e.kind = BusEnd::Error;
  GError* err = nullptr;
  gchar* dbg = nullptr;
  gst_message_parse_error(m, &err, &dbg);
  e.source = GST_OBJECT_NAME(GST_MESSAGE_SRC(m));
  e.message = err ? err->message : "unknown error";
  e.debug = dbg ? dbg : "";
  if (err) g_error_free(err);
  g_free(dbg);
  return e;
}

// Waits for end-of-stream or an error (warnings are dropped). A stop request for `key`
// lets the end-of-stream that came with it drain for a bounded time, then ends the wait.
namespace {
// Long enough for encoders to drain and muxers to write their index.
constexpr int64_t kOutputEosGraceNs = 10LL * 1000000000LL;
}

bool OutputEosWatch::overdue() const {
  const int64_t at = entered_ns.load();
  return at != 0 && (int64_t)now_ns() - at > kOutputEosGraceNs;
}

std::shared_ptr<OutputEosWatch> watch_output_eos(GstElement* output, const char* pad_name) {
  auto watch = std::make_shared<OutputEosWatch>();
  GstPad* pad = output ? gst_element_get_static_pad(output, pad_name) : nullptr;
  if (!pad) return watch;
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
        if (ev && GST_EVENT_TYPE(ev) == GST_EVENT_EOS) {
          int64_t expected = 0;
          (*static_cast<std::shared_ptr<OutputEosWatch>*>(data))->entered_ns.compare_exchange_strong(expected,
                                                                                                      now_ns());
        } else if (ev && GST_EVENT_TYPE(ev) == GST_EVENT_FLUSH_STOP) {
          (*static_cast<std::shared_ptr<OutputEosWatch>*>(data))->entered_ns = 0;
        }
        return GST_PAD_PROBE_OK;
      },
      new std::shared_ptr<OutputEosWatch>(watch),
      [](gpointer data) { delete static_cast<std::shared_ptr<OutputEosWatch>*>(data); });
  gst_object_unref(pad);
  return watch;
}

BusEnd wait_for_end(GstBus* bus, const std::string& key, const OutputEosWatch* watch) {
  bool draining = false;
  auto deadline = std::chrono::steady_clock::now();
  for (;;) {
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, kBusPoll, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING));
    if (!draining && stop_requested(key)) {
      draining = true;
      deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    }
    if (m) {
      BusEnd e;
      switch (GST_MESSAGE_TYPE(m)) {
        case GST_MESSAGE_EOS:
          e.kind = draining ? BusEnd::Stopped : BusEnd::Eos;
          gst_message_unref(m);
          return e;
        case GST_MESSAGE_ERROR:
          e = parse_error(m);
          gst_message_unref(m);
          if (draining) e.kind = BusEnd::Stopped;
          return e;
        default:
          gst_message_unref(m);
          break;
      }
    }
    if (draining && std::chrono::steady_clock::now() >= deadline) return BusEnd{};
    if (!draining && watch && watch->overdue()) {
      NLOG_WARN("End-of-stream reached the output, which did not confirm it; ending the stream.");
      BusEnd e;
      e.kind = BusEnd::Eos;
      return e;
    }
  }
}

}  // namespace nimbra_internal

using nimbra_internal::BusEnd;
using nimbra_internal::log_bus_error;
using nimbra_internal::parse_error;
using nimbra_internal::wait_for_end;

namespace {

void release_pipeline(PiplineData* d) {
  if (d->bus) {
    gst_object_unref(d->bus);
    d->bus = nullptr;
  }
  if (d->pipeline) {
    gst_element_set_state(d->pipeline, GST_STATE_NULL);
    gst_object_unref(d->pipeline);
    d->pipeline = nullptr;
  }
}

void prepare_pipeline(GstElement* pipeline) {
  GstClock* clock = gst_system_clock_obtain();
  gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
  gst_object_unref(clock);
  g_object_set(pipeline, "latency", (GstClockTime)0, nullptr);
}

GstElement* make_transform(const char* name, int engine) {
  GstElement* t = gst_element_factory_make("qtivtransform", name);
  if (t && engine >= 0) g_object_set(t, "engine", engine, nullptr);
  return t;
}

void add_probe(GstElement* element, GstPadProbeCallback cb, PiplineData* d) {
  GstPad* pad = gst_element_get_static_pad(element, "src");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, cb, d, nullptr);
  gst_object_unref(pad);
}

bool play(PiplineData* d) {
  if (gst_element_set_state(d->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    // The failure itself is on the bus; the wait below reports it.
  }
  if (d->bus) gst_object_unref(d->bus);
  d->bus = gst_element_get_bus(d->pipeline);
  return true;
}

// Links a chain one pair at a time and reports the first failing pair's index.
int link_chain(const std::vector<GstElement*>& chain) {
  for (size_t i = 0; i + 1 < chain.size(); ++i)
    if (!gst_element_link(chain[i], chain[i + 1])) return (int)i;
  return -1;
}

}  // namespace

namespace {
// re_create_pipeline that also hands back the rebuilt output, for its end-of-stream watch.
int recreate(PiplineData* d, GstElement** output_out);
}  // namespace

int start(PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  prepare_pipeline(d->pipeline);
  const int attempts = 5;
  std::shared_ptr<nimbra_internal::OutputEosWatch> eos_watch;
  for (int n = 1;; ++n) {
    NLOG_INFO("Starting pipeline, attempt %d of %d", n, attempts);
    if (n == 1) {
      // Later attempts replay the same, already linked pipeline.
      const bool s8550 = platform_tag() == "8550";
      if (s8550) NLOG_INFO("Platform is 8550, will skip opengl handling.");
      GstElement* tin = make_transform("qtivtransformInput", s8550 ? 2 : -1);
      GstElement* tout = make_transform("qtivtransformOutput", s8550 ? 2 : -1);
      GstElement* caps = make_caps_filter("qtivtransformInputCap", "video/x-raw,format=RGB");
      static const char* const kLinkErrors[] = {
          "Failed to link elements input with qtivtransformInput in the pipeline.",
          "Failed to link elements qtivtransformInput with capsfilter in the pipeline.",
          "Failed to link elements capsfilter with qtivtransformOutput in the pipeline.",
          "Failed to link elements qtivtransformOutput with output in the pipeline."};
      if (!input || !tin || !caps || !tout || !output) {
        // A missing element shows as the first link that cannot be made.
        int first = !input || !tin ? 0 : !caps ? 1 : !tout ? 2 : 3;
        NLOG_ERROR("%s", kLinkErrors[first]);
        nimbra_internal::drop_all({tin, tout, caps});
        release_pipeline(d);
        return -1;
      }
      nimbra_internal::add_all(d->pipeline, {input, tin, caps, tout, output});
      int failed = link_chain({input, tin, caps, tout, output});
      if (failed >= 0) {
        NLOG_ERROR("%s", kLinkErrors[failed]);
        release_pipeline(d);
        return -1;
      }
      add_probe(caps, on_buffer_received, d);
      eos_watch = nimbra_internal::watch_output_eos(output);
    }
    if (stop_requested(key)) {
      release_pipeline(d);
      return 0;
    }
    play(d);

    bool retry = false;
    while (!retry) {
      BusEnd end = wait_for_end(d->bus, key, eos_watch.get());
      bool rebuild = false;
      if (end.kind == BusEnd::Stopped) {
        release_pipeline(d);
        return 0;
      }
      if (end.kind == BusEnd::Eos) {
        NLOG_WARN("Receiving EOS signal in message bus *****************");
        if (output_mp4(key)) {
          NLOG_WARN("End-Of-Stream reached. Saving mp4 file exit.");
          release_pipeline(d);
          return 0;
        }
        if (get_manual_rebuild(key)) {
          NLOG_ERROR("End-Of-Stream reached. Need manual rebuild. Exit.");
          release_pipeline(d);
          return 0;
        }
        NLOG_WARN("End-Of-Stream reached. Manual rebuild switch disabled, It will rebuild.");
        rebuild = true;
      } else {
        log_bus_error(end, "Error received from element %s: %s", "Debugging information: %s");
        if (get_manual_rebuild(key)) {
          retry = true;
        } else {
          NLOG_WARN("Error information received. Manual rebuild switch disabled, It will rebuild.");
          rebuild = true;
        }
      }
      if (rebuild) {
        GstElement* rebuilt_output = nullptr;
        if (recreate(d, &rebuilt_output) == 0) {
          eos_watch = nimbra_internal::watch_output_eos(rebuilt_output);
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          if (stop_requested(key)) {
            release_pipeline(d);
            return 0;
          }
          play(d);
          continue;
        }
        retry = true;
      }
    }
    // Retry: the same pipeline from NULL, if there still is one.
    if (!d->pipeline || stop_requested(key)) {
      const bool stopped = d->pipeline && stop_requested(key);
      release_pipeline(d);
      if (stopped) return 0;
      NLOG_ERROR("Pipeline failed after %d attempts.", n);
      return -1;
    }
    gst_element_set_state(d->pipeline, GST_STATE_NULL);
    if (n == attempts) {
      release_pipeline(d);
      NLOG_ERROR("Pipeline failed after %d attempts.", attempts);
      return -1;
    }
    NLOG_INFO("Retrying pipeline due to error. Attempt %d", n + 1);
  }
}

int re_create_pipeline(PiplineData* d) { return recreate(d, nullptr); }

namespace {
int recreate(PiplineData* d, GstElement** output_out) {
  const std::string key = d->streamId;
  release_pipeline(d);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  StreamProperty prop;
  int read = -1;
  try {
    read = get_configuration_properties(key, prop);
  } catch (const std::exception& e) {
    NLOG_ERROR("Configuration of stream id: %s could not be read (%s).", key.c_str(), e.what());
  }
  if (read != 0) {
    NLOG_ERROR("re_create_pipeline - failed to re-create pipeline.");
    return -1;
  }
  GstElement* input = nullptr;
  if (prop.inputType == "file")
    input = StreamInputFile(prop.inputAddr, key).build();
  else if (prop.inputType == "rtsp")
    input = StreamInputRtsp(prop.inputAddr, key).build();
  else if (prop.inputType == "rtmp")
    input = StreamInputRtmp(prop.inputAddr, key).build();
  else
    return -1;
  GstElement* output = nullptr;
  if (prop.outputType == "rtsp")
    output = StreamOutputRtspsink(prop.outputAddr).build();
  else if (prop.outputType == "wayland")
    output = StreamOutputWaylandsink(0, 0, 1920, 1080).build();
  else
    output = gst_element_factory_make("fakesink", "sink");

  d->pipeline = gst_pipeline_new(key.c_str());
  // Stop requests must reach the pipeline that runs now, not the released one.
  nimbra_internal::replace_pipeline(key, d->pipeline);
  prepare_pipeline(d->pipeline);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  GstElement* tin = make_transform("qtivtransformInput", 2);
  GstElement* tout = make_transform("qtivtransformOutput", 2);
  NLOG_INFO("re_create_pipeline - 6");
  NLOG_INFO("re_create_pipeline - Platform is 8550, will skip opengl handling.");
  GstElement* caps = make_caps_filter("qtivtransformInputCap", "video/x-raw,format=RGB");
  if (!input || !tin || !caps || !tout || !output) {
    NLOG_ERROR("re_create_pipeline - Failed to link elements input - qtivtransformInput - capsfilter - "
               "qtivtransformOutput - output in the pipeline.");
    nimbra_internal::drop_all({input, tin, caps, tout, output});
    return -1;
  }
  nimbra_internal::add_all(d->pipeline, {input, tin, caps, tout, output});
  if (link_chain({input, tin, caps, tout, output}) >= 0) {
    NLOG_ERROR("re_create_pipeline - Failed to link elements input - qtivtransformInput - capsfilter - "
               "qtivtransformOutput - output in the pipeline.");
    return -1;
  }
  add_probe(caps, on_buffer_received_re, d);
  if (output_out) *output_out = output;
  return 0;
}
}  // namespace

int start_6490_ql(PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  prepare_pipeline(d->pipeline);
  const int attempts = 5;
  std::shared_ptr<nimbra_internal::OutputEosWatch> eos_watch;
  for (int n = 1;; ++n) {
    NLOG_INFO("Platform is 6490 ql. Starting pipeline, attempt %d of %d", n, attempts);
    if (n == 1) {
      GstElement* qin = gst_element_factory_make("queue", "queue_input");
      GstElement* qout = gst_element_factory_make("queue", "queue_output");
      GstElement* tin = make_transform("qtivtransformInput", -1);
      GstElement* tout = make_transform("qtivtransformOutput", -1);
      GstElement* c1 = make_caps_filter("capsfilter1", "video/x-raw,format=RGB");
      GstElement* c2 = make_caps_filter("capsfilter2", "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601");
      if (output && g_object_class_find_property(G_OBJECT_GET_CLASS(output), "sync"))
        g_object_set(output, "sync", TRUE, nullptr);
      if (!input || !qin || !tin || !c1 || !tout || !qout || !c2 || !output) {
        NLOG_ERROR("Failed to link elements input/qtivtransformInput/capsfilter1/qtivtransformOutput/capsfilter2/"
                   "output in the pipeline.");
        nimbra_internal::drop_all({qin, qout, tin, tout, c1, c2});
        release_pipeline(d);
        return -1;
      }
      nimbra_internal::add_all(d->pipeline, {input, qin, tin, c1, tout, qout, c2, output});
      if (link_chain({input, qin, tin, c1, tout, qout, c2, output}) >= 0) {
        NLOG_ERROR("Failed to link elements input/qtivtransformInput/capsfilter1/qtivtransformOutput/capsfilter2/"
                   "output in the pipeline.");
        release_pipeline(d);
        return -1;
      }
      add_probe(c1, on_buffer_received_v4l2, d);
      eos_watch = nimbra_internal::watch_output_eos(output);
    }
    play(d);
    BusEnd end = wait_for_end(d->bus, key, eos_watch.get());
    if (end.kind == BusEnd::Stopped) {
      release_pipeline(d);
      return 0;
    }
    if (end.kind == BusEnd::Eos) {
      NLOG_INFO("End-Of-Stream reached.");
      release_pipeline(d);
      NLOG_INFO("Pipeline completed (EOS) after %d attempts.", n);
      return 0;
    }
    log_bus_error(end, "Error received from element %s: %s", "Debugging information: %s");
    gst_element_set_state(d->pipeline, GST_STATE_NULL);
    if (n == attempts) {
      release_pipeline(d);
      NLOG_ERROR("Pipeline failed after %d attempts.", attempts);
      return -1;
    }
    NLOG_INFO("Retrying pipeline due to error. Attempt %d", n + 1);
  }
}

int start_ub2404(PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  prepare_pipeline(d->pipeline);
  std::string factory = "unknown";
  if (output) {
    GstElementFactory* f = gst_element_get_factory(output);
    if (f) factory = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f));
  }
  const bool skip = factory == "fakesink";
  NLOG_INFO("Platform is ubuntu 2404. Starting pipeline once. stream_id=%s", key.c_str());
  NLOG_INFO("start_ub2404: output factory=%s, skip_output_nv12_convert=%d", factory.c_str(), skip ? 1 : 0);

  GstElement* qin = gst_element_factory_make("queue", "queue_input_ub2024");
  GstElement* qmid = gst_element_factory_make("queue", "queue_mid_ub2024");
  GstElement* tin = make_transform("qtivtransformInput_ub2024", 3);
  GstElement* c1 = make_caps_filter("capsfilter1_ub2024", "video/x-raw,format=NV12");
  GstElement* c2 = make_caps_filter("capsfilter2_ub2024", "video/x-raw,format=RGB");
  if (!qin || !qmid || !tin || !c1 || !c2 || !input || !output) {
    NLOG_ERROR("start_ub2404: Failed to create one or more elements.");
    nimbra_internal::drop_all({qin, qmid, tin, c1, c2});
    release_pipeline(d);
    return -1;
  }
  GstElement *qout = nullptr, *tout = nullptr, *c3 = nullptr;
  if (!skip) {
    qout = gst_element_factory_make("queue", "queue_output_ub2024");
    tout = make_transform("qtivtransformOutput_ub2024", 3);
    c3 = make_caps_filter("capsfilter3_ub2024", "video/x-raw,format=NV12,colorimetry=bt709");
    if (!qout || !tout || !c3) {
      NLOG_ERROR("start_ub2404: Failed to create output conversion elements.");
      nimbra_internal::drop_all({qin, qmid, tin, c1, c2, qout, tout, c3});
      release_pipeline(d);
      return -1;
    }
  }
  std::vector<GstElement*> chain = {input, qin, c1, tin, qmid, c2};
  if (!skip) chain.insert(chain.end(), {tout, qout, c3});
  chain.push_back(output);
  for (GstElement* e : chain) gst_bin_add(GST_BIN(d->pipeline), e);
  if (link_chain(chain) >= 0) {
    NLOG_ERROR("start_ub2404: Failed to link elements.");
    release_pipeline(d);
    return -1;
  }
  add_probe(c2, on_buffer_received_v4l2, d);
  auto eos_watch = nimbra_internal::watch_output_eos(output);
  play(d);

  bool draining = false;
  auto deadline = std::chrono::steady_clock::now();
  for (;;) {
    GstMessage* m = gst_bus_timed_pop(d->bus, kBusPoll);
    if (!draining && stop_requested(key)) {
      draining = true;
      deadline = std::chrono::steady_clock::now() + kDrainTimeout;
    }
    if (draining && std::chrono::steady_clock::now() >= deadline) {
      NLOG_INFO("start_ub2404: running cleared, will break loop. stream_id=%s", key.c_str());
      if (m) gst_message_unref(m);
      break;
    }
    if (!draining && eos_watch->overdue()) {
      NLOG_WARN("End-of-stream reached the output, which did not confirm it; ending the stream.");
      NLOG_INFO("start_ub2404: End-Of-Stream reached. stream_id=%s", key.c_str());
      if (m) gst_message_unref(m);
      break;
    }
    if (!m) continue;
    const GstMessageType type = GST_MESSAGE_TYPE(m);
    if (type == GST_MESSAGE_ERROR) {
      BusEnd e = parse_error(m);
      gst_message_unref(m);
      if (draining) break;
      NLOG_ERROR("start_ub2404: ERROR from %s: %s", e.source.c_str(), e.message.c_str());
      NLOG_ERROR("start_ub2404: debug info: %s", e.debug.empty() ? "none" : e.debug.c_str());
      release_pipeline(d);
      NLOG_ERROR("start_ub2404: Pipeline failed.");
      return -1;
    }
    if (type == GST_MESSAGE_STATE_CHANGED) {
      NLOG_FRAME("start_ub2404: STATE_CHANGED from %s", GST_OBJECT_NAME(GST_MESSAGE_SRC(m)));
      if (GST_MESSAGE_SRC(m) == GST_OBJECT(d->pipeline)) {
        GstState olds, news;
        gst_message_parse_state_changed(m, &olds, &news, nullptr);
        NLOG_INFO("start_ub2404: pipeline state changed %s -> %s", gst_element_state_get_name(olds),
                  gst_element_state_get_name(news));
        if (news == GST_STATE_NULL && draining) {
          NLOG_INFO("start_ub2404: pipeline entered NULL because of external stop.");
          gst_message_unref(m);
          break;
        }
      }
    } else if (type == GST_MESSAGE_EOS) {
      NLOG_INFO("start_ub2404: End-Of-Stream reached. stream_id=%s", key.c_str());
      gst_message_unref(m);
      break;
    }
    gst_message_unref(m);
  }
  release_pipeline(d);
  NLOG_INFO("start_ub2404: Pipeline stopped (EOS or external stop).");
  return 0;
}

int start_usb(PiplineData* d, GstElement* output, StreamProperty prop) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  GstElement* src = gst_element_factory_make("v4l2src", "queue_input_src");
  GstElement* jpeg = gst_element_factory_make("jpegdec", "usb_jpegdec");
  GstElement* conv = gst_element_factory_make("videoconvert", "usb_videoconvert");
  GstElement* tout = make_transform("qtivtransformOutput", -1);
  std::string rgb = "video/x-raw,format=RGB,width=" + std::to_string(prop.width) +
                    ",height=" + std::to_string(prop.height);
  std::string nv12 = "video/x-raw(memory:GBM),format=NV12,width=" + std::to_string(prop.width) +
                     ",height=" + std::to_string(prop.height);
  GstElement* cin = make_caps_filter("qtivtransformInputCap", rgb.c_str());
  GstElement* cout = make_caps_filter("qtivtransformOutputCap", nv12.c_str());
  if (!src || !jpeg || !conv || !tout || !cin || !cout || !output) {
    NLOG_ERROR("Failed to create one or more GStreamer elements in start_usb");
    nimbra_internal::drop_all({src, jpeg, conv, tout, cin, cout});
    release_pipeline(d);
    return -1;
  }
  if (platform_tag() == "8550") {
    NLOG_INFO("Platform is 8550, will skip opengl handling.");
    g_object_set(tout, "engine", 2, nullptr);
  }
  g_object_set(src, "device", prop.inputAddr.c_str(), nullptr);
  nimbra_internal::add_all(d->pipeline, {src, jpeg, conv, cin, tout, cout, output});
  if (link_chain({src, jpeg, conv, cin, tout, cout, output}) >= 0) {
    NLOG_ERROR("Failed to link elements input/qtivtransformInput/capsfilter1/qtivtransformOutput/capsfilter2/"
               "output in the pipeline.");
    release_pipeline(d);
    return -1;
  }
  add_probe(cin, on_buffer_received, d);
  auto eos_watch = nimbra_internal::watch_output_eos(output);
  play(d);
  BusEnd end = wait_for_end(d->bus, key, eos_watch.get());
  if (end.kind == BusEnd::Error) {
    log_bus_error(end, "Error received from element %s: %s", "Debugging information: %s");
    release_pipeline(d);
    NLOG_ERROR("Pipeline failed.");
    return -1;
  }
  NLOG_WARN("Receiving EOS signal in message bus *****************");
  release_pipeline(d);
  NLOG_INFO("Pipeline completed (EOS).");
  return 0;
}

void get_caps_for_qtivtransform(GstElement* element) {
  GstPad* pad = element ? gst_element_get_static_pad(element, "src") : nullptr;
  if (!pad) {
    NLOG_ERROR("Failed to get the pad from qtivtransform.");
    return;
  }
  GstCaps* caps = nullptr;
  for (int i = 0; i < 10 && !(caps = gst_pad_get_current_caps(pad)); ++i) {
    NLOG_INFO("Caps not available yet, retrying...");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  gst_object_unref(pad);
  if (!caps) {
    NLOG_ERROR("Failed to get caps from pad.");
    return;
  }
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  int w = 0, h = 0;
  if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h))
    NLOG_INFO("get_caps_for_qtivtransform width: %d, height: %d", w, h);
  else
    NLOG_ERROR("Failed to retrieve width and height.");
  const gchar* format = gst_structure_get_string(s, "format");
  if (format)
    NLOG_INFO("get_caps_for_qtivtransform - Format: %s", format);
  else
    NLOG_ERROR("Failed to retrieve the format.");
  gst_caps_unref(caps);
}

// ---------------------------------------------------------------------------------
// Launchers

namespace {

void set_platform_environment() {
  const std::string& tag = platform_tag();
  if (tag == "v4l2") {
    setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    setenv("XDG_RUNTIME_DIR", "/dev/socket/weston", 1);
  } else if (tag == "6490") {
    const char* paths = "/opt/ubun20/usr/lib/aarch64-linux-gnu/gstreamer-1.0:/usr/lib/aarch64-linux-gnu/gstreamer-1.0";
    setenv("GST_PLUGIN_SYSTEM_PATH", paths, 1);
    setenv("GST_PLUGIN_PATH", paths, 1);
    setenv("GST_PLUGIN_SCANNER",
           "/opt/ubun20/usr/lib/aarch64-linux-gnu/gstreamer1.0/gstreamer-1.0/gst-plugin-scanner", 1);
    unsetenv("GST_REGISTRY");
    unsetenv("GST_REGISTRY_1_0");
  }
}

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
    return gst_element_factory_make("fakesink", "sink");
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
  if (!d->pipeline) {
    NLOG_ERROR("pipeline couldn't be created due to pipeline is nullptr.");
    return -1;
  }
  return 0;
}

int startStream(StreamInput* input, StreamOutput* output, std::string streamId,
                std::function<int8_t(const Image&)>& callback) {
  set_platform_environment();
  PiplineData d;
  gst_init(nullptr, nullptr);
  d.pipeline = gst_pipeline_new(streamId.c_str());
  if (pipeline_data_init(&d, streamId, callback) != 0) return -1;
  gst_object_ref_sink(d.pipeline);
  GstElement* registered = d.pipeline;
  nimbra_internal::register_pipeline(streamId, registered);
  NLOG_INFO("Registration pipeline for stream id: %s", streamId.c_str());
  if (!input) {
    NLOG_ERROR("streamInput couldn't be created due to streamInput is nullptr.");
    nimbra_internal::unregister_pipeline(streamId, registered);
    gst_object_unref(d.pipeline);
    return -1;
  }
  GstElement* in = input->build();
  GstElement* out = build_output_or_fakesink(output);
  const int rc = run_classic(&d, in, out);
  // The runner released every pipeline it ran; the key may name a rebuilt one.
  {
    std::lock_guard<std::mutex> g(g_map_mutex);
    auto it = pipeline_map.find(streamId);
    if (it != pipeline_map.end()) {
      gst_object_unref(it->second);
      pipeline_map.erase(it);
      g_keys.erase(streamId);
    }
  }
  release_pipeline(&d);
  return rc == -1 ? -1 : 0;
}

int startUsbStream(StreamProperty prop, StreamOutput* output, std::string streamId,
                   std::function<int8_t(const Image&)>& callback) {
  if (platform_tag() == "v4l2") {
    setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    setenv("XDG_RUNTIME_DIR", "/dev/socket/weston", 1);
  }
  const char* old = getenv("LD_LIBRARY_PATH");
  std::string ld = old ? std::string("/usr/lib:") + old : std::string("/usr/lib");
  setenv("LD_LIBRARY_PATH", ld.c_str(), 1);
  PiplineData d;
  gst_init(nullptr, nullptr);
  d.pipeline = gst_pipeline_new(streamId.c_str());
  if (pipeline_data_init(&d, streamId, callback) != 0) return -1;
  gst_object_ref_sink(d.pipeline);
  GstElement* registered = d.pipeline;
  nimbra_internal::register_pipeline(streamId, registered);
  NLOG_INFO("Registration pipeline for stream id: %s", streamId.c_str());
  GstElement* out = build_output_or_fakesink(output);
  const int rc = start_usb(&d, out, prop);
  nimbra_internal::unregister_pipeline(streamId, registered);
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
  return gst_element_factory_make("fakesink", "sink");
}

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
  add_probe(rgb, on_buffer_received_v4l2, d);
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
  set_platform_environment();
  gst_init(nullptr, nullptr);
  GstElement* pipeline = gst_pipeline_new(first.pStreamId.c_str());
  if (!pipeline) {
    NLOG_ERROR("pipeline couldn't be created due to pipeline is nullptr.");
    return -1;
  }
  gst_object_ref_sink(pipeline);
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
  prepare_pipeline(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  d1.bus = gst_element_get_bus(pipeline);
  GstMessage* m = gst_bus_timed_pop_filtered(d1.bus, GST_CLOCK_TIME_NONE,
                                             (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (m) {
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
      BusEnd e = parse_error(m);
      log_bus_error(e, "Error received from element %s: %s", "Debugging information: %s");
    }
    gst_message_unref(m);
  }
  return finish(0);
}

namespace {

int frame_push(StreamProperty& prop, std::function<int8_t(const Image&)>& callback, bool network) {
  NLOG_INFO("Start to save mp4, input width: %d, height: %d, fps: %d", prop.width, prop.height, prop.fps);
  if (platform_tag() == "6490") set_platform_environment();
  gst_init(nullptr, nullptr);
  nimbra_internal::install_sigint_forwarder();
  if (prop.fps != 0) g_fps = prop.fps;
  const std::string key = prop.streamId + (network ? "_network" : "_mp4");

  const size_t frame_bytes = prop.width > 0 && prop.height > 0 ? (size_t)prop.width * prop.height * 3 : 0;
  if (frame_bytes == 0 || g_share_memory_mp4.data.size() < frame_bytes || g_fps <= 0) {
    NLOG_ERROR("Frame memory of %zu bytes cannot hold %dx%d frames of stream id: %s.",
               g_share_memory_mp4.data.size(), prop.width, prop.height, prop.streamId.c_str());
    return -1;
  }

  std::string desc;
  const std::string& tag = platform_tag();
  const std::string sink = network ? " ! rtspclientsink protocols=tcp location=" + launch_quoted(prop.outputAddr)
                                   : " ! mp4mux ! filesink location=" + launch_quoted(prop.outputFile);
  if (tag == "v4l2" || tag == "ub2404") {
    printf("_width: %d, _height: %d\n", align_up(prop.width, 128), align_up(prop.height, 32));
    desc = "appsrc name=mysrc is-live=true format=time ! videobox bottom=" +
           std::to_string(prop.height - align_up(prop.height, 32)) + " ! videoconvert ! v4l2h264enc ! h264parse" +
           sink;
  } else {
    desc = "appsrc name=mysrc is-live=true format=time ! videoconvert ! video/x-raw,format=NV12,framerate=" +
           std::to_string(g_fps) + "/1 ! qtic2venc ! h264parse" + sink;
    printf("pipeline: %s\n", desc.c_str());
  }
  fflush(stdout);

  GError* err = nullptr;
  GstElement* pipeline = gst_parse_launch(desc.c_str(), &err);
  if (!pipeline) {
    NLOG_ERROR("Failed to create pipeline.");
    if (err) g_error_free(err);
    return -1;
  }
  g_clear_error(&err);
  prepare_pipeline(pipeline);
  nimbra_internal::register_pipeline(key, pipeline);
  printf("pipeline: %s\n", prop.streamId.c_str());
  fflush(stdout);
  NLOG_INFO(network ? "Registration pipeline for network stream id: %s" : "Registration pipeline for mp4 stream id: %s",
            key.c_str());
  GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "mysrc");
  pipeline_s = pipeline;
  appsrc_s = src;
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width", G_TYPE_INT, prop.width,
                                      "height", G_TYPE_INT, prop.height, "framerate", GST_TYPE_FRACTION, g_fps, 1,
                                      nullptr);
  g_object_set(src, "caps", caps, nullptr);
  gst_caps_unref(caps);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);

  const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, g_fps);
  GstClockTime running_time = 0;
  int64_t pushed = 0;
  while (!stop_requested(key)) {
    const auto t0 = std::chrono::steady_clock::now();
    Image image;
    image.data = g_share_memory_mp4.data.data();
    image.width = prop.width;
    image.height = prop.height;
    image.size = frame_bytes;
    image.fps = g_fps;
    image.pipe_status = 0;
    image.frame_index = pushed;
    callback(image);

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, frame_bytes, nullptr);
    gst_buffer_fill(buffer, 0, g_share_memory_mp4.data.data(), frame_bytes);
    GST_BUFFER_PTS(buffer) = running_time;
    GST_BUFFER_DURATION(buffer) = duration;
    running_time += duration;
    GstFlowReturn flow = GST_FLOW_OK;
    g_signal_emit_by_name(src, "push-buffer", buffer, &flow);
    gst_buffer_unref(buffer);
    if (flow != GST_FLOW_OK) {
      NLOG_ERROR("Failed to push buffer to appsrc.");
      break;
    }
    // A pipeline error (server gone, disk full) ends the loop instead of feeding a dead
    // pipeline until someone stops it.
    if (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      BusEnd e = parse_error(m);
      gst_message_unref(m);
      log_bus_error(e, "Error received from element %s: %s", "Debugging information: %s");
      break;
    }
    ++pushed;
    buffer_index = (buffer_index + 1) % (uint64_t)g_buffer_count;
    const long spent =
        (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    const long wait = 1000 / g_fps - spent;
    if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  }
  NLOG_INFO("After receiving EOS for pipeline, exit.");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  GstFlowReturn flow;
  g_signal_emit_by_name(src, "end-of-stream", &flow);
  // Let the end-of-stream reach the sink so the MP4 index is written, within bounds.
  GstMessage* m = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                             (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (m) gst_message_unref(m);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (pipeline_s == pipeline) {
    pipeline_s = nullptr;
    appsrc_s = nullptr;
  }
  nimbra_internal::unregister_pipeline(key, pipeline);
  gst_object_unref(src);
  gst_object_unref(pipeline);
  return 0;
}

}  // namespace

int start_save_mp4_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback) {
  return frame_push(prop, callback, false);
}

int start_network_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback) {
  return frame_push(prop, callback, true);
}

namespace {
int frame_push_by_id(const std::string& streamId, std::function<int8_t(const Image&)>& callback, bool network) {
  StreamProperty prop;
  if (get_config_properties_mp4(streamId, prop) != 0) return -1;
  // The callback runs on this thread; it is moved out like every launcher does.
  std::function<int8_t(const Image&)> cb = std::move(callback);
  callback = nullptr;
  return network ? start_network_intern(prop, cb) : start_save_mp4_intern(prop, cb);
}
}  // namespace

int start_save_mp4(std::string streamId, std::function<int8_t(const Image&)>& callback) {
  return frame_push_by_id(streamId, callback, false);
}

int start_network_push(std::string streamId, std::function<int8_t(const Image&)>& callback) {
  return frame_push_by_id(streamId, callback, true);
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
