#define NIMBRA_MODULE "modules/origin/src/StreamEvents"
#include "StreamEvents.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

#include "StreamCommon.h"
#include "StreamEventClips.h"
#include "StreamEventConfig.h"
#include "StreamEventEngine.h"
#include "StreamLog.h"
#include "StreamMqtt.h"
#include "StreamPrometheus.h"

namespace nimbra_internal {

namespace {

constexpr size_t kCallbackQueueMax = 10000;

double unix_now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// Part of every event id, so ids stay unique across runs of the process (sequence numbers
// start again at 1 in each).
const std::string& run_id() {
  static const std::string id = [] {
    uint64_t v = 0;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, &v, sizeof v) != (ssize_t)sizeof v)
      v = std::random_device{}() ^ ((uint64_t)std::random_device{}() << 32) ^ (uint64_t)time(nullptr);
    if (fd >= 0) close(fd);
    char buf[20];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
    return std::string(buf);
  }();
  return id;
}

struct StreamSlot {
  std::mutex mutex;
  std::unique_ptr<EventEngine> engine;  // null: not configured yet
  bool disabled = false;                // its configuration is bad: no events
  uint64_t next_sequence = 1;
};

struct Hub {
  std::mutex slots_mutex;
  std::map<std::string, std::shared_ptr<StreamSlot>> slots;

  // Event callbacks: one thread calls them in order.
  std::mutex cb_mutex;
  std::condition_variable cb_cv;
  std::map<int, std::shared_ptr<std::function<void(const Velkor::Nimbra::Event&)>>> callbacks;
  int next_handle = 1;
  std::deque<Velkor::Nimbra::Event> cb_queue;
  uint64_t cb_dropped = 0;
  std::thread cb_thread;
  std::thread::id cb_thread_id;
  bool cb_stop = false;
  std::mutex calling_mutex;  // held while a batch of callbacks runs

  std::mutex poll_mutex;
  std::condition_variable poll_cv;
  std::deque<Velkor::Nimbra::Event> poll_queue;
  size_t poll_capacity = 1000;

  std::mutex count_mutex;
  std::map<std::tuple<std::string, std::string, std::string>, uint64_t> counts;

  std::mutex inference_mutex;
  std::map<std::string, std::shared_ptr<DurationHistogram>> inference;

  std::mutex services_mutex;  // start/stop
  std::mutex publisher_mutex; // the pointer below
  std::shared_ptr<MqttPublisher> publisher;
  std::unique_ptr<MetricsServer> metrics;

};

Hub& hub() {
  // Never destroyed: streams may feed it until the very end. Its threads are stopped by
  // the exit handlers below.
  static Hub* h = new Hub();
  return *h;
}

void callback_loop() {
  Hub& h = hub();
  std::unique_lock<std::mutex> lock(h.cb_mutex);
  for (;;) {
    h.cb_cv.wait(lock, [&] { return h.cb_stop || !h.cb_queue.empty(); });
    if (h.cb_stop) return;
    std::deque<Velkor::Nimbra::Event> batch;
    batch.swap(h.cb_queue);
    std::lock_guard<std::mutex> calling(h.calling_mutex);
    for (const Velkor::Nimbra::Event& e : batch) {
      auto fns = h.callbacks;  // a callback may add or remove callbacks
      lock.unlock();
      for (auto& [handle, fn] : fns) {
        try {
          (*fn)(e);
        } catch (const std::exception& ex) {
          NLOG_ERROR("event callback %d failed on event %s: %s", handle, e.id.c_str(), ex.what());
        } catch (...) {
          NLOG_ERROR("event callback %d failed on event %s", handle, e.id.c_str());
        }
      }
      lock.lock();
    }
  }
}

// At exit the services and the event thread stop before the modules they read from are
// torn down: the handlers are registered with atexit after those modules' statics exist
// (exit runs handlers and static destructors in the reverse order of their registration).
void stop_services_at_exit() { Velkor::Nimbra::stop_event_services(); }

void stop_callbacks_at_exit() {
  Hub& h = hub();
  {
    std::lock_guard<std::mutex> g(h.cb_mutex);
    h.cb_stop = true;
  }
  h.cb_cv.notify_all();
  if (!h.cb_thread.joinable()) return;
  if (h.cb_thread.get_id() == std::this_thread::get_id())
    h.cb_thread.detach();  // exit called from a callback
  else
    h.cb_thread.join();
}

// Events of one stream, in sequence order (the caller holds the stream's slot lock).
void dispatch(StreamSlot& slot, std::vector<Velkor::Nimbra::Event>& events) {
  if (events.empty()) return;
  Hub& h = hub();
  for (Velkor::Nimbra::Event& e : events) {
    e.sequence = slot.next_sequence++;
    e.id = run_id() + "-" + e.stream_id + "-" + std::to_string(e.sequence);
  }
  clip_events_seen(events);
  {
    std::lock_guard<std::mutex> g(h.count_mutex);
    for (const auto& e : events) ++h.counts[{e.stream_id, Velkor::Nimbra::event_type_name(e.type), e.label}];
  }
  std::shared_ptr<MqttPublisher> pub;
  {
    std::lock_guard<std::mutex> g(h.publisher_mutex);
    pub = h.publisher;
  }
  if (pub)
    for (const auto& e : events) pub->enqueue_event(e.stream_id, Velkor::Nimbra::event_to_json(e));
  {
    std::lock_guard<std::mutex> g(h.poll_mutex);
    for (const auto& e : events) {
      if (h.poll_capacity == 0) break;
      if (h.poll_queue.size() >= h.poll_capacity) h.poll_queue.pop_front();
      h.poll_queue.push_back(e);
    }
  }
  h.poll_cv.notify_all();
  {
    std::lock_guard<std::mutex> g(h.cb_mutex);
    if (h.callbacks.empty()) return;
    for (auto& e : events) {
      if (h.cb_queue.size() >= kCallbackQueueMax) {
        h.cb_queue.pop_front();
        ++h.cb_dropped;
      }
      h.cb_queue.push_back(std::move(e));
    }
  }
  h.cb_cv.notify_one();
}

std::shared_ptr<StreamSlot> slot_of(const std::string& id) {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.slots_mutex);
  auto& s = h.slots[id];
  if (!s) s = std::make_shared<StreamSlot>();
  return s;
}

// Reads and installs the stream's configuration (slot lock held). 0 or -1.
int configure_locked(const std::string& id, StreamSlot& slot) {
  Velkor::Nimbra::StreamEventConfig cfg;
  Json::Value root;
  std::string error;
  const std::string path = stream_conf_file ? stream_conf_file : "";
  if (load_config_file(path, root, error)) {
    if (const Json::Value* props = find_stream_properties(root, id)) {
      std::vector<ConfigProblem> problems;
      read_stream_events(*props, cfg, problems);
      for (const ConfigProblem& p : problems) {
        if (p.warning)
          NLOG_WARN("stream \"%s\": %s", id.c_str(), p.message.c_str());
        else
          NLOG_ERROR("stream \"%s\": %s; the stream makes no events", id.c_str(), p.message.c_str());
      }
      if (has_error(problems)) {
        slot.engine.reset();
        slot.disabled = true;
        return -1;
      }
    }
  }
  // A stream without an entry (started from records, or fed by the host's own detector)
  // gets the defaults.
  slot.engine = std::make_unique<EventEngine>(id, cfg);
  slot.disabled = false;
  return 0;
}

}  // namespace

std::vector<EventCount> event_counts() {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.count_mutex);
  std::vector<EventCount> out;
  for (const auto& [k, n] : h.counts) out.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), n});
  return out;
}

uint64_t event_callback_dropped() {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.cb_mutex);
  return h.cb_dropped;
}

std::vector<std::pair<std::string, std::shared_ptr<DurationHistogram>>> inference_histograms() {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.inference_mutex);
  return {h.inference.begin(), h.inference.end()};
}

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

using namespace nimbra_internal;

void feed_event_frame(const EventFrame& frame, const std::vector<DetectedObject>& objects) {
  auto slot = slot_of(frame.stream_id);
  std::lock_guard<std::mutex> g(slot->mutex);
  if (!slot->engine && !slot->disabled) configure_locked(frame.stream_id, *slot);
  if (!slot->engine) return;
  EventFrame f = frame;
  if (f.wall_time_s <= 0) f.wall_time_s = unix_now();
  std::vector<Event> out;
  slot->engine->feed(f, objects, out);
  dispatch(*slot, out);
}

int configure_stream_events(const std::string& stream_id) {
  auto slot = slot_of(stream_id);
  std::lock_guard<std::mutex> g(slot->mutex);
  return configure_locked(stream_id, *slot);
}

void set_stream_event_config(const std::string& stream_id, const StreamEventConfig& config) {
  auto slot = slot_of(stream_id);
  std::lock_guard<std::mutex> g(slot->mutex);
  slot->engine = std::make_unique<EventEngine>(stream_id, config);
  slot->disabled = false;
}

void end_stream_events(const std::string& stream_id, double wall_time_s) {
  auto slot = slot_of(stream_id);
  std::lock_guard<std::mutex> g(slot->mutex);
  if (!slot->engine) return;
  std::vector<Event> out;
  slot->engine->finish(wall_time_s > 0 ? wall_time_s : unix_now(), out);
  dispatch(*slot, out);
  // The next start reads the configuration again (it may have been edited meanwhile).
  slot->engine.reset();
  slot->disabled = false;
}

void emit_stream_event(Event event) {
  auto slot = slot_of(event.stream_id);
  std::lock_guard<std::mutex> g(slot->mutex);
  if (event.time_s <= 0) event.time_s = unix_now();
  std::vector<Event> out{std::move(event)};
  dispatch(*slot, out);
}

int on_event(std::function<void(const Event&)> fn) {
  if (!fn) return -1;
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.cb_mutex);
  if (!h.cb_thread.joinable() && !h.cb_stop) {
    h.cb_thread = std::thread(callback_loop);
    h.cb_thread_id = h.cb_thread.get_id();
    static std::once_flag at_exit;
    std::call_once(at_exit, [] { std::atexit(stop_callbacks_at_exit); });
  }
  const int handle = h.next_handle++;
  h.callbacks[handle] = std::make_shared<std::function<void(const Event&)>>(std::move(fn));
  return handle;
}

bool remove_event_callback(int handle) {
  Hub& h = hub();
  std::shared_ptr<std::function<void(const Event&)>> fn;
  {
    std::lock_guard<std::mutex> g(h.cb_mutex);
    auto it = h.callbacks.find(handle);
    if (it == h.callbacks.end()) return false;
    fn = std::move(it->second);
    h.callbacks.erase(it);
  }
  // Wait for a batch that may still be calling it (not from the callback itself).
  if (std::this_thread::get_id() != h.cb_thread_id) std::lock_guard<std::mutex> calling(h.calling_mutex);
  return true;
}

size_t poll_events(std::vector<Event>& out, size_t max_events, double timeout_s) {
  Hub& h = hub();
  std::unique_lock<std::mutex> g(h.poll_mutex);
  if (h.poll_queue.empty() && timeout_s > 0)
    h.poll_cv.wait_for(g, std::chrono::duration<double>(timeout_s), [&] { return !h.poll_queue.empty(); });
  size_t n = 0;
  while (n < max_events && !h.poll_queue.empty()) {
    out.push_back(std::move(h.poll_queue.front()));
    h.poll_queue.pop_front();
    ++n;
  }
  return n;
}

void set_event_poll_capacity(size_t events) {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.poll_mutex);
  h.poll_capacity = events;
  while (h.poll_queue.size() > events) h.poll_queue.pop_front();
}

int start_event_services(const std::string& config_path) { return start_event_services(config_path, -1); }

int start_event_services(const std::string& config_path, int metrics_port_override) {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.services_mutex);
  {
    std::lock_guard<std::mutex> p(h.publisher_mutex);
    if (h.publisher || h.metrics) {
      NLOG_ERROR("event services: already running (stop_event_services first)");
      return -1;
    }
  }
  const std::string path = !config_path.empty() ? config_path : (stream_conf_file ? stream_conf_file : "");
  Json::Value root;
  std::string error;
  if (!load_config_file(path, root, error)) {
    NLOG_ERROR("event services: %s", error.c_str());
    return -1;
  }
  ServicesConfig cfg;
  std::vector<ConfigProblem> problems;
  read_services(root, cfg, problems);
  for (const ConfigProblem& p : problems) {
    if (p.warning) NLOG_WARN("event services: %s", p.message.c_str());
    else NLOG_ERROR("event services: %s in %s; nothing is started", p.message.c_str(), path.c_str());
  }
  if (has_error(problems)) return -1;
  if (metrics_port_override > 65535) {
    NLOG_ERROR("event services: metrics port %d is not a port (0 to 65535); nothing is started", metrics_port_override);
    return -1;
  }
  if (metrics_port_override >= 0) cfg.metrics_port = metrics_port_override;

  std::unique_ptr<MetricsServer> metrics;
  if (cfg.metrics_port >= 0) {
    metrics = std::make_unique<MetricsServer>();
    if (!metrics->start(cfg.metrics_address, cfg.metrics_port, error)) {
      NLOG_ERROR("event services: %s; nothing is started", error.c_str());
      return -1;
    }
  }
  std::shared_ptr<MqttPublisher> pub;
  if (cfg.mqtt.enabled) {
    pub = std::make_shared<MqttPublisher>(cfg.mqtt);
    if (!pub->start(error)) {
      NLOG_ERROR("event services: %s; nothing is started", error.c_str());
      return -1;
    }
    NLOG_INFO("MQTT: publishing to %s:%d as \"%s\" under \"%s\"", cfg.mqtt.host.c_str(), cfg.mqtt.port,
              cfg.mqtt.client_id.c_str(), cfg.mqtt.topic_prefix.c_str());
  }
  h.metrics = std::move(metrics);
  {
    std::lock_guard<std::mutex> p(h.publisher_mutex);
    h.publisher = std::move(pub);
  }
  static std::once_flag at_exit;
  std::call_once(at_exit, [] {
    (void)list_stream_health();  // the registry's statics exist before the handler is registered
    std::atexit(stop_services_at_exit);
  });
  return 0;
}

void stop_event_services() {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.services_mutex);
  std::shared_ptr<MqttPublisher> pub;
  {
    std::lock_guard<std::mutex> p(h.publisher_mutex);
    pub.swap(h.publisher);
  }
  if (pub) pub->stop();
  h.metrics.reset();
}

int metrics_port() {
  Hub& h = hub();
  std::lock_guard<std::mutex> g(h.services_mutex);
  return h.metrics ? h.metrics->port() : 0;
}

void observe_inference_seconds(const std::string& stream_id, double seconds) {
  if (!(seconds >= 0)) return;
  Hub& h = hub();
  std::shared_ptr<DurationHistogram> hist;
  {
    std::lock_guard<std::mutex> g(h.inference_mutex);
    auto& p = h.inference[stream_id];
    if (!p) p = std::make_shared<DurationHistogram>();
    hist = p;
  }
  hist->observe_ns((uint64_t)(seconds * 1e9));
}

MqttStatus mqtt_status() {
  Hub& h = hub();
  std::shared_ptr<MqttPublisher> pub;
  {
    std::lock_guard<std::mutex> g(h.publisher_mutex);
    pub = h.publisher;
  }
  return pub ? pub->status() : MqttStatus();
}

}  // namespace Nimbra
}  // namespace Velkor
