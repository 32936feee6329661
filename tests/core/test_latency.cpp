// A callback slower than the camera: on a live input the newest frame wins (frames the
// callback cannot take go to the output undrawn and are counted), with "slowCallback":
// "block" every frame waits for the callback, a file input keeps every frame, and a stop
// drains nothing through the callback. The RTSP test server stamps each frame with its
// number, so the test knows which frames the callback and the recording got.
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <set>

#include "StreamBase.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "frame-stamp.h"
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

constexpr int kW = 640, kH = 360;
// The square the callback paints into every frame it gets.
constexpr int kMarkX = kW - 48, kMarkY = kH - 48, kMarkSide = 32;

StreamHealth health(const std::string& id) {
  StreamHealth h;
  EXPECT_EQ(get_stream_health(id, h), 0) << id;
  return h;
}

// The stamped number of a packed RGB frame, or -1 when it carries none.
long stamp_of(const uint8_t* rgb, int width, int height) {
  uint32_t frame = 0;
  uint64_t ms = 0;
  return frame_stamp_read_rgb(rgb, width, height, width * 3, &frame, &ms) ? (long)frame : -1;
}

void paint_mark(const Image& img) {
  for (int y = kMarkY; y < kMarkY + kMarkSide; ++y)
    for (int x = kMarkX; x < kMarkX + kMarkSide; ++x) {
      uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
      p[0] = 0, p[1] = 255, p[2] = 0;
    }
}

// Every frame of a recording, decoded by stock elements: its stamp and whether the
// callback's mark is on it.
struct Recorded {
  std::vector<long> stamps;
  std::vector<bool> marked;
};

Recorded read_recording(const std::string& path) {
  gst_init_once();
  Recorded out;
  const std::string desc = "filesrc location=\"" + path +
                           "\" ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! video/x-raw,format=RGB ! "
                           "appsink name=sink sync=false";
  GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
  if (!p) return out;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(s));
    GstBuffer* b = gst_sample_get_buffer(s);
    GstMapInfo m;
    if (gst_buffer_map(b, &m, GST_MAP_READ)) {
      const int w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
      const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
      uint32_t frame = 0;
      uint64_t ms = 0;
      out.stamps.push_back(frame_stamp_read_rgb(m.data, w, h, stride, &frame, &ms) ? (long)frame : -1);
      const uint8_t* c = m.data + (size_t)(kMarkY + kMarkSide / 2) * stride + (size_t)(kMarkX + kMarkSide / 2) * 3;
      out.marked.push_back(w == kW && h == kH && near(c, 0, 255, 0));
      gst_buffer_unmap(b, &m);
    }
    gst_sample_unref(s);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return out;
}

// The frames waiting in the queue ahead of a stream's callback, or -1 while it has none.
int waiting_for_callback(const std::string& id) {
  nimbra_internal::EntryPtr e = nimbra_internal::find_entry(id);
  GstElement* pipeline = e ? e->pipeline_ref() : nullptr;
  if (!pipeline) return -1;
  int level = -1;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    GObject* el = G_OBJECT(g_value_get_object(&item));
    if (g_object_get_data(el, "nimbra-callback-queue")) {
      guint n = 0;
      g_object_get(el, "current-level-buffers", &n, nullptr);
      level = (int)n;
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  gst_object_unref(pipeline);
  return level;
}

// The newest frame number the server has stamped on `mount` (-1: none yet).
long newest_sent(RtspTestServer& server, const std::string& mount) {
  const std::vector<std::string> lines = server.lines();
  const std::string head = "STAMP " + mount + " ";
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (it->rfind(head, 0) == 0) return std::stol(it->substr(head.size()));
  return -1;
}

bool sent(RtspTestServer& server, const std::string& mount, long n) {
  return server.wait_for_line("^STAMP " + mount + " " + std::to_string(n) + "$", std::chrono::seconds(60))
      .has_value();
}

// What a callback saw, filled on the streaming thread.
struct Seen {
  std::mutex m;
  std::vector<long> stamps;
  bool unstamped = false;
  std::atomic<int> calls{0};
};

class Latency : public ::testing::Test {
 protected:
  void SetUp() override {
    gst_init_once();
    tmp = make_temp_dir();
  }
  void TearDown() override {
    for (const auto& id : nimbra_internal::running_stream_ids()) gstreamer_pipeline_shutdown(id);
    EXPECT_TRUE(wait_until([] { return nimbra_internal::running_stream_ids().empty(); }, seconds(60)));
    remove_tree(tmp);
  }
  static RtspTestServer::Options stamped() {
    RtspTestServer::Options o;
    o.width = kW, o.height = kH, o.fps = 10, o.stamp = true;
    return o;
  }
  std::string rtsp_entry(const std::string& id, const RtspTestServer& server, const std::string& extra) {
    return entry(id, "\"inputType\":\"rtsp\",\"inputAddr\":\"" + server.url("/h264") +
                         "\",\"decodeType\":\"H264\",\"outputType\":\"mp4\",\"outputAddr\":\"" + tmp + "/" + id +
                         ".mp4\",\"width\":640,\"height\":360" + extra);
  }
  std::future<int> start_async(const std::string& id, Callback& cb) {
    return std::async(std::launch::async, [id, &cb] { return start_stream(id, cb); });
  }
  bool ends(std::future<int>& f) { return f.wait_for(seconds(120)) == std::future_status::ready; }
  std::string tmp;
  LogCapture log;
};

// Each call returns only once at least three newer frames wait behind it: the callback is
// slower than the camera, and every return finds frames to skip (a frame skips the
// callback while two or more newer ones wait behind it).
TEST_F(Latency, LiveInputSkipsForTheNewestFrameAndTheRecordingKeepsEveryFrame) {
  RtspTestServer server(stamped());
  ConfigFile conf(config({rtsp_entry("slow_live", server, "")}));
  Seen seen;
  std::atomic<bool> quit{false};
  Callback cb = [&](const Image& img) -> int8_t {
    {
      std::lock_guard<std::mutex> g(seen.m);
      const long s = stamp_of(img.data, img.width, img.height);
      seen.unstamped |= s < 0;
      seen.stamps.push_back(s);
    }
    paint_mark(img);
    ++seen.calls;
    poll_until([&] { return quit || waiting_for_callback("slow_live") >= 3; }, seconds(60), std::chrono::milliseconds(2));
    return 0;
  };
  auto run = start_async("slow_live", cb);
  ASSERT_TRUE(poll_until([&] { return seen.calls >= 12; }, seconds(120)));
  gstreamer_pipeline_shutdown("slow_live");
  quit = true;
  ASSERT_TRUE(ends(run));
  EXPECT_EQ(run.get(), 0);

  const StreamHealth h = health("slow_live");
  std::lock_guard<std::mutex> g(seen.m);
  EXPECT_FALSE(seen.unstamped);
  EXPECT_EQ(h.frames_delivered, (uint64_t)seen.stamps.size());
  EXPECT_EQ(h.frames_decoded, h.frames_delivered + h.frames_skipped);
  // Every call but the last left three or more frames waiting, so the next call got a
  // frame at least two newer.
  EXPECT_GE(h.frames_skipped, seen.stamps.size() - 1);
  for (size_t i = 1; i < seen.stamps.size(); ++i) EXPECT_GE(seen.stamps[i] - seen.stamps[i - 1], 2) << "call " << i;

  // The recording holds every frame that reached the callback's place, in order: the
  // callback's frames with its mark, the skipped ones without.
  const Recorded rec = read_recording(tmp + "/slow_live.mp4");
  EXPECT_EQ(rec.stamps.size(), h.frames_decoded);
  const std::set<long> called(seen.stamps.begin(), seen.stamps.end());
  size_t marked = 0, unmarked = 0;
  for (size_t i = 0; i < rec.stamps.size(); ++i) {
    ASSERT_GE(rec.stamps[i], 0) << "recorded frame " << i << " lost its stamp";
    if (i) {
      EXPECT_GT(rec.stamps[i], rec.stamps[i - 1]);
    }
    EXPECT_EQ(rec.marked[i], called.count(rec.stamps[i]) == 1) << "stamp " << rec.stamps[i];
    (rec.marked[i] ? marked : unmarked)++;
  }
  EXPECT_EQ(marked, seen.stamps.size());
  EXPECT_EQ(unmarked, h.frames_skipped);
}

// "block": each call lasts at least a frame interval of the source, and still every frame
// reaches the callback, in order. A stop while frames wait hands none of them over.
TEST_F(Latency, BlockKeepsEveryFrameThroughTheCallbackAndAStopDrainsNone) {
  RtspTestServer server(stamped());
  ConfigFile conf(config({rtsp_entry("slow_block", server, ",\"slowCallback\":\"block\"")}));
  Seen seen;
  std::mutex hold_m;
  std::condition_variable hold_cv;
  bool hold = true;
  std::atomic<bool> held{false}, stop_asked{false};
  std::atomic<int> after_stop{0};
  constexpr int kCalls = 10;
  Callback cb = [&](const Image& img) -> int8_t {
    if (stop_asked) ++after_stop;
    long s;
    {
      std::lock_guard<std::mutex> g(seen.m);
      s = stamp_of(img.data, img.width, img.height);
      seen.unstamped |= s < 0;
      seen.stamps.push_back(s);
    }
    paint_mark(img);
    if (++seen.calls < kCalls) {
      sent(server, "/h264", newest_sent(server, "/h264") + 2);
    } else {
      held = true;
      std::unique_lock<std::mutex> l(hold_m);
      hold_cv.wait_for(l, seconds(120), [&] { return !hold; });
    }
    return 0;
  };
  auto run = start_async("slow_block", cb);
  ASSERT_TRUE(poll_until([&] { return held.load(); }, seconds(120)));
  // The callback is held on its last frame while the camera sends ten more.
  long at;
  {
    std::lock_guard<std::mutex> g(seen.m);
    at = seen.stamps.back();
  }
  ASSERT_TRUE(sent(server, "/h264", at + 10));
  const StreamHealth before = health("slow_block");
  stop_asked = true;
  gstreamer_pipeline_shutdown("slow_block");
  {
    std::lock_guard<std::mutex> l(hold_m);
    hold = false;
  }
  hold_cv.notify_all();
  ASSERT_TRUE(ends(run));

  EXPECT_EQ(before.frames_skipped, 0u);
  EXPECT_EQ(after_stop.load(), 0);
  const StreamHealth h = health("slow_block");
  std::lock_guard<std::mutex> g(seen.m);
  EXPECT_FALSE(seen.unstamped);
  ASSERT_EQ(seen.stamps.size(), (size_t)kCalls);
  for (size_t i = 1; i < seen.stamps.size(); ++i) EXPECT_EQ(seen.stamps[i], seen.stamps[i - 1] + 1) << "call " << i;
  EXPECT_EQ(h.frames_delivered, (uint64_t)kCalls);
  EXPECT_EQ(h.frames_decoded, h.frames_delivered + h.frames_skipped);
  // What still came through after the stop went to the recording only.
  const Recorded rec = read_recording(tmp + "/slow_block.mp4");
  EXPECT_EQ(rec.stamps.size(), h.frames_decoded);
  for (size_t i = 0; i < rec.stamps.size(); ++i) EXPECT_EQ(rec.marked[i], i < (size_t)kCalls) << "frame " << i;
}

// A file is not live: a callback held while frames pile up behind it still gets all of
// them.
TEST_F(Latency, FileInputKeepsEveryFrameThroughASlowCallback) {
  const std::string clip = media("h264_small.mp4");
  const size_t frames = decode_rgb(clip, 0).count;
  ASSERT_GT(frames, 10u);
  ConfigFile conf(config({entry("slow_file", "\"inputType\":\"file\",\"inputAddr\":\"" + clip +
                                                 "\",\"decodeType\":\"H264\"")}));
  std::atomic<int> calls{0};
  std::atomic<bool> release{false};
  Callback cb = [&](const Image&) -> int8_t {
    if (++calls == 1) poll_until([&] { return release.load(); }, seconds(120), std::chrono::milliseconds(2));
    return 0;
  };
  auto run = start_async("slow_file", cb);
  // Held on the first frame until frames pile up in a queue behind it (the queues after
  // it stay empty meanwhile).
  ASSERT_TRUE(poll_until([&] { return calls >= 1; }, seconds(60)));
  std::string queues;
  nimbra_internal::EntryPtr e = nimbra_internal::find_entry("slow_file");
  if (GstElement* p = e ? e->pipeline_ref() : nullptr) {
    auto full = [p] {
      bool piled = false;
      GstIterator* it = gst_bin_iterate_recurse(GST_BIN(p));
      GValue item = G_VALUE_INIT;
      while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElement* el = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* f = gst_element_get_factory(el);
        if (f && g_strcmp0(GST_OBJECT_NAME(f), "queue") == 0) {
          guint n = 0;
          g_object_get(el, "current-level-buffers", &n, nullptr);
          piled |= n >= 2;
        }
        g_value_reset(&item);
      }
      g_value_unset(&item);
      gst_iterator_free(it);
      return piled;
    };
    EXPECT_TRUE(poll_until(full, seconds(60)));
    gst_object_unref(p);
  }
  release = true;
  ASSERT_TRUE(ends(run));
  const StreamHealth h = health("slow_file");
  EXPECT_EQ((size_t)calls.load(), frames);
  EXPECT_EQ(h.frames_skipped, 0u);
  EXPECT_EQ(h.frames_delivered, (uint64_t)frames);
}

}  // namespace
