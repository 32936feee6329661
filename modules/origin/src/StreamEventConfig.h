// Readers of the configuration keys of events and their services: per stream "events",
// "zones" and "lines" inside "properties"; at the top level "mqtt", "metricsPort" and
// "metricsAddress". The library (when it starts them) and `nimbra-run validate` use the
// same readers, so both report the same problems in the same words.
//
//   std::vector<nimbra_internal::ConfigProblem> problems;
//   Velkor::Nimbra::StreamEventConfig cfg;
//   nimbra_internal::read_stream_events(stream["properties"], cfg, problems);
//   for (auto& p : problems) printf("%s\n", p.message.c_str());   // p.at: where, for line:col
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "StreamEvents.h"

namespace nimbra_internal {

struct ConfigProblem {
  const Json::Value* at = nullptr;  // the value concerned (inside the parsed root)
  bool at_key = true;               // point at its key rather than at the value
  bool warning = false;             // worth saying, not a reason to refuse the configuration
  std::string message;
};

struct MqttConfig {
  bool enabled = false;               // "mqtt" present
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string client_id;              // default "nimbra-<host name>"
  std::string topic_prefix = "nimbra";
  int qos = 1;
  std::string username;
  std::string password_file;          // first line: the password
  std::string ca_file;                // TLS with this CA when set
  double health_interval_s = 10;
  int keep_alive_s = 30;
  size_t queue_events = 1000;         // in memory before the spool directory takes them
  std::string spool_dir;              // default "/var/tmp/nimbra-mqtt/<client id>"
  uint64_t spool_max_bytes = 64ull << 20;  // 0: no spool directory (memory only)
  double retry_max_s = 30;            // back-off ceiling between connection attempts
};

struct ServicesConfig {
  MqttConfig mqtt;
  int metrics_port = -1;              // -1: no metrics endpoint; 0: any free port
  std::string metrics_address = "127.0.0.1";
};

// "eventClips" of a stream: its encoded input also goes into a ring of MP4 segments, from
// which each new, zone_enter and line_cross event gets a clip of `pre_s` before it to
// `post_s` after it (see StreamEventClips.h).
struct EventClipConfig {
  bool enabled = false;               // "eventClips" present
  double pre_s = 5, post_s = 5;
  double ring_s = 60;                 // segments older than this are deleted (unless a clip needs them)
  double segment_s = 2;               // segment length (cut at the next keyframe after it)
  std::string dir = "/var/tmp/nimbra-clips";  // clips; the ring is in <dir>/.ring/<stream>
};

// Names of the keys, for the validator's tables.
extern const std::vector<std::string> kStreamEventKeys;  // in "properties"
extern const std::vector<std::string> kTopEventKeys;     // at the top level

// Reads "events", "zones" and "lines" of a stream's "properties" into `out` (keys absent
// keep the defaults). Problems are appended; `out` is usable only when none is an error.
void read_stream_events(const Json::Value& properties, Velkor::Nimbra::StreamEventConfig& out,
                        std::vector<ConfigProblem>& problems);
// Reads "eventClips" of a stream's "properties" (absent: not enabled). Also checks that
// the stream is of a kind that has an encoded input to keep.
void read_event_clips(const Json::Value& properties, EventClipConfig& out, std::vector<ConfigProblem>& problems);
// Reads the top-level keys. `check_files`: password and CA files must be readable.
void read_services(const Json::Value& root, ServicesConfig& out, std::vector<ConfigProblem>& problems,
                   bool check_files = true);

bool has_error(const std::vector<ConfigProblem>& problems);

// Loads a configuration file (comments allowed). false and `error` when it cannot be read
// or parsed.
bool load_config_file(const std::string& path, Json::Value& root, std::string& error);
// The "properties" of stream `id` in `root`, or null.
const Json::Value* find_stream_properties(const Json::Value& root, const std::string& id);

}  // namespace nimbra_internal
