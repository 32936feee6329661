// Stream health, metrics and in-place reconnection against a real RTSP server that is
// killed, restarted and frozen under running streams.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <limits>

#include "StreamBase.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/nginx_rtmp.h"
#include "nimbra_test/poll.h"
#include "nimbra_test/rtsp_test_server.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::poll_until;
using nimbra_test::RtspTestServer;

namespace {

using Callback = std::function<int8_t(const Image&)>;
using std::chrono::seconds;

// This file runs once per platform tag. The runners differ where a camera drops: "ub2404"
// rebuilds the input in place (one recording goes on), "8550" and "6490" rebuild the whole
// pipeline from the configuration (the recording goes on in "<name>-1.mp4"), "v4l2" plays
// the same pipeline again five times and then fails.
const std::string& tag() { return nimbra_internal::platform_tag(); }
bool in_place() { return tag() == "ub2404"; }
bool gives_up() { return tag() == "v4l2"; }

StreamHealth health(const std::string& id) {
  StreamHealth h;
  EXPECT_EQ(get_stream_health(id, h), 0) << id;
  return h;
}

bool state_is(const std::string& id, StreamState s) {
  StreamHealth h;
  return get_stream_health(id, h) == 0 && h.state == s;
}

Callback counting(std::atomic<int>& frames) {
  return [&frames](const Image&) -> int8_t {
    ++frames;
    return 0;
  };
}

std::future<int> start_async(const std::string& id, Callback& cb) {
  return std::async(std::launch::async, [id, &cb] { return start_stream(id, cb); });
}

// Stops the stream when a test leaves early (a failed assertion), so that the blocked
// start returns and the test ends instead of waiting for it forever.
struct StopOnExit {
  std::vector<std::string> ids;
  ~StopOnExit() {
    const std::vector<std::string> running = nimbra_internal::running_stream_ids();
    for (const auto& id : ids)
      if (std::find(running.begin(), running.end(), id) != running.end()) gstreamer_pipeline_shutdown(id);
  }
};

bool ends(std::future<int>& f) { return f.wait_for(std::chrono::seconds(150)) == std::future_status::ready; }

// A stream started on its own thread with a callback that counts frames; stopped on
// the way out if a failed assertion leaves the test early.
struct CountingStream {
  explicit CountingStream(std::string stream_id) : id(std::move(stream_id)), cb(counting(frames)) {
    run = start_async(id, cb);
  }
  ~CountingStream() { StopOnExit{{id}}; }
  // Stops it and waits until its start call has returned.
  bool stop_and_end() {
    gstreamer_pipeline_shutdown(id);
    return ends(run);
  }
  std::string id;
  std::atomic<int> frames{0};
  Callback cb;
  std::future<int> run;
};

// Freezes or thaws the whole server process group: the TCP connection stays open, but
// nothing is sent on it.
void freeze(RtspTestServer& server, bool on) { kill(-server.process().pid(), on ? SIGSTOP : SIGCONT); }

class Health : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init_once();
    tmp = make_temp_dir();
  }
  void TearDown() override {
    EXPECT_TRUE(wait_until([] { return nimbra_internal::running_stream_ids().empty(); }));
    set_stall_timeout(5);
    remove_tree(tmp);
  }
  static std::string rtsp_props(const RtspTestServer& server, const std::string& extra) {
    return "\"inputType\":\"rtsp\",\"inputAddr\":\"" + server.url("/h264") + "\",\"decodeType\":\"H264\"," + extra;
  }
  std::string tmp;
  LogCapture log;
};

TEST_F(Health, KilledServerIsReconnectedAndTheRecordingGoesOn) {
  RtspTestServer server;
  const std::string out = tmp + "/cam.mp4";
  ConfigFile conf(config({entry("cam_re", rtsp_props(server, "\"manualRebuild\":false,\"outputType\":\"mp4\","
                                                             "\"outputAddr\":\"" + out + "\",\"width\":640,\"height\":360"))}));
  CountingStream stream("cam_re");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 25 && state_is("cam_re", StreamState::Playing); }, seconds(60)));
  EXPECT_EQ(health("cam_re").kind, "classic");
  EXPECT_EQ(health("cam_re").reconnects, 0u);

  server.kill_hard();
  if (gives_up()) {
    ASSERT_TRUE(ends(stream.run));
    EXPECT_EQ(stream.run.get(), -1);
    EXPECT_EQ(health("cam_re").state, StreamState::Failed);
    // Each play's recording is finalised before the next one starts.
    nimbra_test::MediaInfo info = nimbra_test::count_frames(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_GE(info.frames, 20);
    return;
  }
  ASSERT_TRUE(poll_until([&] { return state_is("cam_re", StreamState::Reconnecting); }, seconds(60)))
      << "state " << stream_state_name(health("cam_re").state);
  const int before = frames;
  StreamHealth down = health("cam_re");
  EXPECT_TRUE(down.running);
  EXPECT_FALSE(down.last_error.empty());
  EXPECT_FALSE(down.last_error_recovered);
  EXPECT_GE(down.last_error_age_s, 0);

  server.restart();
  ASSERT_TRUE(poll_until(
      [&] {
        StreamHealth h;
        return get_stream_health("cam_re", h) == 0 && h.reconnects == 1 && h.state == StreamState::Playing &&
               frames > before + 25;
      },
      seconds(90)))
      << "state " << stream_state_name(health("cam_re").state) << ", reconnects " << health("cam_re").reconnects
      << ", frames " << frames << " (" << before << " before the drop)";
  EXPECT_GE(health("cam_re").reconnect_attempts, 1u);
  // The error is still there to read, marked as one the stream came back from.
  StreamHealth back = health("cam_re");
  EXPECT_EQ(back.last_error, down.last_error);
  EXPECT_TRUE(back.last_error_recovered);
  EXPECT_GE(back.last_error_age_s, down.last_error_age_s);

  ASSERT_TRUE(stream.stop_and_end());
  EXPECT_EQ(stream.run.get(), 0);
  StreamHealth after = health("cam_re");
  EXPECT_FALSE(after.running);
  EXPECT_EQ(after.state, StreamState::Stopped);
  EXPECT_EQ(after.reconnects, 1u);
  EXPECT_EQ(after.frames_delivered, (uint64_t)frames.load());
  EXPECT_TRUE(after.last_error_recovered);

  if (!in_place()) {
    // The recording from before the drop was finalised; the rebuilt pipeline's went on in
    // the next file.
    nimbra_test::MediaInfo first = nimbra_test::count_frames(out);
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_GE(first.frames, 20);
    nimbra_test::MediaInfo second = nimbra_test::count_frames(tmp + "/cam-1.mp4");
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_GT(second.frames, 20);
    return;
  }
  // One file holds the frames from before the drop and after it.
  nimbra_test::MediaInfo info = nimbra_test::count_frames(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GT(info.frames, before + 20) << "the recording did not go on after the reconnection";
  ASSERT_GE(info.pts.size(), 2u);
  for (size_t i = 1; i < info.pts.size(); ++i)
    ASSERT_TRUE(info.pts[i] != GST_CLOCK_TIME_NONE) << "frame " << i << " has no time";
}

TEST_F(Health, RtmpServerThatDiesAndComesBackIsReconnected) {
  if (!nimbra_test::NginxRtmp::available()) GTEST_FAIL() << "nginx with the RTMP module is not installed";
  nimbra_test::NginxRtmp nginx;
  auto publisher = std::make_unique<nimbra_test::RtmpPublisher>(nginx.url("cam"));
  ASSERT_TRUE(nginx.wait_published("cam", seconds(60))) << nginx.error_log();
  ConfigFile conf(config({entry("rtmp_re", "\"inputType\":\"rtmp\",\"inputAddr\":\"" + nginx.url("cam") +
                                               " live=1\",\"decodeType\":\"H264\",\"manualRebuild\":false")}));
  CountingStream stream("rtmp_re");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 25 && state_is("rtmp_re", StreamState::Playing); }, seconds(60)));

  // The server goes down: every connection drops at once.
  publisher.reset();
  nginx.stop();
  if (gives_up()) {
    // The server closing the connection is an end of stream (0) or an error after the
    // plays (-1): either way the stream is over, without a reconnection.
    ASSERT_TRUE(ends(stream.run));
    stream.run.get();
    EXPECT_EQ(health("rtmp_re").reconnects, 0u);
    EXPECT_FALSE(health("rtmp_re").running);
    return;
  }
  ASSERT_TRUE(poll_until([&] { return state_is("rtmp_re", StreamState::Reconnecting); }, seconds(60)))
      << "state " << stream_state_name(health("rtmp_re").state);
  const int before = frames;
  nginx.restart();
  publisher = std::make_unique<nimbra_test::RtmpPublisher>(nginx.url("cam"));
  ASSERT_TRUE(poll_until(
      [&] {
        StreamHealth h;
        return get_stream_health("rtmp_re", h) == 0 && h.reconnects >= 1 && frames > before + 25;
      },
      seconds(120)))
      << "state " << stream_state_name(health("rtmp_re").state) << ", last error " << health("rtmp_re").last_error;
  ASSERT_TRUE(stream.stop_and_end());
  EXPECT_EQ(stream.run.get(), 0);
}

TEST_F(Health, CameraThatIsNotUpYetIsWaitedFor) {
  RtspTestServer server;
  server.kill_hard();  // the address is known, nothing answers yet
  ConfigFile conf(config({entry("cam_late", rtsp_props(server, "\"manualRebuild\":false"))}));
  CountingStream stream("cam_late");
  std::atomic<int>& frames = stream.frames;
  if (gives_up()) {
    ASSERT_TRUE(ends(stream.run));
    EXPECT_EQ(stream.run.get(), -1);
    EXPECT_EQ(frames, 0);
    return;
  }
  ASSERT_TRUE(poll_until([&] { return state_is("cam_late", StreamState::Reconnecting); }, seconds(60)));
  EXPECT_EQ(frames, 0);
  EXPECT_FALSE(health("cam_late").last_error.empty());
  server.restart();
  ASSERT_TRUE(poll_until([&] { return frames > 10 && state_is("cam_late", StreamState::Playing); }, seconds(90)))
      << "state " << stream_state_name(health("cam_late").state) << ", last error " << health("cam_late").last_error;
  EXPECT_EQ(health("cam_late").reconnects, 1u);
  ASSERT_TRUE(stream.stop_and_end());
  EXPECT_EQ(stream.run.get(), 0);
}

TEST_F(Health, ManualRebuildStreamEndsWhenTheServerDies) {
  // "manualRebuild": true keeps what the stream did before: it ends, with the reason.
  RtspTestServer server;
  ConfigFile conf(config({entry("cam_manual", rtsp_props(server, "\"manualRebuild\":true"))}));
  CountingStream stream("cam_manual");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 10; }, seconds(60)));
  server.kill_hard();
  ASSERT_TRUE(ends(stream.run));
  stream.run.get();
  StreamHealth h = health("cam_manual");
  EXPECT_FALSE(h.running);
  EXPECT_EQ(h.reconnects, 0u);
  EXPECT_EQ(h.reconnect_attempts, 0u);
}

TEST_F(Health, FrozenSourceTurnsStalledAndRecovers) {
  RtspTestServer server;
  ConfigFile conf(config({entry("cam_stall", rtsp_props(server, "\"manualRebuild\":true,\"stallTimeout\":1"))}));
  CountingStream stream("cam_stall");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 10 && state_is("cam_stall", StreamState::Playing); }, seconds(60)));
  EXPECT_DOUBLE_EQ(health("cam_stall").stall_timeout_s, 1.0);

  freeze(server, true);
  const bool stalled = poll_until([&] { return state_is("cam_stall", StreamState::Stalled); }, seconds(60));
  StreamHealth h = health("cam_stall");
  const int frozen_at = frames;
  freeze(server, false);
  ASSERT_TRUE(stalled) << "state " << stream_state_name(h.state);
  EXPECT_GE(h.last_frame_age_s, 1.0);
  EXPECT_TRUE(h.running);

  // Frames flow again once the source sends again.
  EXPECT_TRUE(poll_until([&] { return frames > frozen_at + 10 && state_is("cam_stall", StreamState::Playing); },
                         seconds(60)));
  ASSERT_TRUE(stream.stop_and_end());
  EXPECT_EQ(stream.run.get(), 0);
}

TEST_F(Health, FrozenSourceIsRebuiltWhenRebuildIsAutomatic) {
  if (!in_place())
    GTEST_SKIP() << "only the ub2404 runner acts on a stall; the others recover on errors and ends of stream";
  RtspTestServer server;
  ConfigFile conf(config({entry("cam_freeze", rtsp_props(server, "\"manualRebuild\":false,\"stallTimeout\":1"))}));
  CountingStream stream("cam_freeze");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 10 && state_is("cam_freeze", StreamState::Playing); }, seconds(60)));
  freeze(server, true);
  const bool reconnecting =
      poll_until([&] { return state_is("cam_freeze", StreamState::Reconnecting); }, seconds(60));
  const int before = frames;
  freeze(server, false);
  ASSERT_TRUE(reconnecting);
  EXPECT_NE(health("cam_freeze").last_error.find("no frame"), std::string::npos) << health("cam_freeze").last_error;
  ASSERT_TRUE(poll_until(
      [&] {
        StreamHealth h;
        return get_stream_health("cam_freeze", h) == 0 && h.reconnects >= 1 && frames > before + 10;
      },
      seconds(90)));
  ASSERT_TRUE(stream.stop_and_end());
  EXPECT_EQ(stream.run.get(), 0);
}

TEST_F(Health, StopWhileReconnectingEndsAndFinalisesTheRecording) {
  RtspTestServer server;
  const std::string out = tmp + "/down.mp4";
  ConfigFile conf(config({entry("cam_down", rtsp_props(server, "\"manualRebuild\":false,\"outputType\":\"mp4\","
                                                               "\"outputAddr\":\"" + out + "\",\"width\":640,\"height\":360"))}));
  CountingStream stream("cam_down");
  std::atomic<int>& frames = stream.frames;
  ASSERT_TRUE(poll_until([&] { return frames > 25; }, seconds(60)));
  server.kill_hard();
  if (gives_up()) {
    // Nothing to stop while it retries: it fails on its own, the recording finalised.
    ASSERT_TRUE(ends(stream.run));
    EXPECT_EQ(stream.run.get(), -1);
  } else {
    ASSERT_TRUE(poll_until([&] { return state_is("cam_down", StreamState::Reconnecting); }, seconds(60)));
    ASSERT_TRUE(stream.stop_and_end());
    EXPECT_EQ(stream.run.get(), 0);
    EXPECT_EQ(health("cam_down").state, StreamState::Stopped);
  }
  nimbra_test::MediaInfo info = nimbra_test::count_frames(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GE(info.frames, 20);
}

TEST_F(Health, SlowCallbackShowsInItsOwnNumbersOnly) {
  RtspTestServer server;
  ConfigFile conf(config({entry("cam_slow", rtsp_props(server, "\"manualRebuild\":true")),
                          entry("cam_fast", rtsp_props(server, "\"manualRebuild\":true"))}));
  std::atomic<int> slow_frames{0}, fast_frames{0};
  Callback slow = [&](const Image&) -> int8_t {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a callback that blocks, on purpose
    ++slow_frames;
    return 0;
  };
  Callback fast = counting(fast_frames);
  auto run_slow = start_async("cam_slow", slow);
  StopOnExit stop_run_slow{{"cam_slow"}};
  auto run_fast = start_async("cam_fast", fast);
  StopOnExit stop_run_fast{{"cam_fast"}};
  ASSERT_TRUE(poll_until([&] { return slow_frames > 2 && fast_frames > 2; }, seconds(60)));
  // While the slow stream delivers 10 frames (2 s of callbacks), the other one must go on
  // at its own rate: about 25 frames a second, far more than 3 per slow frame.
  const int slow0 = slow_frames, fast0 = fast_frames;
  ASSERT_TRUE(poll_until([&] { return slow_frames >= slow0 + 10; }, seconds(60)));
  const int fast_in_window = fast_frames - fast0, slow_in_window = slow_frames - slow0;
  EXPECT_GE(fast_in_window, 3 * slow_in_window) << "the slow callback held the other stream back";

  StreamHealth s = health("cam_slow"), f = health("cam_fast");
  EXPECT_GE(s.callback_p50_ms, 150.0);
  EXPECT_GE(s.callback_p99_ms, 150.0);
  EXPECT_LT(f.callback_p99_ms, s.callback_p50_ms);
  EXPECT_GT(f.frames_delivered, s.frames_delivered);
  // The slow stream's frames still arrive at the camera's rate; those its callback could
  // not take went on without it.
  EXPECT_GT(s.frames_skipped, 0u);
  // Each list entry is its stream's own record.
  int seen = 0;
  for (const StreamHealth& h : list_stream_health())
    if (h.running && (h.stream_id == "cam_slow" || h.stream_id == "cam_fast")) ++seen;
  EXPECT_EQ(seen, 2);

  gstreamer_pipeline_shutdown("all_stream");
  ASSERT_TRUE(ends(run_slow));
  ASSERT_TRUE(ends(run_fast));
  EXPECT_EQ(run_slow.get(), 0);
  EXPECT_EQ(run_fast.get(), 0);
  EXPECT_EQ(health("cam_fast").state, StreamState::Stopped);
}

// A callback slower than the stall time is a slow consumer, not a lost camera: with
// automatic rebuild the input must not be torn down under it.
TEST_F(Health, SlowCallbackIsNotTakenForALostCamera) {
  RtspTestServer server;
  ConfigFile conf(config({entry("cam_busy", rtsp_props(server, "\"manualRebuild\":false,\"stallTimeout\":1"))}));
  std::atomic<int> frames{0};
  std::atomic<bool> quick{false};  // once the test has seen enough, the frames still queued pass quickly
  Callback slow = [&](const Image&) -> int8_t {
    // The injected fault: a callback that blocks for 2.5 s per frame.
    for (int i = 0; i < 50 && !quick; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++frames;
    return 0;
  };
  auto run = start_async("cam_busy", slow);
  StopOnExit stop_run{{"cam_busy"}};
  struct Quick {
    std::atomic<bool>& q;
    ~Quick() { q = true; }
  } quick_on_exit{quick};
  ASSERT_TRUE(poll_until([&] { return frames >= 4; }, seconds(120)));
  StreamHealth h = health("cam_busy");
  EXPECT_EQ(h.reconnect_attempts, 0u) << h.last_error;
  EXPECT_EQ(h.reconnects, 0u);
  EXPECT_EQ(h.last_error, "");
  EXPECT_NE(h.state, StreamState::Reconnecting);
  quick = true;
  gstreamer_pipeline_shutdown("cam_busy");
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_EQ(health("cam_busy").reconnect_attempts, 0u);
}

TEST_F(Health, UnknownAndFailedStreams) {
  StreamHealth h;
  EXPECT_EQ(get_stream_health("never_started", h), -1);
  // A file that cannot be read: the start fails and the stream is reported failed.
  ConfigFile conf(config({entry("bad_file", "\"inputType\":\"file\",\"inputAddr\":\"" + tmp +
                                                "/missing.mp4\",\"decodeType\":\"H264\",\"manualRebuild\":true")}));
  std::atomic<int> frames{0};
  Callback cb = counting(frames);
  EXPECT_EQ(start_stream("bad_file", cb), -1);
  ASSERT_EQ(get_stream_health("bad_file", h), 0);
  EXPECT_EQ(h.state, StreamState::Failed);
  EXPECT_FALSE(h.running);
  EXPECT_FALSE(h.last_error.empty());
  EXPECT_EQ(h.frames_decoded, 0u);
}

// The accounting itself, on a clock the test drives.
TEST(StreamMetricsTest, PercentilesRatesStallsAndDrops) {
  nimbra_internal::StreamMetrics m;
  m.set_stall_timeout_ns(1000000000ULL);
  const uint64_t t0 = nimbra_internal::now_ns() + 10000000000ULL;
  const uint64_t sec0 = (t0 / 1000000000ULL + 1) * 1000000000ULL;  // a whole second
  StreamHealth h;
  m.snapshot(h, nimbra_internal::now_ns());
  EXPECT_EQ(h.state, StreamState::Starting);
  EXPECT_EQ(h.last_frame_age_s, -1);
  m.snapshot(h, sec0);  // no first frame within the stall time
  EXPECT_EQ(h.state, StreamState::Stalled);
  EXPECT_EQ(h.callback_p99_ms, 0);

  // 25 frames in one second: 98 % of callbacks take 1 ms, 2 % take 200 ms.
  for (int i = 0; i < 25; ++i) m.frame_decoded(sec0 + (uint64_t)i * 40000000ULL);
  for (int i = 0; i < 98; ++i) m.frame_delivered(1000000ULL);
  m.frame_delivered(200000000ULL);
  m.frame_delivered(200000000ULL);
  m.snapshot(h, sec0 + 1500000000ULL);
  EXPECT_EQ(h.state, StreamState::Playing);
  EXPECT_EQ(h.frames_decoded, 25u);
  EXPECT_EQ(h.frames_delivered, 100u);
  EXPECT_DOUBLE_EQ(h.fps_last_second, 25.0);
  EXPECT_NEAR(h.fps_since_start, 25.0 / 1.5, 0.01);  // idle time counts too
  EXPECT_NEAR(h.callback_p50_ms, 1.0, 0.15);
  EXPECT_NEAR(h.callback_p99_ms, 200.0, 30.0);
  EXPECT_NEAR(h.last_frame_age_s, 0.54, 0.001);

  // No frame for longer than the stall time: stalled, and the rate reads 0.
  m.snapshot(h, sec0 + 2500000000ULL);
  EXPECT_EQ(h.state, StreamState::Stalled);
  EXPECT_DOUBLE_EQ(h.fps_last_second, 0.0);
  EXPECT_TRUE(m.stalled(sec0 + 2500000000ULL, 0));
  // Reconnecting streams are not also "stalled".
  m.set_state(StreamState::Reconnecting);
  m.snapshot(h, sec0 + 2500000000ULL);
  EXPECT_EQ(h.state, StreamState::Reconnecting);

  // QoS totals are cumulative per reporter; an older, smaller total changes nothing.
  int a, b;
  m.qos_dropped(&a, 5);
  m.qos_dropped(&a, 3);
  m.qos_dropped(&a, 8);
  m.qos_dropped(&b, 2);
  m.frames_dropped(1);
  m.snapshot(h, sec0 + 2500000000ULL);
  EXPECT_EQ(h.frames_dropped, 11u);

  // An ended stream keeps its numbers and is no longer stalled or running.
  m.set_failed("");
  m.finish(sec0 + 3000000000ULL);
  m.snapshot(h, sec0 + 9000000000ULL);
  EXPECT_EQ(h.state, StreamState::Failed);
  EXPECT_FALSE(h.running);
  EXPECT_FALSE(h.last_error.empty());
  EXPECT_NEAR(h.last_frame_age_s, 3.0 - 0.96, 0.001);
}

// An error's age, and whether the stream came back from it, on a clock the test drives.
TEST(StreamMetricsTest, LastErrorAgeAndRecovery) {
  nimbra_internal::StreamMetrics m;
  m.set_stall_timeout_ns(1000000000ULL);
  const uint64_t t0 = nimbra_internal::now_ns() + 10000000000ULL;
  StreamHealth h;
  m.snapshot(h, t0);
  EXPECT_EQ(h.last_error_age_s, -1);
  EXPECT_FALSE(h.last_error_recovered);

  for (int i = 0; i < 10; ++i) m.frame_decoded(t0 + (uint64_t)i * 40000000ULL);
  m.set_error("rtspsrc0: connection refused", t0 + 500000000ULL);
  m.set_state(StreamState::Reconnecting);
  m.snapshot(h, t0 + 2500000000ULL);
  EXPECT_EQ(h.last_error, "rtspsrc0: connection refused");
  EXPECT_NEAR(h.last_error_age_s, 2.0, 1e-9);
  EXPECT_FALSE(h.last_error_recovered);

  // Frames again after the error, playing: recovered, and the age keeps counting.
  m.frame_decoded(t0 + 3000000000ULL);
  m.reconnected();
  m.set_state(StreamState::Playing);
  m.snapshot(h, t0 + 3100000000ULL);
  EXPECT_TRUE(h.last_error_recovered);
  EXPECT_NEAR(h.last_error_age_s, 2.6, 1e-9);
  EXPECT_EQ(h.last_error, "rtspsrc0: connection refused");

  // A newer error is not recovered from until frames follow it; a stream that then fails
  // never counts as recovered, and its age freezes at the end.
  m.set_error("no frame for 5.0 s", t0 + 4000000000ULL);
  m.snapshot(h, t0 + 4100000000ULL);
  EXPECT_FALSE(h.last_error_recovered);
  m.frame_decoded(t0 + 4200000000ULL);
  m.snapshot(h, t0 + 4300000000ULL);
  EXPECT_TRUE(h.last_error_recovered);
  m.set_failed("", t0 + 5000000000ULL);  // keeps the error and its time
  m.finish(t0 + 6000000000ULL);
  m.snapshot(h, t0 + 60000000000ULL);
  EXPECT_EQ(h.last_error, "no frame for 5.0 s");
  EXPECT_FALSE(h.last_error_recovered);
  EXPECT_NEAR(h.last_error_age_s, 2.0, 1e-9);
}

TEST(StreamMetricsTest, StallTimeoutDefaultsAndLimits) {
  nimbra_internal::StreamMetrics m;
  set_stall_timeout(2.5);
  EXPECT_EQ(m.stall_timeout_ns(), 2500000000ULL);
  set_stall_timeout(0);  // below the floor
  EXPECT_EQ(m.stall_timeout_ns(), 200000000ULL);
  set_stall_timeout(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(m.stall_timeout_ns(), 200000000ULL);
  m.set_stall_timeout_ns(7000000000ULL);  // the stream's own "stallTimeout" wins
  EXPECT_EQ(m.stall_timeout_ns(), 7000000000ULL);
  set_stall_timeout(5);
}

}  // namespace
