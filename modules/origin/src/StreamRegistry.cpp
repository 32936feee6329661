#define NIMBRA_MODULE "modules/origin/src/StreamRegistry"
#include "StreamRegistry.h"

#include <deque>
#include <map>

#include "StreamBuild.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"

std::atomic<bool> running{true};
std::map<std::string, GstElement*> pipeline_map;
GstElement* pipeline_s = nullptr;
GstElement* appsrc_s = nullptr;

namespace nimbra_internal {

namespace {

// Guards g_entries and pipeline_map. Never held while an entry's own lock is taken.
std::mutex g_registry_mutex;
std::map<std::string, EntryPtr> g_entries;

// Health of the streams that ended lately, newest first.
constexpr size_t kEndedKept = 64;
std::deque<Velkor::Nimbra::StreamHealth> g_ended;

// Claims held by this thread, so a nested launcher of one start shares the entry.
thread_local std::vector<EntryPtr> t_claims;
// Set while this thread's claims are only described (DescribeClaims).
thread_local std::shared_ptr<std::string> t_describe;

void map_set(const std::string& id, GstElement* pipeline) {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  auto it = pipeline_map.find(id);
  if (it != pipeline_map.end()) {
    if (it->second) gst_object_unref(it->second);
    if (pipeline)
      it->second = GST_ELEMENT(gst_object_ref(pipeline));
    else
      pipeline_map.erase(it);
  } else if (pipeline) {
    pipeline_map[id] = GST_ELEMENT(gst_object_ref(pipeline));
  }
}

bool forget_entry(const EntryPtr& entry);

void remove_entry(const EntryPtr& entry) {
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    if (!forget_entry(entry)) return;
  }
  if (!entry->describing()) sigint_stream_removed();
}

// Takes the entry out (registry lock held); false when it is not (or no longer) there.
bool forget_entry(const EntryPtr& entry) {
  auto it = g_entries.find(entry->id());
  if (it == g_entries.end() || it->second != entry) return false;  // never someone else's entry
  g_entries.erase(it);
  if (entry->describing()) return true;  // described, never run: nothing to keep
  // Kept for status queries: a stream that ended without a failure was stopped.
  const std::shared_ptr<StreamMetrics>& m_ = entry->metrics();
  if (!m_->failed()) m_->set_state(Velkor::Nimbra::StreamState::Stopped);
  const uint64_t now = now_ns();
  m_->finish(now);
  Velkor::Nimbra::StreamHealth h;
  h.stream_id = entry->id();
  h.kind = kind_name(entry->kind());
  m_->snapshot(h, now);
  for (auto e = g_ended.begin(); e != g_ended.end(); ++e)
    if (e->stream_id == h.stream_id) {
      g_ended.erase(e);
      break;
    }
  g_ended.push_front(std::move(h));
  if (g_ended.size() > kEndedKept) g_ended.pop_back();
  auto m = pipeline_map.find(entry->id());
  if (m != pipeline_map.end()) {
    if (m->second) gst_object_unref(m->second);
    pipeline_map.erase(m);
  }
  return true;
}

}  // namespace

EntryPtr make_entry(const std::string& id, StreamKind kind) {
  limit_malloc_arenas();
  EntryPtr entry = std::make_shared<StreamEntry>(id, kind);
  entry->description_ = t_describe;
  return entry;
}

namespace {

EntryPtr insert_entry(const std::string& id, StreamKind kind) {
  // Made before the lock: it reads the stream's stall time from the configuration file.
  EntryPtr entry = make_entry(id, kind);
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    auto it = g_entries.find(id);
    if (it != g_entries.end()) {
      const char* running_kind = kind_name(it->second->kind());
      NLOG_ERROR("Stream id: %s is already running (%s stream); the new %s stream is refused.", id.c_str(),
                 running_kind, kind_name(kind));
      return nullptr;
    }
    g_entries.emplace(id, entry);
  }
  if (entry->describing()) return entry;  // nothing runs: no SIGINT, no run flag
  running = true;
  sigint_stream_added();
  return entry;
}

}  // namespace

const char* kind_name(StreamKind kind) {
  switch (kind) {
    case StreamKind::Classic: return "classic";
    case StreamKind::Usb: return "usb";
    case StreamKind::Split: return "split";
    case StreamKind::FramePush: return "frame-push";
    case StreamKind::Splice: return "splice";
    case StreamKind::Rolling: return "rolling";
    case StreamKind::Audio: return "audio";
    case StreamKind::Composition: return "composition";
  }
  return "unknown";
}

StreamEntry::StreamEntry(std::string id, StreamKind kind)
    : id_(std::move(id)), kind_(kind), metrics_(std::make_shared<StreamMetrics>()) {
  metrics_->set_stall_timeout_ns(configured_stall_timeout_ns(id_));
  metrics_->set_counts_frames(kind != StreamKind::Composition);
}

StreamEntry::~StreamEntry() {
  if (pipeline_) gst_object_unref(pipeline_);
}

StreamKind StreamEntry::kind() const {
  std::lock_guard<std::mutex> g(mutex_);
  return kind_;
}

void StreamEntry::set_kind(StreamKind kind) {
  std::lock_guard<std::mutex> g(mutex_);
  kind_ = kind;
  metrics_->set_counts_frames(kind != StreamKind::Composition);
}

bool StreamEntry::wait_for_stop(uint64_t ns) {
  std::unique_lock<std::mutex> g(mutex_);
  return stop_cv_.wait_for(g, std::chrono::nanoseconds(ns), [this] { return stop_.load(); });
}

void StreamEntry::set_pipeline(GstElement* pipeline) {
  GstElement* old;
  {
    std::lock_guard<std::mutex> g(mutex_);
    old = pipeline_;
    pipeline_ = pipeline ? GST_ELEMENT(gst_object_ref(pipeline)) : nullptr;
  }
  if (old) gst_object_unref(old);
  map_set(id_, pipeline);
}

void StreamEntry::set_description(const std::string& text) {
  std::lock_guard<std::mutex> g(mutex_);
  if (description_) *description_ = text;
}

DescribeClaims::DescribeClaims(std::string* out)
    : previous_(t_describe), text_(std::make_shared<std::string>()), out_(out) {
  t_describe = text_;
}

DescribeClaims::~DescribeClaims() {
  t_describe = previous_;
  if (out_) *out_ = *text_;
}

GstElement* StreamEntry::pipeline_ref() const {
  std::lock_guard<std::mutex> g(mutex_);
  return pipeline_ ? GST_ELEMENT(gst_object_ref(pipeline_)) : nullptr;
}

void StreamEntry::set_stop_action(std::function<void(StopCause)> action) {
  std::lock_guard<std::mutex> g(mutex_);
  action_ = std::move(action);
}

void StreamEntry::request_stop(StopCause cause) {
  std::function<void(StopCause)> action;
  GstElement* pipeline = nullptr;
  {
    std::lock_guard<std::mutex> g(mutex_);
    stop_ = true;
    stop_cv_.notify_all();
    if (action_ran_) return;
    action_ran_ = true;
    action = action_;
    if (pipeline_) pipeline = GST_ELEMENT(gst_object_ref(pipeline_));
  }
  if (action) {
    action(cause);
  } else if (pipeline) {
    // The runner sees the flag, lets this end-of-stream drain (files get their index)
    // for a bounded time, then tears the pipeline down.
    if (cause == StopCause::Sigint) NLOG_INFO("Received SIGINT signal, will send EOS to pipeline %s.", id_.c_str());
    send_eos_async(pipeline);
  }
  if (pipeline) gst_object_unref(pipeline);
}

StreamClaim& StreamClaim::operator=(StreamClaim&& o) noexcept {
  if (this != &o) {
    release();
    entry_ = std::move(o.entry_);
    owner_ = o.owner_;
    o.owner_ = false;
  }
  return *this;
}

void StreamClaim::release() {
  if (entry_ && owner_) {
    for (auto it = t_claims.begin(); it != t_claims.end(); ++it)
      if (*it == entry_) {
        t_claims.erase(it);
        break;
      }
    remove_entry(entry_);
  }
  owner_ = false;
  entry_.reset();
}

StreamClaim claim_stream(const std::string& id, StreamKind kind) {
  for (const EntryPtr& held : t_claims)
    if (held->id() == id) {
      held->set_kind(kind);
      return StreamClaim(held, false);
    }
  EntryPtr entry = insert_entry(id, kind);
  if (!entry) return StreamClaim();
  t_claims.push_back(entry);
  return StreamClaim(entry, true);
}

EntryPtr register_detached(const std::string& id, StreamKind kind) { return insert_entry(id, kind); }

void release_entry(const EntryPtr& entry) {
  if (entry) remove_entry(entry);
}

EntryPtr find_entry(const std::string& id) {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  auto it = g_entries.find(id);
  return it == g_entries.end() ? nullptr : it->second;
}

bool stop_stream(const std::string& id, StopCause cause) {
  EntryPtr entry = find_entry(id);
  if (!entry) {
    NLOG_WARN("No running stream has the id: %s; nothing to stop.", id.c_str());
    return false;
  }
  NLOG_INFO("Stopping %s stream id: %s", kind_name(entry->kind()), id.c_str());
  entry->request_stop(cause);
  return true;
}

void stop_all_streams(StopCause cause) {
  running = false;
  std::vector<EntryPtr> all;
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    for (auto& kv : g_entries) all.push_back(kv.second);
  }
  for (const EntryPtr& e : all) {
    NLOG_INFO("Stopping %s stream id: %s", kind_name(e->kind()), e->id().c_str());
    e->request_stop(cause);
  }
}

std::vector<std::string> running_stream_ids() {
  std::lock_guard<std::mutex> g(g_registry_mutex);
  std::vector<std::string> ids;
  for (auto& kv : g_entries) ids.push_back(kv.first);
  return ids;
}

std::shared_ptr<StreamMetrics> metrics_of(const std::string& id) {
  EntryPtr e = find_entry(id);
  return e ? e->metrics() : nullptr;
}

void report_failure(const std::string& id, const std::string& reason) {
  if (auto m = metrics_of(id)) m->set_failed(reason);
}

// ---- the runner layer's key-based interface, kept for the runners and the modules ----

void register_pipeline(const std::string& key, GstElement* pipeline) {
  if (EntryPtr e = find_entry(key)) e->set_pipeline(pipeline);
}

void unregister_pipeline(const std::string& key, GstElement* pipeline) {
  EntryPtr e = find_entry(key);
  if (!e) return;
  std::lock_guard<std::mutex> g(g_registry_mutex);
  auto it = pipeline_map.find(key);
  if (it != pipeline_map.end() && it->second == pipeline) {
    gst_object_unref(it->second);
    pipeline_map.erase(it);
  }
}

void replace_pipeline(const std::string& key, GstElement* pipeline) { register_pipeline(key, pipeline); }

bool stop_requested(const std::string& key) {
  EntryPtr e = find_entry(key);
  return !e || e->stop_requested();
}

}  // namespace nimbra_internal

void send_eos(const std::string& id) {
  if (id == "all_stream") {
    nimbra_internal::stop_all_streams(nimbra_internal::StopCause::AllStreams);
    return;
  }
  NLOG_INFO("send_eos: stopping single pipeline %s", id.c_str());
  nimbra_internal::stop_stream(id, nimbra_internal::StopCause::ById);
}

namespace Velkor {
namespace Nimbra {

int get_stream_health(const std::string& stream_id, StreamHealth& out) {
  using namespace nimbra_internal;
  if (EntryPtr e = find_entry(stream_id)) {
    out = StreamHealth{};
    out.stream_id = e->id();
    out.kind = kind_name(e->kind());
    e->metrics()->snapshot(out, now_ns());
    return 0;
  }
  std::lock_guard<std::mutex> g(g_registry_mutex);
  for (const StreamHealth& h : g_ended)
    if (h.stream_id == stream_id) {
      out = h;
      return 0;
    }
  return -1;
}

std::vector<StreamHealth> list_stream_health() {
  using namespace nimbra_internal;
  std::vector<EntryPtr> live;
  std::vector<StreamHealth> all;
  {
    std::lock_guard<std::mutex> g(g_registry_mutex);
    for (auto& kv : g_entries) live.push_back(kv.second);
    all.insert(all.end(), g_ended.begin(), g_ended.end());
  }
  const uint64_t now = now_ns();
  std::vector<StreamHealth> out;
  for (const EntryPtr& e : live) {
    StreamHealth h;
    h.stream_id = e->id();
    h.kind = kind_name(e->kind());
    e->metrics()->snapshot(h, now);
    out.push_back(std::move(h));
  }
  for (StreamHealth& h : all) {
    bool running_again = false;
    for (const EntryPtr& e : live) running_again = running_again || e->id() == h.stream_id;
    if (!running_again) out.push_back(std::move(h));
  }
  return out;
}

}  // namespace Nimbra
}  // namespace Velkor
