// Recovery as each platform tag's runner does it, against a real RTSP server that is
// killed, frozen and brought back. This file is built once per platform tag, against the
// library built for that tag:
//   ub2404         rebuilds the input in place with back-off until it is back,
//   8550, 6490     rebuild the whole pipeline from the configuration while the camera is
//                  down (every 1.2 s), and play again once it is back,
//   v4l2           plays the same pipeline again up to five times, then the stream fails.
// In every tag a stop ends the stream in every state of its retry loop.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>

#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/poll.h"
#include "nimbra_test/process.h"
#include "nimbra_test/rtsp_test_server.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::poll_until;
using nimbra_test::RtspTestServer;
using std::chrono::seconds;

namespace {

using Callback = std::function<int8_t(const Image&)>;
constexpr auto kLimit = seconds(120);  // hang guard only

const std::string& tag() { return nimbra_internal::platform_tag(); }
bool reconnects_in_place() { return tag() == "ub2404"; }
bool rebuilds() { return tag() != "ub2404" && tag() != "v4l2"; }

struct Stream {
  Stream(const std::string& stream_id) : id(stream_id) {
    cb = [this](const Image&) -> int8_t {
      ++frames;
      return 0;
    };
    run = std::async(std::launch::async, [this] { return start_stream(id, cb); });
  }
  ~Stream() {
    if (run.valid() && run.wait_for(seconds(0)) != std::future_status::ready) {
      gstreamer_pipeline_shutdown(id);
      run.wait();
    }
  }
  bool ended() { return run.wait_for(kLimit) == std::future_status::ready; }
  std::string id;
  std::atomic<int> frames{0};
  Callback cb;
  std::future<int> run;
};

class Tags : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init_once();
    tmp = make_temp_dir();
  }
  void TearDown() override {
    EXPECT_TRUE(wait_until([] { return nimbra_internal::running_stream_ids().empty(); }));
    remove_tree(tmp);
  }
  std::string rtsp(const RtspTestServer& server, const std::string& extra = "") {
    return "\"inputType\":\"rtsp\",\"inputAddr\":\"" + server.url("/h264") +
           "\",\"decodeType\":\"H264\",\"manualRebuild\":false" + (extra.empty() ? "" : "," + extra);
  }
  // Waits until the stream is in its retry loop with the camera down.
  bool retrying(const std::string& id) {
    if (reconnects_in_place())
      return poll_until([&] { return log.count("Input of stream id: " + id + " lost") >= 1; }, kLimit);
    return poll_until([&] { return log.count("It will rebuild.") >= 2; }, kLimit);
  }
  std::string tmp;
  LogCapture log;
};

TEST_F(Tags, KilledServerIsRecoveredOrEndsTheStream) {
  RtspTestServer server;
  ConfigFile conf(config({entry("cam", rtsp(server))}));
  Stream s("cam");
  ASSERT_TRUE(poll_until([&] { return s.frames > 25; }, kLimit));
  server.kill_hard();
  if (tag() == "v4l2") {
    // The same pipeline is played again five times, then the stream has failed.
    ASSERT_TRUE(s.ended());
    EXPECT_EQ(s.run.get(), -1);
    EXPECT_TRUE(log.contains("Pipeline failed after 5 attempts."));
    EXPECT_EQ(log.count("Retrying pipeline due to error. Attempt"), 4u) << log.text();
    StreamHealth h;
    ASSERT_EQ(get_stream_health("cam", h), 0);
    EXPECT_EQ(h.state, StreamState::Failed);
    return;
  }
  // While the camera is down the runner keeps trying: several rebuilds (or reconnection
  // attempts) in a row, not one and then silence.
  if (rebuilds())
    ASSERT_TRUE(poll_until([&] { return log.count("It will rebuild.") >= 3; }, kLimit)) << log.text();
  else
    ASSERT_TRUE(poll_until([&] {
      StreamHealth h;
      return get_stream_health("cam", h) == 0 && h.reconnect_attempts >= 2;
    }, kLimit));
  server.restart();
  const int before = s.frames;
  ASSERT_TRUE(poll_until([&] { return s.frames > before + 25; }, kLimit)) << log.text();
  StreamHealth h;
  ASSERT_EQ(get_stream_health("cam", h), 0);
  EXPECT_GE(h.reconnects, 1u);
  EXPECT_EQ(h.state, StreamState::Playing);
  gstreamer_pipeline_shutdown("cam");
  ASSERT_TRUE(s.ended());
  EXPECT_EQ(s.run.get(), 0);
}

// A stop while the camera is down ends the stream with 0 on every tag that keeps trying:
// by id, and by "all_stream", whatever step of its retry loop it is in.
TEST_F(Tags, StopWhileTheCameraIsDownEndsTheStream) {
  if (tag() == "v4l2") GTEST_SKIP() << "v4l2 does not wait for a camera: it fails after five plays";
  for (const std::string stop : {"cam", "all_stream"}) {
    RtspTestServer server;
    ConfigFile conf(config({entry("cam", rtsp(server))}));
    log.clear();
    Stream s("cam");
    ASSERT_TRUE(poll_until([&] { return s.frames > 10; }, kLimit));
    server.kill_hard();
    ASSERT_TRUE(retrying("cam")) << log.text();
    gstreamer_pipeline_shutdown(stop);
    ASSERT_TRUE(s.ended()) << stop;
    EXPECT_EQ(s.run.get(), 0) << stop;
    StreamHealth h;
    ASSERT_EQ(get_stream_health("cam", h), 0);
    EXPECT_EQ(h.state, StreamState::Stopped);
  }
}

// The camera's connection hangs (the server is frozen: the socket stays open, nothing is
// sent): a stop still ends the stream, and what was recorded is a finalised file.
TEST_F(Tags, StopWhileTheCameraHangsFinalisesTheRecording) {
  RtspTestServer server;
  const std::string out = tmp + "/rec.mp4";
  ConfigFile conf(config({entry(
      "cam", rtsp(server, "\"outputType\":\"mp4\",\"outputAddr\":\"" + out + "\",\"width\":640,\"height\":360"))}));
  Stream s("cam");
  ASSERT_TRUE(poll_until([&] { return s.frames > 25; }, kLimit));
  kill(-server.process().pid(), SIGSTOP);
  const int before = s.frames;
  ASSERT_TRUE(poll_until([&] {
    StreamHealth h;
    return get_stream_health("cam", h) == 0 && h.last_frame_age_s > 1.5;
  }, kLimit));
  gstreamer_pipeline_shutdown("cam");
  ASSERT_TRUE(s.ended());
  kill(-server.process().pid(), SIGCONT);
  EXPECT_EQ(s.run.get(), 0);
  nimbra_test::MediaInfo info = nimbra_test::count_frames(out);
  ASSERT_TRUE(info.ok) << info.error << "\n" << log.text();
  EXPECT_GE(info.frames, before / 2);  // a key frame interval may be cut at the end
}

// The board's environment is written before the first stream is built, unless the host
// asked to keep its own (NIMBRA_KEEP_PLATFORM_ENV, as the tests do). Seen from a child
// process (this binary again), so the test's own environment stays as it is.
const int g_env_child = [] {
  if (!getenv("NIMBRA_TAGS_ENV_CHILD")) return 0;
  nimbra_internal::apply_platform_environment();
  for (const char* v : {"GST_PLUGIN_PATH", "GST_PLUGIN_SYSTEM_PATH", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"})
    printf("%s=%s\n", v, getenv(v) ? getenv(v) : "");
  fflush(stdout);
  _exit(0);
}();

TEST(TagEnvironment, BoardVariablesAreWrittenUnlessKept) {
  const std::string board = "/opt/ubun20/usr/lib/aarch64-linux-gnu/gstreamer-1.0:/usr/lib/aarch64-linux-gnu/gstreamer-1.0";
  for (const char* keep : {"1", ""}) {
    nimbra_test::Process::Options o;
    o.env = {"NIMBRA_TAGS_ENV_CHILD=1", std::string("NIMBRA_KEEP_PLATFORM_ENV=") + keep,
             "GST_PLUGIN_PATH=/ours", "XDG_RUNTIME_DIR=/run/ours"};
    nimbra_test::Process child({"/proc/self/exe"}, o);
    ASSERT_TRUE(child.wait(kLimit));
    std::string out;
    for (const auto& l : child.lines()) out += l + "\n";
    const bool kept = *keep != 0;
    const bool writes_plugins = tag() == "6490" && !kept;
    const bool writes_wayland = tag() == "v4l2" && !kept;
    EXPECT_NE(out.find("GST_PLUGIN_PATH=" + (writes_plugins ? board : std::string("/ours")) + "\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find(std::string("XDG_RUNTIME_DIR=") + (writes_wayland ? "/dev/socket/weston" : "/run/ours") + "\n"),
              std::string::npos) << out;
  }
}

}  // namespace
