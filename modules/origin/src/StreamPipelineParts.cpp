// Pieces the runners, launchers and the split and frame-push streams share: pipeline
// set-up and release, converter elements, probes, chains, and the output a rebuild gets.
#define NIMBRA_MODULE "modules/origin/src/StreamPipelineParts"
#include "StreamPipelineParts.h"

#include <gst/base/gstbasesink.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <chrono>

#include "StreamCommon.h"
#include "StreamDryRun.h"
#include "StreamLog.h"
#include "StreamInputRtsp.h"
#include "StreamInputRtmp.h"
#include "StreamInputFile.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtmpsink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamRegistry.h"

using nimbra_internal::stop_requested;

namespace nimbra_internal {

void release_pipeline(PiplineData* d) {
  if (d->bus) {
    gst_object_unref(d->bus);
    d->bus = nullptr;
  }
  if (d->pipeline) {
    gst_element_set_state(d->pipeline, GST_STATE_NULL);
    gst_object_unref(d->pipeline);
    d->pipeline = nullptr;
    return_freed_memory();
  }
}

void return_freed_memory() {
#ifdef __GLIBC__
  // Pictures are freed by the streaming threads that allocated them, into those threads'
  // malloc arenas, where the pages stay resident after the threads are gone. Every
  // reconnection or rebuild brings new threads and with them other arenas: without this
  // the process grows by a few megabytes each time while the memory in use stays flat.
  malloc_trim(0);
#endif
}

void limit_malloc_arenas() {
#ifdef __GLIBC__
  static std::once_flag once;
  std::call_once(once, [] {
    // glibc gives threads arenas of their own, up to eight per core. A stream's threads
    // come and go with every reconnection and rebuild, and each arena keeps pages of the
    // pictures freed in it, so a long-running process grows while the memory in use does
    // not (a soak with the RTSP server restarted each half minute: +51 MiB/hour with the
    // default, flat with two arenas, the same throughput). A limit set by the application,
    // in the environment or in a tunable, is left alone.
    const char* tunables = getenv("GLIBC_TUNABLES");
    if (getenv("MALLOC_ARENA_MAX") || (tunables && strstr(tunables, "arena_max"))) return;
    mallopt(M_ARENA_MAX, 2);
  });
#endif
}

void prepare_pipeline(GstElement* pipeline) {
  GstClock* clock = gst_system_clock_obtain();
  gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
  gst_object_unref(clock);
}

namespace {
// Whether a sink inside `element` renders against the clock (a display does, files,
// fake sinks and network pushes do not).
bool has_synced_sink(GstElement* element) {
  if (!element) return false;
  if (GST_IS_BIN(element)) {
    bool found = false;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      GstElement* child = GST_ELEMENT(g_value_get_object(&item));
      if (!GST_IS_BIN(child)) found = has_synced_sink(child);
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
  }
  if (!GST_IS_BASE_SINK(element)) return false;
  return gst_base_sink_get_sync(GST_BASE_SINK(element));
}
}  // namespace

bool has_synced_output(GstElement* output) { return has_synced_sink(output); }

void set_low_latency(GstElement* pipeline, GstElement* output) {
  // A zero pipeline latency keeps frames moving as soon as they are decoded. A sink that
  // renders against the clock would then find every frame of a live source late (the
  // source's own latency is not accounted for) and its QoS would make the decoder skip
  // frames, so such an output keeps the latency the pipeline computes.
  if (has_synced_sink(output)) {
    NLOG_INFO("Output renders against the clock; the pipeline keeps its computed latency.");
    return;
  }
  g_object_set(pipeline, "latency", (GstClockTime)0, nullptr);
}

GstElement* make_transform(const char* name, int engine) {
  GstElement* t = gst_element_factory_make("qtivtransform", name);
  if (t && engine >= 0) g_object_set(t, "engine", engine, nullptr);
  return t;
}

void add_probe(GstElement* element, GstPadProbeCallback cb, PiplineData* d) {
  GstPad* pad = gst_element_get_static_pad(element, "src");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, cb, d, nullptr);
  gst_object_unref(pad);
}

void play(PiplineData* d) {
  // A failed state change posts its error on the bus; the wait that follows reports it.
  gst_element_set_state(d->pipeline, GST_STATE_PLAYING);
  if (d->bus) gst_object_unref(d->bus);
  d->bus = gst_element_get_bus(d->pipeline);
  // A stop that arrived while the pipeline was being built found nothing playing to
  // end; the end-of-stream goes in now, and the wait drains it.
  if (stop_requested(d->streamId)) send_eos_async(d->pipeline);
}

namespace {
struct TimestampGuard {
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;
  uint64_t dropped = 0;
  const char* dropping;
};

GstPadProbeReturn guard_buffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* g = static_cast<TimestampGuard*>(data);
  GstBuffer* buf = GST_PAD_PROBE_INFO_BUFFER(info);
  if (GST_BUFFER_PTS_IS_VALID(buf)) {
    g->last_pts = GST_BUFFER_PTS(buf);
    return GST_PAD_PROBE_OK;
  }
  GstClockTime pts = GST_BUFFER_DTS(buf);
  if (!GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(g->last_pts))
    pts = g->last_pts + (GST_BUFFER_DURATION_IS_VALID(buf) ? GST_BUFFER_DURATION(buf) : GST_MSECOND);
  if (!GST_CLOCK_TIME_IS_VALID(pts)) {
    if (g->dropped++ == 0) NLOG_WARN("%s", g->dropping);
    return GST_PAD_PROBE_DROP;
  }
  buf = gst_buffer_make_writable(buf);
  GST_BUFFER_PTS(buf) = pts;
  GST_PAD_PROBE_INFO_DATA(info) = buf;
  g->last_pts = pts;
  return GST_PAD_PROBE_OK;
}
}  // namespace

void guard_timestamps(GstPad* pad, const char* dropping) {
  if (!pad) return;
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, guard_buffer, new TimestampGuard{GST_CLOCK_TIME_NONE, 0, dropping},
                    [](gpointer d) { delete static_cast<TimestampGuard*>(d); });
}

bool may_play(const EntryPtr& entry, GstElement* pipeline) {
  if (!entry) return true;
  if (entry->describing()) {
    entry->set_description(describe_pipeline(pipeline));
    return false;
  }
  return !entry->stop_requested();
}

bool begin_playing(const EntryPtr& entry, GstElement* pipeline) {
  if (!may_play(entry, pipeline)) return false;
  // A failed state change posts its error on the bus; the wait that follows reports it.
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  if (entry && entry->stop_requested()) send_eos_async(pipeline);
  return true;
}

bool begin_playing(PiplineData* d) {
  if (!may_play(find_entry(d->streamId), d->pipeline)) return false;
  play(d);
  return true;
}

int link_chain(const std::vector<GstElement*>& chain) {
  for (size_t i = 0; i + 1 < chain.size(); ++i)
    if (!gst_element_link(chain[i], chain[i + 1])) return (int)i;
  return -1;
}

void drop_unparented(std::initializer_list<GstElement*> elements) {
  for (GstElement* e : elements)
    if (e && !GST_OBJECT_PARENT(e)) gst_object_unref(gst_object_ref_sink(e));
}

std::string rebuilt_mp4_path(const std::string& path, int rebuild) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? path.substr(0, dot) : path;
  const std::string ext = has_ext ? path.substr(dot) : std::string();
  return stem + "-" + std::to_string(rebuild) + ext;
}

GstElement* build_configured_output(const StreamProperty& prop, const std::string& id, int rebuild) {
  GstElement* output = nullptr;
  if (prop.outputType == "rtsp") {
    StreamOutputRtspsink out(prop.outputAddr, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "wayland") {
    StreamOutputWaylandsink out(0, 0, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "mp4") {
    const std::string path = rebuilt_mp4_path(prop.outputAddr, rebuild);
    NLOG_INFO("Rebuilt stream id: %s records to %s", id.c_str(), path.c_str());
    StreamOutputMp4sink out(path, prop.width, prop.height);
    out.set_stream_id(id);
    output = out.build();
  } else if (prop.outputType == "rtmp") {
    StreamOutputRtmpsink out(prop.outputAddr, id);
    out.set_stream_id(id);
    output = out.build();
  } else {
    output = make_fakesink("sink");
  }
  return output;
}

int recreate_pipeline(PiplineData* d, GstElement** output_out, bool pauses) {
  const std::string key = d->streamId;
  release_pipeline(d);
  if (pauses) std::this_thread::sleep_for(std::chrono::milliseconds(500));

  StreamProperty prop;
  int read = -1;
  try {
    read = get_configuration_properties(key, prop);
  } catch (const std::exception& e) {
    NLOG_ERROR("Configuration of stream id: %s could not be read (%s).", key.c_str(), e.what());
  }
  if (read != 0) {
    NLOG_ERROR("re_create_pipeline - failed to re-create pipeline.");
    return -1;
  }
  GstElement* input = nullptr;
  if (prop.inputType == "file")
    input = StreamInputFile(prop.inputAddr, key).build();
  else if (prop.inputType == "rtsp")
    input = StreamInputRtsp(prop.inputAddr, key).build();
  else if (prop.inputType == "rtmp")
    input = StreamInputRtmp(prop.inputAddr, key).build();
  else
    return -1;
  d->input_addr = prop.inputAddr;
  // The rebuilt pipeline keeps the output the stream was configured with, at its size.
  GstElement* output = nimbra_internal::build_configured_output(prop, key, d->rebuilds + 1);

  d->pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(key.c_str())));
  // Stop requests must reach the pipeline that runs now, not the released one.
  nimbra_internal::replace_pipeline(key, d->pipeline);
  prepare_pipeline(d->pipeline);
  if (pauses) std::this_thread::sleep_for(std::chrono::milliseconds(500));

  GstElement* tin = make_transform("qtivtransformInput", 2);
  GstElement* tout = make_transform("qtivtransformOutput", 2);
  NLOG_INFO("re_create_pipeline - 6");
  NLOG_INFO("re_create_pipeline - Platform is 8550, will skip opengl handling.");
  GstElement* caps = make_caps_filter("qtivtransformInputCap", "video/x-raw,format=RGB");
  std::vector<GstElement*> chain = {input, tin, caps, tout, output};
  if (!input || !tin || !caps || !tout || !output || !place_callback_queue(d, chain, caps)) {
    NLOG_ERROR("re_create_pipeline - Failed to link elements input - qtivtransformInput - capsfilter - "
               "qtivtransformOutput - output in the pipeline.");
    nimbra_internal::drop_all({input, tin, caps, tout, output});
    return -1;
  }
  for (GstElement* e : chain) gst_bin_add(GST_BIN(d->pipeline), e);
  if (link_chain(chain) >= 0) {
    NLOG_ERROR("re_create_pipeline - Failed to link elements input - qtivtransformInput - capsfilter - "
               "qtivtransformOutput - output in the pipeline.");
    return -1;
  }
  set_low_latency(d->pipeline, output);
  add_probe(caps, on_buffer_received_re, d);
  // The public re_create_pipeline counts every rebuild; the runner counts those that
  // delivered (see Run::report), so attempts that never played reuse one file name.
  if (pauses) ++d->rebuilds;
  if (output_out) *output_out = output;
  return 0;
}

}  // namespace nimbra_internal

void get_caps_for_qtivtransform(GstElement* element) {
  GstPad* pad = element ? gst_element_get_static_pad(element, "src") : nullptr;
  if (!pad) {
    NLOG_ERROR("Failed to get the pad from qtivtransform.");
    return;
  }
  GstCaps* caps = nullptr;
  for (int i = 0; i < 10 && !(caps = gst_pad_get_current_caps(pad)); ++i) {
    NLOG_INFO("Caps not available yet, retrying...");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  gst_object_unref(pad);
  if (!caps) {
    NLOG_ERROR("Failed to get caps from pad.");
    return;
  }
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  int w = 0, h = 0;
  if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h))
    NLOG_INFO("get_caps_for_qtivtransform width: %d, height: %d", w, h);
  else
    NLOG_ERROR("Failed to retrieve width and height.");
  const gchar* format = gst_structure_get_string(s, "format");
  if (format)
    NLOG_INFO("get_caps_for_qtivtransform - Format: %s", format);
  else
    NLOG_ERROR("Failed to retrieve the format.");
  gst_caps_unref(caps);
}
