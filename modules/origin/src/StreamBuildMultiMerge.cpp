#define NIMBRA_MODULE "modules/origin/src/StreamBuildMultiMerge"
#include "StreamBuildMultiMerge.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "StreamBase.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamRegistry.h"

namespace {

// The composition always reads exactly this many cameras.
constexpr size_t kCameraCount = 4;

// The board's QNN HTP back-end the detection stage runs on.
const char* const kQnnBackend = "/opt/qcom/qirp-sdk/lib/aarch64-oe-linux-gcc11.2/libQnnHtp.so";

// Rounded toward zero to an even number: NV12 needs even frame sizes.
int even(int x) { return x - x % 2; }

// Task values come from the host: a path with a blank or a quote must stay one value, and
// an address must never add elements to the description. Plain values are written as they
// are; anything else is quoted for the level it lands in.
bool plain(const std::string& v) {
  if (v.empty()) return false;
  for (char c : v)
    if (!(isalnum((unsigned char)c) || strchr("_-./:@?=&%+~", c))) return false;
  return true;
}

// Backslash before every quote and backslash: one level of quoted string.
std::string esc(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// A value of an element property in the launch description (an absent value stays empty).
std::string launch_value(const std::string& v) {
  return v.empty() || plain(v) ? v : nimbra_internal::launch_quoted(v);
}

// A text value of a structure that sits inside a quoted array element inside a quoted
// property: quoted for the structure, then escaped for the two levels around it.
std::string nested_text(const std::string& v) { return "\\\\\\\"" + esc(esc(esc(v))) + "\\\\\\\""; }
std::string nested_value(const std::string& v) { return v.empty() || plain(v) ? v : nested_text(v); }

// The overlay's colour is a number; anything else would be parsed as more fields.
std::string colour_value(const std::string& v) {
  bool hex = !v.empty();
  for (char c : v)
    if (!(isxdigit((unsigned char)c) || c == 'x' || c == 'X')) hex = false;
  if (hex) return v;
  NLOG_WARN("Overlay text colour \"%s\" is not a number; 0xFF0000FF is used.", v.c_str());
  return "0xFF0000FF";
}

std::string images(const char* image, const OutputStreamProperty& out) {
  std::string s = "images=\"{(structure)\\\"";
  s += image;
  s += ",path=" + nested_value(out.logoPath) + ",resolution=<" + std::to_string(out.logoWidth) + "," +
       std::to_string(out.logoHeight) + ">";
  s += ",destination=<" + std::to_string(out.logoLocX) + "," + std::to_string(out.logoLocY) + "," +
       std::to_string(out.logoLocWidth) + "," + std::to_string(out.logoLocHeight);
  s += ">;\\\"}\" ";
  return s;
}

std::string strings(const char* text, const OutputStreamProperty& out) {
  std::string s = "strings=\"{(structure)\\\"";
  s += text;
  s += ",contents=" + nested_text(out.textStr);
  s += ",fontsize=" + std::to_string(out.textFontSize) + ",position=<" + std::to_string(out.textLocX) + "," +
       std::to_string(out.textLocY) + ">";
  s += ",color=" + colour_value(out.textColor) + ";\\\"}\" ";
  return s;
}

// One logo and one text overlay; the overlay parses the values itself. An output without
// a logo or without a text leaves that part out (an empty value would be read as a number,
// with a GStreamer warning), and one with neither has no overlay at all.
std::string overlay(const char* image, const char* text, const OutputStreamProperty& out) {
  const bool logo = !out.logoPath.empty(), words = !out.textStr.empty();
  if (!logo && !words) return std::string();
  std::string s = " ! qtivoverlay ";
  if (logo) s += images(image, out);
  if (words) s += strings(text, out);
  return s;
}

std::string push_tail(const OutputStreamProperty& push) {
  return " ! rtspclientsink protocols=tcp location=" + launch_value(push.outputAddr) + " " +
         " tcp-timeout=5000000 do-rtsp-keep-alive=true async-handling=false timeout=5000000 ";
}

}  // namespace

std::string build_sink_properties(const StreamProperty& prop, int index) {
  if (index < 0 || static_cast<size_t>(index) >= prop.inputStreams.size()) return std::string();
  const InputStreamProperty& in = prop.inputStreams[index];
  const std::string pad = "sink_" + std::to_string(index);
  std::string s;
  if (!in.crop.empty()) s += pad + "::crop=\"" + esc(in.crop) + "\" ";
  if (!in.flipHorizontal.empty()) s += pad + "::flip-horizontal=" + launch_value(in.flipHorizontal) + " ";
  if (!in.flipVertical.empty()) s += pad + "::flip-vertical=" + launch_value(in.flipVertical) + " ";
  return s;
}

std::string get_4_cameras_launch_command(const StreamProperty& prop, bool split_outputs, int push_mode) {
  // Refused before anything is built: the description names four cameras and their
  // compositor pads, and a shorter list would leave pads without a source.
  if (prop.inputStreams.size() < kCameraCount) {
    NLOG_ERROR("Multi-camera composition needs %zu inputs, the task list has %zu.", kCameraCount,
               prop.inputStreams.size());
    return std::string();
  }
  const InputStreamProperty& first = prop.inputStreams[0];
  const bool h265 = first.decodeType == "H265";
  const std::string depay_parse = h265 ? " rtph265depay ! h265parse " : " rtph264depay ! h264parse ";
  const std::string enc_parse = h265 ? " ! queue ! h265parse " : " ! queue ! h264parse  ";

  // The last output of each role wins.
  OutputStreamProperty record;
  OutputStreamProperty push;
  for (const OutputStreamProperty& out : prop.outputStreams) {
    NLOG_INFO("Output type: %s", out.outputType.c_str());
    if (out.outputType == "File")
      record = out;
    else
      push = out;
  }
  if (record.outputAddr.empty())
    NLOG_WARN("Output file address is empty. Please check filling outputType value.");

  std::string d = "qtivcomposer name=mixer engine=2 ";
  for (size_t n = 0; n < kCameraCount; ++n) {
    const InputStreamProperty& in = prop.inputStreams[n];
    const std::string pad = "sink_" + std::to_string(n);
    d += pad + "::position=\"" + esc(in.position) + "\" ";
    d += " " + pad + "::dimensions=\"" + esc(in.dimensions) + "\" ";
    d += build_sink_properties(prop, static_cast<int>(n));
    d += " ";
  }
  // The composed picture: the size the main output (VideoEncode task) names, else the
  // first camera's.
  const bool named = prop.width > 0 && prop.height > 0;
  d += " ! video/x-raw(memory:GBM),format=NV12,width=" + std::to_string(even(named ? prop.width : first.width)) +
       ",height=" + std::to_string(even(named ? prop.height : first.height));
  d += " ! qtivtransform engine=2 name=qtiv_main_transform  ! queue ";

  if (!split_outputs) {
    d += "! qtic2venc target-bitrate=2000000 " + enc_parse;
    d += " ! mp4mux name=mp4mux_0 faststart=true fragment-duration=1000 ! filesink location=" + launch_value(record.outputAddr) +
         " sync=false ";
  } else {
    d += "! tee name=split ";
    if (push_mode == 0) {
      d += " split. ! queue name=save_queue leaky=2 max-size-buffers=1 ! qtivcomposer name=mixer1  ";
      d += overlay("Image1", "text1", record);
      d += " ! qtic2venc  " + enc_parse + " ! mp4mux name=mp4mux_0 " + " ! filesink location=" + launch_value(record.outputAddr) +
           " sync=false async=false ";
    } else if (push_mode == 1) {
      d += " split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing ";
      d += " pushing. ! queue " + overlay("Image1", "text1", record);
      d += " ! qtic2venc " + enc_parse +
           " ! mp4mux name=mp4mux_0 fragment-duration=1000 fragment-mode=first-moov-then-finalise "
           "moov-recovery-file=/tmp/moov_recover.moov ";
      d += " ! filesink location=" + launch_value(record.outputAddr) + " sync=false  async=false  ";
      d += " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
           overlay("Image2", "text2", push);
      d += std::string(" ! video/x-raw(memory:GBM),width=1920,height=1080 ") + " ! qtic2venc " + enc_parse;
      d += push_tail(push);
    } else if (push_mode == 2) {
      d += "split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing ";
      d += " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
           overlay("Image1", "text1", push);
      d += std::string(" ! video/x-raw(memory:GBM),width=1920,height=1080 ") + " ! qtic2venc " + enc_parse + " ";
      d += push_tail(push);
    }
    // The detection branch, when there is a model to run (no MlInference task: none).
    if (!prop.model.empty()) {
      d += " split. ! queue ! qtimlvconverter name=qmlconvert_1 ";
      d += "! qtimlqnn name=qtimlqnn_1 model=" + launch_value(prop.model) + " backend=" + kQnnBackend + " ";
      d += std::string("! qtimlvdetection threshold=75 results=10 ") + "module=" + launch_value(prop.mlModule) +
           " labels=" + launch_value(prop.labels);
      d += std::string(" ! video/x-raw(memory:GBM) ") + "! capsfilter name=ml_capsfilter ! mixer1. ";
    }
  }

  for (size_t n = 0; n < kCameraCount; ++n) {
    d += "rtspsrc location=" + launch_value(prop.inputStreams[n].inputAddr) + " latency=100 ! " + depay_parse +
         " config-interval=-1 ! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. ";
  }
  return d;
}

// ---------------------------------------------------------------------------------
// Runner

const char* const kMultiMergeStreamId = "multi_merge";

namespace {

// Pause between the end-of-stream on the bus and the end of the run, so that a push
// output has sent its last packets before the pipeline is torn down.
constexpr guint kEosPauseSeconds = 5;
// A push output (rtspclientsink) does not always confirm end-of-stream; once a stop has
// been asked for, the run ends after this long even without it. The recording has its
// index long before.
constexpr guint kDrainLimitSeconds = 30;

// One running composition. Shared by the runner, its registry stop action and the
// timers on its own main context.
struct MergeRun {
  std::mutex lock;
  GstElement* pipeline = nullptr;  // set once built; a stop before that is remembered
  bool stop_wanted = false;
  bool failed = false;             // an error reached the bus
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  bool eos_pause_armed = false;
  bool drain_armed = false;
  bool finalising = false;  // end-of-stream is being driven through the stages (stop or error)
  std::thread eos_thread;   // the one that drives it; joined once the pipeline is at NULL
  std::condition_variable changed;  // eos_seen or torn_down set
  bool eos_seen = false;            // end-of-stream reached the bus
  bool torn_down = false;           // the run is over: nothing more to wait for
};
using MergeRunPtr = std::shared_ptr<MergeRun>;

void add_timeout(const MergeRunPtr& run, guint seconds, GSourceFunc fn) {
  GSource* src = g_timeout_source_new_seconds(seconds);
  g_source_set_callback(src, fn, new MergeRunPtr(run), [](gpointer p) { delete static_cast<MergeRunPtr*>(p); });
  g_source_attach(src, run->context);
  g_source_unref(src);
}

gboolean quit_after_eos(gpointer data) {
  g_main_loop_quit((*static_cast<MergeRunPtr*>(data))->loop);
  return G_SOURCE_REMOVE;
}

gboolean quit_after_drain_limit(gpointer data) {
  NLOG_WARN("End-of-stream did not reach the bus %u s after the stop; ending the composition.", kDrainLimitSeconds);
  g_main_loop_quit((*static_cast<MergeRunPtr*>(data))->loop);
  return G_SOURCE_REMOVE;
}

void drive_eos(GstElement* pipeline);

// A stop's end-of-stream gets this long to come from the cameras through every stage, so
// the frames in flight are recorded; then it is forced into the stages still waiting.
constexpr auto kGracefulEos = std::chrono::seconds(3);

// Drives end-of-stream through every stage once, for a stop or an error, on a thread of
// its own: sending into a stage whose streaming thread is stuck (a sink waiting for a
// preroll that never comes) blocks until the pipeline goes to NULL, and neither the main
// loop nor the caller of a stop may wait for that. The drain limit ends the run when the
// end-of-stream never reaches the bus. Called with run->lock held; false when it was
// already under way or there is no pipeline yet.
// A stop first lets end-of-stream come from the cameras, so that what is queued between
// the stages is still recorded; an error forces it at once, as a failed part cannot drain.
bool begin_finalising_locked(const MergeRunPtr& run, bool graceful) {
  if (run->finalising || !run->pipeline) return false;
  run->finalising = true;
  if (!run->drain_armed) {
    run->drain_armed = true;
    add_timeout(run, kDrainLimitSeconds, quit_after_drain_limit);
  }
  GstElement* pipeline = GST_ELEMENT(gst_object_ref(run->pipeline));
  run->eos_thread = std::thread([run, pipeline, graceful] {
    bool forced = true;
    if (graceful) {
      gst_element_send_event(pipeline, gst_event_new_eos());
      std::unique_lock<std::mutex> l(run->lock);
      forced = !run->changed.wait_for(l, kGracefulEos, [&] { return run->eos_seen || run->torn_down; });
    }
    if (forced) drive_eos(pipeline);
    gst_object_unref(pipeline);
  });
  return true;
}

gboolean bus_call(GstBus*, GstMessage* msg, gpointer data) {
  const MergeRunPtr& run = *static_cast<MergeRunPtr*>(data);
  switch (GST_MESSAGE_TYPE(msg)) {
    case GST_MESSAGE_EOS: {
      NLOG_INFO("EOS received, exiting main loop.\n");
      std::lock_guard<std::mutex> g(run->lock);
      run->eos_seen = true;
      run->changed.notify_all();
      if (!run->eos_pause_armed) {
        run->eos_pause_armed = true;
        add_timeout(run, kEosPauseSeconds, quit_after_eos);
      }
      break;
    }
    case GST_MESSAGE_ERROR: {
      GError* err = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(msg, &err, &debug);
      NLOG_ERROR("ERROR: %s", err ? err->message : "unknown");
      if (err) g_error_free(err);
      g_free(debug);
      // What was recorded so far is kept: end-of-stream is driven through every stage,
      // so the muxer writes its index, and the loop ends once it reached the bus (or at
      // the drain limit, when the failed part cannot drain at all).
      std::lock_guard<std::mutex> g(run->lock);
      run->failed = true;
      if (begin_finalising_locked(run, false))
        NLOG_WARN("The composition failed; the recording is finalised with what it holds.");
      break;
    }
    default:
      break;
  }
  return TRUE;
}

bool is_eos(GstPadProbeInfo* info) {
  GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
  return ev && GST_EVENT_TYPE(ev) == GST_EVENT_EOS;
}

GstPadProbeReturn mp4mux_eos_probe(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  if (is_eos(info)) NLOG_INFO("✅ mp4mux received EOS on pad: %s\n", GST_PAD_NAME(pad));
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn tee_eos_probe(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  if (is_eos(info)) NLOG_INFO("✅ tee pad %s received EOS. ", GST_PAD_NAME(pad));
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn save_queue_eos_probe(GstPad*, GstPadProbeInfo* info, gpointer) {
  if (is_eos(info)) NLOG_INFO("✅ save_queue src pad received EOS. ");
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn main_transform_eos_probe(GstPad*, GstPadProbeInfo* info, gpointer) {
  if (is_eos(info)) NLOG_INFO("✅ qtiv_main_transform src pad received EOS. ");
  return GST_PAD_PROBE_OK;
}

// Every composed picture counts as a frame of the composition in its health record.
GstPadProbeReturn count_composed(GstPad*, GstPadProbeInfo*, gpointer data) {
  static_cast<nimbra_internal::StreamMetrics*>(data)->frame_decoded(nimbra_internal::now_ns());
  return GST_PAD_PROBE_OK;
}

// First pad of an iterator (a ref), or null.
GstPad* first_pad(GstIterator* it) {
  GstPad* pad = nullptr;
  GValue v = G_VALUE_INIT;
  if (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    pad = GST_PAD(g_value_dup_object(&v));
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
  return pad;
}

void install_eos_observers(GstElement* pipeline) {
  const auto kEvents = GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM;
  if (GstElement* mux = gst_bin_get_by_name(GST_BIN(pipeline), "mp4mux_0")) {
    if (GstPad* pad = first_pad(gst_element_iterate_sink_pads(mux))) {
      NLOG_INFO("🔍 Found mp4mux sink pad: %s", GST_PAD_NAME(pad));
      gst_pad_add_probe(pad, kEvents, mp4mux_eos_probe, nullptr, nullptr);
      gst_object_unref(pad);
    } else {
      NLOG_ERROR("❌ mp4mux has no sink pad available (sink_0 not created yet?)");
    }
    gst_object_unref(mux);
  } else {
    NLOG_WARN("❌ mp4mux element not found in pipeline.");
  }

  if (GstElement* tee = gst_bin_get_by_name(GST_BIN(pipeline), "split")) {
    GstIterator* it = gst_element_iterate_src_pads(tee);
    GValue v = G_VALUE_INIT;
    while (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
      GstPad* pad = GST_PAD(g_value_get_object(&v));
      NLOG_INFO("👀 Adding probe to tee src pad: %s", GST_PAD_NAME(pad));
      gst_pad_add_probe(pad, kEvents, tee_eos_probe, nullptr, nullptr);
      g_value_reset(&v);
    }
    g_value_unset(&v);
    gst_iterator_free(it);
    gst_object_unref(tee);
  }

  if (GstElement* q = gst_bin_get_by_name(GST_BIN(pipeline), "save_queue")) {
    if (GstPad* pad = gst_element_get_static_pad(q, "src")) {
      gst_pad_add_probe(pad, kEvents, save_queue_eos_probe, nullptr, nullptr);
      gst_object_unref(pad);
    }
    gst_object_unref(q);
  }

  if (GstElement* tr = gst_bin_get_by_name(GST_BIN(pipeline), "qtiv_main_transform")) {
    if (GstPad* pad = gst_element_get_static_pad(tr, "src")) {
      gst_pad_add_probe(pad, kEvents, main_transform_eos_probe, nullptr, nullptr);
      gst_object_unref(pad);
    } else {
      NLOG_ERROR("❌ qtiv_main_transform src pad not found.\n");
    }
    gst_object_unref(tr);
  } else {
    NLOG_ERROR("❌ qtiv_main_transform element not found in pipeline.\n");
  }
}

// End-of-stream into the pipeline (the sources) and into the sink pad of every stage at
// once, so that a stage whose upstream never ends (a camera that stalls) still drains.
// Sinks are left to the events travelling downstream: an end-of-stream pushed straight
// into the file sink would close it before the muxer has written the file's index.
void drive_eos(GstElement* pipeline) {
  gst_element_send_event(pipeline, gst_event_new_eos());
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(pipeline));
  GValue v = G_VALUE_INIT;
  GstIteratorResult r;
  while ((r = gst_iterator_next(it, &v)) != GST_ITERATOR_DONE) {
    if (r == GST_ITERATOR_RESYNC) {
      gst_iterator_resync(it);
      continue;
    }
    if (r != GST_ITERATOR_OK) break;
    GstElement* el = GST_ELEMENT(g_value_get_object(&v));
    if (!GST_OBJECT_FLAG_IS_SET(el, GST_ELEMENT_FLAG_SINK)) {
      if (GstPad* sink = gst_element_get_static_pad(el, "sink")) {
        if (gst_pad_is_linked(sink)) {
          NLOG_INFO("🎯 Forcing EOS via sink pad of: %s", GST_ELEMENT_NAME(el));
          gst_pad_send_event(sink, gst_event_new_eos());
        }
        gst_object_unref(sink);
      }
    }
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
}

// The registry's stop action of the running composition; any thread. Returns at once.
void stop_run(const MergeRunPtr& run) {
  bool started;
  {
    std::lock_guard<std::mutex> g(run->lock);
    run->stop_wanted = true;
    // Still being built: the runner sees stop_wanted before it plays.
    started = begin_finalising_locked(run, true);
  }
  if (started) NLOG_WARN("Sending EOS to pipeline completed.");
}

}  // namespace

int start_stream_multi_merge(StreamProperty prop, bool split_outputs, int push_mode) {
  if (!nimbra_internal::keeps_platform_environment()) {
    setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    setenv("XDG_RUNTIME_DIR", "/run/user/root", 1);
  }

  const std::string description = get_4_cameras_launch_command(prop, split_outputs, push_mode);
  if (description.empty()) return -1;  // refused, the reason is logged
  NLOG_INFO("The final pipeline string is: %s", description.c_str());

  // One composition at a time: the second is refused before it touches the first.
  auto claim = nimbra_internal::claim_stream(kMultiMergeStreamId, nimbra_internal::StreamKind::Composition);
  if (!claim) return -1;

  gst_init(nullptr, nullptr);
  auto run = std::make_shared<MergeRun>();
  claim->set_stop_action([run](nimbra_internal::StopCause) { stop_run(run); });

  GError* err = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
  if (err) {
    // A description with unknown elements or properties is refused, not half run.
    NLOG_ERROR("Failed to create pipeline. %s", err->message);
    g_error_free(err);
    if (pipeline) gst_object_unref(pipeline);
    return -1;
  }
  if (!pipeline) {
    NLOG_ERROR("Failed to create pipeline.");
    return -1;
  }
  install_eos_observers(pipeline);
  // The claim, and so its metrics, outlives every buffer: the pipeline is at NULL first.
  if (GstElement* tr = gst_bin_get_by_name(GST_BIN(pipeline), "qtiv_main_transform")) {
    if (GstPad* pad = gst_element_get_static_pad(tr, "src")) {
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, count_composed, claim->metrics().get(), nullptr);
      gst_object_unref(pad);
    }
    gst_object_unref(tr);
  }

  run->context = g_main_context_new();
  run->loop = g_main_loop_new(run->context, FALSE);
  g_main_context_push_thread_default(run->context);
  GstBus* bus = gst_element_get_bus(pipeline);
  GSource* watch = gst_bus_create_watch(bus);
  g_source_set_callback(watch, G_SOURCE_FUNC(bus_call), new MergeRunPtr(run),
                        [](gpointer p) { delete static_cast<MergeRunPtr*>(p); });
  g_source_attach(watch, run->context);

  bool stop_early;
  {
    std::lock_guard<std::mutex> g(run->lock);
    run->pipeline = GST_ELEMENT(gst_object_ref(pipeline));
    stop_early = run->stop_wanted || claim->stop_requested();
  }
  claim->set_pipeline(pipeline);

  int result = 0;
  if (stop_early) {
    NLOG_INFO("Stop requested before the composition started; not playing it.");
  } else if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    NLOG_ERROR("The composition refused to play.");
    result = -1;
  } else {
    claim->metrics()->set_state(Velkor::Nimbra::StreamState::Playing);  // it delivers no frames to count
    g_main_loop_run(run->loop);
    std::lock_guard<std::mutex> g(run->lock);
    if (run->failed) result = -1;
  }

  std::thread eos_thread;
  {
    std::lock_guard<std::mutex> g(run->lock);
    run->torn_down = true;
    run->changed.notify_all();
    eos_thread = std::move(run->eos_thread);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (eos_thread.joinable()) eos_thread.join();  // nothing it sends into can block at NULL
  claim->set_pipeline(nullptr);
  if (result != 0) claim->metrics()->set_failed("");
  claim.release();  // a stop from now on finds no composition
  {
    std::lock_guard<std::mutex> g(run->lock);
    gst_object_unref(run->pipeline);
    run->pipeline = nullptr;
  }
  g_source_destroy(watch);
  g_source_unref(watch);
  gst_object_unref(bus);
  gst_object_unref(pipeline);
  g_main_context_pop_thread_default(run->context);
  // Timers still pending hold their own reference to the run; destroying the context
  // destroys them.
  g_main_loop_unref(run->loop);
  g_main_context_unref(run->context);
  return result;
}

void stop_multi_merge() {
  NLOG_INFO("Received SIGINT signal, will send EOS to pipeline.");
  nimbra_internal::EntryPtr entry = nimbra_internal::find_entry(kMultiMergeStreamId);
  if (!entry) {
    NLOG_WARN("pipeline_g is NULL, cannot send EOS.");
    return;
  }
  entry->request_stop(nimbra_internal::StopCause::ById);
}
