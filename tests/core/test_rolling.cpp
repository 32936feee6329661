// Rolling save from a file (re-encoded at "rollingFps"): segments appear, each demuxes
// and lasts about one segment, the ring never exceeds its size, a restart empties the
// directory, a stop or SIGINT finalises the open segment. Merge requests run the real
// script without a shell: hostile ids and arguments run nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <future>

#include "StreamRollingSave.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;

namespace {


bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// True once a ring of four has wrapped: the first segment was written again after the
// last one had been started (before the wrap, 00000.mp4 is older than 00003.mp4).
bool ring_wrapped(const std::string& dir) {
  struct stat first, last;
  if (stat((dir + "/00000.mp4").c_str(), &first) != 0 || stat((dir + "/00003.mp4").c_str(), &last) != 0)
    return false;
  if (first.st_mtim.tv_sec != last.st_mtim.tv_sec) return first.st_mtim.tv_sec > last.st_mtim.tv_sec;
  return first.st_mtim.tv_nsec > last.st_mtim.tv_nsec;
}

class Rolling : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init_once();
    clip_dir_ = make_temp_dir();
    // 20 s of 320x240 at 25 fps with a key frame every 10 frames.
    ASSERT_TRUE(run_to_end("videotestsrc num-buffers=500 pattern=ball ! video/x-raw,format=I420,width=320,"
                           "height=240,framerate=25/1 ! x264enc speed-preset=ultrafast key-int-max=10 ! h264parse ! "
                           "mp4mux ! filesink location=" +
                           clip_dir_ + "/clip.mp4"));
    setenv("NIMBRA_CONCATE_SCRIPT", (std::string(getenv("NIMBRA_SOURCE_DIR")) + "/platform/concate_video.py").c_str(),
           1);
  }
  static void TearDownTestSuite() { remove_tree(clip_dir_); }

  void SetUp() override {
    id_ = "nimbra-test-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = "/tmp/rolling/" + id_;
    nimbra_internal::set_rolling_limits(1000000000ULL, 4);  // 1 s segments, a ring of 4
    tmp_ = make_temp_dir();
  }
  void TearDown() override {
    nimbra_internal::set_rolling_limits(0, 0);
    remove_tree(dir_);
    remove_tree(tmp_);
  }

  std::string config(const std::string& extra = "") const {
    return "{\"streams\":[{\"streamsId\":\"" + id_ + "\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" +
           clip_dir_ + "/clip.mp4\",\"decodeType\":\"H264\",\"rollingsave\":true,\"rollingFps\":25" + extra + "}}]}";
  }

  static std::string clip_dir_;
  std::string id_, dir_, tmp_;
  LogCapture log;
};
std::string Rolling::clip_dir_;

}  // namespace

TEST_F(Rolling, FileInputRotatesSegmentsInARingAndStopFinalises) {
  ConfigFile conf(config());
  // Leftovers of an earlier run are removed at start.
  ASSERT_EQ(system(("mkdir -p '" + dir_ + "' && touch '" + dir_ + "/00042.mp4'").c_str()), 0);
  std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
  auto run = std::async(std::launch::async, [&] { return start_stream(id_, cb); });
  ASSERT_TRUE(wait_until([&] { return !exists(dir_ + "/00042.mp4"); }));
  // Watch the ring until it has turned over (segment names wrap at the ring's size, so
  // 00000.mp4 is written again after 00003.mp4). Paced by the recording itself, not by
  // the clock; the limit is only a safety net (the clip lasts 20 s).
  size_t most = 0;
  const bool turned = wait_until(
      [&] {
        most = std::max(most, segments(dir_).size());
        return ring_wrapped(dir_) && most >= 4;
      },
      std::chrono::seconds(120));
  EXPECT_TRUE(turned) << "most segments at once: " << most;
  EXPECT_EQ(most, 4u);
  gstreamer_pipeline_shutdown(id_);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  EXPECT_TRUE(log.contains("Rolling save pipe desc: filesrc location="));
  EXPECT_TRUE(log.contains("max-size-time=1000000000 async-finalize=true max-files=4"));

  auto files = segments(dir_);
  ASSERT_FALSE(files.empty());
  EXPECT_LE(files.size(), 4u);
  for (const std::string& f : files) {
    RgbFrames back = decode_rgb(f, 0);
    // Every segment, the last one included, is a finished MP4 of about one second.
    EXPECT_GE(back.count, 10u) << f;
    EXPECT_LE(back.count, 40u) << f;
    EXPECT_EQ(back.width, 320) << f;
  }
}

TEST_F(Rolling, SigintEndsTheRecordingWithAFinishedSegment) {
  ConfigFile conf(config());
  auto run = std::async(std::launch::async, [&] { return start_rolling_save(id_); });
  ASSERT_TRUE(wait_until([&] { return segments(dir_).size() >= 2; }));
  raise(SIGINT);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  EXPECT_TRUE(log.contains("Received SIGINT signal, will send EOS to pipeline."));
  EXPECT_TRUE(log.contains_at("WARN", "EOS received."));
  for (const std::string& f : segments(dir_)) EXPECT_GT(decode_rgb(f, 0).count, 0u) << f;
}

TEST_F(Rolling, RefusalsAndFailures) {
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"" + id_ +
                  "\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"/x.mp4\",\"decodeType\":\"VP9\"}},"
                  "{\"streamsId\":\"" +
                  id_ + "-usb\",\"properties\":{\"inputType\":\"usbcam\",\"inputAddr\":\"/dev/video0\"}}]}");
  EXPECT_EQ(start_rolling_save(id_), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "The input decord type : VP9 is not supported."));
  EXPECT_TRUE(exists(dir_));  // created (and emptied) before the configuration is read

  EXPECT_EQ(start_rolling_save(id_ + "-usb"), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Pipeline build error: "));
  remove_tree("/tmp/rolling/" + id_ + "-usb");

  log.clear();
  EXPECT_EQ(start_rolling_save(id_ + "-absent"), -1);  // defaults: no input type
  EXPECT_TRUE(log.contains_at("ERROR", "Pipeline build error: "));
  remove_tree("/tmp/rolling/" + id_ + "-absent");

  for (const std::string bad : {"", "../../etc", "a/b", "..", "x/../y"}) {
    log.clear();
    EXPECT_EQ(start_rolling_save(bad), -1) << bad;
    EXPECT_EQ(log.count("[ERROR]"), 1u) << bad;
    EXPECT_EQ(get_rolling_save_video(bad, "--seconds 1", -5), -1) << bad;
  }
  EXPECT_FALSE(exists("/tmp/etc"));
}

TEST_F(Rolling, MergeProducesTheRequestedSpan) {
  ConfigFile conf(config());
  std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
  auto run = std::async(std::launch::async, [&] { return start_stream(id_, cb); });
  // The ring has wrapped: the three segments after the one being rewritten hold 3 s.
  ASSERT_TRUE(wait_until([&] { return ring_wrapped(dir_); }, std::chrono::seconds(120)));
  gstreamer_pipeline_shutdown(id_);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);

  const std::string out = tmp_ + "/clip out.mp4";  // a blank in the path stays one argument
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(get_rolling_save_video(id_, "--seconds 2 --include-newest --output '" + out + "'", -5), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));  // scheduled, not run
  ASSERT_TRUE(wait_until([&] { return exists(out) && !is_concate_video_running(id_); }, std::chrono::seconds(60)));
  RgbFrames back = decode_rgb(out, 0);
  // 2 s at 25 fps, rounded up to whole segments of 1 s: at most one segment more.
  EXPECT_GE(back.count, 50u);
  EXPECT_LE(back.count, 75u);
  EXPECT_TRUE(log.contains("get_rolling_save_video - rolling save command: "));
}

TEST_F(Rolling, MergeAlreadyRunningIsDetected) {
  // A stand-in script that takes its time, named like the real one.
  const std::string script = tmp_ + "/concate_video.py";
  write_file(script, "import time\ntime.sleep(4)\n");
  setenv("NIMBRA_CONCATE_SCRIPT", script.c_str(), 1);
  EXPECT_EQ(get_rolling_save_video(id_, "--seconds 1", -5), 0);
  ASSERT_TRUE(wait_until([&] { return is_concate_video_running(id_); }));
  EXPECT_FALSE(is_concate_video_running(id_ + "x"));  // the id must match exactly
  EXPECT_EQ(get_rolling_save_video(id_, "--seconds 1", -5), 0);
  EXPECT_TRUE(log.contains_at("WARN", "get_rolling_save_video - concate_video.py is already running for stream_id: " + id_));
  ASSERT_TRUE(wait_until([&] { return !is_concate_video_running(id_); }, std::chrono::seconds(30)));
  setenv("NIMBRA_CONCATE_SCRIPT", (std::string(getenv("NIMBRA_SOURCE_DIR")) + "/platform/concate_video.py").c_str(), 1);
}

TEST_F(Rolling, HostileArgumentsRunNothing) {
  const std::string pwned = tmp_ + "/pwned";
  // Each of these would run a command if it went through a shell.
  const std::string hostile[] = {"; touch " + pwned, "$(touch " + pwned + ")", "`touch " + pwned + "`",
                                 "--seconds 1 && touch " + pwned, "--output ../../etc/x; touch " + pwned};
  for (const std::string& args : hostile) {
    merge_rolling_save_video(id_, args, -5);  // runs here, synchronously
    EXPECT_FALSE(exists(pwned)) << args;
  }
  log.clear();
  merge_rolling_save_video(id_, "--output 'unterminated", -5);
  EXPECT_TRUE(log.contains_at("ERROR", "get_rolling_save_video - merge arguments refused"));
  EXPECT_FALSE(log.contains("rolling save command"));
  // A stream id with shell syntax is one argument; the script refuses it or finds no
  // segments, and nothing is created anywhere.
  merge_rolling_save_video("$(touch " + pwned + ")", "--seconds 1", -5);
  merge_rolling_save_video("x; touch " + pwned, "--seconds 1", -5);
  EXPECT_FALSE(exists(pwned));
  EXPECT_FALSE(exists("/tmp/rolling/$(touch " + pwned + ")"));
}
