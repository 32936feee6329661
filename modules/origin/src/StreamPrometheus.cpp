#define NIMBRA_MODULE "modules/origin/src/StreamPrometheus"
#include "StreamPrometheus.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "StreamEvents.h"
#include "StreamHealth.h"
#include "StreamLog.h"
#include "StreamRegistry.h"

namespace nimbra_internal {

void DurationHistogram::observe_ns(uint64_t ns) {
  int i = 0;
  while (i < kBounds && (double)ns >= bound_s(i) * 1e9) ++i;
  counts_[i].fetch_add(1, std::memory_order_relaxed);
  sum_ns_.fetch_add(ns, std::memory_order_relaxed);
}

void DurationHistogram::read(std::array<uint64_t, kBounds + 1>& counts, uint64_t& sum_ns) const {
  for (int i = 0; i <= kBounds; ++i) counts[i] = counts_[i].load(std::memory_order_relaxed);
  sum_ns = sum_ns_.load(std::memory_order_relaxed);
}

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

ClientMetric metric(std::vector<ClientMetric::Label> labels) {
  ClientMetric m;
  m.label = std::move(labels);
  return m;
}

MetricFamily family(const std::string& name, const std::string& help, MetricType type) {
  MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = type;
  return f;
}

// `cumulative[i]` for each finite bound, then the total.
ClientMetric histogram(std::vector<ClientMetric::Label> labels, const std::vector<uint64_t>& cumulative,
                       uint64_t total, double sum_s) {
  ClientMetric m = metric(std::move(labels));
  for (int i = 0; i < DurationHistogram::kBounds; ++i) {
    ClientMetric::Bucket b;
    b.upper_bound = DurationHistogram::bound_s(i);
    b.cumulative_count = cumulative[i];
    m.histogram.bucket.push_back(b);
  }
  ClientMetric::Bucket inf;
  inf.upper_bound = std::numeric_limits<double>::infinity();
  inf.cumulative_count = total;
  m.histogram.bucket.push_back(inf);
  m.histogram.sample_count = total;
  m.histogram.sample_sum = sum_s;
  return m;
}

}  // namespace

class MetricsCollector : public prometheus::Collectable {
 public:
  std::vector<MetricFamily> Collect() const override {
    auto up = family("nimbra_stream_up", "1 while the stream runs and delivers frames", MetricType::Gauge);
    auto frames = family("nimbra_frames_total", "Frames that reached the delivery point", MetricType::Counter);
    auto dropped = family("nimbra_frames_dropped_total", "Frames lost on the way", MetricType::Counter);
    auto skipped = family("nimbra_frames_skipped_total",
                          "Frames that went to the output without the callback (a newer frame was waiting)",
                          MetricType::Counter);
    auto reconnects = family("nimbra_reconnects_total", "Times the input was rebuilt and frames flowed again",
                             MetricType::Counter);
    auto fps = family("nimbra_stream_fps", "Frames in the last whole second", MetricType::Gauge);
    auto callback = family("nimbra_callback_seconds", "Frame callback durations", MetricType::Histogram);
    std::set<std::string> seen;
    for (const Velkor::Nimbra::StreamHealth& h : Velkor::Nimbra::list_stream_health()) {
      // A stream that ended and runs again is listed twice; the running one counts.
      if (!seen.insert(h.stream_id).second) continue;
      const std::vector<ClientMetric::Label> l = {{"stream", h.stream_id}};
      ClientMetric m = metric(l);
      m.gauge.value = h.running && h.state == Velkor::Nimbra::StreamState::Playing ? 1 : 0;
      up.metric.push_back(m);
      m = metric(l);
      m.counter.value = (double)h.frames_decoded;
      frames.metric.push_back(m);
      m = metric(l);
      m.counter.value = (double)h.frames_dropped;
      dropped.metric.push_back(m);
      m = metric(l);
      m.counter.value = (double)h.frames_skipped;
      skipped.metric.push_back(m);
      m = metric(l);
      m.counter.value = (double)h.reconnects;
      reconnects.metric.push_back(m);
      m = metric(l);
      m.gauge.value = h.fps_last_second;
      fps.metric.push_back(m);
      if (!h.running) continue;
      auto sm = metrics_of(h.stream_id);
      if (!sm) continue;
      std::array<uint64_t, StreamMetrics::kBuckets> counts;
      uint64_t sum_ns = 0;
      sm->callback_histogram(counts, sum_ns);
      // The metrics' buckets split each octave in four; bucket 4k closes the octave that
      // ends at 2^k us.
      std::vector<uint64_t> cumulative(DurationHistogram::kBounds);
      uint64_t running = 0, total = 0;
      int next = 0;
      for (int b = 0; b < StreamMetrics::kBuckets; ++b) {
        running += counts[b];
        if (next < DurationHistogram::kBounds && b == 4 * (DurationHistogram::kFirstPower + next))
          cumulative[next++] = running;
      }
      total = running;
      callback.metric.push_back(histogram(l, cumulative, total, (double)sum_ns / 1e9));
    }

    auto inference = family("nimbra_inference_seconds", "Inference durations", MetricType::Histogram);
    for (const auto& [stream, hist] : inference_histograms()) {
      std::array<uint64_t, DurationHistogram::kBounds + 1> counts;
      uint64_t sum_ns = 0;
      hist->read(counts, sum_ns);
      std::vector<uint64_t> cumulative(DurationHistogram::kBounds);
      uint64_t running = 0;
      for (int i = 0; i < DurationHistogram::kBounds; ++i) cumulative[i] = running += counts[i];
      inference.metric.push_back(
          histogram({{"stream", stream}}, cumulative, running + counts[DurationHistogram::kBounds], (double)sum_ns / 1e9));
    }

    auto events = family("nimbra_events_total", "Events made, by stream, type and label", MetricType::Counter);
    for (const EventCount& c : event_counts()) {
      ClientMetric m = metric({{"label", c.label}, {"stream", c.stream}, {"type", c.type}});
      m.counter.value = (double)c.count;
      events.metric.push_back(m);
    }
    auto cb_dropped = family("nimbra_event_callback_dropped_total",
                             "Events not handed to event callbacks that did not keep up", MetricType::Counter);
    ClientMetric cbd;
    cbd.counter.value = (double)event_callback_dropped();
    cb_dropped.metric.push_back(cbd);

    std::vector<MetricFamily> out = {up, frames, dropped, skipped, reconnects, fps, callback, inference, events, cb_dropped};
    const Velkor::Nimbra::MqttStatus s = Velkor::Nimbra::mqtt_status();
    if (s.configured) {
      auto gauge = [&](const char* name, const char* help, double v) {
        auto f = family(name, help, MetricType::Gauge);
        ClientMetric m;
        m.gauge.value = v;
        f.metric.push_back(m);
        out.push_back(f);
      };
      auto counter = [&](const char* name, const char* help, double v) {
        auto f = family(name, help, MetricType::Counter);
        ClientMetric m;
        m.counter.value = v;
        f.metric.push_back(m);
        out.push_back(f);
      };
      gauge("nimbra_mqtt_connected", "1 while connected to the broker", s.connected ? 1 : 0);
      gauge("nimbra_mqtt_queue_events", "Events waiting for the broker's acknowledgement", (double)s.queued);
      gauge("nimbra_mqtt_spooled_events", "Of those, events in the spool directory", (double)s.spooled);
      counter("nimbra_mqtt_dropped_events_total", "Events lost to a full queue or spool", (double)s.dropped);
      counter("nimbra_mqtt_published_events_total", "Events the broker acknowledged", (double)s.published);
    }
    // Families without a sample are left out: the text format has nothing to say for them.
    std::vector<MetricFamily> kept;
    for (auto& f : out)
      if (!f.metric.empty()) kept.push_back(std::move(f));
    return kept;
  }
};

MetricsServer::MetricsServer() = default;
MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::start(const std::string& address, int port, std::string& error) {
  stop();
  const bool v6 = address.find(':') != std::string::npos;
  const std::string bind = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
  try {
    exposer_ = std::make_unique<prometheus::Exposer>(bind, 2);
  } catch (const std::exception& e) {
    error = "metrics: cannot serve on " + bind + " (the port is in use or the address is not this machine's)";
    return false;
  }
  collector_ = std::make_shared<MetricsCollector>();
  exposer_->RegisterCollectable(collector_);
  const std::vector<int> ports = exposer_->GetListeningPorts();
  port_ = ports.empty() ? port : ports.front();
  NLOG_INFO("metrics: serving http://%s:%d/metrics", v6 ? ("[" + address + "]").c_str() : address.c_str(), port_);
  return true;
}

void MetricsServer::stop() {
  exposer_.reset();
  collector_.reset();
  port_ = 0;
}

}  // namespace nimbra_internal
