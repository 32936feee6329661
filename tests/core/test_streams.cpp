// Configured streams from end to end on this host: file input to the callback, to MP4
// (with what the callback drew), frame push to MP4, stopping one of two streams, stop
// all, restart, the routing and refusals of the stream API, and frame conversion.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <regex>

#include "StreamBuild.h"
#include "StreamInputFile.h"
#include "StreamPlatform.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;

namespace {
// The platform tag the library under test was built for.
const std::string& tag() { return nimbra_internal::platform_tag(); }
// The V4L2 builds ("v4l2", "ub2404"): their probe and their output groups.
bool ql_runner() { return tag() == "v4l2" || tag() == "ub2404"; }
}  // namespace

namespace {

std::string long_clip_path;  // 320x240 H.264, 500 frames at 25 fps

std::string stream_json(const std::string& id, const std::string& props) {
  return "{\"streamsId\":\"" + id + "\",\"properties\":{" + props + "}}";
}

std::string file_props(const std::string& path, const std::string& extra = "") {
  return "\"inputType\":\"file\",\"inputAddr\":\"" + path + "\",\"decodeType\":\"H264\"" +
         (extra.empty() ? "" : "," + extra);
}

struct Frames {
  std::mutex lock;
  std::atomic<int> count{0};
  std::vector<int64_t> indices;
  std::vector<std::string> timestamps;
  int width = 0, height = 0;
  size_t size = 0;
  std::string id;
};

std::function<int8_t(const Image&)> recorder(Frames& f, int sleep_ms = 0) {
  return [&f, sleep_ms](const Image& img) -> int8_t {
    {
      std::lock_guard<std::mutex> g(f.lock);
      f.indices.push_back(img.frame_index);
      f.timestamps.push_back(img.timestamp);
      f.width = img.width;
      f.height = img.height;
      f.size = img.size;
      f.id = img.stream_id;
    }
    ++f.count;
    if (sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    return 0;
  };
}

class Streams : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init_once();
    std::string dir = make_temp_dir();
    long_clip_path = dir + "/long.mp4";
    ASSERT_TRUE(run_to_end("videotestsrc num-buffers=500 pattern=ball ! video/x-raw,format=I420,width=320,height=240,"
                           "framerate=25/1 ! x264enc speed-preset=ultrafast key-int-max=25 ! h264parse ! mp4mux ! "
                           "filesink location=" +
                           long_clip_path));
  }
  static void TearDownTestSuite() { remove_tree(long_clip_path.substr(0, long_clip_path.rfind('/'))); }

  void SetUp() override { tmp = make_temp_dir(); }
  void TearDown() override { remove_tree(tmp); }

  std::string tmp;
  LogCapture log;
};

}  // namespace

TEST_F(Streams, FileToCallback) {
  ConfigFile conf("{\"streams\":[" + stream_json("f", file_props(media("h264_small.mp4"))) + "]}");
  Frames f;
  auto cb = recorder(f);
  ASSERT_EQ(start_stream("f", cb), 0);
  EXPECT_FALSE(cb);  // moved into the stream
  ASSERT_EQ(f.count.load(), 100);
  EXPECT_EQ(f.width, 320);
  EXPECT_EQ(f.height, 240);
  EXPECT_EQ(f.size, (size_t)320 * 240 * 3);
  EXPECT_EQ(f.id, "f");
  for (size_t i = 0; i < f.indices.size(); ++i) EXPECT_EQ(f.indices[i], (int64_t)i + 1);
  // The V4L2-variant probe writes the PTS as text; the classic one leaves it empty.
  std::regex ts(ql_runner() ? "^[0-9]+:[0-5][0-9]:[0-5][0-9]\\.[0-9]{9}$" : "^$");
  for (auto& t : f.timestamps) EXPECT_TRUE(std::regex_match(t, ts)) << t;
  if (tag() == "ub2404")
    EXPECT_TRUE(log.contains("start_ub2404: output factory=fakesink, skip_output_nv12_convert=1"));
  else if (tag() == "v4l2")
    EXPECT_TRUE(log.contains("Platform is 6490 ql. Starting pipeline, attempt 1 of 5"));
  else
    EXPECT_TRUE(log.contains("Starting pipeline, attempt 1 of 5"));
}

TEST_F(Streams, FileToMp4KeepsWhatTheCallbackDrew) {
  const std::string out = tmp + "/out.mp4";
  ConfigFile conf("{\"streams\":[" +
                  stream_json("m", file_props(media("h264_small.mp4"), "\"outputType\":\"mp4\",\"outputAddr\":\"" +
                                                                           out + "\",\"width\":320,\"height\":240")) +
                  "]}");
  std::function<int8_t(const Image&)> cb = [](const Image& img) -> int8_t {
    // A red box at (100..160, 80..140) and a white one at (200..240, 150..190).
    for (int y = 80; y < 140; ++y)
      for (int x = 100; x < 160; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        p[0] = 255, p[1] = 0, p[2] = 0;
      }
    for (int y = 150; y < 190; ++y)
      for (int x = 200; x < 240; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        p[0] = p[1] = p[2] = 255;
      }
    return 0;
  };
  ASSERT_EQ(start_stream("m", cb), 0);
  RgbFrames back = decode_rgb(out, 100);
  EXPECT_EQ(back.count, 100u);
  EXPECT_EQ(back.width, 320);
  // Padded to the encoder's 32-row alignment, and cropped back in the stream.
  EXPECT_EQ(back.height, 240);
  ASSERT_FALSE(back.frames.empty());
  for (size_t i : {(size_t)0, back.frames.size() / 2, back.frames.size() - 1}) {
    EXPECT_TRUE(near(back.pixel(i, 130, 110), 255, 0, 0)) << "frame " << i;
    EXPECT_TRUE(near(back.pixel(i, 220, 170), 255, 255, 255)) << "frame " << i;
  }
}

TEST_F(Streams, TimestampHelperDrawsIntoTheRecording) {
  const std::string out = tmp + "/ts.mp4";
  ConfigFile conf("{\"streams\":[" +
                  stream_json("ts", file_props(media("h264_small.mp4"), "\"outputType\":\"mp4\",\"outputAddr\":\"" +
                                                                            out + "\",\"width\":320,\"height\":240")) +
                  "]}");
  std::function<int8_t(const Image&)> cb = [](const Image& img) -> int8_t {
    // Blank the text area so only the drawn text can be red there.
    for (int y = 20; y < 60; ++y) memset(img.data + ((size_t)y * img.width + 15) * 3, 0, 300 * 3);
    draw_timestamp(img.data, img.width, img.height);
    return 0;
  };
  ASSERT_EQ(start_stream("ts", cb), 0);
  RgbFrames back = decode_rgb(out, 1);
  ASSERT_EQ(back.frames.size(), 1u);
  int red = 0;
  for (int y = 25; y < 55; ++y)
    for (int x = 20; x < 310; ++x)
      if (near(back.pixel(0, x, y), 255, 0, 0, 80)) ++red;
  EXPECT_GT(red, 200);
}

TEST_F(Streams, StoppingOneLeavesTheOtherRunningAndAllStreamStopsBoth) {
  ConfigFile conf("{\"streams\":[" + stream_json("a", file_props(long_clip_path)) + "," +
                  stream_json("b", file_props(long_clip_path)) + "]}");
  Frames fa, fb;
  auto cba = recorder(fa, 10), cbb = recorder(fb, 10);
  auto ra = std::async(std::launch::async, [&] { return start_stream("a", cba); });
  auto rb = std::async(std::launch::async, [&] { return start_stream("b", cbb); });
  ASSERT_TRUE(wait_until([&] { return fa.count > 10 && fb.count > 10; }));

  gstreamer_pipeline_shutdown("a");
  ASSERT_EQ(ra.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(ra.get(), 0);
  EXPECT_LT(fa.count.load(), 500);
  EXPECT_TRUE(running.load());  // a single stop leaves the process-wide flag alone
  const int b_then = fb.count;
  ASSERT_TRUE(wait_until([&] { return fb.count > b_then + 20; })) << "b stopped with a";
  EXPECT_EQ(rb.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  // A new start of the stopped id works while b still runs.
  Frames fa2;
  auto cba2 = recorder(fa2, 10);
  auto ra2 = std::async(std::launch::async, [&] { return start_stream("a", cba2); });
  ASSERT_TRUE(wait_until([&] { return fa2.count > 10; }));

  gstreamer_pipeline_shutdown("all_stream");
  EXPECT_FALSE(running.load());
  ASSERT_EQ(rb.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  ASSERT_EQ(ra2.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(rb.get(), 0);
  EXPECT_EQ(ra2.get(), 0);
  EXPECT_LT(fb.count.load(), 500);

  // And after a stop of everything, a new stream runs to its end.
  Frames fc;
  auto cbc = recorder(fc);
  ConfigFile conf2("{\"streams\":[" + stream_json("c", file_props(media("h264_small.mp4"))) + "]}");
  EXPECT_EQ(start_stream("c", cbc), 0);
  EXPECT_EQ(fc.count.load(), 100);
  EXPECT_TRUE(running.load());
}

TEST_F(Streams, StopFinalisesTheMp4BeingWritten) {
  const std::string out = tmp + "/stopped.mp4";
  ConfigFile conf("{\"streams\":[" +
                  stream_json("s", file_props(long_clip_path, "\"outputType\":\"mp4\",\"outputAddr\":\"" + out +
                                                                  "\",\"width\":320,\"height\":240")) +
                  "]}");
  Frames f;
  auto cb = recorder(f, 10);
  auto r = std::async(std::launch::async, [&] { return start_stream("s", cb); });
  ASSERT_TRUE(wait_until([&] { return f.count > 50; }));
  gstreamer_pipeline_shutdown("s");
  ASSERT_EQ(r.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(r.get(), 0);
  RgbFrames back = decode_rgb(out, 0);
  EXPECT_GE(back.count, 40u);  // a readable file holding what was recorded before the stop
  // Frames still on the way at the stop are recorded, but the callback no longer sees them.
  StreamHealth h;
  ASSERT_EQ(get_stream_health("s", h), 0);
  EXPECT_EQ(back.count, h.frames_decoded);
  EXPECT_EQ(h.frames_delivered, (uint64_t)f.count.load());
  EXPECT_EQ(h.frames_decoded, h.frames_delivered + h.frames_skipped);
}

TEST_F(Streams, FramePushToMp4) {
  const std::string out = tmp + "/push.mp4";
  ConfigFile conf("{\"streams\":[" +
                  stream_json("p", "\"saveMp4\":true,\"width\":320,\"height\":240,\"fps\":25,\"outputFile\":\"" + out +
                                       "\"") +
                  "]}");
  std::atomic<int> calls{0};
  std::vector<int64_t> indices;
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    indices.push_back(img.frame_index);
    EXPECT_EQ(img.width, 320);
    EXPECT_EQ(img.height, 240);
    EXPECT_EQ(img.size, (size_t)320 * 240 * 3);
    // Left half blue, right half green: what the launcher encodes is what we wrote.
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        if (x < 160)
          p[0] = 0, p[1] = 0, p[2] = 255;
        else
          p[0] = 0, p[1] = 255, p[2] = 0;
      }
    if (++calls == 50) std::thread([] { gstreamer_pipeline_shutdown("p"); }).detach();
    return 0;
  };
  ASSERT_EQ(start_stream("p", cb), 0);
  EXPECT_FALSE(cb);
  const int pushed = calls.load();
  EXPECT_GE(pushed, 50);
  for (size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(indices[i], (int64_t)i);
  RgbFrames back = decode_rgb(out, 3);
  EXPECT_EQ(back.count, (size_t)pushed);
  EXPECT_EQ(back.fps_n, 25);
  EXPECT_EQ(back.fps_d, 1);
  EXPECT_EQ(back.width, 320);
  EXPECT_EQ(back.height, 240);  // the videobox padding is cropped in the stream
  ASSERT_FALSE(back.frames.empty());
  EXPECT_TRUE(near(back.pixel(0, 60, 100), 0, 0, 255));
  EXPECT_TRUE(near(back.pixel(0, 260, 100), 0, 255, 0));
  EXPECT_TRUE(near(back.pixel(0, 60, 239), 0, 0, 255)) << "the bottom row is the picture's";
}

// A 1280x720 recording: the encoder works on 736 rows, the file shows 720 through a stock decoder,
// and the picture's last rows are at the bottom edge (not cut, not a black bar).
TEST_F(Streams, Mp4OutputDecodesAtTheConfiguredSize) {
  const std::string clip = tmp + "/hd.mp4", out = tmp + "/hd_out.mp4";
  ASSERT_TRUE(run_to_end("videotestsrc num-buffers=20 pattern=black ! video/x-raw,format=I420,width=1280,height=720,"
                         "framerate=25/1 ! x264enc speed-preset=ultrafast key-int-max=10 ! h264parse ! mp4mux ! "
                         "filesink location=" + clip));
  ConfigFile conf("{\"streams\":[" +
                  stream_json("hd", file_props(clip, "\"outputType\":\"mp4\",\"outputAddr\":\"" + out +
                                                         "\",\"width\":1280,\"height\":720")) +
                  "]}");
  std::function<int8_t(const Image&)> cb = [](const Image& img) -> int8_t {
    // Green over the top 8 rows, red over the bottom 8, blue down the right 16 columns.
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        if (y < 8)
          p[0] = 0, p[1] = 255, p[2] = 0;
        else if (y >= img.height - 8)
          p[0] = 255, p[1] = 0, p[2] = 0;
        else if (x >= img.width - 16)
          p[0] = 0, p[1] = 0, p[2] = 255;
      }
    return 0;
  };
  ASSERT_EQ(start_stream("hd", cb), 0);
  // Only the V4L2 encoders' output group pads the rows to a multiple of 32.
  EXPECT_EQ(log.contains("Configure video bottom: -16"), ql_runner());
  RgbFrames back = decode_rgb(out, 3);
  EXPECT_EQ(back.count, 20u);
  EXPECT_EQ(back.width, 1280);
  EXPECT_EQ(back.height, 720);
  ASSERT_FALSE(back.frames.empty());
  for (size_t i = 0; i < back.frames.size(); ++i) {
    EXPECT_TRUE(near(back.pixel(i, 640, 3), 0, 255, 0)) << "frame " << i;
    EXPECT_TRUE(near(back.pixel(i, 640, 716), 255, 0, 0)) << "frame " << i;
    EXPECT_TRUE(near(back.pixel(i, 640, 719), 255, 0, 0)) << "frame " << i << ": the bottom row";
    EXPECT_TRUE(near(back.pixel(i, 640, 710), 0, 0, 0)) << "frame " << i;
    EXPECT_TRUE(near(back.pixel(i, 1275, 360), 0, 0, 255)) << "frame " << i;
  }
}

TEST_F(Streams, RoutingAndRefusals) {
  ConfigFile conf("{\"streams\":[" + stream_json("both", file_props(media("h264_small.mp4"), "\"audio\":true,\"saveMp4\":false")) +
                  "," + stream_json("noaddr", file_props(media("h264_small.mp4"), "\"outputType\":\"mp4\",\"outputAddr\":\"\"")) +
                  "," + stream_json("weird", "\"inputType\":\"carrier-pigeon\",\"inputAddr\":\"x\"") + "," +
                  stream_json("nosize", "\"saveMp4\":true,\"width\":0,\"height\":240") + "]}");
  std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
  EXPECT_EQ(start_stream("missing", cb), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "There is no related stream information."));
  EXPECT_TRUE(cb);  // refused before anything took it

  // "audio" wins over the other switches; its output must be RTSP.
  EXPECT_EQ(start_stream("both", cb), -1);
  EXPECT_TRUE(log.contains("Start to launch audio stream. stream_id: both"));
  EXPECT_TRUE(log.contains_at("ERROR", "Un-supported output type. Please take a try to disable audio parameter."));

  std::function<int8_t(const Image&)> cb2 = [](const Image&) -> int8_t { return 0; };
  EXPECT_EQ(start_stream("noaddr", cb2), -1);
  EXPECT_TRUE(log.contains_at("ERROR",
                              "Mandatory parameter outputAddr missing in configuration file for saving mp4 file."));
  log.clear();
  EXPECT_EQ(start_stream("weird", cb2), -1);
  EXPECT_FALSE(log.contains("[ERROR]"));
  EXPECT_EQ(start_stream("nosize", cb2), -1);

  log.clear();
  EXPECT_EQ(start_stream_input_file(media("h264_small.mp4"), cb2, RTMPSINK, "", 0, 0, "x"), -1);
  EXPECT_EQ(log.count("[ERROR]"), 0u);
  EXPECT_EQ(start_stream_input_rtsp("rtsp://127.0.0.1:1/x", cb2, RTMPSINK, "", 0, 0, "x"), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Output stream type is not supported. Exit."));

  // A default id is replaced per input type; the server is absent, so it fails after
  // registering.
  StreamIns ins;
  ins.inputType = "rtsp";
  ins.inputAddr = "rtsp://127.0.0.1:9/none";
  EXPECT_EQ(start(ins, cb2), -1);
  EXPECT_TRUE(log.contains("Registration pipeline for stream id: nimbra_rtsp"));

  EXPECT_EQ(get_stream_status(), -1);
}

TEST_F(Streams, SplitStreamRefusals) {
  ConfigFile conf(R"({"streams":[
    {"streamsId":"l","pStreamId":"src","properties":{"inputType":"rtsp","inputAddr":"rtsp://127.0.0.1:1/a"}},
    {"streamsId":"r","pStreamId":"src","properties":{"inputType":"rtsp","inputAddr":"rtsp://127.0.0.1:1/b"}},
    {"streamsId":"o","pStreamId":"other","properties":{"inputType":"rtsp","inputAddr":"rtsp://127.0.0.1:1/a"}},
    {"streamsId":"n1","properties":{"inputType":"rtsp","inputAddr":"rtsp://127.0.0.1:1/a"}},
    {"streamsId":"n2","properties":{"inputType":"rtsp","inputAddr":"rtsp://127.0.0.1:1/a"}}]})");
  std::function<int8_t(const Image&)> c1 = [](const Image&) -> int8_t { return 0; }, c2 = c1;
  EXPECT_EQ(start_split_stream("l", c1, "missing", c2), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "There is no related stream information."));
  EXPECT_EQ(start_split_stream("l", c1, "o", c2), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "The input stream definition are not in the same source."));
  log.clear();
  EXPECT_EQ(start_split_stream("n1", c1, "n2", c2), -1);  // no parent named at all
  EXPECT_TRUE(log.contains_at("ERROR", "The input stream definition are not in the same source."));
  EXPECT_EQ(start_split_stream("l", c1, "r", c2), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "The input stream definition are not the same."));
}

TEST_F(Streams, UsbCameraMissingDeviceFails) {
  ConfigFile conf(R"({"streams":[{"streamsId":"usb","properties":{"inputType":"usbcam",
    "inputAddr":"/dev/video-nimbra-absent","width":640,"height":480}}]})");
  std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
  EXPECT_EQ(start_stream("usb", cb), -1);
  EXPECT_TRUE(log.contains("Registration pipeline for stream id: usb"));
  EXPECT_TRUE(log.contains_at("ERROR", "Pipeline failed."));
}

TEST_F(Streams, ClassicRunnerReturnsZeroAfterAnMp4Recording) {
  // The board runner with automatic rebuild, here on the soft elements.
  nimbra_internal::set_platform_tag_override("8550");
  const std::string out = tmp + "/c.mp4";
  ConfigFile conf("{\"streams\":[" +
                  stream_json("c", file_props(media("h264_small.mp4"), "\"outputType\":\"mp4\",\"outputAddr\":\"" +
                                                                           out + "\",\"manualRebuild\":false")) +
                  "]}");
  Frames f;
  auto cb = recorder(f);
  EXPECT_EQ(start_stream("c", cb), 0);
  nimbra_internal::set_platform_tag_override("");
  EXPECT_EQ(f.count.load(), 100);
  EXPECT_TRUE(log.contains("End-Of-Stream reached. Saving mp4 file exit."));
  RgbFrames back = decode_rgb(out, 0);
  EXPECT_EQ(back.count, 100u);
  EXPECT_EQ(back.height, 240);  // no padding on this board
}

TEST(Frames, GetDataDeepCopies) {
  std::vector<char> pixels(2 * 3 * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = (char)i;
  cv::Mat m = get_data(2, 3, pixels.data());
  ASSERT_EQ(m.rows, 2);
  ASSERT_EQ(m.cols, 3);
  EXPECT_EQ(m.type(), CV_8UC3);
  pixels[4] = 99;
  EXPECT_EQ(m.at<cv::Vec3b>(0, 1)[1], 4);  // not affected by the source changing
  EXPECT_NE((void*)m.data, (void*)pixels.data());
}

TEST(Frames, V4l2GetMatCropsAndSwapsChannels) {
  LogCapture log;
  // A 4x3 buffer holding a 3x2 picture; pixel (x, y) = (x, y, 200).
  std::vector<uint8_t> buf(4 * 3 * 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      uint8_t* p = &buf[(y * 4 + x) * 3];
      p[0] = (uint8_t)x, p[1] = (uint8_t)y, p[2] = 200;
    }
  Image img;
  img.data = buf.data();
  img.size = buf.size();
  img.width = 3;
  img.height = 2;
  img.src_width = 4;
  img.src_height = 3;
  cv::Mat out;
  ASSERT_EQ(v4l2_get_mat(out, img), 0);
  ASSERT_EQ(out.cols, 3);
  ASSERT_EQ(out.rows, 2);
  EXPECT_EQ(out.at<cv::Vec3b>(1, 2), cv::Vec3b(200, 1, 2));
  cv::Mat ori;
  ASSERT_EQ(v4l2_get_mat_ori(ori, img), 0);
  EXPECT_EQ(ori.cols, 4);
  EXPECT_EQ(ori.rows, 3);

  Image empty;
  EXPECT_EQ(v4l2_get_mat(out, empty), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "Input data is empty."));
  Image lying = img;
  lying.width = 10;  // larger than the buffer: refused, not read past the end
  EXPECT_EQ(v4l2_get_mat(out, lying), -1);
  Image short_buf = img;
  short_buf.size = 5;
  EXPECT_EQ(v4l2_get_mat(out, short_buf), -1);
}

TEST(Frames, DrawPicture) {
  std::vector<uint8_t> frame(4 * 2 * 3, 50), picture(4 * 2 * 3, 255);
  draw_picture(frame.data(), picture.data(), 4, 2);
  EXPECT_EQ(frame, std::vector<uint8_t>(24, 50));  // white is transparent
  std::fill(picture.begin(), picture.end(), 0);
  picture[0] = 241;  // first pixel transparent through one channel
  draw_picture(frame.data(), picture.data(), 4, 2);
  EXPECT_EQ(frame[0], 50);
  EXPECT_EQ(frame[3], 0);
  EXPECT_EQ(frame[23], 0);
  draw_picture(nullptr, picture.data(), 4, 2);
  draw_picture(frame.data(), picture.data(), 0, 2);
}

namespace {
// An output that swallows end-of-stream, like an RTSP client sink that never confirms it.
class SwallowingOutput : public StreamOutput {
 public:
  GstElement* build() override {
    GstElement* bin = gst_bin_new("swallowing-output");
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    gst_bin_add(GST_BIN(bin), sink);
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
                      [](GstPad*, GstPadProbeInfo* info, gpointer) {
                        return GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS ? GST_PAD_PROBE_DROP
                                                                                               : GST_PAD_PROBE_OK;
                      },
                      nullptr, nullptr);
    gst_object_unref(pad);
    createSinkPad(bin, sink);
    return bin;
  }
};
}  // namespace

TEST_F(Streams, AnOutputThatNeverConfirmsTheEndStillEndsTheStream) {
  ConfigFile conf("{\"streams\":[" + stream_json("sw", file_props(media("h264_small.mp4"))) + "]}");
  for (const std::string tag : {"ub2404", "8550"}) {
    nimbra_internal::set_platform_tag_override(tag);
    log.clear();
    Frames f;
    auto cb = recorder(f);
    StreamInputFile input(media("h264_small.mp4"), "sw");
    SwallowingOutput output;
    auto r = std::async(std::launch::async, [&] { return startStream(&input, &output, "sw", cb); });
    ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready) << tag;
    EXPECT_EQ(r.get(), 0) << tag;
    EXPECT_EQ(f.count.load(), 100) << tag;
    EXPECT_TRUE(log.contains_at("WARN", "End-of-stream reached the output, which did not confirm it")) << tag;
  }
  nimbra_internal::set_platform_tag_override("");
}
