#define NIMBRA_MODULE "modules/origin/src/StreamMetrics"
#include "StreamMetrics.h"

#include <algorithm>
#include <cmath>

#include "StreamBase.h"

namespace nimbra_internal {

namespace {
std::atomic<bool> g_metrics_on{true};
std::atomic<uint64_t> g_default_stall_ns{5ULL * 1000000000ULL};

// Callback durations in microseconds on a log scale: 4 buckets per octave, so a
// percentile is within about 10 % of the true value.
int bucket_of(uint64_t ns) {
  const uint64_t us = ns / 1000;
  if (us == 0) return 0;
  const int msb = 63 - __builtin_clzll(us);
  const int sub = msb >= 2 ? (int)((us >> (msb - 2)) & 3) : (int)((us << (2 - msb)) & 3);
  return std::min(1 + msb * 4 + sub, StreamMetrics::kBuckets - 1);
}

// Middle of a bucket, in milliseconds.
double bucket_ms(int b) {
  if (b == 0) return 0.0005;
  const int msb = (b - 1) / 4, sub = (b - 1) % 4;
  const double lower = std::ldexp(4 + sub, msb - 2);  // microseconds
  const double width = std::ldexp(1, msb - 2);
  return (lower + width / 2) / 1000.0;
}
}  // namespace

void set_metrics_enabled(bool on) { g_metrics_on.store(on); }
bool metrics_enabled() { return g_metrics_on.load(std::memory_order_relaxed); }

StreamMetrics::StreamMetrics() : state_((int)Velkor::Nimbra::StreamState::Starting), started_ns_(now_ns()) {
  for (auto& h : hist_) h.store(0, std::memory_order_relaxed);
  for (auto& h : inference_hist_) h.store(0, std::memory_order_relaxed);
}

void StreamMetrics::inference_done(uint64_t ns) {
  inferences_.fetch_add(1, std::memory_order_relaxed);
  inference_hist_[bucket_of(ns)].fetch_add(1, std::memory_order_relaxed);
}

void StreamMetrics::frame_decoded(uint64_t now) {
  if (!metrics_enabled()) return;
  decoded_.fetch_add(1, std::memory_order_relaxed);
  uint64_t expected = 0;
  if (first_frame_ns_.load(std::memory_order_relaxed) == 0)
    first_frame_ns_.compare_exchange_strong(expected, now, std::memory_order_relaxed);
  last_frame_ns_.store(now, std::memory_order_relaxed);
  // Frames per whole second, in a ring of four seconds.
  const int64_t sec = (int64_t)(now / 1000000000ULL);
  Second& s = seconds_[sec & 3];
  if (s.sec.load(std::memory_order_relaxed) != sec && s.sec.exchange(sec, std::memory_order_relaxed) != sec)
    s.count.store(1, std::memory_order_relaxed);
  else
    s.count.fetch_add(1, std::memory_order_relaxed);
  if (state_.load(std::memory_order_relaxed) == (int)Velkor::Nimbra::StreamState::Starting) {
    int starting = (int)Velkor::Nimbra::StreamState::Starting;
    state_.compare_exchange_strong(starting, (int)Velkor::Nimbra::StreamState::Playing);
  }
}

void StreamMetrics::frame_delivered(uint64_t ns) {
  in_callback_since_.store(0, std::memory_order_relaxed);
  if (!metrics_enabled()) return;
  delivered_.fetch_add(1, std::memory_order_relaxed);
  hist_[bucket_of(ns)].fetch_add(1, std::memory_order_relaxed);
  callback_sum_ns_.fetch_add(ns, std::memory_order_relaxed);
}

void StreamMetrics::callback_histogram(std::array<uint64_t, kBuckets>& counts, uint64_t& sum_ns) const {
  for (int i = 0; i < kBuckets; ++i) counts[i] = hist_[i].load(std::memory_order_relaxed);
  sum_ns = callback_sum_ns_.load(std::memory_order_relaxed);
}

void StreamMetrics::qos_dropped(const void* reporter, uint64_t total) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& r : qos_) {
    if (r.first == reporter || r.first == nullptr) {
      r.first = reporter;
      if (total > r.second) {
        qos_dropped_.fetch_add(total - r.second, std::memory_order_relaxed);
        r.second = total;
      }
      return;
    }
  }
}

void StreamMetrics::set_error(const std::string& text, uint64_t at_ns) {
  const uint64_t at = at_ns ? at_ns : now_ns();
  std::lock_guard<std::mutex> g(mutex_);
  last_error_ = text;
  last_error_ns_ = at;
}

void StreamMetrics::set_failed(const std::string& text, uint64_t at_ns) {
  const uint64_t at = at_ns ? at_ns : now_ns();
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!text.empty() || last_error_.empty()) {
      last_error_ = text.empty() ? "the stream could not be started or ended with an error (see the log)" : text;
      last_error_ns_ = at;
    }
  }
  set_state(Velkor::Nimbra::StreamState::Failed);
}

uint64_t StreamMetrics::stall_timeout_ns() const {
  const uint64_t own = stall_ns_.load(std::memory_order_relaxed);
  return own ? own : g_default_stall_ns.load(std::memory_order_relaxed);
}

uint64_t StreamMetrics::last_activity_ns() const {
  return std::max(last_frame_ns_.load(std::memory_order_relaxed), last_input_ns_.load(std::memory_order_relaxed));
}

uint64_t StreamMetrics::silence_ns(uint64_t now, uint64_t since) const {
  if (in_callback_since_.load(std::memory_order_relaxed) != 0) return 0;
  const uint64_t last = std::max({last_frame_ns_.load(std::memory_order_relaxed),
                                  last_input_ns_.load(std::memory_order_relaxed), since});
  return now > last ? now - last : 0;
}

bool StreamMetrics::stalled(uint64_t now, uint64_t since) const {
  if (!counts_frames_.load(std::memory_order_relaxed)) return false;
  const auto s = stored_state();
  if (s != Velkor::Nimbra::StreamState::Playing && s != Velkor::Nimbra::StreamState::Starting) return false;
  return silence_ns(now, since) > stall_timeout_ns();
}

namespace {
double histogram_percentile_ms(const std::array<std::atomic<uint32_t>, StreamMetrics::kBuckets>& hist, double q) {
  constexpr int kBuckets = StreamMetrics::kBuckets;
  uint64_t total = 0;
  std::array<uint32_t, kBuckets> counts;
  for (int i = 0; i < kBuckets; ++i) total += counts[i] = hist[i].load(std::memory_order_relaxed);
  if (total == 0) return 0;
  const uint64_t rank = (uint64_t)std::ceil(q * (double)total);
  uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += counts[i];
    if (seen >= rank && counts[i]) return bucket_ms(i);
  }
  return bucket_ms(kBuckets - 1);
}
}  // namespace

double StreamMetrics::percentile_ms(double q) const { return histogram_percentile_ms(hist_, q); }

void StreamMetrics::finish(uint64_t now) {
  uint64_t zero = 0;
  ended_ns_.compare_exchange_strong(zero, now);
}

void StreamMetrics::snapshot(Velkor::Nimbra::StreamHealth& out, uint64_t now) const {
  const uint64_t ended = ended_ns_.load();
  const uint64_t at = ended ? ended : now;
  out.state = stored_state();
  out.running = ended == 0;
  if (out.running && stalled(at, started_ns_)) out.state = Velkor::Nimbra::StreamState::Stalled;
  uint64_t error_at = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    out.last_error = last_error_;
    error_at = last_error_ns_;
  }
  out.reconnects = reconnects_.load();
  out.reconnect_attempts = attempts_.load();
  const uint64_t last = last_frame_ns_.load();
  out.last_error_age_s = out.last_error.empty() ? -1 : (double)(at - std::min(at, error_at)) / 1e9;
  // Frames after the error, and a state that says the stream is fine (or ended fine).
  out.last_error_recovered = !out.last_error.empty() && last > error_at &&
                             (out.state == Velkor::Nimbra::StreamState::Playing ||
                              out.state == Velkor::Nimbra::StreamState::Stopped);
  out.last_frame_age_s = last ? (double)(at - std::min(at, last)) / 1e9 : -1;
  out.uptime_s = (double)(at - std::min(at, started_ns_)) / 1e9;
  out.stall_timeout_s = (double)stall_timeout_ns() / 1e9;
  out.frames_decoded = decoded_.load();
  out.frames_delivered = delivered_.load();
  out.frames_skipped = skipped_.load();
  out.frames_dropped = dropped_.load() + qos_dropped_.load();
  // The last whole second before `at`.
  const int64_t prev = (int64_t)(at / 1000000000ULL) - 1;
  const Second& s = seconds_[prev & 3];
  out.fps_last_second = out.running && s.sec.load() == prev ? (double)s.count.load() : 0.0;
  const uint64_t first = first_frame_ns_.load();
  out.fps_since_start = first && at > first ? (double)out.frames_decoded * 1e9 / (double)(at - first) : 0.0;
  out.callback_p50_ms = percentile_ms(0.50);
  out.callback_p99_ms = percentile_ms(0.99);
  const uint64_t inferences = inferences_.load(std::memory_order_relaxed);
  out.inferences = inferences;
  out.inference_failures = inference_failures_.load(std::memory_order_relaxed);
  out.inference_fps = first && at > first ? (double)inferences * 1e9 / (double)(at - first) : 0.0;
  out.inference_p50_ms = histogram_percentile_ms(inference_hist_, 0.50);
  out.inference_p99_ms = histogram_percentile_ms(inference_hist_, 0.99);
  out.inference_skipped = inference_skipped_.load(std::memory_order_relaxed);
  out.objects = objects_.load(std::memory_order_relaxed);
}

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

const char* stream_state_name(StreamState state) {
  switch (state) {
    case StreamState::Starting: return "starting";
    case StreamState::Playing: return "playing";
    case StreamState::Stalled: return "stalled";
    case StreamState::Reconnecting: return "reconnecting";
    case StreamState::Failed: return "failed";
    case StreamState::Stopped: return "stopped";
  }
  return "unknown";
}

void set_stall_timeout(double seconds) {
  if (!(seconds > 0.2)) seconds = 0.2;
  if (seconds > 86400.0) seconds = 86400.0;
  nimbra_internal::g_default_stall_ns.store((uint64_t)(seconds * 1e9));
}

}  // namespace Nimbra
}  // namespace Velkor
