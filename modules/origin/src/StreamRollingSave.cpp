#define NIMBRA_MODULE "modules/origin/src/StreamRollingSave"
#include "StreamRollingSave.h"

#include <dirent.h>
#include <errno.h>
#include <gst/gst.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "StreamBase.h"
#include "StreamBuild.h"
#include "StreamCommon.h"
#include "StreamDryRun.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"

using nimbra_internal::launch_quoted;

namespace {

const char* const kRollingRoot = "/tmp/rolling/";
constexpr uint64_t kSegmentNs = 2000000000ULL;
constexpr int kMaxFiles = 100;

std::mutex g_limits_mutex;
uint64_t g_segment_ns = kSegmentNs;
int g_max_files = kMaxFiles;

// What the bus watch of one recording needs; each recording has its own loop, so one
// recording's end never quits another's.
struct Recording {
  GMainLoop* loop = nullptr;
  bool failed = false;
};

}  // namespace

namespace nimbra_internal {

int clear_segments(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int rc = 0;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".mp4") != 0) continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(path.c_str()) != 0) rc = -1;
  }
  closedir(d);
  return rc;
}

}  // namespace nimbra_internal

namespace {

gboolean bus_cb(GstBus*, GstMessage* msg, gpointer data) {
  auto* rec = static_cast<Recording*>(data);
  switch (GST_MESSAGE_TYPE(msg)) {
    case GST_MESSAGE_EOS:
      NLOG_WARN("EOS received.\n");
      g_main_loop_quit(rec->loop);
      break;
    case GST_MESSAGE_ERROR: {
      GError* err = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(msg, &err, &debug);
      NLOG_ERROR("ERROR from %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)), err ? err->message : "unknown");
      if (debug) NLOG_ERROR("debug: %s\n", debug);
      if (err) g_error_free(err);
      g_free(debug);
      rec->failed = true;
      g_main_loop_quit(rec->loop);
      break;
    }
    default:
      break;
  }
  return TRUE;
}

// Quits the loop once a stop was requested and the end-of-stream it sent did not
// arrive in time.
struct StopWatch {
  nimbra_internal::EntryPtr entry;
  GMainLoop* loop = nullptr;
  int polls_after_stop = 0;
};

gboolean poll_stop(gpointer data) {
  auto* w = static_cast<StopWatch*>(data);
  if (!w->entry->stop_requested()) return G_SOURCE_CONTINUE;
  if (++w->polls_after_stop < 50) return G_SOURCE_CONTINUE;  // 5 s for the segment to close
  g_main_loop_quit(w->loop);
  return G_SOURCE_REMOVE;
}

}  // namespace

namespace nimbra_internal {

bool safe_segment_dir(const std::string& root, const std::string& dir) {
  for (const std::string& path : {root, dir}) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) return false;
      if (lstat(p.c_str(), &st) != 0) return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

std::string segment_writer_description(bool h265, const std::string& location, uint64_t segment_ns, int max_files,
                                       bool from_network) {
  const std::string parse = h265 ? "h265parse" : "h264parse";
  const std::string stored = h265 ? "video/x-h265,stream-format=hvc1,alignment=au"
                                  : "video/x-h264,stream-format=avc,alignment=au";
  return parse + (from_network ? " config-interval=-1 disable-passthrough=true" : "") + " ! " + stored +
         " ! splitmuxsink name=rec muxer=mp4mux location=" + launch_quoted(location) +
         " max-size-time=" + std::to_string(segment_ns) + " async-finalize=true max-files=" +
         std::to_string(max_files);
}

bool rolling_id_is_safe(const std::string& id) {
  // "%" would be read as a conversion by the segment location's printf-style pattern.
  return !id.empty() && id.find('/') == std::string::npos && id.find("..") == std::string::npos &&
         id.find('%') == std::string::npos;
}

void set_rolling_limits(uint64_t segment_ns, int max_files) {
  std::lock_guard<std::mutex> g(g_limits_mutex);
  g_segment_ns = segment_ns ? segment_ns : kSegmentNs;
  g_max_files = max_files > 0 ? max_files : kMaxFiles;
}

std::string concate_script_path() {
  const char* env = getenv("NIMBRA_CONCATE_SCRIPT");
  return env && *env ? env : "/usr/local/bin/concate_video.py";
}

}  // namespace nimbra_internal


namespace {

void guard_timestamps(GstElement* pipeline) {
  GstElement* rec = gst_bin_get_by_name(GST_BIN(pipeline), "rec");
  if (!rec) return;
  for (GList* l = GST_ELEMENT(rec)->sinkpads; l; l = l->next)
    nimbra_internal::guard_timestamps(GST_PAD(l->data), "Rolling save: dropping an access unit without timestamps.");
  gst_object_unref(rec);
}

}  // namespace

namespace {
// A recorder delivers no frames to the host: its numbers (and so its stall detection)
// count the video access units that reach the segment writer.
void count_recorded_frames(GstElement* pipeline, const std::shared_ptr<nimbra_internal::StreamMetrics>& metrics) {
  GstElement* rec = gst_bin_get_by_name(GST_BIN(pipeline), "rec");
  if (!rec) return;
  GstPad* pad = gst_element_get_static_pad(rec, "video");
  if (!pad) {
    GstIterator* it = gst_element_iterate_sink_pads(rec);
    GValue v = G_VALUE_INIT;
    if (gst_iterator_next(it, &v) == GST_ITERATOR_OK) pad = GST_PAD(g_value_dup_object(&v));
    g_value_unset(&v);
    gst_iterator_free(it);
  }
  if (pad) {
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
          (*static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data))->frame_decoded(nimbra_internal::now_ns());
          return GST_PAD_PROBE_OK;
        },
        new std::shared_ptr<nimbra_internal::StreamMetrics>(metrics),
        [](gpointer data) { delete static_cast<std::shared_ptr<nimbra_internal::StreamMetrics>*>(data); });
    gst_object_unref(pad);
  }
  gst_object_unref(rec);
}
}  // namespace

int start_rolling_save(std::string stream_id) {
  gst_init(nullptr, nullptr);
  if (!nimbra_internal::rolling_id_is_safe(stream_id)) {
    NLOG_ERROR("Rolling save refused: stream id \"%s\" cannot name a directory under %s.", stream_id.c_str(),
               kRollingRoot);
    return -1;
  }
  auto claim = nimbra_internal::claim_stream(stream_id, nimbra_internal::StreamKind::Rolling);
  if (!claim) return -1;
  const std::string dir = kRollingRoot + stream_id;
  // A stream that is only described never touches its directory.
  const bool touch_dir = !claim->describing();
  if (touch_dir && !nimbra_internal::safe_segment_dir(kRollingRoot, dir)) {
    NLOG_ERROR("Rolling save refused: %s is not a plain directory (a symbolic link or another file is there).",
               dir.c_str());
    return -1;
  }
  if (int ret = touch_dir ? nimbra_internal::clear_segments(dir) : 0; ret != 0)
    NLOG_WARN("clear rolling dir failed, cmd=%s, ret=%d", ("remove " + dir + "/*.mp4").c_str(), ret);

  StreamProperty prop;
  try {
    get_configuration_properties(stream_id, prop);
  } catch (const std::exception& e) {
    NLOG_ERROR("Configuration of stream id: %s could not be read (%s).", stream_id.c_str(), e.what());
    return -1;
  }
  if (prop.decodeType != "H264" && prop.decodeType != "H265") {
    NLOG_ERROR("The input decord type : %s is not supported.", prop.decodeType.c_str());
    return -1;
  }
  const bool h265 = prop.decodeType == "H265";
  uint64_t segment_ns;
  int max_files;
  {
    std::lock_guard<std::mutex> g(g_limits_mutex);
    segment_ns = g_segment_ns;
    max_files = g_max_files;
  }
  // The id from the configuration names the directory, as the caller's id does.
  const std::string writer = nimbra_internal::segment_writer_description(h265, dir + "/%05d.mp4", segment_ns,
                                                                        max_files, prop.inputType == "rtsp");
  const std::string& tag = nimbra_internal::platform_tag();
  std::string dec, enc;
  if (tag == "8550") {
    dec = "qtic2vdec", enc = "qtic2venc";
  } else if (tag == "v4l2" || tag == "ub2404") {
    dec = h265 ? "v4l2h265dec" : "v4l2h264dec";
    enc = h265 ? "v4l2h265enc" : "v4l2h264enc";
  } else {
    dec = "qtivdec", enc = "qtic2venc";
  }
  const std::string parse = h265 ? "h265parse" : "h264parse";
  std::string desc;
  if (prop.inputType == "rtsp") {
    desc = "rtspsrc location=" + launch_quoted(prop.inputAddr) + " latency=200 protocols=tcp ! " +
           (h265 ? "rtph265depay" : "rtph264depay") + " ! " + writer;
  } else if (prop.inputType == "file") {
    desc = "filesrc location=" + launch_quoted(prop.inputAddr) + " ! qtdemux name=d d.video_0 ! queue ! " + parse + " ! " +
           dec + " ! videorate ! video/x-raw,framerate=" + std::to_string(prop.rollingFps) +
           "/1 ! identity sync=true ! " + enc + " ! " + writer;
  }
  NLOG_INFO("Rolling save pipe desc: %s", desc.c_str());

  GError* err = nullptr;
  GstElement* pipeline = desc.empty() ? nullptr : gst_parse_launch(desc.c_str(), &err);
  if (!pipeline) {
    NLOG_ERROR("Pipeline build error: %s\n", err && err->message ? err->message : "unknown");
    if (err) g_error_free(err);
    return -1;
  }
  if (err) {
    NLOG_ERROR("Parse warning: %s\n", err->message);
    g_clear_error(&err);
  }

  // An RTSP source on a loaded host now and then hands on an access unit without a PTS
  // (the jitterbuffer lost track of the sender's clock). mp4mux refuses such a buffer
  // with an error that ends the whole recording; it gets its DTS, or the previous PTS
  // plus its duration, and one that has neither is dropped instead.
  if (prop.inputType == "rtsp") guard_timestamps(pipeline);
  gst_object_ref_sink(pipeline);
  if (!nimbra_internal::may_play(claim.entry(), pipeline)) {
    gst_object_unref(pipeline);
    return 0;
  }
  count_recorded_frames(pipeline, claim->metrics());

  // A private context and loop per recording: the loop dispatches only its own bus.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  Recording rec;
  rec.loop = g_main_loop_new(context, FALSE);
  GstBus* bus = gst_element_get_bus(pipeline);
  GSource* bus_source = gst_bus_create_watch(bus);
  g_source_set_callback(bus_source, (GSourceFunc)(void*)bus_cb, &rec, nullptr);
  g_source_attach(bus_source, context);
  gst_object_unref(bus);
  StopWatch watch{claim.entry(), rec.loop};
  GSource* stop_source = g_timeout_source_new(100);
  g_source_set_callback(stop_source, poll_stop, &watch, nullptr);
  g_source_attach(stop_source, context);
  // A stop (by id, of every stream, or SIGINT) ends the recording with end-of-stream,
  // so the open segment is finalised.
  claim->set_pipeline(pipeline);
  std::shared_ptr<GstElement> held(GST_ELEMENT(gst_object_ref(pipeline)), [](GstElement* e) { gst_object_unref(e); });
  claim->set_stop_action([held](nimbra_internal::StopCause cause) {
    if (cause == nimbra_internal::StopCause::Sigint) NLOG_INFO("Received SIGINT signal, will send EOS to pipeline.");
    nimbra_internal::send_eos_async(held.get());
    if (cause == nimbra_internal::StopCause::Sigint) NLOG_WARN("Sending EOS to pipeline completed.");
  });
  if (!claim->stop_requested()) {
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    NLOG_INFO("Pipeline PLAYING. Press Ctrl+C to quit.\n");
    g_main_loop_run(rec.loop);
  }
  // The stop action holds the pipeline: no stop may reach it once it is released.
  claim->set_stop_action([](nimbra_internal::StopCause) {});
  claim->set_pipeline(nullptr);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  g_source_destroy(stop_source);
  g_source_unref(stop_source);
  g_source_destroy(bus_source);
  g_source_unref(bus_source);
  gst_object_unref(pipeline);
  nimbra_internal::return_freed_memory();
  g_main_loop_unref(rec.loop);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return rec.failed ? -1 : 0;
}

namespace {

std::string python_interpreter() {
  const char* env = getenv("NIMBRA_PYTHON");
  if (env && *env) return env;
  // The system interpreter carries the GStreamer bindings the script needs.
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string display_command(const std::vector<std::string>& argv) {
  std::string out;
  for (const std::string& a : argv) {
    gchar* q = g_shell_quote(a.c_str());
    if (!out.empty()) out += ' ';
    out += q;
    g_free(q);
  }
  return out;
}

}  // namespace

#undef NIMBRA_MODULE
#define NIMBRA_MODULE "modules/origin/src/nimbra"

void merge_rolling_save_video(std::string stream_id, std::string merge_args, int wait_seconds) {
  if (wait_seconds + 5 > 0) {
    // sleep_for resumes after signal interruptions.
    std::this_thread::sleep_for(std::chrono::seconds(wait_seconds + 5));
  }
  // The two placeholders stand for the interpreter and the script, as in the command shown.
  std::vector<std::string> argv = {"", ""};
  if (!merge_args.empty()) {
    gint argc = 0;
    gchar** parsed = nullptr;
    GError* err = nullptr;
    if (!g_shell_parse_argv(merge_args.c_str(), &argc, &parsed, &err)) {
      // An empty or blank string parses as an error too; only real text is refused.
      const bool blank = merge_args.find_first_not_of(" \t\n") == std::string::npos;
      if (!blank) {
        NLOG_ERROR("get_rolling_save_video - merge arguments refused (%s): %s", err ? err->message : "?",
                   merge_args.c_str());
        if (err) g_error_free(err);
        return;
      }
      if (err) g_error_free(err);
    } else {
      for (gint i = 0; i < argc; ++i) argv.push_back(parsed[i]);
      g_strfreev(parsed);
    }
  }
  argv.push_back("--stream-id");
  argv.push_back(stream_id);
  argv.erase(argv.begin(), argv.begin() + 2);
  std::string command;
  const bool started = nimbra_internal::run_concate_script(argv, nullptr, nullptr, nullptr, &command);
  NLOG_INFO("get_rolling_save_video - rolling save command: %s", command.c_str());
  if (!started) NLOG_ERROR("get_rolling_save_video - Error calling system");
}

namespace nimbra_internal {

bool run_concate_script(const std::vector<std::string>& args, int* exit_code, std::string* out, std::string* err,
                        std::string* command) {
  std::vector<std::string> argv = {python_interpreter(), concate_script_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  if (command) *command = display_command(argv);
  std::vector<gchar*> cargv;
  for (std::string& a : argv) cargv.push_back(&a[0]);
  cargv.push_back(nullptr);
  gint status = 0;
  gchar *so = nullptr, *se = nullptr;
  GError* error = nullptr;
  const gboolean started = g_spawn_sync(nullptr, cargv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                                        out ? &so : nullptr, err ? &se : nullptr, &status, &error);
  if (out) *out = so ? so : "";
  if (err) *err = se ? se : (error && error->message ? error->message : "");
  g_free(so);
  g_free(se);
  if (error) g_error_free(error);
  if (exit_code) *exit_code = started && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return started;
}

}  // namespace nimbra_internal

bool is_concate_video_running(const std::string& stream_id) {
  DIR* proc = opendir("/proc");
  if (!proc) {
    perror("popen");
    return false;
  }
  bool found = false;
  while (dirent* e = readdir(proc)) {
    if (found) break;
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t start = 0; start < raw.size();) {
      size_t end = raw.find('\0', start);
      if (end == std::string::npos) end = raw.size();
      args.push_back(raw.substr(start, end - start));
      start = end + 1;
    }
    bool script = false;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.size() >= 16 && a.compare(a.size() - 16, 16, "concate_video.py") == 0) script = true;
      if (script && a == "--stream-id" && i + 1 < args.size() && args[i + 1] == stream_id) found = true;
    }
  }
  closedir(proc);
  return found;
}
