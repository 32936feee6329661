// One registry and one lifecycle for every kind of stream, against the real servers:
// stops by id, "all_stream" and SIGINT reach and finalise every kind; duplicate ids are
// refused; failures are reported; rebuilds keep their output; a live source keeps its
// rate on the display.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>
#include <memory>

#include "StreamBuild.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "StreamRollingSave.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/rtsp_test_server.h"
#include "nimbra_test/weston.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::RtspTestServer;
using nimbra_test::Weston;

namespace {

// The host's own SIGINT handler, installed before the library is first used: it must
// still run after the library's.
std::atomic<int> g_host_sigints{0};
void host_sigint(int) { ++g_host_sigints; }
const bool g_host_handler_installed = [] {
  struct sigaction sa = {};
  sa.sa_handler = host_sigint;
  sigemptyset(&sa.sa_mask);
  return sigaction(SIGINT, &sa, nullptr) == 0;
}();

using Callback = std::function<int8_t(const Image&)>;

// Frames of a recording that demuxes, 0 for a file that does not.
int playable_frames(const std::string& path) {
  nimbra_test::MediaInfo info = nimbra_test::count_frames(path);
  return info.ok ? info.frames : 0;
}

Callback counter(std::atomic<int>& n) {
  return [&n](const Image&) -> int8_t {
    ++n;
    return 0;
  };
}

class Lifecycle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init_once();
    rtsp_ = new RtspTestServer();
  }
  static void TearDownTestSuite() {
    delete rtsp_;
    rtsp_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(g_host_handler_installed);
    tmp = make_temp_dir();
    if (!rtsp_->running()) rtsp_->restart();
  }
  void TearDown() override {
    // Nothing may be left running for the next test.
    EXPECT_TRUE(wait_until([] { return nimbra_internal::running_stream_ids().empty(); }));
    nimbra_internal::set_platform_tag_override("");
    remove_tree(tmp);
  }
  std::string rtsp_props(const std::string& extra = "") const {
    return "\"inputType\":\"rtsp\",\"inputAddr\":\"" + rtsp_->url("/h264") + "\",\"decodeType\":\"H264\"" +
           (extra.empty() ? "" : "," + extra);
  }
  std::string mp4_props(const std::string& out) const {
    return rtsp_props("\"outputType\":\"mp4\",\"outputAddr\":\"" + out + "\",\"width\":640,\"height\":360");
  }

  static RtspTestServer* rtsp_;
  std::string tmp;
  LogCapture log;
};
RtspTestServer* Lifecycle::rtsp_ = nullptr;

std::future<int> start_async(const std::string& id, Callback& cb) {
  return std::async(std::launch::async, [id, &cb] { return start_stream(id, cb); });
}

bool ends(std::future<int>& f, int seconds = 30) {
  return f.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

}  // namespace

// ---- stops reach and finalise every kind ----

TEST_F(Lifecycle, ShutdownOfAnIdEndingInMp4FinalisesTheRecording) {
  const std::string out = tmp + "/cam.mp4";
  ConfigFile conf(config({entry("cam_mp4", mp4_props(out))}));
  std::atomic<int> frames{0};
  Callback cb = counter(frames);
  auto run = start_async("cam_mp4", cb);
  ASSERT_TRUE(wait_until([&] { return frames > 30; }, std::chrono::seconds(30)));
  gstreamer_pipeline_shutdown("cam_mp4");
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_GE(playable_frames(out), 25) << "the recording was not finalised";
}

TEST_F(Lifecycle, SigintFinalisesAClassicRecordingAndRunsTheHostHandler) {
  const std::string out = tmp + "/sig.mp4";
  ConfigFile conf(config({entry("sig_network", mp4_props(out))}));
  std::atomic<int> frames{0};
  Callback cb = counter(frames);
  auto run = start_async("sig_network", cb);
  ASSERT_TRUE(wait_until([&] { return frames > 30; }, std::chrono::seconds(30)));
  const int host_before = g_host_sigints;
  raise(SIGINT);
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_EQ(g_host_sigints.load(), host_before + 1) << "the host's handler was not called";
  EXPECT_GE(playable_frames(out), 25);
  EXPECT_FALSE(running.load());
}

TEST_F(Lifecycle, AllStreamEndsASplitStreamAndASpliceStream) {
  ConfigFile conf(config({entry("left", rtsp_props("\"width\":640,\"height\":360"), "src"),
                          entry("right", rtsp_props("\"width\":640,\"height\":360"), "src")}));
  std::atomic<int> left{0}, right{0}, decoded{0};
  Callback cl = counter(left), cr = counter(right), cs = counter(decoded);
  auto split = std::async(std::launch::async, [&] { return start_split_stream("left", cl, "right", cr); });
  ASSERT_EQ(start_splice_stream("spl", cs), SPLICE_OK);
  auto aus = hevc_access_units(30, 320, 240, 10);
  ASSERT_FALSE(aus.empty());
  for (auto& au : aus) decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "spl", au.pts, false);
  ASSERT_TRUE(wait_until([&] { return left > 20 && right > 20 && decoded > 0; }, std::chrono::seconds(30)));

  gstreamer_pipeline_shutdown("all_stream");
  ASSERT_TRUE(ends(split));
  EXPECT_EQ(split.get(), 0);
  const auto& au = aus.front();
  EXPECT_EQ(decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "spl", 0, true), SPLICE_NOT_FOUND);
  EXPECT_TRUE(nimbra_internal::running_stream_ids().empty());
}

TEST_F(Lifecycle, SplitStreamStopsByEitherIdAndReportsAFailure) {
  // Port 1 refuses connections.
  const std::string dead = "\"inputType\":\"rtsp\",\"inputAddr\":\"rtsp://127.0.0.1:1/none\",\"decodeType\":\"H264\"";
  ConfigFile conf(config({entry("l2", rtsp_props(), "p"), entry("r2", rtsp_props(), "p"), entry("dl", dead, "q"),
                          entry("dr", dead, "q")}));
  std::atomic<int> left{0}, right{0};
  Callback cl = counter(left), cr = counter(right);
  auto split = std::async(std::launch::async, [&] { return start_split_stream("l2", cl, "r2", cr); });
  ASSERT_TRUE(wait_until([&] { return left > 10 && right > 10; }, std::chrono::seconds(30)));
  gstreamer_pipeline_shutdown("r2");  // the second id stops the whole split stream
  ASSERT_TRUE(ends(split));
  EXPECT_EQ(split.get(), 0);

  // A source that cannot be reached is a failure, not a normal end.
  Callback c1 = counter(left), c2 = counter(right);
  auto failed = std::async(std::launch::async, [&] { return start_split_stream("dl", c1, "dr", c2); });
  ASSERT_TRUE(ends(failed, 60));
  EXPECT_EQ(failed.get(), -1);
}

TEST_F(Lifecycle, SpliceStopByIdDoesNotDependOnTheConfiguration) {
  ConfigFile conf(config({entry("other", rtsp_props())}));  // the splice id is not configured
  std::atomic<int> decoded{0};
  Callback cs = counter(decoded);
  ASSERT_EQ(start_splice_stream("sp_free", cs), SPLICE_OK);
  conf.rewrite("{ not json");
  gstreamer_pipeline_shutdown("sp_free");
  const uint8_t au[8] = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01};
  EXPECT_EQ(decode_put_frame_splice(au, sizeof au, "sp_free", 0, true), SPLICE_NOT_FOUND);
}

TEST_F(Lifecycle, SpliceStopFromItsOwnCallbackReturns) {
  // Shared with the callback, so that a call after the stop (the frames left in the
  // decoder drain after this test has returned, had they reached the callback) is counted
  // rather than writing into a finished test.
  struct State {
    std::atomic<int> decoded{0}, stop_rc{1}, late{0};
    std::atomic<bool> stopped{false};
  };
  auto st = std::make_shared<State>();
  Callback cs = [st](const Image&) -> int8_t {
    if (st->stopped) {
      ++st->late;
      return 0;
    }
    if (++st->decoded == 5) {
      st->stop_rc = stop_splice_stream("sp_self");
      st->stopped = true;
    }
    return 0;
  };
  ASSERT_EQ(start_splice_stream("sp_self", cs), SPLICE_OK);
  auto aus = hevc_access_units(40, 320, 240, 10);
  std::thread pusher([&] {
    for (auto& au : aus)
      if (decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "sp_self", au.pts, false) == SPLICE_NOT_FOUND)
        break;
  });
  ASSERT_TRUE(wait_until([&] { return st->stopped.load(); }, std::chrono::seconds(60))) << "stop from the callback hung";
  pusher.join();
  EXPECT_EQ(st->stop_rc.load(), SPLICE_OK);
  EXPECT_TRUE(wait_until([] { return nimbra_internal::running_stream_ids().empty(); }));
  // The id is free again.
  std::atomic<int> decoded{0};
  Callback again = counter(decoded);
  ASSERT_EQ(start_splice_stream("sp_self", again), SPLICE_OK);
  EXPECT_EQ(stop_splice_stream("sp_self"), SPLICE_OK);
  EXPECT_EQ(st->late.load(), 0) << "frames reached the callback after it stopped its stream";
}

// True while the thread sleeps in the kernel (blocked on a lock or condition), as
// opposed to running or waiting for a CPU.
bool thread_sleeping(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

TEST_F(Lifecycle, SpliceStopIsNotHeldUpByAPushBlockedInAFullSource) {
  // The decoder takes one access unit and holds the next, as a hung hardware decoder
  // would: the source queue fills up and the next push blocks inside it.
  std::atomic<int> decoded{0};
  Callback cs = counter(decoded);
  setenv("NMXSOFT_STALL_AFTER_BUFFERS", "1", 1);
  const int started = start_splice_stream("sp_full", cs);
  unsetenv("NMXSOFT_STALL_AFTER_BUFFERS");
  ASSERT_EQ(started, SPLICE_OK);

  auto aus = hevc_access_units(30, 640, 360, 10);
  ASSERT_FALSE(aus.empty());
  constexpr size_t kGiveUpBytes = 256u << 20;  // far beyond any sane queue bound
  std::atomic<pid_t> tid{0};
  std::atomic<bool> in_push{false};
  std::atomic<long> push_index{-1};
  std::atomic<int> last_rc{1};
  std::atomic<size_t> pushed{0};
  std::thread pusher([&] {
    tid = (pid_t)syscall(SYS_gettid);
    for (long i = 0; pushed < kGiveUpBytes; ++i) {
      const auto& au = aus[(size_t)i % aus.size()];
      push_index = i;
      in_push = true;
      last_rc = decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "sp_full", -1, false);
      in_push = false;
      if (last_rc != SPLICE_OK) break;
      pushed += au.bytes.size();
    }
  });

  // Blocked: the same push is still in the library and its thread sleeps, on two
  // looks in a row.
  long seen = -1;
  const bool blocked = wait_until([&] {
    const long idx = push_index;
    const bool asleep = in_push && tid != 0 && thread_sleeping(tid);
    const bool again = asleep && idx == seen;
    seen = asleep ? idx : -1;
    return again;
  }, std::chrono::seconds(120));
  if (!blocked) {
    stop_splice_stream("sp_full");
    pusher.join();
    FAIL() << "no push ever blocked: the source queue is not bounded (" << pushed.load() << " bytes taken)";
  }

  auto stop = std::async(std::launch::async, [] { return stop_splice_stream("sp_full"); });
  const bool stopped = stop.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!stopped) {
    pusher.detach();
    FAIL() << "stop waited behind the blocked push";
  }
  EXPECT_EQ(stop.get(), SPLICE_OK);
  pusher.join();
  // The blocked push was woken by the stop and reported that it was not taken.
  EXPECT_EQ(last_rc.load(), SPLICE_PUSH_REFUSED);
  const auto& au = aus.front();
  EXPECT_EQ(decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "sp_full", 0, true), SPLICE_NOT_FOUND);
}

TEST_F(Lifecycle, TwoRollingStreamsStopOneByOne) {
  nimbra_internal::set_rolling_limits(1000000000ULL, 5);
  const std::string a = "nimbra-life-ra-" + std::to_string(getpid());
  const std::string b = "nimbra-life-rb-" + std::to_string(getpid());
  ConfigFile conf(config({entry(a, rtsp_props("\"rollingsave\":true")), entry(b, rtsp_props("\"rollingsave\":true"))}));
  auto ra = std::async(std::launch::async, [&] { return start_rolling_save(a); });
  auto rb = std::async(std::launch::async, [&] { return start_rolling_save(b); });
  const std::string da = "/tmp/rolling/" + a, db = "/tmp/rolling/" + b;
  ASSERT_TRUE(wait_until([&] { return segments(da).size() >= 2 && segments(db).size() >= 2; },
                         std::chrono::seconds(40)));
  gstreamer_pipeline_shutdown(a);
  ASSERT_TRUE(ends(ra));
  EXPECT_EQ(ra.get(), 0);
  // The other recording goes on: new segments keep coming, and its own stop still works.
  EXPECT_EQ(rb.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  const auto seen = segments(db);
  ASSERT_TRUE(wait_until([&] { return segments(db) != seen; }, std::chrono::seconds(30)))
      << "the second recording stopped with the first";
  gstreamer_pipeline_shutdown(b);
  ASSERT_TRUE(ends(rb));
  EXPECT_EQ(rb.get(), 0);
  for (const auto& f : segments(db)) EXPECT_GT(playable_frames(f), 0) << f;
  nimbra_internal::set_rolling_limits(0, 0);
  remove_tree(da);
  remove_tree(db);
}

TEST_F(Lifecycle, RollingRefusesPercentAndAPlantedSymlink) {
  const std::string pct = "nimbra-life-%d";
  const std::string linked = "nimbra-life-link-" + std::to_string(getpid());
  ConfigFile conf(config({entry(pct, rtsp_props("\"rollingsave\":true")),
                          entry(linked, rtsp_props("\"rollingsave\":true"))}));
  EXPECT_EQ(start_rolling_save(pct), -1);
  EXPECT_EQ(get_rolling_save_video(pct, "", 0), -1);

  // A directory someone else owns, planted as the stream's segment directory.
  const std::string victim = tmp + "/victim";
  ASSERT_EQ(mkdir(victim.c_str(), 0755), 0);
  write_file(victim + "/keep.mp4", "precious");
  mkdir("/tmp/rolling", 0755);
  const std::string link = "/tmp/rolling/" + linked;
  unlink(link.c_str());
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_EQ(start_rolling_save(linked), -1);
  EXPECT_EQ(read_file(victim + "/keep.mp4"), "precious");
  EXPECT_EQ(segments(victim).size(), 1u);
  EXPECT_TRUE(log.contains("is not a plain directory"));
  unlink(link.c_str());
}

TEST_F(Lifecycle, ADuplicateRunningIdIsRefusedAndTheFirstRunsOn) {
  ConfigFile conf(config({entry("dup", rtsp_props())}));
  std::atomic<int> frames{0}, other{0};
  Callback cb = counter(frames), cb2 = counter(other);
  auto run = start_async("dup", cb);
  ASSERT_TRUE(wait_until([&] { return frames > 10; }, std::chrono::seconds(30)));
  EXPECT_EQ(start_stream("dup", cb2), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Stream id: dup is already running"));
  Callback cs = counter(other);
  EXPECT_EQ(start_splice_stream("dup", cs), SPLICE_ALREADY_REGISTERED);  // across kinds too
  const int now = frames;
  ASSERT_TRUE(wait_until([&] { return frames > now + 10; }, std::chrono::seconds(30)));
  EXPECT_EQ(run.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  gstreamer_pipeline_shutdown("dup");
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_EQ(other.load(), 0);
}

TEST_F(Lifecycle, AStopThatComesWhileTheStreamStartsIsHonoured) {
  ConfigFile conf(config({entry("early", rtsp_props())}));
  for (int round = 0; round < 3; ++round) {
    std::atomic<int> frames{0};
    Callback cb = counter(frames);
    auto run = start_async("early", cb);
    // As soon as the id is claimed: the pipeline is still being built or set up.
    ASSERT_TRUE(wait_until([] {
      auto ids = nimbra_internal::running_stream_ids();
      return std::find(ids.begin(), ids.end(), "early") != ids.end();
    }));
    gstreamer_pipeline_shutdown("early");
    ASSERT_TRUE(ends(run)) << "round " << round;
    EXPECT_EQ(run.get(), 0);
  }
}

// ---- failures are reported ----

TEST_F(Lifecycle, FramePushReturnsMinusOneWhenTheServerIsDown) {
  const int port = nimbra_test::free_tcp_port();
  ConfigFile conf(config({entry("push_down", "\"networkPush\":true,\"outputAddr\":\"rtsp://127.0.0.1:" +
                                                 std::to_string(port) +
                                                 "/record/x\",\"width\":320,\"height\":240,\"fps\":25")}));
  std::atomic<int> frames{0};
  Callback cb = counter(frames);
  auto run = start_async("push_down", cb);
  ASSERT_TRUE(ends(run, 60));
  EXPECT_EQ(run.get(), -1);
}

TEST_F(Lifecycle, FramePushMemoryStaysBoundedWhileTheOutputStalls) {
  ConfigFile conf(config({entry("push_stall", "\"networkPush\":true,\"outputAddr\":\"" + rtsp_->url("/record/stall") +
                                                  "\",\"width\":1280,\"height\":720,\"fps\":200")}));
  std::atomic<int> frames{0};
  std::atomic<long> rss_at_60{0}, rss_at_end{0};
  auto rss_kb = [] {
    long pages = 0, resident = 0;
    std::ifstream in("/proc/self/statm");
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
  };
  uint64_t seed = 88172645463325252ULL;
  Callback cb = [&](const Image& img) -> int8_t {
    // Noise: every frame encodes to a lot of data, so the stalled connection fills up
    // within a few frames.
    for (size_t i = 0; i + 8 <= img.size; i += 8) {
      seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
      memcpy(img.data + i, &seed, 8);
    }
    const int n = ++frames;
    if (n == 60) rss_at_60 = rss_kb();
    if (n == 1060) rss_at_end = rss_kb();
    return 0;
  };
  auto run = start_async("push_stall", cb);
  ASSERT_TRUE(wait_until([&] { return frames > 30; }, std::chrono::seconds(60)));
  // The server stops reading: the push connection stalls.
  kill(rtsp_->process().pid(), SIGSTOP);
  const bool reached = wait_until([&] { return frames >= 1060; }, std::chrono::seconds(240));
  kill(rtsp_->process().pid(), SIGCONT);
  ASSERT_TRUE(reached);
  gstreamer_pipeline_shutdown("push_stall");
  ASSERT_TRUE(ends(run, 60));
  run.get();
  // Frames are pushed faster than the stalled output, and the encoder, take them: held
  // in the queue, 1000 frames of 2.7 MB would be gigabytes.
  printf("frame push: rss growth %ld MB over 1000 frames\n", (rss_at_end - rss_at_60) / 1024);
  EXPECT_LT(rss_at_end - rss_at_60, 60L * 1024) << "memory grows with every frame pushed";
  // Frames the output could not take are dropped and said so (how many depends on how
  // fast this machine encodes while the connection stalls).
  StreamHealth h;
  ASSERT_EQ(get_stream_health("push_stall", h), 0);
  EXPECT_EQ(log.contains("does not keep up"), h.frames_dropped > 0) << h.frames_dropped << " dropped";
}

// ---- rebuild keeps the output; the display keeps the source's rate ----

TEST_F(Lifecycle, RebuildAfterADecoderFailureKeepsTheMp4Output) {
  nimbra_internal::set_platform_tag_override("8550");  // the platform whose runner rebuilds
  // Every decoder made from now on fails after 40 frames: each pipeline, the rebuilt ones
  // too, ends in an error and is rebuilt.
  setenv("NMXSOFT_FAIL_AFTER_BUFFERS", "40", 1);
  const std::string out = tmp + "/rebuilt.mp4";
  ConfigFile conf(config({entry("rb_mp4", "\"inputType\":\"file\",\"inputAddr\":\"" + media("h264_small.mp4") +
                                              "\",\"decodeType\":\"H264\",\"outputType\":\"mp4\",\"outputAddr\":\"" +
                                              out + "\",\"width\":320,\"height\":240,\"manualRebuild\":false")}));
  std::atomic<int> frames{0};
  Callback cb = counter(frames);
  auto run = start_async("rb_mp4", cb);
  const bool rebuilt = wait_until([&] { return frames > 100; }, std::chrono::seconds(120));
  unsetenv("NMXSOFT_FAIL_AFTER_BUFFERS");
  ASSERT_TRUE(rebuilt);
  gstreamer_pipeline_shutdown("rb_mp4");
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_TRUE(log.contains("It will rebuild."));
  // The part before the failure is kept and finalised, and the rebuilt pipeline records
  // beside it instead of into a fake sink.
  EXPECT_GE(playable_frames(out), 20) << "the recording before the failure was lost";
  EXPECT_GE(playable_frames(tmp + "/rebuilt-1.mp4"), 20) << "the rebuilt stream recorded nothing";
}

TEST_F(Lifecycle, LiveSourceOnTheDisplayKeepsItsRate) {
  if (!Weston::available()) GTEST_FAIL() << "weston is not installed";
  Weston weston;
  weston.apply_env();
  // "block": the callback sees every frame, so its timestamps measure what the display got
  // (a loaded machine would otherwise make the callback skip frames, on purpose).
  ConfigFile conf(config({entry(
      "wl", rtsp_props("\"outputType\":\"wayland\",\"width\":640,\"height\":360,\"slowCallback\":\"block\""))}));
  // Frames per second of stream time: the source's timestamps of the first and last frame
  // seen, so a slow machine cannot make the rate look low; skipped frames do.
  std::mutex lock;
  std::vector<double> stamps;
  Callback cb = [&](const Image& img) -> int8_t {
    if (img.pts >= 0) {
      std::lock_guard<std::mutex> g(lock);
      stamps.push_back((double)img.pts * 1e-9);
    }
    return 0;
  };
  auto run = start_async("wl", cb);
  ASSERT_TRUE(wait_until(
      [&] {
        std::lock_guard<std::mutex> g(lock);
        return stamps.size() >= 40 && stamps.back() - stamps.front() >= 8.0;
      },
      std::chrono::seconds(120)))
      << "too few frames reached the callback";
  // What the display sink rendered and dropped as late so far.
  guint64 rendered = 0, dropped = 0;
  {
    GstElement* pipeline = nullptr;
    if (nimbra_internal::find_entry("wl")) {
      auto found = pipeline_map.find("wl");
      if (found != pipeline_map.end()) pipeline = found->second;
    }
    ASSERT_NE(pipeline, nullptr);
    GstIterator* it = gst_bin_iterate_sinks(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      GstElement* sink = GST_ELEMENT(g_value_get_object(&item));
      GstStructure* stats = nullptr;
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "stats")) g_object_get(sink, "stats", &stats, nullptr);
      if (stats) {
        gst_structure_get_uint64(stats, "rendered", &rendered);
        gst_structure_get_uint64(stats, "dropped", &dropped);
        gst_structure_free(stats);
      }
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
  }
  printf("display sink: %llu rendered, %llu dropped\n", (unsigned long long)rendered, (unsigned long long)dropped);
  gstreamer_pipeline_shutdown("wl");
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);
  EXPECT_GT(rendered, 100u);
  EXPECT_LE(dropped * 10, rendered + dropped) << "the display dropped more than a tenth of the frames as late";
  std::lock_guard<std::mutex> g(lock);
  // Skip the first second: the pipeline settles.
  size_t first = 0;
  while (first < stamps.size() && stamps[first] - stamps.front() < 1.0) ++first;
  ASSERT_LT(first + 10, stamps.size());
  const double rate = (double)(stamps.size() - 1 - first) / (stamps.back() - stamps[first]);
  RecordProperty("frames_per_source_second", std::to_string(rate));
  printf("display: %.2f frames per second of source time over %zu frames\n", rate, stamps.size() - first);
  EXPECT_GE(rate, 0.9 * 25) << "frames per second of source time";
}

// ---- per-stream state ----

TEST_F(Lifecycle, TwoFramePushStreamsOfDifferentSizesRunTogether) {
  const std::string a = tmp + "/a.mp4", b = tmp + "/b.mp4";
  ConfigFile conf(config({entry("fa", "\"saveMp4\":true,\"width\":64,\"height\":48,\"fps\":25,\"outputFile\":\"" + a + "\""),
                          entry("fb", "\"saveMp4\":true,\"width\":160,\"height\":96,\"fps\":10,\"outputFile\":\"" + b +
                                          "\"")}));
  std::atomic<int> na{0}, nb{0};
  std::atomic<int> wrong{0};
  Callback ca = [&](const Image& img) -> int8_t {
    if (img.width != 64 || img.size != 64u * 48 * 3 || img.fps != 25) ++wrong;
    ++na;
    return 0;
  };
  Callback cb = [&](const Image& img) -> int8_t {
    if (img.width != 160 || img.size != 160u * 96 * 3 || img.fps != 10) ++wrong;
    ++nb;
    return 0;
  };
  auto ra = start_async("fa", ca);
  auto rb = start_async("fb", cb);
  ASSERT_TRUE(wait_until([&] { return na > 20 && nb > 20; }, std::chrono::seconds(60)));
  gstreamer_pipeline_shutdown("all_stream");
  ASSERT_TRUE(ends(ra));
  ASSERT_TRUE(ends(rb));
  EXPECT_EQ(ra.get(), 0);
  EXPECT_EQ(rb.get(), 0);
  EXPECT_EQ(wrong.load(), 0);
  nimbra_test::MediaInfo ia = nimbra_test::count_frames(a), ib = nimbra_test::count_frames(b);
  ASSERT_TRUE(ia.ok && ib.ok) << ia.error << ib.error;
  EXPECT_EQ(ia.width, 64);
  EXPECT_EQ(ib.width, 160);
}

TEST_F(Lifecycle, UsbStartsDoNotGrowTheLibraryPath) {
  ConfigFile conf(config({entry("usb_lp", "\"inputType\":\"usbcam\",\"inputAddr\":\"/dev/video-nimbra-absent\","
                                          "\"width\":640,\"height\":480")}));
  for (int i = 0; i < 3; ++i) {
    Callback cb = [](const Image&) -> int8_t { return 0; };
    EXPECT_EQ(start_stream("usb_lp", cb), -1);
  }
  const std::string path = getenv("LD_LIBRARY_PATH") ? getenv("LD_LIBRARY_PATH") : "";
  size_t count = 0;
  for (size_t pos = (":" + path + ":").find(":/usr/lib:"); pos != std::string::npos;
       pos = (":" + path + ":").find(":/usr/lib:", pos + 1))
    ++count;
  EXPECT_EQ(count, 1u) << path;
}

// ---- failure paths release what they were given ----

TEST_F(Lifecycle, RunnersReleaseTheGroupsOnEveryFailurePath) {
  for (const std::string tag : {"ub2404", "8550", "v4l2"}) {
    nimbra_internal::set_platform_tag_override(tag);
    // The input group is missing: the output group handed in must still be released.
    std::atomic<bool> output_gone{false};
    GstElement* output = gst_element_factory_make("fakesink", nullptr);
    g_object_weak_ref(G_OBJECT(output), [](gpointer flag, GObject*) { *static_cast<std::atomic<bool>*>(flag) = true; },
                      &output_gone);
    PiplineData d;
    d.streamId = "fail_path";
    d.pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("fail_path")));
    const int rc = tag == "ub2404" ? start_ub2404(&d, nullptr, output)
                   : tag == "8550" ? start(&d, nullptr, output)
                                   : start_6490_ql(&d, nullptr, output);
    EXPECT_EQ(rc, -1) << tag;
    EXPECT_EQ(d.pipeline, nullptr) << tag;
    EXPECT_TRUE(output_gone.load()) << tag << ": the output group leaked";
  }
}

TEST_F(Lifecycle, SigintEndsAndFinalisesEveryKindAtOnce) {
  nimbra_internal::set_rolling_limits(1000000000ULL, 5);
  const std::string roll = "nimbra-life-sig-" + std::to_string(getpid());
  const std::string pushed = tmp + "/pushed.mp4";
  ConfigFile conf(config({entry("sl", rtsp_props(), "sp"), entry("sr", rtsp_props(), "sp"),
                          entry("sig_push", "\"saveMp4\":true,\"width\":64,\"height\":48,\"fps\":25,\"outputFile\":\"" +
                                                pushed + "\""),
                          entry(roll, rtsp_props("\"rollingsave\":true"))}));
  std::atomic<int> left{0}, right{0}, drawn{0}, decoded{0};
  Callback cl = counter(left), cr = counter(right), cp = counter(drawn), cs = counter(decoded), cn = counter(decoded);
  auto split = std::async(std::launch::async, [&] { return start_split_stream("sl", cl, "sr", cr); });
  auto push = start_async("sig_push", cp);
  auto rolling = start_async(roll, cn);
  ASSERT_EQ(start_splice_stream("sig_splice", cs), SPLICE_OK);
  const std::string dir = "/tmp/rolling/" + roll;
  ASSERT_TRUE(wait_until([&] { return left > 10 && right > 10 && drawn > 10 && segments(dir).size() >= 2; },
                         std::chrono::seconds(60)));
  raise(SIGINT);
  for (auto* f : {&split, &push, &rolling}) {
    ASSERT_TRUE(ends(*f));
    EXPECT_EQ(f->get(), 0);
  }
  const uint8_t au[8] = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01};
  EXPECT_EQ(decode_put_frame_splice(au, sizeof au, "sig_splice", 0, true), SPLICE_NOT_FOUND);
  EXPECT_GE(playable_frames(pushed), 10);
  for (const auto& f : segments(dir)) EXPECT_GT(playable_frames(f), 0) << f;
  nimbra_internal::set_rolling_limits(0, 0);
  remove_tree(dir);
}
