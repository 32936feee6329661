// Pieces the runners, launchers and the split and frame-push streams share.
#pragma once

#include <gst/gst.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "StreamBuild.h"
#include "StreamRegistry.h"

namespace nimbra_internal {

// Sets the pipeline to NULL and releases it and its bus (and what the allocator keeps).
void release_pipeline(PiplineData* d);
// Hands the pages the allocator keeps for freed memory back to the system (after a
// pipeline or an input is torn down).
void return_freed_memory();
// Caps the allocator's arenas (once, at the first stream) unless the application set a
// limit itself.
void limit_malloc_arenas();
// The system clock for the pipeline.
void prepare_pipeline(GstElement* pipeline);
// Whether a sink inside `output` renders against the clock (a display).
bool has_synced_output(GstElement* output);
// Zero pipeline latency, unless the output renders against the clock.
void set_low_latency(GstElement* pipeline, GstElement* output);
GstElement* make_transform(const char* name, int engine);
void add_probe(GstElement* element, GstPadProbeCallback cb, PiplineData* d);
// The queue ahead of the frame probe of a live stream whose newest frame wins.
GstElement* make_callback_queue();
// For such a stream (d->newest_wins), points d->callback_queue at the nearest queue ahead
// of `probe_at` in `chain` (input first), or inserts one right after the input. False
// when a needed queue cannot be made.
bool place_callback_queue(PiplineData* d, std::vector<GstElement*>& chain, GstElement* probe_at);
// Plays the pipeline and takes its bus; a stop that came during the build is sent on.
void play(PiplineData* d);

// Where every launcher would play its pipeline, the one place that decides whether it
// does: a stream that is only described (a dry run) records the pipeline's description
// instead, and a stream stopped while it was built ends before it plays. False in both
// cases: the launcher ends the stream with 0 without playing. `entry` null: the stream is
// not registered and plays.
bool may_play(const EntryPtr& entry, GstElement* pipeline);
// may_play, then PLAYING; a stop that races the state change is sent on as end-of-stream.
bool begin_playing(const EntryPtr& entry, GstElement* pipeline);
// The same for a classic pipeline record (its bus is taken as play() does).
bool begin_playing(PiplineData* d);
// Links a chain one pair at a time; the index of the first pair that fails, or -1.
int link_chain(const std::vector<GstElement*>& chain);
// Releases the elements no bin has taken (a failure before or while adding them).
void drop_unparented(std::initializer_list<GstElement*> elements);

// Buffers through `pad` without a PTS get their DTS, or the previous PTS plus their
// duration; one with neither is dropped (`dropping` is logged once). An RTSP source on a
// loaded host now and then hands one on (its jitterbuffer lost the sender's clock), and
// a muxer or encoder downstream would otherwise end the whole recording with an error.
void guard_timestamps(GstPad* pad, const char* dropping);

// Writes the platform tag's environment variables (the board's plug-in paths on "6490",
// its compositor on "v4l2"), once per process and tag, unless NIMBRA_KEEP_PLATFORM_ENV
// is set to anything but "0".
void apply_platform_environment();
bool keeps_platform_environment();

// The output group a rebuild gives the stream: the configured kind at the configured
// size. A rebuilt MP4 recording goes to "<name>-<rebuild>.mp4" beside the configured
// file, so the part recorded before the drop is kept.
GstElement* build_configured_output(const StreamProperty& prop, const std::string& id, int rebuild);
std::string rebuilt_mp4_path(const std::string& path, int rebuild);

// The stream's pipeline built again from its configuration (re_create_pipeline; `pauses`:
// with its 500 ms pauses, which the runner takes itself where a stop can end them),
// handing back the rebuilt output. 0, or -1 with the reason logged.
int recreate_pipeline(PiplineData* d, GstElement** output_out, bool pauses);

}  // namespace nimbra_internal
