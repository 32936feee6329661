// The connection state machine of the MQTT publisher: when to connect, how long to wait
// after a failure, what to log. No sockets and no clock of its own: the publisher feeds it
// what happened and the time, and performs the actions it returns, so a test walks every
// path on a fake clock.
//
//   MqttLink link({"10.0.0.2:1883", 0.5, 30, 10});
//   auto a = link.step(MqttLink::Input::Start, now);      // a.connect: begin an attempt
//   a = link.step(MqttLink::Input::Accepted, now);        // a.online: announce, a.rewind: resend
//   a = link.step(MqttLink::Input::Lost, now, "timeout"); // waits, then a Tick connects again
//
// Back-off: after a failed attempt the next one comes after `first_delay_s`, doubling up to
// `max_delay_s`; a connection resets it. A refused user name or password is not fixed by
// retrying soon, so it waits the longest delay at once. Every kind of failure is logged
// once until a connection succeeds (a broker that stays down costs one line, not one per
// attempt); the same for a repeated refusal.
#pragma once

#include <string>

namespace nimbra_internal {

class MqttLink {
 public:
  enum class State { Idle, Connecting, Connected, Waiting, Stopped };
  enum class Input {
    Start,     // the publisher started
    Accepted,  // the broker accepted the connection
    Refused,   // the broker refused it (`detail` says why); `auth`: user name or password
    Failed,    // the attempt failed before the broker answered (socket error)
    Lost,      // an established connection dropped
    Tick,      // time passes
    Stop,      // the publisher stops
  };
  struct Settings {
    std::string broker;           // "host:port", for the messages
    double first_delay_s = 0.5;
    double max_delay_s = 30;
    double answer_timeout_s = 10; // an attempt without an answer this long has failed
  };
  struct Actions {
    bool connect = false;     // begin a connection attempt
    bool disconnect = false;  // drop the socket of a failed or unanswered attempt / on stop
    bool online = false;      // connected: announce availability
    bool rewind = false;      // messages sent but not acknowledged go out again
    std::string error;        // log at level 2
    std::string warning;      // log at level 1
    std::string info;         // log at level 0
  };

  explicit MqttLink(Settings settings) : s_(std::move(settings)) {}

  Actions step(Input input, double now, const std::string& detail = "", bool auth = false);

  State state() const { return state_; }
  double retry_at() const { return retry_at_; }  // Waiting: when the next attempt starts
  double delay() const { return delay_; }        // the wait after the next failure
  unsigned attempts() const { return attempts_; }
  unsigned connections() const { return connections_; }

 private:
  void fail(Actions& a, double now, const std::string& what, bool auth);

  Settings s_;
  State state_ = State::Idle;
  double delay_ = 0;
  double retry_at_ = 0;
  double attempt_started_ = 0;
  unsigned attempts_ = 0, connections_ = 0;
  std::string last_logged_;  // the failure logged since the last connection
};

const char* mqtt_state_name(MqttLink::State state);

}  // namespace nimbra_internal
