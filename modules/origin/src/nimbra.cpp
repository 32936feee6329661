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
  for (const std::string& key : required) {
    if (params.find(key) == params.end()) {
      NLOG_ERROR("Missing required config key: %s", key.c_str());
      return -1;
    }
  }
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
  if (impl_->validate_required_param(type, params) != 0) return -1;
  StreamProperty& prop = impl_->prop;
  // Every record is filled completely before it is stored, so a refused value leaves
  // the engine as it was.
  switch (type) {
    case VideoEncode: {
      int32_t width, height;
      if (!task_int(params, "width", width) || !task_int(params, "height", height)) return -1;
      prop.outputType = task_text(params, "outputType");
      prop.outputAddr = task_text(params, "outputAddr");
      prop.encodeType = task_text(params, "encodeType", "H264");
      prop.width = width;
      prop.height = height;
      return 0;
    }
    case MlInference:
      prop.model = task_text(params, "Model");
      prop.mlModule = task_text(params, "MlModule");
      prop.labels = task_text(params, "Labels");
      return 0;
    case MultiVideoDecode: {
      InputStreamProperty in;
      if (!task_int(params, "width", in.width) || !task_int(params, "height", in.height)) return -1;
      in.inputType = task_text(params, "inputType");
      in.inputAddr = task_text(params, "inputAddr");
      in.decodeType = task_text(params, "decodeType", in.decodeType);
      in.subStreamId = task_text(params, "subStreamId");
      in.position = task_text(params, "position", in.position);
      in.dimensions = task_text(params, "dimensions", in.dimensions);
      in.crop = task_text(params, "crop");
      in.flipHorizontal = task_text(params, "flip-horizontal");
      in.flipVertical = task_text(params, "flip-vertical");
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
        if (!task_int(params, n.first, *n.second)) return -1;
      out.outputType = task_text(params, "outputType");
      out.outputAddr = task_text(params, "outputAddr");
      out.encodeType = task_text(params, "encodeType", out.encodeType);
      out.subStreamId = task_text(params, "subStreamId");
      out.logoPath = task_text(params, "logo_path");
      out.textStr = task_text(params, "text_str");
      out.textColor = task_text(params, "text_color", out.textColor);
      prop.outputStreams.push_back(std::move(out));
      return 0;
    }
    default:  // VideoIO: validated only
      return -1;
  }
}

void NimbraEngine::set_callback(TaskType, std::function<int8_t(const Image&)>&) {}

int NimbraEngine::start() {
  StreamProperty prop = impl_->prop;  // tasks added while it runs do not reach it
  switch (impl_->scenario) {
    case MergeToFile:
      NLOG_INFO("Pushing type is file only.");
      return start_stream_multi_merge(prop, true, 0);
    case MergeNoPush:
      return start_stream_multi_merge(prop, false, 0);
    case MergeToFileAndRtsp:
      NLOG_INFO("Pushing type is file+rtsp.");
      return start_stream_multi_merge(prop, true, 1);
    case MergeToRtsp:
      NLOG_INFO("Pushing type is rtsp.");
      return start_stream_multi_merge(prop, true, 2);
    default:
      return 0;
  }
}

void NimbraEngine::stop() { stop_multi_merge(); }

}  // namespace Nimbra
}  // namespace Velkor
