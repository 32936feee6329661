// Event clips of a stream: its encoded input kept in a segment ring, a clip written for
// each new event from the stream's own frame callback feeding its tracked objects (as a
// host with its own detector does). The source video carries its frame number in its
// pixels, so what a clip holds is read back with a stock decoder and compared with the
// frame the event was made on, independently of the library's own bookkeeping.
#include <gst/pbutils/pbutils.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <map>
#include <mutex>

#include "StreamEventClips.h"
#include "StreamEvents.h"
#include "nimbra.h"
#include "nimbra_test/poll.h"
#include "nimbra_test/temp_dir.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using nimbra_test::poll_until;
using nimbra_test::TempDir;

namespace {

constexpr auto kLimit = std::chrono::seconds(120);
constexpr int kW = 320, kH = 240, kFps = 25, kBits = 10, kBlock = 32;

// Frame n shows n in binary: kBits blocks of 32x32 along the top, white for 1.
void draw_number(uint8_t* rgb, int n) {
  memset(rgb, 90, (size_t)kW * kH * 3);
  for (int bit = 0; bit < kBits; ++bit) {
    const uint8_t v = (n >> bit) & 1 ? 255 : 0;
    for (int y = 0; y < kBlock; ++y)
      for (int x = bit * kBlock; x < (bit + 1) * kBlock; ++x) memset(rgb + ((size_t)y * kW + x) * 3, v, 3);
  }
}

// The number a picture shows; `row_bytes` is the distance between rows.
int read_number(const uint8_t* rgb, size_t row_bytes) {
  int n = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const uint8_t* px = rgb + (size_t)(kBlock / 2) * row_bytes + (size_t)(bit * kBlock + kBlock / 2) * 3;
    if ((px[0] + px[1] + px[2]) / 3 > 128) n |= 1 << bit;
  }
  return n;
}

// An H.264 MP4 of `frames` numbered frames, a keyframe every second.
bool write_numbered_clip(const std::string& path, int frames) {
  nimbra_test_util::gst_init_once();
  const std::string desc = "appsrc name=src format=time caps=video/x-raw,format=RGB,width=" + std::to_string(kW) +
                           ",height=" + std::to_string(kH) + ",framerate=" + std::to_string(kFps) +
                           "/1 ! videoconvert ! video/x-raw,format=I420 ! x264enc speed-preset=ultrafast key-int-max=" + std::to_string(kFps) +
                           " bframes=0 ! h264parse ! mp4mux ! filesink location=\"" + path + "\"";
  GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
  if (!p) return false;
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  gst_element_set_state(p, GST_STATE_PLAYING);
  for (int i = 0; i < frames; ++i) {
    GstBuffer* b = gst_buffer_new_allocate(nullptr, (size_t)kW * kH * 3, nullptr);
    GstMapInfo m;
    gst_buffer_map(b, &m, GST_MAP_WRITE);
    draw_number(m.data, i);
    gst_buffer_unmap(b, &m);
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, kFps);
    GST_BUFFER_DURATION(b) = gst_util_uint64_scale(1, GST_SECOND, kFps);
    GstFlowReturn ret;
    g_signal_emit_by_name(src, "push-buffer", b, &ret);
    gst_buffer_unref(b);
  }
  GstFlowReturn ret;
  g_signal_emit_by_name(src, "end-of-stream", &ret);
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* msg =
      gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_object_unref(src);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
  return ok;
}

struct Discovered {
  bool ok = false;
  std::string codec;
  double duration_s = 0;
};

// What GStreamer's own discoverer makes of a file.
Discovered discover(const std::string& path) {
  Discovered d;
  GError* err = nullptr;
  GstDiscoverer* disc = gst_discoverer_new(30 * GST_SECOND, &err);
  if (!disc) return d;
  gchar* uri = gst_filename_to_uri(path.c_str(), nullptr);
  GstDiscovererInfo* info = gst_discoverer_discover_uri(disc, uri, &err);
  g_free(uri);
  if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK) {
    GList* videos = gst_discoverer_info_get_video_streams(info);
    if (videos) {
      GstCaps* caps = gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(videos->data));
      d.codec = gst_structure_get_name(gst_caps_get_structure(caps, 0));
      gst_caps_unref(caps);
      d.ok = true;
    }
    gst_discoverer_stream_info_list_free(videos);
    d.duration_s = (double)gst_discoverer_info_get_duration(info) / GST_SECOND;
  }
  if (info) gst_discoverer_info_unref(info);
  if (err) g_error_free(err);
  g_object_unref(disc);
  return d;
}

// The numbers of every frame of a file, decoded by decodebin.
std::vector<int> numbers_in(const std::string& path) {
  std::vector<int> out;
  const auto frames = nimbra_test_util::decode_rgb(path);
  for (const auto& f : frames.frames) out.push_back(read_number(f.data(), (size_t)frames.width * 3));
  return out;
}

}  // namespace

class EventClips : public ::testing::Test {
 protected:
  void SetUp() override {
    nimbra_test_util::gst_init_once();
    const char* src = getenv("NIMBRA_SOURCE_DIR");
    ASSERT_TRUE(src);
    setenv("NIMBRA_CONCATE_SCRIPT", (std::string(src) + "/platform/concate_video.py").c_str(), 1);
    set_event_poll_capacity(100000);
    std::vector<Event> old;
    poll_events(old, 100000, 0);
  }
};

// Three tracks appear on frames 200, 230 (1.2 s later: their clips share segments) and
// 480 (20 frames before the end: its post-roll runs past the end of the stream).
TEST_F(EventClips, EachNewEventGetsAClipCoveringItAndCloseEventsShareSegments) {
  TempDir dir("nimbra-clips");
  const std::string video = dir.file("numbered.mp4");
  constexpr int kFrames = 500;
  ASSERT_TRUE(write_numbered_clip(video, kFrames));
  const std::string clips = dir.file("clips");
  nimbra_test_util::ConfigFile conf(nimbra_test_util::config({nimbra_test_util::entry(
      "clipcam", "\"inputType\":\"file\",\"inputAddr\":\"" + video +
                     "\",\"decodeType\":\"H264\",\"events\":{\"minFrames\":1},"
                     "\"eventClips\":{\"pre\":2,\"post\":2,\"ringSeconds\":8,\"segmentSeconds\":1,\"dir\":\"" +
                     clips + "\"}")}));

  const std::map<int, int64_t> starts = {{200, 1}, {230, 2}, {480, 3}};  // frame -> track
  std::mutex m;
  std::map<int64_t, int64_t> event_pts;  // track -> PTS of the frame its new event was made on
  std::atomic<int> frames_seen{0}, misread{0};
  int last_number = -1;
  FrameCallback cb = [&](const Image& img) -> int8_t {
    const size_t row = img.height > 0 ? img.size / img.height : 0;
    const int n = read_number(img.data, row);
    if (n != last_number + 1) ++misread;  // the stream itself must arrive whole and in order
    last_number = n;
    ++frames_seen;
    std::vector<DetectedObject> objects;
    for (const auto& [first, track] : starts) {
      if (n < first || n >= first + 5) continue;
      DetectedObject o;
      o.track_id = track;
      o.label = "person";
      o.confidence = 0.9f;
      o.x = 40, o.y = 60, o.width = 50, o.height = 100;
      objects.push_back(o);
      if (n == first) {
        std::lock_guard<std::mutex> g(m);
        event_pts[track] = img.pts;
      }
    }
    feed_event_frame(EventFrame{"clipcam", n, img.pts, img.width, img.height, 0}, objects);
    return 0;
  };
  ASSERT_EQ(start_stream("clipcam", cb), 0);
  end_stream_events("clipcam");
  EXPECT_EQ(frames_seen.load(), kFrames);
  EXPECT_EQ(misread.load(), 0);

  // Every new event's clip, announced by a clip event naming it.
  std::map<std::string, Event> news;  // id -> event
  std::vector<Event> clip_events;
  ASSERT_TRUE(poll_until(
      [&] {
        std::vector<Event> batch;
        poll_events(batch, 1000, 0);
        for (Event& e : batch) {
          if (e.stream_id != "clipcam") continue;
          if (e.type == EventType::New) news[e.id] = e;
          if (e.type == EventType::Clip) clip_events.push_back(e);
        }
        return clip_events.size() >= 3;
      },
      kLimit));
  ASSERT_EQ(news.size(), 3u);
  std::map<int64_t, std::pair<int, int>> ranges;  // track -> first and last frame number in its clip
  for (const Event& c : clip_events) {
    SCOPED_TRACE(event_to_json(c));
    ASSERT_TRUE(news.count(c.clip_event_id)) << "a clip of an event that is not a new event";
    const Event& source = news[c.clip_event_id];
    EXPECT_EQ(c.track_id, source.track_id);
    EXPECT_EQ(c.label, "person");
    EXPECT_GT(c.sequence, source.sequence);
    EXPECT_EQ(c.clip_path.rfind(clips + "/clipcam-", 0), 0u);
    Json::Value j;
    ASSERT_TRUE(Json::Reader().parse(event_to_json(c), j));
    EXPECT_EQ(j["type"].asString(), "clip");
    EXPECT_EQ(j["clip_path"].asString(), c.clip_path);
    EXPECT_EQ(j["clip_event_id"].asString(), source.id);

    const Discovered d = discover(c.clip_path);
    ASSERT_TRUE(d.ok) << "the discoverer cannot read " << c.clip_path;
    EXPECT_EQ(d.codec, "video/x-h264");

    const std::vector<int> numbers = numbers_in(c.clip_path);
    ASSERT_FALSE(numbers.empty());
    for (size_t i = 1; i < numbers.size(); ++i)
      ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "the clip skips or repeats frames at " << i;
    // The clip's length as the discoverer reads it agrees with the frames it holds.
    EXPECT_NEAR(d.duration_s, (double)numbers.size() / kFps, 0.1);
    ranges[c.track_id] = {numbers.front(), numbers.back()};

    int first_frame = -1;
    for (const auto& [f, t] : starts)
      if (t == c.track_id) first_frame = f;
    ASSERT_GE(first_frame, 0);
    // pre and post are 2 s: 50 frames each side, cut short only by the ends of the video.
    EXPECT_LE(numbers.front(), std::max(0, first_frame - 2 * kFps));
    EXPECT_GE(numbers.back(), std::min(kFrames - 1, first_frame + 2 * kFps));
    // ... and at most about a segment (1 s, cut at a keyframe) more on each side.
    EXPECT_GE(numbers.front(), first_frame - 2 * kFps - kFps - 1);
    EXPECT_LE(numbers.back(), first_frame + 2 * kFps + kFps + 1);
    // The PTS range the event announces holds the event's frame, as the video does.
    std::lock_guard<std::mutex> g(m);
    EXPECT_LE(c.clip_start_pts_ns, event_pts[c.track_id] - 2 * (int64_t)GST_SECOND);
    EXPECT_GE(c.clip_end_pts_ns, std::min<int64_t>(event_pts[c.track_id] + 2 * (int64_t)GST_SECOND,
                                                   (int64_t)kFrames * GST_SECOND / kFps));
  }
  // The two close events' clips overlap: they were cut from the same segments, and each
  // still holds its own whole range (checked above).
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_LT(ranges[2].first, ranges[1].second);
  EXPECT_EQ(ranges[3].second, kFrames - 1);

  // Once the stream and its clips are done, its ring is removed.
  ASSERT_TRUE(nimbra_internal::wait_event_clips(60));
  EXPECT_TRUE(poll_until([&] { return nimbra_test_util::segments(clips + "/.ring/clipcam").empty(); }, kLimit));
}

// A bad "eventClips" costs one error line and the clips; the stream runs as before.
TEST_F(EventClips, BadKeysAreOneErrorAndTheStreamRunsWithoutClips) {
  TempDir dir("nimbra-clips-bad");
  const std::string video = dir.file("numbered.mp4");
  ASSERT_TRUE(write_numbered_clip(video, 50));
  nimbra_test_util::ConfigFile conf(nimbra_test_util::config({nimbra_test_util::entry(
      "badclips", "\"inputType\":\"file\",\"inputAddr\":\"" + video +
                      "\",\"decodeType\":\"H264\",\"eventClips\":{\"pre\":2,\"postt\":2,\"dir\":\"" + dir.file("c") +
                      "\"}")}));
  nimbra_test_util::LogCapture log;
  std::atomic<int> frames{0};
  FrameCallback cb = [&](const Image&) -> int8_t {
    ++frames;
    return 0;
  };
  ASSERT_EQ(start_stream("badclips", cb), 0);
  EXPECT_EQ(frames.load(), 50);
  EXPECT_EQ(log.count("unknown key \"postt\" in \"eventClips\" (did you mean \"post\"?)"), 1u) << log.text();
  EXPECT_TRUE(log.contains_at("ERROR", "the stream runs without event clips"));
  EXPECT_TRUE(nimbra_test_util::segments(dir.file("c") + "/.ring/badclips").empty());
}

// The ring's directory vanishing under a running stream stops its clips, not the stream.
TEST_F(EventClips, AFailingWriterStopsTheClipsNotTheStream) {
  TempDir dir("nimbra-clips-fail");
  const std::string video = dir.file("numbered.mp4");
  constexpr int kFrames = 300;
  ASSERT_TRUE(write_numbered_clip(video, kFrames));
  const std::string clips = dir.file("clips");
  nimbra_test_util::ConfigFile conf(nimbra_test_util::config({nimbra_test_util::entry(
      "failcam", "\"inputType\":\"file\",\"inputAddr\":\"" + video +
                     "\",\"decodeType\":\"H264\",\"eventClips\":{\"pre\":1,\"post\":1,\"segmentSeconds\":1,\"dir\":\"" +
                     clips + "\"}")}));
  nimbra_test_util::LogCapture log;
  std::atomic<int> frames{0};
  FrameCallback cb = [&](const Image&) -> int8_t {
    // A third of the way in the ring's directory is replaced by a plain file.
    if (++frames == kFrames / 3) {
      nimbra_test_util::remove_tree(clips + "/.ring/failcam");
      nimbra_test_util::write_file(clips + "/.ring/failcam", "not a directory");
    }
    return 0;
  };
  ASSERT_EQ(start_stream("failcam", cb), 0);
  EXPECT_EQ(frames.load(), kFrames);
  EXPECT_EQ(log.count("event clips stopped: "), 1u) << log.text();
  EXPECT_TRUE(log.contains_at("ERROR", "the stream goes on without them"));
}
