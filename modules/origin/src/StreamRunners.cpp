// The pipeline runners: link the chain around the RGB caps filter, play, and wait on the
// bus on the caller's thread until the end, an error or a stop, retrying or rebuilding
// as the platform's policy says.
#define NIMBRA_MODULE "modules/origin/src/StreamRunners"
#include "StreamBuild.h"

#include <gst/base/gstbasesink.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
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
  return wait_for_end(bus, [&key] { return stop_requested(key); }, watch, pipeline);
}

BusEnd wait_for_end(GstBus* bus, const std::function<bool()>& stopped, const OutputEosWatch* watch,
                    GstElement* pipeline) {
  bool draining = false;
  auto deadline = std::chrono::steady_clock::now();
  auto resend = deadline;
  for (;;) {
    GstMessage* m = gst_bus_timed_pop_filtered(
        bus, kBusPoll, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING));
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

int start(PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  const std::string key = d->streamId;
  prepare_pipeline(d->pipeline);
  const int attempts = 5;
  std::shared_ptr<nimbra_internal::OutputEosWatch> eos_watch;
  GstElement* current_output = output;  // owned by the pipeline
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
        drop_unparented({input, tin, tout, caps, output});
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
      set_low_latency(d->pipeline, output);
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
      BusEnd end = wait_for_end(d->bus, key, eos_watch.get(), d->pipeline);
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
        drop_unparented({input, qin, qout, tin, tout, c1, c2, output});
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
      set_low_latency(d->pipeline, output);
      add_probe(c1, on_buffer_received_v4l2, d);
      eos_watch = nimbra_internal::watch_output_eos(output);
    }
    play(d);
    BusEnd end = wait_for_end(d->bus, key, eos_watch.get(), d->pipeline);
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
    drop_unparented({input, qin, qmid, tin, c1, c2, output});
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
      drop_unparented({input, qin, qmid, tin, c1, c2, qout, tout, c3, output});
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
  set_low_latency(d->pipeline, output);
  add_probe(c2, on_buffer_received_v4l2, d);
  auto eos_watch = nimbra_internal::watch_output_eos(output);
  if (stop_requested(key)) {
    NLOG_INFO("start_ub2404: stopped before it played. stream_id=%s", key.c_str());
    release_pipeline(d);
    return 0;
  }
  play(d);
  BusEnd end = wait_for_end(d->bus, key, eos_watch.get(), d->pipeline);
  if (end.kind == BusEnd::Error) {
    NLOG_ERROR("start_ub2404: ERROR from %s: %s", end.source.c_str(), end.message.c_str());
    NLOG_ERROR("start_ub2404: debug info: %s", end.debug.empty() ? "none" : end.debug.c_str());
    release_pipeline(d);
    NLOG_ERROR("start_ub2404: Pipeline failed.");
    return -1;
  }
  if (end.kind == BusEnd::Stopped)
    NLOG_INFO("start_ub2404: stop requested, pipeline ended. stream_id=%s", key.c_str());
  else
    NLOG_INFO("start_ub2404: End-Of-Stream reached. stream_id=%s", key.c_str());
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
    drop_unparented({src, jpeg, conv, tout, cin, cout, output});
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
  set_low_latency(d->pipeline, output);
  add_probe(cin, on_buffer_received, d);
  auto eos_watch = nimbra_internal::watch_output_eos(output);
  if (stop_requested(key)) {
    release_pipeline(d);
    return 0;
  }
  play(d);
  BusEnd end = wait_for_end(d->bus, key, eos_watch.get(), d->pipeline);
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

