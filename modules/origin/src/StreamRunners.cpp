// The pipeline runners: one loop for every platform tag. It builds the chain of the tag's
// row (StreamRunnerTable), plays it, and waits on the bus on the caller's thread; what it
// sees goes to the recovery state machine (StreamRecovery), whose actions it performs:
// retries, rebuilds from the configuration, in-place reconnection of a network input, and
// the stop.
#define NIMBRA_MODULE "modules/origin/src/StreamRunners"
#include "StreamBuild.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamErrors.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRecovery.h"
#include "StreamRegistry.h"
#include "StreamRunnerTable.h"

using nimbra_internal::add_probe;
using nimbra_internal::link_chain;
using nimbra_internal::make_caps_filter;
using nimbra_internal::make_transform;
using nimbra_internal::now_ns;
using nimbra_internal::platform_tag;
using nimbra_internal::prepare_pipeline;
using nimbra_internal::Recovery;
using nimbra_internal::release_pipeline;
using nimbra_internal::RunnerProfile;
using nimbra_internal::set_low_latency;
using nimbra_internal::stop_requested;

namespace {

constexpr GstClockTime kBusPoll = 200 * GST_MSECOND;
// What an output gets to finish its file before a rebuild tears the pipeline down.
constexpr auto kFinaliseLimit = std::chrono::seconds(5);


// ---------------------------------------------------------------------------------
// Watches on the input

// Every buffer the input hands to the chain counts as input activity.
void watch_input_activity(GstPad* joint, const std::shared_ptr<nimbra_internal::StreamMetrics>& metrics) {
  gst_pad_add_probe(
      joint, (GstPadProbeType)(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
      [](GstPad*, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
        (*static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data))->input_active(now_ns());
        return GST_PAD_PROBE_OK;
      },
      new std::shared_ptr<nimbra_internal::StreamMetrics>(metrics),
      [](gpointer data) { delete static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data); });
}

// Whether a queue holds as much as it may: whoever pushes into it waits, so the input
// behind it is held back by a slow consumer rather than silent.
bool queue_is_full(GstElement* queue) {
  if (!queue || !g_object_class_find_property(G_OBJECT_GET_CLASS(queue), "current-level-buffers")) return false;
  guint buffers = 0, max_buffers = 0, bytes = 0, max_bytes = 0;
  guint64 time = 0, max_time = 0;
  g_object_get(queue, "current-level-buffers", &buffers, "max-size-buffers", &max_buffers, "current-level-bytes",
               &bytes, "max-size-bytes", &max_bytes, "current-level-time", &time, "max-size-time", &max_time,
               nullptr);
  // Nine tenths of any limit: a queue sized to one or three pictures counts as full only
  // when it holds them all.
  return (max_buffers && (guint64)buffers * 10 >= (guint64)max_buffers * 9) ||
         (max_bytes && (guint64)bytes * 10 >= (guint64)max_bytes * 9) || (max_time && time * 10 >= max_time * 9);
}

// The input's own end-of-stream, kept from the output while the stream is not stopping:
// a camera that closes its session is reconnected, not recorded as the end.
struct InputWatch {
  std::string key;
  std::atomic<bool> ended{false};
};

void watch_input_eos(GstElement* input, const std::shared_ptr<InputWatch>& watch) {
  GstPad* pad = gst_element_get_static_pad(input, "src");
  if (!pad) return;
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        auto* w = static_cast<std::shared_ptr<InputWatch>*>(data);
        GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
        if (!ev || GST_EVENT_TYPE(ev) != GST_EVENT_EOS || stop_requested((*w)->key)) return GST_PAD_PROBE_OK;
        (*w)->ended = true;
        return GST_PAD_PROBE_DROP;
      },
      new std::shared_ptr<InputWatch>(watch), [](gpointer data) { delete static_cast<std::shared_ptr<InputWatch>*>(data); });
  gst_object_unref(pad);
}

// ---------------------------------------------------------------------------------
// One running stream: what the loop acts on.

class Run {
 public:
  Run(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output)
      : p_(p), d_(d), key_(d->streamId), input_(input), output_(output) {
    metrics_ = d->metrics ? d->metrics : std::make_shared<nimbra_internal::StreamMetrics>();
  }
  ~Run() {
    join_finaliser();
    drop_joint();
  }

  int go(bool skip_conversion);

 private:
  void attach_joint();
  void drop_joint();
  bool pipeline_playing() const;
  Recovery::Input observe(Recovery::Event e, uint64_t now, const std::string& why = "");
  // Performs a step's actions; true when the stream ends (result in `rc`).
  bool perform(Recovery& rec, const Recovery::Step& s, int& rc);
  void report(const Recovery::Step& s);
  void finalise_output();
  void join_finaliser();
  void tear_down_input();
  void end_from_output_side();
  bool build_input();
  bool rebuild_pipeline();
  void move_recordings_aside(int attempt);
  int finish(int rc);

  const RunnerProfile& p_;
  PiplineData* d_;
  const std::string key_;
  GstElement* input_;   // in the pipeline, or null once taken out
  GstElement* output_;  // in the pipeline
  GstPad* joint_ = nullptr;            // where the input links to: the first stage's sink pad
  GstElement* first_stage_ = nullptr;  // the element the input feeds (a queue on most rows)
  std::shared_ptr<nimbra_internal::StreamMetrics> metrics_;
  std::shared_ptr<InputWatch> input_watch_;
  std::shared_ptr<nimbra_internal::OutputEosWatch> eos_watch_;
  std::thread finaliser_;
  bool reconnects_in_place_ = false;
  std::string first_location_;  // the recording's own file, before any retry
};

void Run::attach_joint() {
  drop_joint();
  GstPad* src = input_ ? gst_element_get_static_pad(input_, "src") : nullptr;
  joint_ = src ? gst_pad_get_peer(src) : nullptr;
  if (src) gst_object_unref(src);
  if (!joint_) return;
  first_stage_ = gst_pad_get_parent_element(joint_);
  // Silence is measured where the input joins the chain, before the callback's thread.
  watch_input_activity(joint_, metrics_);
}

void Run::drop_joint() {
  if (first_stage_) gst_object_unref(first_stage_);
  if (joint_) gst_object_unref(joint_);
  first_stage_ = nullptr;
  joint_ = nullptr;
}

bool Run::pipeline_playing() const {
  if (!d_->pipeline) return false;
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(d_->pipeline, &state, nullptr, 0);
  return state == GST_STATE_PLAYING;
}

Recovery::Input Run::observe(Recovery::Event e, uint64_t now, const std::string& why) {
  Recovery::Input in;
  in.event = e;
  in.now = now;
  in.why = why;
  in.frames = metrics_->decoded();
  // A full queue after the input means the input is held back, not silent.
  if (queue_is_full(first_stage_)) metrics_->input_active(now);
  in.last_activity = metrics_->last_activity_ns();
  in.busy = metrics_->in_callback();
  in.pipeline_playing = pipeline_playing();
  return in;
}

// After an input failure the output still holds what it received: end-of-stream goes
// straight into it, so a recording gets its index before the pipeline is torn down. It
// is sent from a thread of its own and waited for a bounded time: a sink that never
// prerolled (nothing flowed) or an output stuck on a dead peer would otherwise block the
// runner, and with it every later stop.
void Run::finalise_output() {
  if (!d_->pipeline || !output_ || !d_->bus || !pipeline_playing()) return;
  GstPad* pad = gst_element_get_static_pad(output_, "sink");
  if (!pad) return;
  join_finaliser();
  finaliser_ = std::thread([pad] {
    gst_pad_send_event(pad, gst_event_new_eos());
    gst_object_unref(pad);
  });
  const auto deadline = std::chrono::steady_clock::now() + kFinaliseLimit;
  while (std::chrono::steady_clock::now() < deadline && !stop_requested(key_)) {
    // Further errors of the failed input may still arrive; only the end-of-stream counts.
    if (GstMessage* m = gst_bus_timed_pop_filtered(d_->bus, kBusPoll, GST_MESSAGE_EOS)) {
      gst_message_unref(m);
      return;
    }
  }
  NLOG_WARN("The output of stream id: %s did not finish its end-of-stream before the rebuild.", key_.c_str());
}

// Called once the pipeline is at NULL (or gone): nothing the thread sends into can block
// then.
void Run::join_finaliser() {
  if (finaliser_.joinable()) {
    if (d_->pipeline) gst_element_set_state(d_->pipeline, GST_STATE_NULL);
    finaliser_.join();
  }
}

void Run::tear_down_input() {
  if (!input_) return;
  GstElement* old = input_;
  input_ = nullptr;
  gst_element_set_state(old, GST_STATE_NULL);
  if (GstPad* src = gst_element_get_static_pad(old, "src")) {
    if (joint_) gst_pad_unlink(src, joint_);
    gst_object_unref(src);
  }
  gst_bin_remove(GST_BIN(d_->pipeline), old);
}

void Run::end_from_output_side() {
  tear_down_input();
  nimbra_internal::send_eos_async(joint_);
}

bool Run::build_input() {
  GstElement* fresh = d_->rebuild_input ? d_->rebuild_input() : nullptr;
  GstPad* src = fresh ? gst_element_get_static_pad(fresh, "src") : nullptr;
  bool linked = false;
  if (src && joint_) {
    gst_bin_add(GST_BIN(d_->pipeline), fresh);
    linked = GST_PAD_LINK_SUCCESSFUL(gst_pad_link(src, joint_));
    if (!linked) {
      gst_element_set_state(fresh, GST_STATE_NULL);
      gst_bin_remove(GST_BIN(d_->pipeline), fresh);
    }
  } else if (fresh) {
    gst_object_unref(gst_object_ref_sink(fresh));
  }
  if (src) gst_object_unref(src);
  if (!linked) return false;
  input_ = fresh;
  input_watch_->ended = false;
  watch_input_eos(input_, input_watch_);
  gst_element_sync_state_with_parent(input_);
  // A pipeline whose first input never delivered is still on its way to PLAYING (its
  // sinks never prerolled) and may have lost track of it when that input was taken out:
  // asking again lets the new input's first frames carry it there.
  if (!pipeline_playing()) gst_element_set_state(d_->pipeline, GST_STATE_PLAYING);
  return true;
}

bool Run::rebuild_pipeline() {
  GstElement* out = nullptr;
  join_finaliser();
  if (nimbra_internal::recreate_pipeline(d_, &out, false) != 0) return false;
  output_ = out;
  eos_watch_ = nimbra_internal::watch_output_eos(out);
  // The rebuilt pipeline's input: found from the chain again.
  input_ = nullptr;
  if (d_->pipeline) {
    GstElement* tin = gst_bin_get_by_name(GST_BIN(d_->pipeline), "qtivtransformInput");
    if (tin) {
      GstPad* sink = gst_element_get_static_pad(tin, "sink");
      GstPad* peer = sink ? gst_pad_get_peer(sink) : nullptr;
      if (peer) {
        input_ = gst_pad_get_parent_element(peer);
        if (input_) gst_object_unref(input_);  // owned by the pipeline
        gst_object_unref(peer);
      }
      if (sink) gst_object_unref(sink);
      gst_object_unref(tin);
    }
  }
  attach_joint();
  return true;
}

void Run::move_recordings_aside(int attempt) {
  if (!output_ || !GST_IS_BIN(output_)) return;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(output_));
  GValue v = G_VALUE_INIT;
  while (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&v));
    GstElementFactory* f = gst_element_get_factory(e);
    if (f && g_strcmp0(GST_OBJECT_NAME(f), "filesink") == 0) {
      gchar* location = nullptr;
      g_object_get(e, "location", &location, nullptr);
      if (location) {
        if (first_location_.empty()) first_location_ = location;
        const std::string next = nimbra_internal::rebuilt_mp4_path(first_location_, attempt - 1);
        NLOG_INFO("Stream id: %s records attempt %d to %s", key_.c_str(), attempt, next.c_str());
        g_object_set(e, "location", next.c_str(), nullptr);
      }
      g_free(location);
    }
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
}

int Run::finish(int rc) {
  join_finaliser();
  drop_joint();
  release_pipeline(d_);
  return rc;
}

void Run::report(const Recovery::Step& s) {
  using Why = Recovery::Why;
  using Velkor::Nimbra::StreamState;
  const char* id = key_.c_str();
  switch (s.why) {
    case Why::Retry:
      NLOG_INFO("Retrying pipeline due to error. Attempt %d", s.attempt);
      NIMBRA_SAY(p_.attempt, s.attempt, p_.attempts);
      break;
    case Why::AttemptsExhausted:
      NLOG_ERROR("Pipeline failed after %d attempts.", p_.attempts);
      metrics_->set_failed("");
      break;
    case Why::ErrorEnds:
    case Why::OutputFailed:
      NIMBRA_SAY(p_.failed);
      metrics_->set_failed("");
      break;
    case Why::ErrorRebuild:
      NLOG_WARN("Error information received. Manual rebuild switch disabled, It will rebuild.");
      metrics_->set_state(StreamState::Reconnecting);
      break;
    case Why::EosRecording:
      NLOG_WARN("End-Of-Stream reached. Saving mp4 file exit.");
      break;
    case Why::EosManual:
      NLOG_ERROR("End-Of-Stream reached. Need manual rebuild. Exit.");
      break;
    case Why::EosRebuild:
      NLOG_WARN("End-Of-Stream reached. Manual rebuild switch disabled, It will rebuild.");
      metrics_->set_error("the input ended");
      metrics_->set_state(StreamState::Reconnecting);
      break;
    case Why::Rebuilding:
      metrics_->reconnect_attempt();
      break;
    case Why::RebuildFailed:
      NLOG_WARN("Stream id: %s could not be rebuilt (attempt %d of %d); trying again in %.1f s.", id, s.attempt,
                p_.attempts, (double)s.wait_ns / 1e9);
      metrics_->set_error("the pipeline could not be rebuilt (see the log)");
      break;
    case Why::InputLost:
      NLOG_WARN("Input of stream id: %s lost (%s); reconnecting in %.0f s.", id, s.error.c_str(),
                (double)s.wait_ns / 1e9);
      metrics_->set_error(s.error);
      metrics_->set_state(StreamState::Reconnecting);
      break;
    case Why::Reconnecting:
      metrics_->reconnect_attempt();
      NLOG_INFO("Reconnecting the input of stream id: %s.", id);
      break;
    case Why::ReconnectFailed:
      metrics_->set_error("the input could not be rebuilt (see the log)");
      break;
    case Why::InputBack:
      // The next rebuild records to a new file; attempts that never delivered reuse theirs.
      if (!reconnects_in_place_) ++d_->rebuilds;
      metrics_->reconnected();
      metrics_->set_state(StreamState::Playing);
      // The input torn down for this reconnection is gone by now.
      nimbra_internal::return_freed_memory();
      NLOG_INFO("Input of stream id: %s is back.", id);
      break;
    case Why::StopBeforePlay:
      NIMBRA_SAY(p_.stopped_before_play, id);
      break;
    case Why::StopFallback:
      NLOG_WARN("The input of stream id: %s did not end; the output is finalised without it.", id);
      break;
    case Why::Stopped:
      NIMBRA_SAY(p_.stopped, id);
      break;
    case Why::DrainTimeout:
      NLOG_WARN("The end-of-stream of a stop did not drain in time; the pipeline is torn down.");
      break;
    default:
      break;
  }
}

bool Run::perform(Recovery& rec, const Recovery::Step& s, int& rc) {
  report(s);
  if (s.actions & nimbra_internal::kFinaliseOutput) finalise_output();
  if (s.actions & nimbra_internal::kTearDownInput) tear_down_input();
  if (s.actions & nimbra_internal::kEndFromOutputSide) end_from_output_side();
  if ((s.actions & nimbra_internal::kResendEos) && d_->pipeline)
    nimbra_internal::send_eos_async(d_->pipeline);
  if ((s.actions & nimbra_internal::kResetPipeline) && d_->pipeline) {
    join_finaliser();
    gst_element_set_state(d_->pipeline, GST_STATE_NULL);
    // The replay must not write over the recording it finalised.
    move_recordings_aside(s.attempt);
  }
  if (s.actions & nimbra_internal::kReleasePipeline) {
    join_finaliser();
    drop_joint();
    input_ = nullptr;
    release_pipeline(d_);
    // Stop requests must not reach the released pipeline.
    nimbra_internal::replace_pipeline(key_, nullptr);
  }
  if (s.actions & nimbra_internal::kRebuildPipeline) {
    const bool ok = rebuild_pipeline();
    const Recovery::Step next =
        rec.step(observe(ok ? Recovery::Event::Built : Recovery::Event::BuildFailed, now_ns()));
    if (perform(rec, next, rc)) return true;
  }
  if (s.actions & nimbra_internal::kBuildInput) {
    const bool ok = build_input();
    const Recovery::Step next =
        rec.step(observe(ok ? Recovery::Event::Built : Recovery::Event::BuildFailed, now_ns()));
    if (perform(rec, next, rc)) return true;
  }
  if ((s.actions & nimbra_internal::kPlay) && d_->pipeline) nimbra_internal::play(d_);
  if (s.actions & nimbra_internal::kFinish) {
    rc = finish(s.result);
    using Why = Recovery::Why;
    if (s.why == Why::Stopped || s.why == Why::StopBeforePlay || s.why == Why::DrainTimeout ||
        s.why == Why::OutputUnconfirmed) {
      NIMBRA_SAY(p_.stop_completed);
    } else if (s.why == Why::Completed) {
      NIMBRA_SAY(p_.completed, s.attempt);
    }
    return true;
  }
  return false;
}

int Run::go(bool skip_conversion) {
  NIMBRA_SAY(p_.attempt, 1, p_.attempts);
  if (!p_.note_after_create) NIMBRA_SAY(p_.platform_note);
  if (!nimbra_internal::build_chain(p_, d_, input_, output_, skip_conversion, eos_watch_)) {
    metrics_->set_failed("the pipeline could not be built (see the log)");
    return -1;
  }
  attach_joint();
  const bool network = (bool)d_->rebuild_input;
  const nimbra_internal::RecoveryPolicy policy = nimbra_internal::recovery_policy(
      p_, get_manual_rebuild(key_), output_mp4(key_), network, metrics_->stall_timeout_ns());
  reconnects_in_place_ = policy.on_error == nimbra_internal::RecoveryPolicy::OnError::ReconnectInput;
  input_watch_ = std::make_shared<InputWatch>();
  input_watch_->key = key_;
  if (reconnects_in_place_) {
    if (!joint_) {
      NLOG_ERROR("Stream id: %s cannot reconnect its input; it runs without reconnection.", key_.c_str());
      metrics_->set_failed("internal: the input could not be supervised");
      return finish(-1);
    }
    NLOG_INFO("Stream id: %s reconnects its network input when it drops or stalls.", key_.c_str());
    watch_input_eos(input_, input_watch_);
  }

  Recovery rec(policy);
  rec.start(now_ns());
  // The one place where a dry run describes the pipeline instead, and where a stop that
  // came while it was being built ends it before it plays.
  if (!nimbra_internal::begin_playing(d_)) {
    NIMBRA_SAY(p_.stopped_before_play, key_.c_str());
    return finish(0);
  }

  bool stop_seen = false;
  for (;;) {
    GstMessage* m = nullptr;
    if (d_->bus) {
      m = gst_bus_timed_pop_filtered(
          d_->bus, kBusPoll, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_QOS));
    } else if (nimbra_internal::EntryPtr e = nimbra_internal::find_entry(key_)) {
      // Between a rebuild's steps nothing plays: the pause is a wait a stop ends at once.
      e->wait_for_stop(kBusPoll);
    }
    const uint64_t now = now_ns();
    int rc = 0;
    if (!stop_seen && stop_requested(key_)) {
      stop_seen = true;
      if (perform(rec, rec.step(observe(Recovery::Event::StopRequested, now)), rc)) {
        if (m) gst_message_unref(m);
        return rc;
      }
    }
    Recovery::Step s;
    if (m) {
      const GstMessageType type = GST_MESSAGE_TYPE(m);
      if (type == GST_MESSAGE_QOS) {
        nimbra_internal::count_qos(m, metrics_.get());
        s = rec.step(observe(Recovery::Event::Tick, now));
      } else if (type == GST_MESSAGE_EOS) {
        if (rec.state() != Recovery::State::Draining) NIMBRA_SAY(p_.eos, key_.c_str());
        s = rec.step(observe(Recovery::Event::Eos, now));
      } else {
        nimbra_internal::BusEnd e = nimbra_internal::parse_error(m);
        GstObject* src = GST_MESSAGE_SRC(m);
        const bool from_input =
            input_ && (src == GST_OBJECT(input_) || gst_object_has_as_ancestor(src, GST_OBJECT(input_)));
        const bool from_pipeline = d_->pipeline && gst_object_has_as_ancestor(src, GST_OBJECT(d_->pipeline));
        if (from_input || from_pipeline) {
          NIMBRA_SAY(p_.error_source, e.source.c_str(), e.message.c_str());
          if (!reconnects_in_place_ || !from_input) NIMBRA_SAY(p_.error_debug, e.debug.empty() ? "none" : e.debug.c_str());
          const std::string what = nimbra_internal::describe_stream_error(key_, d_->input_addr, m, from_input);
          NLOG_ERROR("%s", what.c_str());
          metrics_->set_error(what);
          s = rec.step(observe(from_input ? Recovery::Event::InputError : Recovery::Event::Error, now, what));
        }  // else: left over from an input already taken out
      }
      gst_message_unref(m);
    } else if (eos_watch_ && eos_watch_->overdue()) {
      NLOG_WARN("End-of-stream reached the output, which did not confirm it; ending the stream.");
      eos_watch_.reset();
      s = rec.step(observe(Recovery::Event::OutputOverdue, now));
    } else if (reconnects_in_place_ && input_watch_->ended.exchange(false)) {
      s = rec.step(observe(Recovery::Event::InputEnded, now));
    } else {
      s = rec.step(observe(Recovery::Event::Tick, now));
    }
    if (perform(rec, s, rc)) return rc;
  }
}

// Plays the pipeline and waits on its bus on the caller's thread until the stream ends,
// fails or is stopped, retrying or rebuilding as the row says.
int run_pipeline(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output) {
  if (!d || !d->pipeline) return -1;
  if (p.system_clock) prepare_pipeline(d->pipeline);
  std::string factory = "unknown";
  if (output) {
    GstElementFactory* f = gst_element_get_factory(output);
    if (f) factory = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f));
  }
  const bool skip = p.skip_conversion_into_fakesink && factory == "fakesink";
  NIMBRA_SAY(p.once, d->streamId.c_str());
  NIMBRA_SAY(p.output_factory, factory.c_str(), skip ? 1 : 0);
  Run run(p, d, input, output);
  return run.go(skip);
}

}  // namespace

int start(PiplineData* d, GstElement* input, GstElement* output) {
  // Every tag but "v4l2" and "ub2404" runs the classic row; "8550" differs in its engine.
  return run_pipeline(nimbra_internal::profile_for_tag(platform_tag() == "8550" ? "8550" : "6490"), d, input,
                      output);
}

int re_create_pipeline(PiplineData* d) { return nimbra_internal::recreate_pipeline(d, nullptr, true); }


int start_6490_ql(PiplineData* d, GstElement* input, GstElement* output) {
  return run_pipeline(nimbra_internal::profile_for_tag("v4l2"), d, input, output);
}

int start_ub2404(PiplineData* d, GstElement* input, GstElement* output) {
  return run_pipeline(nimbra_internal::profile_for_tag("ub2404"), d, input, output);
}

int start_usb(PiplineData* d, GstElement* output, StreamProperty prop) {
  if (!d || !d->pipeline) return -1;
  GstElement* src = gst_element_factory_make("v4l2src", "queue_input_src");
  if (src) g_object_set(src, "device", prop.inputAddr.c_str(), nullptr);
  d->input_addr = prop.inputAddr;
  return run_pipeline(nimbra_internal::usb_profile(platform_tag() == "8550", prop.width, prop.height), d, src, output);
}

