// Configuration readers. The JSON file is read afresh on every call, so an edited file
// takes effect at the next start.
//
// File layout (comments allowed):
//   { "streams": [ { "streamsId": "cam1", "pStreamId": "parent",
//                    "properties": { "inputType": "rtsp", "inputAddr": "rtsp://...",
//                                    "decodeType": "H264", "outputType": "mp4",
//                                    "outputAddr": "/tmp/cam1.mp4", ... } } ] }
#pragma once

#include <string>

#include "StreamTypes.h"

// Paths of the configuration file: get_properties reads g_stream_conf_file, every other
// reader stream_conf_file. A host may point them elsewhere before starting streams.
extern const char* g_stream_conf_file;
extern const char* stream_conf_file;

namespace Velkor {
namespace Nimbra {
// Fills `ins` from the stream's entry. 0, or -1 when the file or the entry is missing or
// incomplete. Malformed JSON and values of an unconvertible type throw the JSON
// library's exception.
int get_properties(std::string id, StreamIns& ins);
}  // namespace Nimbra
}  // namespace Velkor

int get_configuration_properties(std::string id, StreamProperty& prop);
int get_config_properties_mp4(std::string id, StreamProperty& prop);

// Single-value getters. They never throw: a missing file or id, malformed JSON or a
// value of the wrong type gives the record's default (the last two with one level-2
// message), because they are also called on streaming threads.
std::string get_decode_type(std::string id);
std::string get_encode_type(std::string id);
int get_output_fps(std::string id);
bool get_manual_rebuild(std::string id);
bool output_mp4(std::string id);
int get_stream_width(std::string id);
int get_stream_height(std::string id);

namespace nimbra_internal {
// Whether the stream's "properties" say "slowCallback": "block": its callback sees every
// frame of a live input even when it is slower than the camera (frames then wait for it).
// Otherwise the newest frame wins. Quiet when the file or the entry is missing.
bool configured_slow_callback_blocks(const std::string& id);
}  // namespace nimbra_internal
