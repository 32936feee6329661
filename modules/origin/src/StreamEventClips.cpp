#define NIMBRA_MODULE "modules/origin/src/StreamEventClips"
#include "StreamEventClips.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "StreamBase.h"
#include "StreamCommon.h"
#include "StreamEventConfig.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamRollingSave.h"

using Velkor::Nimbra::Event;
using Velkor::Nimbra::EventType;

namespace nimbra_internal {

namespace {

// ---------------------------------------------------------------------------------
// The worker that runs the merges, one at a time, in the order they were asked for.

class ClipWorker {
 public:
  void submit(std::function<void()> job) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!thread_.joinable() && !stop_) {
      thread_ = std::thread([this] { loop(); });
      static std::once_flag at_exit;
      std::call_once(at_exit, [] { std::atexit(drain_at_exit); });
    }
    jobs_.push_back(std::move(job));
    cv_.notify_all();
  }
  bool wait_idle(double timeout_s) {
    std::unique_lock<std::mutex> g(mutex_);
    return cv_.wait_for(g, std::chrono::duration<double>(timeout_s), [&] { return jobs_.empty() && !busy_; });
  }
  static ClipWorker& get() {
    static ClipWorker* w = new ClipWorker();  // never destroyed: jobs may run until exit
    return *w;
  }

 private:
  // Clips asked for before the program ends are still written (a stream that ended at
  // exit flushes its pending clips into the queue), within a limit.
  static void drain_at_exit() {
    ClipWorker& w = get();
    w.wait_idle(120);
    {
      std::lock_guard<std::mutex> g(w.mutex_);
      w.stop_ = true;
    }
    w.cv_.notify_all();
    if (w.thread_.joinable()) {
      if (w.thread_.get_id() == std::this_thread::get_id()) w.thread_.detach();
      else w.thread_.join();
    }
  }
  void loop() {
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
      cv_.wait(g, [&] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      g.unlock();
      try {
        job();
      } catch (const std::exception& e) {
        NLOG_ERROR("event clip: %s", e.what());
      }
      g.lock();
      busy_ = false;
      cv_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

std::string utc_stamp(double unix_s) {
  const time_t t = (time_t)unix_s;
  tm parts;
  gmtime_r(&t, &parts);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &parts);
  return buf;
}

bool makes_clip(EventType t) {
  return t == EventType::New || t == EventType::ZoneEnter || t == EventType::LineCross;
}

// ---------------------------------------------------------------------------------
// One ring: the segments of one run of a stream's pipeline and the clips asked of them.

class ClipRing : public std::enable_shared_from_this<ClipRing> {
 public:
  ClipRing(std::string stream_id, EventClipConfig cfg)
      : stream_(std::move(stream_id)), cfg_(std::move(cfg)), root_(cfg_.dir + "/.ring"), dir_(root_ + "/" + stream_) {}

  ~ClipRing() {
    // The segments of this run are of no use to anyone once it and its clips are done.
    for (const Segment& s : segs_) unlink(s.path.c_str());
  }

  const std::string& stream() const { return stream_; }

  // A new segment begins with `first` (splitmuxsink's format-location-full).
  std::string next_location(GstSample* first) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!prepared_) prepare_locked();
    if (broken_) return "/dev/null";
    Segment s;
    s.index = next_index(stream_);
    char name[32];
    snprintf(name, sizeof name, "/%08llu.mp4", (unsigned long long)s.index);
    s.path = dir_ + name;
    GstBuffer* b = first ? gst_sample_get_buffer(first) : nullptr;
    if (b && GST_BUFFER_PTS_IS_VALID(b)) s.start = (int64_t)GST_BUFFER_PTS(b);
    else if (b && GST_BUFFER_DTS_IS_VALID(b)) s.start = (int64_t)GST_BUFFER_DTS(b);
    else s.start = last_end_;
    if (!segs_.empty() && segs_.back().end < 0) segs_.back().end = s.start;
    segs_.push_back(s);
    // The previous segment's end is known only now: a clip may have waited for it.
    std::vector<std::function<void()>> jobs;
    collect_locked(jobs);
    for (auto& j : jobs) ClipWorker::get().submit(std::move(j));
    return s.path;
  }

  void buffer_seen(GstBuffer* b) {
    if (!GST_BUFFER_PTS_IS_VALID(b)) return;
    int64_t end = (int64_t)GST_BUFFER_PTS(b) + (GST_BUFFER_DURATION_IS_VALID(b) ? (int64_t)GST_BUFFER_DURATION(b) : 0);
    std::lock_guard<std::mutex> g(mutex_);
    last_end_ = std::max(last_end_, end);
  }

  void fragment_closed(const std::string& location) {
    std::vector<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> g(mutex_);
      // Its end is the next segment's start, which may not have been chosen yet: the
      // writer looks ahead a whole keyframe interval before it cuts.
      for (Segment& s : segs_) {
        if (s.path != location) continue;
        s.closed = true;
        NLOG_INFO("stream \"%s\": event clips: segment %s closed (from %.3f s)", stream_.c_str(), s.path.c_str(),
                  s.start / 1e9);
      }
      collect_locked(jobs);
      expire_locked();
    }
    for (auto& j : jobs) ClipWorker::get().submit(std::move(j));
  }

  // End-of-stream, or the pipeline torn down: what is asked is written from what there is.
  // The writer failed: it gets nothing more, so the stream it hangs off goes on.
  void fail(const std::string& why) {
    if (failed_.exchange(true)) return;
    NLOG_ERROR("stream \"%s\": event clips stopped: %s; the stream goes on without them", stream_.c_str(), why.c_str());
    ended();
  }
  bool failed() const { return failed_; }

  void ended() {
    std::vector<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (ended_) return;
      ended_ = true;
      // The last segment ends with the last access unit the writer got.
      for (Segment& s : segs_)
        if (s.end < 0) s.end = last_end_;
      collect_locked(jobs);
    }
    for (auto& j : jobs) ClipWorker::get().submit(std::move(j));
  }

  void event(const Event& e) {
    std::vector<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (broken_) return;
      Pending p;
      p.source = e;
      const int64_t at = e.pts_ns >= 0 ? e.pts_ns : last_end_;
      p.from = at - (int64_t)(cfg_.pre_s * 1e9);
      p.to = at + (int64_t)(cfg_.post_s * 1e9);
      p.id = next_pending_++;
      pending_.push_back(std::move(p));
      collect_locked(jobs);
    }
    for (auto& j : jobs) ClipWorker::get().submit(std::move(j));
  }

 private:
  struct Segment {
    uint64_t index = 0;
    std::string path;
    int64_t start = -1, end = -1;  // PTS; end -1: not known yet
    bool closed = false;           // the file is finished
  };
  struct Pending {
    uint64_t id = 0;
    Event source;
    int64_t from = 0, to = 0;
    bool scheduled = false;  // its merge is queued or running
  };

  // Segment numbers go on across the runs of a stream in this process, so a new run never
  // writes over a segment an old run's clip is reading.
  static uint64_t next_index(const std::string& stream) {
    static std::mutex m;
    static std::map<std::string, uint64_t> next;
    std::lock_guard<std::mutex> g(m);
    return next[stream]++;
  }

  void prepare_locked() {
    prepared_ = true;
    static std::mutex m;
    static std::set<std::string> cleared;
    if (g_mkdir_with_parents(cfg_.dir.c_str(), 0755) != 0 || !safe_segment_dir(root_, dir_)) {
      NLOG_ERROR("stream \"%s\": event clips: cannot use %s for the segment ring (not a writable plain directory); "
                 "the stream runs without clips",
                 stream_.c_str(), dir_.c_str());
      broken_ = true;
      return;
    }
    // Segments a previous process left behind are not this process's to keep.
    std::lock_guard<std::mutex> g(m);
    if (cleared.insert(dir_).second && clear_segments(dir_) != 0)
      NLOG_WARN("stream \"%s\": event clips: old segments in %s could not all be removed", stream_.c_str(), dir_.c_str());
  }

  // Merges for the pending clips whose post-roll is recorded (or whose stream ended).
  void collect_locked(std::vector<std::function<void()>>& jobs) {
    for (Pending& p : pending_) {
      if (p.scheduled) continue;
      // The post-roll is recorded once a segment after it has begun (which also fixes
      // the end of the segment before), or once the stream has ended.
      bool ready = ended_;
      for (const Segment& s : segs_)
        if (s.start > p.to) ready = true;
      if (!ready) continue;
      size_t first = segs_.size(), last = 0;
      for (size_t i = 0; i < segs_.size(); ++i) {
        const Segment& s = segs_[i];
        if (s.start > p.to || (s.end >= 0 && s.end <= p.from)) continue;
        if (!s.closed || s.end < 0) {
          // Not finished: before the end, wait for it; one still open when a stream is
          // torn down without end-of-stream has no index and cannot be read.
          if (!ended_) ready = false;
          break;
        }
        if (first == segs_.size()) first = i;
        last = i;
      }
      if (!ready) continue;
      p.scheduled = true;
      if (first == segs_.size()) {
        NLOG_WARN("stream \"%s\": event %s: no recorded segment covers it; no clip", stream_.c_str(),
                  p.source.id.c_str());
        done_ids_.push_back(p.id);
        continue;
      }
      auto self = shared_from_this();
      const uint64_t id = p.id;
      const Event source = p.source;
      const Segment a = segs_[first], b = segs_[last];
      jobs.push_back([self, id, source, a, b] { self->merge(id, source, a, b); });
    }
    if (!done_ids_.empty()) {
      for (uint64_t id : done_ids_)
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == id; }),
                       pending_.end());
      done_ids_.clear();
    }
  }

  // Deletes segments older than the ring keeps that no pending clip needs.
  void expire_locked() {
    int64_t newest = -1;
    for (const Segment& s : segs_)
      if (s.closed) newest = std::max(newest, s.end);
    const int64_t keep_from = newest - (int64_t)(cfg_.ring_s * 1e9);
    while (segs_.size() > 1) {
      const Segment& s = segs_.front();
      if (!s.closed || s.end < 0 || s.end >= keep_from) break;
      bool needed = false;
      for (const Pending& p : pending_) needed = needed || p.from < s.end;
      if (needed) break;
      unlink(s.path.c_str());
      segs_.pop_front();
    }
  }

  // On the worker: joins segments a..b and announces the clip.
  void merge(uint64_t id, const Event& source, const Segment& a, const Segment& b) {
    std::string safe = stream_;
    for (char& c : safe)
      if (c == '/' || c == ' ') c = '_';
    const std::string out = cfg_.dir + "/" + safe + "-" + utc_stamp(source.time_s) + "-" +
                            std::to_string(source.sequence) + ".mp4";
    int code = -1;
    std::string so, se, command;
    const bool ran = run_concate_script({"--root", root_, "--stream-id", stream_, "--first-index", std::to_string(a.index),
                                         "--last-index", std::to_string(b.index), "--output", out},
                                        &code, &so, &se, &command);
    if (!ran || code != 0) {
      while (!se.empty() && (se.back() == '\n' || se.back() == ' ')) se.pop_back();
      const size_t nl = se.rfind('\n');
      NLOG_ERROR("stream \"%s\": the clip of event %s could not be written (%s): %s", stream_.c_str(),
                 source.id.c_str(), command.c_str(), (nl == std::string::npos ? se : se.substr(nl + 1)).c_str());
    } else {
      Event clip = source;
      clip.type = EventType::Clip;
      clip.id.clear();
      clip.sequence = 0;
      clip.time_s = 0;  // now
      clip.clip_path = out;
      clip.clip_event_id = source.id;
      clip.clip_start_pts_ns = a.start;
      clip.clip_end_pts_ns = b.end;
      Velkor::Nimbra::emit_stream_event(std::move(clip));
    }
    std::lock_guard<std::mutex> g(mutex_);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == id; }),
                   pending_.end());
    expire_locked();
  }

  const std::string stream_;
  const EventClipConfig cfg_;
  const std::string root_, dir_;
  std::mutex mutex_;
  std::deque<Segment> segs_;
  std::vector<Pending> pending_;
  std::vector<uint64_t> done_ids_;
  uint64_t next_pending_ = 1;
  int64_t last_end_ = -1;
  bool prepared_ = false, broken_ = false, ended_ = false;
  std::atomic<bool> failed_{false};
};

// The ring each stream's events go to: the newest run's.
std::mutex g_rings_mutex;
std::map<std::string, std::weak_ptr<ClipRing>>& rings() {
  static auto* m = new std::map<std::string, std::weak_ptr<ClipRing>>();
  return *m;
}

}  // namespace

}  // namespace nimbra_internal

// ---------------------------------------------------------------------------------
// The clip branch's bin: it sees its splitmuxsink's messages as they are posted, on the
// thread that posts them, whatever the pipeline's owner does with its bus.

struct NimbraClipBin {
  GstBin parent;
  std::shared_ptr<nimbra_internal::ClipRing>* ring;
};
struct NimbraClipBinClass {
  GstBinClass parent_class;
};

G_DEFINE_TYPE(NimbraClipBin, nimbra_clip_bin, GST_TYPE_BIN)

static void nimbra_clip_bin_handle_message(GstBin* bin, GstMessage* msg) {
  auto* self = reinterpret_cast<NimbraClipBin*>(bin);
  if (self->ring && *self->ring) {
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ELEMENT) {
      const GstStructure* s = gst_message_get_structure(msg);
      if (s && gst_structure_has_name(s, "splitmuxsink-fragment-closed")) {
        const gchar* location = gst_structure_get_string(s, "location");
        if (location) (*self->ring)->fragment_closed(location);
      }
    } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
      (*self->ring)->ended();
    } else if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
      // Posted on the failing streaming thread before its flow error travels back up,
      // so the branch is shut off before the tee could hand the error to the stream.
      GError* err = nullptr;
      gst_message_parse_error(msg, &err, nullptr);
      (*self->ring)->fail(std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(msg))) + ": " +
                          (err && err->message ? err->message : "unknown error"));
      if (err) g_error_free(err);
      gst_message_unref(msg);
      return;
    }
  }
  GST_BIN_CLASS(nimbra_clip_bin_parent_class)->handle_message(bin, msg);
}

static GstStateChangeReturn nimbra_clip_bin_change_state(GstElement* element, GstStateChange transition) {
  const GstStateChangeReturn ret = GST_ELEMENT_CLASS(nimbra_clip_bin_parent_class)->change_state(element, transition);
  auto* self = reinterpret_cast<NimbraClipBin*>(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL && self->ring && *self->ring) (*self->ring)->ended();
  return ret;
}

static void nimbra_clip_bin_finalize(GObject* object) {
  auto* self = reinterpret_cast<NimbraClipBin*>(object);
  delete self->ring;
  self->ring = nullptr;
  G_OBJECT_CLASS(nimbra_clip_bin_parent_class)->finalize(object);
}

static void nimbra_clip_bin_class_init(NimbraClipBinClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = nimbra_clip_bin_finalize;
  GST_ELEMENT_CLASS(klass)->change_state = nimbra_clip_bin_change_state;
  GST_BIN_CLASS(klass)->handle_message = nimbra_clip_bin_handle_message;
}

static void nimbra_clip_bin_init(NimbraClipBin* self) { self->ring = new std::shared_ptr<nimbra_internal::ClipRing>(); }

namespace nimbra_internal {

namespace {

gchar* on_format_location(GstElement*, guint, GstSample* first, gpointer data) {
  auto* ring = static_cast<ClipRing*>(data);
  return g_strdup(ring->next_location(first).c_str());
}

// The clip branch: queue ! segment writer, in a NimbraClipBin with a ghost "sink" pad.
GstElement* make_clip_branch(const std::string& stream_id, const EventClipConfig& cfg, bool h265, bool from_network) {
  const uint64_t segment_ns = (uint64_t)(cfg.segment_s * 1e9);
  // The location is a stand-in: each segment's name comes from the ring.
  const std::string desc = "queue name=head max-size-buffers=0 max-size-bytes=0 max-size-time=10000000000 ! " +
                           segment_writer_description(h265, cfg.dir + "/%08d.mp4", segment_ns, 0, from_network);
  GError* err = nullptr;
  // Not ghosted by the parser: it would ghost the first unlinked source pad it finds,
  // the one splitmuxsink's muxer is about to link to its file sink.
  GstElement* inner = gst_parse_bin_from_description(desc.c_str(), FALSE, &err);
  if (!inner) {
    NLOG_ERROR("stream \"%s\": event clips: the segment writer cannot be built (%s); the stream runs without clips",
               stream_id.c_str(), err && err->message ? err->message : "unknown");
    if (err) g_error_free(err);
    return nullptr;
  }
  if (err) g_error_free(err);
  auto* bin = reinterpret_cast<NimbraClipBin*>(g_object_new(nimbra_clip_bin_get_type(), nullptr));
  const std::string name = "nimbra_event_clips_" + stream_id;
  gst_object_set_name(GST_OBJECT(bin), name.c_str());
  auto ring = std::make_shared<ClipRing>(stream_id, cfg);
  *bin->ring = ring;
  gst_bin_add(GST_BIN(bin), inner);
  GstElement* rec = gst_bin_get_by_name(GST_BIN(inner), "rec");
  // The ring outlives the handler: the bin (which holds it) holds the writer.
  g_signal_connect(rec, "format-location-full", G_CALLBACK(on_format_location), ring.get());
  // The parser in front of the muxer hands on an access unit without a PTS now and then
  // (a network source whose sender clock the jitterbuffer lost); the muxer would fail.
  for (GList* l = GST_ELEMENT(rec)->sinkpads; l; l = l->next)
    guard_timestamps(GST_PAD(l->data), "Event clips: dropping an access unit without timestamps.");
  gst_object_unref(rec);
  GstElement* head = gst_bin_get_by_name(GST_BIN(inner), "head");
  GstPad* head_sink = gst_element_get_static_pad(head, "sink");
  gst_element_add_pad(inner, gst_ghost_pad_new("sink", head_sink));
  gst_object_unref(head_sink);
  gst_object_unref(head);
  GstPad* target = gst_element_get_static_pad(inner, "sink");
  GstPad* ghost = gst_ghost_pad_new("sink", target);
  gst_object_unref(target);
  gst_element_add_pad(GST_ELEMENT(bin), ghost);
  gst_pad_add_probe(
      ghost, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        auto* r = static_cast<ClipRing*>(data);
        if (r->failed()) return GST_PAD_PROBE_DROP;
        if (GstBuffer* b = GST_PAD_PROBE_INFO_BUFFER(info)) r->buffer_seen(b);
        return GST_PAD_PROBE_OK;
      },
      ring.get(), nullptr);
  {
    std::lock_guard<std::mutex> g(g_rings_mutex);
    rings()[stream_id] = ring;
  }
  return GST_ELEMENT(bin);
}

// The stream's "eventClips", read afresh; disabled after one error line when bad.
EventClipConfig read_clip_config(const std::string& stream_id) {
  EventClipConfig cfg;
  Json::Value root;
  std::string error;
  if (!load_config_file(stream_conf_file ? stream_conf_file : "", root, error)) return cfg;
  const Json::Value* props = find_stream_properties(root, stream_id);
  if (!props) return cfg;
  std::vector<ConfigProblem> problems;
  read_event_clips(*props, cfg, problems);
  for (const ConfigProblem& p : problems) {
    if (p.warning) NLOG_WARN("stream \"%s\": %s", stream_id.c_str(), p.message.c_str());
    else NLOG_ERROR("stream \"%s\": %s; the stream runs without event clips", stream_id.c_str(), p.message.c_str());
  }
  if (cfg.enabled && !rolling_id_is_safe(stream_id)) {
    NLOG_ERROR("stream \"%s\": event clips refused: the stream id cannot name a directory; the stream runs without "
               "event clips",
               stream_id.c_str());
    cfg.enabled = false;
  }
  return cfg;
}

}  // namespace

bool link_to_decoder(GstElement* bin, GstElement* parser, GstElement* decoder, const std::string& stream_id,
                     const std::string& decode_type, bool from_network) {
  const EventClipConfig cfg = read_clip_config(stream_id);
  GstElement* branch = cfg.enabled ? make_clip_branch(stream_id, cfg, decode_type == "H265", from_network) : nullptr;
  if (!branch) return gst_element_link(parser, decoder);
  GstElement* tee = gst_element_factory_make("tee", nullptr);
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  if (!tee || !queue) {
    drop_all({tee, queue, branch});
    return gst_element_link(parser, decoder);
  }
  add_all(bin, {tee, queue, branch});
  if (link_chain({parser, tee, queue, decoder}) != -1 || !gst_element_link(tee, branch)) return false;
  NLOG_INFO("stream \"%s\": event clips of %g s before to %g s after each event, into %s", stream_id.c_str(), cfg.pre_s,
            cfg.post_s, cfg.dir.c_str());
  return true;
}

void clip_events_seen(const std::vector<Event>& events) {
  std::shared_ptr<ClipRing> ring;
  for (const Event& e : events) {
    if (!makes_clip(e.type)) continue;
    if (!ring || ring->stream() != e.stream_id) {
      std::lock_guard<std::mutex> g(g_rings_mutex);
      auto it = rings().find(e.stream_id);
      ring = it == rings().end() ? nullptr : it->second.lock();
    }
    if (ring) ring->event(e);
  }
}

bool wait_event_clips(double timeout_s) { return ClipWorker::get().wait_idle(timeout_s); }

}  // namespace nimbra_internal
