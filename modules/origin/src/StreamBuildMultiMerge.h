// Launch description of the four-camera composition: four RTSP cameras composed by the
// platform compositor into one picture, then recorded to MP4, pushed by RTSP or both,
// with a logo and a text overlaid and a detection branch composed onto the picture.
//
//   std::string desc = get_4_cameras_launch_command(prop, true, 1);  // record and push
//   if (desc.empty()) { /* refused: the task list has fewer than four inputs */ }
#pragma once

#include <string>

#include "StreamTypes.h"

// Complete gst-launch description. `split_outputs` false gives the direct recording
// layout; true gives the tee layouts chosen by `push_mode`: 0 recording only, 1 recording
// and push, 2 push only, anything else the tee with only the detection branch.
// Returns the empty text, after one error line, when `prop` holds fewer than four inputs.
std::string get_4_cameras_launch_command(const StreamProperty& prop, bool split_outputs, int push_mode);

// The optional compositor pad options (crop, flips) of input `index`, each followed by one
// space; the empty text when the input sets none of them or does not exist.
std::string build_sink_properties(const StreamProperty& prop, int index);
