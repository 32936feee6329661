#include "StreamMqttLink.h"

#include <algorithm>

namespace nimbra_internal {

const char* mqtt_state_name(MqttLink::State state) {
  switch (state) {
    case MqttLink::State::Idle: return "idle";
    case MqttLink::State::Connecting: return "connecting";
    case MqttLink::State::Connected: return "connected";
    case MqttLink::State::Waiting: return "waiting";
    case MqttLink::State::Stopped: return "stopped";
  }
  return "unknown";
}

void MqttLink::fail(Actions& a, double now, const std::string& what, bool auth) {
  a.disconnect = true;
  const double wait = auth ? s_.max_delay_s : delay_;
  retry_at_ = now + wait;
  delay_ = std::min(s_.max_delay_s, std::max(s_.first_delay_s, delay_ * 2));
  state_ = State::Waiting;
  if (what != last_logged_) {
    last_logged_ = what;
    if (auth)
      a.error = what;
    else
      a.warning = what;
  }
}

MqttLink::Actions MqttLink::step(Input input, double now, const std::string& detail, bool auth) {
  Actions a;
  if (state_ == State::Stopped) return a;
  switch (input) {
    case Input::Start:
      if (state_ != State::Idle) break;
      delay_ = s_.first_delay_s;
      state_ = State::Connecting;
      attempt_started_ = now;
      ++attempts_;
      a.connect = true;
      break;
    case Input::Accepted:
      if (state_ != State::Connecting) break;
      state_ = State::Connected;
      delay_ = s_.first_delay_s;
      ++connections_;
      a.online = true;
      a.rewind = true;
      a.info = "MQTT: connected to " + s_.broker + (last_logged_.empty() ? "" : " again");
      last_logged_.clear();
      break;
    case Input::Refused:
      if (state_ != State::Connecting) break;
      fail(a, now,
           "MQTT broker " + s_.broker + " refused the connection: " + detail +
               (auth ? "; check \"username\" and \"passwordFile\" (events are kept meanwhile)" : ""),
           auth);
      break;
    case Input::Failed:
      if (state_ != State::Connecting) break;
      fail(a, now,
           "MQTT broker " + s_.broker + " cannot be reached (" + detail +
               "); events are kept and sent once it is up",
           false);
      break;
    case Input::Lost:
      if (state_ != State::Connected && state_ != State::Connecting) break;
      // The first retry after a drop comes at once: a broker restart is the usual cause.
      if (state_ == State::Connected) delay_ = 0;
      fail(a, now, "MQTT: connection to " + s_.broker + " lost (" + detail + "); events are kept and sent once it is back",
           false);
      if (delay_ < s_.first_delay_s) delay_ = s_.first_delay_s;
      break;
    case Input::Tick:
      if (state_ == State::Waiting && now >= retry_at_) {
        state_ = State::Connecting;
        attempt_started_ = now;
        ++attempts_;
        a.connect = true;
      } else if (state_ == State::Connecting && now - attempt_started_ >= s_.answer_timeout_s) {
        fail(a, now, "MQTT broker " + s_.broker + " does not answer; events are kept and sent once it does", false);
      }
      break;
    case Input::Stop:
      a.disconnect = state_ == State::Connected || state_ == State::Connecting;
      state_ = State::Stopped;
      break;
  }
  return a;
}

}  // namespace nimbra_internal
