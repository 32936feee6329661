// The registry of running streams of every kind, keyed by stream id.
//
// A start claims its id before it builds anything; a second start of a running id is
// refused. Every entry carries its kind and its own stop action, and every stop
// (gstreamer_pipeline_shutdown(id), "all_stream", SIGINT) reaches the stream through
// here. A stop that arrives while the stream is still starting is kept in the entry and
// honoured by the runner before it plays.
//
//   auto claim = nimbra_internal::claim_stream(id, StreamKind::Classic);
//   if (!claim) return -1;                    // already running, one error line logged
//   claim->set_pipeline(pipeline);            // end-of-stream goes here on a stop
//   ... while (!claim->stop_requested()) ...
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "StreamMetrics.h"

namespace nimbra_internal {

enum class StreamKind { Classic, Usb, Split, FramePush, Splice, Rolling, Audio, Composition };
const char* kind_name(StreamKind kind);

// Why a stream is asked to stop.
enum class StopCause { ById, AllStreams, Sigint };

class StreamEntry;
using EntryPtr = std::shared_ptr<StreamEntry>;

class StreamEntry {
 public:
  StreamEntry(std::string id, StreamKind kind);
  ~StreamEntry();
  StreamEntry(const StreamEntry&) = delete;
  StreamEntry& operator=(const StreamEntry&) = delete;

  const std::string& id() const { return id_; }
  StreamKind kind() const;
  void set_kind(StreamKind kind);
  bool stop_requested() const { return stop_.load(); }

  // The pipeline a stop sends its end-of-stream to (a reference is taken; null clears).
  // Rebuilds re-point it. Mirrored in the exported pipeline_map.
  void set_pipeline(GstElement* pipeline);
  // The current pipeline with a reference the caller drops, or null.
  GstElement* pipeline_ref() const;
  // Replaces the default stop action (end-of-stream into the pipeline). It runs on the
  // stopping thread, never under a registry lock, at most once per entry.
  void set_stop_action(std::function<void(StopCause)> action);

  // Marks the stop and runs the stop action once.
  void request_stop(StopCause cause);
  // Waits until a stop is requested or `ns` have passed; true when stopped.
  bool wait_for_stop(uint64_t ns);

  // Health and numbers of the stream; shared with the frame path.
  const std::shared_ptr<StreamMetrics>& metrics() const { return metrics_; }

  // A stream that is only described (a dry run): its launcher builds the pipeline as for
  // a start, and where it would play it, may_play() records the pipeline's description
  // here instead. Set when the entry is made, for claims made inside describe_claims().
  bool describing() const { return description_ != nullptr; }
  void set_description(const std::string& text);

 private:
  mutable std::mutex mutex_;
  const std::string id_;
  StreamKind kind_;
  std::atomic<bool> stop_{false};
  bool action_ran_ = false;
  GstElement* pipeline_ = nullptr;
  std::function<void(StopCause)> action_;
  std::condition_variable stop_cv_;
  std::shared_ptr<StreamMetrics> metrics_;
  std::shared_ptr<std::string> description_;
  friend EntryPtr make_entry(const std::string&, StreamKind);
};

// While one lives, the streams this thread claims are only described: their description
// lands in `out` (empty when none got that far).
class DescribeClaims {
 public:
  explicit DescribeClaims(std::string* out);
  ~DescribeClaims();
  DescribeClaims(const DescribeClaims&) = delete;
  DescribeClaims& operator=(const DescribeClaims&) = delete;

 private:
  std::shared_ptr<std::string> previous_;
  std::shared_ptr<std::string> text_;
  std::string* out_;
};

// The entry of one running start call. Claims are re-entrant per thread: a launcher
// called from start_stream on the same thread shares the outer claim's entry (and sets
// its kind) instead of being refused as a duplicate.
class StreamClaim {
 public:
  StreamClaim() = default;
  StreamClaim(EntryPtr entry, bool owner) : entry_(std::move(entry)), owner_(owner) {}
  StreamClaim(StreamClaim&& o) noexcept : entry_(std::move(o.entry_)), owner_(o.owner_) { o.owner_ = false; }
  StreamClaim& operator=(StreamClaim&& o) noexcept;
  ~StreamClaim() { release(); }

  explicit operator bool() const { return entry_ != nullptr; }
  StreamEntry* operator->() const { return entry_.get(); }
  const EntryPtr& entry() const { return entry_; }
  // Removes the entry from the registry now (owner only).
  void release();

 private:
  EntryPtr entry_;
  bool owner_ = false;
};

// Claims `id` for a stream of `kind`. An empty claim (and one level-2 line) when the id
// is already running on another thread.
StreamClaim claim_stream(const std::string& id, StreamKind kind);
// A registration not tied to the calling thread (a stream that outlives its start call,
// like a splice stream); null when the id runs already. End it with release_entry.
EntryPtr register_detached(const std::string& id, StreamKind kind);
void release_entry(const EntryPtr& entry);

EntryPtr find_entry(const std::string& id);
// Stops one stream; false when no stream of that id runs.
bool stop_stream(const std::string& id, StopCause cause = StopCause::ById);
// Stops every stream and clears `running`.
void stop_all_streams(StopCause cause);
// Ids of the running streams (tests, diagnostics).
std::vector<std::string> running_stream_ids();
// The numbers of the running stream `id`, or null.
std::shared_ptr<StreamMetrics> metrics_of(const std::string& id);
// Marks the stream `id` failed with `reason` (it is reported so once it has ended).
void report_failure(const std::string& id, const std::string& reason);

}  // namespace nimbra_internal
