#define NIMBRA_MODULE "modules/origin/src/StreamMqtt"
#include "StreamMqtt.h"

#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <tuple>
#include <vector>

#include "StreamLog.h"
#include "StreamMqttLink.h"

namespace nimbra_internal {

namespace {

// Messages handed to the broker and not acknowledged yet. Enough to keep a link with some
// latency busy; small enough that a reconnection resends little.
constexpr size_t kWindow = 32;

double mono_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double unix_s() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string quoted(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += (char)c;
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else {
      o += (char)c;
    }
  }
  return o + "\"";
}

std::string number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
  std::string s(buf, r.ptr);
  while (s.size() > 1 && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

struct Callbacks {
  bool connack = false;
  int connack_rc = 0;
  bool disconnected = false;
  std::vector<int> acked;
};

void on_connect(struct mosquitto*, void* obj, int rc) {
  auto* c = static_cast<Callbacks*>(obj);
  c->connack = true;
  c->connack_rc = rc;
}
void on_disconnect(struct mosquitto*, void* obj, int) { static_cast<Callbacks*>(obj)->disconnected = true; }
void on_publish(struct mosquitto*, void* obj, int mid) { static_cast<Callbacks*>(obj)->acked.push_back(mid); }

}  // namespace

std::string health_to_json(const Velkor::Nimbra::StreamHealth& h, double t) {
  const time_t secs = (time_t)t;
  tm tmv;
  gmtime_r(&secs, &tmv);
  char iso[64];
  snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
           tmv.tm_hour, tmv.tm_min, tmv.tm_sec, (int)((t - (double)secs) * 1000) % 1000);
  std::string o = "{\"time\":" + quoted(iso);
  o += ",\"stream_id\":" + quoted(h.stream_id);
  o += ",\"kind\":" + quoted(h.kind);
  o += ",\"state\":" + quoted(Velkor::Nimbra::stream_state_name(h.state));
  o += std::string(",\"running\":") + (h.running ? "true" : "false");
  o += ",\"fps\":" + number(h.fps_last_second);
  o += ",\"fps_avg\":" + number(h.fps_since_start);
  o += ",\"frames_decoded\":" + std::to_string(h.frames_decoded);
  o += ",\"frames_delivered\":" + std::to_string(h.frames_delivered);
  o += ",\"frames_skipped\":" + std::to_string(h.frames_skipped);
  o += ",\"frames_dropped\":" + std::to_string(h.frames_dropped);
  o += ",\"callback_p50_ms\":" + number(h.callback_p50_ms);
  o += ",\"callback_p99_ms\":" + number(h.callback_p99_ms);
  o += ",\"reconnects\":" + std::to_string(h.reconnects);
  o += ",\"reconnect_attempts\":" + std::to_string(h.reconnect_attempts);
  o += ",\"last_frame_age_s\":" + number(h.last_frame_age_s);
  o += ",\"uptime_s\":" + number(h.uptime_s);
  o += ",\"last_error\":" + quoted(h.last_error);
  o += ",\"last_error_age_s\":" + number(h.last_error_age_s);
  o += std::string(",\"last_error_recovered\":") + (h.last_error_recovered ? "true" : "false");
  o += ",\"inference_fps\":" + number(h.inference_fps);
  o += ",\"inference_p50_ms\":" + number(h.inference_p50_ms);
  o += ",\"inference_p99_ms\":" + number(h.inference_p99_ms);
  o += ",\"inferences\":" + std::to_string(h.inferences);
  o += ",\"inference_failures\":" + std::to_string(h.inference_failures);
  o += ",\"inference_skipped\":" + std::to_string(h.inference_skipped);
  o += ",\"objects\":" + std::to_string(h.objects);
  return o + "}";
}

std::string MqttPublisher::topic_level(const std::string& stream_id) {
  std::string s = stream_id.empty() ? std::string("_") : stream_id;
  for (char& c : s)
    if (c == '+' || c == '#' || c == '/' || c == '\0') c = '_';
  return s;
}

MqttPublisher::MqttPublisher(MqttConfig config) : cfg_(std::move(config)) {}

MqttPublisher::~MqttPublisher() { stop(); }

bool MqttPublisher::start(std::string& error) {
  static std::once_flag lib_once;
  std::call_once(lib_once, [] { mosquitto_lib_init(); });
  if (!cfg_.password_file.empty()) {
    std::ifstream in(cfg_.password_file);
    if (!in) {
      error = "MQTT: cannot read the password file " + cfg_.password_file;
      return false;
    }
    std::getline(in, password_);
    while (!password_.empty() && (password_.back() == '\r' || password_.back() == '\n')) password_.pop_back();
    if (password_.empty()) {
      error = "MQTT: the password file " + cfg_.password_file + " is empty (its first line is the password)";
      return false;
    }
  }
  queue_ = std::make_unique<MqttQueue>(cfg_.spool_dir, cfg_.queue_events, cfg_.spool_max_bytes);
  std::string qerr;
  if (!queue_->open(qerr)) {
    error = "MQTT: " + qerr;
    queue_.reset();
    return false;
  }
  if (queue_->on_disk())
    NLOG_INFO("MQTT: %llu events of an earlier run wait in %s", (unsigned long long)queue_->on_disk(),
              cfg_.spool_dir.c_str());
  queued_ = queue_->size();
  spooled_ = queue_->on_disk();
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    error = std::string("MQTT: eventfd: ") + strerror(errno);
    queue_.reset();
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void MqttPublisher::stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  wake();
  thread_.join();
  ::close(wake_fd_);
  wake_fd_ = -1;
}

void MqttPublisher::wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
  }
}

void MqttPublisher::enqueue_event(const std::string& stream_id, std::string payload) {
  std::string topic = cfg_.topic_prefix + "/" + topic_level(stream_id) + "/events";
  {
    std::lock_guard<std::mutex> g(in_mutex_);
    // Only when the publisher's thread does not keep up (it takes everything at once
    // whenever it wakes) does this list grow; it is bounded all the same.
    const size_t bound = std::max<size_t>(10000, cfg_.queue_events);
    if (incoming_.size() >= bound) {
      incoming_.pop_front();
      ++incoming_dropped_;
    }
    incoming_.emplace_back(std::move(topic), std::move(payload));
    queued_.fetch_add(1, std::memory_order_relaxed);
  }
  wake();
}

Velkor::Nimbra::MqttStatus MqttPublisher::status() const {
  Velkor::Nimbra::MqttStatus s;
  s.configured = true;
  s.connected = connected_.load();
  s.queued = queued_.load();
  s.spooled = spooled_.load();
  s.published = published_.load();
  s.dropped = dropped_.load();
  s.connect_attempts = attempts_.load();
  s.connections = connections_.load();
  std::lock_guard<std::mutex> g(error_mutex_);
  s.last_error = last_error_;
  return s;
}

void MqttPublisher::run() {
  MqttQueue& q = *queue_;
  const std::string broker = cfg_.host + ":" + std::to_string(cfg_.port);
  MqttLink link({broker, 0.5, cfg_.retry_max_s, std::max(10.0, (double)cfg_.keep_alive_s)});
  const std::string availability = cfg_.topic_prefix + "/availability/" + topic_level(cfg_.client_id);

  struct mosquitto* mosq = nullptr;
  Callbacks cb;
  std::map<int, uint64_t> inflight;  // message id -> queue number
  std::deque<std::tuple<MqttLink::Input, std::string, bool>> inputs;
  double next_health = 0;
  bool stopping = false;
  double stop_deadline = 0;
  uint64_t incoming_dropped_seen = 0;

  auto describe = [&](int rc, int err) -> std::string {
    if (rc == MOSQ_ERR_TLS)
      return "TLS failed: the broker's certificate is not signed by \"caFile\" or is not for \"" + cfg_.host + "\"";
    return rc == MOSQ_ERR_ERRNO && err ? std::string(strerror(err)) : std::string(mosquitto_strerror(rc));
  };
  auto set_error = [&](const std::string& e) {
    std::lock_guard<std::mutex> g(error_mutex_);
    last_error_ = e;
  };
  auto destroy = [&] {
    if (mosq) mosquitto_destroy(mosq);
    mosq = nullptr;
    cb = Callbacks();
    inflight.clear();
    connected_ = false;
  };
  auto connect = [&] {
    destroy();
    mosq = mosquitto_new(cfg_.client_id.c_str(), true, &cb);
    if (!mosq) {
      inputs.emplace_back(MqttLink::Input::Failed, "out of memory", false);
      return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, on_connect);
    mosquitto_disconnect_callback_set(mosq, on_disconnect);
    mosquitto_publish_callback_set(mosq, on_publish);
    static const char offline[] = "offline";
    mosquitto_will_set(mosq, availability.c_str(), (int)strlen(offline), offline, 1, true);
    if (!cfg_.username.empty())
      mosquitto_username_pw_set(mosq, cfg_.username.c_str(), password_.empty() ? nullptr : password_.c_str());
    if (!cfg_.ca_file.empty()) {
      const int rc = mosquitto_tls_set(mosq, cfg_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) {
        inputs.emplace_back(MqttLink::Input::Failed, std::string("TLS: ") + mosquitto_strerror(rc), false);
        return;
      }
    }
    errno = 0;
    const int rc = mosquitto_connect_async(mosq, cfg_.host.c_str(), cfg_.port, cfg_.keep_alive_s);
    if (rc != MOSQ_ERR_SUCCESS) inputs.emplace_back(MqttLink::Input::Failed, describe(rc, errno), false);
  };
  auto process = [&](double now) {
    while (!inputs.empty()) {
      auto [in, detail, auth] = inputs.front();
      inputs.pop_front();
      const MqttLink::Actions a = link.step(in, now, detail, auth);
      if (!a.error.empty()) {
        NLOG_ERROR("%s", a.error.c_str());
        set_error(a.error);
      }
      if (!a.warning.empty()) {
        NLOG_WARN("%s", a.warning.c_str());
        set_error(a.warning);
      }
      if (!a.info.empty()) NLOG_INFO("%s as \"%s\"", a.info.c_str(), cfg_.client_id.c_str());
      if (a.disconnect) destroy();
      if (a.rewind) {
        q.rewind();
        inflight.clear();
      }
      if (a.online && mosq) {
        connected_ = true;
        mosquitto_publish(mosq, nullptr, availability.c_str(), 6, "online", 1, true);
        next_health = now;
      }
      if (a.connect) connect();
      attempts_ = link.attempts();
      connections_ = link.connections();
    }
  };
  auto failure = [&](int rc, int err) {
    const std::string why = describe(rc, err);
    inputs.emplace_back(link.state() == MqttLink::State::Connected ? MqttLink::Input::Lost : MqttLink::Input::Failed, why,
                        false);
  };

  inputs.emplace_back(MqttLink::Input::Start, "", false);
  for (;;) {
    const double now = mono_s();
    if (stop_ && !stopping) {
      stopping = true;
      // A moment to deliver what is queued while connected; the rest is kept on disk.
      stop_deadline = now + (connected_ ? 3.0 : 0.0);
    }
    std::deque<std::pair<std::string, std::string>> fresh;
    {
      std::lock_guard<std::mutex> g(in_mutex_);
      fresh.swap(incoming_);
      if (incoming_dropped_ != incoming_dropped_seen) {
        dropped_.fetch_add(incoming_dropped_ - incoming_dropped_seen);
        incoming_dropped_seen = incoming_dropped_;
      }
    }
    for (auto& m : fresh) q.push(std::move(m.first), std::move(m.second));
    // While the link is down every event goes to disk at once: a crash or a power cut
    // during an outage then loses nothing that reached the queue.
    if (link.state() != MqttLink::State::Connected) q.spill_all();

    inputs.emplace_back(MqttLink::Input::Tick, "", false);
    process(now);

    if (connected_ && mosq) {
      while (inflight.size() < kWindow) {
        const MqttQueue::Message* m = q.next_unsent();
        if (!m) break;
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, m->topic.c_str(), (int)m->payload.size(), m->payload.data(),
                                         cfg_.qos, false);
        if (rc == MOSQ_ERR_SUCCESS) {
          inflight[mid] = m->qn;
        } else if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
          failure(rc, 0);
          break;
        } else {
          // The broker could never take this one (too large a payload): it must not hold
          // back the rest.
          const std::string e = std::string("MQTT: an event could not be published (") + mosquitto_strerror(rc) +
                                "); it is dropped";
          NLOG_ERROR("%s", e.c_str());
          set_error(e);
          q.acked(m->qn);
          dropped_.fetch_add(1);
        }
      }
      if (now >= next_health && !stopping) {
        next_health = now + cfg_.health_interval_s;
        const double t = unix_s();
        for (const Velkor::Nimbra::StreamHealth& h : Velkor::Nimbra::list_stream_health()) {
          const std::string topic = cfg_.topic_prefix + "/" + topic_level(h.stream_id) + "/health";
          const std::string payload = health_to_json(h, t);
          mosquitto_publish(mosq, nullptr, topic.c_str(), (int)payload.size(), payload.data(), cfg_.qos, true);
        }
      }
    }
    process(now);

    {
      std::lock_guard<std::mutex> g(in_mutex_);
      queued_ = q.size() + incoming_.size();
    }
    spooled_ = q.on_disk();
    dropped_ = q.dropped() + incoming_dropped_seen;
    if (stopping && (!connected_ || q.size() == 0 || now >= stop_deadline)) break;

    pollfd fds[2];
    int nfds = 0;
    fds[nfds++] = {wake_fd_, POLLIN, 0};
    const int sock = mosq ? mosquitto_socket(mosq) : -1;
    if (sock >= 0) fds[nfds++] = {sock, (short)(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0};
    poll(fds, nfds, stopping ? 20 : 100);
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      if (read(wake_fd_, &v, sizeof v) < 0) {
      }
    }
    if (sock >= 0 && mosq) {
      int rc = MOSQ_ERR_SUCCESS;
      if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
        errno = 0;
        rc = mosquitto_loop_read(mosq, 64);
      }
      if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq)) {
        errno = 0;
        rc = mosquitto_loop_write(mosq, 64);
      }
      const int err = errno;
      if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
      // A refusal comes as an answer and then a closed socket: the answer says why.
      if (rc != MOSQ_ERR_SUCCESS && !(cb.connack && cb.connack_rc != 0)) failure(rc, err);
    }
    if (cb.connack) {
      cb.connack = false;
      const int rc = cb.connack_rc;
      if (rc == 0) {
        inputs.emplace_back(MqttLink::Input::Accepted, "", false);
      } else {
        const bool auth = rc == 4 || rc == 5;
        std::string why = mosquitto_connack_string(rc);
        if (auth)
          why = cfg_.username.empty() ? "not authorised (the broker wants a user name and password)"
                                      : "bad user name or password (user \"" + cfg_.username + "\")";
        inputs.emplace_back(MqttLink::Input::Refused, why, auth);
      }
    }
    for (int mid : cb.acked) {
      auto it = inflight.find(mid);
      if (it == inflight.end()) continue;  // availability or health
      q.acked(it->second);
      inflight.erase(it);
      published_.fetch_add(1);
    }
    cb.acked.clear();
    if (cb.disconnected) {
      cb.disconnected = false;
      inputs.emplace_back(MqttLink::Input::Lost, "the broker closed the connection", false);
    }
    process(mono_s());
  }

  if (connected_ && mosq) {
    // "offline" ourselves: a clean disconnect does not trigger the last will.
    int mid = -1;
    cb.acked.clear();
    mosquitto_publish(mosq, &mid, availability.c_str(), 7, "offline", 1, true);
    for (int i = 0; i < 100 && std::find(cb.acked.begin(), cb.acked.end(), mid) == cb.acked.end(); ++i) {
      if (mosquitto_loop(mosq, 20, 1) != MOSQ_ERR_SUCCESS) break;
    }
    mosquitto_disconnect(mosq);
    mosquitto_loop(mosq, 20, 1);
  }
  link.step(MqttLink::Input::Stop, mono_s());
  destroy();
  // Undelivered events of this run are delivered by the next one.
  q.rewind();
  q.spill_all();
  {
    std::lock_guard<std::mutex> g(in_mutex_);
    queued_ = q.size() + incoming_.size();
  }
  spooled_ = q.on_disk();
  if (q.size() > q.on_disk())
    NLOG_WARN("MQTT: %llu undelivered events are lost at stop (no spool directory)",
              (unsigned long long)(q.size() - q.on_disk()));
  else if (q.on_disk())
    NLOG_INFO("MQTT: %llu undelivered events kept in %s for the next start", (unsigned long long)q.on_disk(),
              cfg_.spool_dir.c_str());
}

}  // namespace nimbra_internal
