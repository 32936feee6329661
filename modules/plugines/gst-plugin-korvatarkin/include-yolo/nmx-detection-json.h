// SPDX-License-Identifier: BSD-3-Clause
// The toolkit's detection record as JSON: one object per frame, one line per object.
// Plain C++ (no GStreamer, no OpenCV), so anything that reports detections (the
// detection element, a library callback, an event) writes the same thing.
//
//   {"frame":12,"pts":480000000,"width":1280,"height":720,"detections":[
//     {"label":"person","class_id":0,"confidence":0.91,
//      "box":{"x":100,"y":40,"width":200,"height":400},
//      "box_normalized":{"x":0.078125,"y":0.0555556,"width":0.15625,"height":0.555556}}]}
//
// A tracking producer adds "track_id" and "age" to each object.
// "pts" is in nanoseconds, or null when the frame has none. "confidence" is 0..1.
// Boxes are in frame pixels, clipped to the frame; "box_normalized" is the same box
// divided by the frame size. Link the CMake target nmx_detection_json.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nmx {
namespace detection {

struct Detection {
  int class_id = 0;
  std::string label;       // class name
  float confidence = 0;    // 0..1
  float x = 0, y = 0;      // top-left corner, frame pixels (clipped when written)
  float width = 0, height = 0;
  // Written only when set (>= 0), by producers that track: "track_id", and "age", the
  // frames since the object was last detected.
  int64_t track_id = -1;
  int32_t age = -1;
};

struct Frame {
  uint64_t frame = 0;      // frame counter of the producer, from 1
  bool has_pts = false;
  uint64_t pts_ns = 0;
  int width = 0, height = 0;
  std::vector<Detection> detections;
};

// Clips a box to the frame: corners clamped to [0, width] x [0, height] (both 0
// when that side of the frame is below 1 pixel), then ordered.
void clip_box(float *x, float *y, float *w, float *h, int width, int height);

// Appends the frame's JSON object and a line end to out. Locale-independent;
// non-finite numbers are written as null.
void append_json_line(const Frame &frame, std::string *out);
inline std::string to_json_line(const Frame &frame)
{
  std::string s;
  append_json_line(frame, &s);
  return s;
}

}  // namespace detection
}  // namespace nmx
