// Pieces the runners, launchers and the split and frame-push streams share.
#pragma once

#include <gst/gst.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "StreamBuild.h"

namespace nimbra_internal {

// Sets the pipeline to NULL and releases it and its bus.
void release_pipeline(PiplineData* d);
// The system clock for the pipeline.
void prepare_pipeline(GstElement* pipeline);
// Whether a sink inside `output` renders against the clock (a display).
bool has_synced_output(GstElement* output);
// Zero pipeline latency, unless the output renders against the clock.
void set_low_latency(GstElement* pipeline, GstElement* output);
GstElement* make_transform(const char* name, int engine);
void add_probe(GstElement* element, GstPadProbeCallback cb, PiplineData* d);
// Plays the pipeline and takes its bus; a stop that came during the build is sent on.
void play(PiplineData* d);
// Links a chain one pair at a time; the index of the first pair that fails, or -1.
int link_chain(const std::vector<GstElement*>& chain);
// Releases the elements no bin has taken (a failure before or while adding them).
void drop_unparented(std::initializer_list<GstElement*> elements);

// Writes the platform tag's environment variables, once per process and tag.
void apply_platform_environment();

// The output group a rebuild gives the stream: the configured kind at the configured
// size. A rebuilt MP4 recording goes to "<name>-<rebuild>.mp4" beside the configured
// file, so the part recorded before the drop is kept.
GstElement* build_configured_output(const StreamProperty& prop, const std::string& id, int rebuild);
std::string rebuilt_mp4_path(const std::string& path, int rebuild);

}  // namespace nimbra_internal
