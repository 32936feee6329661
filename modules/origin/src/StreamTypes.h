// Value types shared by the stream API, the configuration readers and the pipeline builders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "StreamObjects.h"

namespace Velkor {
namespace Nimbra {

enum GSTLogLevel : uint8_t {
  SINFO = 0,
  SWARNING = 1,
  SERROR = 2,
  SDEBUG = 3,
  SOFF = 4,
};

// Local output of the per-input start functions.
enum StreamType : uint8_t {
  EMPTY = 0,
  WAYLANDSINK = 1,
  RTSPSINK = 2,
  RTMPSINK = 3,
  MP4SINK = 4,
};

enum ScenarioType : int32_t {
  MergeToFile = 4,
  MergeNoPush = 5,
  MergeToFileAndRtsp = 6,
  MergeToRtsp = 7,
};

enum TaskType : int32_t {
  MultiVideoDecode = 0,
  MultiVideoEncode = 1,
  VideoIO = 2,
  InferenceCB = 3,
  VideoEncode = 4,
  CustomCB = 5,
  MlInference = 6,
};

// One decoded frame handed to a frame callback. `data` is borrowed from the pipeline
// buffer and valid only while the callback runs; copy what you keep. On a stream with a
// "detect" entry objects_of(image) lists the frame's objects (valid as long as `data`).
struct Image {
  std::string stream_id;
  uint8_t* data = nullptr;
  // Kept for layout compatibility with existing callers; on a detecting stream it holds
  // the frame's FrameObjects during the callback (read it with objects_of).
  uint64_t reserved0 = 0;
  uint8_t reserved1 = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t src_width = 0;
  int32_t src_height = 0;
  size_t size = 0;
  double fps = 0;
  int32_t pipe_status = 0;
  int64_t frame_index = 0;
  std::string timestamp;
  int32_t stride = 0;
  int32_t scanlines = 0;
  int64_t pts = -1;
  std::string format;
};

using FrameCallback = std::function<int8_t(const Image&)>;

// The frame's objects (empty for a stream that does not detect). Valid while the
// callback runs.
inline const FrameObjects* frame_objects_of(const Image& image) {
  return reinterpret_cast<const FrameObjects*>(static_cast<uintptr_t>(image.reserved0));
}
inline const std::vector<DetectedObject>& objects_of(const Image& image) {
  static const std::vector<DetectedObject> none;
  const FrameObjects* f = frame_objects_of(image);
  return f ? f->items : none;
}

// One stream of the configuration file as the public interface sees it.
struct StreamIns {
  std::string streamId = "empty";
  std::string pStreamId = "empty_p";
  int32_t width = 0;
  int32_t height = 0;
  std::string inputType;
  std::string inputAddr;
  std::string outputType;
  std::string outputAddr;
  std::string decodeType = "H264";
  std::string encodeType = "H264";
  bool audio = false;
  bool saveMp4 = false;
  bool networkPush = false;
  std::string outputFile = "/tmp/saved_output.mp4";
  int32_t fps = 0;
  bool manualRebuild = true;
  bool rollingsave = false;
  int32_t reserved = -1;
};

}  // namespace Nimbra
}  // namespace Velkor

// One input of a multi-camera composition.
struct InputStreamProperty {
  std::string inputType;
  std::string inputAddr;
  std::string decodeType = "H264";
  int32_t width = 0;
  int32_t height = 0;
  std::string subStreamId;
  std::string position = "<0, 0>";
  std::string dimensions = "<1920, 1080>";
  std::string crop;
  std::string flipHorizontal;
  std::string flipVertical;
};

// One output of a multi-camera composition with its overlay settings.
struct OutputStreamProperty {
  std::string outputType;
  std::string outputAddr;
  std::string encodeType = "H264";
  int32_t width = 0;
  int32_t height = 0;
  int32_t overlaySwitch = 0;
  std::string subStreamId;
  std::string logoPath;
  int32_t logoWidth = 0;
  int32_t logoHeight = 0;
  int32_t logoLocX = 0;
  int32_t logoLocY = 0;
  int32_t logoLocWidth = 0;
  int32_t logoLocHeight = 0;
  std::string textStr;
  int32_t textLocX = 0;
  int32_t textLocY = 0;
  int32_t textFontSize = 0;
  std::string textColor = "0xFF0000FF";
};

// Full per-stream configuration used by the pipeline builders.
struct StreamProperty {
  int32_t reserved = -1;
  std::vector<InputStreamProperty> inputStreams;
  std::vector<OutputStreamProperty> outputStreams;
  std::string streamId = "empty";
  std::string pStreamId = "empty_p";
  int32_t width = 0;
  int32_t height = 0;
  std::string inputType;
  std::string inputAddr;
  std::string outputType;
  std::string outputAddr;
  std::string decodeType = "H264";
  std::string encodeType = "H264";
  std::string model;
  std::string mlModule;
  std::string labels;
  bool audio = false;
  bool saveMp4 = false;
  bool networkPush = false;
  std::string outputFile = "/tmp/saved_output.mp4";
  int32_t fps = 0;
  bool manualRebuild = true;
  bool rollingsave = false;
  int32_t rollingFps = 30;
};

// Frame memory of the frame-push launchers: the callback draws into it, the launcher
// encodes what it holds.
struct ShareMem {
  std::vector<uint8_t> data;
  int32_t state = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t fps = 0;
};

extern ShareMem g_share_memory_mp4;

namespace Velkor {
namespace Nimbra {
void sync_data(StreamIns& ins, StreamProperty& prop);
void init_share_mem_mp4(StreamIns& ins);
}  // namespace Nimbra
}  // namespace Velkor
