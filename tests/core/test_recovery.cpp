// The runners' recovery state machine on a driven clock, without GStreamer: reconnection
// of a network input in place, rebuilds of a whole pipeline, retries, and a stop in every
// state of the retry loop.
#include <gtest/gtest.h>

#include "StreamRecovery.h"

using namespace nimbra_internal;
using Event = Recovery::Event;
using State = Recovery::State;
using Why = Recovery::Why;

namespace {

constexpr uint64_t kMs = 1000000ULL, kS = 1000000000ULL;

// A runner's view: a clock, the frames decoded, the last input activity.
struct Driver {
  explicit Driver(RecoveryPolicy p) : rec(p) {}
  Recovery rec;
  uint64_t now = 100 * kS;
  uint64_t frames = 0, activity = 0;
  bool busy = false, playing = true;

  Recovery::Step start() { return rec.start(now); }
  Recovery::Step ev(Event e, const std::string& why = "") {
    Recovery::Input in;
    in.event = e;
    in.now = now;
    in.frames = frames;
    in.last_activity = activity;
    in.busy = busy;
    in.pipeline_playing = playing;
    in.why = why;
    return rec.step(in);
  }
  // Advances the clock in 200 ms polls; frames flow when `flowing`. Returns the first
  // step that asked for something (or the last one).
  Recovery::Step run(uint64_t ns, bool flowing) {
    Recovery::Step s;
    for (uint64_t t = 0; t < ns; t += 200 * kMs) {
      now += 200 * kMs;
      if (flowing) {
        frames += 5;
        activity = now;
      }
      s = ev(Event::Tick);
      if (s.actions || s.why != Why::None) return s;
    }
    return s;
  }
};

RecoveryPolicy reconnecting() {
  RecoveryPolicy p;
  p.on_error = RecoveryPolicy::OnError::ReconnectInput;
  p.manual_rebuild = false;
  p.stall_ns = 1 * kS;
  return p;
}

RecoveryPolicy rebuilding(bool manual) {
  RecoveryPolicy p;
  p.on_error = RecoveryPolicy::OnError::RebuildOrRetry;
  p.rebuild_on_eos = true;
  p.manual_rebuild = manual;
  p.attempts = 5;
  return p;
}

}  // namespace

TEST(Recovery, InputIsRebuiltInPlaceWithBackoffUntilItDeliversAgain) {
  Driver d(reconnecting());
  EXPECT_EQ(d.start().actions, (unsigned)kPlay);
  EXPECT_EQ(d.run(10 * kS, true).actions, 0u);  // frames flow: nothing happens

  Recovery::Step s = d.ev(Event::InputError, "queue_input_src: Could not read");
  EXPECT_EQ(s.actions, (unsigned)kTearDownInput);
  EXPECT_EQ(s.why, Why::InputLost);
  EXPECT_EQ(s.wait_ns, 1 * kS);
  EXPECT_EQ(d.rec.state(), State::Reconnecting);
  // Errors of the input already taken out change nothing.
  EXPECT_EQ(d.ev(Event::InputError, "late").actions, 0u);

  // Back-off 1 s, 2 s, 4 s while the camera stays down.
  uint64_t waited[3];
  for (int i = 0; i < 3; ++i) {
    const uint64_t t0 = d.now;
    s = d.run(60 * kS, false);
    ASSERT_EQ(s.actions, (unsigned)kBuildInput) << i;
    waited[i] = d.now - t0;
    s = d.ev(Event::BuildFailed);
    EXPECT_EQ(s.why, Why::ReconnectFailed);
  }
  EXPECT_EQ(waited[0], 1 * kS);
  EXPECT_EQ(waited[1], 2 * kS);
  EXPECT_EQ(waited[2], 4 * kS);

  // Built: a fresh connection gets 20 s for its first frame, not the 1 s stall time.
  ASSERT_EQ(d.run(60 * kS, false).actions, (unsigned)kBuildInput);
  d.ev(Event::Built);
  EXPECT_EQ(d.rec.state(), State::Connecting);
  EXPECT_EQ(d.run(19 * kS, false).actions, 0u);
  s = d.run(10 * kS, true);
  EXPECT_EQ(s.why, Why::InputBack);
  EXPECT_EQ(d.rec.reconnects(), 1u);
  EXPECT_EQ(d.rec.state(), State::Playing);

  // The back-off starts again at 1 s after a recovery.
  s = d.ev(Event::InputEnded);
  EXPECT_EQ(s.why, Why::InputLost);
  EXPECT_EQ(s.wait_ns, 1 * kS);
}

TEST(Recovery, StallCountsOnlyWhileNothingHoldsTheInputBack) {
  Driver d(reconnecting());
  d.start();
  d.run(2 * kS, true);
  // A callback that runs for 10 s: busy the whole time, never a stall.
  d.busy = true;
  EXPECT_EQ(d.run(10 * kS, false).actions, 0u);
  d.busy = false;
  // Input activity without decoded frames (a full queue holds the input back) is no stall.
  for (int i = 0; i < 50; ++i) {
    d.activity = d.now;
    EXPECT_EQ(d.run(200 * kMs, false).actions, 0u);
  }
  // Real silence: lost after the stall time, with the silence in the step.
  Recovery::Step s = d.run(5 * kS, false);
  EXPECT_EQ(s.why, Why::InputLost);
  EXPECT_GT(s.silence_ns, 1 * kS);
  EXPECT_LE(s.silence_ns, 1 * kS + 200 * kMs);
  EXPECT_NE(s.error.find("no frame for"), std::string::npos);
}

TEST(Recovery, FirstConnectionWaitsForItsFirstFrame) {
  Driver d(reconnecting());
  d.start();
  EXPECT_EQ(d.run(19800 * kMs, false).actions, 0u);
  EXPECT_EQ(d.run(1 * kS, false).why, Why::InputLost);
}

TEST(Recovery, BackoffStopsGrowingAtThirtySeconds) {
  Driver d(reconnecting());
  d.start();
  d.ev(Event::InputError, "x");
  Recovery::Step s;
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(d.run(100 * kS, false).actions, (unsigned)kBuildInput);
    s = d.ev(Event::BuildFailed);
  }
  EXPECT_EQ(s.wait_ns, 30 * kS);
}

TEST(Recovery, OutputFailureEndsAReconnectingStream) {
  Driver d(reconnecting());
  d.start();
  Recovery::Step s = d.ev(Event::Error, "filesink: No space left");
  EXPECT_TRUE(s.actions & kFinish);
  EXPECT_EQ(s.result, -1);
  EXPECT_EQ(s.why, Why::OutputFailed);
}

// A stop ends a reconnecting stream in every state: live (its own end-of-stream, then
// from the output side if the input hangs), waiting, connecting, and before anything
// ever played.
TEST(Recovery, StopEndsAReconnectingStreamInEveryState) {
  {
    Driver d(reconnecting());
    d.start();
    d.run(2 * kS, true);
    Recovery::Step s = d.ev(Event::StopRequested);
    EXPECT_EQ(s.actions, 0u);
    EXPECT_EQ(s.why, Why::Stopping);
    EXPECT_EQ(d.run(2800 * kMs, false).actions, 0u);
    s = d.run(400 * kMs, false);
    EXPECT_EQ(s.actions, (unsigned)kEndFromOutputSide);
    s = d.ev(Event::Eos);
    EXPECT_TRUE(s.actions & kFinish);
    EXPECT_EQ(s.result, 0);
  }
  for (bool built : {false, true}) {
    Driver d(reconnecting());
    d.start();
    d.ev(Event::InputError, "x");
    if (built) {
      d.run(5 * kS, false);
      d.ev(Event::Built);
    }
    Recovery::Step s = d.ev(Event::StopRequested);
    EXPECT_EQ(s.actions, (unsigned)kEndFromOutputSide) << built;
    EXPECT_TRUE(d.ev(Event::Eos).actions & kFinish);
  }
  {
    Driver d(reconnecting());
    d.start();
    d.playing = false;
    Recovery::Step s = d.ev(Event::StopRequested);
    EXPECT_TRUE(s.actions & kFinish);
    EXPECT_EQ(s.why, Why::StopBeforePlay);
  }
  {
    // A drain that never ends is cut at the limit.
    Driver d(reconnecting());
    d.start();
    d.run(1 * kS, true);
    d.ev(Event::StopRequested);
    Recovery::Step s = d.run(200 * kS, false);
    while (!(s.actions & kFinish)) s = d.run(200 * kS, false);
    EXPECT_EQ(s.why, Why::DrainTimeout);
    EXPECT_EQ(s.result, 0);
  }
}

// The classic runner with automatic rebuild keeps rebuilding while the server is down (a
// new pipeline every 1.2 s), and frames come back once it is up.
TEST(Recovery, RebuildsKeepComingWhileTheSourceIsDown) {
  Driver d(rebuilding(false));
  d.start();
  d.run(2 * kS, true);
  for (int round = 0; round < 10; ++round) {
    Recovery::Step s = d.ev(Event::Error, "queue_input_src: Could not open resource");
    EXPECT_EQ(s.actions, (unsigned)(kFinaliseOutput | kReleasePipeline)) << round;
    EXPECT_EQ(s.why, Why::ErrorRebuild);
    const uint64_t t0 = d.now;
    s = d.run(10 * kS, false);
    ASSERT_EQ(s.actions, (unsigned)kRebuildPipeline) << round;
    EXPECT_EQ(d.now - t0, 600 * kMs);  // 500 ms, at the next poll
    d.ev(Event::Built);
    s = d.run(10 * kS, false);
    ASSERT_EQ(s.actions, (unsigned)kPlay) << round;
    EXPECT_EQ(s.why, Why::Rebuilt);
  }
  EXPECT_EQ(d.run(1 * kS, true).why, Why::InputBack);
  EXPECT_EQ(d.rec.reconnects(), 1u);
}

TEST(Recovery, RebuildsThatCannotBeMadeFailAfterTheAttempts) {
  Driver d(rebuilding(false));
  d.start();
  d.ev(Event::Error, "x");
  Recovery::Step s;
  for (int i = 1; i <= 5; ++i) {
    s = d.run(10 * kS, false);
    ASSERT_EQ(s.actions, (unsigned)kRebuildPipeline) << i;
    s = d.ev(Event::BuildFailed);
    if (i < 5) {
      EXPECT_EQ(s.why, Why::RebuildFailed);
    }
  }
  EXPECT_TRUE(s.actions & kFinish);
  EXPECT_EQ(s.result, -1);
  EXPECT_EQ(s.why, Why::AttemptsExhausted);
}

// A stop while the classic runner is between a rebuild's steps ends it at once: nothing
// plays there, and no pause may hold the stop up.
TEST(Recovery, StopDuringARebuildEndsAtOnce) {
  for (int phase = 0; phase < 3; ++phase) {
    Driver d(rebuilding(false));
    d.start();
    d.ev(Event::Error, "x");
    if (phase >= 1) {
      d.run(10 * kS, false);  // the rebuild is asked for
      d.ev(Event::Built);
    }
    if (phase == 2) {
      d.run(10 * kS, false);  // the rebuilt pipeline plays, its source still connecting
      d.playing = false;
    }
    Recovery::Step s = d.ev(Event::StopRequested);
    EXPECT_TRUE(s.actions & kFinish) << phase;
    EXPECT_EQ(s.result, 0) << phase;
  }
}

TEST(Recovery, EndOfStreamOfTheClassicRunner) {
  {
    RecoveryPolicy p = rebuilding(false);
    p.records_mp4 = true;
    Driver d(p);
    d.start();
    Recovery::Step s = d.ev(Event::Eos);
    EXPECT_EQ(s.why, Why::EosRecording);
    EXPECT_TRUE(s.actions & kFinish);
  }
  {
    Driver d(rebuilding(true));
    d.start();
    EXPECT_EQ(d.ev(Event::Eos).why, Why::EosManual);
  }
  {
    Driver d(rebuilding(false));
    d.start();
    Recovery::Step s = d.ev(Event::Eos);
    EXPECT_EQ(s.why, Why::EosRebuild);
    EXPECT_EQ(s.actions, (unsigned)kReleasePipeline);  // nothing left in the output to finalise
  }
}

TEST(Recovery, RetriesReplayThePipelineUpToTheAttempts) {
  for (bool classic_manual : {true, false}) {
    RecoveryPolicy p = classic_manual ? rebuilding(true) : RecoveryPolicy{};
    if (!classic_manual) {
      p.on_error = RecoveryPolicy::OnError::Retry;
      p.attempts = 5;
    }
    Driver d(p);
    d.start();
    Recovery::Step s;
    for (int n = 2; n <= 5; ++n) {
      s = d.ev(Event::Error, "x");
      EXPECT_EQ(s.actions, (unsigned)(kFinaliseOutput | kResetPipeline | kPlay));
      EXPECT_EQ(s.attempt, n);
    }
    s = d.ev(Event::Error, "x");
    EXPECT_TRUE(s.actions & kFinish);
    EXPECT_EQ(s.result, -1);
    EXPECT_EQ(s.why, Why::AttemptsExhausted);
  }
}

TEST(Recovery, RunnersThatDoNotRecover) {
  Driver d(RecoveryPolicy{});
  d.start();
  Recovery::Step s = d.ev(Event::Error, "x");
  EXPECT_EQ(s.why, Why::ErrorEnds);
  EXPECT_EQ(s.result, -1);
  Driver e(RecoveryPolicy{});
  e.start();
  s = e.ev(Event::Eos);
  EXPECT_EQ(s.why, Why::Completed);
  EXPECT_EQ(s.result, 0);
}

// A stop on the runners without in-place reconnection: the end-of-stream is sent again
// every second while it drains; an input that does not forward it (a source that hangs)
// or fails on the way out is taken out and the output finalised without it; an output
// that fails ends the stream as stopped.
TEST(Recovery, StopOfAWholePipeline) {
  Driver d(RecoveryPolicy{});
  d.start();
  d.run(1 * kS, true);
  EXPECT_EQ(d.ev(Event::StopRequested).why, Why::Stopping);
  EXPECT_EQ(d.run(800 * kMs, false).actions, 0u);
  EXPECT_EQ(d.run(400 * kMs, false).actions, (unsigned)kResendEos);
  EXPECT_EQ(d.run(1 * kS, false).actions, (unsigned)kResendEos);
  Recovery::Step s = d.run(2 * kS, false);
  EXPECT_EQ(s.actions, (unsigned)kEndFromOutputSide);
  EXPECT_EQ(s.why, Why::StopFallback);
  EXPECT_EQ(d.run(10 * kS, false).actions, 0u);  // nothing more is sent after it
  EXPECT_TRUE(d.ev(Event::Eos).actions & kFinish);

  Driver e(RecoveryPolicy{});
  e.start();
  e.ev(Event::StopRequested);
  EXPECT_EQ(e.ev(Event::InputError, "timeout").actions, (unsigned)kEndFromOutputSide);
  s = e.ev(Event::Error, "filesink failed");
  EXPECT_TRUE(s.actions & kFinish);
  EXPECT_EQ(s.result, 0);

  Driver o(RecoveryPolicy{});
  o.start();
  o.ev(Event::StopRequested);
  s = o.ev(Event::OutputOverdue);
  EXPECT_EQ(s.why, Why::OutputUnconfirmed);
  EXPECT_EQ(s.result, 0);
}
