// The pipeline runners: link the chain around the RGB caps filter, play, and wait on the
// bus on the caller's thread until the end, an error or a stop, retrying or rebuilding
// as the platform's policy says.
#define NIMBRA_MODULE "modules/origin/src/StreamRunners"
#include "StreamBuild.h"

#include <gst/base/gstbasesink.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamDryRun.h"
#include "StreamRegistry.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtmpsink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"

using nimbra_internal::make_caps_filter;
using nimbra_internal::now_ns;
using nimbra_internal::platform_tag;
using nimbra_internal::stop_requested;

namespace {
constexpr GstClockTime kBusPoll = 200 * GST_MSECOND;
// After a stop request a runner lets the end-of-stream travel until it arrives (so MP4
// files get their index). This is only a safety net for an output that never drains;
// an output that swallows the end-of-stream is cut short by its OutputEosWatch instead.
constexpr auto kDrainTimeout = std::chrono::seconds(120);
}  // namespace

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

namespace {

struct EosWatchProbe {
  std::shared_ptr<OutputEosWatch> watch;
  std::shared_ptr<std::atomic<int>> reached;  // pads the end-of-stream went into
  int pads;
};

// A plain bin or pipeline (a group of elements), as opposed to an element that is built
// as a bin (rtspclientsink). Plain bins also carry the sink flag once they hold a sink.
bool plain_bin(GstElement* e) { return G_OBJECT_TYPE(e) == GST_TYPE_BIN || GST_IS_PIPELINE(e); }

// Collects the sink pads of the outermost sink elements inside `bin` (a sink that is a
// bin itself, like rtspclientsink, counts as one; its inner sinks do not).
void collect_sink_pads(GstElement* bin, std::vector<GstPad*>& pads) {
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(bin));
  GValue v = G_VALUE_INIT;
  while (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&v));
    if (plain_bin(e)) {
      collect_sink_pads(e, pads);
    } else if (GST_OBJECT_FLAG_IS_SET(e, GST_ELEMENT_FLAG_SINK)) {
      GstIterator* pit = gst_element_iterate_sink_pads(e);
      GValue pv = G_VALUE_INIT;
      while (gst_iterator_next(pit, &pv) == GST_ITERATOR_OK) {
        // Watched where it leaves the element upstream: that is where it goes into the
        // sink even when the sink's own pad drops it.
        GstPad* sinkpad = GST_PAD(g_value_get_object(&pv));
        GstPad* peer = gst_pad_get_peer(sinkpad);
        pads.push_back(peer ? peer : GST_PAD(gst_object_ref(sinkpad)));
        g_value_reset(&pv);
      }
      g_value_unset(&pv);
      gst_iterator_free(pit);
    }
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
}

}  // namespace

// The grace starts once the end-of-stream went into every sink of the output: encoders
// and muxers upstream of them may take as long as they need to drain (a loaded machine
// finishing a 1080p encode), only a sink that swallows it is cut short.
std::shared_ptr<OutputEosWatch> watch_output_eos(GstElement* output, const char* pad_name) {
  auto watch = std::make_shared<OutputEosWatch>();
  if (!output) return watch;
  std::vector<GstPad*> pads;
  if (plain_bin(output)) collect_sink_pads(output, pads);
  if (pads.empty()) {
    if (GstPad* pad = gst_element_get_static_pad(output, pad_name)) pads.push_back(pad);
  }
  auto reached = std::make_shared<std::atomic<int>>(0);
  for (GstPad* pad : pads) {
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
          auto* p = static_cast<EosWatchProbe*>(data);
          GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
          if (ev && GST_EVENT_TYPE(ev) == GST_EVENT_EOS) {
            if (++*p->reached >= p->pads) {
              int64_t expected = 0;
              p->watch->entered_ns.compare_exchange_strong(expected, now_ns());
            }
          } else if (ev && GST_EVENT_TYPE(ev) == GST_EVENT_FLUSH_STOP) {
            *p->reached = 0;
            p->watch->entered_ns = 0;
          }
          return GST_PAD_PROBE_OK;
        },
        new EosWatchProbe{watch, reached, (int)pads.size()},
        [](gpointer data) { delete static_cast<EosWatchProbe*>(data); });
    gst_object_unref(pad);
  }
  return watch;
}

BusEnd wait_for_end(GstBus* bus, const std::string& key, const OutputEosWatch* watch, GstElement* pipeline) {
  const std::shared_ptr<StreamMetrics> metrics = metrics_of(key);
  return wait_for_end(bus, [&key] { return stop_requested(key); }, watch, pipeline, metrics.get());
}

void count_qos(GstMessage* m, StreamMetrics* metrics) {
  if (!metrics || GST_MESSAGE_TYPE(m) != GST_MESSAGE_QOS) return;
  GstFormat format = GST_FORMAT_UNDEFINED;
  guint64 processed = 0, dropped = 0;
  gst_message_parse_qos_stats(m, &format, &processed, &dropped);
  if (format == GST_FORMAT_BUFFERS || format == GST_FORMAT_DEFAULT) metrics->qos_dropped(GST_MESSAGE_SRC(m), dropped);
}

BusEnd wait_for_end(GstBus* bus, const std::function<bool()>& stopped, const OutputEosWatch* watch,
                    GstElement* pipeline, StreamMetrics* metrics) {
  bool draining = false;
  auto deadline = std::chrono::steady_clock::now();
  auto resend = deadline;
  for (;;) {
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, kBusPoll,
        (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_QOS));
    if (!draining && stopped()) {
      draining = true;
      deadline = std::chrono::steady_clock::now() + kDrainTimeout;
      resend = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      if (pipeline && !m) {
        GstState state = GST_STATE_VOID_PENDING;
        gst_element_get_state(pipeline, &state, nullptr, 0);
        if (state != GST_STATE_PLAYING) return BusEnd{};  // stopped before anything flowed
      }
    }
    if (draining && pipeline && !m && std::chrono::steady_clock::now() >= resend) {
      gst_element_send_event(pipeline, gst_event_new_eos());
      resend = std::chrono::steady_clock::now() + std::chrono::seconds(1);
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
          count_qos(m, metrics);
          gst_message_unref(m);
          break;
      }
    }
    if (draining && std::chrono::steady_clock::now() >= deadline) {
      NLOG_WARN("The end-of-stream of a stop did not drain in time; the pipeline is torn down.");
      return BusEnd{};
    }
    if (watch && watch->overdue()) {
      NLOG_WARN("End-of-stream reached the output, which did not confirm it; ending the stream.");
      BusEnd e;
      e.kind = draining ? BusEnd::Stopped : BusEnd::Eos;
      return e;
    }
  }
}

}  // namespace nimbra_internal

using nimbra_internal::BusEnd;
using nimbra_internal::log_bus_error;
using nimbra_internal::parse_error;
using nimbra_internal::wait_for_end;

namespace nimbra_internal {

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
}

namespace {
// Whether a sink inside `element` renders against the clock (a display does, files,
// fake sinks and network pushes do not).
bool has_synced_sink(GstElement* element) {
  if (!element) return false;
  if (GST_IS_BIN(element)) {
    bool found = false;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      GstElement* child = GST_ELEMENT(g_value_get_object(&item));
      if (!GST_IS_BIN(child)) found = has_synced_sink(child);
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
  }
  if (!GST_IS_BASE_SINK(element)) return false;
  return gst_base_sink_get_sync(GST_BASE_SINK(element));
}
}  // namespace

bool has_synced_output(GstElement* output) { return has_synced_sink(output); }

void set_low_latency(GstElement* pipeline, GstElement* output) {
  // A zero pipeline latency keeps frames moving as soon as they are decoded. A sink that
  // renders against the clock would then find every frame of a live source late (the
  // source's own latency is not accounted for) and its QoS would make the decoder skip
  // frames, so such an output keeps the latency the pipeline computes.
  if (has_synced_sink(output)) {
    NLOG_INFO("Output renders against the clock; the pipeline keeps its computed latency.");
    return;
  }
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

void play(PiplineData* d) {
  // A failed state change posts its error on the bus; the wait that follows reports it.
  gst_element_set_state(d->pipeline, GST_STATE_PLAYING);
  if (d->bus) gst_object_unref(d->bus);
  d->bus = gst_element_get_bus(d->pipeline);
  // A stop that arrived while the pipeline was being built found nothing playing to
  // end; the end-of-stream goes in now, and the wait drains it.
  if (stop_requested(d->streamId)) gst_element_send_event(d->pipeline, gst_event_new_eos());
}

int link_chain(const std::vector<GstElement*>& chain) {
  for (size_t i = 0; i + 1 < chain.size(); ++i)
    if (!gst_element_link(chain[i], chain[i + 1])) return (int)i;
  return -1;
}

void drop_unparented(std::initializer_list<GstElement*> elements) {
  for (GstElement* e : elements)
    if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(gst_object_ref_sink(e));
}

std::string rebuilt_mp4_path(const std::string& path, int rebuild) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? path.substr(0, dot) : path;
  const std::string ext = has_ext ? path.substr(dot) : std::string();
  return stem + "-" + std::to_string(rebuild) + ext;
}

GstElement* build_configured_output(const StreamProperty& prop, const std::string& id, int rebuild) {
  GstElement* output = nullptr;
  if (prop.outputType == "rtsp") {
    StreamOutputRtspsink out(prop.outputAddr, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "wayland") {
    StreamOutputWaylandsink out(0, 0, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "mp4") {
    const std::string path = rebuilt_mp4_path(prop.outputAddr, rebuild);
    NLOG_INFO("Rebuilt stream id: %s records to %s", id.c_str(), path.c_str());
    StreamOutputMp4sink out(path, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "rtmp") {
    StreamOutputRtmpsink out(prop.outputAddr, id);
    out.set_stream_id(id);
    output = out.build();
  } else {
    output = gst_element_factory_make("fakesink", "sink");
  }
  return output;
}

}  // namespace nimbra_internal

using nimbra_internal::add_probe;
using nimbra_internal::drop_unparented;
using nimbra_internal::link_chain;
using nimbra_internal::make_transform;
using nimbra_internal::play;
using nimbra_internal::prepare_pipeline;
using nimbra_internal::release_pipeline;
using nimbra_internal::set_low_latency;

namespace {
// re_create_pipeline that also hands back the rebuilt output, for its end-of-stream watch.
int recreate(PiplineData* d, GstElement** output_out);

// After an input failure the output still holds what it received: end-of-stream goes
// straight into it, so a recording gets its index before the pipeline is torn down.
void finalise_output(PiplineData* d, GstElement* output) {
  if (!d->pipeline || !output || !d->bus) return;
  GstPad* pad = gst_element_get_static_pad(output, "sink");
  if (!pad) return;
  const bool sent = gst_pad_send_event(pad, gst_event_new_eos());
  gst_object_unref(pad);
  if (!sent) return;
  // Further errors of the failed input may still arrive; only the end-of-stream counts.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    GstMessage* m = gst_bus_timed_pop_filtered(d->bus, kBusPoll, GST_MESSAGE_EOS);
    if (m) {
      gst_message_unref(m);
      return;
    }
  }
  NLOG_WARN("The output did not finish its end-of-stream before the rebuild.");
}
}  // namespace

// ---------------------------------------------------------------------------------
// The platform runners share one loop; what differs per platform tag is one row of
// the table below.

namespace {

struct LogLine {
  int level;
  const char* text;  // nullptr: nothing is logged
};

template <typename... Args>
void say(const LogLine& line, Args... args) {
  if (line.text) NLOG(line.level, line.text, args...);
}

// One converter element between the input group and the output group.
struct Stage {
  const char* factory;  // "qtivtransform" and "capsfilter" get the row's engine and caps
  const char* name;
  std::string caps;
  bool probe;              // the frame probe goes on this element's "src" pad
  bool output_conversion;  // left out when the output is a fake sink (if the row says so)
};

enum class OnError {
  RetryOrRebuild,  // rebuild from the configuration, or retry when rebuilds are manual
  Retry,           // play the same pipeline again
  End,             // the stream has failed
};

struct RunnerProfile {
  std::vector<Stage> stages;
  int engine;  // "engine" of every transform; -1 leaves the element's default
  int attempts;
  OnError on_error;
  bool rebuild_on_eos;  // a source that ends is rebuilt unless it records or rebuilds manually
  bool system_clock;
  bool sync_output;
  bool skip_conversion_into_fakesink;
  bool stop_check_before_play;
  // A network input that drops or stalls is rebuilt in place, with back-off, while the
  // output keeps running (streams whose "manualRebuild" is false).
  bool reconnect_network_input = false;
  GstPadProbeCallback probe;
  // Log lines; format arguments in brackets.
  LogLine once;             // [stream id], before anything
  LogLine output_factory;   // [factory, skip], before anything
  LogLine attempt;          // [attempt, attempts], every attempt
  LogLine platform_note;    // first attempt
  bool note_after_create;   // the note comes once the elements exist
  LogLine create_error;     // a missing element; none: shown as the first link that fails
  LogLine conversion_error; // a missing output-conversion element
  std::vector<const char*> link_errors;  // level 2; one per link, or one for every link
  LogLine stopped_before_play;  // [stream id]
  LogLine stopped;              // [stream id], before release
  LogLine stop_completed;       // after release
  LogLine eos;                  // [stream id], before release
  LogLine completed;            // [attempt], after release
  LogLine error_source;         // [element, message]
  LogLine error_debug;          // [debug text or "none"]
  LogLine failed;               // after release, when an error ends the stream
};

const LogLine kNone{0, nullptr};
const char* const kQlLinkError =
    "Failed to link elements input/qtivtransformInput/capsfilter1/qtivtransformOutput/capsfilter2/output in the "
    "pipeline.";

RunnerProfile classic_profile(bool s8550) {
  RunnerProfile p;
  p.stages = {{"qtivtransform", "qtivtransformInput", "", false, false},
              {"capsfilter", "qtivtransformInputCap", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false}};
  p.engine = s8550 ? 2 : -1;
  p.attempts = 5;
  p.on_error = OnError::RetryOrRebuild;
  p.rebuild_on_eos = true;
  p.system_clock = true;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = true;
  p.probe = on_buffer_received;
  p.once = p.output_factory = kNone;
  p.attempt = {0, "Starting pipeline, attempt %d of %d"};
  p.platform_note = s8550 ? LogLine{0, "Platform is 8550, will skip opengl handling."} : kNone;
  p.note_after_create = false;
  p.create_error = p.conversion_error = kNone;
  p.link_errors = {"Failed to link elements input with qtivtransformInput in the pipeline.",
                   "Failed to link elements qtivtransformInput with capsfilter in the pipeline.",
                   "Failed to link elements capsfilter with qtivtransformOutput in the pipeline.",
                   "Failed to link elements qtivtransformOutput with output in the pipeline."};
  p.stopped_before_play = p.stopped = p.stop_completed = kNone;
  p.eos = {1, "Receiving EOS signal in message bus *****************"};
  p.completed = kNone;
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = kNone;
  return p;
}

RunnerProfile ql_profile() {
  RunnerProfile p;
  p.stages = {{"queue", "queue_input", "", false, false},
              {"qtivtransform", "qtivtransformInput", "", false, false},
              {"capsfilter", "capsfilter1", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false},
              {"queue", "queue_output", "", false, false},
              {"capsfilter", "capsfilter2", "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601", false, false}};
  p.engine = -1;
  p.attempts = 5;
  p.on_error = OnError::Retry;
  p.rebuild_on_eos = false;
  p.system_clock = true;
  p.sync_output = true;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = false;
  p.probe = on_buffer_received_v4l2;
  p.once = p.output_factory = kNone;
  p.attempt = {0, "Platform is 6490 ql. Starting pipeline, attempt %d of %d"};
  p.platform_note = kNone;
  p.note_after_create = false;
  p.create_error = {2, kQlLinkError};
  p.conversion_error = kNone;
  p.link_errors = {kQlLinkError};
  p.stopped_before_play = p.stopped = p.stop_completed = kNone;
  p.eos = {0, "End-Of-Stream reached."};
  p.completed = {0, "Pipeline completed (EOS) after %d attempts."};
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = kNone;
  return p;
}

RunnerProfile ub2404_profile() {
  RunnerProfile p;
  p.stages = {{"queue", "queue_input_ub2024", "", false, false},
              {"capsfilter", "capsfilter1_ub2024", "video/x-raw,format=NV12", false, false},
              {"qtivtransform", "qtivtransformInput_ub2024", "", false, false},
              {"queue", "queue_mid_ub2024", "", false, false},
              {"capsfilter", "capsfilter2_ub2024", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput_ub2024", "", false, true},
              {"queue", "queue_output_ub2024", "", false, true},
              {"capsfilter", "capsfilter3_ub2024", "video/x-raw,format=NV12,colorimetry=bt709", false, true}};
  p.engine = 3;
  p.attempts = 1;
  p.on_error = OnError::End;
  p.rebuild_on_eos = false;
  p.system_clock = true;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = true;
  p.stop_check_before_play = true;
  p.reconnect_network_input = true;
  p.probe = on_buffer_received_v4l2;
  p.once = {0, "Platform is ubuntu 2404. Starting pipeline once. stream_id=%s"};
  p.output_factory = {0, "start_ub2404: output factory=%s, skip_output_nv12_convert=%d"};
  p.attempt = p.platform_note = kNone;
  p.note_after_create = false;
  p.create_error = {2, "start_ub2404: Failed to create one or more elements."};
  p.conversion_error = {2, "start_ub2404: Failed to create output conversion elements."};
  p.link_errors = {"start_ub2404: Failed to link elements."};
  p.stopped_before_play = {0, "start_ub2404: stopped before it played. stream_id=%s"};
  p.stopped = {0, "start_ub2404: stop requested, pipeline ended. stream_id=%s"};
  p.stop_completed = {0, "start_ub2404: Pipeline stopped (EOS or external stop)."};
  p.eos = {0, "start_ub2404: End-Of-Stream reached. stream_id=%s"};
  p.completed = p.stop_completed;
  p.error_source = {2, "start_ub2404: ERROR from %s: %s"};
  p.error_debug = {2, "start_ub2404: debug info: %s"};
  p.failed = {2, "start_ub2404: Pipeline failed."};
  return p;
}

// USB cameras decode MJPEG in software whatever the tag; only the transform's engine and
// the size of the caps vary.
RunnerProfile usb_profile(bool s8550, int width, int height) {
  const std::string size = ",width=" + std::to_string(width) + ",height=" + std::to_string(height);
  RunnerProfile p;
  p.stages = {{"jpegdec", "usb_jpegdec", "", false, false},
              {"videoconvert", "usb_videoconvert", "", false, false},
              {"capsfilter", "qtivtransformInputCap", "video/x-raw,format=RGB" + size, true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false},
              {"capsfilter", "qtivtransformOutputCap", "video/x-raw(memory:GBM),format=NV12" + size, false, false}};
  p.engine = s8550 ? 2 : -1;
  p.attempts = 1;
  p.on_error = OnError::End;
  p.rebuild_on_eos = false;
  p.system_clock = false;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = true;
  p.probe = on_buffer_received;
  p.once = p.output_factory = p.attempt = kNone;
  p.platform_note = s8550 ? LogLine{0, "Platform is 8550, will skip opengl handling."} : kNone;
  p.note_after_create = true;
  p.create_error = {2, "Failed to create one or more GStreamer elements in start_usb"};
  p.conversion_error = kNone;
  p.link_errors = {kQlLinkError};
  p.stopped_before_play = kNone;
  p.stopped = {1, "Receiving EOS signal in message bus *****************"};
  p.stop_completed = {0, "Pipeline completed (EOS)."};
  p.eos = p.stopped;
  p.completed = p.stop_completed;
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = {2, "Pipeline failed."};
  return p;
}

// The table: which row each platform tag runs with.
const RunnerProfile& profile_for_tag(const std::string& tag) {
  static const RunnerProfile k8550 = classic_profile(true);
  static const RunnerProfile kClassic = classic_profile(false);  // "6490" and any other tag
  static const RunnerProfile kQl = ql_profile();                 // "v4l2"
  static const RunnerProfile kUb2404 = ub2404_profile();         // "ub2404"
  if (tag == "8550") return k8550;
  if (tag == "v4l2") return kQl;
  if (tag == "ub2404") return kUb2404;
  return kClassic;
}

GstElement* make_stage(const Stage& s, int engine) {
  const std::string factory = s.factory;
  if (factory == "qtivtransform") return make_transform(s.name, engine);
  if (factory == "capsfilter") return make_caps_filter(s.name, s.caps.c_str());
  return gst_element_factory_make(s.factory, s.name);
}

// Creates, adds and links input → stages → output and installs the frame probe. On
// failure it logs the row's line, releases what it made and the pipeline, and returns
// false.
bool build_chain(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output, bool skip,
                 std::shared_ptr<nimbra_internal::OutputEosWatch>& eos_watch) {
  std::vector<GstElement*> chain = {input};
  bool base_missing = !input || !output, conversion_missing = false;
  GstElement* probe_at = nullptr;
  for (const Stage& s : p.stages) {
    if (s.output_conversion && skip) continue;
    GstElement* e = make_stage(s, p.engine);
    if (!e) (s.output_conversion ? conversion_missing : base_missing) = true;
    if (s.probe) probe_at = e;
    chain.push_back(e);
  }
  chain.push_back(output);
  if (base_missing || conversion_missing) {
    if (p.create_error.text) {
      say(base_missing ? p.create_error : p.conversion_error);
    } else {
      // A missing element shows as the first link that cannot be made.
      size_t first = 0;
      while (chain[first]) ++first;
      NLOG_ERROR("%s", p.link_errors[std::min(first > 0 ? first - 1 : 0, p.link_errors.size() - 1)]);
    }
    for (GstElement* e : chain)
      if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(gst_object_ref_sink(e));
    release_pipeline(d);
    return false;
  }
  if (p.note_after_create) say(p.platform_note);
  if (p.sync_output && g_object_class_find_property(G_OBJECT_GET_CLASS(output), "sync"))
    g_object_set(output, "sync", TRUE, nullptr);
  for (GstElement* e : chain) gst_bin_add(GST_BIN(d->pipeline), e);
  const int failed = link_chain(chain);
  if (failed >= 0) {
    NLOG_ERROR("%s", p.link_errors[std::min((size_t)failed, p.link_errors.size() - 1)]);
    release_pipeline(d);
    return false;
  }
  set_low_latency(d->pipeline, output);
  add_probe(probe_at, p.probe, d);
  eos_watch = nimbra_internal::watch_output_eos(output);
  return true;
}

// Marks the stream failed; `why` empty keeps the error already recorded.
void fail(PiplineData* d, const std::string& why) {
  if (d->metrics) d->metrics->set_failed(why);
}

// ---------------------------------------------------------------------------------
// In-place reconnection of a network input.
//
// The input group is the only part that is rebuilt: the converters, the callback and the
// output (an encoder and an MP4 file, a push to a server) keep running, so a recording
// goes on in the same file across a camera's drop. The input's own end-of-stream is
// kept from the output unless the stream is being stopped.

constexpr uint64_t kFirstBackoffNs = 1000000000ULL;
constexpr uint64_t kMaxBackoffNs = 30000000000ULL;
// A stop whose end-of-stream has not come out of a live input by then is ended from the
// output side (a source that hangs forwards nothing).
constexpr uint64_t kStopFallbackNs = 3000000000ULL;
// A fresh connection waits this long for its first frame (a camera sends a key frame only
// every few seconds) before it counts as stalled, however short the stall time.
constexpr uint64_t kFirstFrameNs = 20000000000ULL;

// Every buffer the input hands to the chain counts as input activity.
void watch_input_activity(GstPad* joint, const std::shared_ptr<nimbra_internal::StreamMetrics>& metrics) {
  gst_pad_add_probe(
      joint, (GstPadProbeType)(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      [](GstPad*, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
        (*static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data))->input_active(now_ns());
        return GST_PAD_PROBE_OK;
      },
      new std::shared_ptr<nimbra_internal::StreamMetrics>(metrics),
      [](gpointer data) { delete static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data); });
}

// Whether a queue holds as much as it may: whoever pushes into it waits, so the input
// behind it is held back by a slow consumer rather than silent.
bool queue_is_full(GstElement* queue) {
  if (!queue || !g_object_class_find_property(G_OBJECT_GET_CLASS(queue), "current-level-buffers")) return false;
  guint buffers = 0, max_buffers = 0, bytes = 0, max_bytes = 0;
  guint64 time = 0, max_time = 0;
  g_object_get(queue, "current-level-buffers", &buffers, "max-size-buffers", &max_buffers, "current-level-bytes",
               &bytes, "max-size-bytes", &max_bytes, "current-level-time", &time, "max-size-time", &max_time,
               nullptr);
  return (max_buffers && buffers + 1 >= max_buffers) || (max_bytes && (guint64)bytes * 10 >= (guint64)max_bytes * 9) ||
         (max_time && time * 10 >= max_time * 9);
}

struct InputWatch {
  std::string key;
  std::atomic<bool> ended{false};
};

void watch_input_eos(GstElement* input, const std::shared_ptr<InputWatch>& watch) {
  GstPad* pad = gst_element_get_static_pad(input, "src");
  if (!pad) return;
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        auto* w = static_cast<std::shared_ptr<InputWatch>*>(data);
        GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
        if (!ev || GST_EVENT_TYPE(ev) != GST_EVENT_EOS || stop_requested((*w)->key)) return GST_PAD_PROBE_OK;
        (*w)->ended = true;
        return GST_PAD_PROBE_DROP;
      },
      new std::shared_ptr<InputWatch>(watch), [](gpointer data) { delete static_cast<std::shared_ptr<InputWatch>*>(data); });
  gst_object_unref(pad);
}

int supervise_network_input(const RunnerProfile& p, PiplineData* d, GstElement* input,
                            const std::shared_ptr<nimbra_internal::OutputEosWatch>& eos_watch) {
  const std::string key = d->streamId;
  nimbra_internal::EntryPtr entry = nimbra_internal::find_entry(key);
  std::shared_ptr<nimbra_internal::StreamMetrics> metrics =
      d->metrics ? d->metrics : std::make_shared<nimbra_internal::StreamMetrics>();
  GstPad* input_src = gst_element_get_static_pad(input, "src");
  GstPad* joint = input_src ? gst_pad_get_peer(input_src) : nullptr;  // where every input links
  if (input_src) gst_object_unref(input_src);
  if (!entry || !joint) {
    NLOG_ERROR("Stream id: %s cannot reconnect its input; it runs without reconnection.", key.c_str());
    if (joint) gst_object_unref(joint);
    release_pipeline(d);
    fail(d, "internal: the input could not be supervised");
    return -1;
  }
  NLOG_INFO("Stream id: %s reconnects its network input when it drops or stalls.", key.c_str());
  // Silence is measured where the input joins the chain, before the callback's thread.
  watch_input_activity(joint, metrics);
  GstElement* first_stage = gst_pad_get_parent_element(joint);
  auto watch = std::make_shared<InputWatch>();
  watch->key = key;
  watch_input_eos(input, watch);

  auto tear_down_input = [&] {
    if (!input) return;
    GstElement* old = input;
    input = nullptr;
    gst_element_set_state(old, GST_STATE_NULL);
    if (GstPad* src = gst_element_get_static_pad(old, "src")) {
      gst_pad_unlink(src, joint);
      gst_object_unref(src);
    }
    gst_bin_remove(GST_BIN(d->pipeline), old);
  };
  auto end_from_output_side = [&] {
    tear_down_input();
    gst_pad_send_event(joint, gst_event_new_eos());
  };
  auto finish = [&](int rc) {
    if (first_stage) gst_object_unref(first_stage);
    gst_object_unref(joint);
    release_pipeline(d);
    say(p.stop_completed);
    return rc;
  };

  enum class Phase { Live, Waiting } phase = Phase::Live;
  bool trying = false;                   // an input built after a drop that has not delivered yet
  uint64_t since = now_ns();             // start of the current connection
  uint64_t frames_at = metrics->decoded();
  uint64_t backoff = kFirstBackoffNs, retry_at = 0;
  bool draining = false, injected = false;
  uint64_t drain_deadline = 0, fallback_at = 0;

  auto input_lost = [&](const std::string& why) {
    const double wait_s = (double)backoff / 1e9;
    NLOG_WARN("Input of stream id: %s lost (%s); reconnecting in %.0f s.", key.c_str(), why.c_str(), wait_s);
    metrics->set_error(why);
    metrics->set_state(Velkor::Nimbra::StreamState::Reconnecting);
    tear_down_input();
    phase = Phase::Waiting;
    trying = false;
    retry_at = now_ns() + backoff;
    backoff = std::min(backoff * 2, kMaxBackoffNs);
  };

  play(d);
  for (;;) {
    GstMessage* m = gst_bus_timed_pop_filtered(
        d->bus, kBusPoll, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_QOS));
    const uint64_t now = now_ns();
    if (!draining && entry->stop_requested()) {
      draining = true;
      drain_deadline = now + (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(kDrainTimeout).count();
      fallback_at = now + kStopFallbackNs;
      if (phase != Phase::Live || trying) {
        end_from_output_side();
        injected = true;
      }
    }
    if (m) {
      const GstMessageType type = GST_MESSAGE_TYPE(m);
      if (type == GST_MESSAGE_QOS) {
        nimbra_internal::count_qos(m, metrics.get());
      } else if (type == GST_MESSAGE_EOS) {
        gst_message_unref(m);
        say(draining ? p.stopped : p.eos, key.c_str());
        return finish(0);
      } else {
        BusEnd e = parse_error(m);
        GstObject* src = GST_MESSAGE_SRC(m);
        const bool from_input = input && (src == GST_OBJECT(input) || gst_object_has_as_ancestor(src, GST_OBJECT(input)));
        const bool from_pipeline = gst_object_has_as_ancestor(src, GST_OBJECT(d->pipeline));
        if (from_input) {
          say(p.error_source, e.source.c_str(), e.message.c_str());
          if (draining) {
            if (!injected) end_from_output_side();
            injected = true;
          } else {
            input_lost(e.source + ": " + e.message);
          }
        } else if (from_pipeline) {
          // The output or a converter failed: reconnecting the input cannot help.
          say(p.error_source, e.source.c_str(), e.message.c_str());
          say(p.error_debug, e.debug.empty() ? "none" : e.debug.c_str());
          gst_message_unref(m);
          if (draining) return finish(0);
          metrics->set_error(e.source + ": " + e.message);
          if (first_stage) gst_object_unref(first_stage);
          gst_object_unref(joint);
          release_pipeline(d);
          say(p.failed);
          fail(d, "");
          return -1;
        }  // else: left over from an input already taken out
      }
      gst_message_unref(m);
    }
    if (draining) {
      if (!injected && now >= fallback_at) {
        NLOG_WARN("The input of stream id: %s did not end; the output is finalised without it.", key.c_str());
        end_from_output_side();
        injected = true;
      }
      if (now >= drain_deadline || (eos_watch && eos_watch->overdue())) {
        NLOG_WARN("The end-of-stream of a stop did not drain in time; the pipeline is torn down.");
        return finish(0);
      }
      continue;
    }
    if (phase == Phase::Live) {
      if (queue_is_full(first_stage)) metrics->input_active(now);
      if (trying && metrics->decoded() > frames_at) {
        trying = false;
        backoff = kFirstBackoffNs;
        metrics->reconnected();
        metrics->set_state(Velkor::Nimbra::StreamState::Playing);
        NLOG_INFO("Input of stream id: %s is back.", key.c_str());
      } else if (watch->ended.exchange(false)) {
        input_lost("the input ended");
      } else if (metrics->silence_ns(now, since) >
                 (metrics->decoded() > frames_at ? metrics->stall_timeout_ns()
                                                 : std::max(metrics->stall_timeout_ns(), kFirstFrameNs))) {
        char why[64];
        snprintf(why, sizeof why, "no frame for %.1f s", (double)metrics->silence_ns(now, since) / 1e9);
        input_lost(why);
      }
    } else if (now >= retry_at) {
      metrics->reconnect_attempt();
      NLOG_INFO("Reconnecting the input of stream id: %s.", key.c_str());
      GstElement* fresh = d->rebuild_input();
      GstPad* src = fresh ? gst_element_get_static_pad(fresh, "src") : nullptr;
      bool linked = false;
      if (src) {
        gst_bin_add(GST_BIN(d->pipeline), fresh);
        linked = GST_PAD_LINK_SUCCESSFUL(gst_pad_link(src, joint));
        gst_object_unref(src);
        if (!linked) {
          gst_element_set_state(fresh, GST_STATE_NULL);
          gst_bin_remove(GST_BIN(d->pipeline), fresh);
        }
      } else if (fresh) {
        gst_object_unref(gst_object_ref_sink(fresh));
      }
      if (!linked) {
        retry_at = now + backoff;
        backoff = std::min(backoff * 2, kMaxBackoffNs);
        metrics->set_error("the input could not be rebuilt (see the log)");
        continue;
      }
      input = fresh;
      watch->ended = false;
      watch_input_eos(input, watch);
      phase = Phase::Live;
      trying = true;
      since = now;
      frames_at = metrics->decoded();
      gst_element_sync_state_with_parent(input);
      // A pipeline whose first input never delivered is still on its way to PLAYING (its
      // sinks never prerolled) and may have lost track of it when that input was taken
      // out: asking again lets the new input's first frames carry it there.
      GstState current = GST_STATE_VOID_PENDING;
      gst_element_get_state(d->pipeline, &current, nullptr, 0);
      if (current != GST_STATE_PLAYING) gst_element_set_state(d->pipeline, GST_STATE_PLAYING);
    }
  }
}

// Plays the pipeline and waits on its bus on the caller's thread until the stream ends,
// fails or is stopped, retrying or rebuilding as the row says.
int run_pipeline(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  if (p.system_clock) prepare_pipeline(d->pipeline);
  std::string factory = "unknown";
  if (output) {
    GstElementFactory* f = gst_element_get_factory(output);
    if (f) factory = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f));
  }
  const bool skip = p.skip_conversion_into_fakesink && factory == "fakesink";
  say(p.once, key.c_str());
  say(p.output_factory, factory.c_str(), skip ? 1 : 0);

  std::shared_ptr<nimbra_internal::OutputEosWatch> eos_watch;
  GstElement* current_output = output;  // owned by the pipeline
  for (int n = 1;; ++n) {
    say(p.attempt, n, p.attempts);
    if (n == 1) {
      // Later attempts replay the same, already linked pipeline.
      if (!p.note_after_create) say(p.platform_note);
      if (!build_chain(p, d, input, output, skip, eos_watch)) {
        fail(d, "the pipeline could not be built (see the log)");
        return -1;
      }
      if (nimbra_internal::dry_run_active()) {
        nimbra_internal::dry_run_capture(d->pipeline);
        release_pipeline(d);
        return 0;
      }
      if (p.reconnect_network_input && d->rebuild_input && !get_manual_rebuild(key))
        return supervise_network_input(p, d, input, eos_watch);
    }
    if (p.stop_check_before_play && stop_requested(key)) {
      say(p.stopped_before_play, key.c_str());
      release_pipeline(d);
      return 0;
    }
    play(d);

    bool retry = false;
    while (!retry) {
      BusEnd end = wait_for_end(d->bus, key, eos_watch.get(), d->pipeline);
      bool rebuild = false;
      if (end.kind == BusEnd::Stopped) {
        say(p.stopped, key.c_str());
        release_pipeline(d);
        say(p.stop_completed);
        return 0;
      }
      if (end.kind == BusEnd::Eos) {
        say(p.eos, key.c_str());
        if (!p.rebuild_on_eos) {
          release_pipeline(d);
          say(p.completed, n);
          return 0;
        }
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
        say(p.error_source, end.source.c_str(), end.message.c_str());
        say(p.error_debug, end.debug.empty() ? "none" : end.debug.c_str());
        if (d->metrics) d->metrics->set_error(end.source + ": " + end.message);
        if (p.on_error == OnError::End) {
          release_pipeline(d);
          say(p.failed);
          fail(d, "");
          return -1;
        }
        if (p.on_error == OnError::Retry || get_manual_rebuild(key)) {
          retry = true;
        } else {
          NLOG_WARN("Error information received. Manual rebuild switch disabled, It will rebuild.");
          rebuild = true;
        }
      }
      if (rebuild) {
        if (end.kind == BusEnd::Error) finalise_output(d, current_output);
        GstElement* rebuilt_output = nullptr;
        if (recreate(d, &rebuilt_output) == 0) {
          current_output = rebuilt_output;
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
    // Retry: the same pipeline from NULL, if there still is one (a failed rebuild
    // leaves none).
    if (p.on_error == OnError::RetryOrRebuild && (!d->pipeline || stop_requested(key))) {
      const bool stopped = d->pipeline && stop_requested(key);
      release_pipeline(d);
      if (stopped) return 0;
      NLOG_ERROR("Pipeline failed after %d attempts.", n);
      fail(d, "");
      return -1;
    }
    gst_element_set_state(d->pipeline, GST_STATE_NULL);
    if (n == p.attempts) {
      release_pipeline(d);
      NLOG_ERROR("Pipeline failed after %d attempts.", p.attempts);
      fail(d, "");
      return -1;
    }
    NLOG_INFO("Retrying pipeline due to error. Attempt %d", n + 1);
  }
}

}  // namespace

int start(PiplineData* d, GstElement* input, GstElement* output) {
  // Every tag but "v4l2" and "ub2404" runs the classic row; "8550" differs in its engine.
  return run_pipeline(profile_for_tag(platform_tag() == "8550" ? "8550" : "6490"), d, input, output);
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
  // The rebuilt pipeline keeps the output the stream was configured with, at its size.
  GstElement* output = nimbra_internal::build_configured_output(prop, key, d->rebuilds + 1);

  d->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(key.c_str())));
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
  set_low_latency(d->pipeline, output);
  add_probe(caps, on_buffer_received_re, d);
  ++d->rebuilds;
  if (output_out) *output_out = output;
  return 0;
}
}  // namespace

int start_6490_ql(PiplineData* d, GstElement* input, GstElement* output) {
  return run_pipeline(profile_for_tag("v4l2"), d, input, output);
}

int start_ub2404(PiplineData* d, GstElement* input, GstElement* output) {
  return run_pipeline(profile_for_tag("ub2404"), d, input, output);
}

int start_usb(PiplineData* d, GstElement* output, StreamProperty prop) {
  if (!d || !d->pipeline) return -1;
  GstElement* src = gst_element_factory_make("v4l2src", "queue_input_src");
  if (src) g_object_set(src, "device", prop.inputAddr.c_str(), nullptr);
  return run_pipeline(usb_profile(platform_tag() == "8550", prop.width, prop.height), d, src, output);
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

