// Events to a real mosquitto broker the tests start on 127.0.0.1: the shape of what
// arrives, a broker outage that loses and reorders nothing, a process killed during an
// outage that delivers its spool when started again, a broker that never answers under a
// running stream, a wrong password.
#include <gtest/gtest.h>
#include <json/json.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <set>

#include "StreamEvents.h"
#include "StreamRegistry.h"
#include "nimbra.h"
#include "nimbra_test/poll.h"
#include "nimbra_test/process.h"
#include "mqtt_fixture.h"
#include "nimbra_test/temp_dir.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using nimbra_test::poll_until;
using nimbra_test::Process;
using nimbra_test::TempDir;
using std::chrono::seconds;

namespace {

using nimbra_mqtt_test::Broker;
using nimbra_mqtt_test::kLimit;
using nimbra_mqtt_test::Message;
using nimbra_mqtt_test::Subscriber;

Json::Value parse(const std::string& text) {
  Json::Value v;
  Json::Reader r;
  EXPECT_TRUE(r.parse(text, v)) << text;
  return v;
}

std::string mqtt_conf(int port, const std::string& client, const std::string& prefix, const std::string& spool,
                      const std::string& more = "") {
  return "{\"streams\": [], \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " + std::to_string(port) +
         ", \"clientId\": \"" + client + "\", \"topicPrefix\": \"" + prefix + "\", \"spoolDir\": \"" + spool +
         "\", \"queueEvents\": 8" + more + "}}";
}

// Each track is present on one frame and gone on the next: a new and an end event.
void feed_tracks(const std::string& stream, int first, int count) {
  static int64_t frame = 0;
  for (int i = first; i < first + count; ++i) {
    DetectedObject o;
    o.track_id = i;
    o.label = "person";
    o.confidence = 0.8f;
    o.x = 10, o.y = 20, o.width = 30, o.height = 40;
    ++frame;
    feed_event_frame(EventFrame{stream, frame, frame * 40000000, 640, 480, 0}, {o});
    ++frame;
    feed_event_frame(EventFrame{stream, frame, frame * 40000000, 640, 480, 0}, {});
  }
}

void configure(const std::string& stream) {
  StreamEventConfig c;
  c.min_frames = 1;
  set_stream_event_config(stream, c);
}

// Sequence numbers of the events received: every one from 1 to `n` present, and their
// first arrivals in order (at least once delivery may repeat one; it may not reorder).
void expect_complete_in_order(const std::vector<Message>& msgs, uint64_t n) {
  std::vector<uint64_t> firsts;
  std::set<uint64_t> seen;
  for (const Message& m : msgs) {
    const uint64_t s = parse(m.payload)["sequence"].asUInt64();
    if (seen.insert(s).second) firsts.push_back(s);
  }
  ASSERT_EQ(firsts.size(), n);
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(firsts[i], i + 1) << "position " << i;
}

size_t distinct_sequences(const std::vector<Message>& msgs) {
  std::set<uint64_t> s;
  for (const Message& m : msgs) s.insert(parse(m.payload)["sequence"].asUInt64());
  return s.size();
}

}  // namespace

TEST(Mqtt, EventsHealthAndAvailabilityArriveWithTheirShape) {
  TempDir dir("nimbra-mqtt");
  Broker broker(dir.path());
  Subscriber sub(broker.port(), "watcher1", "t1/#");
  nimbra_test_util::write_file(dir.file("conf"),
                               mqtt_conf(broker.port(), "boardA", "t1", dir.file("spool"), ", \"healthInterval\": 0.2"));
  auto entry = nimbra_internal::register_detached("cam_shape", nimbra_internal::StreamKind::Classic);
  ASSERT_TRUE(entry);
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  configure("cam_shape");
  feed_tracks("cam_shape", 7, 1);
  ASSERT_TRUE(poll_until([&] { return sub.on("t1/cam_shape/events").size() >= 2; }, kLimit));
  ASSERT_TRUE(poll_until([&] { return !sub.on("t1/cam_shape/health").empty(); }, kLimit));

  const auto events = sub.on("t1/cam_shape/events");
  Json::Value n = parse(events[0].payload), e = parse(events[1].payload);
  EXPECT_EQ(n["type"].asString(), "new");
  EXPECT_EQ(e["type"].asString(), "end");
  EXPECT_EQ(n["stream_id"].asString(), "cam_shape");
  EXPECT_EQ(n["sequence"].asUInt64(), 1u);
  EXPECT_EQ(e["sequence"].asUInt64(), 2u);
  EXPECT_EQ(n["track_id"].asInt(), 7);
  EXPECT_EQ(n["label"].asString(), "person");
  EXPECT_DOUBLE_EQ(n["box"]["width"].asDouble(), 30);
  EXPECT_NEAR(n["box_normalized"]["width"].asDouble(), 30.0 / 640, 1e-6);
  EXPECT_FALSE(e["end_time_unix_s"].isNull());
  EXPECT_NE(n["id"].asString(), e["id"].asString());
  EXPECT_FALSE(events[0].retained);

  const Json::Value h = parse(sub.on("t1/cam_shape/health")[0].payload);
  EXPECT_EQ(h["stream_id"].asString(), "cam_shape");
  EXPECT_EQ(h["state"].asString(), "starting");
  EXPECT_TRUE(h.isMember("frames_decoded") && h.isMember("callback_p99_ms"));
  const auto avail = sub.on("t1/availability/boardA");
  ASSERT_FALSE(avail.empty());
  EXPECT_EQ(avail[0].payload, "online");

  // Health and availability are retained: a consumer that comes later gets them at once.
  Subscriber late(broker.port(), "watcher-late", "t1/#", true);
  ASSERT_TRUE(poll_until([&] { return !late.on("t1/cam_shape/health").empty() && !late.on("t1/availability/boardA").empty(); },
                         kLimit));
  EXPECT_TRUE(late.on("t1/cam_shape/health")[0].retained);
  EXPECT_TRUE(late.on("t1/cam_shape/events").empty());

  stop_event_services();
  ASSERT_TRUE(poll_until([&] { auto a = sub.on("t1/availability/boardA"); return a.back().payload == "offline"; }, kLimit));
  nimbra_internal::release_entry(entry);
}

TEST(Mqtt, BrokerOutageLosesAndReordersNothing) {
  TempDir dir("nimbra-mqtt");
  Broker broker(dir.path());
  Subscriber sub(broker.port(), "watcher2", "t2/+/events");
  nimbra_test_util::write_file(dir.file("conf"), mqtt_conf(broker.port(), "boardB", "t2", dir.file("spool")));
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  configure("cam_out");
  feed_tracks("cam_out", 0, 20);  // 40 events
  ASSERT_TRUE(poll_until([&] { return sub.on("t2/cam_out/events").size() >= 40 && mqtt_status().queued == 0; }, kLimit));

  broker.stop();
  const uint64_t attempts = mqtt_status().connect_attempts;
  feed_tracks("cam_out", 20, 30);  // 60 events during the outage
  // The outage lasts until the publisher has failed to reconnect twice and everything
  // waits on disk.
  ASSERT_TRUE(poll_until(
      [&] {
        const MqttStatus s = mqtt_status();
        return !s.connected && s.connect_attempts >= attempts + 2 && s.spooled == 60 && s.queued == 60;
      },
      kLimit))
      << mqtt_status().connect_attempts << " " << mqtt_status().spooled;
  EXPECT_FALSE(mqtt_status().last_error.empty());

  ASSERT_TRUE(broker.start());
  feed_tracks("cam_out", 50, 25);  // 50 more while it reconnects
  ASSERT_TRUE(poll_until([&] { return distinct_sequences(sub.on("t2/cam_out/events")) >= 150; }, kLimit))
      << distinct_sequences(sub.on("t2/cam_out/events"));
  expect_complete_in_order(sub.on("t2/cam_out/events"), 150);
  const MqttStatus s = mqtt_status();
  EXPECT_EQ(s.dropped, 0u);
  EXPECT_GE(s.connections, 2u);
  ASSERT_TRUE(poll_until([&] { return mqtt_status().queued == 0; }, kLimit));
  stop_event_services();
}

TEST(Mqtt, ProcessKilledDuringAnOutageDeliversItsSpoolWhenStartedAgain) {
  TempDir dir("nimbra-mqtt");
  const int port = nimbra_test::free_tcp_port();  // no broker yet
  nimbra_test_util::write_file(dir.file("conf"), mqtt_conf(port, "boardK", "t3", dir.file("spool")));
  const std::string feeder = NIMBRA_EVENTS_FEEDER;
  {
    Process p({feeder, dir.file("conf"), "spool", "40"});
    auto line = p.wait_for_substr("SPOOLED", kLimit);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "SPOOLED 80");
    kill(p.pid(), SIGKILL);
    p.stop();
  }

  // The broker comes up after the process died; a restarted process delivers the spool.
  TempDir bdir("nimbra-mqtt-broker");
  Broker broker(bdir.path(), "allow_anonymous true\n");
  const std::string conf2 = mqtt_conf(broker.port(), "boardK", "t3", dir.file("spool"));
  nimbra_test_util::write_file(dir.file("conf"), conf2);
  Subscriber sub(broker.port(), "watcher3", "t3/#");
  Process p({feeder, dir.file("conf"), "deliver"});
  ASSERT_TRUE(p.wait_for_substr("DELIVERED", kLimit));
  ASSERT_TRUE(poll_until([&] { return distinct_sequences(sub.on("t3/cam/events")) >= 80; }, kLimit));
  expect_complete_in_order(sub.on("t3/cam/events"), 80);
  // Killed while connected: the broker says "offline" for it (its last will).
  ASSERT_TRUE(poll_until([&] { return !sub.on("t3/availability/boardK").empty(); }, kLimit));
  kill(p.pid(), SIGKILL);
  ASSERT_TRUE(poll_until([&] { auto a = sub.on("t3/availability/boardK"); return a.back().payload == "offline"; }, kLimit));
  p.stop();
}

TEST(Mqtt, BrokerThatNeverAnswersCostsTheStreamNoFrame) {
  const char* media = getenv("NIMBRA_MEDIA_DIR");
  ASSERT_TRUE(media);
  const std::string clip = std::string(media) + "/h264_small.mp4";
  TempDir dir("nimbra-mqtt");
  // A "broker" that takes the connection into its backlog and never says a word.
  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(lfd, (sockaddr*)&addr, sizeof addr), 0);
  ASSERT_EQ(listen(lfd, 16), 0);
  getsockname(lfd, (sockaddr*)&addr, &len);
  const int port = ntohs(addr.sin_port);

  const std::string streams = "\"streams\": [{\"streamsId\": \"cam_run\", \"properties\": {\"inputType\": \"file\", "
                              "\"inputAddr\": \"" + clip + "\", \"decodeType\": \"H264\", \"manualRebuild\": true, "
                              "\"events\": {\"minFrames\": 1}}}]";
  nimbra_test_util::write_file(dir.file("plain.conf"), "{" + streams + "}");
  nimbra_test_util::write_file(dir.file("mqtt.conf"), "{" + streams + ", \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " +
                                                          std::to_string(port) + ", \"spoolDir\": \"" +
                                                          dir.file("spool") + "\", \"clientId\": \"boardN\"}}");
  // Every frame brings a new object and ends the previous one.
  auto run = [&](const std::string& conf) {
    g_stream_conf_file = conf.c_str();
    stream_conf_file = conf.c_str();
    int frames = 0;
    std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
      ++frames;
      DetectedObject o;
      o.track_id = img.frame_index;
      o.label = "car";
      o.confidence = 0.7f;
      o.width = o.height = 8;
      feed_event_frame(EventFrame{"cam_run", img.frame_index, img.pts, img.width, img.height, 0}, {o});
      return 0;
    };
    EXPECT_EQ(start_stream("cam_run", cb), 0);
    end_stream_events("cam_run");
    return frames;
  };
  const std::string plain = dir.file("plain.conf"), with_mqtt = dir.file("mqtt.conf");
  const int alone = run(plain);
  ASSERT_GT(alone, 20);
  ASSERT_EQ(start_event_services(with_mqtt), 0);
  const int beside = run(with_mqtt);
  const MqttStatus s = mqtt_status();
  stop_event_services();
  close(lfd);
  EXPECT_EQ(beside, alone);
  EXPECT_FALSE(s.connected);
  EXPECT_EQ(s.published, 0u);
  EXPECT_EQ(s.dropped, 0u);
  EXPECT_EQ(s.queued, (uint64_t)(2 * beside));  // every event waits; none was lost
  g_stream_conf_file = "/nonexistent/nimbra-gst.conf";
  stream_conf_file = "/nonexistent/nimbra-gst.conf";
}

TEST(Mqtt, WrongPasswordIsOneClearError) {
  TempDir dir("nimbra-mqtt");
  const std::string pwfile = dir.file("mosquitto.passwd");
  nimbra_test_util::write_file(pwfile, "");
  ASSERT_EQ(system(("mosquitto_passwd -c -b " + pwfile + " board secret >/dev/null 2>&1").c_str()), 0);
  Broker broker(dir.path(), "allow_anonymous false\npassword_file " + pwfile + "\n");
  nimbra_test_util::write_file(dir.file("wrong"), "not-the-secret\n");
  nimbra_test_util::write_file(dir.file("right"), "secret\n");
  nimbra_test_util::LogCapture log;
  nimbra_test_util::write_file(
      dir.file("conf"), mqtt_conf(broker.port(), "boardP", "t5", dir.file("spool"),
                                  ", \"username\": \"board\", \"passwordFile\": \"" + dir.file("wrong") + "\", \"retryMax\": 1"));
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  // Refused again and again (the ceiling is 1 s here): one error line all the same.
  ASSERT_TRUE(poll_until([&] { return mqtt_status().connect_attempts >= 4; }, kLimit));
  stop_event_services();
  EXPECT_EQ(log.count("bad user name or password (user \"board\")"), 1u) << log.text();
  EXPECT_TRUE(log.contains_at("ERROR", "refused the connection: bad user name or password")) << log.text();

  nimbra_test_util::write_file(
      dir.file("conf"), mqtt_conf(broker.port(), "boardP", "t5", dir.file("spool2"),
                                  ", \"username\": \"board\", \"passwordFile\": \"" + dir.file("right") + "\""));
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  ASSERT_TRUE(poll_until([&] { return mqtt_status().connected; }, kLimit));
  stop_event_services();
}

TEST(EventServices, BadConfigurationStartsNothing) {
  TempDir dir("nimbra-mqtt");
  nimbra_test_util::LogCapture log;
  // A metrics port that is taken.
  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(lfd, (sockaddr*)&addr, sizeof addr), 0);
  ASSERT_EQ(listen(lfd, 4), 0);
  getsockname(lfd, (sockaddr*)&addr, &len);
  nimbra_test_util::write_file(dir.file("busy"), "{\"streams\": [], \"metricsPort\": " +
                                                     std::to_string(ntohs(addr.sin_port)) + "}");
  EXPECT_EQ(start_event_services(dir.file("busy")), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "(the port is in use")) << log.text();
  EXPECT_EQ(metrics_port(), 0);
  close(lfd);
  nimbra_test_util::write_file(dir.file("bad"), "{\"streams\": [], \"mqtt\": {\"hots\": \"x\"}}");
  EXPECT_EQ(start_event_services(dir.file("bad")), -1);
  EXPECT_TRUE(log.contains("unknown key \"hots\" in \"mqtt\" (did you mean \"host\"?)")) << log.text();
  EXPECT_FALSE(mqtt_status().configured);
  // Port 0: any free port, told by metrics_port().
  nimbra_test_util::write_file(dir.file("any"), "{\"streams\": [], \"metricsPort\": 0}");
  ASSERT_EQ(start_event_services(dir.file("any")), 0);
  EXPECT_GT(metrics_port(), 0);
  EXPECT_TRUE(nimbra_test::tcp_port_accepts(metrics_port()));
  EXPECT_EQ(start_event_services(dir.file("any")), -1);  // already running
  stop_event_services();
  EXPECT_EQ(metrics_port(), 0);
  // A port given by the caller (nimbra-run --metrics-port) wins over the file's.
  ASSERT_EQ(start_event_services(dir.file("none"), 0), -1);  // no such file yet
  nimbra_test_util::write_file(dir.file("none"), "{\"streams\": []}");
  ASSERT_EQ(start_event_services(dir.file("none"), 0), 0);
  EXPECT_GT(metrics_port(), 0);
  stop_event_services();
}

TEST(Mqtt, TlsWithTheConfiguredCa) {
  TempDir dir("nimbra-mqtt");
  const std::string d = dir.path();
  // A CA, a broker certificate it signs for 127.0.0.1, and a second CA that signed nothing.
  const std::string cmd =
      "cd " + d + " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext && "
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=nimbra-test-ca && "
      "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
      "-extfile san.ext && "
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj /CN=other-ca && "
      "chmod 644 *.key";
  ASSERT_EQ(system((cmd + " >/dev/null 2>&1").c_str()), 0);
  Broker broker(d, "allow_anonymous true\ncafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                       "/server.key\n");
  nimbra_test_util::write_file(dir.file("conf"), mqtt_conf(broker.port(), "boardT", "t6", dir.file("spool"),
                                                           ", \"caFile\": \"" + d + "/ca.pem\""));
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  configure("cam_tls");
  feed_tracks("cam_tls", 0, 3);
  ASSERT_TRUE(poll_until([&] { return mqtt_status().published == 6; }, kLimit)) << mqtt_status().last_error;
  EXPECT_TRUE(mqtt_status().connected);
  stop_event_services();

  // A broker whose certificate the configured CA did not sign is never trusted.
  nimbra_test_util::write_file(dir.file("conf"), mqtt_conf(broker.port(), "boardT", "t6", dir.file("spool2"),
                                                           ", \"caFile\": \"" + d + "/other.pem\""));
  ASSERT_EQ(start_event_services(dir.file("conf")), 0);
  feed_tracks("cam_tls", 3, 1);
  ASSERT_TRUE(poll_until([&] { return mqtt_status().connect_attempts >= 3; }, kLimit));
  const MqttStatus s = mqtt_status();
  EXPECT_EQ(s.connections, 0u);
  EXPECT_EQ(s.published, 0u);
  EXPECT_EQ(s.queued, 2u);
  stop_event_services();
}
