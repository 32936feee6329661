// The MQTT publisher's parts without a broker: the connection state machine on a fake
// clock, and the ordered queue with its spool directory (order across memory and disk,
// acknowledgements out of order, a restart, a torn record, the bounds, the lock).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "StreamMqttLink.h"
#include "StreamMqttQueue.h"
#include "nimbra_test/temp_dir.h"

using nimbra_internal::MqttLink;
using nimbra_internal::MqttQueue;
using In = MqttLink::Input;

namespace {

MqttLink make_link() { return MqttLink({"b:1883", 0.5, 30, 10}); }

}  // namespace

TEST(MqttLink, BackoffDoublesToTheCeilingAndLogsOnce) {
  MqttLink link = make_link();
  auto a = link.step(In::Start, 0);
  EXPECT_TRUE(a.connect);
  a = link.step(In::Failed, 0, "Connection refused");
  EXPECT_TRUE(a.disconnect);
  EXPECT_EQ(a.warning, "MQTT broker b:1883 cannot be reached (Connection refused); events are kept and sent once it is up");
  EXPECT_EQ(link.state(), MqttLink::State::Waiting);
  // Retry waits: 0.5, 1, 2, 4, 8, 16, 30, 30 (hand-computed doubling with a 30 s ceiling).
  const double waits[] = {0.5, 1, 2, 4, 8, 16, 30, 30};
  double t = 0;
  for (double w : waits) {
    EXPECT_DOUBLE_EQ(link.retry_at(), t + w);
    EXPECT_FALSE(link.step(In::Tick, t + w - 0.01).connect);
    t += w;
    EXPECT_TRUE(link.step(In::Tick, t).connect);
    a = link.step(In::Failed, t, "Connection refused");
    EXPECT_TRUE(a.warning.empty() && a.error.empty());  // the same failure is not logged again
  }
  EXPECT_EQ(link.attempts(), 9u);
}

TEST(MqttLink, ConnectionResetsBackoffAndALostLinkRetriesAtOnce) {
  MqttLink link = make_link();
  link.step(In::Start, 0);
  link.step(In::Failed, 0, "x");
  link.step(In::Tick, 0.5);
  link.step(In::Failed, 0.5, "x");
  link.step(In::Tick, 1.5);
  auto a = link.step(In::Accepted, 1.6);
  EXPECT_TRUE(a.online);
  EXPECT_TRUE(a.rewind);
  EXPECT_EQ(a.info, "MQTT: connected to b:1883 again");
  EXPECT_EQ(link.connections(), 1u);
  a = link.step(In::Lost, 100, "the broker closed the connection");
  EXPECT_FALSE(a.warning.empty());
  EXPECT_DOUBLE_EQ(link.retry_at(), 100);
  EXPECT_TRUE(link.step(In::Tick, 100).connect);
  link.step(In::Failed, 100, "Connection refused");
  EXPECT_DOUBLE_EQ(link.retry_at(), 100.5);  // back to the first delay, then doubling
}

TEST(MqttLink, BadPasswordIsOneErrorAndWaitsTheLongest) {
  MqttLink link = make_link();
  link.step(In::Start, 0);
  auto a = link.step(In::Refused, 0, "bad user name or password (user \"u\")", true);
  EXPECT_EQ(a.error,
            "MQTT broker b:1883 refused the connection: bad user name or password (user \"u\"); check \"username\" "
            "and \"passwordFile\" (events are kept meanwhile)");
  EXPECT_DOUBLE_EQ(link.retry_at(), 30);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_TRUE(link.step(In::Tick, 30.0 * i).connect);
    a = link.step(In::Refused, 30.0 * i, "bad user name or password (user \"u\")", true);
    EXPECT_TRUE(a.error.empty());
    EXPECT_DOUBLE_EQ(link.retry_at(), 30.0 * (i + 1));
  }
}

TEST(MqttLink, UnansweredAttemptTimesOutAndStopIsFinal) {
  MqttLink link = make_link();
  link.step(In::Start, 0);
  EXPECT_FALSE(link.step(In::Tick, 9.9).disconnect);
  auto a = link.step(In::Tick, 10);
  EXPECT_TRUE(a.disconnect);
  EXPECT_NE(a.warning.find("does not answer"), std::string::npos);
  link.step(In::Tick, 10.5);
  link.step(In::Accepted, 10.6);
  a = link.step(In::Stop, 11);
  EXPECT_TRUE(a.disconnect);
  EXPECT_EQ(link.state(), MqttLink::State::Stopped);
  EXPECT_FALSE(link.step(In::Start, 12).connect);
  EXPECT_FALSE(link.step(In::Tick, 100).connect);
  // Answers for an attempt that is no more change nothing.
  EXPECT_FALSE(link.step(In::Accepted, 100).online);
}

namespace {

std::vector<uint64_t> drain(MqttQueue& q, bool ack = true) {
  std::vector<uint64_t> out;
  while (const MqttQueue::Message* m = q.next_unsent()) {
    out.push_back(m->qn);
    EXPECT_EQ(m->payload, "p" + std::to_string(m->qn)) << m->qn;
  }
  if (ack)
    for (uint64_t qn : out) q.acked(qn);
  return out;
}

// Pushes with payload "p<queue number>": the queue numbers count from 1 in push order.
struct Pusher {
  uint64_t n = 0;
  void operator()(MqttQueue& q, int count, bool spill) {
    for (int i = 0; i < count; ++i) {
      q.push("t/x/events", "p" + std::to_string(++n));
      if (spill) q.spill_all();
    }
  }
};

std::vector<uint64_t> range(uint64_t a, uint64_t b) {
  std::vector<uint64_t> v;
  for (uint64_t i = a; i <= b; ++i) v.push_back(i);
  return v;
}

size_t segment_files(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".seg") ++n;
  return n;
}

}  // namespace

TEST(MqttQueue, MemoryOnlyDropsTheOldest) {
  MqttQueue q("", 3, 0);
  std::string err;
  ASSERT_TRUE(q.open(err));
  Pusher push;
  push(q, 5, false);
  EXPECT_EQ(q.dropped(), 2u);
  EXPECT_EQ(drain(q), range(3, 5));
  EXPECT_EQ(q.size(), 0u);
}

TEST(MqttQueue, OrderAcrossMemoryAndDiskAndOutOfOrderAcks) {
  nimbra_test::TempDir dir("nimbra-mqttq");
  MqttQueue q(dir.file("spool"), 4, 1 << 20);
  std::string err;
  ASSERT_TRUE(q.open(err)) << err;
  Pusher push;
  push(q, 3, false);
  // Three in flight; the link drops with the first unacknowledged.
  EXPECT_EQ(drain(q, false), range(1, 3));
  q.acked(2);
  EXPECT_EQ(q.size(), 3u);  // 1 holds the front
  push(q, 10, false);       // over the memory bound: the unsent ones go to disk
  EXPECT_GT(q.on_disk(), 0u);
  q.rewind();
  q.spill_all();            // link down: everything to disk, 1..3 before 4..13
  EXPECT_EQ(q.on_disk(), 13u);  // 2 too: acknowledged, it leaves with the front
  push(q, 2, false);        // 14, 15 in memory
  std::vector<uint64_t> expect = {1, 3};
  for (uint64_t i = 4; i <= 15; ++i) expect.push_back(i);
  EXPECT_EQ(drain(q), expect);  // 2 was acknowledged: not again
  EXPECT_EQ(q.size(), 0u);
  EXPECT_EQ(q.dropped(), 0u);
  EXPECT_EQ(segment_files(dir.file("spool")), 0u);  // delivered segments are deleted
}

TEST(MqttQueue, RestartReadsTheSpoolAndATornRecordEndsIt) {
  nimbra_test::TempDir dir("nimbra-mqttq");
  const std::string spool = dir.file("a/b/spool");
  Pusher push;
  {
    MqttQueue q(spool, 100, 1 << 20);
    std::string err;
    ASSERT_TRUE(q.open(err)) << err;
    push(q, 7, true);
    EXPECT_EQ(q.on_disk(), 7u);
  }
  // A crash in the middle of a write leaves half a record behind.
  std::string seg;
  for (const auto& e : std::filesystem::directory_iterator(spool))
    if (e.path().extension() == ".seg") seg = e.path();
  ASSERT_FALSE(seg.empty());
  {
    std::ofstream f(seg, std::ios::app | std::ios::binary);
    f << std::string("NMQ1\x01\x02\x03", 7);
  }
  {
    MqttQueue q(spool, 100, 1 << 20);
    std::string err;
    ASSERT_TRUE(q.open(err)) << err;
    EXPECT_EQ(q.size(), 7u);
    push.n = 7;
    push(q, 2, true);  // numbered after what the earlier run left
    EXPECT_EQ(q.on_disk(), 9u);
  }
  MqttQueue q(spool, 100, 1 << 20);
  std::string err;
  ASSERT_TRUE(q.open(err)) << err;
  EXPECT_EQ(drain(q), range(1, 9));
}

TEST(MqttQueue, FullSpoolDropsTheOldestAndCounts) {
  nimbra_test::TempDir dir("nimbra-mqttq");
  // Each record: 24 bytes of header, 10 of topic, "pN" of payload: 36 to 38 bytes.
  MqttQueue q(dir.file("spool"), 1000, 400);
  std::string err;
  ASSERT_TRUE(q.open(err)) << err;
  Pusher push;
  push(q, 60, true);
  EXPECT_GT(q.dropped(), 0u);
  EXPECT_LE(q.disk_bytes(), 400u);
  EXPECT_EQ(q.dropped() + q.size(), 60u);
  const std::vector<uint64_t> got = drain(q);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got, range(61 - got.size(), 60));  // the newest survive, in order
}

TEST(MqttQueue, OneProcessPerSpoolDirectory) {
  nimbra_test::TempDir dir("nimbra-mqttq");
  MqttQueue a(dir.file("spool"), 10, 1 << 20), b(dir.file("spool"), 10, 1 << 20);
  std::string err;
  ASSERT_TRUE(a.open(err)) << err;
  EXPECT_FALSE(b.open(err));
  EXPECT_NE(err.find("is used by another process"), std::string::npos) << err;
}
