#define NIMBRA_MODULE "modules/origin/src/nimbra"
#include "nimbra.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <list>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <set>
#include <thread>

#include "StreamBuild.h"
#include "StreamBuildAudio.h"
#include "StreamBuildMultiMerge.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamLog.h"
#include "StreamRegistry.h"
#include "StreamRollingSave.h"

namespace nimbra_internal {
std::atomic<int> g_log_level{1};
}

namespace Velkor {
namespace Nimbra {

void set_log_level(GSTLogLevel level) {
  nimbra_internal::g_log_level = level;
  Quilog::LogLevel q;
  switch (level) {
    case SINFO: q = static_cast<Quilog::LogLevel>(0); break;
    case SWARNING: q = static_cast<Quilog::LogLevel>(1); break;
    case SERROR: q = static_cast<Quilog::LogLevel>(2); break;
    case SDEBUG: q = static_cast<Quilog::LogLevel>(5); break;
    case SOFF: q = static_cast<Quilog::LogLevel>(4); break;
    default: q = static_cast<Quilog::LogLevel>(0); break;
  }
  Quilog::clog_set_log_level("nimbra", q);
}

void clogger(const char* destinationPath) { Quilog::clogger("nimbra", destinationPath, 2); }

int log_level_from_text(const char* text) {
  if (!text) return -1;
  std::string t(text);
  while (!t.empty() && isspace((unsigned char)t.back())) t.pop_back();
  size_t first = 0;
  while (first < t.size() && isspace((unsigned char)t[first])) ++first;
  t = t.substr(first);
  for (char& c : t) c = (char)tolower((unsigned char)c);
  if (t == "info" || t == "sinfo" || t == "0") return SINFO;
  if (t == "warning" || t == "warn" || t == "swarning" || t == "1") return SWARNING;
  if (t == "error" || t == "serror" || t == "2") return SERROR;
  if (t == "debug" || t == "sdebug" || t == "3") return SDEBUG;
  if (t == "off" || t == "soff" || t == "none" || t == "4") return SOFF;
  return -1;
}

}  // namespace Nimbra
}  // namespace Velkor

namespace {

// The library's own threshold when it is loaded: warnings and errors only, so a program
// that streams is quiet unless something goes wrong. NIMBRA_LOG_LEVEL raises (or lowers)
// it for a run without a rebuild; set_log_level() overrides both later.
const bool g_initial_log_level = [] {
  using namespace Velkor::Nimbra;
  const char* env = getenv("NIMBRA_LOG_LEVEL");
  const int wanted = log_level_from_text(env);
  set_log_level(wanted >= 0 ? static_cast<GSTLogLevel>(wanted) : SWARNING);
  if (env && *env && wanted < 0)
    NLOG_WARN("NIMBRA_LOG_LEVEL=\"%s\" is not a level (info, warning, error, debug or off); warnings are shown.",
              env);
  return true;
}();

}  // namespace

// ---------------------------------------------------------------------------------
// Stream API

namespace Velkor {
namespace Nimbra {

namespace {

// outputType -> StreamType; -2 when "mp4" lacks its address.
int output_kind(const std::string& type, const std::string& addr) {
  if (type == "rtsp") return RTSPSINK;
  if (type == "wayland") return WAYLANDSINK;
  if (type == "rtmp") return RTMPSINK;
  if (type == "mp4") {
    if (addr.empty()) {
      NLOG_ERROR("Mandatory parameter outputAddr missing in configuration file for saving mp4 file.");
      return -2;
    }
    return MP4SINK;
  }
  return EMPTY;
}

int dispatch_input(const std::string& input_type, StreamIns& ins, std::function<int8_t(const Image&)>& callback,
                   StreamType type, const std::string& id) {
  if (input_type == "file")
    return start_stream_input_file(ins.inputAddr, std::move(callback), type, ins.outputAddr, ins.width, ins.height,
                                   id);
  if (input_type == "rtsp")
    return start_stream_input_rtsp(ins.inputAddr, std::move(callback), type, ins.outputAddr, ins.width, ins.height,
                                   id);
  if (input_type == "rtmp")
    return start_stream_input_rtmp(ins.inputAddr, std::move(callback), type, ins.outputAddr, ins.width, ins.height,
                                   id);
  if (input_type == "usbcam") return start_stream_input_usbcam(ins, std::move(callback), type, id);
  return -1;
}


// A launcher takes the callback by reference and empties it; the by-value start
// functions hand their own copy.
int launch_classic(StreamInput* input, StreamOutput* output, const std::string& id,
                   std::function<int8_t(const Image&)>& callback) {
  return startStream(input, output, id, callback);
}

}  // namespace

namespace {
int start_claimed(const std::string& stream_id, StreamIns& ins, std::function<int8_t(const Image&)>& callback);
int start_record(StreamIns& ins, StreamProperty& prop, std::function<int8_t(const Image&)>& callback);

// A start that failed leaves its stream reported as failed once it has ended.
int settle(nimbra_internal::StreamClaim& claim, int rc) {
  if (rc != 0 && claim) claim->metrics()->set_failed("");
  return rc;
}
}  // namespace

int start_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback) {
  StreamIns ins;
  ins.streamId = stream_id;
  if (get_properties(stream_id, ins) == -1) {
    NLOG_ERROR("There is no related stream information.");
    return -1;
  }
  if (ins.inputType == "splice") return start_splice_stream(stream_id, callback);
  // The id is claimed before anything is built: a second start of a running id is
  // refused, and a stop that comes while this one is still starting is kept.
  auto claim = nimbra_internal::claim_stream(stream_id, nimbra_internal::StreamKind::Classic);
  if (!claim) return -1;
  return settle(claim, start_claimed(stream_id, ins, callback));
}

namespace {
int start_claimed(const std::string& stream_id, StreamIns& ins, std::function<int8_t(const Image&)>& callback) {
  if (ins.audio) {
    NLOG_INFO("Start to launch audio stream. stream_id: %s", stream_id.c_str());
    return start_audio_stream(stream_id, callback);
  }
  if (ins.rollingsave) {
    NLOG_INFO("Start rolling save. stream_id :%s", stream_id.c_str());
    callback = nullptr;  // the recorder delivers no frames
    return start_rolling_save(stream_id);
  }
  if (ins.saveMp4) {
    if (ins.width == 0 || ins.height == 0) {
      NLOG_ERROR("Mandatory parameter missing in configuration file.");
      return -1;
    }
    init_share_mem_mp4(ins);
    return start_save_mp4(stream_id, callback);
  }
  if (ins.networkPush) {
    if (ins.width == 0 || ins.height == 0 || ins.fps == 0) {
      NLOG_ERROR("Mandatory parameter missing in configuration file.");
      return -1;
    }
    init_share_mem_mp4(ins);
    return start_network_push(stream_id, callback);
  }
  const int kind = output_kind(ins.outputType, ins.outputAddr);
  if (kind < 0) return -1;
  return dispatch_input(ins.inputType, ins, callback, (StreamType)kind, stream_id);
}
}  // namespace

int start(StreamIns& ins, std::function<int8_t(const Image&)>& callback) {
  StreamProperty prop;
  sync_data(ins, prop);
  if (ins.inputType == "splice") return start_splice_stream(ins.streamId, callback);
  nimbra_internal::StreamClaim claim;
  if (ins.streamId != "empty") {  // "empty" is replaced by the input's default id later
    claim = nimbra_internal::claim_stream(ins.streamId, nimbra_internal::StreamKind::Classic);
    if (!claim) return -1;
  }
  return settle(claim, start_record(ins, prop, callback));
}

namespace {
int start_record(StreamIns& ins, StreamProperty& prop, std::function<int8_t(const Image&)>& callback) {
  if (ins.saveMp4) {
    if (ins.width == 0 || ins.height == 0) {
      NLOG_ERROR("Mandatory parameter missing in configuration file.");
      return -1;
    }
    init_share_mem_mp4(ins);
    return start_save_mp4_intern(prop, callback);
  }
  if (ins.networkPush) {
    if (ins.width == 0 || ins.height == 0 || ins.fps == 0) {
      NLOG_ERROR("Mandatory parameter missing in configuration file.");
      return -1;
    }
    init_share_mem_mp4(ins);
    return start_network_intern(prop, callback);
  }
  const int kind = output_kind(ins.outputType, ins.outputAddr);
  if (kind < 0) return -1;
  return dispatch_input(ins.inputType, ins, callback, (StreamType)kind, ins.streamId);
}
}  // namespace

namespace {

// Log lines of one input kind, per output; null: the output is refused without a line.
struct OutputLines {
  const char* empty;
  const char* wayland;
  const char* rtsp;
  const char* mp4;
  bool refuse_other_loudly;
  bool size_in_message;
};

// Builds the output group for `type` and runs the classic launcher, or runs the USB one
// when `usb` is given.
int run_with_output(StreamInput* input, const StreamProperty* usb, StreamType type, const std::string& outputAddr,
                    int width, int height, const std::string& id, std::function<int8_t(const Image&)>& callback,
                    const OutputLines& lines) {
  auto launch = [&](StreamOutput* out) {
    if (out) out->set_stream_id(id);
    return usb ? startUsbStream(*usb, out, id, callback) : launch_classic(input, out, id, callback);
  };
  auto say = [&](const char* line) {
    if (lines.size_in_message)
      NLOG_INFO(line, width, height);
    else
      NLOG_INFO("%s", line);
  };
  switch (type) {
    case EMPTY:
      NLOG_INFO("%s", lines.empty);
      return launch(nullptr);
    case WAYLANDSINK: {
      say(lines.wayland);
      StreamOutputWaylandsink out(0, 0, width, height);
      return launch(&out);
    }
    case RTSPSINK: {
      say(lines.rtsp);
      StreamOutputRtspsink out(outputAddr, width, height);
      return launch(&out);
    }
    case MP4SINK: {
      NLOG_INFO("%s", lines.mp4);
      StreamOutputMp4sink out(outputAddr, width, height);
      return launch(&out);
    }
    default:
      if (lines.refuse_other_loudly) NLOG_ERROR("Output stream type is not supported. Exit.");
      return -1;
  }
}

const OutputLines kFileLines = {"FILE - To display stream via waylandsink. ", "FILE - To display file.",
                                "FILE - To display stream via rtsp.", "FILE - To save mp4.", false, false};
const OutputLines kRtspLines = {"RTSP - Doesn't display stream(autosink).",
                                "RTSP - To display stream via waylandsink. ", "RTSP - To display stream via rtsp. ",
                                "RTSP - To save mp4.", true, false};
const OutputLines kRtmpLines = {"RTMP - Doesn't display stream(autosink).",
                                "RTMP - To display rtmp stream via waylandsink. width: %d, height: %d",
                                "RTMP - To display rtmp stream via rtsp. width: %d, height: %d", "RTSP - To save mp4.",
                                false, true};

// The id a pipeline is registered under when the caller left the record's "empty".
std::string pipeline_id(const std::string& id, StreamType type, const char* fallback) {
  if (id != "empty") return id;
  return type == MP4SINK ? "nimbra_file" : fallback;
}

}  // namespace

int start_stream_input_file(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  NLOG_INFO("Start stream from input file.");
  stream_id = pipeline_id(stream_id, type, "nimbra_file");
  StreamInputFile input(inputAddr, stream_id);
  return run_with_output(&input, nullptr, type, outputAddr, width, height, stream_id, callback, kFileLines);
}

int start_stream_input_rtsp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  stream_id = pipeline_id(stream_id, type, "nimbra_rtsp");
  StreamInputRtsp input(inputAddr, stream_id);
  return run_with_output(&input, nullptr, type, outputAddr, width, height, stream_id, callback, kRtspLines);
}

int start_stream_input_rtmp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  stream_id = pipeline_id(stream_id, type, "nimbra_rtmp");
  StreamInputRtmp input(inputAddr, stream_id);
  return run_with_output(&input, nullptr, type, outputAddr, width, height, stream_id, callback, kRtmpLines);
}

int start_stream_input_usbcam(StreamIns& ins, std::function<int8_t(const Image&)> callback, StreamType type,
                              std::string stream_id) {
  StreamProperty prop;
  sync_data(ins, prop);
  stream_id = pipeline_id(stream_id, type, "nimbra_usb");
  return run_with_output(nullptr, &prop, type, ins.outputAddr, ins.width, ins.height, stream_id, callback,
                         kRtspLines);
}

int start_audio_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback) {
  NLOG_INFO("start_audio_stream - stream_id: %s", stream_id.c_str());
  StreamBuildAudio audio(stream_id);
  return audio.launch_stream(callback);
}

int start_split_stream(std::string stream_id_1, std::function<int8_t(const Image&)>& callback_1,
                       std::string stream_id_2, std::function<int8_t(const Image&)>& callback_2) {
  StreamIns first, second;
  first.streamId = stream_id_1;
  second.streamId = stream_id_2;
  if (get_properties(stream_id_1, first) == -1 || get_properties(stream_id_2, second) == -1) {
    NLOG_ERROR("There is no related stream information.");
    return -1;
  }
  // An entry without "pStreamId" reads as empty: no parent named, so no common source.
  if (first.pStreamId != second.pStreamId || first.pStreamId == "empty_p" || first.pStreamId.empty()) {
    NLOG_ERROR("The input stream definition are not in the same source.");
    return -1;
  }
  if (first.inputAddr != second.inputAddr || first.inputType != second.inputType ||
      first.decodeType != second.decodeType) {
    NLOG_ERROR("The input stream definition are not the same.");
    return -1;
  }
  return startStream(first, callback_1, second, callback_2);
}

void gstreamer_pipeline_shutdown(std::string stream_id) {
  // Every kind of stream is found in the registry and stopped by its own stop action;
  // the configuration file plays no part in a stop.
  send_eos(stream_id);
}

bool shutdown_all_and_wait(double timeout_seconds) {
  send_eos("all_stream");
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds((int64_t)(std::max(0.0, timeout_seconds) * 1000.0));
  // The stops drain on the streams' own threads; nothing signals the last one's end here.
  while (!nimbra_internal::running_stream_ids().empty()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int set_config_path(const std::string& path) {
  // The readers keep no copy of the path, and a stream may be reading it on another
  // thread right now: every path ever set stays allocated for the life of the process.
  static std::mutex guard;
  static std::list<std::string> kept;
  struct stat st;
  std::ifstream probe(path);
  if (path.empty() || !probe || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    NLOG_ERROR("Configuration file %s cannot be opened for reading; still using %s.", path.c_str(),
               g_stream_conf_file ? g_stream_conf_file : "(none)");
    return -1;
  }
  std::lock_guard<std::mutex> lock(guard);
  kept.push_back(path);
  g_stream_conf_file = kept.back().c_str();
  stream_conf_file = kept.back().c_str();
  return 0;
}

std::string get_config_path() { return g_stream_conf_file ? g_stream_conf_file : ""; }

int get_stream_status() { return -1; }

cv::Mat get_data(int rows, int cols, char* data) {
  NLOG_INFO("Convert image from buffer to Mat object. g_retrieve_idx: %ld", 0L);
  cv::Mat view(rows, cols, CV_8UC3, data, (size_t)cols * 3);
  return view.clone();
}

namespace {
int image_to_mat(cv::Mat& out, const Image& image, bool crop) {
  if (!image.data) {
    NLOG_ERROR("Input data is empty.");
    return -1;
  }
  const int src_w = image.src_width > 0 ? image.src_width : image.width;
  const int src_h = image.src_height > 0 ? image.src_height : image.height;
  if (src_w <= 0 || src_h <= 0 || image.size < (size_t)src_w * src_h * 3 ||
      (crop && (image.width <= 0 || image.height <= 0 || image.width > src_w || image.height > src_h))) {
    NLOG_ERROR("Image size %dx%d (buffer %dx%d, %zu bytes) does not match its data.", image.width, image.height,
               src_w, src_h, image.size);
    return -1;
  }
  cv::Mat view(src_h, src_w, CV_8UC3, image.data);
  cv::cvtColor(view, out, cv::COLOR_BGR2RGB);
  if (crop) out = out(cv::Rect(0, 0, image.width, image.height));
  return 0;
}
}  // namespace

int v4l2_get_mat(cv::Mat& out, Image image) { return image_to_mat(out, image, true); }

int v4l2_get_mat_ori(cv::Mat& out, Image image) { return image_to_mat(out, image, false); }

int get_rolling_save_video(std::string stream_id, std::string merge_args, int wait_seconds) {
  if (!nimbra_internal::rolling_id_is_safe(stream_id)) {
    NLOG_ERROR("get_rolling_save_video - stream id \"%s\" cannot name a directory under /tmp/rolling/.",
               stream_id.c_str());
    return -1;
  }
  if (is_concate_video_running(stream_id))
    NLOG_WARN("get_rolling_save_video - concate_video.py is already running for stream_id: %s", stream_id.c_str());
  std::thread(merge_rolling_save_video, stream_id, merge_args, wait_seconds).detach();
  return 0;
}

}  // namespace Nimbra
}  // namespace Velkor

// ---------------------------------------------------------------------------------
// Engine

namespace Velkor {
namespace Nimbra {

using TaskParams = std::unordered_map<std::string, std::string>;

struct NimbraEngine::Impl {
  explicit Impl(ScenarioType s) : scenario(s) {}
  int validate_required_param(TaskType type, TaskParams& params);

  int32_t scenario;
  StreamProperty prop;
};

namespace {

const char* task_name(TaskType type) {
  switch (type) {
    case MultiVideoDecode: return "MultiVideoDecode";
    case MultiVideoEncode: return "MultiVideoEncode";
    case VideoIO: return "VideoIO";
    case InferenceCB: return "InferenceCB";
    case VideoEncode: return "VideoEncode";
    case CustomCB: return "CustomCB";
    case MlInference: return "MlInference";
  }
  return "unknown";
}

// The keys each task reads, in their own spellings (which mix camelCase, snake_case and
// hyphens). Empty for tasks that take none.
const std::vector<std::string>& task_keys(TaskType type) {
  static const std::vector<std::string> none;
  static const std::vector<std::string> decode = {"subStreamId", "inputType", "inputAddr", "decodeType",
                                                  "width",       "height",    "position",  "dimensions",
                                                  "crop",        "flip-horizontal", "flip-vertical"};
  static const std::vector<std::string> encode = {
      "subStreamId", "outputType", "outputAddr", "encodeType", "width", "height", "overlay_switch",
      "logo_path", "logo_width", "logo_height", "logo_loc_x", "logo_loc_y", "logo_loc_width", "logo_loc_height",
      "text_str", "text_loc_x", "text_loc_y", "text_font_size", "text_color"};
  static const std::vector<std::string> io = {"IOType", "inputType", "inputAddr", "decodeType"};
  static const std::vector<std::string> main_out = {"outputType", "outputAddr", "encodeType", "width", "height"};
  static const std::vector<std::string> ml = {"Model", "MlModule", "Labels"};
  switch (type) {
    case MultiVideoDecode: return decode;
    case MultiVideoEncode: return encode;
    case VideoIO: return io;
    case VideoEncode: return main_out;
    case MlInference: return ml;
    default: return none;
  }
}

// A key as written without case, '_' or '-': "logoPath", "logo-path" and "logo_path" are
// the same key, so is "model" for "Model".
std::string key_form(const std::string& key) {
  std::string out;
  for (char c : key)
    if (c != '_' && c != '-') out += (char)tolower((unsigned char)c);
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// Levenshtein distance of two key forms, for "did you mean".
size_t key_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0u : 1u)});
      diag = up;
    }
  }
  return row[b.size()];
}

// Copies `params` into `out` under the keys' own spellings. Every key the task does not
// know, and a key given twice in two spellings, is one error line; false then.
bool normalise_keys(TaskType type, const TaskParams& params, TaskParams& out) {
  const std::vector<std::string>& known = task_keys(type);
  if (known.empty()) {  // callback tasks and unknown types: nothing is read
    out = params;
    return true;
  }
  bool ok = true;
  std::vector<std::pair<std::string, std::string>> sorted(params.begin(), params.end());
  std::sort(sorted.begin(), sorted.end());  // one order for the error lines
  std::unordered_map<std::string, std::string> given_as;
  for (const auto& kv : sorted) {
    const std::string form = key_form(kv.first);
    auto it = std::find_if(known.begin(), known.end(), [&](const std::string& k) { return key_form(k) == form; });
    if (it == known.end()) {
      std::string best;
      size_t best_d = SIZE_MAX;
      for (const std::string& k : known) {
        const size_t d = key_distance(form, key_form(k));
        if (d < best_d) best_d = d, best = k;
      }
      if (best_d <= std::max<size_t>(2, form.size() / 4))
        NLOG_ERROR("%s task: unknown key \"%s\" (did you mean \"%s\"?)", task_name(type), kv.first.c_str(),
                   best.c_str());
      else
        NLOG_ERROR("%s task: unknown key \"%s\"", task_name(type), kv.first.c_str());
      ok = false;
      continue;
    }
    auto seen = given_as.find(*it);
    if (seen != given_as.end()) {
      NLOG_ERROR("%s task: key \"%s\" is given twice, as \"%s\" and as \"%s\"", task_name(type), it->c_str(),
                 seen->second.c_str(), kv.first.c_str());
      ok = false;
      continue;
    }
    given_as[*it] = kv.first;
    out[*it] = kv.second;
  }
  return ok;
}

// Base-10 text to int as the task values are written: leading blanks skipped, trailing
// text ignored. False (one error line naming the key) when the value does not start
// with a number or does not fit, so a bad task is refused instead of throwing.
bool task_int(const TaskParams& params, const char* key, int32_t& out) {
  auto it = params.find(key);
  if (it == params.end()) {
    out = 0;
    return true;
  }
  const char* text = it->second.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
    NLOG_ERROR("Invalid number for config key %s: \"%s\"", key, it->second.c_str());
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

std::string task_text(const TaskParams& params, const char* key, const std::string& fallback = std::string()) {
  auto it = params.find(key);
  return it == params.end() ? fallback : it->second;
}

// "<a, b>" (or "<a, b, c, d>"): `count` integers between angle brackets.
bool int_tuple(const std::string& text, size_t count, std::vector<long>& out) {
  out.clear();
  size_t i = 0;
  auto blanks = [&] {
    while (i < text.size() && isspace((unsigned char)text[i])) ++i;
  };
  blanks();
  if (i >= text.size() || text[i] != '<') return false;
  ++i;
  while (true) {
    blanks();
    const char* start = text.c_str() + i;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    out.push_back(v);
    i += (size_t)(end - start);
    blanks();
    if (i < text.size() && text[i] == ',') {
      ++i;
      continue;
    }
    break;
  }
  if (i >= text.size() || text[i] != '>') return false;
  ++i;
  blanks();
  return i == text.size() && out.size() == count;
}

bool codec_value(const std::string& v, std::string& canonical) {
  const std::string l = lower(v);
  if (l == "h264" || l == "h265") {
    canonical = l == "h264" ? "H264" : "H265";
    return true;
  }
  return false;
}

// "File" is the recording output's type; "mp4" and "file" in any case mean it too.
bool is_file_output(const std::string& v) {
  const std::string l = lower(v);
  return l == "file" || l == "mp4";
}

bool is_rtsp_url(const std::string& v) {
  const std::string l = lower(v);
  return l.rfind("rtsp://", 0) == 0 || l.rfind("rtsps://", 0) == 0;
}

bool is_readable_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

// The values of a task whose keys are all there: one error line per wrong value; the
// codec and output-type aliases are written back in their specified spellings.
bool check_values(TaskType type, TaskParams& t) {
  const char* task = task_name(type);
  bool ok = true;
  auto bad = [&](const char* key, const std::string& why) {
    NLOG_ERROR("%s task: \"%s\" is \"%s\": %s", task, key, task_text(t, key).c_str(), why.c_str());
    ok = false;
  };
  auto codec = [&](const char* key) {
    auto it = t.find(key);
    if (it == t.end()) return;
    std::string canonical;
    if (codec_value(it->second, canonical))
      it->second = canonical;
    else
      bad(key, "must be \"H264\" or \"H265\"");
  };
  auto number = [&](const char* key, long min) {
    int32_t v = 0;
    if (t.find(key) == t.end()) return;
    if (!task_int(t, key, v))
      ok = false;
    else if (v < min)
      bad(key, min == 1 ? "must be greater than 0" : "must not be negative");
  };
  auto tuple = [&](const char* key, size_t count, bool sizes) {
    auto it = t.find(key);
    if (it == t.end()) return;
    std::vector<long> v;
    if (!int_tuple(it->second, count, v)) {
      bad(key, count == 2 ? "must be two numbers written \"<a, b>\"" : "must be four numbers written \"<x, y, w, h>\"");
      return;
    }
    for (size_t i = 0; i < v.size(); ++i)
      if (v[i] < 0 || (sizes && i >= v.size() - 2 && v[i] == 0)) {
        bad(key, sizes ? "needs a size greater than 0 and no negative number" : "must not hold a negative number");
        return;
      }
  };
  auto flag = [&](const char* key) {
    auto it = t.find(key);
    if (it == t.end()) return;
    const std::string l = lower(it->second);
    if (l != "true" && l != "false" && l != "1" && l != "0" && l != "yes" && l != "no") bad(key, "must be true or false");
  };
  auto output_type = [&](bool with_push) {
    auto it = t.find("outputType");
    if (it == t.end()) return;
    if (is_file_output(it->second))
      it->second = "File";
    else if (with_push && lower(it->second) == "rtsp")
      it->second = "rtsp";
    else
      bad("outputType", "must be \"File\" (a recording; \"mp4\" is taken too) or \"rtsp\" (a push)");
  };

  switch (type) {
    case MultiVideoDecode: {
      auto it = t.find("inputType");
      if (it != t.end()) {
        if (lower(it->second) == "rtsp")
          it->second = "rtsp";
        else
          bad("inputType", "the composition reads RTSP cameras only (\"rtsp\")");
      }
      if (!is_rtsp_url(task_text(t, "inputAddr"))) bad("inputAddr", "must be an rtsp:// address");
      codec("decodeType");
      number("width", 1);
      number("height", 1);
      tuple("position", 2, false);
      tuple("dimensions", 2, true);
      tuple("crop", 4, true);
      flag("flip-horizontal");
      flag("flip-vertical");
      break;
    }
    case MultiVideoEncode: {
      output_type(true);
      const std::string out_type = task_text(t, "outputType");
      const std::string addr = task_text(t, "outputAddr");
      if (out_type == "File" && addr.empty()) bad("outputAddr", "a recording needs the path of its MP4 file");
      if (out_type == "rtsp" && !is_rtsp_url(addr)) bad("outputAddr", "a push needs an rtsp:// address");
      codec("encodeType");
      for (const char* key : {"width", "height", "overlay_switch", "logo_width", "logo_height", "logo_loc_x",
                              "logo_loc_y", "logo_loc_width", "logo_loc_height", "text_loc_x", "text_loc_y",
                              "text_font_size"})
        number(key, 0);
      const std::string logo = task_text(t, "logo_path");
      if (!logo.empty() && !is_readable_file(logo)) bad("logo_path", "no such image file");
      const std::string colour = task_text(t, "text_color");
      if (t.count("text_color")) {
        bool hex = colour.size() > 2 && colour[0] == '0' && (colour[1] == 'x' || colour[1] == 'X');
        for (size_t i = 2; hex && i < colour.size(); ++i) hex = isxdigit((unsigned char)colour[i]) != 0;
        if (!hex) bad("text_color", "must be a number written 0xRRGGBBAA");
      }
      break;
    }
    case VideoEncode:
      output_type(true);
      codec("encodeType");
      // The composed picture's size (the canvas) when both are given; 0 leaves it to
      // the first camera.
      number("width", 0);
      number("height", 0);
      break;
    case MlInference:
      if (!is_readable_file(task_text(t, "Model"))) bad("Model", "no such model file");
      if (task_text(t, "MlModule").empty()) bad("MlModule", "must name the detection module (\"yolov8\", say)");
      if (!is_readable_file(task_text(t, "Labels"))) bad("Labels", "no such labels file");
      break;
    default:
      break;
  }
  return ok;
}

}  // namespace

int NimbraEngine::Impl::validate_required_param(TaskType type, TaskParams& params) {
  NLOG_INFO("To execute validate_required_param: %d", static_cast<int>(type));
  std::set<std::string> required;
  switch (type) {
    case MultiVideoDecode:
      required = {"subStreamId", "inputType", "inputAddr", "decodeType", "width", "height"};
      break;
    case MultiVideoEncode:
      required = {"subStreamId", "outputType", "outputAddr", "encodeType", "width", "height"};
      break;
    case VideoIO:
      required = {"inputType", "inputAddr", "decodeType"};
      break;
    case InferenceCB:
      NLOG_INFO("Input task type is InferenceCB, does NOT need to add task type, just set it.");
      return 1;
    case VideoEncode:
      required = {"outputType", "outputAddr", "encodeType"};
      break;
    case CustomCB:
      NLOG_INFO("Input task type is CustomCB, does NOT need to add task type, just set it.");
      return 1;
    case MlInference:
      required = {"Model", "MlModule", "Labels"};
      break;
    default:
      NLOG_ERROR("Unknown TaskType: %d", static_cast<int>(type));
      return -1;
  }
  // Every missing key has its line, so one round of corrections is enough.
  bool missing = false;
  for (const std::string& key : required) {
    if (params.find(key) == params.end()) {
      NLOG_ERROR("Missing required config key: %s (%s task)", key.c_str(), task_name(type));
      missing = true;
    }
  }
  if (missing) return -1;
  if (type == VideoIO && task_text(params, "IOType") != "Rtsp") {
    NLOG_ERROR("Invalid IOType, must be 'Rtsp'");
    return -1;
  }
  NLOG_INFO("Task config validated successfully.");
  return 0;
}

NimbraEngine::NimbraEngine(ScenarioType scenario) : impl_(new Impl(scenario)) {}

NimbraEngine::~NimbraEngine() = default;

int NimbraEngine::add_task(TaskType type, TaskParams& params) {
  // The caller's map is left as it is; the task is read from a copy under the keys' own
  // spellings.
  TaskParams task;
  const bool keys_ok = normalise_keys(type, params, task);
  if (impl_->validate_required_param(type, task) != 0 || !keys_ok) return -1;
  if (!check_values(type, task)) return -1;
  const TaskParams& p = task;
  StreamProperty& prop = impl_->prop;
  // Every record is filled completely before it is stored, so a refused value leaves
  // the engine as it was.
  switch (type) {
    case VideoEncode: {
      int32_t width, height;
      if (!task_int(p, "width", width) || !task_int(p, "height", height)) return -1;
      prop.outputType = task_text(p, "outputType");
      prop.outputAddr = task_text(p, "outputAddr");
      prop.encodeType = task_text(p, "encodeType", "H264");
      prop.width = width;
      prop.height = height;
      return 0;
    }
    case MlInference:
      prop.model = task_text(p, "Model");
      prop.mlModule = task_text(p, "MlModule");
      prop.labels = task_text(p, "Labels");
      return 0;
    case MultiVideoDecode: {
      InputStreamProperty in;
      if (!task_int(p, "width", in.width) || !task_int(p, "height", in.height)) return -1;
      in.inputType = task_text(p, "inputType");
      in.inputAddr = task_text(p, "inputAddr");
      in.decodeType = task_text(p, "decodeType", in.decodeType);
      in.subStreamId = task_text(p, "subStreamId");
      in.position = task_text(p, "position", in.position);
      in.dimensions = task_text(p, "dimensions", in.dimensions);
      in.crop = task_text(p, "crop");
      in.flipHorizontal = task_text(p, "flip-horizontal");
      in.flipVertical = task_text(p, "flip-vertical");
      prop.inputStreams.push_back(std::move(in));
      return 0;
    }
    case MultiVideoEncode: {
      NLOG_INFO("MultiVideoEncode data filling.");
      OutputStreamProperty out;
      const std::pair<const char*, int32_t*> numbers[] = {
          {"width", &out.width},
          {"height", &out.height},
          {"overlay_switch", &out.overlaySwitch},
          {"logo_width", &out.logoWidth},
          {"logo_height", &out.logoHeight},
          {"logo_loc_x", &out.logoLocX},
          {"logo_loc_y", &out.logoLocY},
          {"logo_loc_width", &out.logoLocWidth},
          {"logo_loc_height", &out.logoLocHeight},
          {"text_loc_x", &out.textLocX},
          {"text_loc_y", &out.textLocY},
          {"text_font_size", &out.textFontSize},
      };
      for (const auto& n : numbers)
        if (!task_int(p, n.first, *n.second)) return -1;
      out.outputType = task_text(p, "outputType");
      out.outputAddr = task_text(p, "outputAddr");
      out.encodeType = task_text(p, "encodeType", out.encodeType);
      out.subStreamId = task_text(p, "subStreamId");
      out.logoPath = task_text(p, "logo_path");
      out.textStr = task_text(p, "text_str");
      out.textColor = task_text(p, "text_color", out.textColor);
      prop.outputStreams.push_back(std::move(out));
      return 0;
    }
    default:  // VideoIO: validated only
      return -1;
  }
}

namespace {

// What a scenario needs of the tasks, checked before anything is built: every missing
// piece is one error line. false when the composition cannot run.
bool composition_ready(const StreamProperty& prop, bool records, bool pushes) {
  bool ok = true;
  if (prop.inputStreams.size() < 4) {
    NLOG_ERROR("Multi-camera composition needs 4 inputs, the task list has %zu.", prop.inputStreams.size());
    ok = false;
  } else if (prop.inputStreams.size() > 4) {
    NLOG_WARN("The composition shows 4 cameras; the %zu MultiVideoDecode tasks after the fourth are not used.",
              prop.inputStreams.size() - 4);
  }
  const OutputStreamProperty* record = nullptr;
  const OutputStreamProperty* push = nullptr;
  for (const OutputStreamProperty& out : prop.outputStreams) (out.outputType == "File" ? record : push) = &out;
  if (records && !record) {
    NLOG_ERROR("This scenario records to a file, but no MultiVideoEncode task has outputType \"File\" (or \"mp4\").");
    ok = false;
  }
  if (pushes && !push) {
    NLOG_ERROR("This scenario pushes by RTSP, but no MultiVideoEncode task has outputType \"rtsp\".");
    ok = false;
  }
  if (!records && record) NLOG_WARN("This scenario records nothing; the \"File\" output %s is not used.", record->outputAddr.c_str());
  if (!pushes && push) NLOG_WARN("This scenario pushes nothing; the \"rtsp\" output %s is not used.", push->outputAddr.c_str());
  if (records && record) {
    const std::string& path = record->outputAddr;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      NLOG_ERROR("The recording %s cannot be written: its directory %s does not exist.", path.c_str(), dir.c_str());
      ok = false;
    }
  }
  if (ok) {
    if (prop.model.empty()) NLOG_INFO("No MlInference task: the composition runs without detection.");
    if (prop.width > 0 && prop.height > 0)
      NLOG_INFO("Composed picture: %dx%d (the VideoEncode task's size).", prop.width, prop.height);
    else
      NLOG_INFO("Composed picture: %dx%d (the first camera's size).", prop.inputStreams[0].width,
                prop.inputStreams[0].height);
  }
  return ok;
}

}  // namespace

void NimbraEngine::set_callback(TaskType, std::function<int8_t(const Image&)>&) {}

int NimbraEngine::start() {
  StreamProperty prop = impl_->prop;  // tasks added while it runs do not reach it
  bool split = true, records = true, pushes = false;
  int mode = 0;
  switch (impl_->scenario) {
    case MergeToFile:
      NLOG_INFO("Pushing type is file only.");
      break;
    case MergeNoPush:
      split = false;
      break;
    case MergeToFileAndRtsp:
      NLOG_INFO("Pushing type is file+rtsp.");
      mode = 1;
      pushes = true;
      break;
    case MergeToRtsp:
      NLOG_INFO("Pushing type is rtsp.");
      mode = 2;
      records = false;
      pushes = true;
      break;
    default:
      return 0;
  }
  if (!composition_ready(prop, records, pushes)) return -1;
  return start_stream_multi_merge(prop, split, mode);
}

void NimbraEngine::stop() { stop_multi_merge(); }

}  // namespace Nimbra
}  // namespace Velkor
