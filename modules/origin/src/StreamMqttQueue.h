// The MQTT publisher's queue: every message waits here, in order, until the broker has
// acknowledged it. Newest messages are kept in memory up to a bound; beyond it, and
// whenever the link is down, they go to segment files in a spool directory that a restart
// of the process reads back. When the directory reaches its size bound the oldest segment
// is dropped (and counted).
//
// Every message gets a queue number when it is pushed; the queue hands them out in that
// order whichever store holds them. Segment files hold runs of consecutive numbers and are
// named by the first one, so the files sort in delivery order. Records carry a checksum:
// a record torn by a crash ends its segment there.
//
// Used by the publisher's thread only (no locks inside).
//
//   MqttQueue q(dir, 1000, 64 << 20);
//   if (!q.open(error)) ...
//   q.push("site/cam1/events", json);
//   while (const MqttQueue::Message* m = q.next_unsent()) send(m->qn, m->topic, m->payload);
//   q.acked(qn);          // when the broker acknowledged
//   q.rewind();           // the link dropped: unacknowledged messages go out again
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace nimbra_internal {

class MqttQueue {
 public:
  struct Message {
    uint64_t qn = 0;
    std::string topic;
    std::string payload;
  };

  // `dir` empty or `disk_max_bytes` 0: memory only.
  MqttQueue(std::string dir, size_t memory_max, uint64_t disk_max_bytes);
  ~MqttQueue();
  MqttQueue(const MqttQueue&) = delete;
  MqttQueue& operator=(const MqttQueue&) = delete;

  // Creates and locks the directory and finds the segments a previous run left. false
  // and `error` when the directory cannot be made, written or is used by another process.
  bool open(std::string& error);

  void push(std::string topic, std::string payload);
  // Moves every message of memory that is not in flight to the spool directory.
  void spill_all();

  // The first message after those handed out since the last rewind, or null. The pointer
  // is valid until the next call that changes the queue.
  const Message* next_unsent();
  // The broker acknowledged `qn`; acknowledged messages leave the queue from the front.
  void acked(uint64_t qn);
  // Nothing is in flight any more: next_unsent starts again at the front.
  void rewind();

  uint64_t size() const { return memory_.size() + disk_count_; }
  uint64_t on_disk() const { return disk_count_; }
  uint64_t dropped() const { return dropped_; }
  uint64_t disk_bytes() const { return disk_bytes_; }
  // The last problem with the directory (a write that failed), or empty.
  const std::string& disk_error() const { return disk_error_; }

 private:
  struct Segment {
    uint64_t first = 0;     // queue number of the first record
    uint64_t count = 0;     // records in the file
    uint64_t consumed = 0;  // records at its front already acknowledged
    uint64_t bytes = 0;
  };

  bool disk_enabled() const { return !dir_.empty() && disk_max_ > 0 && lock_fd_ >= 0; }
  std::string path_of(uint64_t first) const;
  // Appends messages (ascending, consecutive queue numbers) to the spool.
  void write_run(std::vector<Message>& run);
  void spill(std::deque<Message>::iterator from, std::deque<Message>::iterator to);
  const std::vector<Message>& load(const Segment& s);
  void drop_segment(std::map<uint64_t, Segment>::iterator it);
  void trim_disk();
  void pop_acked();
  uint64_t front_qn() const;  // 0: empty

  std::string dir_;
  size_t memory_max_;
  uint64_t disk_max_;
  int lock_fd_ = -1;
  uint64_t next_qn_ = 1;
  uint64_t cursor_ = 0;  // highest queue number handed out since the last rewind
  std::deque<Message> memory_;
  std::map<uint64_t, Segment> segments_;  // by first queue number
  std::map<uint64_t, std::vector<Message>> loaded_;
  std::set<uint64_t> acked_;
  uint64_t disk_count_ = 0, disk_bytes_ = 0, dropped_ = 0;
  std::string disk_error_;
};

}  // namespace nimbra_internal
