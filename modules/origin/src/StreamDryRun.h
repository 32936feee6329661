// Dry runs: build a stream's pipeline exactly as a start would, describe it, and never
// play it.
#pragma once

#include <gst/gst.h>

#include <string>

namespace nimbra_internal {

// True on a thread that runs a dry run: a builder that reaches the point where it would
// play hands its pipeline to dry_run_capture and returns 0 instead.
bool dry_run_active();
// Records a gst-launch-like description of `pipeline` for the running dry run. The
// caller still owns and releases the pipeline.
void dry_run_capture(GstElement* pipeline);

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

// Builds the pipeline that start_stream(stream_id, ...) would build, without playing it,
// and gives its description. 0 on success; -1 when the stream cannot be built (the
// library's log lines say why) or is already running.
int describe_stream_pipeline(const std::string& stream_id, std::string& description);

}  // namespace Nimbra
}  // namespace Velkor
