// Per-stream numbers kept on the frame path, and the stream's health state.
//
// One StreamMetrics lives in each registry entry and outlives the pipelines of the
// stream (a rebuilt input keeps counting into it). Producers are the frame probes, the
// frame-push loop and the splice sink; readers take a snapshot at any time. Every update
// is a relaxed atomic operation: a reader may see one frame's counters half-updated,
// never torn values.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "StreamHealth.h"

namespace nimbra_internal {

bool metrics_enabled();

class StreamMetrics {
 public:
  StreamMetrics();

  // A frame reached the delivery point at `now_ns` (steady clock, nanoseconds).
  void frame_decoded(uint64_t now_ns);
  // The callback starts on a frame / took `ns` for it. A callback that is still running
  // keeps the stream from counting as silent: a slow consumer is not a lost input.
  void callback_started(uint64_t now_ns) { in_callback_since_.store(now_ns, std::memory_order_relaxed); }
  void frame_delivered(uint64_t ns);
  // Data reached the chain from the input at `now_ns`, or the input is held back by a full
  // queue downstream (what a slow callback or output causes); either way it is not silent.
  void input_active(uint64_t now_ns) { last_input_ns_.store(now_ns, std::memory_order_relaxed); }
  // A frame passed on to the output without the callback (a newer one was waiting, or
  // the stream is stopping).
  void callback_skipped() {
    if (metrics_enabled()) skipped_.fetch_add(1, std::memory_order_relaxed);
  }
  void frames_dropped(uint64_t n) { dropped_.fetch_add(n, std::memory_order_relaxed); }
  // An element reported its cumulative dropped frames (QoS); the largest report of each
  // reporter counts once.
  void qos_dropped(const void* reporter, uint64_t total);

  // A detecting stream's model ran once for `ns`; a frame waiting for it was replaced by a
  // newer one; the frame handed to the callback carried `n` objects.
  void inference_done(uint64_t ns);
  void inference_failed() { inference_failures_.fetch_add(1, std::memory_order_relaxed); }
  void inference_skipped() { inference_skipped_.fetch_add(1, std::memory_order_relaxed); }
  void set_objects(uint32_t n) { objects_.store(n, std::memory_order_relaxed); }

  void set_state(Velkor::Nimbra::StreamState s) { state_.store((int)s, std::memory_order_relaxed); }
  Velkor::Nimbra::StreamState stored_state() const { return (Velkor::Nimbra::StreamState)state_.load(); }
  // The latest error or drop, which happened at `at_ns` (0: now).
  void set_error(const std::string& text, uint64_t at_ns = 0);
  void reconnect_attempt() { attempts_.fetch_add(1, std::memory_order_relaxed); }
  void reconnected() { reconnects_.fetch_add(1, std::memory_order_relaxed); }
  void set_failed(const std::string& text, uint64_t at_ns = 0);  // Failed, with the reason
  bool failed() const { return stored_state() == Velkor::Nimbra::StreamState::Failed; }

  // 0: the process default (set_stall_timeout).
  void set_stall_timeout_ns(uint64_t ns) { stall_ns_.store(ns); }
  uint64_t stall_timeout_ns() const;
  // Streams that deliver no frames to the host (a composition) are never "stalled".
  void set_counts_frames(bool on) { counts_frames_.store(on); }

  uint64_t decoded() const { return decoded_.load(std::memory_order_relaxed); }
  // When the input last delivered (or was held back); 0: never.
  uint64_t last_activity_ns() const;
  bool in_callback() const { return in_callback_since_.load(std::memory_order_relaxed) != 0; }
  // Nanoseconds since the input last delivered or was held back (or since `since_ns` when
  // neither happened after it); 0 while a callback runs.
  uint64_t silence_ns(uint64_t now_ns, uint64_t since_ns) const;
  // Playing or starting, and no frame for the stall time (counted from `since_ns` when
  // no frame has come since then).
  bool stalled(uint64_t now_ns, uint64_t since_ns) const;
  uint64_t started_ns() const { return started_ns_; }

  void snapshot(Velkor::Nimbra::StreamHealth& out, uint64_t now_ns) const;
  void finish(uint64_t now_ns);  // the stream ended: uptime freezes

  static constexpr int kBuckets = 1 + 4 * 28;  // 4 per octave from 1 us to ~134 s

  // For exporters: callback durations as counts per bucket and their sum. Bucket
  // 4 + 4 * k ends an octave: it and the buckets below it hold durations under 2^(k+1) us.
  void callback_histogram(std::array<uint64_t, kBuckets>& counts, uint64_t& sum_ns) const;

 private:
  double percentile_ms(double q) const;

  std::atomic<int> state_;
  std::atomic<uint64_t> decoded_{0}, delivered_{0}, skipped_{0}, dropped_{0}, qos_dropped_{0};
  std::atomic<uint64_t> first_frame_ns_{0}, last_frame_ns_{0}, last_input_ns_{0}, in_callback_since_{0};
  std::atomic<uint32_t> reconnects_{0}, attempts_{0};
  std::atomic<uint64_t> stall_ns_{0};
  std::atomic<bool> counts_frames_{true};
  uint64_t started_ns_;
  std::atomic<uint64_t> ended_ns_{0};
  struct Second {
    std::atomic<int64_t> sec{-1};
    std::atomic<uint32_t> count{0};
  };
  std::array<Second, 4> seconds_;
  std::array<std::atomic<uint32_t>, kBuckets> hist_;
  std::atomic<uint64_t> callback_sum_ns_{0};
  std::atomic<uint64_t> inferences_{0}, inference_skipped_{0}, inference_failures_{0};
  std::atomic<uint32_t> objects_{0};
  std::array<std::atomic<uint32_t>, kBuckets> inference_hist_;
  mutable std::mutex mutex_;  // last_error_ and its time, qos reporters
  std::string last_error_;
  uint64_t last_error_ns_ = 0;  // when last_error_ was set
  std::array<std::pair<const void*, uint64_t>, 8> qos_{};
};

// For benchmarks: turns the frame-path accounting off (true again restores it).
void set_metrics_enabled(bool on);
bool metrics_enabled();
// The stall time given by "stallTimeout" in the configuration of `id`, or 0.
uint64_t configured_stall_timeout_ns(const std::string& id);

}  // namespace nimbra_internal
