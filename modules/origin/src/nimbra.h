// Public stream API of libnimbra-gst.
//
//   #include <nimbra.h>
//   using namespace Velkor::Nimbra;
//   std::function<int8_t(const Image&)> cb = [](const Image& f) {
//     // f.data: f.height rows of f.width RGB pixels, valid only during this call
//     return 0;
//   };
//   start_stream("cam1", cb);   // blocks until the stream ends; stop it from another
//                                // thread with gstreamer_pipeline_shutdown("cam1")
#pragma once

#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <unordered_map>

#include "StreamBuildSplice.h"
#include "StreamCommon.h"
#include "StreamDryRun.h"
#include "StreamHealth.h"
#include "StreamTypes.h"

namespace Velkor {
namespace Nimbra {

// Logging of the library (threshold and destination file of the "nimbra" tag). The
// threshold starts at SWARNING (warnings and errors), or at what the environment variable
// NIMBRA_LOG_LEVEL names when the library is loaded: "info", "warning", "error", "debug",
// "off" (or 0 to 4). set_log_level() changes it at any time; SINFO shows the progress
// messages too, SDEBUG also one line per frame.
void set_log_level(GSTLogLevel level);
void clogger(const char* destinationPath);
// The level a NIMBRA_LOG_LEVEL text names (a GSTLogLevel value), or -1 for any other text.
int log_level_from_text(const char* text);

// Reads the stream configuration from `path` from now on, in every reader (the two
// exported pointers g_stream_conf_file and stream_conf_file still work and are what this
// sets). -1, with one error line, when the file cannot be opened for reading; the path in
// use then stays as it was. Streams already running read the new file when they next
// consult their configuration (a rebuild, for instance).
int set_config_path(const std::string& path);
// The configuration file get_properties (and so start_stream) reads now.
std::string get_config_path();

// Starts the configured stream `stream_id` and blocks until it ends (splice streams
// return once playing). The callback is moved into the stream: `callback` is empty
// afterwards. 0 after a normal end, -1 on failure, also when a stream of this id is
// running already (one error line names it).
int start_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback);
// The same from a record filled by the caller (no configuration file is read).
int start(StreamIns& ins, std::function<int8_t(const Image&)>& callback);

int start_stream_input_file(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id);
int start_stream_input_rtsp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id);
int start_stream_input_rtmp(std::string inputAddr, std::function<int8_t(const Image&)> callback, StreamType type,
                            std::string outputAddr, int width, int height, std::string stream_id);
int start_stream_input_usbcam(StreamIns& ins, std::function<int8_t(const Image&)> callback, StreamType type,
                              std::string stream_id);
int start_audio_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback);
// One RTSP source through two differently configured branches; both ids must name the
// same parent ("pStreamId") and the same input.
int start_split_stream(std::string stream_id_1, std::function<int8_t(const Image&)>& callback_1,
                       std::string stream_id_2, std::function<int8_t(const Image&)>& callback_2);

// Stops the stream `stream_id`, of any kind ("all_stream": every running stream), through
// the stream's own stop action: outputs are finalised (end-of-stream), and a stop that
// arrives while the stream is still starting is honoured. Returns at once for classic
// streams (the blocked start call returns once the stream has ended); a splice stream is
// ended before it returns.
void gstreamer_pipeline_shutdown(std::string stream_id);
// Stops every running stream as "all_stream" does and waits until all of them have ended
// (recordings finalised), at most `timeout_seconds`. true when they all ended in time. For
// a host's way out: nothing a stream writes is cut off by the process ending under it.
bool shutdown_all_and_wait(double timeout_seconds = 60);
int get_stream_status();

// Deep copy of `rows` x `cols` packed three-byte pixels.
cv::Mat get_data(int rows, int cols, char* data);
// The frame as a BGR matrix cropped to width x height (0), or -1 for an empty or
// inconsistent image.
int v4l2_get_mat(cv::Mat& out, Image image);
int v4l2_get_mat_ori(cv::Mat& out, Image image);

// Schedules a merge of the rolling-save segments of `stream_id` and returns 0 at once.
int get_rolling_save_video(std::string stream_id, std::string merge_args, int wait_seconds);

// A four-camera composition described by tasks instead of the configuration file.
//
//   NimbraEngine engine(MergeToFile);
//   std::unordered_map<std::string, std::string> cam = {{"subStreamId", "c0"}, {"inputType", "rtsp"},
//       {"inputAddr", "rtsp://host/cam0"}, {"decodeType", "H264"}, {"width", "1920"}, {"height", "1080"},
//       {"position", "<0, 0>"}, {"dimensions", "<960, 540>"}};
//   engine.add_task(MultiVideoDecode, cam);   // four of these, then the outputs (and a model)
//   std::thread t([&] { engine.start(); });   // blocks until the composition has ended
//   engine.stop();  t.join();
//
// The running composition is the stream "multi_merge" of the registry: its health record
// (get_stream_health("multi_merge")) counts the composed pictures in frames_decoded and
// fps_last_second, and gstreamer_pipeline_shutdown("multi_merge"), "all_stream" or Ctrl+C
// stop it as stop() does. examples/four_cameras.cpp is a whole program.
//
// Scenarios: MergeToFile records the composed picture (with each output's overlays and
// the detections) to MP4; MergeNoPush records it straight, without overlays or
// detections; MergeToFileAndRtsp records and pushes by RTSP; MergeToRtsp only pushes.
//
// Task keys. All values are text; numbers are written in decimal. Keys are matched without
// regard to case, '_' and '-' ("logoPath" and "logo-path" are "logo_path"); a key the task
// does not know, a missing required key or a wrong value is refused with one error line
// each, and the task is not stored.
//
//   MultiVideoDecode: one camera; four are needed, the first four are shown.
//     subStreamId*     any name of the camera
//     inputType*       "rtsp"
//     inputAddr*       rtsp:// address of the camera
//     decodeType*      "H264" or "H265"; the first camera's decides for all, also the encoder's
//     width*, height*  the camera's size; the first camera's is the composed picture's size
//                      unless the VideoEncode task names one
//     position         top-left corner in the composed picture, "<x, y>" (default "<0, 0>")
//     dimensions       size in the composed picture, "<w, h>" (default "<1920, 1080>")
//     crop             part of the camera shown, "<x, y, w, h>" (default: all of it)
//     flip-horizontal, flip-vertical   "true" or "false" (default false)
//   MultiVideoEncode: one output with its overlays (the last of each type counts).
//     subStreamId*     any name of the output
//     outputType*      "File" (a recording; "file" and "mp4" in any case are taken too) or "rtsp" (a push)
//     outputAddr*      MP4 path of a recording (its directory must exist), rtsp:// address of a push
//     encodeType*      "H264" or "H265" (the codec follows the first camera's decodeType)
//     width*, height*  the output's size (a push is always sent at 1920x1080)
//     logo_path        image drawn over the picture (no logo when absent)
//     logo_width, logo_height                               size of the image file
//     logo_loc_x, logo_loc_y, logo_loc_width, logo_loc_height   where it is drawn
//     text_str         text drawn over the picture (no text when absent)
//     text_loc_x, text_loc_y, text_font_size                 where and how large
//     text_color       0xRRGGBBAA (default 0xFF0000FF, red)
//     overlay_switch   kept, not used: the overlays are drawn whenever they are given
//   VideoEncode: the main output.
//     outputType*, outputAddr*, encodeType*   as for MultiVideoEncode (not used by the layouts)
//     width, height    size of the composed picture (default: the first camera's)
//   MlInference: detection drawn over the recorded or pushed picture (optional: without
//     this task the composition runs no inference).
//     Model*           model file of the platform's runtime
//     MlModule*        detection module of the model, "yolov8" say
//     Labels*          labels file, one class name a line
//   VideoIO: IOType* ("Rtsp"), inputType*, inputAddr*, decodeType*: checked, never stored
//     (add_task returns -1). InferenceCB and CustomCB take no task (-1).
//   (* required)
class NimbraEngine {
 public:
  explicit NimbraEngine(ScenarioType scenario);
  ~NimbraEngine();
  NimbraEngine(const NimbraEngine&) = delete;
  NimbraEngine& operator=(const NimbraEngine&) = delete;

  // 0 when the task was taken, -1 when it was refused (one error line per missing key,
  // unknown key and wrong value; nothing is stored then).
  int add_task(TaskType type, std::unordered_map<std::string, std::string>& params);
  // Accepted and ignored: the composition delivers no frames to the host.
  void set_callback(TaskType type, std::function<int8_t(const Image&)>& callback);
  // Runs the scenario until it ends: 0 after a normal end (or for a scenario that starts
  // nothing), -1 when the tasks do not make the scenario (fewer than four cameras, no
  // "File" output for a scenario that records, no "rtsp" output for one that pushes, a
  // recording directory that does not exist: one error line each), when the composition
  // could not be built, failed, or another runs.
  int start();
  // Ends the running composition; the blocked start() returns once the recording is
  // finalised.
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace Nimbra
}  // namespace Velkor
