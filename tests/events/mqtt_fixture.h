// A mosquitto broker the test starts on 127.0.0.1 and a subscriber of it, for the tests
// of events leaving the process by MQTT.
#pragma once

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbra_test/poll.h"
#include "nimbra_test/process.h"
#include "nimbra_test/temp_dir.h"
#include "test_util.h"

namespace nimbra_mqtt_test {

using nimbra_test::poll_until;
using nimbra_test::Process;

// A limit no passing run comes near; every wait is for a condition.
constexpr auto kLimit = std::chrono::seconds(90);

class Broker {
 public:
  // `extra`: more lines of mosquitto.conf. Persistence keeps the subscribers' sessions
  // (and their queued messages) across a restart, as a production broker does.
  Broker(const std::string& dir, std::string extra = "allow_anonymous true\n") : dir_(dir), extra_(std::move(extra)) {
    for (int tries = 0; tries < 5 && !proc_; ++tries) {
      port_ = nimbra_test::free_tcp_port();
      if (!start()) proc_.reset();
    }
    if (!proc_) throw std::runtime_error("mosquitto did not start");
  }
  int port() const { return port_; }
  bool start() {
    const std::string conf = dir_ + "/mosquitto.conf";
    // As root mosquitto drops to its own user, which cannot read the test's private dir.
    const std::string user = geteuid() == 0 ? "user root\n" : "";
    nimbra_test_util::write_file(conf, "listener " + std::to_string(port_) + " 127.0.0.1\n" + user + extra_ +
                                           "persistence true\npersistence_location " + dir_ +
                                           "/\nlog_dest stdout\nlog_type all\n");
    proc_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf},
                                      Process::Options{{}, "", "", "mosquitto"});
    return poll_until([&] { return nimbra_test::tcp_port_accepts(port_) || !proc_->running(); }, kLimit) &&
           proc_->running();
  }
  // SIGTERM: the broker saves its sessions and exits.
  void stop() {
    if (proc_) proc_->stop();
    proc_.reset();
  }
  Process& proc() { return *proc_; }

 private:
  std::string dir_, extra_;
  int port_ = 0;
  std::unique_ptr<Process> proc_;
};

struct Message {
  std::string topic, payload;
  bool retained = false;
};

// A subscriber with a persistent session (QoS 1), as a consumer that must not lose
// events runs it.
class Subscriber {
 public:
  Subscriber(int port, const std::string& id, const std::string& topic, bool clean = false) : topic_(topic) {
    mosquitto_lib_init();
    m_ = mosquitto_new(id.c_str(), clean, this);
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
      auto* s = static_cast<Subscriber*>(self);
      if (rc == 0) mosquitto_subscribe(m, nullptr, s->topic_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed_++;
    });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> g(s->mutex_);
      s->messages_.push_back({msg->topic, std::string((const char*)msg->payload, msg->payloadlen), msg->retain});
    });
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    mosquitto_connect_async(m_, "127.0.0.1", port, 30);
    mosquitto_loop_start(m_);
    if (!poll_until([&] { return subscribed_ > 0; }, kLimit)) throw std::runtime_error("subscriber not subscribed");
  }
  ~Subscriber() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, true);
    mosquitto_destroy(m_);
  }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> g(mutex_);
    return messages_;
  }
  std::vector<Message> on(const std::string& topic) {
    std::vector<Message> out;
    for (auto& m : messages())
      if (m.topic == topic) out.push_back(m);
    return out;
  }
  std::atomic<int> subscribed_{0};

 private:
  std::string topic_;
  mosquitto* m_ = nullptr;
  std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace nimbra_mqtt_test
