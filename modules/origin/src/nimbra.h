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
#include <opencv2/core.hpp>
#include <string>

#include "StreamBuildSplice.h"
#include "StreamCommon.h"
#include "StreamTypes.h"

namespace Velkor {
namespace Nimbra {

// Logging of the library (threshold and destination file of the "nimbra" tag).
void set_log_level(GSTLogLevel level);
void clogger(const char* destinationPath);

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
int get_stream_status();

// Deep copy of `rows` x `cols` packed three-byte pixels.
cv::Mat get_data(int rows, int cols, char* data);
// The frame as a BGR matrix cropped to width x height (0), or -1 for an empty or
// inconsistent image.
int v4l2_get_mat(cv::Mat& out, Image image);
int v4l2_get_mat_ori(cv::Mat& out, Image image);

// Schedules a merge of the rolling-save segments of `stream_id` and returns 0 at once.
int get_rolling_save_video(std::string stream_id, std::string merge_args, int wait_seconds);

}  // namespace Nimbra
}  // namespace Velkor
