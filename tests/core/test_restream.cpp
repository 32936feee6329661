// Rolling save from the RTSP test server (stored without re-encoding) and audio-carrying
// restreaming to its record mount, both started by id through start_stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "StreamPlatform.h"
#include "StreamRollingSave.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/rtsp_test_server.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::count_frames;
using nimbra_test::RtspTestServer;

namespace {


class Restream : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init_once();
    rtsp_ = new RtspTestServer();
  }
  static void TearDownTestSuite() {
    delete rtsp_;
    rtsp_ = nullptr;
  }
  static RtspTestServer* rtsp_;
  LogCapture log;
};
RtspTestServer* Restream::rtsp_ = nullptr;

}  // namespace

TEST_F(Restream, RollingSaveFromRtspStoresWithoutReencoding) {
  nimbra_internal::set_rolling_limits(1000000000ULL, 5);
  for (const std::string codec : {"H264", "H265"}) {
    const std::string id = "nimbra-rtsp-rolling-" + std::to_string(getpid()) + "-" + codec;
    const std::string dir = "/tmp/rolling/" + id;
    ConfigFile conf("{\"streams\":[{\"streamsId\":\"" + id + "\",\"properties\":{\"inputType\":\"rtsp\","
                    "\"inputAddr\":\"" + rtsp_->url(codec == "H264" ? "/h264" : "/h265") +
                    "\",\"decodeType\":\"" + codec + "\",\"rollingsave\":true}}]}");
    std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
    auto run = std::async(std::launch::async, [&] { return start_stream(id, cb); });
    size_t most = 0;
    // Until four segments exist, or the recording has ended (a failure: shown below).
    wait_until(
        [&] {
          most = std::max(most, segments(dir).size());
          return most >= 4 || run.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        },
        std::chrono::seconds(120));
    ASSERT_GE(most, 4u) << codec << ": " << most << " segments; log tail:\n"
        << log.text().substr(log.text().size() > 3000 ? log.text().size() - 3000 : 0);
    gstreamer_pipeline_shutdown(id);
    ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(run.get(), 0);
    EXPECT_LE(segments(dir).size(), 5u);
    // The segment open at the stop holds what came since the last cut; every earlier one
    // spans about one second (the server sends a key frame every second). Measured in
    // stream time: a server starved of CPU sends fewer frames in that second.
    int full = 0;
    for (const std::string& f : segments(dir)) {
      auto info = count_frames(f);
      ASSERT_TRUE(info.ok) << f << " " << info.error;
      EXPECT_EQ(info.video_codec, codec == "H264" ? "video/x-h264" : "video/x-h265") << f;
      EXPECT_EQ(info.width, 640) << f;  // the server's size: stored as received
      EXPECT_GE(info.frames, 1) << f;
      EXPECT_LE(info.frames, 60) << f;
      if (!info.pts.empty()) {
        const auto [lo, hi] = std::minmax_element(info.pts.begin(), info.pts.end());
        if (*hi - *lo >= 700 * GST_MSECOND) ++full;
      }
    }
    EXPECT_GE(full, (int)segments(dir).size() - 1) << codec;
    remove_tree(dir);
  }
  nimbra_internal::set_rolling_limits(0, 0);
}

TEST_F(Restream, AudioFromAFileReachesTheRecordMountWithBothTracks) {
  const std::string mount = "/record/audio_file";
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"af\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" +
                  media("h264_aac_small.mp4") + "\",\"decodeType\":\"H264\",\"encodeType\":\"H264\",\"audio\":true,"
                  "\"outputType\":\"rtsp\",\"outputAddr\":\"" + rtsp_->url(mount) + "\"}}]}");
  const size_t from = rtsp_->line_count();
  std::atomic<int> frames{0};
  std::atomic<int> width{0}, height{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    width = img.width;
    height = img.height;
    ++frames;
    for (int y = 100; y < 160; ++y)
      for (int x = 100; x < 160; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        p[0] = 255, p[1] = 0, p[2] = 255;
      }
    return 0;
  };
  EXPECT_EQ(start_stream("af", cb), 0);
  EXPECT_FALSE(cb);
  EXPECT_EQ(frames.load(), 100);
  EXPECT_EQ(width.load(), 320);
  EXPECT_EQ(height.load(), 240);
  EXPECT_TRUE(log.contains("Link connection completed."));
  auto file = rtsp_->wait_record_closed(mount, std::chrono::seconds(60), from);
  ASSERT_TRUE(file);
  auto info = count_frames(*file);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_TRUE(info.has_audio);
  EXPECT_EQ(info.audio_codec, "audio/mpeg");
  EXPECT_GE(info.frames, 90);  // MPEG-TS over RTSP: the last frames may be cut by the teardown
  auto frame = nimbra_test::decode_frame_rgb(*file, 30);
  ASSERT_TRUE(frame.ok) << frame.error;
  EXPECT_TRUE(near(frame.pixel(130, 130), 255, 0, 255));
}

TEST_F(Restream, AudioFromTheRtspAudioMount) {
  const std::string mount = "/record/audio_rtsp";
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"ar\",\"properties\":{\"inputType\":\"rtsp\",\"inputAddr\":\"" +
                  rtsp_->url("/h264aac") + "\",\"decodeType\":\"H264\",\"audio\":true,"
                  "\"outputType\":\"rtsp\",\"outputAddr\":\"" + rtsp_->url(mount) + "\"}}]}");
  const size_t from = rtsp_->line_count();
  std::atomic<int> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    EXPECT_EQ(img.width, 640);
    if (++frames == 75) std::thread([] { gstreamer_pipeline_shutdown("ar"); }).detach();
    return 0;
  };
  auto run = std::async(std::launch::async, [&] { return start_stream("ar", cb); });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  EXPECT_GE(frames.load(), 75);
  auto file = rtsp_->wait_record_closed(mount, std::chrono::seconds(60), from);
  ASSERT_TRUE(file);
  auto info = count_frames(*file);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_TRUE(info.has_audio);
  EXPECT_GE(info.frames, 25);
  EXPECT_EQ(info.width, 640);
}

TEST_F(Restream, AudioRefusesUnsupportedInputAndOutput) {
  ConfigFile conf(R"({"streams":[
    {"streamsId":"rtmp_audio","properties":{"inputType":"rtmp","inputAddr":"rtmp://127.0.0.1:1/x","audio":true,
                                            "outputType":"rtsp","outputAddr":"rtsp://127.0.0.1:1/y"}},
    {"streamsId":"mp4_audio","properties":{"inputType":"file","inputAddr":"/x.mp4","audio":true,
                                           "outputType":"mp4","outputAddr":"/tmp/x.mp4"}}]})");
  std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
  EXPECT_EQ(start_stream("rtmp_audio", cb), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Un-supported input type."));
  std::function<int8_t(const Image&)> cb2 = [](const Image&) -> int8_t { return 0; };
  EXPECT_EQ(start_audio_stream("mp4_audio", cb2), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Un-supported output type. Please take a try to disable audio parameter."));
  EXPECT_FALSE(cb2);
}

// The board runner with recovery (tag "8550", here on the soft elements): with
// "manualRebuild" false a stream whose server went away is rebuilt from the
// configuration until the server is back; with it true the stream ends.
TEST_F(Restream, RebuildAfterServerRestart) {
  nimbra_internal::set_platform_tag_override("8550");
  for (const bool manual : {false, true}) {
    ConfigFile conf("{\"streams\":[{\"streamsId\":\"rb\",\"properties\":{\"inputType\":\"rtsp\",\"inputAddr\":\"" +
                    rtsp_->url("/h264") + "\",\"decodeType\":\"H264\",\"manualRebuild\":" +
                    (manual ? "true" : "false") + "}}]}");
    log.clear();
    std::atomic<int> frames{0};
    std::function<int8_t(const Image&)> cb = [&](const Image&) -> int8_t {
      ++frames;
      return 0;
    };
    auto run = std::async(std::launch::async, [&] { return start_stream("rb", cb); });
    ASSERT_TRUE(wait_until([&] { return frames > 25; }, std::chrono::seconds(30))) << manual;
    rtsp_->kill_hard();
    if (!manual) {
      // The server comes back only once the stream has noticed the drop.
      ASSERT_TRUE(wait_until([&] { return log.contains("It will rebuild."); }, std::chrono::seconds(60)));
      rtsp_->restart();
      const int before = frames;
      EXPECT_TRUE(wait_until([&] { return frames > before + 25; }, std::chrono::seconds(90)))
          << "frames did not resume after the server came back";
      EXPECT_TRUE(log.contains("It will rebuild."));
      EXPECT_TRUE(log.contains("re_create_pipeline - 6"));
      gstreamer_pipeline_shutdown("rb");  // the stop reaches the rebuilt pipeline
      ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
      EXPECT_EQ(run.get(), 0);
    } else {
      ASSERT_EQ(run.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "stream did not end";
      run.get();
      EXPECT_FALSE(log.contains("re_create_pipeline - 6"));
      rtsp_->restart();
    }
  }
  nimbra_internal::set_platform_tag_override("");
}
