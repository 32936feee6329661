// What a runner does when its pipeline fails, ends, stalls or is stopped: a state machine
// without GStreamer. The runner feeds it what it sees (bus messages, the stream's numbers
// at every poll, a stop) and performs the actions it returns; the machine keeps the
// attempts, back-off, deadlines and the state of the retry loop, so that every path can
// be driven on a fake clock.
//
//   Recovery rec(policy);
//   Step s = rec.start(now);                  // kPlay
//   for (;;) {
//     s = rec.step({Event::Tick, now, numbers});
//     perform(s.actions);                     // and report s.why
//     if (s.actions & kFinish) return s.result;
//   }
#pragma once

#include <cstdint>
#include <string>

namespace nimbra_internal {

struct RecoveryPolicy {
  enum class OnError {
    End,             // the stream has failed
    Retry,           // play the same pipeline again, up to `attempts` plays
    RebuildOrRetry,  // build a new pipeline from the configuration; retry when rebuilds are manual
    ReconnectInput,  // rebuild only the input group, in place, with back-off, until stopped
  };
  OnError on_error = OnError::End;
  bool rebuild_on_eos = false;  // RebuildOrRetry: a source that ends is rebuilt as well
  bool manual_rebuild = true;   // the stream's "manualRebuild": rebuilds become retries, ends end
  bool records_mp4 = false;     // an MP4 recording ends with its source instead of being rebuilt
  int attempts = 1;             // plays of one pipeline, or failed rebuilds in a row, before it fails

  uint64_t stall_ns = 5000000000ULL;           // ReconnectInput: silence that counts as a lost input
  uint64_t first_frame_ns = 20000000000ULL;    // a fresh connection's first frame (long GOPs)
  uint64_t first_backoff_ns = 1000000000ULL;   // ReconnectInput: 1 s, doubling
  uint64_t max_backoff_ns = 30000000000ULL;    // ... up to 30 s
  uint64_t release_pause_ns = 500000000ULL;    // RebuildOrRetry: after the old pipeline went down
  uint64_t rebuilt_pause_ns = 700000000ULL;    // ... and before the rebuilt one plays
  uint64_t stop_fallback_ns = 3000000000ULL;   // a stop's end-of-stream not out of the input by then:
                                               // the output is finalised without it
  uint64_t drain_limit_ns = 120000000000ULL;   // a stop's end-of-stream never arrives: tear down
  uint64_t eos_resend_ns = 1000000000ULL;      // a source still connecting drops the first one
};

// Action bits of one step, performed in this order.
enum RecoveryAction : unsigned {
  kNone = 0,
  kFinaliseOutput = 1u << 0,    // end-of-stream into the output, bounded wait (what it holds is kept)
  kTearDownInput = 1u << 1,     // the input group out of the pipeline
  kEndFromOutputSide = 1u << 2, // input out if still there, end-of-stream into the chain after it
  kResendEos = 1u << 3,         // end-of-stream into the pipeline again
  kResetPipeline = 1u << 4,     // pipeline to NULL (a retry: kPlay follows)
  kReleasePipeline = 1u << 5,   // pipeline to NULL and released
  kRebuildPipeline = 1u << 6,   // a new pipeline from the configuration; answer Built or BuildFailed
  kBuildInput = 1u << 7,        // a new input group linked in; answer Built or BuildFailed
  kPlay = 1u << 8,              // the pipeline to PLAYING
  kFinish = 1u << 9,            // the runner returns `result`
};

class Recovery {
 public:
  enum class State {
    Starting,      // not played yet
    Playing,       // the pipeline runs (input live)
    Connecting,    // ReconnectInput: a rebuilt input has not delivered yet
    Reconnecting,  // ReconnectInput: the input is out, waiting for the next attempt
    Paused,        // RebuildOrRetry: the pipeline is down, waiting to rebuild or play
    Draining,      // a stop's end-of-stream travels
    Done,
  };

  enum class Event {
    Tick,           // a poll: carries the stream's numbers
    Eos,            // end-of-stream reached the bus
    InputError,     // an error from the input group
    Error,          // an error from another part of the pipeline
    InputEnded,     // the input's own end-of-stream (kept from the output)
    StopRequested,
    OutputOverdue,  // end-of-stream went into the output, which never confirmed it
    Built,          // the requested rebuild is ready
    BuildFailed,
  };

  struct Input {
    Event event = Event::Tick;
    uint64_t now = 0;              // steady clock, ns
    uint64_t frames = 0;           // frames decoded so far
    uint64_t last_activity = 0;    // when the input last delivered or was held back by a full queue
    bool busy = false;             // a callback runs: the stream is not silent
    bool pipeline_playing = true;  // the pipeline reached PLAYING (a stop before that ends at once)
    std::string why;               // the error's text
  };

  // Why a step happened; the runner's log lines and the stream's health follow it.
  enum class Why {
    None,
    Started,
    Retry,              // an error: the same pipeline plays again (attempt n)
    AttemptsExhausted,  // the last attempt failed too
    ErrorEnds,          // an error on a runner that does not recover
    ErrorRebuild,       // an error: the pipeline is rebuilt from the configuration
    EosRecording,       // the source ended; an MP4 recording ends with it
    EosManual,          // the source ended; rebuilds are manual
    EosRebuild,         // the source ended; the pipeline is rebuilt
    Completed,          // end-of-stream: the stream is over
    Rebuilding,         // the rebuild is being made
    Rebuilt,            // the rebuilt pipeline plays
    RebuildFailed,      // it could not be built; tried again after a pause, or failed for good
    InputLost,          // the input errored, ended or stalled: taken out, reconnect later
    Reconnecting,       // a new input group is being made
    ReconnectFailed,    // it could not be built; tried again after the back-off
    InputBack,          // frames flow again from the rebuilt input
    OutputFailed,       // a part after the input failed: reconnecting cannot help
    StopBeforePlay,     // stopped before anything played
    Stopping,           // a stop: end-of-stream sent
    StopFallback,       // the live input did not end: ended from the output side
    Stopped,            // the stop drained
    DrainTimeout,       // the stop never drained
    OutputUnconfirmed,  // the output took the end-of-stream but never confirmed it
  };

  struct Step {
    unsigned actions = kNone;
    int result = 0;           // with kFinish
    Why why = Why::None;
    int attempt = 0;          // plays or rebuild failures so far, for the log
    uint64_t wait_ns = 0;     // InputLost, ReconnectFailed, RebuildFailed: until the next try
    uint64_t silence_ns = 0;  // InputLost by a stall
    std::string error;        // the error this step is about
  };

  explicit Recovery(RecoveryPolicy policy) : p_(policy) {}

  Step start(uint64_t now);
  Step step(const Input& in);

  State state() const { return state_; }
  int attempt() const { return attempt_; }
  uint32_t reconnects() const { return reconnects_; }

 private:
  Step on_tick(const Input& in);
  Step on_stop(const Input& in);
  Step in_draining(const Input& in);
  Step input_lost(uint64_t now, const std::string& why);
  Step pipeline_failed(const Input& in);
  Step pipeline_ended(const Input& in);
  Step rebuild(uint64_t now, Why why, bool finalise, const std::string& error);
  Step finish(Step s, int result);

  RecoveryPolicy p_;
  State state_ = State::Starting;
  State before_stop_ = State::Starting;
  int attempt_ = 0;          // plays of this pipeline (Retry)
  int failed_builds_ = 0;    // RebuildOrRetry: rebuilds that could not be made, in a row
  uint32_t reconnects_ = 0;
  // ReconnectInput
  uint64_t backoff_ = 0, retry_at_ = 0, since_ = 0, frames_at_ = 0;
  // RebuildOrRetry: what the pause leads to
  enum class Next { Rebuild, Play } next_ = Next::Rebuild;
  uint64_t resume_at_ = 0;
  bool rebuilt_ = false;  // a rebuilt pipeline plays and has not delivered yet
  // Draining
  uint64_t drain_deadline_ = 0, fallback_at_ = 0, resend_at_ = 0;
  bool injected_ = false;
};

}  // namespace nimbra_internal
