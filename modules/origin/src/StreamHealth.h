// Health and numbers of every running stream, and of the streams that ended lately.
//
//   Velkor::Nimbra::StreamHealth h;
//   if (Velkor::Nimbra::get_stream_health("cam1", h) == 0 && h.state == StreamState::Stalled)
//     printf("cam1: no frame for %.1f s (%s)\n", h.last_frame_age_s, h.last_error.c_str());
//   for (const auto& s : Velkor::Nimbra::list_stream_health()) ...
//
// The numbers are kept on the frame path itself (a few relaxed atomic updates and two
// clock reads per frame), so they are always on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Velkor {
namespace Nimbra {

enum class StreamState {
  Starting,      // claimed, no frame yet
  Playing,       // frames arrive
  Stalled,       // no frame for the stall time (see set_stall_timeout, "stallTimeout")
  Reconnecting,  // the input dropped or stalled and is being rebuilt
  Failed,        // ended with an error
  Stopped,       // ended normally or by a stop
};

// "starting", "playing", "stalled", "reconnecting", "failed", "stopped".
const char* stream_state_name(StreamState state);

struct StreamHealth {
  std::string stream_id;
  std::string kind;  // "classic", "usb", "split", "frame-push", "splice", "rolling", "audio", "composition"
  StreamState state = StreamState::Starting;
  bool running = false;          // false once the stream has ended
  std::string last_error;        // the latest error or drop, also after a recovery; empty: none
  uint32_t reconnects = 0;       // times the input was rebuilt and frames flowed again
  uint32_t reconnect_attempts = 0;
  double last_frame_age_s = -1;  // seconds since the last frame; -1: none yet
  double uptime_s = 0;           // since the stream was started (until it ended)
  double stall_timeout_s = 0;
  uint64_t frames_decoded = 0;   // frames that reached the delivery point
  uint64_t frames_delivered = 0; // frames handed to the callback (and returned)
  // Frames that went on to the output without the callback: on a live input, frames with
  // a newer one already waiting (the callback was slower than the camera), and frames
  // still queued when the stream was stopped.
  uint64_t frames_skipped = 0;
  uint64_t frames_dropped = 0;   // frames lost on the way: undelivered, dropped by a queue or by QoS
  double fps_last_second = 0;    // frames in the last whole second
  double fps_since_start = 0;    // frames since the first one over the time since then
  double callback_p50_ms = 0;    // callback durations since the start (about 10 % resolution)
  double callback_p99_ms = 0;
  // Seconds since last_error happened (frozen when the stream ends); -1: no error.
  double last_error_age_s = -1;
  // last_error lies behind the stream: frames flowed again after it (a reconnection, a
  // stall that ended) and the stream is playing, or ended normally since.
  bool last_error_recovered = false;
  // Streams with a "detect" entry (all 0 otherwise): model runs per second since the first
  // frame, their durations, frames the scheduler dropped because a newer one came before
  // the model was free, and the objects the latest frame carried.
  uint64_t inferences = 0;          // model runs that succeeded
  uint64_t inference_failures = 0;  // ... that failed (the stream goes on)
  double inference_fps = 0;
  double inference_p50_ms = 0;
  double inference_p99_ms = 0;
  uint64_t inference_skipped = 0;
  uint32_t objects = 0;
};

// 0 and the record of `stream_id` (running, or ended lately), -1 when no such stream is
// known.
int get_stream_health(const std::string& stream_id, StreamHealth& out);
// Running streams in id order, then those that ended lately (newest first, at most 64).
std::vector<StreamHealth> list_stream_health();
// Stall time of streams whose configuration has no "stallTimeout" (seconds, default 5).
// Values below 0.2 s are taken as 0.2 s.
void set_stall_timeout(double seconds);

}  // namespace Nimbra
}  // namespace Velkor
