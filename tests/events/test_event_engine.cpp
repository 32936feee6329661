// The event engine driven frame by frame on a fake clock, with expectations worked out by
// hand; its geometry against OpenCV's own polygon test; the readers of the events keys;
// the in-process delivery (sequence numbers, callbacks, poll) under two feeding threads.
#include <gtest/gtest.h>
#include <json/json.h>

#include <opencv2/imgproc.hpp>
#include <random>
#include <set>
#include <thread>

#include "StreamEventConfig.h"
#include "StreamEventEngine.h"
#include "StreamEvents.h"
#include "nimbra_test/poll.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using nimbra_internal::EventEngine;

namespace {

DetectedObject obj(int64_t track, float x, float y, float w, float h, const std::string& label = "person",
                   float conf = 0.9f) {
  DetectedObject o;
  o.track_id = track;
  o.label = label;
  o.class_id = label == "person" ? 0 : 2;
  o.confidence = conf;
  o.x = x, o.y = y, o.width = w, o.height = h;
  return o;
}

// Frame n at n * 0.125 s wall time (from 1000 s; exact in binary) and n * 40 ms PTS, 640x480.
EventFrame frame(int n, int w = 640, int h = 480) {
  EventFrame f;
  f.stream_id = "cam";
  f.frame_index = n;
  f.pts_ns = (int64_t)n * 40000000;
  f.width = w, f.height = h;
  f.wall_time_s = 1000.0 + n * 0.125;
  return f;
}

// Feeds one frame and returns its events as "type[:zone|line:direction]@frame" strings.
struct Driver {
  EventEngine engine;
  std::vector<Event> all;
  int n = 0;
  explicit Driver(StreamEventConfig c) : engine("cam", std::move(c)) {}
  std::vector<std::string> step(const std::vector<DetectedObject>& objs) {
    ++n;
    std::vector<Event> out;
    engine.feed(frame(n), objs, out);
    std::vector<std::string> s;
    for (const Event& e : out) s.push_back(describe(e));
    all.insert(all.end(), out.begin(), out.end());
    return s;
  }
  static std::string describe(const Event& e) {
    std::string d = event_type_name(e.type);
    if (!e.zone.empty()) d += ":" + e.zone;
    if (!e.line.empty()) d += ":" + e.line + ":" + e.direction;
    return d + "#" + std::to_string(e.track_id);
  }
};

using V = std::vector<std::string>;

// A box whose bottom-centre is (cx, by).
DetectedObject at(int64_t track, double cx, double by, const std::string& label = "person") {
  return obj(track, (float)(cx - 10), (float)(by - 40), 20, 40, label);
}

}  // namespace

TEST(EventGeometry, PointInPolygonAgreesWithOpenCV) {
  // A concave polygon (an arrow) with a notch, in pixels.
  const std::vector<EventPoint> poly = {{10, 10}, {200, 10}, {120, 80}, {200, 150}, {10, 150}, {60, 80}};
  std::vector<cv::Point2f> contour;
  for (const auto& p : poly) contour.emplace_back((float)p.x, (float)p.y);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coord(0, 220);
  int inside = 0, outside = 0;
  for (int i = 0; i < 4000; ++i) {
    // Integer points, so many fall exactly on the axis-parallel edges and vertices.
    const double x = coord(rng), y = coord(rng);
    const bool ours = nimbra_internal::point_in_polygon(x, y, poly);
    const bool cv = cv::pointPolygonTest(contour, cv::Point2f((float)x, (float)y), false) >= 0;
    ASSERT_EQ(ours, cv) << "at " << x << "," << y;
    (ours ? inside : outside)++;
  }
  EXPECT_GT(inside, 500);
  EXPECT_GT(outside, 500);
  // Edges and corners are inside; the notch is not.
  EXPECT_TRUE(nimbra_internal::point_in_polygon(100, 150, poly));
  EXPECT_TRUE(nimbra_internal::point_in_polygon(10, 10, poly));
  EXPECT_FALSE(nimbra_internal::point_in_polygon(180, 80, poly));
}

TEST(EventGeometry, SidesAndCrossings) {
  const EventPoint a{0, 100}, b{200, 100};
  // Facing from a to b (rightwards on the picture), below is the right-hand side.
  EXPECT_EQ(nimbra_internal::side_of_line(50, 120, a, b), 1);
  EXPECT_EQ(nimbra_internal::side_of_line(50, 80, a, b), -1);
  EXPECT_EQ(nimbra_internal::side_of_line(500, 100, a, b), 0);
  EXPECT_TRUE(nimbra_internal::path_crosses_segment({50, 80}, {60, 120}, a, b));
  EXPECT_FALSE(nimbra_internal::path_crosses_segment({250, 80}, {260, 120}, a, b));  // beyond b
  EXPECT_TRUE(nimbra_internal::path_crosses_segment({190, 80}, {210, 120}, a, b));   // through (200,100)
}

TEST(EventEngine, NewAfterMinimumFramesFlickerNeverCountsLostTrackEnds) {
  StreamEventConfig c;
  c.min_frames = 3;
  Driver d(c);
  EXPECT_EQ(d.step({at(1, 100, 100), at(2, 300, 300)}), V{});
  EXPECT_EQ(d.step({at(1, 100, 100), at(2, 300, 300)}), V{});
  // Track 2 flickered for two frames: gone without a word.
  EXPECT_EQ(d.step({at(1, 100, 100)}), V{"new#1"});
  EXPECT_EQ(d.step({at(1, 110, 100)}), V{});
  EXPECT_EQ(d.step({}), V{"end#1"});
  ASSERT_EQ(d.all.size(), 2u);
  const Event& n = d.all[0];
  EXPECT_EQ(n.frame_index, 3);
  EXPECT_EQ(n.start_pts_ns, 40000000);
  EXPECT_DOUBLE_EQ(n.start_time_s, 1000.125);
  EXPECT_FLOAT_EQ(n.x, 90);
  EXPECT_FLOAT_EQ(n.y, 60);
  const Event& e = d.all[1];
  EXPECT_EQ(e.type, EventType::End);
  EXPECT_DOUBLE_EQ(e.end_time_s, 1000.5);  // last seen on frame 4
  EXPECT_EQ(e.end_pts_ns, 160000000);
  EXPECT_DOUBLE_EQ(e.time_s, 1000.625);   // declared lost on frame 5
  EXPECT_FLOAT_EQ(e.x, 100);              // the last box
  EXPECT_EQ(d.engine.live_tracks(), 0u);
}

TEST(EventEngine, LostFramesGivesGraceAndMissingTracksComeBack) {
  StreamEventConfig c;
  c.min_frames = 1;
  c.lost_frames = 2;
  Driver d(c);
  EXPECT_EQ(d.step({at(1, 100, 100)}), V{"new#1"});
  EXPECT_EQ(d.step({}), V{});  // one frame missing: still alive
  EXPECT_EQ(d.step({at(1, 100, 100)}), V{});
  EXPECT_EQ(d.step({}), V{});
  EXPECT_EQ(d.step({}), V{"end#1"});
}

TEST(EventEngine, LabelsConfidenceAndUntrackedObjects) {
  StreamEventConfig c;
  c.min_frames = 2;
  c.labels = {"person"};
  c.min_confidence = 0.5f;
  Driver d(c);
  DetectedObject untracked = at(-1, 50, 50);
  DetectedObject weak = obj(3, 0, 0, 10, 10, "person", 0.3f);
  EXPECT_EQ(d.step({at(1, 10, 10, "car"), untracked, weak}), V{});
  EXPECT_EQ(d.step({at(1, 10, 10, "car"), untracked, weak}), V{});
  weak.confidence = 0.6f;  // now its top confidence is enough
  EXPECT_EQ(d.step({weak}), V{"new#3"});
  EXPECT_FLOAT_EQ(d.all[0].top_confidence, 0.6f);
}

TEST(EventEngine, LineCrossingsBothWaysAndAroundTheEnd) {
  StreamEventConfig c;
  c.min_frames = 1;
  EventLine l;
  l.name = "gate";
  l.a = {0, 100}, l.b = {200, 100};
  c.lines.push_back(l);
  Driver d(c);
  EXPECT_EQ(d.step({at(1, 50, 80), at(2, 300, 80)}), (V{"new#1", "new#2"}));
  EXPECT_EQ(d.step({at(1, 50, 120), at(2, 300, 120)}), V{"line_cross:gate:left_to_right#1"});  // #2 went round
  EXPECT_EQ(d.step({at(1, 50, 90), at(2, 300, 90)}), V{"line_cross:gate:right_to_left#1"});
  const Event& x = d.all[2];
  EXPECT_EQ(x.line, "gate");
  EXPECT_EQ(x.frame_index, 2);
}

TEST(EventEngine, LineDirectionFilterAndJitterOnTheLine) {
  StreamEventConfig c;
  c.min_frames = 1;
  EventLine l;
  l.name = "down";
  l.a = {0, 100}, l.b = {200, 100};
  l.direction = LineDirection::LeftToRight;
  l.min_frames = 2;
  c.lines.push_back(l);
  Driver d(c);
  // Worked out by hand with two frames needed on a side:
  //  y=98: candidate left, 1   | y=100: on the line, nothing changes | y=102: candidate right, 1
  //  y=98: candidate left, 1   | y=102: candidate right, 1 | y=102: right, 2 -> first side: right
  //  y=98, y=98: left, 2 -> right_to_left, filtered out | y=102, y=103: left_to_right, reported
  EXPECT_EQ(d.step({at(1, 50, 98)}), V{"new#1"});
  for (double y : {100.0, 102.0, 98.0, 102.0, 102.0, 98.0, 98.0, 102.0}) EXPECT_EQ(d.step({at(1, 50, y)}), V{}) << y;
  EXPECT_EQ(d.step({at(1, 50, 103)}), V{"line_cross:down:left_to_right#1"});
}

TEST(EventEngine, CrossingBeforeTheTrackCountsIsReportedAfterNew) {
  StreamEventConfig c;
  c.min_frames = 3;
  EventLine l;
  l.name = "gate";
  l.a = {0, 100}, l.b = {200, 100};
  l.min_frames = 1;
  c.lines.push_back(l);
  Driver d(c);
  EXPECT_EQ(d.step({at(1, 50, 90)}), V{});
  EXPECT_EQ(d.step({at(1, 50, 110)}), V{});
  EXPECT_EQ(d.step({at(1, 50, 120)}), (V{"new#1", "line_cross:gate:left_to_right#1"}));
  EXPECT_EQ(d.all[1].frame_index, 2);  // the crossing keeps its own frame
  // A flickering track that crossed and never counted says nothing at all.
  EXPECT_EQ(d.step({at(1, 50, 120), at(5, 20, 90)}), V{});
  EXPECT_EQ(d.step({at(1, 50, 120), at(5, 20, 110)}), V{});
  EXPECT_EQ(d.step({at(1, 50, 120)}), V{});
}

TEST(EventEngine, ZonesDebounceBoundaryReentryAndEndInside) {
  StreamEventConfig c;
  c.min_frames = 1;
  EventZone z;
  z.name = "door";
  z.points = {{50, 50}, {150, 50}, {150, 150}, {50, 150}};
  z.min_frames = 2;
  c.zones.push_back(z);
  Driver d(c);
  EXPECT_EQ(d.step({at(1, 20, 100)}), V{"new#1"});
  EXPECT_EQ(d.step({at(1, 100, 100)}), V{});  // one frame inside: flicker
  EXPECT_EQ(d.step({at(1, 20, 100)}), V{});
  EXPECT_EQ(d.step({at(1, 100, 100)}), V{});
  EXPECT_EQ(d.step({at(1, 150, 100)}), V{"zone_enter:door#1"});  // on the right edge: inside
  EXPECT_EQ(d.all.back().zones, std::vector<std::string>{"door"});
  EXPECT_EQ(d.step({at(1, 151, 100)}), V{});
  EXPECT_EQ(d.step({at(1, 160, 100)}), V{"zone_leave:door#1"});
  EXPECT_TRUE(d.all.back().zones.empty());
  EXPECT_EQ(d.step({at(1, 100, 150)}), V{});  // bottom edge
  EXPECT_EQ(d.step({at(1, 100, 120)}), V{"zone_enter:door#1"});  // re-entry
  EXPECT_EQ(d.step({}), (V{"zone_leave:door#1", "end#1"}));
}

TEST(EventEngine, ZoneLabelsNormalizedZonesAndEnterOnCounting) {
  StreamEventConfig c;
  c.min_frames = 2;
  EventZone cars;
  cars.name = "lot";
  cars.points = {{0, 0}, {0.5, 0}, {0.5, 1}, {0, 1}};  // left half of the frame
  cars.normalized = true;
  cars.labels = {"car"};
  cars.min_frames = 1;
  c.zones.push_back(cars);
  Driver d(c);
  // 640 wide: x=300 is inside the left half, x=330 outside.
  EXPECT_EQ(d.step({at(1, 300, 200, "car"), at(2, 300, 200, "person")}), V{});
  EXPECT_EQ(d.step({at(1, 300, 200, "car"), at(2, 300, 200, "person")}),
            (V{"new#1", "zone_enter:lot#1", "new#2"}));
  EXPECT_TRUE(d.all.back().zones.empty());  // the person is not counted in a cars-only zone
  EXPECT_EQ(d.step({at(1, 330, 200, "car"), at(2, 330, 200, "person")}), V{"zone_leave:lot#1"});
}

TEST(EventEngine, UpdatesAtMostOncePerIntervalAndFinish) {
  StreamEventConfig c;
  c.min_frames = 1;
  c.updates = true;
  c.update_interval_s = 1.0;
  Driver d(c);
  // Frames every 0.125 s: new on frame 1, then an update every 8 frames (1 s).
  std::vector<std::string> seen;
  for (int i = 0; i < 25; ++i)
    for (const std::string& s : d.step({at(1, 10, 10)})) seen.push_back(s + "@" + std::to_string(d.n));
  EXPECT_EQ(seen, (V{"new#1@1", "update#1@9", "update#1@17", "update#1@25"}));
  std::vector<Event> out;
  d.engine.finish(2000, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, EventType::End);
  EXPECT_DOUBLE_EQ(out[0].time_s, 2000);
}

TEST(EventJson, ShapeUnitsAndNulls) {
  Event e;
  e.id = "r-cam-3";
  e.type = EventType::LineCross;
  e.stream_id = "cam \"1\"";
  e.sequence = 3;
  e.track_id = 7;
  e.label = "person";
  e.class_id = 0;
  e.confidence = 0.5f;
  e.top_confidence = 0.75f;
  e.x = 100, e.y = 40, e.width = 200, e.height = 400;
  e.frame_width = 1280, e.frame_height = 720;
  e.frame_index = 12;
  e.pts_ns = -1;
  e.start_pts_ns = 480000000;
  e.time_s = 1733650000.25;
  e.start_time_s = 1733649999.5;
  e.zones = {"door"};
  e.line = "gate";
  e.direction = "left_to_right";
  const std::string text = event_to_json(e);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  Json::Value v;
  Json::Reader r;
  ASSERT_TRUE(r.parse(text, v)) << text;
  EXPECT_EQ(v["type"].asString(), "line_cross");
  EXPECT_EQ(v["stream_id"].asString(), "cam \"1\"");
  EXPECT_EQ(v["sequence"].asUInt64(), 3u);
  EXPECT_DOUBLE_EQ(v["box"]["x"].asDouble(), 100);
  EXPECT_DOUBLE_EQ(v["box"]["height"].asDouble(), 400);
  EXPECT_NEAR(v["box_normalized"]["x"].asDouble(), 100.0 / 1280, 1e-6);
  EXPECT_NEAR(v["box_normalized"]["height"].asDouble(), 400.0 / 720, 1e-6);
  EXPECT_TRUE(v["pts_ns"].isNull());
  EXPECT_EQ(v["start_pts_ns"].asInt64(), 480000000);
  EXPECT_TRUE(v["end_time_unix_s"].isNull());
  EXPECT_DOUBLE_EQ(v["time_unix_s"].asDouble(), 1733650000.25);
  EXPECT_EQ(v["line"].asString(), "gate");
  EXPECT_EQ(v["direction"].asString(), "left_to_right");
  EXPECT_FALSE(v.isMember("zone"));
  EXPECT_EQ(v["zones"][0].asString(), "door");
  EXPECT_TRUE(v["clip_path"].isNull());
  EXPECT_DOUBLE_EQ(v["confidence"].asDouble(), 0.5);
}

namespace {

std::vector<std::string> problems_of(const std::string& properties, StreamEventConfig& out) {
  Json::Value p;
  Json::Reader r;
  EXPECT_TRUE(r.parse(properties, p)) << properties;
  std::vector<nimbra_internal::ConfigProblem> problems;
  nimbra_internal::read_stream_events(p, out, problems);
  std::vector<std::string> msgs;
  for (const auto& pr : problems) msgs.push_back(pr.message);
  return msgs;
}

}  // namespace

TEST(EventConfig, ReadsZonesLinesAndOptions) {
  StreamEventConfig c;
  auto msgs = problems_of(R"({"events": {"labels": ["person"], "minFrames": 4, "minConfidence": 0.5,
      "update": true, "updateInterval": 2, "lostFrames": 3, "anchor": "center"},
    "zones": [{"name": "door", "points": [[0.1,0.1],[0.5,0.1],[0.5,0.9]], "normalized": true, "minFrames": 2}],
    "lines": [{"name": "gate", "points": [[0,300],[640,300]], "direction": "right_to_left", "labels": ["car"]}]})",
                          c);
  EXPECT_TRUE(msgs.empty()) << msgs[0];
  EXPECT_EQ(c.labels, std::vector<std::string>{"person"});
  EXPECT_EQ(c.min_frames, 4);
  EXPECT_FLOAT_EQ(c.min_confidence, 0.5f);
  EXPECT_TRUE(c.updates);
  EXPECT_DOUBLE_EQ(c.update_interval_s, 2);
  EXPECT_EQ(c.lost_frames, 3);
  EXPECT_EQ(c.anchor, EventAnchor::Center);
  ASSERT_EQ(c.zones.size(), 1u);
  EXPECT_TRUE(c.zones[0].normalized);
  EXPECT_EQ(c.zones[0].points.size(), 3u);
  EXPECT_EQ(c.zones[0].min_frames, 2);
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0].direction, LineDirection::RightToLeft);
  EXPECT_DOUBLE_EQ(c.lines[0].b.x, 640);
  EXPECT_EQ(c.lines[0].labels, std::vector<std::string>{"car"});
}

TEST(EventConfig, OneClearProblemPerFault) {
  struct Case {
    const char* props;
    const char* expect;
  } cases[] = {
      {R"({"zones": [{"name": "z", "points": [[0,0],[10,0]]}]})", "zone \"z\" has 2 points; a polygon needs at least 3"},
      {R"({"lines": [{"name": "l", "points": [[5,5],[5,5]]}]})", "line \"l\" has zero length (both points are [5, 5])"},
      {R"({"events": {"minFrame": 3}})", "unknown key \"minFrame\" in \"events\" (did you mean \"minFrames\"?)"},
      {R"({"zones": [{"name": "z", "points": [[0,0],[2,0],[0,1]], "normalized": true}]})",
       "zone \"z\": normalized points must lie within 0..1, not [2, 0]"},
      {R"({"zones": [{"name": "z", "points": [[0,0],[5,5],[10,10]]}]})", "zone \"z\" has no area"},
      {R"({"lines": [{"name": "l", "points": [[0,0],[9,9]], "direction": "up"}]})",
       "\"direction\" must be \"both\", \"left_to_right\" or \"right_to_left\", not \"up\""},
      {R"({"zones": [{"name": "a", "points": [[0,0],[9,0],[0,9]]}, {"name": "a", "points": [[0,0],[9,0],[0,9]]}]})",
       "two zones are named \"a\""},
      {R"({"events": {"minFrames": "3"}})", "\"minFrames\" must be a whole number (write it without quotes)"},
  };
  for (const Case& k : cases) {
    StreamEventConfig c;
    auto msgs = problems_of(k.props, c);
    ASSERT_EQ(msgs.size(), 1u) << k.props;
    EXPECT_NE(msgs[0].find(k.expect), std::string::npos) << msgs[0];
  }
  // Pixel points that all lie within 0..1 are likely a forgotten "normalized": a warning.
  Json::Value p;
  Json::Reader().parse(R"({"zones": [{"name": "z", "points": [[0,0],[1,0],[0,1]]}]})", p);
  std::vector<nimbra_internal::ConfigProblem> problems;
  StreamEventConfig c;
  nimbra_internal::read_stream_events(p, c, problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_TRUE(problems[0].warning);
  EXPECT_FALSE(nimbra_internal::has_error(problems));
}

TEST(EventConfig, ServicesKeys) {
  Json::Value root;
  Json::Reader().parse(R"({"metricsPort": 9108, "mqtt": {"host": "h", "port": 1884, "clientId": "b1",
      "topicPrefix": "site/a", "qos": 0, "spoolMaxBytes": 5000000000}})",
                       root);
  nimbra_internal::ServicesConfig cfg;
  std::vector<nimbra_internal::ConfigProblem> problems;
  nimbra_internal::read_services(root, cfg, problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(cfg.metrics_port, 9108);
  EXPECT_TRUE(cfg.mqtt.enabled);
  EXPECT_EQ(cfg.mqtt.port, 1884);
  EXPECT_EQ(cfg.mqtt.qos, 0);
  EXPECT_EQ(cfg.mqtt.topic_prefix, "site/a");
  EXPECT_EQ(cfg.mqtt.spool_max_bytes, 5000000000ull);
  EXPECT_EQ(cfg.mqtt.spool_dir, "/var/tmp/nimbra-mqtt/b1");

  Json::Reader().parse(R"({"metricsPort": 70000, "mqtt": {"port": 0, "qos": 3, "topicPrefix": "a/#",
      "passwordFile": "/nonexistent/pw", "usrname": "x"}})",
                       root);
  problems.clear();
  nimbra_internal::ServicesConfig bad;
  nimbra_internal::read_services(root, bad, problems);
  std::string all;
  for (const auto& p : problems) all += p.message + "\n";
  for (const char* s : {"\"metricsPort\" must be between 0 and 65535, not 70000", "\"port\" must be between 1 and 65535",
                        "\"qos\" must be between 0 and 2", "must not hold \"+\" or \"#\"",
                        "\"passwordFile\": cannot read /nonexistent/pw", "unknown key \"usrname\" in \"mqtt\" (did you mean \"username\"?)"})
    EXPECT_NE(all.find(s), std::string::npos) << s << "\n" << all;
}

TEST(EventDelivery, SequencesIdsCallbacksAndPollUnderTwoFeedingThreads) {
  set_event_poll_capacity(100000);
  std::vector<Event> drained;
  poll_events(drained, 1000000);  // whatever earlier tests left
  StreamEventConfig c;
  c.min_frames = 1;
  set_stream_event_config("seq_a", c);
  set_stream_event_config("seq_b", c);

  std::mutex m;
  std::vector<Event> got;
  std::set<std::thread::id> threads;
  const int handle = on_event([&](const Event& e) {
    std::lock_guard<std::mutex> g(m);
    got.push_back(e);
    threads.insert(std::this_thread::get_id());
  });
  ASSERT_GT(handle, 0);

  // Each thread: 200 tracks, each present for one frame and gone the next: new + end.
  auto feeder = [](const std::string& id) {
    for (int i = 0; i < 200; ++i) {
      EventFrame f;
      f.stream_id = id;
      f.frame_index = 2 * i;
      f.width = 640, f.height = 480;
      f.wall_time_s = 100 + i;
      feed_event_frame(f, {obj(i, 1, 1, 5, 5)});
      f.frame_index = 2 * i + 1;
      feed_event_frame(f, {});
    }
  };
  std::thread ta(feeder, "seq_a"), tb(feeder, "seq_b");
  ta.join();
  tb.join();
  ASSERT_TRUE(nimbra_test::poll_until(
      [&] {
        std::lock_guard<std::mutex> g(m);
        return got.size() >= 800;
      },
      std::chrono::seconds(60)));
  EXPECT_TRUE(remove_event_callback(handle));
  EXPECT_FALSE(remove_event_callback(handle));
  const size_t after_removal = got.size();
  feed_event_frame(EventFrame{"seq_a", 9999, -1, 640, 480, 1}, {obj(5000, 1, 1, 5, 5)});

  std::vector<Event> polled;
  poll_events(polled, 100000, 1.0);
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(got.size(), after_removal);  // not called after removal
  EXPECT_EQ(threads.size(), 1u);         // one event thread, whatever fed
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  for (const std::vector<Event>* list : {&got, &polled}) {
    std::map<std::string, uint64_t> last;
    std::set<std::string> ids;
    for (const Event& e : *list) {
      EXPECT_EQ(e.sequence, last[e.stream_id] + 1) << e.stream_id;  // per stream, complete, in order
      last[e.stream_id] = e.sequence;
      EXPECT_TRUE(ids.insert(e.id).second) << e.id;
      EXPECT_NE(e.id.find("-" + e.stream_id + "-" + std::to_string(e.sequence)), std::string::npos) << e.id;
    }
    EXPECT_GE(last["seq_a"], 400u);
    EXPECT_EQ(last["seq_b"], 400u);
  }
  EXPECT_EQ(polled.size(), 801u);
  // A stream that ends closes its tracks; sequence numbers go on.
  end_stream_events("seq_a");
  std::vector<Event> ends;
  poll_events(ends, 10, 1.0);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].type, EventType::End);
  EXPECT_EQ(ends[0].track_id, 5000);
  EXPECT_EQ(ends[0].sequence, 402u);
}

TEST(EventDelivery, BadStreamConfigurationTurnsItsEventsOffWithOneError) {
  nimbra_test_util::LogCapture log;
  nimbra_test_util::ConfigFile conf(nimbra_test_util::config(
      {nimbra_test_util::entry("bad_zone", "\"inputType\": \"file\", \"inputAddr\": \"/x.mp4\", "
                                           "\"zones\": [{\"name\": \"z\", \"points\": [[0,0],[10,10]]}]"),
       nimbra_test_util::entry("good", "\"inputType\": \"file\", \"inputAddr\": \"/x.mp4\", \"events\": {\"minFrames\": 1}")}));
  std::vector<Event> drained;
  poll_events(drained, 1000000);
  EXPECT_EQ(configure_stream_events("bad_zone"), -1);
  EXPECT_EQ(log.count("zone \"z\" has 2 points; a polygon needs at least 3"), 1u) << log.text();
  EXPECT_TRUE(log.contains_at("ERROR", "stream \"bad_zone\": zone \"z\" has 2 points")) << log.text();
  // The first frame of each reads its configuration (a stream nobody configured first).
  for (const char* id : {"bad_zone", "good"}) {
    EventFrame f;
    f.stream_id = id;
    f.width = 640, f.height = 480;
    feed_event_frame(f, {obj(1, 1, 1, 5, 5)});
  }
  std::vector<Event> got;
  poll_events(got, 100, 1.0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].stream_id, "good");
  EXPECT_EQ(log.count("zone \"z\" has 2 points"), 1u);  // told once, not per frame
}
