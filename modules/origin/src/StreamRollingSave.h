// Rolling save: a stream recorded into a ring of short MP4 segments in
// /tmp/rolling/<id>/%05d.mp4 (2 s each, the newest 100 kept), from which a merge script
// assembles a clip on request (get_rolling_save_video in nimbra.h).
//
// RTSP inputs are stored as they arrive; file inputs are decoded, re-timed to the
// stream's "rollingFps" at real-time pace and re-encoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Records until end-of-stream, an error, SIGINT or gstreamer_pipeline_shutdown(id).
// 0 after a run; -1 for a refused id, an unsupported decode type or an input type that
// yields no pipeline.
int start_rolling_save(std::string stream_id);

// The merge job: waits wait_seconds + 5 s, then runs the merge script with the caller's
// arguments followed by "--stream-id <id>" (no shell involved).
void merge_rolling_save_video(std::string stream_id, std::string merge_args, int wait_seconds);

// Whether a merge script is running for this stream id.
bool is_concate_video_running(const std::string& stream_id);

namespace nimbra_internal {

// A stream id is usable in a path under /tmp/rolling/ only when it is not empty and
// holds no "/" and no "..".
bool rolling_id_is_safe(const std::string& stream_id);

// Test hook: segment length and ring size of the next recordings (0: the defaults of
// 2 s and 100 files).
void set_rolling_limits(uint64_t segment_ns, int max_files);

// Interpreter and script the merge runs: NIMBRA_CONCATE_SCRIPT overrides the installed
// /usr/local/bin/concate_video.py, NIMBRA_PYTHON the interpreter.
std::string concate_script_path();

// Runs the merge script with `args` after its path and waits for it. false when it could
// not be started; `exit_code` (-1 when it did not exit normally), its standard output and
// error, and the command as shown in logs, where asked for.
bool run_concate_script(const std::vector<std::string>& args, int* exit_code, std::string* out, std::string* err,
                        std::string* command = nullptr);

// The writer of a segment ring, as a launch description: the parser, the stored caps and
// splitmuxsink "rec" writing MP4 segments of `segment_ns` to `location` (a printf-style
// index pattern), keeping `max_files` (0: every file). `from_network`: parameter sets are
// repeated, as a stream joined mid-way needs.
std::string segment_writer_description(bool h265, const std::string& location, uint64_t segment_ns, int max_files,
                                       bool from_network);

// The segment directory, created when missing. Refused when it, or the root above it, is
// a symbolic link or not a directory: segments are written and deleted inside it.
bool safe_segment_dir(const std::string& root, const std::string& dir);
// Removes the regular *.mp4 files directly inside dir; -1 when the directory cannot be
// read or a file cannot be removed.
int clear_segments(const std::string& dir);

}  // namespace nimbra_internal
