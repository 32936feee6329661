// The MQTT publisher: events to "<prefix>/<stream>/events" (JSON, the configured QoS), the
// health of every stream to "<prefix>/<stream>/health" (retained) every health interval,
// "online" / "offline" on "<prefix>/availability/<client id>" (retained; "offline" is the
// last will, so a board that dies says so too).
//
// One thread runs the connection (libmosquitto on its own poll loop, so the queue, the
// link state machine and the callbacks all live on that thread). Producers only append to
// an incoming list under a short lock and wake the thread: enqueue_event never waits for
// the broker, the disk or the network. Delivery is at least once and in order: a message
// leaves the queue when the broker acknowledged it; after a reconnection the
// unacknowledged ones go out again from the oldest.
//
//   MqttPublisher pub(config);
//   if (!pub.start(error)) ...;       // an unreachable broker is not an error
//   pub.enqueue_event("cam1", json);  // from any thread
//   pub.stop();                       // "offline"; what is undelivered goes to the spool
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "StreamEventConfig.h"
#include "StreamEvents.h"
#include "StreamHealth.h"
#include "StreamMqttQueue.h"

namespace nimbra_internal {

class MqttPublisher {
 public:
  explicit MqttPublisher(MqttConfig config);
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Reads the password file, opens the spool directory and starts the thread.
  bool start(std::string& error);
  void stop();

  void enqueue_event(const std::string& stream_id, std::string payload);
  Velkor::Nimbra::MqttStatus status() const;

  // The topic level of a stream id: MQTT wildcards and level separators become "_".
  static std::string topic_level(const std::string& stream_id);

 private:
  void run();
  void wake();

  MqttConfig cfg_;
  std::string password_;
  std::thread thread_;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};

  mutable std::mutex in_mutex_;
  std::deque<std::pair<std::string, std::string>> incoming_;  // topic, payload
  uint64_t incoming_dropped_ = 0;

  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> queued_{0}, spooled_{0}, published_{0}, dropped_{0}, attempts_{0}, connections_{0};
  mutable std::mutex error_mutex_;
  std::string last_error_;
  std::unique_ptr<MqttQueue> queue_;
};

// The health record of a stream as one JSON object: what the health topic carries and
// what nimbra-run --json prints.
std::string health_to_json(const Velkor::Nimbra::StreamHealth& h, double unix_time_s);

}  // namespace nimbra_internal
