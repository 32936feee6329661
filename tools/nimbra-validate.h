// Checks of a stream configuration file, as `nimbra-run validate` reports them: syntax,
// keys, types, values, required keys, duplicate ids and the GStreamer elements each
// stream's pipeline needs on this machine.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nimbra_validate {

struct Problem {
  int line = 1;  // 1-based
  int col = 1;   // 1-based, in bytes
  std::string message;
};

// Checks configuration `text`. With `ids` non-empty only those streams are checked
// (plus the file's syntax), and an id that is not in the file is a problem too.
// Element checks use the platform tag of the library and GStreamer's registry (GStreamer
// is initialised when it is not yet).
// File inputs are looked for (relative paths from the current directory) and their
// video track is probed against "decodeType". `checked`, when given, receives the number
// of stream entries that were checked.
std::vector<Problem> validate_text(const std::string& text, const std::vector<std::string>& ids = {},
                                   size_t* checked = nullptr);

// Reads and checks `path`. false (and `error`) when the file cannot be read.
bool validate_file(const std::string& path, const std::vector<std::string>& ids, std::vector<Problem>& problems,
                   std::string& error, size_t* checked = nullptr);

// What a file input's video is, as the file input reads it (MP4/MOV through qtdemux).
struct FileProbe {
  bool ok = false;      // a readable MP4/MOV file with a video track
  std::string codec;    // "H264", "H265", or the caps name of another video codec
  std::string problem;  // why not ok: not a file GStreamer reads as MP4/MOV, no video track, ...
};
FileProbe probe_file_input(const std::string& path);

// The element factories the pipeline of a stream with these properties (a JSON object,
// as text) needs on platform `tag`, each with what needs it.
struct Need {
  std::string factory;
  std::string what;
};
std::vector<Need> needed_factories(const std::string& properties_json, const std::string& tag);

// Levenshtein distance, for "did you mean" suggestions.
int edit_distance(const std::string& a, const std::string& b);

}  // namespace nimbra_validate
