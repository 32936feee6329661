// Detecting streams from end to end: a generated clip of two squares of known motion
// (a red "person" going right, a green "car" going left, crossing in the middle), a
// generated model whose outputs follow the picture, the objects and their track ids in
// the callback, boxes drawn into a recording, a model slower than the source, bad models
// and labels, failing frames, and events with no user code.
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <set>

#include "StreamBuildSplice.h"
#include "StreamEvents.h"
#include "StreamHealth.h"
#include "StreamTracker.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;

namespace {

constexpr int kW = 320, kH = 240, kFrames = 150, kSide = 40;
std::string g_dir, g_clip;

std::string models() {
  const char* d = getenv("NIMBRA_DETECT_MODELS");
  return d ? d : "detect-models";
}

// Top-left corners of the squares on frame `index` (from 1).
struct Truth {
  int ax, ay, bx, by;
};
Truth truth(int64_t index) {
  const double i = (double)(index - 1);
  return {(int)std::lround(20 + 1.6 * i), 60, (int)std::lround(260 - 1.6 * i), 80};
}

void paint(std::vector<uint8_t>& rgb, int64_t index) {
  std::fill(rgb.begin(), rgb.end(), 40);
  const Truth t = truth(index);
  auto square = [&](int x0, int y0, uint8_t r, uint8_t g, uint8_t b) {
    for (int y = y0; y < y0 + kSide; ++y)
      for (int x = x0; x < x0 + kSide; ++x) {
        uint8_t* p = &rgb[((size_t)y * kW + x) * 3];
        p[0] = r, p[1] = g, p[2] = b;
      }
  };
  square(t.ax, t.ay, 255, 0, 0);
  square(t.bx, t.by, 0, 255, 0);  // on top where they cross
}

bool write_clip(const std::string& path) {
  gst_init_once();
  GstElement* p = gst_parse_launch(
      ("appsrc name=src format=time caps=video/x-raw,format=RGB,width=320,height=240,framerate=25/1 ! videoconvert ! video/x-raw,format=I420 ! "
       "x264enc speed-preset=ultrafast key-int-max=25 ! h264parse ! mp4mux ! filesink location=" +
       path)
          .c_str(),
      nullptr);
  if (!p) return false;
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  gst_element_set_state(p, GST_STATE_PLAYING);
  std::vector<uint8_t> rgb((size_t)kW * kH * 3);
  for (int i = 1; i <= kFrames; ++i) {
    paint(rgb, i);
    GstBuffer* b = gst_buffer_new_memdup(rgb.data(), rgb.size());
    GST_BUFFER_PTS(b) = (GstClockTime)(i - 1) * GST_SECOND / 25;
    GST_BUFFER_DURATION(b) = GST_SECOND / 25;
    gst_app_src_push_buffer(GST_APP_SRC(src), b);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* m =
      gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
  if (m) gst_message_unref(m);
  gst_object_unref(bus);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(p);
  return ok;
}

std::string file_entry(const std::string& id, const std::string& detect, const std::string& extra = "") {
  return entry(id, "\"inputType\":\"file\",\"inputAddr\":\"" + g_clip + "\",\"decodeType\":\"H264\",\"detect\":{" +
                       detect + "}" + (extra.empty() ? "" : "," + extra));
}

std::string moving_model() { return "\"model\":\"" + models() + "/moving_v8_320.onnx\""; }

struct Seen {
  int64_t index = 0;
  std::vector<DetectedObject> objects;
  int64_t inference_frame = -1;
};

uint64_t inferences_of(const std::string& id) {
  StreamHealth h;
  return get_stream_health(id, h) == 0 ? h.inferences : 0;
}

// Records every frame's objects. With `every`, the callback of a frame due for the model
// waits until the model has run on it, so each result is applied on the very next frame
// however loaded the machine is.
FrameCallback recorder(std::mutex& lock, std::vector<Seen>& seen, const std::string& id, int every) {
  return [&lock, &seen, id, every](const Image& img) -> int8_t {
    Seen s;
    s.index = img.frame_index;
    s.objects = objects_of(img);
    if (const FrameObjects* f = frame_objects_of(img)) s.inference_frame = f->inference_frame;
    {
      std::lock_guard<std::mutex> g(lock);
      seen.push_back(std::move(s));
    }
    if (every > 0 && (img.frame_index - 1) % every == 0) {
      const uint64_t due = (uint64_t)((img.frame_index - 1) / every + 1);
      EXPECT_TRUE(wait_until([&] { return inferences_of(id) >= due; })) << "frame " << img.frame_index;
    }
    return 0;
  };
}

class Detect : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_dir = make_temp_dir();
    g_clip = g_dir + "/squares.mp4";
    ASSERT_TRUE(write_clip(g_clip));
  }
  static void TearDownTestSuite() { remove_tree(g_dir); }
  void SetUp() override { tmp = make_temp_dir(); }
  void TearDown() override { remove_tree(tmp); }
  std::string tmp;
  LogCapture log;
};

double centre_error(const DetectedObject& o, int x0, int y0) {
  const double cx = o.x + o.width / 2, cy = o.y + o.height / 2;
  return std::hypot(cx - (x0 + kSide / 2.0), cy - (y0 + kSide / 2.0));
}

// Every frame reaches the callback with both objects at their places, each keeping one
// track id over the whole clip (through the crossing), whether the model runs on every
// frame or on every fifth.
void check_tracking(int every, const std::string& size_key, LogCapture& log) {
  const std::string id = "det" + std::to_string(every);
  ConfigFile conf(config({file_entry(id, moving_model() + size_key + ",\"every\":" + std::to_string(every) +
                                             ",\"boxThresh\":0.9,\"classes\":[\"person\",\"car\"]")}));
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback cb = recorder(lock, seen, id, every);
  ASSERT_EQ(start_stream(id, cb), 0) << log.text();
  ASSERT_EQ(seen.size(), (size_t)kFrames);
  std::map<std::string, std::set<int64_t>> ids;
  double worst = 0;
  int switches = 0;
  std::map<std::string, int64_t> last_id;
  for (const Seen& s : seen) {
    SCOPED_TRACE("frame " + std::to_string(s.index));
    EXPECT_EQ(s.index, (int64_t)(&s - &seen[0]) + 1);
    if (s.index == 1) {
      // Nothing was detected before the first frame; only the model finishing on the
      // frame itself before its delivery gives it objects.
      if (!s.objects.empty()) {
        EXPECT_EQ(s.inference_frame, 1);
      }
      continue;
    }
    // The result of a frame is there on the next one at the latest (the callback waited
    // for it), or on its own frame when the model finished before the frame's delivery.
    const int64_t newest_due = ((s.index - 2) / every) * every + 1;
    const bool due = (s.index - 1) % every == 0;
    EXPECT_TRUE(s.inference_frame == newest_due || (due && s.inference_frame == s.index)) << s.inference_frame;
    ASSERT_EQ(s.objects.size(), 2u);
    const Truth t = truth(s.index);
    for (const DetectedObject& o : s.objects) {
      ASSERT_TRUE(o.label == "person" || o.label == "car") << o.label;
      EXPECT_EQ(o.class_id, o.label == "person" ? 0 : 2);
      EXPECT_GT(o.confidence, 0.9f);
      EXPECT_LE(o.confidence, 1.0f);
      EXPECT_NEAR(o.width, kSide, 1.0);
      EXPECT_NEAR(o.height, kSide, 1.0);
      EXPECT_GE(o.age, 0);
      EXPECT_LE(o.age, 40);  // carried through the crossing, never dropped
      const double err = o.label == "person" ? centre_error(o, t.ax, t.ay) : centre_error(o, t.bx, t.by);
      worst = std::max(worst, err);
      EXPECT_LE(err, 12.0) << o.label << " at " << o.x << "," << o.y << " age " << o.age;
      ids[o.label].insert(o.track_id);
      if (last_id.count(o.label) && last_id[o.label] != o.track_id) ++switches;
      last_id[o.label] = o.track_id;
    }
  }
  EXPECT_EQ(switches, 0);
  EXPECT_EQ(ids["person"].size(), 1u);
  EXPECT_EQ(ids["car"].size(), 1u);
  EXPECT_NE(*ids["person"].begin(), *ids["car"].begin());
  StreamHealth h;
  ASSERT_EQ(get_stream_health(id, h), 0);
  EXPECT_EQ(h.inferences, (uint64_t)((kFrames - 1) / every + 1));
  EXPECT_EQ(h.inference_skipped, 0u);  // the callback waited for each one
  EXPECT_EQ(h.objects, 2u);
  EXPECT_GT(h.inference_p50_ms, 0.0);
  ::testing::Test::RecordProperty("worst_centre_error_px", std::to_string(worst));
}

}  // namespace

TEST_F(Detect, TracksObjectsOnEveryFrame) { check_tracking(1, ",\"modelSize\":320", log); }

TEST_F(Detect, TracksObjectsWithTheModelOnEveryFifthFrame) { check_tracking(5, "", log); }

// A splice stream (H.265 access units fed by the program) detects on its NV12 frames.
TEST_F(Detect, SpliceStreamCarriesObjects) {
  constexpr int kHeld = 10;  // more than the decoder keeps for reordering
  const std::vector<AccessUnit> aus = collect_buffers(
      "filesrc location=" + g_clip +
      " ! qtdemux ! h264parse ! avdec_h264 ! x265enc speed-preset=ultrafast key-int-max=25 ! h265parse "
      "config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au ! appsink name=sink");
  ASSERT_EQ(aus.size(), (size_t)kFrames);
  ConfigFile conf(config({entry("sp", "\"inputType\":\"splice\",\"detect\":{" + moving_model() +
                                          ",\"modelSize\":320,\"boxThresh\":0.9}")}));
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback cb = [&](const Image& img) -> int8_t {
    Seen s;
    s.objects = objects_of(img);
    int64_t n;
    {
      std::lock_guard<std::mutex> g(lock);
      s.index = n = (int64_t)seen.size() + 1;
      seen.push_back(std::move(s));
    }
    // Paced while the stream is live; the frames the decoder holds until the stop
    // drains it come without waiting.
    if (n <= kFrames - kHeld) {
      EXPECT_TRUE(wait_until([&] { return inferences_of("sp") >= (uint64_t)n; })) << "frame " << n;
    }
    return 0;
  };
  ASSERT_EQ(start_splice_stream("sp", cb), 0) << log.text();
  for (const AccessUnit& au : aus)
    ASSERT_EQ(decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "sp", au.pts, false), 0);
  EXPECT_TRUE(wait_until([&] { return inferences_of("sp") >= (uint64_t)(kFrames - kHeld); }));
  ASSERT_EQ(stop_splice_stream("sp"), 0);
  ASSERT_EQ(seen.size(), (size_t)kFrames) << log.text();
  std::set<int64_t> ids;
  for (const Seen& s : seen) {
    if (s.index == 1) continue;
    SCOPED_TRACE("frame " + std::to_string(s.index));
    ASSERT_EQ(s.objects.size(), 2u);
    const Truth t = truth(s.index);
    for (const DetectedObject& o : s.objects) {
      EXPECT_LE(o.label == "person" ? centre_error(o, t.ax, t.ay) : centre_error(o, t.bx, t.by), 12.0) << o.label;
      ids.insert(o.track_id);
    }
  }
  EXPECT_EQ(ids.size(), 2u);
}

namespace {

int diff(const uint8_t* a, const uint8_t* b) { return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]); }

}  // namespace

// With "draw" the boxes are in the recording (checked against a stock decode of the
// clip itself), and what the callback draws lands on top of them.
TEST_F(Detect, DrawnBoxesReachTheRecordingUnderTheCallbacksDrawing) {
  const std::string out = tmp + "/drawn.mp4";
  ConfigFile conf(config({file_entry("drawn", moving_model() + ",\"modelSize\":320,\"boxThresh\":0.9,\"draw\":true",
                                     "\"outputType\":\"mp4\",\"outputAddr\":\"" + out +
                                         "\",\"width\":320,\"height\":240")}));
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback record = recorder(lock, seen, "drawn", 1);
  FrameCallback cb = [&](const Image& img) -> int8_t {
    record(img);
    // A white 7x7 block on the middle of each box's left edge.
    for (const DetectedObject& o : objects_of(img)) {
      const int x = (int)std::lround(o.x), y = (int)std::lround(o.y + o.height / 2);
      for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx) {
          const int px = std::clamp(x + dx, 0, img.width - 1), py = std::clamp(y + dy, 0, img.height - 1);
          uint8_t* p = img.data + (size_t)py * img.width * 3 + (size_t)px * 3;
          p[0] = p[1] = p[2] = 255;
        }
    }
    return 0;
  };
  ASSERT_EQ(start_stream("drawn", cb), 0) << log.text();
  ASSERT_EQ(seen.size(), (size_t)kFrames);
  RgbFrames original = decode_rgb(g_clip);
  RgbFrames drawn = decode_rgb(out);
  ASSERT_EQ(original.count, (size_t)kFrames);
  ASSERT_EQ(drawn.count, (size_t)kFrames);
  ASSERT_EQ(drawn.width, kW);
  ASSERT_EQ(drawn.height, kH);
  for (size_t k : {(size_t)20, (size_t)60, (size_t)120}) {
    SCOPED_TRACE("frame " + std::to_string(k + 1));
    const Seen& s = seen[k];
    ASSERT_EQ(s.objects.size(), 2u);
    for (const DetectedObject& o : s.objects) {
      SCOPED_TRACE(o.label);
      const int x1 = (int)std::lround(o.x), y1 = (int)std::lround(o.y);
      const int x2 = (int)std::lround(o.x + o.width), y2 = (int)std::lround(o.y + o.height);
      int edge = 0, edge_changed = 0, inside = 0, inside_changed = 0;
      for (int x = x1; x <= x2; x += 2)
        for (int y : {y1, y2}) {
          ++edge;
          edge_changed += diff(drawn.pixel(k, x, y), original.pixel(k, x, y)) > 90;
        }
      for (int y = y1; y <= y2; y += 2)
        for (int x : {x1, x2}) {
          ++edge;
          edge_changed += diff(drawn.pixel(k, x, y), original.pixel(k, x, y)) > 90;
        }
      for (int y = y1 + 8; y <= y2 - 8; y += 3)
        for (int x = x1 + 8; x <= x2 - 8; x += 3) {
          ++inside;
          inside_changed += diff(drawn.pixel(k, x, y), original.pixel(k, x, y)) > 90;
        }
      EXPECT_GT(edge_changed, edge * 7 / 10) << edge_changed << " of " << edge;
      EXPECT_LT(inside_changed, inside / 10 + 1) << inside_changed << " of " << inside;
      // The callback's white block covers the box's line there.
      EXPECT_TRUE(near(drawn.pixel(k, x1, (y1 + y2) / 2), 255, 255, 255, 60));
    }
  }
}

// A model far slower than the source: every frame still reaches the callback and the
// recording, the model runs on fewer frames than there are, frames waiting for it are
// replaced by newer ones, and the frames in between carry the objects forward.
TEST_F(Detect, SlowModelHoldsBackNeitherCallbackNorRecording) {
  const std::string out = tmp + "/slow.mp4";
  ConfigFile conf(config({file_entry("slow", "\"model\":\"" + models() + "/slow/model.replay.json\"",
                                     "\"outputType\":\"mp4\",\"outputAddr\":\"" + out +
                                         "\",\"width\":320,\"height\":240")}));
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback record = recorder(lock, seen, "slow", 0);
  // The first result is waited for once, so the frames after it have something to carry
  // however fast the clip decodes; from then on nothing waits for the model.
  FrameCallback cb = [&](const Image& img) -> int8_t {
    record(img);
    if (img.frame_index == 1) {
      EXPECT_TRUE(wait_until([] { return inferences_of("slow") >= 1; }));
    }
    return 0;
  };
  ASSERT_EQ(start_stream("slow", cb), 0) << log.text();
  ASSERT_EQ(seen.size(), (size_t)kFrames);
  EXPECT_EQ(decode_rgb(out, 1).count, (size_t)kFrames);
  StreamHealth h;
  ASSERT_EQ(get_stream_health("slow", h), 0);
  EXPECT_LT(h.inferences, (uint64_t)kFrames);
  EXPECT_GT(h.inference_skipped, 0u);
  EXPECT_LT(h.inference_fps, h.fps_since_start);
  EXPECT_GE(h.inference_p50_ms, 150.0);  // the replay's 200 ms, within the histogram's resolution
  int carried = 0;
  for (const Seen& s : seen)
    for (const DetectedObject& o : s.objects) {
      EXPECT_EQ(o.label, "person");
      EXPECT_NEAR(o.x, 135, 1.0);  // (270, 190) of the 640 input on a 320x240 frame
      EXPECT_NEAR(o.y, 95, 1.0);
      EXPECT_NEAR(o.width, 50, 1.0);
      carried += o.age > 1;
    }
  EXPECT_GT(carried, 0) << h.inferences << " inferences, " << h.inference_skipped << " skipped";
}

// A model, labels file or class list that cannot work fails the start with one error
// naming the stream and the file; nothing reaches the callback.
TEST_F(Detect, BadModelsAndLabelsFailTheStart) {
  write_file(tmp + "/three.names", "person\ncar\ndog\n");
  struct Case {
    std::string detect, message;
  } cases[] = {
      {"\"model\":\"" + tmp + "/missing.onnx\"", "Stream 'bad': detect: cannot read model file '" + tmp + "/missing.onnx'"},
      {"\"model\":\"" + models() + "/mismatched.onnx\"",
       "Stream 'bad': detect: cannot use model '" + models() + "/mismatched.onnx' as yolov8-detection"},
      {moving_model() + ",\"labels\":\"" + tmp + "/three.names\"",
       "Stream 'bad': detect: labels file '" + tmp + "/three.names' has 3 names, the model has 80 classes"},
      {moving_model() + ",\"classes\":[\"unicorn\"]", "Stream 'bad': detect: class 'unicorn' is not one of the model's labels"},
      {moving_model() + ",\"modelType\":\"yolov9\"", "Stream 'bad': detect: unknown \"modelType\" 'yolov9'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detect);
    log.clear();
    ConfigFile conf(config({file_entry("bad", c.detect)}));
    std::atomic<int> frames{0};
    FrameCallback cb = [&](const Image&) -> int8_t {
      ++frames;
      return 0;
    };
    EXPECT_EQ(start_stream("bad", cb), -1);
    EXPECT_EQ(frames.load(), 0);
    EXPECT_TRUE(log.contains_at("ERROR", c.message)) << log.text();
    StreamHealth h;
    ASSERT_EQ(get_stream_health("bad", h), 0);
    EXPECT_NE(h.last_error.find(c.message), std::string::npos) << h.last_error;
  }
}

// Frames the model fails on are counted and logged; the stream goes on, and the
// objects come once the model works.
TEST_F(Detect, FailingFramesNeverEndTheStream) {
  ConfigFile conf(config({file_entry("failing", "\"model\":\"" + models() + "/failing/model.replay.json\"")}));
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback cb = [&](const Image& img) -> int8_t {
    Seen s;
    s.index = img.frame_index;
    s.objects = objects_of(img);
    {
      std::lock_guard<std::mutex> g(lock);
      seen.push_back(std::move(s));
    }
    EXPECT_TRUE(wait_until([&] {
      StreamHealth h;
      return get_stream_health("failing", h) == 0 && h.inferences + h.inference_failures >= (uint64_t)img.frame_index;
    }));
    return 0;
  };
  ASSERT_EQ(start_stream("failing", cb), 0) << log.text();
  ASSERT_EQ(seen.size(), (size_t)kFrames);
  StreamHealth h;
  ASSERT_EQ(get_stream_health("failing", h), 0);
  // The replay fails its 2nd to 4th invokes; the 1st is the check at the start.
  EXPECT_EQ(h.inference_failures, 3u);
  EXPECT_EQ(h.inferences, (uint64_t)kFrames - 3);
  EXPECT_EQ(h.state, StreamState::Stopped);
  for (const Seen& s : seen) {
    if (s.index <= 3) {
      EXPECT_TRUE(s.objects.empty()) << s.index;
    }
    if (s.index >= 5) {
      EXPECT_EQ(s.objects.size(), 1u) << s.index;
    }
  }
  EXPECT_TRUE(log.contains_at("WARN", "Stream 'failing': detection failed on frame 1"));
}

// A detecting stream with "events" makes events of its tracks with no user code.
TEST_F(Detect, TracksBecomeEventsWithoutUserCode) {
  ConfigFile conf(config({file_entry("ev", moving_model() + ",\"modelSize\":320,\"boxThresh\":0.9",
                                     "\"events\":{\"minFrames\":2}")}));
  std::mutex elock;
  std::vector<Event> events;
  const int handle = on_event([&](const Event& e) {
    std::lock_guard<std::mutex> g(elock);
    if (e.stream_id == "ev") events.push_back(e);
  });
  std::mutex lock;
  std::vector<Seen> seen;
  FrameCallback cb = recorder(lock, seen, "ev", 1);
  ASSERT_EQ(start_stream("ev", cb), 0) << log.text();
  std::set<int64_t> track_ids;
  for (const Seen& s : seen)
    for (const DetectedObject& o : s.objects) track_ids.insert(o.track_id);
  ASSERT_EQ(track_ids.size(), 2u);
  auto count = [&](EventType type) {
    std::lock_guard<std::mutex> g(elock);
    std::set<int64_t> ids;
    for (const Event& e : events)
      if (e.type == type) ids.insert(e.track_id);
    return ids;
  };
  EXPECT_TRUE(wait_until([&] { return count(EventType::End).size() == 2; }));
  EXPECT_EQ(count(EventType::New), track_ids);
  EXPECT_EQ(count(EventType::End), track_ids);
  remove_event_callback(handle);
}

// The tracker alone. Two objects of one class cross head-on; for the frames they overlap
// most the detector sees only one box between them. Each keeps its id through it, and
// the merged box does not hand one's id to the other.
TEST(Tracker, ObjectsOfOneClassCrossingKeepTheirIds) {
  nimbra_internal::ObjectTracker t(10);
  int switches = 0;
  int64_t id_a = -1, id_b = -1;
  for (int f = 1; f <= 100; ++f) {
    const float ax = 100 + 4.0f * f, bx = 500 - 4.0f * f;  // meet at frame 50
    std::vector<nimbra_internal::TrackerBox> dets;
    if (std::fabs(ax - bx) < 30)
      dets.push_back({0, 0.9f, (ax + bx) / 2, 200, 50, 80});
    else
      dets = {{0, 0.9f, ax, 200.0f + (float)(f % 2), 50, 80}, {0, 0.8f, bx, 210.0f - (float)(f % 3), 50, 80}};
    t.update(dets, f);
    const auto& objects = t.objects_at(f);
    for (const auto& o : objects) {
      if (std::fabs(ax - bx) < 60) continue;  // too close to say which is which from the boxes
      const bool is_a = std::fabs(o.box.x - ax) < std::fabs(o.box.x - bx);
      int64_t& id = is_a ? id_a : id_b;
      if (id >= 0 && id != o.track_id) ++switches;
      id = o.track_id;
    }
  }
  EXPECT_EQ(switches, 0);
  EXPECT_NE(id_a, id_b);
  EXPECT_EQ(t.size(), 2u);
}

// Tracks end by the results that leave them out for longer than the limit, never by
// frames without a result; a result older than one applied is ignored.
TEST(Tracker, LostTracksEndByResultsNotByTime) {
  nimbra_internal::ObjectTracker t(5);
  t.update({{2, 0.9f, 10, 10, 20, 20}}, 1);
  ASSERT_EQ(t.objects_at(500).size(), 1u);  // no result since: carried, however old
  EXPECT_EQ(t.objects_at(500)[0].age, 499);
  t.update({}, 6);  // 5 frames after its detection: still within the limit
  EXPECT_EQ(t.objects_at(6).size(), 1u);
  t.update({{2, 0.9f, 300, 300, 20, 20}}, 4);  // older than the applied result: ignored
  EXPECT_EQ(t.objects_at(7).size(), 1u);
  t.update({}, 7);  // 6 frames: dropped
  EXPECT_EQ(t.objects_at(7).size(), 0u);
  // A box of another class where the old one was starts its own track.
  t.update({{2, 0.9f, 10, 10, 20, 20}}, 8);
  t.update({{3, 0.9f, 10, 10, 20, 20}, {2, 0.9f, 11, 10, 20, 20}}, 9);
  const auto& objects = t.objects_at(9);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_NE(objects[0].track_id, objects[1].track_id);
}

// nimbra-run --detections: one JSON object per frame of the detecting stream on standard
// output, nothing else there; objects carry their track id and detection age.
TEST_F(Detect, RunnerPrintsEachFramesObjectsAsJson) {
  ConfigFile conf(config({file_entry("cli", moving_model() + ",\"modelSize\":320,\"boxThresh\":0.9")}));
  const std::string out = tmp + "/out.jsonl";
  const std::string cmd = std::string(NIMBRA_RUN_PATH) + " --config " + conf.path() + " --detections cli > " + out +
                          " 2> " + tmp + "/err.txt";
  ASSERT_EQ(system(cmd.c_str()), 0) << read_file(tmp + "/err.txt");
  std::istringstream in(read_file(out));
  Json::CharReaderBuilder builder;
  int64_t expect = 1;
  for (std::string line; std::getline(in, line); ++expect) {
    SCOPED_TRACE(line);
    Json::Value v;
    std::string errors;
    std::istringstream one(line);
    ASSERT_TRUE(Json::parseFromStream(builder, one, &v, &errors)) << errors;
    EXPECT_EQ(v["stream_id"].asString(), "cli");
    EXPECT_EQ(v["frame"].asInt64(), expect);
    EXPECT_EQ(v["width"].asInt(), kW);
    EXPECT_EQ(v["height"].asInt(), kH);
    ASSERT_TRUE(v["detections"].isArray());
    for (const Json::Value& d : v["detections"]) {
      EXPECT_TRUE(d["label"].asString() == "person" || d["label"].asString() == "car");
      EXPECT_GE(d["track_id"].asInt64(), 1);
      EXPECT_GE(d["age"].asInt(), 0);
      EXPECT_NEAR(d["box"]["width"].asDouble(), kSide, 1.0);
    }
  }
  EXPECT_EQ(expect - 1, kFrames);
}
