// The four-camera composition run end to end through NimbraEngine against the RTSP test
// server: recorded (size, each camera's colour in its place, logo, text, detection layer),
// recorded and pushed, pushed only, ended by the engine, by id and by "all_stream" with the MP4 finalised; and the
// refusals (bad numbers, short task lists, a second composition, a broken description).
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <vector>

#include "StreamBuildMultiMerge.h"
#include "StreamRegistry.h"
#include "nimbra.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/rtsp_test_server.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::RtspTestServer;
using Params = std::unordered_map<std::string, std::string>;

namespace {

constexpr auto kGuard = std::chrono::seconds(180);  // hang guard only

// Four cameras of 240x136 in the corners of a 640x360 picture: a black cross between.
const char* const kPositions[4] = {"<0, 0>", "<400, 0>", "<0, 224>", "<400, 224>"};
const int kCamX[4] = {0, 400, 0, 400}, kCamY[4] = {0, 0, 224, 224};
constexpr int kCamW = 240, kCamH = 136;
// The test server's /camN mounts: red, green, blue, white.
const int kCamRgb[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
// The text overlay: red capitals inside camera 3 (white), below the area its colour is read from.
constexpr int kTextX = 430, kTextY = 310, kTextSize = 24;

Params camera(const std::string& url, int n, int width, int height) {
  return {{"subStreamId", "cam" + std::to_string(n)}, {"inputType", "rtsp"}, {"inputAddr", url},
          {"decodeType", "H264"}, {"width", std::to_string(width)}, {"height", std::to_string(height)},
          {"position", kPositions[n]}, {"dimensions", "<240, 136>"}};
}

// A detection model that finds one object, class 0 at 95 %, with its box
// (cx, cy, w, h) = (100, 180, 160, 60) in model space: frame pixels for a 640-wide frame.
std::string write_replay_model(const std::string& dir) {
  std::vector<float> box(4 * 8400, 0.0f), cls(80 * 8400, 0.0f);
  const int a = 1234;
  box[0 * 8400 + a] = 100;
  box[1 * 8400 + a] = 180;
  box[2 * 8400 + a] = 160;
  box[3 * 8400 + a] = 60;
  cls[a] = 0.95f;
  std::ofstream(dir + "/box.bin", std::ios::binary).write((const char*)box.data(), box.size() * 4);
  std::ofstream(dir + "/cls.bin", std::ios::binary).write((const char*)cls.data(), cls.size() * 4);
  write_file(dir + "/model.replay.json",
             "{\"outputs\":[{\"file\":\"box.bin\",\"shape\":[1,4,8400]},{\"file\":\"cls.bin\",\"shape\":[1,80,8400]}]}");
  write_file(dir + "/labels.txt", "person\n");
  return dir + "/model.replay.json";
}

Params output(const std::string& type, const std::string& addr, const std::string& logo) {
  return {{"subStreamId", "out"}, {"outputType", type}, {"outputAddr", addr}, {"encodeType", "H264"},
          {"width", "640"}, {"height", "360"}, {"logo_path", logo}, {"logo_width", "16"}, {"logo_height", "16"},
          {"logo_loc_x", "296"}, {"logo_loc_y", "20"}, {"logo_loc_width", "48"}, {"logo_loc_height", "48"},
          {"text_str", "NIMBRA"}, {"text_loc_x", std::to_string(kTextX)}, {"text_loc_y", std::to_string(kTextY)},
          {"text_font_size", std::to_string(kTextSize)}};
}

// Counts buffers passing a named element's pad of the running composition.
struct PadCounter {
  std::atomic<int> n{0};
  static GstPadProbeReturn probe(GstPad*, GstPadProbeInfo*, gpointer d) {
    ++static_cast<PadCounter*>(d)->n;
    return GST_PAD_PROBE_OK;
  }
};

// Waits until the composition is registered with its pipeline, then counts buffers at
// element `name`'s first sink pad.
bool watch_pad(const char* name, PadCounter* counter) {
  GstElement* pipeline = nullptr;
  if (!wait_until(
          [&] {
            auto e = nimbra_internal::find_entry(kMultiMergeStreamId);
            pipeline = e ? e->pipeline_ref() : nullptr;
            return pipeline != nullptr;
          },
          kGuard))
    return false;
  GstElement* el = gst_bin_get_by_name(GST_BIN(pipeline), name);
  gst_object_unref(pipeline);
  if (!el) return false;
  GstIterator* it = gst_element_iterate_sink_pads(el);
  GValue v = G_VALUE_INIT;
  bool ok = gst_iterator_next(it, &v) == GST_ITERATOR_OK;
  if (ok) gst_pad_add_probe(GST_PAD(g_value_get_object(&v)), GST_PAD_PROBE_TYPE_BUFFER, PadCounter::probe, counter,
                            nullptr);
  g_value_unset(&v);
  gst_iterator_free(it);
  gst_object_unref(el);
  return ok;
}

double mean_luma(const RgbFrames& f, size_t frame, int x0, int y0, int w, int h) {
  double sum = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) {
      const uint8_t* p = f.pixel(frame, x, y);
      sum += (p[0] + p[1] + p[2]) / 3.0;
    }
  return sum / (w * h);
}

// Pixel checks on one packed RGB frame `width` pixels wide.
struct Rgb {
  const uint8_t* data;
  int width;
  const uint8_t* at(int x, int y) const { return data + ((size_t)y * width + x) * 3; }
};

void mean_rgb(Rgb f, int x0, int y0, int w, int h, double out[3]) {
  out[0] = out[1] = out[2] = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x)
      for (int c = 0; c < 3; ++c) out[c] += f.at(x, y)[c];
  for (int c = 0; c < 3; ++c) out[c] /= (double)w * h;
}

// Empty when every camera's colour fills its place (well inside, away from the text);
// otherwise what is wrong.
std::string cameras_misplaced(Rgb f) {
  std::string why;
  for (int n = 0; n < 4; ++n) {
    double m[3];
    mean_rgb(f, kCamX[n] + 20, kCamY[n] + 10, kCamW - 40, 50, m);
    for (int c = 0; c < 3; ++c)
      // Wide enough for coding losses and a 601/709 matrix difference at 1080p, still far
      // from any other camera's colour (they differ by 255 in some channel).
      if (std::abs(m[c] - kCamRgb[n][c]) > 70) {
        why += "camera " + std::to_string(n) + " mean rgb " + std::to_string((int)m[0]) + "," +
               std::to_string((int)m[1]) + "," + std::to_string((int)m[2]) + "; ";
        break;
      }
  }
  return why;
}

// Pixels clearly red (the text colour) in an area of the white camera.
int red_pixels(Rgb f, int x0, int y0, int w, int h) {
  int n = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) {
      const uint8_t* p = f.at(x, y);
      n += p[0] > 150 && p[0] - p[1] > 80 && p[0] - p[2] > 80;
    }
  return n;
}

// The decoded frames of a recording, one at a time (a 1080p recording is too big to keep).
template <typename Fn>
int for_each_frame(const std::string& path, Fn fn) {
  GstElement* p = gst_parse_launch(("filesrc location=\"" + path +
                                    "\" ! decodebin ! videoconvert ! video/x-raw,format=RGB ! "
                                    "appsink name=sink sync=false")
                                       .c_str(),
                                   nullptr);
  if (!p) return 0;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  int count = 0;
  std::vector<uint8_t> packed;
  while (GstSample* smp = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstVideoInfo vi;
    GstBuffer* b = gst_sample_get_buffer(smp);
    GstMapInfo m;
    if (gst_video_info_from_caps(&vi, gst_sample_get_caps(smp)) && gst_buffer_map(b, &m, GST_MAP_READ)) {
      const size_t row = (size_t)vi.width * 3, stride = GST_VIDEO_INFO_PLANE_STRIDE(&vi, 0);
      packed.resize(row * vi.height);
      for (int y = 0; y < vi.height && (size_t)y * stride + row <= m.size; ++y)
        memcpy(&packed[(size_t)y * row], m.data + (size_t)y * stride, row);
      gst_buffer_unmap(b, &m);
      fn(Rgb{packed.data(), vi.width}, vi.height);
      ++count;
    }
    gst_sample_unref(smp);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return count;
}

class MultiMergeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init_once();
    dir_ = make_temp_dir();
    logo_ = dir_ + "/logo.png";
    ASSERT_TRUE(run_to_end("videotestsrc num-buffers=1 pattern=red ! video/x-raw,width=16,height=16 ! pngenc ! "
                           "filesink location=" + logo_));
    model_ = write_replay_model(dir_);
  }
  void TearDown() override { remove_tree(dir_); }

  // Four cameras from `server`, one recording output, the replay model. The cameras are
  // the four colours, or (`bars`) moving bars, two of them with an audio track.
  void fill(NimbraEngine& engine, RtspTestServer& server, int width, int height, bool bars = false) {
    for (int n = 0; n < 4; ++n) {
      const std::string mount = bars ? (n % 2 ? "/h264aac" : "/h264") : "/cam" + std::to_string(n);
      Params cam = camera(server.url(mount), n, width, height);
      ASSERT_EQ(0, engine.add_task(MultiVideoDecode, cam));
    }
    Params rec = output("File", dir_ + "/rec.mp4", logo_);
    ASSERT_EQ(0, engine.add_task(MultiVideoEncode, rec));
    Params ml = {{"Model", model_}, {"MlModule", "yolov8"}, {"Labels", dir_ + "/labels.txt"}};
    ASSERT_EQ(0, engine.add_task(MlInference, ml));
  }

  std::string dir_, logo_, model_;
};

TEST_F(MultiMergeRun, RecordsFourCamerasWithOverlayAndDetections) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeToFile);
  fill(engine, server, 640, 360);

  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 30; }, kGuard)) << muxed.n;

  // A second composition while this one runs is refused and leaves it running.
  NimbraEngine second(MergeToFile);
  fill(second, server, 640, 360);
  EXPECT_EQ(-1, second.start());
  const int before = muxed.n;
  ASSERT_TRUE(wait_until([&] { return muxed.n > before + 5; }, kGuard));

  engine.stop();
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);

  nimbra_test::MediaInfo info = nimbra_test::count_frames(dir_ + "/rec.mp4");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(640, info.width);
  EXPECT_EQ(360, info.height);
  EXPECT_GE(info.frames, 30);

  RgbFrames f = decode_rgb(dir_ + "/rec.mp4");
  ASSERT_GE(f.frames.size(), 30u);
  // The latest frame with every camera in its place: while the stop drains, cameras that
  // have ended leave their place black in the last frames.
  size_t last = f.frames.size() - 1;
  const std::string last_why = cameras_misplaced(Rgb{f.frames[last].data(), f.width});
  while (last > 0 && !cameras_misplaced(Rgb{f.frames[last].data(), f.width}).empty()) --last;
  const Rgb lastf{f.frames[last].data(), f.width};
  ASSERT_EQ("", cameras_misplaced(lastf)) << "no frame composed; the last one: " << last_why;
  EXPECT_LT(mean_luma(f, last, 250, 150, 140, 60), 40);  // the uncovered cross stays black
  EXPECT_TRUE(near(f.pixel(last, 320, 44), 255, 0, 0, 70)) << "logo";
  // The text is drawn red on the white camera where the overlay puts it; the same area
  // of that camera just above it stays white.
  EXPECT_GE(red_pixels(lastf, kTextX, kTextY, 200, 40), 60);
  EXPECT_EQ(0, red_pixels(lastf, kTextX, kTextY - 45, 200, 40));
  // The detection layer draws its box edge at x = 20 (rows 150..210) on some frames.
  bool box_seen = false;
  for (size_t k = 0; k < f.frames.size() && !box_seen; ++k) {
    const uint8_t* p = f.pixel(k, 21, 180);
    box_seen = p[1] > 120 && p[0] < 110 && p[2] < 110;
  }
  EXPECT_TRUE(box_seen);
}

TEST_F(MultiMergeRun, RecordsAndPushesUntilAllStreamShutdown) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeToFileAndRtsp);
  // The push branch is written for a 1080p picture.
  fill(engine, server, 1920, 1080);
  Params push = output("rtsp", server.url("/record/merge"), logo_);
  ASSERT_EQ(0, engine.add_task(MultiVideoEncode, push));

  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(server.wait_video_frames("/record/merge", 10, kGuard));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 10; }, kGuard));

  gstreamer_pipeline_shutdown("all_stream");
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  nimbra_test::MediaInfo info = nimbra_test::count_frames(dir_ + "/rec.mp4");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(1920, info.width);
  EXPECT_EQ(1080, info.height);
  EXPECT_GE(info.frames, 10);
}

TEST_F(MultiMergeRun, PushesOnlyToTheRecordMount) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeToRtsp);
  fill(engine, server, 1920, 1080);
  Params push = output("rtsp", server.url("/record/pushed"), logo_);
  ASSERT_EQ(0, engine.add_task(MultiVideoEncode, push));

  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  // Past the cameras' first key frames (one a second), so the later pictures are whole.
  ASSERT_TRUE(server.wait_video_frames("/record/pushed", 40, kGuard));
  engine.stop();
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);
  auto file = server.wait_record_closed("/record/pushed", kGuard);
  ASSERT_TRUE(file.has_value());
  EXPECT_NE(0, access((dir_ + "/rec.mp4").c_str(), F_OK)) << "push only, yet a file was written";

  nimbra_test::MediaInfo info = nimbra_test::count_frames(*file);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ("video/x-h264", info.video_codec);
  EXPECT_EQ(1920, info.width);
  EXPECT_EQ(1080, info.height);
  EXPECT_GE(info.frames, 40);
  // The pushed picture carries the four cameras in their places and the text.
  int composed = 0;
  std::string why;
  const int decoded = for_each_frame(*file, [&](Rgb f, int) {
    const int text = red_pixels(f, kTextX, kTextY, 200, 40), above = red_pixels(f, kTextX, kTextY - 45, 200, 40);
    why = cameras_misplaced(f) + "text " + std::to_string(text) + ", above it " + std::to_string(above);
    composed += cameras_misplaced(f).empty() && text >= 60 && above == 0;
  });
  EXPECT_EQ(info.frames, decoded);
  EXPECT_GT(composed, 0) << "no frame composed; the last one: " << why;
}

TEST_F(MultiMergeRun, DirectRecordingEndsByIdWithAFinalisedFile) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeNoPush);
  fill(engine, server, 640, 360);
  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 15; }, kGuard));
  gstreamer_pipeline_shutdown(kMultiMergeStreamId);
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  nimbra_test::MediaInfo info = nimbra_test::count_frames(dir_ + "/rec.mp4");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(640, info.width);
  EXPECT_GE(info.frames, 15);
}

TEST_F(MultiMergeRun, SigintEndsTheCompositionWithAFinalisedFile) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeNoPush);
  fill(engine, server, 640, 360, /*bars=*/true);
  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 15; }, kGuard));
  ASSERT_EQ(0, kill(getpid(), SIGINT));
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  nimbra_test::MediaInfo info = nimbra_test::count_frames(dir_ + "/rec.mp4");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GE(info.frames, 15);
}

// A task list as a user first writes it: the recording output typed "mp4", no logo, no
// text and no model, and the picture size named by the main output. It records the four
// cameras, each in its tile of a picture of that size.
TEST_F(MultiMergeRun, RecordsWithoutModelOrOverlaysAtTheSizeTheMainOutputNames) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  LogCapture log;
  NimbraEngine engine(MergeToFile);
  const char* tiles[4] = {"<0, 0>", "<240, 0>", "<0, 136>", "<240, 136>"};
  for (int n = 0; n < 4; ++n) {
    Params cam = camera(server.url("/cam" + std::to_string(n)), n, 640, 360);
    cam["position"] = tiles[n];
    ASSERT_EQ(0, engine.add_task(MultiVideoDecode, cam));
  }
  Params rec = {{"subStreamId", "rec"}, {"outputType", "mp4"}, {"outputAddr", dir_ + "/rec.mp4"},
                {"encodeType", "H264"}, {"width", "480"}, {"height", "272"}};
  ASSERT_EQ(0, engine.add_task(MultiVideoEncode, rec));
  Params main_out = {{"outputType", "mp4"}, {"outputAddr", dir_ + "/rec.mp4"}, {"encodeType", "H264"},
                     {"width", "480"}, {"height", "272"}};
  ASSERT_EQ(0, engine.add_task(VideoEncode, main_out));

  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 30; }, kGuard)) << muxed.n;
  engine.stop();
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(0, run.get());
  EXPECT_TRUE(log.contains_at("INFO", "No MlInference task: the composition runs without detection."));
  EXPECT_EQ(log.count("[ERROR]"), 0u) << log.text();

  RgbFrames f = decode_rgb(dir_ + "/rec.mp4");
  ASSERT_GE(f.frames.size(), 30u);
  EXPECT_EQ(480, f.width);
  EXPECT_EQ(272, f.height);
  // Some frame has every camera's colour in its tile (the last ones may lose cameras
  // that ended first while the stop drained).
  bool composed = false;
  std::string why;
  for (size_t k = 0; k < f.frames.size() && !composed; ++k) {
    why.clear();
    for (int n = 0; n < 4; ++n) {
      double m[3];
      mean_rgb(Rgb{f.frames[k].data(), f.width}, (n % 2) * 240 + 40, (n / 2) * 136 + 30, 160, 76, m);
      for (int c = 0; c < 3; ++c)
        if (std::abs(m[c] - kCamRgb[n][c]) > 70) why += "camera " + std::to_string(n) + "; ";
    }
    composed = why.empty();
  }
  EXPECT_TRUE(composed) << why;
}

// Cameras that die under a running recording fail the run, and what was recorded up to
// then is a finalised file.
TEST_F(MultiMergeRun, CamerasThatDieLeaveAFinalisedRecording) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  NimbraEngine engine(MergeToFile);
  fill(engine, server, 640, 360);
  auto run = std::async(std::launch::async, [&] { return engine.start(); });
  PadCounter muxed;
  ASSERT_TRUE(watch_pad("mp4mux_0", &muxed));
  ASSERT_TRUE(wait_until([&] { return muxed.n >= 60; }, kGuard));
  server.kill_hard();
  ASSERT_EQ(std::future_status::ready, run.wait_for(kGuard));
  EXPECT_EQ(-1, run.get());
  EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);
  nimbra_test::MediaInfo info = nimbra_test::count_frames(dir_ + "/rec.mp4");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GE(info.frames, 60);
}

// Stops racing the start (before the registration, while building, while playing) never
// hang it, never leave it registered, and never turn a stop into a failure.
TEST_F(MultiMergeRun, StopsRacingTheStart) {
  RtspTestServer::Options o;
  o.width = 320;
  o.height = 180;
  RtspTestServer server(o);
  for (int round = 0; round < 3; ++round) {
    NimbraEngine engine(MergeNoPush);
    fill(engine, server, 640, 360, /*bars=*/true);
    auto run = std::async(std::launch::async, [&] { return engine.start(); });
    // Keep stopping until the start has returned: whichever stop lands first ends it.
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (run.wait_for(std::chrono::milliseconds(round * 20)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < end)
      engine.stop();
    ASSERT_EQ(std::future_status::ready, run.wait_for(std::chrono::seconds(0)));
    EXPECT_EQ(0, run.get()) << "round " << round;
    EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);
  }
}

// ---- the detection branch's elements on their own ----

class MlBranch : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init_once();
    dir_ = make_temp_dir();
    model_ = write_replay_model(dir_);
  }
  void TearDown() override { remove_tree(dir_); }

  // The last overlay frame (BGRA, 640x360) of three NV12 frames through the branch;
  // empty when the pipeline fails.
  std::vector<uint8_t> overlay(const std::string& detection_props, const std::string& model) {
    const std::string desc =
        "videotestsrc num-buffers=3 ! video/x-raw,format=NV12,width=640,height=360,framerate=25/1 ! "
        "qtimlvconverter ! qtimlqnn model=" + model + " backend=none ! qtimlvdetection " + detection_props +
        " ! video/x-raw(memory:GBM) ! appsink name=out sync=false";
    GError* err = nullptr;
    GstElement* p = gst_parse_launch(desc.c_str(), &err);
    std::vector<uint8_t> last;
    if (err) {
      ADD_FAILURE() << err->message;
      g_error_free(err);
      if (p) gst_object_unref(p);
      return last;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "out");
    if (gst_element_set_state(p, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
      while (GstSample* smp = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        GstStructure* st = gst_caps_get_structure(gst_sample_get_caps(smp), 0);
        int w = 0, h = 0;
        gst_structure_get_int(st, "width", &w);
        gst_structure_get_int(st, "height", &h);
        EXPECT_EQ(640, w);
        EXPECT_EQ(360, h);
        EXPECT_STREQ("BGRA", gst_structure_get_string(st, "format"));
        GstMapInfo m;
        GstBuffer* b = gst_sample_get_buffer(smp);
        gst_buffer_map(b, &m, GST_MAP_READ);
        last.assign(m.data, m.data + m.size);
        gst_buffer_unmap(b, &m);
        gst_sample_unref(smp);
      }
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(p);
    return last;
  }
  static const uint8_t* px(const std::vector<uint8_t>& f, int x, int y) { return &f[((size_t)y * 640 + x) * 4]; }

  std::string dir_, model_;
};

TEST_F(MlBranch, DrawsTheDetectionAboveTheThresholdOnly) {
  std::vector<uint8_t> f = overlay("threshold=75 results=10 module=yolov8 labels=" + dir_ + "/labels.txt", model_);
  ASSERT_EQ(640u * 360 * 4, f.size());
  const uint8_t* edge = px(f, 20, 180);  // left edge of the box (20, 150, 160, 60)
  EXPECT_TRUE(edge[0] == 0 && edge[1] == 255 && edge[2] == 0 && edge[3] == 255);
  EXPECT_EQ(0, px(f, 100, 180)[3]);  // inside the box: transparent
  EXPECT_EQ(0, px(f, 400, 300)[3]);  // elsewhere: transparent

  // 95 % is below a 96 % threshold, and results=0 draws nothing.
  for (const char* props : {"threshold=96 module=yolov8", "threshold=75 results=0 module=yolov8-detection"}) {
    f = overlay(props, model_);
    ASSERT_EQ(640u * 360 * 4, f.size()) << props;
    size_t opaque = 0;
    for (size_t i = 3; i < f.size(); i += 4) opaque += f[i] != 0;
    EXPECT_EQ(0u, opaque) << props;
  }
}

TEST_F(MlBranch, UnusableModelOrModuleFailsTheStart) {
  EXPECT_TRUE(overlay("module=yolov8", dir_ + "/missing.replay.json").empty());
  EXPECT_TRUE(overlay("module=ssd", model_).empty());
}

// ---- refusals, no server needed ----

TEST(MultiMergeEngine, NonNumericValueIsRefusedAndNothingStored) {
  NimbraEngine engine(MergeNoPush);
  for (int n = 0; n < 3; ++n) {
    Params cam = camera("rtsp://127.0.0.1:1/x", n, 640, 360);
    ASSERT_EQ(0, engine.add_task(MultiVideoDecode, cam));
  }
  Params bad = camera("rtsp://127.0.0.1:1/x", 3, 640, 360);
  bad["width"] = "wide";
  EXPECT_EQ(-1, engine.add_task(MultiVideoDecode, bad));
  Params out = output("File", "/nonexistent/rec.mp4", "");
  out["logo_loc_x"] = "left";
  EXPECT_EQ(-1, engine.add_task(MultiVideoEncode, out));
  Params enc = {{"outputType", "File"}, {"outputAddr", "x"}, {"encodeType", "H264"}, {"height", "99999999999"}};
  EXPECT_EQ(-1, engine.add_task(VideoEncode, enc));
  // The refused camera was not stored: three inputs are refused before anything runs.
  EXPECT_EQ(-1, engine.start());
  // Leading blanks and trailing text are still read as the number they start with.
  Params lenient = camera("rtsp://127.0.0.1:1/x", 3, 640, 360);
  lenient["height"] = "  360px";
  EXPECT_EQ(0, engine.add_task(MultiVideoDecode, lenient));
}

TEST(MultiMergeEngine, MissingKeysAndOtherTaskKindsAreRefused) {
  NimbraEngine engine(MergeToFile);
  Params cam = camera("rtsp://127.0.0.1:1/x", 0, 640, 360);
  cam.erase("subStreamId");
  EXPECT_EQ(-1, engine.add_task(MultiVideoDecode, cam));
  Params io = {{"inputType", "rtsp"}, {"inputAddr", "x"}, {"decodeType", "H264"}, {"IOType", "rtsp"}};
  EXPECT_EQ(-1, engine.add_task(VideoIO, io));
  io["IOType"] = "Rtsp";
  EXPECT_EQ(-1, engine.add_task(VideoIO, io));
  Params none;
  EXPECT_EQ(-1, engine.add_task(InferenceCB, none));
  EXPECT_EQ(-1, engine.add_task(static_cast<TaskType>(9), none));
}

TEST(MultiMergeEngine, StartResults) {
  NimbraEngine idle(static_cast<ScenarioType>(2));
  EXPECT_EQ(0, idle.start());  // starts nothing
  stop_multi_merge();          // nothing runs: only logged

  // A description that does not parse is reported, and nothing stays registered.
  NimbraEngine broken(MergeNoPush);
  for (int n = 0; n < 4; ++n) {
    Params cam = camera("rtsp://127.0.0.1:1/x ! no-such-element", n, 640, 360);
    ASSERT_EQ(0, broken.add_task(MultiVideoDecode, cam));
  }
  EXPECT_EQ(-1, broken.start());
  EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);

  // An output that cannot be opened: the composition does not play, -1.
  NimbraEngine unwritable(MergeNoPush);
  for (int n = 0; n < 4; ++n) {
    Params cam = camera("rtsp://127.0.0.1:1/none", n, 640, 360);
    ASSERT_EQ(0, unwritable.add_task(MultiVideoDecode, cam));
  }
  Params bad_rec = output("File", "/nonexistent-dir/rec.mp4", "");
  ASSERT_EQ(0, unwritable.add_task(MultiVideoEncode, bad_rec));
  EXPECT_EQ(-1, unwritable.start());
}

TEST(MultiMergeEngine, UnreachableCamerasFailTheRun) {
  // Cameras that cannot be reached fail the run while it plays: -1, not 0.
  const std::string dir = make_temp_dir();
  NimbraEngine unreachable(MergeNoPush);
  for (int n = 0; n < 4; ++n) {
    Params cam = camera("rtsp://127.0.0.1:1/none", n, 640, 360);
    ASSERT_EQ(0, unreachable.add_task(MultiVideoDecode, cam));
  }
  Params rec = output("File", dir + "/rec.mp4", "");
  ASSERT_EQ(0, unreachable.add_task(MultiVideoEncode, rec));
  EXPECT_EQ(-1, unreachable.start());
  EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);
  remove_tree(dir);
}

}  // namespace
