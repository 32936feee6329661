// Splice streams: one pipeline per stream id, fed access unit by access unit.
//
// Threads: callers push from any thread; each stream has one worker thread that owns
// the pipeline and runs the stream's main loop; frames are delivered on the appsink's
// streaming thread. Lock order inside a stream: push_mutex before state_mutex;
// param_mutex is never held with either; g_streams_mutex is never held with a
// stream lock nor across a GStreamer call.
#include "StreamBuildSplice.h"

#include "StreamBase.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "StreamDetect.h"
#include "StreamPipelineParts.h"
#include "StreamRegistry.h"

namespace Velkor {
namespace Nimbra {
namespace {

const char* const kSpliceDescription =
    "appsrc name=src is-live=false format=time block=true ! h265parse disable-passthrough=true ! "
    "qtic2vdec ! video/x-raw,format=NV12 ! appsink name=sink emit-signals=true sync=false "
    "max-buffers=4 drop=true";

constexpr guint64 kAppsrcMaxBytes = 4 * 1024 * 1024;
// How long stop waits for the end-of-stream to drain the decoder before it gives up.
constexpr auto kStopDrainTimeout = std::chrono::seconds(3);

enum SpliceDecodeState : int { WaitParams = 0, WaitKey = 1, Decoding = 2 };

struct StreamContext {
  std::string stream_id;
  GstElement* pipeline = nullptr;
  GstElement* appsrc = nullptr;
  GstElement* appsink = nullptr;
  GMainLoop* loop = nullptr;
  GMainContext* context = nullptr;
  // The stream's entry in the registry of every stream kind (stops by id, "all_stream"
  // and SIGINT reach it there).
  nimbra_internal::EntryPtr entry;
  std::function<int8_t(const Image&)> callback;
  // The stream's model and tracker when its properties have "detect".
  std::shared_ptr<nimbra_internal::StreamDetector> detector;
  int64_t frames = 0;  // frames seen by the detector
  std::thread worker;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  std::atomic<bool> stopped_from_callback{false};  // no frame reaches the callback any more
  std::mutex state_mutex;
  std::timed_mutex push_mutex;
  std::mutex param_mutex;
  std::condition_variable startup_cv;
  SpliceDecodeState decode_state = WaitParams;
  bool have_vps = false;
  bool have_sps = false;
  bool have_pps = false;
  bool startup_done = false;
  int startup_result = SPLICE_INTERNAL;
  // Set when the stream's loop has ended; stop waits on it to let the decoder drain.
  bool loop_ended = false;
  std::condition_variable ended_cv;

  ~StreamContext() {
    // A std::thread destroyed while joinable terminates the process. The last owner
    // may be the worker itself (a stream that ended on its own and is dropped from a
    // finished worker) or a registry torn down at exit.
    if (worker.joinable()) {
      if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
      else
        worker.join();
    }
  }
};

using ContextPtr = std::shared_ptr<StreamContext>;

// The stream whose callback runs on this thread: a stop from inside the callback must
// not wait for the pipeline that is waiting for the callback.
thread_local StreamContext* t_in_callback = nullptr;

std::once_flag g_gst_init_once;
std::mutex g_streams_mutex;

// The registry. At process exit its destructor stops every stream that is still
// registered and joins its worker before any context is destroyed.
struct Registry {
  std::unordered_map<std::string, ContextPtr> streams;
  ~Registry();
};
Registry g_registry;
auto& g_streams = g_registry.streams;

void log_out(const std::string& line) {
  std::cout << line << std::endl;  // endl flushes
}

void log_err(const std::string& line) {
  std::cerr << line << std::endl;
}

void ensure_gst_initialized() {
  std::call_once(g_gst_init_once, [] { gst_init(nullptr, nullptr); });
}

void complete_startup(const ContextPtr& ctx, int code) {
  {
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    if (ctx->startup_done) return;
    ctx->startup_result = code;
    ctx->startup_done = true;
  }
  ctx->startup_cv.notify_all();
}

GstElement* ref_element(StreamContext* ctx, GstElement* StreamContext::*member) {
  std::lock_guard<std::mutex> g(ctx->state_mutex);
  GstElement* e = ctx->*member;
  return e ? GST_ELEMENT(gst_object_ref(e)) : nullptr;
}

void quit_loop(StreamContext* ctx) {
  GMainLoop* loop = nullptr;
  {
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    if (ctx->loop) loop = g_main_loop_ref(ctx->loop);
  }
  if (loop) {
    g_main_loop_quit(loop);
    g_main_loop_unref(loop);
  }
}

GstFlowReturn on_new_sample(GstAppSink* sink, gpointer user_data) {
  auto* ctx = static_cast<StreamContext*>(user_data);
  if (!ctx || !ctx->callback) return GST_FLOW_OK;

  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (!sample) return GST_FLOW_OK;
  // A stop from inside the callback returns before the stream has drained: the frames
  // still in the decoder would reach a callback whose caller already tears down what it
  // uses. (A stop from outside drains them through the callback before it returns.)
  if (ctx->stopped_from_callback) {
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  }
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstCaps* caps = gst_sample_get_caps(sample);
  GstVideoInfo info;
  GstMapInfo map;
  if (!buffer || !caps || !gst_video_info_from_caps(&info, caps) ||
      !gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  }

  Image image;
  image.stream_id = ctx->stream_id;
  image.data = map.data;
  image.size = map.size;
  image.width = GST_VIDEO_INFO_WIDTH(&info);
  image.height = GST_VIDEO_INFO_HEIGHT(&info);
  image.src_width = image.width;
  image.src_height = image.height;
  image.stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
  // A producer with padded rows says so in its video meta; the caps alone would lie.
  if (GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) image.stride = meta->stride[0];
  image.scanlines = image.height;
  image.pts = GST_BUFFER_PTS_IS_VALID(buffer) ? (int64_t)GST_BUFFER_PTS(buffer) : -1;
  image.format = "NV12";
  if (ctx->detector) {
    // The detector counts the frames; the callback's Image keeps its frame_index of 0.
    image.frame_index = ++ctx->frames;
    GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
    const size_t uv_offset = meta ? meta->offset[1] : GST_VIDEO_INFO_PLANE_OFFSET(&info, 1);
    const int uv_stride = meta ? meta->stride[1] : GST_VIDEO_INFO_PLANE_STRIDE(&info, 1);
    const size_t y_offset = meta ? meta->offset[0] : GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
    if (uv_offset + (size_t)uv_stride * (image.height / 2) <= map.size)
      ctx->detector->on_frame_nv12(image, map.data + y_offset, image.stride, map.data + uv_offset, uv_stride);
    image.frame_index = 0;
  }

  nimbra_internal::StreamMetrics* metrics = ctx->entry ? ctx->entry->metrics().get() : nullptr;
  const uint64_t t_frame = nimbra_internal::now_ns();
  if (metrics) metrics->frame_decoded(t_frame);
  t_in_callback = ctx;
  ctx->callback(image);
  t_in_callback = nullptr;
  if (metrics) metrics->frame_delivered(nimbra_internal::now_ns() - t_frame);

  gst_buffer_unmap(buffer, &map);
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

gboolean on_bus_message(GstBus*, GstMessage* msg, gpointer user_data) {
  auto* ctx = static_cast<StreamContext*>(user_data);
  const std::string& id = ctx->stream_id;
  switch (GST_MESSAGE_TYPE(msg)) {
    case GST_MESSAGE_ERROR: {
      GError* err = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(msg, &err, &debug);
      log_err("[ERROR][" + id + "] " + (err ? err->message : "unknown error"));
      if (debug) log_err("[DEBUG][" + id + "] " + debug);
      if (ctx->entry)
        ctx->entry->metrics()->set_failed(std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(msg))) + ": " +
                                          (err ? err->message : "unknown error"));
      if (err) g_error_free(err);
      g_free(debug);
      ctx->running = false;
      quit_loop(ctx);
      break;
    }
    case GST_MESSAGE_EOS:
      log_out("[EOS][" + id + "]");
      ctx->running = false;
      quit_loop(ctx);
      break;
    case GST_MESSAGE_STATE_CHANGED: {
      GstElement* pipeline = ref_element(ctx, &StreamContext::pipeline);
      if (pipeline && GST_MESSAGE_SRC(msg) == GST_OBJECT(pipeline)) {
        GstState old_state, new_state;
        gst_message_parse_state_changed(msg, &old_state, &new_state, nullptr);
        log_out("[STATE][" + id + "] " + gst_element_state_get_name(old_state) + " -> " +
                gst_element_state_get_name(new_state));
      }
      if (pipeline) gst_object_unref(pipeline);
      break;
    }
    default:
      break;
  }
  return TRUE;
}

void teardown(const ContextPtr& ctx, GstElement* pipeline, GstElement* appsrc, GstElement* appsink,
              GMainLoop* loop, GMainContext* context, GSource* bus_source) {
  if (pipeline) gst_element_set_state(pipeline, GST_STATE_NULL);
  // The watch lives on this stream's own context, dispatched only by this thread:
  // destroying it here guarantees no message reaches the context after release.
  if (bus_source) {
    g_source_destroy(bus_source);
    g_source_unref(bus_source);
  }
  {
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    ctx->pipeline = nullptr;
    ctx->appsrc = nullptr;
    ctx->appsink = nullptr;
    ctx->loop = nullptr;
    ctx->context = nullptr;
  }
  if (appsink) gst_object_unref(appsink);
  if (appsrc) gst_object_unref(appsrc);
  if (pipeline) gst_object_unref(pipeline);
  if (loop) g_main_loop_unref(loop);
  if (context) {
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }
  ctx->running = false;
  ctx->stopping = false;
  complete_startup(ctx, SPLICE_INTERNAL);
  {
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    ctx->loop_ended = true;
  }
  ctx->ended_cv.notify_all();
}

void worker_main(ContextPtr ctx) {
  const std::string& id = ctx->stream_id;
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(kSpliceDescription, &error);
  if (!pipeline) {
    log_err("[ERROR][" + id + "] create pipeline failed");
    if (error) {
      log_err("[ERROR][" + id + "] " + error->message);
      g_error_free(error);
    }
    ctx->running = false;
    complete_startup(ctx, SPLICE_PIPELINE_FAILED);
    teardown(ctx, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return;
  }
  if (error) {
    log_err("[WARN][" + id + "] parse warning: " + error->message);
    g_clear_error(&error);
  }

  GstElement* appsrc = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement* appsink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  if (!appsrc || !appsink) {
    log_err("[ERROR][" + id + "] get appsrc/appsink failed");
    ctx->running = false;
    complete_startup(ctx, SPLICE_PIPELINE_FAILED);
    teardown(ctx, pipeline, appsrc, appsink, nullptr, nullptr, nullptr);
    return;
  }

  // Each stream runs its own context so that one stream's loop never dispatches another
  // stream's bus messages, and an application loop on the default context never does.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  if (!loop) {
    log_err("[ERROR][" + id + "] create main loop failed");
    ctx->running = false;
    complete_startup(ctx, SPLICE_INTERNAL);
    teardown(ctx, pipeline, appsrc, appsink, nullptr, context, nullptr);
    return;
  }

  {
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    ctx->pipeline = pipeline;
    ctx->appsrc = appsrc;
    ctx->appsink = appsink;
    ctx->loop = loop;
    ctx->context = context;
  }

  GstCaps* caps = gst_caps_from_string("video/x-h265,stream-format=byte-stream,alignment=au");
  g_object_set(appsrc, "caps", caps, "stream-type", GST_APP_STREAM_TYPE_STREAM, "max-bytes",
               kAppsrcMaxBytes, nullptr);
  gst_caps_unref(caps);

  g_signal_connect(appsink, "new-sample", G_CALLBACK(on_new_sample), ctx.get());
  GstBus* bus = gst_element_get_bus(pipeline);
  GSource* bus_source = gst_bus_create_watch(bus);
  g_source_set_callback(bus_source, (GSourceFunc)(void*)on_bus_message, ctx.get(), nullptr);
  g_source_attach(bus_source, context);
  gst_object_unref(bus);

  if (!nimbra_internal::may_play(ctx->entry, pipeline)) {
    // Only described (a dry run), or stopped while it was built: nothing plays.
    complete_startup(ctx, SPLICE_OK);
    teardown(ctx, pipeline, appsrc, appsink, loop, context, bus_source);
    return;
  }
  ctx->running = true;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    log_err("[ERROR][" + id + "] set PLAYING failed");
    ctx->running = false;
    complete_startup(ctx, SPLICE_PIPELINE_FAILED);
    teardown(ctx, pipeline, appsrc, appsink, loop, context, bus_source);
    return;
  }
  complete_startup(ctx, SPLICE_OK);
  g_main_loop_run(loop);
  teardown(ctx, pipeline, appsrc, appsink, loop, context, bus_source);
}

// Asks a stream to end: end-of-stream into the decoder, a bounded wait for it to
// drain, then the loop is quit whether or not it arrived.
void request_stop(const ContextPtr& ctx) {
  ctx->stopping = true;
  if (GstElement* src = ref_element(ctx.get(), &StreamContext::appsrc)) {
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    gst_object_unref(src);
    std::unique_lock<std::mutex> lk(ctx->state_mutex);
    ctx->ended_cv.wait_for(lk, kStopDrainTimeout, [&] { return ctx->loop_ended; });
  }
  quit_loop(ctx.get());
}

Registry::~Registry() {
  std::unordered_map<std::string, ContextPtr> left;
  {
    std::lock_guard<std::mutex> g(g_streams_mutex);
    left.swap(streams);
  }
  for (auto& kv : left) {
    request_stop(kv.second);
    if (kv.second->worker.joinable()) {
      if (kv.second->worker.get_id() == std::this_thread::get_id())
        kv.second->worker.detach();
      else
        kv.second->worker.join();
    }
  }
}

ContextPtr find_stream(const std::string& id) {
  std::lock_guard<std::mutex> g(g_streams_mutex);
  auto it = g_streams.find(id);
  return it == g_streams.end() ? nullptr : it->second;
}

}  // namespace

HevcAuInfo parse_hevc_au_info_splice(const uint8_t* data, size_t size) {
  HevcAuInfo info;
  if (!data || size < 6) return info;
  size_t i = 0;
  while (i + 3 < size) {
    size_t sc_len = 0;
    if (data[i] == 0 && data[i + 1] == 0) {
      if (data[i + 2] == 1)
        sc_len = 3;
      else if (data[i + 2] == 0 && i + 4 < size && data[i + 3] == 1)
        sc_len = 4;
    }
    if (sc_len == 0) {
      if (i + 4 < size) {
        ++i;
        continue;
      }
      break;
    }
    const size_t p = i + sc_len;
    if (p + 2 > size) break;
    const int type = (data[p] >> 1) & 0x3F;
    if (type == 32) info.has_vps = true;
    if (type == 33) info.has_sps = true;
    if (type == 34) info.has_pps = true;
    if (type >= 16 && type <= 21) info.has_irap = true;
    if (type < 32) info.has_vcl = true;
    if (p + 7 < size)
      i = p + 2;
    else
      break;
  }
  return info;
}

int start_splice_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback) {
  ensure_gst_initialized();
  if (stream_id.empty() || !callback) return SPLICE_BAD_ARGUMENT;
  auto ctx = std::make_shared<StreamContext>();
  ctx->stream_id = stream_id;
  ctx->callback = callback;
  ctx->decode_state = WaitParams;
  ctx->entry = nimbra_internal::register_detached(stream_id, nimbra_internal::StreamKind::Splice);
  if (!ctx->entry) return SPLICE_ALREADY_REGISTERED;
  ctx->entry->set_stop_action([stream_id](nimbra_internal::StopCause) { stop_splice_stream(stream_id); });
  std::string detect_error;
  ctx->detector = nimbra_internal::StreamDetector::from_configuration(stream_id, ctx->entry->metrics(), detect_error);
  if (!detect_error.empty()) {
    log_err(detect_error);
    ctx->entry->metrics()->set_failed(detect_error);
    nimbra_internal::release_entry(ctx->entry);
    return SPLICE_BAD_ARGUMENT;
  }
  {
    std::lock_guard<std::mutex> g(g_streams_mutex);
    if (g_streams.count(stream_id)) {
      nimbra_internal::release_entry(ctx->entry);
      return SPLICE_ALREADY_REGISTERED;
    }
    g_streams.emplace(stream_id, ctx);
  }

  {
    // Hold state_mutex while the thread object is assigned so the context destructor
    // can never observe a half-assigned worker.
    std::lock_guard<std::mutex> g(ctx->state_mutex);
    ctx->worker = std::thread(worker_main, ctx);
  }

  int result;
  {
    std::unique_lock<std::mutex> lk(ctx->state_mutex);
    ctx->startup_cv.wait(lk, [&] { return ctx->startup_done; });
    result = ctx->startup_result;
  }
  if (result != SPLICE_OK || ctx->entry->describing()) {
    {
      std::lock_guard<std::mutex> g(g_streams_mutex);
      auto it = g_streams.find(stream_id);
      if (it != g_streams.end() && it->second == ctx) g_streams.erase(it);
    }
    nimbra_internal::release_entry(ctx->entry);
    if (ctx->worker.joinable()) ctx->worker.join();
  }
  return result;
}

int decode_put_frame_splice(const uint8_t* data, size_t size, const std::string& stream_id,
                            int64_t pts, bool is_key_frame) {
  if (!data || size == 0 || stream_id.empty()) return SPLICE_BAD_ARGUMENT;
  ContextPtr ctx = find_stream(stream_id);
  if (!ctx) return SPLICE_NOT_FOUND;
  if (!ctx->running || ctx->stopping) return SPLICE_NOT_RUNNING;

  const HevcAuInfo info = parse_hevc_au_info_splice(data, size);
  const bool key = info.has_irap || is_key_frame;
  {
    std::lock_guard<std::mutex> g(ctx->param_mutex);
    if (info.has_vps) ctx->have_vps = true;
    if (info.has_sps) ctx->have_sps = true;
    if (info.has_pps) ctx->have_pps = true;
    if (ctx->decode_state == WaitParams) {
      if (!(ctx->have_vps && ctx->have_sps && ctx->have_pps)) return SPLICE_DROPPED_WAITING;
      ctx->decode_state = WaitKey;
    }
    if (ctx->decode_state == WaitKey) {
      if (!key) return SPLICE_DROPPED_WAITING;
      ctx->decode_state = Decoding;
    }
  }

  std::lock_guard<std::timed_mutex> push_lock(ctx->push_mutex);
  GstElement* src = ref_element(ctx.get(), &StreamContext::appsrc);
  if (!src) return SPLICE_NOT_RUNNING;
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  if (!buffer) {
    gst_object_unref(src);
    return SPLICE_INTERNAL;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    gst_object_unref(src);
    return SPLICE_INTERNAL;
  }
  memcpy(map.data, data, size);
  gst_buffer_unmap(buffer, &map);
  const GstClockTime ts = pts < 0 ? GST_CLOCK_TIME_NONE : (GstClockTime)pts;
  GST_BUFFER_PTS(buffer) = ts;
  GST_BUFFER_DTS(buffer) = ts;
  GST_BUFFER_DURATION(buffer) = GST_CLOCK_TIME_NONE;
  const GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
  gst_object_unref(src);
  return flow == GST_FLOW_OK ? SPLICE_OK : SPLICE_PUSH_REFUSED;
}

int stop_splice_stream(std::string stream_id) {
  ContextPtr ctx;
  {
    std::lock_guard<std::mutex> g(g_streams_mutex);
    auto it = g_streams.find(stream_id);
    if (it == g_streams.end()) return SPLICE_NOT_FOUND;
    ctx = it->second;
    g_streams.erase(it);
  }
  nimbra_internal::release_entry(ctx->entry);
  ctx->stopping = true;
  if (t_in_callback == ctx.get()) {
    ctx->stopped_from_callback = true;
    // Called from this stream's own callback: the worker cannot finish while the
    // callback runs, so the stop is only started here. End-of-stream goes in, and the
    // loop is quit after the drain time if it has not ended by then; the worker then
    // tears down and releases itself.
    if (GstElement* src = ref_element(ctx.get(), &StreamContext::appsrc)) {
      gst_app_src_end_of_stream(GST_APP_SRC(src));
      gst_object_unref(src);
    }
    GMainContext* context = nullptr;
    {
      std::lock_guard<std::mutex> g(ctx->state_mutex);
      if (ctx->context) context = g_main_context_ref(ctx->context);
    }
    if (context) {
      GSource* timeout = g_timeout_source_new((guint)std::chrono::milliseconds(kStopDrainTimeout).count());
      auto* weak = new std::weak_ptr<StreamContext>(ctx);
      g_source_set_callback(
          timeout,
          [](gpointer data) -> gboolean {
            if (ContextPtr c = static_cast<std::weak_ptr<StreamContext>*>(data)->lock()) quit_loop(c.get());
            return G_SOURCE_REMOVE;
          },
          weak, [](gpointer data) { delete static_cast<std::weak_ptr<StreamContext>*>(data); });
      g_source_attach(timeout, context);
      g_source_unref(timeout);
      g_main_context_unref(context);
    }
    if (ctx->worker.joinable()) ctx->worker.detach();
    return SPLICE_OK;
  }
  // Wait for pushes already past the registry look-up, so none races the end-of-stream,
  // but not behind a push blocked in a full source queue: the end-of-stream wakes it.
  if (ctx->push_mutex.try_lock_for(std::chrono::milliseconds(500)))
    ctx->push_mutex.unlock();
  else
    log_err("[WARN][" + stream_id + "] a push is blocked in the source queue; stopping without it");
  request_stop(ctx);
  if (ctx->worker.joinable()) ctx->worker.join();
  return SPLICE_OK;
}

}  // namespace Nimbra
}  // namespace Velkor
