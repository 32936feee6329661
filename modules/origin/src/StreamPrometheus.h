// The /metrics endpoint (prometheus-cpp's exposer on civetweb). Every scrape builds the
// families afresh from the streams' health records and numbers, the event counters and
// the MQTT publisher's status, so nothing is kept twice and nothing is updated on the
// frame path for it.
//
//   MetricsServer server;
//   if (!server.start("127.0.0.1", 9108, error)) ...   // a port in use is an error
//   server.port();                                      // the bound port (for port 0)
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Exposer;
}

namespace nimbra_internal {

// Durations in seconds on the histogram bounds of the endpoint: 2^k microseconds for
// k = 4 .. 25 (16 us .. 33.6 s), then +Inf.
class DurationHistogram {
 public:
  static constexpr int kFirstPower = 4, kLastPower = 25;
  static constexpr int kBounds = kLastPower - kFirstPower + 1;
  static double bound_s(int i) { return (double)(1ull << (kFirstPower + i)) * 1e-6; }

  void observe_ns(uint64_t ns);
  // Counts per bound (not cumulative; the last one is +Inf), and the sum.
  void read(std::array<uint64_t, kBounds + 1>& counts, uint64_t& sum_ns) const;

 private:
  std::array<std::atomic<uint64_t>, kBounds + 1> counts_{};
  std::atomic<uint64_t> sum_ns_{0};
};

class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();
  bool start(const std::string& address, int port, std::string& error);
  void stop();
  int port() const { return port_; }

 private:
  std::unique_ptr<prometheus::Exposer> exposer_;
  std::shared_ptr<class MetricsCollector> collector_;
  int port_ = 0;
};

// What the collector reads from the event side (StreamEvents.cpp).
struct EventCount {
  std::string stream, type, label;
  uint64_t count = 0;
};
std::vector<EventCount> event_counts();
uint64_t event_callback_dropped();
// Inference durations per stream (streams that observed one).
std::vector<std::pair<std::string, std::shared_ptr<DurationHistogram>>> inference_histograms();

}  // namespace nimbra_internal
