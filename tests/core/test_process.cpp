// What a whole program sees of the library: SIGINT with and without streams, Ctrl+C twice,
// objects left behind once a stream has ended, and nimbra-run's own signal handling. Each
// case runs in a child process (this binary again, with NIMBRA_CHILD naming the case), so
// the signals and the process' state are its own.
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <thread>

#include "StreamRegistry.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/process.h"
#include "nimbra_test/rtsp_test_server.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::Process;
using nimbra_test::RtspTestServer;
using std::chrono::seconds;

namespace {

using Callback = std::function<int8_t(const Image&)>;
constexpr auto kLimit = seconds(120);  // hang guard only

void say(const char* line) {
  printf("%s\n", line);
  fflush(stdout);
}

// ---- the child side ----

std::atomic<int> g_host_calls{0};
void host_handler(int) { ++g_host_calls; }

// A frame-push recording: it runs until it is stopped.
std::string push_entry(const std::string& id, const std::string& out) {
  return entry(id, "\"saveMp4\":true,\"width\":320,\"height\":180,\"fps\":25,\"outputFile\":\"" + out + "\"");
}

int child_main(const std::string& which) {
  gst_init_once();
  set_log_level(SINFO);
  const std::string dir = getenv("NIMBRA_CHILD_DIR") ? getenv("NIMBRA_CHILD_DIR") : "/tmp";
  if (which == "no-streams-left") {
    // A splice stream and a file stream that both ended: SIGINT is the host's again (here:
    // the default action, which ends the process).
    Callback cb = [](const Image&) -> int8_t { return 0; };
    if (start_splice_stream("sp", cb) != 0 || stop_splice_stream("sp") != 0) return 3;
    ConfigFile conf(config({entry("file", "\"inputType\":\"file\",\"inputAddr\":\"" + media("h264_small.mp4") +
                                              "\",\"decodeType\":\"H264\"")}));
    Callback cb2 = [](const Image&) -> int8_t { return 0; };
    if (start_stream("file", cb2) != 0) return 4;
    say("ENDED");
    raise(SIGINT);
    raise(SIGINT);
    say("ALIVE");
    return 0;
  }
  if (which == "second-sigint" || which == "host-handler") {
    const bool host = which == "host-handler";
    if (host) signal(SIGINT, host_handler);
    ConfigFile conf(config({push_entry("drawn", dir + "/drawn.mp4")}));
    std::atomic<bool> playing{false};
    Callback cb = [&](const Image&) -> int8_t {
      if (!playing.exchange(true)) say("PLAYING");
      if (!host) {
        // A stream that cannot finish: its callback waits for the stop and then never
        // returns, so only a second Ctrl+C gets the user out.
        auto entry = nimbra_internal::find_entry("drawn");
        while (entry && !entry->stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        say("DRAINING");
        for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return 0;
    };
    const int rc = start_stream("drawn", cb);
    printf("RETURNED %d host-calls %d\n", rc, g_host_calls.load());
    fflush(stdout);
    if (!host) return 5;
    // No stream now: the next SIGINT is the host's alone.
    say("READY");
    while (g_host_calls < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    say("HOST-AGAIN");
    return 0;
  }
  if (which == "appsrc-count") {
    ConfigFile conf(config({push_entry("drawn", dir + "/drawn.mp4")}));
    std::atomic<int> frames{0};
    Callback cb = [&](const Image&) -> int8_t {
      if (++frames == 5) gstreamer_pipeline_shutdown("drawn");
      return 0;
    };
    const int rc = start_stream("drawn", cb);
    printf("RETURNED %d appsrc %u\n", rc, g_type_get_instance_count(GST_TYPE_APP_SRC));
    fflush(stdout);
    return 0;
  }
  return 2;
}

// A test main of our own would drop gtest_main; the child case runs from a static
// initialiser instead, before gtest starts.
const int g_child = [] {
  const char* which = getenv("NIMBRA_CHILD");
  if (which && *which) _exit(child_main(which));
  return 0;
}();

// ---- the parent side ----

struct Child {
  explicit Child(const std::string& which, std::vector<std::string> env = {})
      : dir(make_temp_dir()), proc(argv(), options(which, dir, std::move(env))) {}
  ~Child() { remove_tree(dir); }
  static std::vector<std::string> argv() { return {"/proc/self/exe"}; }
  static Process::Options options(const std::string& which, const std::string& dir, std::vector<std::string> env) {
    Process::Options o;
    env.push_back("NIMBRA_CHILD=" + which);
    env.push_back("NIMBRA_CHILD_DIR=" + dir);
    o.env = std::move(env);
    o.name = which;
    return o;
  }
  bool line(const std::string& s) { return proc.wait_for_substr(s, kLimit).has_value(); }
  // Waits for the child to end by itself and gives its wait status.
  int end() {
    EXPECT_TRUE(proc.wait(kLimit)) << "the child did not end";
    return proc.status();
  }
  std::string dir;
  Process proc;
};

bool killed_by(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

TEST(Signals, WithNoStreamLeftSigintIsTheHostsAgain) {
  Child c("no-streams-left");
  ASSERT_TRUE(c.line("ENDED"));
  const int st = c.end();
  EXPECT_TRUE(killed_by(st, SIGINT)) << "status " << st;
  for (const auto& l : c.proc.lines()) EXPECT_EQ(l.find("ALIVE"), std::string::npos);
}

TEST(Signals, SecondSigintWhileDrainingEndsTheProgram) {
  Child c("second-sigint");
  ASSERT_TRUE(c.line("PLAYING"));
  kill(c.proc.pid(), SIGINT);
  ASSERT_TRUE(c.line("DRAINING"));
  kill(c.proc.pid(), SIGINT);
  const int st = c.end();
  EXPECT_TRUE(killed_by(st, SIGINT)) << "status " << st;
}

TEST(Signals, FirstSigintFinalisesAndRunsTheHostHandlerWhichThenGetsItBack) {
  Child c("host-handler");
  ASSERT_TRUE(c.line("PLAYING"));
  kill(c.proc.pid(), SIGINT);
  ASSERT_TRUE(c.line("RETURNED 0 host-calls 1"));
  ASSERT_TRUE(c.line("READY"));
  EXPECT_GE(nimbra_test::count_frames(c.dir + "/drawn.mp4").frames, 1) << "the recording was not finalised";
  kill(c.proc.pid(), SIGINT);
  ASSERT_TRUE(c.line("HOST-AGAIN"));
  const int st = c.end();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

// The frame-push source is released with its pipeline (counted by GObject itself).
TEST(Leaks, FramePushLeavesNoSourceBehind) {
  Child c("appsrc-count", {"GOBJECT_DEBUG=instance-count"});
  ASSERT_TRUE(c.line("RETURNED 0 appsrc 0")) << (c.proc.lines().empty() ? "" : c.proc.lines().back());
  c.end();
}

// ---- nimbra-run ----

TEST(NimbraRun, MissingSpliceClipIsRefusedAtOnce) {
  const std::string dir = make_temp_dir();
  const std::string conf = dir + "/n.conf";
  write_file(conf, config({entry("sp", "\"inputType\":\"splice\"")}));
  Process run({NIMBRA_RUN_PATH, "--config", conf, "--splice-file", dir + "/missing.mp4", "sp"},
              Process::Options{{}, dir + "/err.txt", "", "nimbra-run"});
  ASSERT_TRUE(run.wait(kLimit)) << "nimbra-run hangs on a missing clip";
  EXPECT_TRUE(WIFEXITED(run.status()) && WEXITSTATUS(run.status()) == 2);
  EXPECT_NE(read_file(dir + "/err.txt").find("missing.mp4"), std::string::npos);
  remove_tree(dir);
}

// A recording pushed to a server that froze cannot drain: the second Ctrl+C ends
// nimbra-run at once instead of leaving it spinning until the drain gives up.
TEST(NimbraRun, SecondCtrlCEndsItWhileAnOutputIsFrozen) {
  gst_init_once();
  RtspTestServer server;
  const std::string dir = make_temp_dir();
  const std::string conf = dir + "/n.conf";
  write_file(conf, config({entry("pushed", "\"inputType\":\"rtsp\",\"inputAddr\":\"" + server.url("/h264") +
                                               "\",\"decodeType\":\"H264\",\"outputType\":\"rtsp\",\"outputAddr\":\"" +
                                               server.url("/record/frozen") + "\",\"width\":640,\"height\":360")}));
  Process run({NIMBRA_RUN_PATH, "--config", conf, "pushed"}, Process::Options{{}, dir + "/err.txt", "", "nimbra-run"});
  ASSERT_TRUE(server.wait_video_frames("/record/frozen", 10, kLimit));
  kill(-server.process().pid(), SIGSTOP);
  kill(run.pid(), SIGINT);
  ASSERT_TRUE(run.wait_for_substr("stopping", kLimit).has_value());
  kill(run.pid(), SIGINT);
  ASSERT_TRUE(run.wait(kLimit));
  EXPECT_TRUE(killed_by(run.status(), SIGINT)) << "status " << run.status();
  kill(-server.process().pid(), SIGCONT);
  remove_tree(dir);
}

// What nimbra-run prints while one stream has ended and another loses its camera and
// gets it back: the ended stream is shown once more and then no longer (per-second lines
// and JSON alike), the last JSON record of a stream is not repeated, and the lost
// camera's error is shown as recovered, with its age, once it is back. One server drop
// serves three runs at once.
TEST(NimbraRun, EndedStreamsOnceAndRecoveredErrorsAsSuch) {
  gst_init_once();
  RtspTestServer server;
  const std::string dir = make_temp_dir();
  const std::string conf = dir + "/n.conf";
  write_file(conf, config({entry("live", "\"inputType\":\"rtsp\",\"inputAddr\":\"" + server.url("/h264") +
                                             "\",\"decodeType\":\"H264\",\"manualRebuild\":false"),
                           entry("clip", "\"inputType\":\"file\",\"inputAddr\":\"" + media("h264_small.mp4") +
                                             "\",\"decodeType\":\"H264\"")}));
  auto options = [&](const char* name) {
    return Process::Options{{"NIMBRA_LOG_LEVEL="}, dir + "/" + name + ".err", "", name};
  };
  Process json({NIMBRA_RUN_PATH, "--config", conf, "--json", "live", "clip"}, options("json"));
  Process table({NIMBRA_RUN_PATH, "--config", conf, "--status", "live", "clip"}, options("status"));
  Process plain({NIMBRA_RUN_PATH, "--config", conf, "live", "clip"}, options("plain"));

  // The clip ends by itself; the live stream then goes on alone.
  size_t ended_at = 0;
  ASSERT_TRUE(plain.wait_for_line(std::regex("^\\[clip\\] .*\\(ended\\)"), kLimit, 0, &ended_at).has_value());
  ASSERT_TRUE(json.wait_for_line(std::regex("\"stream_id\":\"clip\".*\"running\":false"), kLimit).has_value());
  ASSERT_TRUE(table.wait_for_line(std::regex("^clip +stopped "), kLimit).has_value());

  server.kill_hard();
  ASSERT_TRUE(json.wait_for_line(std::regex("\"stream_id\":\"live\".*\"state\":\"reconnecting\""), kLimit).has_value());
  server.restart();
  ASSERT_TRUE(json.wait_for_line(std::regex("\"stream_id\":\"live\".*\"state\":\"playing\".*"
                                            "\"last_error_recovered\":true"),
                                 kLimit)
                  .has_value());
  ASSERT_TRUE(table.wait_for_line(std::regex("^live +playing .*recovered, [0-9]+ s ago: .+"), kLimit).has_value());
  size_t live_after = 0;
  ASSERT_TRUE(plain.wait_for_substr("[live]", kLimit, plain.line_count(), &live_after).has_value());
  ASSERT_TRUE(plain.wait_for_substr("[live]", kLimit, live_after + 1).has_value());

  for (Process* p : {&json, &table, &plain}) kill(p->pid(), SIGINT);
  for (Process* p : {&json, &table, &plain}) {
    ASSERT_TRUE(p->wait(kLimit));
    EXPECT_TRUE(WIFEXITED(p->status()) && WEXITSTATUS(p->status()) == 0) << "status " << p->status();
  }

  // Plain lines: "(ended)" once, then nothing more of the clip.
  const std::vector<std::string> lines = plain.lines();
  int ended = 0, clip_after = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    ended += lines[i].find("[clip]") == 0 && lines[i].find("(ended)") != std::string::npos;
    clip_after += i > ended_at && lines[i].find("[clip]") == 0 && lines[i].find("(ended)") == std::string::npos;
  }
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(clip_after, 0);

  // JSON: one record with running false per stream, each the stream's last; no record
  // repeats the one before it of the same stream (apart from its time).
  std::map<std::string, std::vector<std::string>> records;
  for (const std::string& l : json.lines()) {
    const size_t id_at = l.find("\"stream_id\":\"");
    ASSERT_NE(id_at, std::string::npos) << l;
    const std::string id = l.substr(id_at + 13, l.find('"', id_at + 13) - id_at - 13);
    records[id].push_back(l.substr(l.find(",\"stream_id\"")));
  }
  for (const char* id : {"live", "clip"}) {
    const std::vector<std::string>& r = records[id];
    ASSERT_FALSE(r.empty()) << id;
    size_t stopped = 0;
    for (const std::string& x : r) stopped += x.find("\"running\":false") != std::string::npos;
    EXPECT_EQ(stopped, 1u) << id;
    EXPECT_NE(r.back().find("\"running\":false"), std::string::npos) << id;
    if (r.size() >= 2) EXPECT_NE(r[r.size() - 1], r[r.size() - 2]) << id;
  }
  EXPECT_NE(records["live"].back().find("\"last_error_recovered\":true"), std::string::npos) << records["live"].back();

  // By default the library's progress messages stay out of the way.
  EXPECT_EQ(read_file(dir + "/plain.err").find("[INFO]"), std::string::npos) << read_file(dir + "/plain.err");
  remove_tree(dir);
}

// --verbose brings the library's progress messages back.
TEST(NimbraRun, VerboseShowsTheLibrarysProgress) {
  const std::string dir = make_temp_dir();
  const std::string conf = dir + "/n.conf";
  write_file(conf, config({entry("clip", "\"inputType\":\"file\",\"inputAddr\":\"" + media("h264_small.mp4") +
                                             "\",\"decodeType\":\"H264\"")}));
  Process run({NIMBRA_RUN_PATH, "--config", conf, "--verbose", "clip"},
              Process::Options{{"NIMBRA_LOG_LEVEL="}, dir + "/err.txt", "", "nimbra-run"});
  ASSERT_TRUE(run.wait(kLimit));
  EXPECT_TRUE(WIFEXITED(run.status()) && WEXITSTATUS(run.status()) == 0);
  EXPECT_NE(read_file(dir + "/err.txt").find("[INFO]"), std::string::npos);
  remove_tree(dir);
}

}  // namespace
