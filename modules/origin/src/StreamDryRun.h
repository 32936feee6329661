// Dry runs: build a stream's pipeline exactly as a start would, describe it, and never
// play it.
#pragma once

#include <gst/gst.h>

#include <string>

namespace nimbra_internal {

// A gst-launch-1.0-like description of `pipeline` (or of one element).
std::string describe_pipeline(GstElement* pipeline);

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

// Builds the pipeline that start_stream(stream_id, ...) would build, without playing it,
// and gives its description. 0 on success; -1 when the stream cannot be built (the
// library's log lines say why) or is already running.
int describe_stream_pipeline(const std::string& stream_id, std::string& description);

}  // namespace Nimbra
}  // namespace Velkor
