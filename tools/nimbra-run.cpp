// nimbra-run: runs configured streams and reports what arrives.
//
//   nimbra-run                          # the sample configuration's default streams
//   nimbra-run --list                   # what the configuration holds
//   nimbra-run cam1 cam2 --timestamp    # two streams, wall-clock time drawn into frames
//   nimbra-run --config my.conf cam1
//   nimbra-run validate [--config F] [ids]   # check the file, one "F:LINE:COL: message" per problem
//   nimbra-run --dry-run cam1           # the pipeline cam1 would run, gst-launch style; nothing plays
//   nimbra-run --status cam1 cam2       # a status table of the streams, once a second
//   nimbra-run --json cam1              # the same numbers as one JSON object per stream and second
//   nimbra-run --events cam1            # one JSON line per event of the streams
//   nimbra-run --metrics-port 9108 cam1 # Prometheus /metrics on that port
//   nimbra-run --objects tracks.jsonl --events cam1   # events from tracked objects listed per frame
//
// Every stream runs on its own thread through start_stream; once a second a line per
// stream gives its frame count, size and frame rate (or the status table / JSON lines,
// from the library's stream health records). Ctrl+C stops every stream the library's
// way, so MP4 recordings are finalised. A "splice" stream is fed with the H.265 access
// units of a clip (--splice-file, default: the bundled sample), as an application with
// its own H.265 transport would.
//
// validate exits 0 when the file is clean, 1 when it found problems and 2 when the file
// cannot be read or the command line is wrong. It checks syntax, keys (with the nearest
// known key for a misspelt one), types, values, required keys, duplicate ids, the ids
// asked for, and the GStreamer elements each stream's pipeline needs on this machine.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <json/json.h>
#include <nmx-detection-json.h>
#include <time.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StreamBuild.h"
#include "StreamDryRun.h"
#include "StreamEventClips.h"
#include "StreamEvents.h"
#include "StreamHealth.h"
#include "StreamMqtt.h"
#include "nimbra-validate.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int g_signal_pipe[2] = {-1, -1};
std::atomic<bool> g_stopping{false};

void on_signal(int) {
  const int saved = errno;
  char c = 1;
  ssize_t r = write(g_signal_pipe[1], &c, 1);
  (void)r;
  errno = saved;
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Lets the program run on hosts without the board's elements: the soft platform
// plug-ins of the build (or of the install) join GStreamer's search path.
void add_soft_platform_path() {
  for (const char* dir : {NIMBRA_SOFT_PLUGIN_DIR, NIMBRA_INSTALLED_SOFT_PLUGIN_DIR}) {
    if (!exists(dir)) continue;
    const char* old = getenv("GST_PLUGIN_PATH");
    std::string value = old && *old ? std::string(old) + ":" + dir : std::string(dir);
    setenv("GST_PLUGIN_PATH", value.c_str(), 1);
    return;
  }
}

std::string default_config() {
  if (exists(NIMBRA_BUILD_CONF)) return NIMBRA_BUILD_CONF;
  return "/usr/local/share/nimbra-gst/conf/nimbra-gst.conf";
}

std::string default_sample() {
  if (exists(NIMBRA_MEDIA_DIR "/sample_h265.mp4")) return NIMBRA_MEDIA_DIR "/sample_h265.mp4";
  return "/usr/local/share/nimbra-gst/media/sample_h265.mp4";
}

void usage(FILE* out) {
  fprintf(out,
          "usage: nimbra-run [options] [STREAM_ID ...]\n"
          "Runs the configured streams STREAM_ID (default: sample splice_cam) until they end or\n"
          "Ctrl+C, printing each stream's frame count, size and frame rate once a second.\n"
          "  --config PATH       configuration file (default: %s)\n"
          "  --list              list the configured streams and exit\n"
          "  --timestamp         draw the wall-clock time into every frame\n"
          "  --splice-file PATH  H.265 clip (MP4 or raw .h265) fed to splice streams\n"
          "                      (default: %s)\n"
          "  --fast              feed splice streams as fast as they decode, not in real time\n"
          "  --frames N          stop each stream once N frames have arrived (recordings are\n"
          "                      finalised as on Ctrl+C)\n"
          "  --verbose           the library's progress messages too (default: warnings, or the\n"
          "                      level NIMBRA_LOG_LEVEL names: info, warning, error, debug, off)\n"
          "  --status            instead of the per-second lines, a table of every stream once a\n"
          "                      second: state, fps, frames, drops, callback p99, reconnects, last\n"
          "                      error (redrawn in place on a terminal)\n"
          "  --json              the same as one JSON object per stream and second, one per line\n"
          "                      (other messages go to standard error)\n"
          "  --detections        per frame of a detecting stream (\"detect\" in its properties), its\n"
          "                      objects as the detection element's JSON object with \"stream_id\",\n"
          "                      and \"track_id\" and \"age\" per object, one per line (other messages\n"
          "                      go to standard error)\n"
          "  --events            print every event of the streams as one JSON line (on standard\n"
          "                      output; the per-second lines go to standard error)\n"
          "  --metrics-port N    serve Prometheus /metrics on port N (0: any free port, printed on\n"
          "                      standard error), in place of the configuration's \"metricsPort\"\n"
          "  --objects FILE      feed the streams' events from tracked objects listed per frame in\n"
          "                      FILE (JSON lines: {\"stream_id\": \"cam1\", \"frame\": 12, \"objects\":\n"
          "                      [{\"track_id\": 3, \"label\": \"person\", \"confidence\": 0.9,\n"
          "                      \"box\": {\"x\": 10, \"y\": 20, \"width\": 50, \"height\": 120}}]}),\n"
          "                      as a detector of your own would; \"stream_id\" absent: every stream\n"
          "  --dry-run ID        check stream ID as validate does, then print the pipeline it\n"
          "                      would run (gst-launch-1.0 style) without starting it, and exit\n"
          "  -h, --help          this text\n"
          "\n"
          "usage: nimbra-run validate [--config PATH] [STREAM_ID ...]\n"
          "Checks the configuration (only the streams STREAM_ID, when given) and prints one line\n"
          "per problem as PATH:LINE:COLUMN: message, or \"OK: N streams checked\" (on standard\n"
          "error) when there is none. File inputs must exist and hold the codec \"decodeType\"\n"
          "names. Exit status: 0 clean, 1 problems found, 2 unreadable file or bad usage.\n",
          default_config().c_str(), default_sample().c_str());
}

struct StreamStats {
  std::string id;
  std::string kind;
  std::atomic<uint64_t> frames{0};
  std::atomic<int> width{0}, height{0};
  std::atomic<bool> done{false};
  std::atomic<int> result{0};
  uint64_t last_frames = 0;
  bool end_shown = false;  // its last line (or record) has been printed; nothing more follows
  bool stop_sent = false;   // --frames reached: stopped
  std::atomic<bool> stop_feeding{false};  // a splice stream's feeder ends
};

// Feeds a splice stream with the access units of `file` until the file ends or the
// program stops; false when the stream refused them.
bool feed_splice(const std::string& id, const std::string& file, bool fast, const std::atomic<bool>& stop) {
  const bool raw = file.size() > 5 && file.compare(file.size() - 5, 5, ".h265") == 0;
  gchar* loc = g_strescape(file.c_str(), nullptr);
  std::string desc = std::string("filesrc location=\"") + loc + "\" ! " + (raw ? "" : "qtdemux ! ") +
                     "h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au ! "
                     "appsink name=aus sync=false max-buffers=16";
  g_free(loc);
  GstElement* reader = gst_parse_launch(desc.c_str(), nullptr);
  if (!reader) {
    fprintf(stderr, "nimbra-run: cannot read %s\n", file.c_str());
    return false;
  }
  bool ok = true;
  GstElement* aus = gst_bin_get_by_name(GST_BIN(reader), "aus");
  GstBus* bus = gst_element_get_bus(reader);
  gst_element_set_state(reader, GST_STATE_PLAYING);
  const auto t0 = std::chrono::steady_clock::now();
  int64_t first_pts = -1;
  while (!g_stopping && !stop) {
    // Short waits, so a stop or an unreadable clip is seen at once instead of blocking
    // in a pull that never returns.
    GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(aus), 200 * GST_MSECOND);
    if (!s) {
      if (gst_app_sink_is_eos(GST_APP_SINK(aus))) break;
      if (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* err = nullptr;
        gst_message_parse_error(m, &err, nullptr);
        fprintf(stderr, "nimbra-run: [%s] cannot read %s: %s\n", id.c_str(), file.c_str(),
                err ? err->message : "unknown error");
        g_clear_error(&err);
        gst_message_unref(m);
        ok = false;
        break;
      }
      continue;
    }
    GstBuffer* b = gst_sample_get_buffer(s);
    const int64_t pts = GST_BUFFER_PTS_IS_VALID(b) ? (int64_t)GST_BUFFER_PTS(b) : -1;
    if (!fast && pts >= 0) {
      if (first_pts < 0) first_pts = pts;
      std::this_thread::sleep_until(t0 + std::chrono::nanoseconds(pts - first_pts));
    }
    GstMapInfo m;
    int r = 0;
    if (gst_buffer_map(b, &m, GST_MAP_READ)) {
      r = decode_put_frame_splice(m.data, m.size, id, pts, !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT));
      gst_buffer_unmap(b, &m);
    }
    gst_sample_unref(s);
    if (r != 0 && r != -6) {
      fprintf(stderr, "nimbra-run: [%s] push refused (%d)\n", id.c_str(), r);
      ok = false;
      break;
    }
  }
  gst_element_set_state(reader, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(aus);
  gst_object_unref(reader);
  return ok;
}

// Tracked objects per stream ("" for every stream) and frame index, read from --objects.
using ObjectTable = std::map<std::string, std::map<int64_t, std::vector<DetectedObject>>>;

bool load_objects(const std::string& path, ObjectTable& table) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "nimbra-run: cannot open --objects file %s\n", path.c_str());
    return false;
  }
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json::Value v;
    std::string errs;
    auto bad = [&](const std::string& why) {
      fprintf(stderr, "nimbra-run: %s:%d: %s\n", path.c_str(), line_no, why.c_str());
      return false;
    };
    if (!reader->parse(line.data(), line.data() + line.size(), &v, &errs)) return bad("not JSON: " + one_line(errs));
    if (!v.isObject() || !v["frame"].isIntegral()) return bad("each line needs \"frame\" (a whole number)");
    const Json::Value& list = v.isMember("objects") ? v["objects"] : v["detections"];
    if (!list.isArray()) return bad("each line needs \"objects\" (an array)");
    std::vector<DetectedObject> objects;
    for (const Json::Value& o : list) {
      const Json::Value& box = o["box"];
      if (!o.isObject() || !o["track_id"].isIntegral() || !o["label"].isString() || !box.isObject() ||
          !box["x"].isNumeric() || !box["y"].isNumeric() || !box["width"].isNumeric() || !box["height"].isNumeric())
        return bad("each object needs \"track_id\", \"label\" and \"box\" {x, y, width, height}");
      DetectedObject d;
      d.track_id = o["track_id"].asInt64();
      d.label = o["label"].asString();
      d.class_id = o.get("class_id", -1).asInt();
      d.confidence = o.get("confidence", 1.0).asFloat();
      d.x = box["x"].asFloat(), d.y = box["y"].asFloat();
      d.width = box["width"].asFloat(), d.height = box["height"].asFloat();
      objects.push_back(d);
    }
    auto& frames = table[v.get("stream_id", "").asString()];
    auto& slot = frames[v["frame"].asInt64()];
    slot.insert(slot.end(), objects.begin(), objects.end());
  }
  return true;
}

int list_streams(const std::string& config) {
  std::ifstream in(config);
  if (!in) {
    fprintf(stderr, "nimbra-run: cannot open configuration %s\n", config.c_str());
    return 2;
  }
  Json::Value root;
  try {
    in >> root;
  } catch (const std::exception& e) {
    fprintf(stderr, "nimbra-run: bad configuration %s: %s\n", config.c_str(), one_line(e.what()).c_str());
    return 2;
  }
  printf("%-18s %-8s %-44s %s\n", "STREAM", "INPUT", "ADDRESS", "OUTPUT / MODE");
  for (const Json::Value& s : root["streams"]) {
    const Json::Value& p = s["properties"];
    std::string mode;
    for (const char* sw : {"audio", "rollingsave", "saveMp4", "networkPush"})
      if (p.get(sw, false).asBool()) mode += std::string(mode.empty() ? "" : ",") + sw;
    std::string out = p.get("outputType", "").asString();
    if (!out.empty()) out += " " + p.get("outputAddr", "").asString();
    if (!mode.empty()) out = mode + (out.empty() ? "" : " -> " + out);
    printf("%-18s %-8s %-44s %s\n", s["streamsId"].asString().c_str(), p.get("inputType", "-").asString().c_str(),
           p.get("inputAddr", "-").asString().c_str(), out.empty() ? "callback only" : out.c_str());
  }
  return 0;
}

int run_validate(int argc, char** argv) {
  std::string config = default_config();
  std::vector<std::string> ids;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--config") {
      if (i + 1 >= argc) {
        fprintf(stderr, "nimbra-run validate: --config needs a path\n");
        return 2;
      }
      config = argv[++i];
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "nimbra-run validate: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      ids.push_back(a);
    }
  }
  // The elements are looked up where the streams would run: with the soft plug-ins.
  add_soft_platform_path();
  gst_init(&argc, &argv);
  std::vector<nimbra_validate::Problem> problems;
  std::string error;
  size_t checked = 0;
  if (!nimbra_validate::validate_file(config, ids, problems, error, &checked)) {
    fprintf(stderr, "nimbra-run validate: %s\n", error.c_str());
    return 2;
  }
  for (const auto& p : problems) printf("%s:%d:%d: %s\n", config.c_str(), p.line, p.col, p.message.c_str());
  fflush(stdout);
  // The summary goes beside the other summary line: standard output keeps the problems only.
  if (!problems.empty())
    fprintf(stderr, "nimbra-run validate: %zu problem%s in %s\n", problems.size(), problems.size() == 1 ? "" : "s",
            config.c_str());
  else
    fprintf(stderr, "OK: %zu stream%s checked\n", checked, checked == 1 ? "" : "s");
  return problems.empty() ? 0 : 1;
}

std::string truncated(std::string text, size_t width) {
  text = one_line(text);
  if (text.size() > width) text = text.substr(0, width > 3 ? width - 3 : 0) + "...";
  return text;
}

// The health record of `id`; a stream the library does not know (yet) reads as starting
// or, once its thread ended, as stopped or failed by its result.
StreamHealth health_of(const StreamStats& st) {
  StreamHealth h;
  if (get_stream_health(st.id, h) == 0) return h;
  h.stream_id = st.id;
  h.kind = st.kind;
  h.running = !st.done;
  h.state = !st.done ? StreamState::Starting : st.result == 0 ? StreamState::Stopped : StreamState::Failed;
  return h;
}

std::string age_text(double s) {
  char buf[32];
  if (s < 120)
    snprintf(buf, sizeof buf, "%.0f s ago", s);
  else if (s < 7200)
    snprintf(buf, sizeof buf, "%.0f min ago", s / 60);
  else
    snprintf(buf, sizeof buf, "%.0f h ago", s / 3600);
  return buf;
}

// The LAST ERROR column: an error the stream has come back from says so, with its age.
std::string last_error_text(const StreamHealth& h) {
  if (h.last_error.empty()) return "-";
  if (h.last_error_recovered) return "recovered, " + age_text(h.last_error_age_s) + ": " + h.last_error;
  return h.last_error_age_s >= 0 ? h.last_error + " (" + age_text(h.last_error_age_s) + ")" : h.last_error;
}

// One line per frame of a detecting stream: the detection JSON record, with the stream id
// in front and each object's track id and detection age. Lines of several streams never
// interleave.
void print_detections(const Image& img, FILE* out) {
  const FrameObjects* objects = frame_objects_of(img);
  if (!objects) return;  // not a detecting stream
  nmx::detection::Frame f;
  f.frame = (uint64_t)img.frame_index;
  f.has_pts = img.pts >= 0;
  f.pts_ns = f.has_pts ? (uint64_t)img.pts : 0;
  f.width = img.width;
  f.height = img.height;
  for (const DetectedObject& o : objects->items) {
    nmx::detection::Detection d;
    d.class_id = o.class_id;
    d.label = o.label;
    d.confidence = o.confidence;
    d.x = o.x, d.y = o.y, d.width = o.width, d.height = o.height;
    d.track_id = o.track_id;
    d.age = o.age;
    f.detections.push_back(std::move(d));
  }
  std::string record;
  nmx::detection::append_json_line(f, &record);
  // The record's keys follow the id inside one object.
  const std::string line = "{\"stream_id\":" + Json::valueToQuotedString(img.stream_id.c_str()) + "," + record.substr(1);
  static std::mutex lock;
  std::lock_guard<std::mutex> g(lock);
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
}

// The status table; on a terminal the previous one is overwritten.
class StatusTable {
 public:
  explicit StatusTable(bool tty) : tty_(tty) {}
  void print(const std::vector<StreamHealth>& rows) {
    std::string out;
    if (tty_ && lines_ > 0) out += "\x1b[" + std::to_string(lines_) + "A";
    char buf[512];
    auto line = [&](const std::string& text) {
      if (tty_) out += "\x1b[2K";
      out += text + "\n";
    };
    snprintf(buf, sizeof buf, "%-18s %-12s %6s %9s %7s %7s %8s %6s %6s %9s %8s %4s  %s", "STREAM", "STATE", "FPS",
             "FRAMES", "SKIPS", "DROPS", "CB-P99ms", "RECONN", "INF/s", "INF-P99ms", "INF-SKIP", "OBJ", "LAST ERROR");
    line(buf);
    for (const StreamHealth& h : rows) {
      snprintf(buf, sizeof buf, "%-18s %-12s %6.1f %9llu %7llu %7llu %8.2f %6u %6.1f %9.2f %8llu %4u  %s",
               truncated(h.stream_id, 18).c_str(), stream_state_name(h.state), h.fps_last_second,
               (unsigned long long)h.frames_delivered, (unsigned long long)h.frames_skipped,
               (unsigned long long)h.frames_dropped, h.callback_p99_ms, h.reconnects, h.inference_fps,
               h.inference_p99_ms, (unsigned long long)h.inference_skipped, h.objects,
               truncated(last_error_text(h), 72).c_str());
      line(buf);
    }
    if (!tty_) out += "\n";  // blocks of a log stay apart
    lines_ = (int)rows.size() + 1;
    fputs(out.c_str(), stdout);
    fflush(stdout);
  }

 private:
  bool tty_;
  int lines_ = 0;
};

int dry_run(const std::string& config, const std::string& id, int& argc, char**& argv) {
  g_stream_conf_file = config.c_str();
  stream_conf_file = config.c_str();
  add_soft_platform_path();
  gst_init(&argc, &argv);
  // The stream's entry is checked first, as validate would: a pipeline built from a
  // broken entry describes nothing that could run.
  std::vector<nimbra_validate::Problem> problems;
  std::string error;
  if (!nimbra_validate::validate_file(config, {id}, problems, error)) {
    fprintf(stderr, "nimbra-run: %s\n", error.c_str());
    return 2;
  }
  size_t errors = 0;
  for (const auto& p : problems) {
    fprintf(stderr, "%s:%d:%d: %s\n", config.c_str(), p.line, p.col, p.message.c_str());
    if (p.message.rfind("warning:", 0) != 0) ++errors;
  }
  if (errors) {
    fprintf(stderr, "nimbra-run: stream \"%s\" is not described: %zu problem%s in %s (see nimbra-run validate)\n",
            id.c_str(), errors, errors == 1 ? "" : "s", config.c_str());
    return 1;
  }
  std::string description;
  if (describe_stream_pipeline(id, description) != 0) {
    fprintf(stderr, "nimbra-run: stream \"%s\" cannot be described from %s (see the messages above)\n", id.c_str(),
            config.c_str());
    return 1;
  }
  printf("%s\n", description.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config = default_config();
  std::string splice_file = default_sample();
  bool list = false, timestamp = false, fast = false, verbose = false, status = false, json = false, events = false;
  bool detections = false;
  int metrics_port_flag = -1;
  std::string objects_file;
  uint64_t max_frames = 0;
  std::string dry_run_id;
  bool dry_run_asked = false;
  std::vector<std::string> ids;
  if (argc > 1 && std::string(argv[1]) == "validate") return run_validate(argc, argv);
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dry-run") {
      if (i + 1 >= argc || argv[i + 1][0] == '-') {
        fprintf(stderr, "nimbra-run: --dry-run needs a stream id (see --help)\n");
        return 2;
      }
      dry_run_asked = true;
      dry_run_id = argv[++i];
    } else if (a == "--status") {
      status = true;
    } else if (a == "--detections") {
      detections = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--events") {
      events = true;
    } else if (a == "--objects") {
      if (i + 1 >= argc) {
        fprintf(stderr, "nimbra-run: --objects needs a file (see --help)\n");
        return 2;
      }
      objects_file = argv[++i];
    } else if (a == "--metrics-port") {
      char* end = nullptr;
      const long n = i + 1 < argc ? strtol(argv[i + 1], &end, 10) : -1;
      if (i + 1 >= argc || end == argv[i + 1] || *end || n < 0 || n > 65535) {
        fprintf(stderr, "nimbra-run: --metrics-port needs a port number (0 to 65535; see --help)\n");
        return 2;
      }
      metrics_port_flag = (int)n;
      ++i;
    } else if (a == "--config" && i + 1 < argc) {
      config = argv[++i];
    } else if (a == "--splice-file" && i + 1 < argc) {
      splice_file = argv[++i];
    } else if (a == "--list") {
      list = true;
    } else if (a == "--timestamp") {
      timestamp = true;
    } else if (a == "--frames") {
      char* end = nullptr;
      const long long n = i + 1 < argc ? strtoll(argv[i + 1], &end, 10) : 0;
      if (i + 1 >= argc || end == argv[i + 1] || *end || n <= 0) {
        fprintf(stderr, "nimbra-run: --frames needs a number greater than 0 (see --help)\n");
        return 2;
      }
      max_frames = (uint64_t)n;
      ++i;
    } else if (a == "--fast") {
      fast = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "nimbra-run: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      ids.push_back(a);
    }
  }
  if (list) return list_streams(config);
  if (dry_run_asked) {
    if (!ids.empty()) {
      fprintf(stderr, "nimbra-run: --dry-run takes one stream id\n");
      return 2;
    }
    if (verbose) set_log_level(SINFO);
    return dry_run(config, dry_run_id, argc, argv);
  }
  // With --json, standard output carries the JSON lines only: what else is printed to
  // it (the library's own lines too) goes to standard error.
  FILE* say = json || detections || events ? stderr : stdout;
  FILE* json_out = stdout;
  if (json || detections || events) {
    fflush(stdout);
    const int fd = dup(STDOUT_FILENO);
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) json_out = f;
  }
  if (ids.empty()) ids = {"sample", "splice_cam"};

  // The library starts at warnings, or at NIMBRA_LOG_LEVEL; --verbose adds its progress lines.
  if (verbose) set_log_level(SINFO);
  g_stream_conf_file = config.c_str();
  stream_conf_file = config.c_str();
  add_soft_platform_path();
  gst_init(&argc, &argv);

  // Refuse unknown ids and a broken file before anything starts.
  std::vector<std::unique_ptr<StreamStats>> streams;
  for (const std::string& id : ids) {
    StreamIns ins;
    int rc;
    try {
      rc = get_properties(id, ins);
    } catch (const std::exception& e) {
      fprintf(stderr, "nimbra-run: bad configuration %s: %s\n", config.c_str(), one_line(e.what()).c_str());
      return 2;
    }
    if (rc != 0) {
      fprintf(stderr, "nimbra-run: stream id \"%s\" is not usable in %s (see --list)\n", id.c_str(), config.c_str());
      return 2;
    }
    if (ins.inputType == "splice" && !exists(splice_file)) {
      fprintf(stderr, "nimbra-run: stream \"%s\" is fed from %s, which does not exist (see --splice-file)\n",
              id.c_str(), splice_file.c_str());
      return 2;
    }
    auto st = std::make_unique<StreamStats>();
    st->id = id;
    st->kind = ins.inputType == "splice" ? "splice"
               : ins.saveMp4 || ins.networkPush ? "drawn"
                                                : "classic";
    streams.push_back(std::move(st));
  }

  ObjectTable objects;
  if (!objects_file.empty() && !load_objects(objects_file, objects)) return 2;

  // MQTT and /metrics when the configuration (or --metrics-port) asks for them.
  {
    Json::Value root;
    std::ifstream in(config);
    bool wanted = metrics_port_flag >= 0;
    try {
      if (in && (in >> root) && root.isObject())
        wanted = wanted || root.isMember("mqtt") || root.isMember("metricsPort");
    } catch (const std::exception&) {
    }
    if (wanted && start_event_services(config, metrics_port_flag) != 0) {
      fprintf(stderr, "nimbra-run: the event services could not start (see the message above)\n");
      return 2;
    }
    if (metrics_port() > 0) fprintf(stderr, "nimbra-run: serving /metrics on port %d\n", metrics_port());
  }
  // Every event is kept for printing until the main loop takes it.
  if (events) set_event_poll_capacity(1000000);
  for (auto& st : streams) configure_stream_events(st->id);
  std::mutex out_mutex;
  auto print_events = [&] {
    if (!events) return;
    std::vector<Event> batch;
    while (poll_events(batch, 1000, 0) > 0) {
      std::lock_guard<std::mutex> g(out_mutex);
      for (const Event& e : batch) fprintf(json_out, "%s\n", event_to_json(e).c_str());
      fflush(json_out);
      batch.clear();
    }
  };

  if (pipe(g_signal_pipe) != 0) return 1;
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::vector<std::thread> threads;
  for (auto& sp : streams) {
    StreamStats* st = sp.get();
    // The tracked objects of this stream, by frame index (empty: no --objects).
    std::map<int64_t, std::vector<DetectedObject>> own;
    for (const char* key : {"", st->id.c_str()}) {
      auto it = objects.find(key);
      if (it == objects.end()) continue;
      for (const auto& [frame, list] : it->second) own[frame].insert(own[frame].end(), list.begin(), list.end());
    }
    const bool feed = !objects_file.empty();
    threads.emplace_back([st, timestamp, splice_file, fast, max_frames, detections, json_out, own = std::move(own), feed] {
      const bool drawn = st->kind == "drawn";
      std::function<int8_t(const Image&)> cb = [st, timestamp, drawn, max_frames, detections, json_out, &own,
                                                feed](const Image& img) -> int8_t {
        if (detections) print_detections(img, json_out);
        if (feed) {
          // Every frame is fed, also those without objects: a track that is gone ends.
          static const std::vector<DetectedObject> none;
          auto it = own.find(img.frame_index);
          feed_event_frame(EventFrame{st->id, img.frame_index, img.pts, img.width, img.height, 0},
                           it == own.end() ? none : it->second);
        }
        if (drawn && img.data) {
          // Frame-push streams show what the program draws: a bar sweeping across.
          const int x0 = (int)((img.frame_index * 8) % (img.width > 0 ? img.width : 1));
          for (int y = 0; y < img.height; ++y) {
            uint8_t* row = img.data + (size_t)y * img.width * 3;
            memset(row, 40, (size_t)img.width * 3);
            for (int x = x0; x < x0 + 40 && x < img.width; ++x) row[x * 3] = 230;
          }
        }
        if (timestamp && img.data && img.format.empty()) draw_timestamp(img.data, img.width, img.height);
        st->width = img.width;
        st->height = img.height;
        if (++st->frames == max_frames) {
          // --frames reached: the main loop stops the stream now, not at its next round.
          const char wake = 2;
          ssize_t r = write(g_signal_pipe[1], &wake, 1);
          (void)r;
        }
        return 0;
      };
      int rc = start_stream(st->id, cb);
      if (st->kind == "splice" && rc == 0) {
        const bool fed = feed_splice(st->id, splice_file, fast, st->stop_feeding);
        rc = stop_splice_stream(st->id);
        if (!fed) rc = -1;
      }
      end_stream_events(st->id);
      st->result = rc;
      st->done = true;
    });
  }

  auto last = std::chrono::steady_clock::now();
  bool interrupted = false;
  const bool tty = isatty(STDOUT_FILENO) != 0;
  StatusTable table(tty);
  // One round of the status table or JSON lines. A stream that has ended is shown once
  // more with its final record and then left out (a table redrawn in place on a
  // terminal keeps it, as it floods nothing).
  auto report = [&]() {
    std::vector<StreamHealth> rows;
    for (auto& st : streams) {
      const bool ended = st->done;  // read before the record, so the record is the final one
      if (st->end_shown && !(tty && status)) continue;
      rows.push_back(health_of(*st));
      if (ended) st->end_shown = true;
    }
    if (rows.empty()) return;
    if (json) {
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      const double t = (double)now.tv_sec + now.tv_nsec / 1e9;
      for (const StreamHealth& h : rows) fprintf(json_out, "%s\n", nimbra_internal::health_to_json(h, t).c_str());
      fflush(json_out);
    } else {
      table.print(rows);
    }
  };
  for (;;) {
    bool all_done = true;
    for (auto& st : streams) all_done = all_done && st->done;
    if (all_done) break;
    pollfd pfd = {g_signal_pipe[0], POLLIN, 0};
    char c;
    if (poll(&pfd, 1, 200) > 0 && read(g_signal_pipe[0], &c, 1) == 1 && c == 1) {
      if (interrupted) {
        // A second Ctrl+C (or SIGTERM) while the streams drain: the user wants out now.
        fprintf(say, "nimbra-run: stopping at once; recordings may be incomplete\n");
        fflush(say);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        raise(SIGINT);
        _exit(130);
      }
      interrupted = true;
      g_stopping = true;
      fprintf(say, "nimbra-run: stopping...\n");
      fflush(say);
      for (auto& st : streams)
        if (st->kind != "splice") gstreamer_pipeline_shutdown(st->id);
    }
    // --frames: a stream that has had its frames is stopped the library's way (a
    // recording is finalised); the others go on.
    for (auto& st : streams) {
      if (!max_frames || st->stop_sent || st->done || st->frames < max_frames) continue;
      st->stop_sent = true;
      if (st->kind == "splice")
        st->stop_feeding = true;
      else
        gstreamer_pipeline_shutdown(st->id);
    }
    print_events();
    auto now = std::chrono::steady_clock::now();
    const double secs = std::chrono::duration<double>(now - last).count();
    if (secs >= 1.0 && (status || json)) {
      report();
      last = now;
    } else if (secs >= 1.0) {
      for (auto& st : streams) {
        if (st->end_shown) continue;  // its "(ended)" line has been printed
        const bool ended = st->done;
        const uint64_t f = st->frames;
        fprintf(say, "[%s] frames %llu  size %dx%d  %.1f fps%s\n", st->id.c_str(), (unsigned long long)f,
                st->width.load(), st->height.load(), (f - st->last_frames) / secs, ended ? "  (ended)" : "");
        st->last_frames = f;
        st->end_shown = ended;
      }
      fflush(say);
      last = now;
    }
  }
  for (auto& t : threads) t.join();
  // The clips the streams asked for before they ended are written, and their events shown.
  nimbra_internal::wait_event_clips(120);
  print_events();
  // The final record of every stream not shown since it ended, also of one that ended
  // within the first second; a terminal's table is redrawn once more.
  if (status || json) report();
  int failures = 0;
  for (auto& st : streams) {
    fprintf(say, "nimbra-run: [%s] ended with %d after %llu frames\n", st->id.c_str(), st->result.load(),
            (unsigned long long)st->frames.load());
    if (st->result != 0) ++failures;
  }
  return failures ? 1 : 0;
}
