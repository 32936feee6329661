// Waiting on a pipeline's bus: end-of-stream, errors and stops, with a watch on outputs
// that never confirm an end-of-stream they took.
#define NIMBRA_MODULE "modules/origin/src/StreamBusWait"
#include "StreamBuild.h"

#include <chrono>
#include <vector>

#include "StreamLog.h"
#include "StreamRegistry.h"

using nimbra_internal::now_ns;
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
      nimbra_internal::send_eos_async(pipeline);
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
