// The table of runner rows: what each platform tag's runner puts between the input and
// the output, how it recovers, and the lines it logs. One loop (StreamRunners.cpp) runs
// every row.
#pragma once

#include <gst/gst.h>

#include <memory>
#include <string>
#include <vector>

#include "StreamBuild.h"
#include "StreamLog.h"
#include "StreamRecovery.h"

namespace nimbra_internal {

struct LogLine {
  int level;
  const char* text;  // nullptr: nothing is logged
};

// Logs the row's line, if it has one. Call sites define NIMBRA_MODULE.
#define NIMBRA_SAY(line, ...)                                 \
  do {                                                        \
    if ((line).text) NLOG((line).level, (line).text, ##__VA_ARGS__); \
  } while (0)

// One converter element between the input group and the output group.
struct Stage {
  const char* factory;  // "qtivtransform" and "capsfilter" get the row's engine and caps
  const char* name;
  std::string caps;
  bool probe;              // the frame probe goes on this element's "src" pad
  bool output_conversion;  // left out when the output is a fake sink (if the row says so)
  // Left out on a file input: the stage before it already gives the decoder a thread of
  // its own, and a file waits for the chain anyway, so the converter may as well run the
  // callback itself instead of parking another picture in a queue.
  bool live_only = false;
};

struct RunnerProfile {
  std::vector<Stage> stages;
  int engine;  // "engine" of every transform; -1 leaves the element's default
  int attempts;
  // How the row recovers; RebuildOrRetry and ReconnectInput fall back to End or Retry for
  // a stream whose rebuilds are manual (see recovery_policy).
  RecoveryPolicy::OnError on_error;
  bool rebuild_on_eos;  // a source that ends is rebuilt unless it records or rebuilds manually
  bool system_clock;
  bool sync_output;
  bool skip_conversion_into_fakesink;
  bool stop_check_before_play;
  // A network input that drops or stalls is rebuilt in place, with back-off, while the
  // output keeps running (streams whose "manualRebuild" is false).
  bool reconnect_network_input = false;
  GstPadProbeCallback probe;
  // Log lines; format arguments in brackets.
  LogLine once;             // [stream id], before anything
  LogLine output_factory;   // [factory, skip], before anything
  LogLine attempt;          // [attempt, attempts], every attempt
  LogLine platform_note;    // first attempt
  bool note_after_create;   // the note comes once the elements exist
  LogLine create_error;     // a missing element; none: shown as the first link that fails
  LogLine conversion_error; // a missing output-conversion element
  std::vector<const char*> link_errors;  // level 2; one per link, or one for every link
  LogLine stopped_before_play;  // [stream id]
  LogLine stopped;              // [stream id], before release
  LogLine stop_completed;       // after release
  LogLine eos;                  // [stream id], before release
  LogLine completed;            // [attempt], after release
  LogLine error_source;         // [element, message]
  LogLine error_debug;          // [debug text or "none"]
  LogLine failed;               // after release, when an error ends the stream
};


// The recovery of one stream on this row.
RecoveryPolicy recovery_policy(const RunnerProfile& p, bool manual_rebuild, bool records_mp4,
                               bool network_input, uint64_t stall_ns);

// The row of a platform tag: "8550", "v4l2", "ub2404", anything else the classic row.
const RunnerProfile& profile_for_tag(const std::string& tag);
// USB cameras decode MJPEG in software whatever the tag; only the transform's engine and
// the size of the caps vary.
RunnerProfile usb_profile(bool s8550, int width, int height);

// Creates, adds and links input -> stages -> output and installs the frame probe. On
// failure it logs the row's line, releases what it made and the pipeline, and returns
// false. `skip`: the output conversion is left out.
bool build_chain(const RunnerProfile& p, PiplineData* d, GstElement* input, GstElement* output, bool skip,
                 std::shared_ptr<OutputEosWatch>& eos_watch);

}  // namespace nimbra_internal
