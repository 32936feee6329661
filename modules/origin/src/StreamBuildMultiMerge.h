// Launch description of the four-camera composition: four RTSP cameras composed by the
// platform compositor into one picture, then recorded to MP4, pushed by RTSP or both,
// with a logo and a text overlaid and a detection branch composed onto the picture.
//
//   std::string desc = get_4_cameras_launch_command(prop, true, 1);  // record and push
//   if (desc.empty()) { /* refused: the task list has fewer than four inputs */ }
//
//   std::thread t([&] { rc = start_stream_multi_merge(prop, true, 0); });  // blocks
//   ...; stop_multi_merge();  // or gstreamer_pipeline_shutdown(kMultiMergeStreamId)
//   t.join();                 // the MP4 is finalised; rc is 0
#pragma once

#include <string>

#include "StreamTypes.h"

// Complete gst-launch description. `split_outputs` false gives the direct recording
// layout; true gives the tee layouts chosen by `push_mode`: 0 recording only, 1 recording
// and push, 2 push only, anything else the tee with only the detection branch.
// The composed picture is prop.width x prop.height when both are set (the engine's
// VideoEncode task), else the first input's size, rounded down to even numbers. The
// detection branch is written only when prop.model is set; an output's overlay only
// holds the logo and the text it has (none when it has neither).
// Returns the empty text, after one error line, when `prop` holds fewer than four inputs.
std::string get_4_cameras_launch_command(const StreamProperty& prop, bool split_outputs, int push_mode);

// The optional compositor pad options (crop, flips) of input `index`, each followed by one
// space; the empty text when the input sets none of them or does not exist.
std::string build_sink_properties(const StreamProperty& prop, int index);

// Id under which the running composition sits in the stream registry, so that
// gstreamer_pipeline_shutdown(id), "all_stream" and SIGINT reach it like any stream.
extern const char* const kMultiMergeStreamId;

// Builds and runs the composition on the calling thread until it has ended. -1 when it
// cannot be built (fewer than four inputs, description not parsed, refused to play),
// when it fails while running, or when a composition runs already; 0 after a normal end
// (end-of-stream, also the one a stop drives in). Only one composition runs at a time.
int start_stream_multi_merge(StreamProperty prop, bool split_outputs, int push_mode);

// Asks the running composition to finish: end-of-stream enters every stage, the MP4 is
// finalised, and the blocked start returns. Returns at once; without a running
// composition it only logs.
void stop_multi_merge();
