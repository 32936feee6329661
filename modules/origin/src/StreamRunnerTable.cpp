// The runner rows of the platform tags.
#define NIMBRA_MODULE "modules/origin/src/StreamRunners"
#include "StreamRunnerTable.h"

#include <string.h>

#include <algorithm>

#include "StreamBase.h"
#include "StreamPipelineParts.h"
#include "StreamSizing.h"

using nimbra_internal::make_caps_filter;

namespace nimbra_internal {

namespace {

const LogLine kNoLine{0, nullptr};
const char* const kQlLinkError =
    "Failed to link elements input/qtivtransformInput/capsfilter1/qtivtransformOutput/capsfilter2/output in the "
    "pipeline.";

RunnerProfile classic_profile(bool s8550) {
  RunnerProfile p;
  p.stages = {{"qtivtransform", "qtivtransformInput", "", false, false},
              {"capsfilter", "qtivtransformInputCap", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false}};
  p.engine = s8550 ? 2 : -1;
  p.attempts = 5;
  p.on_error = RecoveryPolicy::OnError::RebuildOrRetry;
  p.rebuild_on_eos = true;
  p.system_clock = true;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = true;
  p.probe = on_buffer_received;
  p.once = p.output_factory = kNoLine;
  p.attempt = {0, "Starting pipeline, attempt %d of %d"};
  p.platform_note = s8550 ? LogLine{0, "Platform is 8550, will skip opengl handling."} : kNoLine;
  p.note_after_create = false;
  p.create_error = p.conversion_error = kNoLine;
  p.link_errors = {"Failed to link elements input with qtivtransformInput in the pipeline.",
                   "Failed to link elements qtivtransformInput with capsfilter in the pipeline.",
                   "Failed to link elements capsfilter with qtivtransformOutput in the pipeline.",
                   "Failed to link elements qtivtransformOutput with output in the pipeline."};
  p.stopped_before_play = p.stopped = p.stop_completed = kNoLine;
  p.eos = {1, "Receiving EOS signal in message bus *****************"};
  p.completed = kNoLine;
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = kNoLine;
  return p;
}

RunnerProfile ql_profile() {
  RunnerProfile p;
  p.stages = {{"queue", "queue_input", "", false, false},
              {"qtivtransform", "qtivtransformInput", "", false, false},
              {"capsfilter", "capsfilter1", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false},
              {"queue", "queue_output", "", false, false},
              {"capsfilter", "capsfilter2", "video/x-raw(memory:GBM),format=NV12,colorimetry=bt601", false, false}};
  p.engine = -1;
  p.attempts = 5;
  p.on_error = RecoveryPolicy::OnError::Retry;
  p.rebuild_on_eos = false;
  p.system_clock = true;
  p.sync_output = true;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = false;
  p.probe = on_buffer_received_v4l2;
  p.once = p.output_factory = kNoLine;
  p.attempt = {0, "Platform is 6490 ql. Starting pipeline, attempt %d of %d"};
  p.platform_note = kNoLine;
  p.note_after_create = false;
  p.create_error = {2, kQlLinkError};
  p.conversion_error = kNoLine;
  p.link_errors = {kQlLinkError};
  p.stopped_before_play = p.stopped = p.stop_completed = kNoLine;
  p.eos = {0, "End-Of-Stream reached."};
  p.completed = {0, "Pipeline completed (EOS) after %d attempts."};
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = kNoLine;
  return p;
}

RunnerProfile ub2404_profile() {
  RunnerProfile p;
  p.stages = {{"queue", "queue_input_ub2024", "", false, false, true},
              {"capsfilter", "capsfilter1_ub2024", "video/x-raw,format=NV12", false, false},
              {"qtivtransform", "qtivtransformInput_ub2024", "", false, false},
              {"queue", "queue_mid_ub2024", "", false, false, true},
              {"capsfilter", "capsfilter2_ub2024", "video/x-raw,format=RGB", true, false},
              {"qtivtransform", "qtivtransformOutput_ub2024", "", false, true},
              {"queue", "queue_output_ub2024", "", false, true},
              {"capsfilter", "capsfilter3_ub2024", "video/x-raw,format=NV12,colorimetry=bt709", false, true}};
  p.engine = 3;
  p.attempts = 1;
  p.on_error = RecoveryPolicy::OnError::End;
  p.rebuild_on_eos = false;
  p.system_clock = true;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = true;
  p.stop_check_before_play = true;
  p.reconnect_network_input = true;
  p.probe = on_buffer_received_v4l2;
  p.once = {0, "Platform is ubuntu 2404. Starting pipeline once. stream_id=%s"};
  p.output_factory = {0, "start_ub2404: output factory=%s, skip_output_nv12_convert=%d"};
  p.attempt = p.platform_note = kNoLine;
  p.note_after_create = false;
  p.create_error = {2, "start_ub2404: Failed to create one or more elements."};
  p.conversion_error = {2, "start_ub2404: Failed to create output conversion elements."};
  p.link_errors = {"start_ub2404: Failed to link elements."};
  p.stopped_before_play = {0, "start_ub2404: stopped before it played. stream_id=%s"};
  p.stopped = {0, "start_ub2404: stop requested, pipeline ended. stream_id=%s"};
  p.stop_completed = {0, "start_ub2404: Pipeline stopped (EOS or external stop)."};
  p.eos = {0, "start_ub2404: End-Of-Stream reached. stream_id=%s"};
  p.completed = p.stop_completed;
  p.error_source = {2, "start_ub2404: ERROR from %s: %s"};
  p.error_debug = {2, "start_ub2404: debug info: %s"};
  p.failed = {2, "start_ub2404: Pipeline failed."};
  return p;
}

}  // namespace

// USB cameras decode MJPEG in software whatever the tag; only the transform's engine and
// the size of the caps vary.
RunnerProfile usb_profile(bool s8550, int width, int height) {
  const std::string size = ",width=" + std::to_string(width) + ",height=" + std::to_string(height);
  RunnerProfile p;
  p.stages = {{"jpegdec", "usb_jpegdec", "", false, false},
              {"videoconvert", "usb_videoconvert", "", false, false},
              {"capsfilter", "qtivtransformInputCap", "video/x-raw,format=RGB" + size, true, false},
              {"qtivtransform", "qtivtransformOutput", "", false, false},
              {"capsfilter", "qtivtransformOutputCap", "video/x-raw(memory:GBM),format=NV12" + size, false, false}};
  p.engine = s8550 ? 2 : -1;
  p.attempts = 1;
  p.on_error = RecoveryPolicy::OnError::End;
  p.rebuild_on_eos = false;
  p.system_clock = false;
  p.sync_output = false;
  p.skip_conversion_into_fakesink = false;
  p.stop_check_before_play = true;
  p.probe = on_buffer_received;
  p.once = p.output_factory = p.attempt = kNoLine;
  p.platform_note = s8550 ? LogLine{0, "Platform is 8550, will skip opengl handling."} : kNoLine;
  p.note_after_create = true;
  p.create_error = {2, "Failed to create one or more GStreamer elements in start_usb"};
  p.conversion_error = kNoLine;
  p.link_errors = {kQlLinkError};
  p.stopped_before_play = kNoLine;
  p.stopped = {1, "Receiving EOS signal in message bus *****************"};
  p.stop_completed = {0, "Pipeline completed (EOS)."};
  p.eos = p.stopped;
  p.completed = p.stop_completed;
  p.error_source = {2, "Error received from element %s: %s"};
  p.error_debug = {2, "Debugging information: %s"};
  p.failed = {2, "Pipeline failed."};
  return p;
}

// The table: which row each platform tag runs with.
const RunnerProfile& profile_for_tag(const std::string& tag) {
  static const RunnerProfile k8550 = classic_profile(true);
  static const RunnerProfile kClassic = classic_profile(false);  // "6490" and any other tag
  static const RunnerProfile kQl = ql_profile();                 // "v4l2"
  static const RunnerProfile kUb2404 = ub2404_profile();         // "ub2404"
  if (tag == "8550") return k8550;
  if (tag == "v4l2") return kQl;
  if (tag == "ub2404") return kUb2404;
  return kClassic;
}

namespace {
GstElement* make_stage(const Stage& s, int engine) {
  const std::string factory = s.factory;
  if (factory == "qtivtransform") return make_transform(s.name, engine);
  if (factory == "capsfilter") return make_caps_filter(s.name, s.caps.c_str());
  return gst_element_factory_make(s.factory, s.name);
}
}  // namespace

bool place_callback_queue(PiplineData* d, std::vector<GstElement*>& chain, GstElement* probe_at) {
  d->callback_queue = nullptr;
  if (!d->newest_wins) return true;
  // The nearest queue ahead of the probe decides; a row without one gets one right after
  // the input, so decoding runs on a thread of its own and frames can wait there.
  auto at = std::find(chain.begin(), chain.end(), probe_at);
  while (at != chain.begin()) {
    --at;
    GstElementFactory* f = *at ? gst_element_get_factory(*at) : nullptr;
    if (f && g_strcmp0(GST_OBJECT_NAME(f), "queue") == 0) break;
  }
  if (at == chain.begin()) {
    GstElement* q = make_callback_queue();
    if (!q) return false;
    at = chain.insert(chain.begin() + 1, q);
  }
  d->callback_queue = *at;
  // Marked, so that whoever inspects the pipeline (tests, a debugger) can find it.
  g_object_set_data(G_OBJECT(*at), "nimbra-callback-queue", GINT_TO_POINTER(1));
  return true;
}

GstElement* make_callback_queue() {
  GstElement* q = gst_element_factory_make("queue", "callback_queue");
  // A few frames: the callback takes the newest, the rest go on to the output undrawn.
  if (q) g_object_set(q, "max-size-buffers", 4u, "max-size-bytes", 0u, "max-size-time", (guint64)0, nullptr);
  return q;
}

// Creates, adds and links input → stages → output and installs the frame probe. On
// failure it logs the row's line, releases what it made and the pipeline, and returns
// false.
bool build_chain(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output, bool skip,
                 std::shared_ptr<nimbra_internal::OutputEosWatch>& eos_watch) {
  std::vector<GstElement*> chain = {input};
  bool base_missing = !input || !output, conversion_missing = false;
  GstElement* probe_at = nullptr;
  // A network input is paced by its camera; anything else here is read as fast as the
  // chain takes it. The last queue before the frame probe is the one the callback drains.
  const bool live = (bool)d->rebuild_input;
  const bool file_sized = !live && !legacy_stream_sizes();
  const Stage* callback_queue = nullptr;
  for (const Stage& s : p.stages) {
    if (s.probe) break;
    if (s.live_only && file_sized) continue;
    if (strcmp(s.factory, "queue") == 0) callback_queue = &s;
  }
  for (const Stage& s : p.stages) {
    if (s.output_conversion && skip) continue;
    if (s.live_only && file_sized) continue;
    GstElement* e = make_stage(s, p.engine);
    if (!e) (s.output_conversion ? conversion_missing : base_missing) = true;
    if (s.probe) probe_at = e;
    if (e && strcmp(s.factory, "queue") == 0)
      size_queue(e, &s == callback_queue ? QueueUse::Callback : QueueUse::Frames, live);
    chain.push_back(e);
  }
  chain.push_back(output);
  if (base_missing || conversion_missing) {
    if (p.create_error.text) {
      NIMBRA_SAY(base_missing ? p.create_error : p.conversion_error);
    } else {
      // A missing element shows as the first link that cannot be made.
      size_t first = 0;
      while (chain[first]) ++first;
      NLOG_ERROR("%s", p.link_errors[std::min(first > 0 ? first - 1 : 0, p.link_errors.size() - 1)]);
    }
    for (GstElement* e : chain)
      if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(gst_object_ref_sink(e));
    release_pipeline(d);
    return false;
  }
  if (!place_callback_queue(d, chain, probe_at)) {
    NLOG_ERROR("Failed to create the queue ahead of the frame callback.");
    for (GstElement* e : chain)
      if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(gst_object_ref_sink(e));
    release_pipeline(d);
    return false;
  }
  if (p.note_after_create) NIMBRA_SAY(p.platform_note);
  if (p.sync_output && g_object_class_find_property(G_OBJECT_GET_CLASS(output), "sync"))
    g_object_set(output, "sync", TRUE, nullptr);
  for (GstElement* e : chain) gst_bin_add(GST_BIN(d->pipeline), e);
  const int failed = link_chain(chain);
  if (failed >= 0) {
    NLOG_ERROR("%s", p.link_errors[std::min((size_t)failed, p.link_errors.size() - 1)]);
    release_pipeline(d);
    return false;
  }
  set_low_latency(d->pipeline, output);
  add_probe(probe_at, p.probe, d);
  eos_watch = nimbra_internal::watch_output_eos(output);
  return true;
}

RecoveryPolicy recovery_policy(const RunnerProfile& p, bool manual_rebuild, bool records_mp4, bool network_input,
                               uint64_t stall_ns) {
  RecoveryPolicy r;
  r.on_error = p.on_error;
  if (p.reconnect_network_input && network_input && !manual_rebuild) r.on_error = RecoveryPolicy::OnError::ReconnectInput;
  r.rebuild_on_eos = p.rebuild_on_eos;
  r.manual_rebuild = manual_rebuild;
  r.records_mp4 = records_mp4;
  r.attempts = p.attempts;
  if (stall_ns) r.stall_ns = stall_ns;
  return r;
}

}  // namespace nimbra_internal
