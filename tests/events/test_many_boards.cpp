// Many boards on loopback: two nimbra-run processes, each a board with its own MQTT client
// id, take a camera from one RTSP server, push their video back to it and publish their
// events and health to one mosquitto broker. Events come from tracked objects listed per
// frame (--objects), as a board's own detector would feed them. Board A also keeps event
// clips of its camera, announced on the broker like any event.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>

#include <set>

#include "mqtt_fixture.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/rtsp_test_server.h"
#include "nimbra_test/temp_dir.h"
#include "test_util.h"

using nimbra_mqtt_test::Broker;
using nimbra_mqtt_test::kLimit;
using nimbra_mqtt_test::Message;
using nimbra_mqtt_test::Subscriber;
using nimbra_test::poll_until;
using nimbra_test::Process;
using nimbra_test::RtspTestServer;
using nimbra_test::TempDir;

namespace {

Json::Value parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

// Events of `stream` as received, parsed.
std::vector<Json::Value> events_of(Subscriber& sub, const std::string& stream) {
  std::vector<Json::Value> out;
  for (const Message& m : sub.on("site/" + stream + "/events")) out.push_back(parse(m.payload));
  return out;
}

}  // namespace

TEST(ManyBoards, TwoRunnersShareOneBrokerAndOneRtspServer) {
  TempDir dir("nimbra-boards");
  Broker broker(dir.path());
  Subscriber sub(broker.port(), "site-watcher", "site/#");
  RtspTestServer server;

  // Track 1 on frames 10..20 and track 2 on frames 30..34 of every stream; track 3 only
  // on board B's camera.
  std::string objects;
  auto line = [&](const std::string& stream, int frame, int track) {
    objects += "{" + (stream.empty() ? std::string() : "\"stream_id\": \"" + stream + "\", ") +
               "\"frame\": " + std::to_string(frame) + ", \"objects\": [{\"track_id\": " + std::to_string(track) +
               ", \"label\": \"person\", \"confidence\": 0.8, \"box\": {\"x\": 100, \"y\": 50, \"width\": 40, "
               "\"height\": 90}}]}\n";
  };
  for (int f = 10; f <= 20; ++f) line("", f, 1);
  for (int f = 30; f <= 34; ++f) line("", f, 2);
  for (int f = 50; f <= 55; ++f) line("camB", f, 3);
  nimbra_test_util::write_file(dir.file("objects.jsonl"), objects);

  std::vector<std::unique_ptr<Process>> boards;
  for (const std::string b : {"A", "B"}) {
    const std::string cam = "cam" + b;
    const std::string conf = dir.file("board" + b + ".conf");
    const std::string clips = b == "A" ? ", \"eventClips\": {\"pre\": 1, \"post\": 1, \"ringSeconds\": 10, "
                                         "\"segmentSeconds\": 1, \"dir\": \"" + dir.file("clipsA") + "\"}"
                                       : "";
    nimbra_test_util::write_file(
        conf, "{\"streams\": [{\"streamsId\": \"" + cam + "\", \"properties\": {\"inputType\": \"rtsp\", \"inputAddr\": \"" +
                  server.url("/h264") + "\", \"decodeType\": \"H264\", \"outputType\": \"rtsp\", \"outputAddr\": \"" +
                  server.url("/record/" + cam) +
                  "\", \"width\": 640, \"height\": 360, \"events\": {\"minFrames\": 2}" + clips + "}}],\n"
                  " \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " + std::to_string(broker.port()) +
                  ", \"clientId\": \"board" + b + "\", \"topicPrefix\": \"site\", \"healthInterval\": 0.5, "
                  "\"spoolDir\": \"" + dir.file("spool" + b) + "\"}}\n");
    boards.push_back(std::make_unique<Process>(
        std::vector<std::string>{NIMBRA_RUN_PATH, "--config", conf, "--objects", dir.file("objects.jsonl"), "--events",
                                 cam},
        Process::Options{{"NIMBRA_CONCATE_SCRIPT=" + std::string(getenv("NIMBRA_SOURCE_DIR")) + "/platform/concate_video.py"},
                         dir.file("board" + b + ".err"), "", "board" + b}));
  }

  // Both boards' events: new and end of tracks 1 and 2, and board B's track 3.
  auto complete = [&](const std::string& stream, size_t tracks) {
    std::set<std::pair<std::string, int64_t>> seen;
    for (const Json::Value& e : events_of(sub, stream)) seen.insert({e["type"].asString(), e["track_id"].asInt64()});
    for (int64_t t = 1; t <= (int64_t)tracks; ++t)
      if (!seen.count({"new", t}) || !seen.count({"end", t})) return false;
    return true;
  };
  ASSERT_TRUE(poll_until([&] { return complete("camA", 2) && complete("camB", 3); }, kLimit))
      << "board A: " << nimbra_test_util::read_file(dir.file("boardA.err"))
      << "\nboard B: " << nimbra_test_util::read_file(dir.file("boardB.err"));
  for (const std::string cam : {"camA", "camB"}) {
    std::set<uint64_t> sequences;
    for (const Json::Value& e : events_of(sub, cam)) {
      EXPECT_EQ(e["stream_id"].asString(), cam);
      EXPECT_EQ(e["label"].asString(), "person");
      EXPECT_EQ(e["box"]["width"].asDouble(), 40);
      sequences.insert(e["sequence"].asUInt64());
    }
    EXPECT_EQ(*sequences.begin(), 1u);
    EXPECT_EQ(*sequences.rbegin(), sequences.size()) << cam << ": sequence numbers with a gap";
  }
  for (const Json::Value& e : events_of(sub, "camA")) EXPECT_NE(e["track_id"].asInt64(), 3) << "board B's track on A";

  // Board A's clips of its two tracks' new events, each a playable recording of pre + post
  // (2 s at the server's 25 fps) or, for track 1 (new on frame 11, less than `pre` after the
  // stream began), of everything from the start to its post-roll; board B keeps none.
  std::vector<Json::Value> clips;
  ASSERT_TRUE(poll_until(
      [&] {
        clips.clear();
        for (const Json::Value& e : events_of(sub, "camA"))
          if (e["type"].asString() == "clip") clips.push_back(e);
        return clips.size() >= 2;
      },
      kLimit))
      << nimbra_test_util::read_file(dir.file("boardA.err"));
  std::set<int64_t> clipped;
  for (const Json::Value& c : clips) {
    clipped.insert(c["track_id"].asInt64());
    const std::string path = c["clip_path"].asString();
    EXPECT_EQ(path.rfind(dir.file("clipsA") + "/camA-", 0), 0u) << path;
    const nimbra_test::MediaInfo info = nimbra_test::count_frames(path);
    ASSERT_TRUE(info.ok) << path << ": " << info.error;
    EXPECT_EQ(info.video_codec, "video/x-h264");
    EXPECT_GE(info.frames, c["track_id"].asInt64() == 1 ? 11 + 25 - 1 : 50) << path;
    EXPECT_GE(info.keyframes, 1);
  }
  EXPECT_EQ(clipped, (std::set<int64_t>{1, 2}));
  for (const Json::Value& e : events_of(sub, "camB")) EXPECT_NE(e["type"].asString(), "clip");

  // Each board's health, from its own stream, while it plays and pushes.
  ASSERT_TRUE(poll_until(
      [&] {
        for (const std::string cam : {"camA", "camB"}) {
          auto h = sub.on("site/" + cam + "/health");
          if (h.empty()) return false;
          const Json::Value v = parse(h.back().payload);
          if (v["stream_id"].asString() != cam || v["state"].asString() != "playing" ||
              v["frames_delivered"].asUInt64() < 60)
            return false;
        }
        return true;
      },
      kLimit));
  for (const std::string b : {"A", "B"}) {
    auto a = sub.on("site/availability/board" + b);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.front().payload, "online");
  }
  // Both pushed videos reach the one server.
  ASSERT_TRUE(server.wait_video_frames("/record/camA", 25, kLimit));
  ASSERT_TRUE(server.wait_video_frames("/record/camB", 25, kLimit));

  // Each board also printed its own events, one JSON line each.
  for (size_t i = 0; i < boards.size(); ++i) {
    const std::string cam = i == 0 ? "camA" : "camB";
    ASSERT_TRUE(boards[i]->wait_for_substr("\"type\":\"end\",\"stream_id\":\"" + cam + "\"", kLimit).has_value());
    for (const std::string& l : boards[i]->lines()) EXPECT_EQ(parse(l)["stream_id"].asString(), cam) << l;
  }

  // Stopped, each board says so on its availability topic.
  for (auto& p : boards) kill(p->pid(), SIGINT);
  for (auto& p : boards) {
    ASSERT_TRUE(p->wait(kLimit));
    EXPECT_TRUE(WIFEXITED(p->status()) && WEXITSTATUS(p->status()) == 0) << "status " << p->status();
  }
  ASSERT_TRUE(poll_until(
      [&] {
        for (const std::string b : {"A", "B"}) {
          auto a = sub.on("site/availability/board" + b);
          if (a.empty() || a.back().payload != "offline") return false;
        }
        return true;
      },
      kLimit));
}
