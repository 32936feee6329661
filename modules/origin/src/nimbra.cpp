#define NIMBRA_MODULE "modules/origin/src/nimbra"
#include "nimbra.h"

#include "StreamLog.h"

namespace Velkor {
namespace Nimbra {

}  // namespace Nimbra
}  // namespace Velkor

namespace nimbra_internal {
std::atomic<int> g_log_level{0};
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

}  // namespace Nimbra
}  // namespace Velkor

// ---------------------------------------------------------------------------------
// Stream API

#include <opencv2/imgproc.hpp>

#include "StreamBuild.h"
#include "StreamBuildAudio.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamRollingSave.h"

#include <thread>

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

int start_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback) {
  StreamIns ins;
  ins.streamId = stream_id;
  if (get_properties(stream_id, ins) == -1) {
    NLOG_ERROR("There is no related stream information.");
    return -1;
  }
  if (ins.inputType == "splice") return start_splice_stream(stream_id, callback);
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

int start(StreamIns& ins, std::function<int8_t(const Image&)>& callback) {
  StreamProperty prop;
  sync_data(ins, prop);
  if (ins.inputType == "splice") return start_splice_stream(ins.streamId, callback);
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

int start_stream_input_file(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  NLOG_INFO("Start stream from input file.");
  if (stream_id == "empty") stream_id = "nimbra_file";
  StreamInputFile input(inputAddr, stream_id);
  switch (type) {
    case EMPTY:
      NLOG_INFO("FILE - To display stream via waylandsink. ");
      return launch_classic(&input, nullptr, stream_id, callback);
    case WAYLANDSINK: {
      NLOG_INFO("FILE - To display file.");
      StreamOutputWaylandsink out(0, 0, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case RTSPSINK: {
      NLOG_INFO("FILE - To display stream via rtsp.");
      StreamOutputRtspsink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case MP4SINK: {
      NLOG_INFO("FILE - To save mp4.");
      StreamOutputMp4sink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    default:
      return -1;
  }
}

int start_stream_input_rtsp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  if (stream_id == "empty") stream_id = type == MP4SINK ? "nimbra_file" : "nimbra_rtsp";
  StreamInputRtsp input(inputAddr, stream_id);
  switch (type) {
    case EMPTY:
      NLOG_INFO("RTSP - Doesn't display stream(autosink).");
      return launch_classic(&input, nullptr, stream_id, callback);
    case WAYLANDSINK: {
      NLOG_INFO("RTSP - To display stream via waylandsink. ");
      StreamOutputWaylandsink out(0, 0, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case RTSPSINK: {
      NLOG_INFO("RTSP - To display stream via rtsp. ");
      StreamOutputRtspsink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case MP4SINK: {
      NLOG_INFO("RTSP - To save mp4.");
      StreamOutputMp4sink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    default:
      NLOG_ERROR("Output stream type is not supported. Exit.");
      return -1;
  }
}

int start_stream_input_rtmp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id) {
  if (stream_id == "empty") stream_id = type == MP4SINK ? "nimbra_file" : "nimbra_rtmp";
  StreamInputRtmp input(inputAddr, stream_id);
  switch (type) {
    case EMPTY:
      NLOG_INFO("RTMP - Doesn't display stream(autosink).");
      return launch_classic(&input, nullptr, stream_id, callback);
    case WAYLANDSINK: {
      NLOG_INFO("RTMP - To display rtmp stream via waylandsink. width: %d, height: %d", width, height);
      StreamOutputWaylandsink out(0, 0, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case RTSPSINK: {
      NLOG_INFO("RTMP - To display rtmp stream via rtsp. width: %d, height: %d", width, height);
      StreamOutputRtspsink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    case MP4SINK: {
      NLOG_INFO("RTSP - To save mp4.");
      StreamOutputMp4sink out(outputAddr, width, height);
      out.set_stream_id(stream_id);
      return launch_classic(&input, &out, stream_id, callback);
    }
    default:
      return -1;
  }
}

int start_stream_input_usbcam(StreamIns& ins, std::function<int8_t(const Image&)> callback, StreamType type,
                              std::string stream_id) {
  StreamProperty prop;
  sync_data(ins, prop);
  if (stream_id == "empty") stream_id = type == MP4SINK ? "nimbra_file" : "nimbra_usb";
  switch (type) {
    case EMPTY:
      NLOG_INFO("RTSP - Doesn't display stream(autosink).");
      return startUsbStream(prop, nullptr, stream_id, callback);
    case WAYLANDSINK: {
      NLOG_INFO("RTSP - To display stream via waylandsink. ");
      StreamOutputWaylandsink out(0, 0, ins.width, ins.height);
      out.set_stream_id(stream_id);
      return startUsbStream(prop, &out, stream_id, callback);
    }
    case RTSPSINK: {
      NLOG_INFO("RTSP - To display stream via rtsp. ");
      StreamOutputRtspsink out(ins.outputAddr, ins.width, ins.height);
      out.set_stream_id(stream_id);
      return startUsbStream(prop, &out, stream_id, callback);
    }
    case MP4SINK: {
      NLOG_INFO("RTSP - To save mp4.");
      StreamOutputMp4sink out(ins.outputAddr, ins.width, ins.height);
      out.set_stream_id(stream_id);
      return startUsbStream(prop, &out, stream_id, callback);
    }
    default:
      NLOG_ERROR("Output stream type is not supported. Exit.");
      return -1;
  }
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
  if (stream_id == "all_stream") {
    send_eos("all_stream");
    return;
  }
  StreamIns ins;
  int found = -1;
  try {
    found = get_properties(stream_id, ins);
  } catch (const std::exception& e) {
    // A broken configuration must not keep a stream from stopping.
    NLOG_ERROR("Configuration could not be read while stopping %s: %s", stream_id.c_str(), e.what());
  }
  if (found == 0 && ins.inputType == "splice") {
    stop_splice_stream(stream_id);
    return;
  }
  send_eos(stream_id);
}

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
