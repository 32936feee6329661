// Errors told the way a user can act on them: which stream, which address, what failed.
#pragma once

#include <gst/gst.h>

#include <string>

namespace nimbra_internal {

// One line for an error message of the stream `id` whose input reads `address`, for
// example "stream cam1: cannot connect to rtsp://10.0.0.9/cam: connection refused".
// `from_input`: the error came from the input group. Network addresses that cannot be
// reached are probed once (a short TCP connect) for the reason the source does not give.
std::string describe_stream_error(const std::string& id, const std::string& address, GstMessage* error,
                                  bool from_input);

// The reason a TCP connection to the host and port of `url` fails ("connection refused",
// "host not found", "timed out", ...), or "" when it connects (or `url` names no host).
std::string tcp_failure(const std::string& url, int timeout_ms = 500);

}  // namespace nimbra_internal
