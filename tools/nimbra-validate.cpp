// Configuration checks of nimbra-run validate. The element lists follow the builders of
// the library (inputs, outputs, runner stages, frame push, audio, rolling save, splice):
// a stream whose factories are all present here can at least be built.
#include "nimbra-validate.h"
#include "nimbra-validate-events.h"

#include <gst/base/gsttypefindhelper.h>
#include <gst/gst.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <map>
#include <set>
#include <sstream>

#include "StreamPlatform.h"
#include "StreamRollingSave.h"

namespace nimbra_validate {

int edit_distance(const std::string& a, const std::string& b) {
  std::vector<int> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = (int)j;
  for (size_t i = 1; i <= a.size(); ++i) {
    int diag = row[0];
    row[0] = (int)i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const int up = row[j];
      const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + cost});
      diag = up;
    }
  }
  return row[b.size()];
}

namespace {

enum class Kind { String, Integer, Boolean, Number, Object, Array };

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::String: return "a string";
    case Kind::Integer: return "an integer";
    case Kind::Boolean: return "a boolean (true or false, without quotes)";
    case Kind::Number: return "a number";
    case Kind::Object: return "an object";
    case Kind::Array: return "an array";
  }
  return "?";
}

std::string value_kind(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number with a fraction";
    case Json::stringValue: return "a string";
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
  }
  return "?";
}

bool has_kind(const Json::Value& v, Kind k) {
  switch (k) {
    case Kind::String: return v.isString();
    case Kind::Integer: return v.isInt();
    case Kind::Boolean: return v.isBool();
    case Kind::Number: return v.isNumeric() && !v.isBool();
    case Kind::Object: return v.isObject();
    case Kind::Array: return v.isArray();
  }
  return false;
}

const std::vector<std::pair<std::string, Kind>> kTopKeys = {{"streams", Kind::Array}, {"mqtt", Kind::Object},
                                                            {"metricsPort", Kind::Integer}, {"metricsAddress", Kind::String}};
const std::vector<std::pair<std::string, Kind>> kStreamKeys = {
    {"streamsId", Kind::String}, {"pStreamId", Kind::String}, {"properties", Kind::Object}};
const std::vector<std::pair<std::string, Kind>> kPropertyKeys = {
    {"inputType", Kind::String},    {"inputAddr", Kind::String},   {"decodeType", Kind::String},
    {"encodeType", Kind::String},   {"width", Kind::Integer},      {"height", Kind::Integer},
    {"fps", Kind::Integer},         {"rollingFps", Kind::Integer}, {"audio", Kind::Boolean},
    {"rollingsave", Kind::Boolean}, {"manualRebuild", Kind::Boolean}, {"saveMp4", Kind::Boolean},
    {"networkPush", Kind::Boolean}, {"outputType", Kind::String},  {"outputAddr", Kind::String},
    {"outputFile", Kind::String},   {"stallTimeout", Kind::Number}, {"slowCallback", Kind::String},
    {"events", Kind::Object},       {"zones", Kind::Array},        {"lines", Kind::Array},
    {"detect", Kind::Object},       {"eventClips", Kind::Object}};

const std::set<std::string> kInputTypes = {"rtsp", "rtmp", "file", "usbcam", "splice"};
const std::set<std::string> kOutputTypes = {"mp4", "rtsp", "rtmp", "wayland"};

std::string join(const std::set<std::string>& s) {
  std::string out;
  for (const std::string& x : s) out += (out.empty() ? "" : ", ") + x;
  return out;
}

class Checker {
 public:
  explicit Checker(const std::string& text) : text_(text) {
    line_starts_.push_back(0);
    for (size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') line_starts_.push_back(i + 1);
  }

  void add(size_t offset, const std::string& message) {
    Problem p;
    offset = std::min(offset, text_.size());
    auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
    const size_t line = (size_t)(it - line_starts_.begin());
    p.line = (int)line;
    p.col = (int)(offset - line_starts_[line - 1]) + 1;
    p.message = message;
    problems_.push_back(p);
  }

  // Offset of the key of the member whose value starts at `value_offset`: back over
  // blanks, the colon, blanks, then the quoted key.
  size_t key_offset(const Json::Value& v) const {
    ptrdiff_t i = v.getOffsetStart() - 1;
    while (i >= 0 && isspace((unsigned char)text_[i])) --i;
    if (i < 0 || text_[i] != ':') return (size_t)std::max<ptrdiff_t>(0, v.getOffsetStart());
    --i;
    while (i >= 0 && isspace((unsigned char)text_[i])) --i;
    if (i < 0 || text_[i] != '"') return (size_t)v.getOffsetStart();
    --i;
    while (i >= 0 && !(text_[i] == '"' && (i == 0 || text_[i - 1] != '\\'))) --i;
    return (size_t)std::max<ptrdiff_t>(0, i);
  }

  size_t at(const Json::Value& v) const { return (size_t)std::max<ptrdiff_t>(0, v.getOffsetStart()); }

  // Unknown keys with the nearest known one, and type checks of the known ones.
  void check_members(const Json::Value& obj, const std::vector<std::pair<std::string, Kind>>& known,
                     const std::string& where) {
    for (const std::string& name : obj.getMemberNames()) {
      const Json::Value& v = obj[name];
      auto it = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == name; });
      if (it == known.end()) {
        std::string best;
        int best_d = 1 << 30;
        for (const auto& k : known) {
          std::string a = name, b = k.first;
          std::transform(a.begin(), a.end(), a.begin(), ::tolower);
          std::transform(b.begin(), b.end(), b.begin(), ::tolower);
          const int d = edit_distance(a, b);
          if (d < best_d) best_d = d, best = k.first;
        }
        std::string msg = "unknown key \"" + name + "\"" + where;
        if (best_d <= std::max<int>(2, (int)name.size() / 4)) msg += " (did you mean \"" + best + "\"?)";
        add(key_offset(v), msg);
        continue;
      }
      if (!has_kind(v, it->second)) {
        std::string msg = "\"" + name + "\" must be " + kind_name(it->second) + ", not " + value_kind(v);
        if (v.isString() && (v.asString() == "true" || v.asString() == "false") && it->second == Kind::Boolean)
          msg += " (write " + v.asString() + " without quotes)";
        else if (v.isString() && (it->second == Kind::Integer || it->second == Kind::Number))
          msg += " (write the number without quotes)";
        add(key_offset(v), msg);
      }
    }
  }

  std::vector<Problem> take() {
    std::stable_sort(problems_.begin(), problems_.end(),
                     [](const Problem& a, const Problem& b) { return a.line != b.line ? a.line < b.line : a.col < b.col; });
    return std::move(problems_);
  }

  const std::string& text() const { return text_; }

 private:
  const std::string& text_;
  std::vector<size_t> line_starts_;
  std::vector<Problem> problems_;
};

// Skips blanks and comments from `i`; the offset of the first other character.
size_t skip_blank(const std::string& t, size_t i) {
  while (i < t.size()) {
    if (isspace((unsigned char)t[i])) {
      ++i;
    } else if (t.compare(i, 2, "//") == 0) {
      while (i < t.size() && t[i] != '\n') ++i;
    } else if (t.compare(i, 2, "/*") == 0) {
      const size_t end = t.find("*/", i + 2);
      i = end == std::string::npos ? t.size() : end + 2;
    } else {
      break;
    }
  }
  return i;
}

bool truthy(const Json::Value& p, const char* key) { return p.isMember(key) && p[key].isBool() && p[key].asBool(); }
std::string str(const Json::Value& p, const char* key) {
  return p.isMember(key) && p[key].isString() ? p[key].asString() : std::string();
}

void check_elements(Checker& c, const Json::Value& stream, const Json::Value& p, const std::string& id) {
  Json::StreamWriterBuilder w;
  const std::string tag = nimbra_internal::platform_tag();
  std::set<std::string> reported;
  for (const Need& n : needed_factories(Json::writeString(w, p), tag)) {
    if (reported.count(n.factory)) continue;
    GstElementFactory* f = gst_element_factory_find(n.factory.c_str());
    if (f) {
      gst_object_unref(f);
      continue;
    }
    reported.insert(n.factory);
    c.add(c.key_offset(stream["streamsId"].isNull() ? p : stream["streamsId"]),
          "stream \"" + id + "\": GStreamer element \"" + n.factory + "\" (" + n.what +
              ") is not installed on this machine (platform \"" + tag + "\")");
  }
}

// A file input must name a file the input can open, holding the codec "decodeType" says:
// otherwise the stream fails only once it runs, with a demuxer's "not-linked".
void check_file_input(Checker& c, const Json::Value& p, const std::string& id) {
  const std::string path = str(p, "inputAddr");
  const size_t at = c.key_offset(p["inputAddr"]);
  const std::string who = "stream \"" + id + "\": input file \"" + path + "\"";
  struct stat st;
  if (path.empty()) {
    c.add(at, "stream \"" + id + "\": \"inputAddr\" is empty; a file input needs the path of an MP4 file");
    return;
  }
  if (stat(path.c_str(), &st) != 0) {
    std::string where;
    if (path[0] != '/') {
      char* cwd = getcwd(nullptr, 0);
      where = std::string(" (a relative path is taken from the current directory") + (cwd ? ", " + std::string(cwd) : "") + ")";
      free(cwd);
    }
    c.add(at, who + " does not exist" + where);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    c.add(at, who + " is a directory, not a video file");
    return;
  }
  if (access(path.c_str(), R_OK) != 0) {
    c.add(at, who + " cannot be read: " + strerror(errno));
    return;
  }
  GstElementFactory* demux = gst_element_factory_find("qtdemux");
  if (!demux) return;  // reported with the stream's elements
  gst_object_unref(demux);
  const FileProbe probe = probe_file_input(path);
  if (!probe.ok) {
    c.add(at, who + " " + probe.problem);
    return;
  }
  const bool has_key = p.isMember("decodeType") && p["decodeType"].isString();
  const std::string wanted = str(p, "decodeType") == "H265" ? "H265" : "H264";
  if (probe.codec != "H264" && probe.codec != "H265") {
    c.add(at, who + " holds " + probe.codec + " video; the file input decodes H.264 or H.265 only");
  } else if (probe.codec != wanted) {
    const std::string name = probe.codec == "H265" ? "H.265" : "H.264";
    c.add(has_key ? c.key_offset(p["decodeType"]) : at,
          who + " holds " + name + " video, but \"decodeType\" is \"" + wanted + "\"" +
              (has_key ? "" : " (the default when it is absent)") + "; write \"decodeType\": \"" + probe.codec + "\"");
  }
}

void check_stream(Checker& c, const Json::Value& s, const std::string& id) {
  c.check_members(s, kStreamKeys, " in a stream entry");
  const size_t stream_at = c.at(s);
  if (!s.isMember("properties")) {
    c.add(stream_at, "stream \"" + id + "\": missing required key \"properties\"");
    return;
  }
  const Json::Value& p = s["properties"];
  if (!p.isObject()) return;  // reported as a type problem
  c.check_members(p, kPropertyKeys, " in \"properties\"");
  const size_t props_at = c.at(p);
  auto missing = [&](const std::string& key, const std::string& why) {
    c.add(props_at, "stream \"" + id + "\": missing required key \"" + key + "\"" + why);
  };

  const bool save = truthy(p, "saveMp4"), push = truthy(p, "networkPush");
  const std::string input = str(p, "inputType");
  if (save || push) {
    const char* mode = save ? " (saveMp4 is true)" : " (networkPush is true)";
    if (!p.isMember("width")) missing("width", mode);
    if (!p.isMember("height")) missing("height", mode);
    if (push && !save) {
      // The push needs a frame rate and a server to push to.
      if (!p.isMember("fps")) missing("fps", mode);
      if (!p.isMember("outputAddr")) missing("outputAddr", mode);
    }
  } else {
    if (!p.isMember("inputType")) missing("inputType", "");
    if (input != "splice" && !p.isMember("inputAddr")) missing("inputAddr", "");
    if (input == "usbcam") {
      if (!p.isMember("width")) missing("width", " (inputType is \"usbcam\")");
      if (!p.isMember("height")) missing("height", " (inputType is \"usbcam\")");
    }
    if (p.isMember("outputType") && !p.isMember("outputAddr"))
      c.add(c.key_offset(p["outputType"]),
            "warning: stream \"" + id + "\": \"outputType\" without \"outputAddr\"; no output is built");
    if (p.isMember("outputAddr") && !p.isMember("outputType"))
      c.add(c.key_offset(p["outputAddr"]),
            "warning: stream \"" + id + "\": \"outputAddr\" without \"outputType\"; no output is built");
    if (truthy(p, "audio") && p.isMember("outputType") && str(p, "outputType") != "rtsp")
      c.add(c.key_offset(p["outputType"]), "stream \"" + id + "\": audio streams need \"outputType\" \"rtsp\"");
    // The same check the recorder makes before it creates /tmp/rolling/<id>.
    if (truthy(p, "rollingsave") && !truthy(p, "audio") && s.isMember("streamsId") &&
        !nimbra_internal::rolling_id_is_safe(id))
      c.add(c.key_offset(s["streamsId"]), "stream \"" + id +
                                              "\": a rolling recording's id names its directory under /tmp/rolling/"
                                              " and must not be empty or hold \"/\", \"..\" or \"%\"");
  }

  if (p.isMember("inputType") && p["inputType"].isString() && !kInputTypes.count(input))
    c.add(c.key_offset(p["inputType"]),
          "unknown inputType \"" + input + "\" (one of: " + join(kInputTypes) + ")");
  if (p.isMember("outputType") && p["outputType"].isString() && !kOutputTypes.count(str(p, "outputType")))
    c.add(c.key_offset(p["outputType"]),
          "unknown outputType \"" + str(p, "outputType") + "\" (one of: " + join(kOutputTypes) + ")");
  for (const char* key : {"decodeType", "encodeType"})
    if (p.isMember(key) && p[key].isString() && str(p, key) != "H264" && str(p, key) != "H265")
      c.add(c.key_offset(p[key]), "\"" + std::string(key) + "\" must be \"H264\" or \"H265\", not \"" + str(p, key) + "\"");
  for (const char* key : {"width", "height", "fps", "rollingFps"})
    if (p.isMember(key) && p[key].isInt() && p[key].asInt() <= 0)
      c.add(c.key_offset(p[key]), "\"" + std::string(key) + "\" must be greater than 0, not " +
                                      std::to_string(p[key].asInt()));
  if (p.isMember("stallTimeout") && p["stallTimeout"].isNumeric() && !p["stallTimeout"].isBool() &&
      p["stallTimeout"].asDouble() <= 0)
    c.add(c.key_offset(p["stallTimeout"]), "\"stallTimeout\" must be a number of seconds greater than 0");
  if (p.isMember("slowCallback") && p["slowCallback"].isString() && str(p, "slowCallback") != "newest" &&
      str(p, "slowCallback") != "block")
    c.add(c.key_offset(p["slowCallback"]),
          "\"slowCallback\" must be \"newest\" or \"block\", not \"" + str(p, "slowCallback") + "\"");

  // What a file input reads (frame-push streams have no input; their inputAddr is unused).
  if (!save && !push && input == "file" && p.isMember("inputAddr") && p["inputAddr"].isString())
    check_file_input(c, p, id);

  // Elements only once the stream's shape is known to be sound.
  (void)stream_at;
  check_elements(c, s, p, id);
}

}  // namespace

std::vector<Need> needed_factories(const std::string& properties_json, const std::string& tag) {
  Json::Value p;
  Json::Reader reader(Json::Features::all());
  if (!reader.parse(properties_json, p, false) || !p.isObject()) return {};
  std::vector<Need> out;
  auto need = [&](const std::string& f, const std::string& what) { out.push_back({f, what}); };
  auto codec = [&](const char* key) { return str(p, key) == "H265" ? std::string("H265") : std::string("H264"); };
  const bool h265 = codec("decodeType") == "H265";
  const std::string parse = h265 ? "h265parse" : "h264parse";
  const std::string enc_parse = codec("encodeType") == "H265" ? "h265parse" : "h264parse";
  const bool qlike = tag == "v4l2" || tag == "ub2404";
  const std::string input = str(p, "inputType");

  // saveMp4 / networkPush with a size are frame-push streams whatever else is set.
  const bool save = truthy(p, "saveMp4") && p.isMember("width") && p.isMember("height");
  const bool push = !save && truthy(p, "networkPush") && p.isMember("width") && p.isMember("height");
  if (save || push) {
    const std::string what = save ? "frame push to MP4" : "frame push over RTSP";
    need("appsrc", what);
    if (qlike) {
      need("videobox", what);
      need("videoconvert", what);
      need("v4l2h264enc", what + " encoder");
    } else {
      need("videoconvert", what);
      need("qtic2venc", what + " encoder");
    }
    need("h264parse", what);
    if (save) {
      need("mp4mux", what);
      need("filesink", what);
    } else {
      need("rtspclientsink", what);
    }
    return out;
  }
  if (input == "splice") {
    for (const char* f : {"appsrc", "h265parse", "qtic2vdec", "appsink"}) need(f, "splice decoder");
    return out;
  }
  auto decoder = [&](bool audio_builder) -> std::string {
    if (tag == "8550") return "qtic2vdec";
    if (tag == "6490") return "qtivdec";
    if (tag == "v4l2" || (!audio_builder && tag == "ub2404")) return h265 ? "v4l2h265dec" : "v4l2h264dec";
    return "qtivdec";
  };
  if (truthy(p, "audio")) {
    const std::string what = "audio restream";
    const bool ql = tag == "v4l2";
    if (input == "rtsp") {
      for (const std::string& f : {std::string("rtspsrc"), std::string(h265 ? "rtph265depay" : "rtph264depay"), parse,
                                   std::string("rtpmp4gdepay")})
        need(f, what + " input");
      need(decoder(true), what + " decoder");
    } else if (input == "file") {
      for (const char* f : {"filesrc", "qtdemux", "queue", "h264parse"}) need(f, what + " input");
      need(tag == "v4l2" ? "v4l2h264dec" : decoder(true), what + " decoder");
    }
    need("qtivtransform", what + " conversion");
    need("capsfilter", what + " conversion");
    need(ql ? (codec("encodeType") == "H265" ? "v4l2h265enc" : "v4l2h264enc") : "qtic2venc", what + " encoder");
    for (const std::string& f : {enc_parse, std::string("mpegtsmux"), std::string("rtspclientsink"),
                                 std::string("aacparse")})
      need(f, what + " output");
    return out;
  }
  if (truthy(p, "rollingsave")) {
    const std::string what = "rolling recording";
    std::string dec = "qtivdec", enc = "qtic2venc";
    if (tag == "8550") dec = "qtic2vdec";
    if (qlike) dec = h265 ? "v4l2h265dec" : "v4l2h264dec", enc = h265 ? "v4l2h265enc" : "v4l2h264enc";
    if (input == "rtsp") {
      for (const std::string& f : {std::string("rtspsrc"), std::string(h265 ? "rtph265depay" : "rtph264depay"), parse})
        need(f, what + " input");
    } else if (input == "file") {
      for (const std::string& f : {std::string("filesrc"), std::string("qtdemux"), std::string("queue"), parse})
        need(f, what + " input");
      need(dec, what + " decoder");
      need("videorate", what);
      need("identity", what);
      need(enc, what + " encoder");
    }
    need("splitmuxsink", what + " segments");
    need("mp4mux", what + " segments");
    return out;
  }

  // Classic streams: input group, runner stages, output group.
  if (input == "file") {
    for (const std::string& f : {std::string("filesrc"), std::string("qtdemux"), std::string("queue"), parse})
      need(f, "file input");
    need(decoder(false), "file input decoder");
  } else if (input == "rtsp") {
    for (const std::string& f : {std::string("rtspsrc"), std::string(h265 ? "rtph265depay" : "rtph264depay"), parse})
      need(f, "RTSP input");
    need(decoder(false), "RTSP input decoder");
  } else if (input == "rtmp") {
    // The input group takes GStreamer's own RTMP client where it is installed.
    GstElementFactory* own = gst_element_factory_find("rtmp2src");
    const std::string client = own ? "rtmp2src" : "rtmpsrc";
    if (own) gst_object_unref(own);
    for (const std::string& f : {client, std::string("flvdemux"), std::string("queue"), parse})
      need(f, "RTMP input");
    need(decoder(false), "RTMP input decoder");
  } else if (input == "usbcam") {
    for (const char* f : {"v4l2src", "jpegdec", "videoconvert", "capsfilter", "qtivtransform"}) need(f, "USB camera");
  } else {
    return out;
  }
  if (input != "usbcam") {
    if (tag == "v4l2" || tag == "ub2404") need("queue", "frame conversion");
    need("qtivtransform", "frame conversion");
    need("capsfilter", "frame conversion");
  }
  const std::string output = p.isMember("outputAddr") ? str(p, "outputType") : std::string();
  if (output == "rtsp") {
    const std::string what = "RTSP output";
    if (qlike) {
      need(codec("encodeType") == "H265" ? "v4l2h265enc" : "v4l2h264enc", what + " encoder");
    } else {
      need("qtic2venc", what + " encoder");
      need("capsfilter", what);
    }
    need(enc_parse, what);
    need("rtspclientsink", what);
  } else if (output == "mp4") {
    const std::string what = "MP4 output";
    if (qlike) {
      for (const char* f : {"qtivtransform", "capsfilter", "videoconvert", "videobox"}) need(f, what);
      need("v4l2h264enc", what + " encoder");
    } else {
      need("qtic2venc", what + " encoder");
    }
    for (const char* f : {"queue", "h264parse", "mp4mux", "filesink"}) need(f, what);
  } else if (output == "rtmp") {
    const std::string what = "RTMP output";
    need("qtic2venc", what + " encoder");
    for (const std::string& f : {std::string("capsfilter"), enc_parse, std::string("flvmux"), std::string("rtmpsink")})
      need(f, what);
  } else if (output == "wayland") {
    need("waylandsink", "Wayland output");
  } else {
    need("fakesink", "frames-only output");
  }
  return out;
}

namespace {

// What the demuxer of the file input finds in `path`: the caps of its tracks, once it has
// read the file's index.
struct DemuxProbe {
  std::mutex lock;
  std::condition_variable done_cv;
  bool done = false;
  std::vector<std::string> video;  // caps names of the video tracks

  static void on_pad(GstElement*, GstPad* pad, gpointer data) {
    auto* self = static_cast<DemuxProbe*>(data);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) return;
    const std::string name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    gst_caps_unref(caps);
    if (name.rfind("video/", 0) != 0) return;
    std::lock_guard<std::mutex> g(self->lock);
    self->video.push_back(name);
  }
  static void on_no_more_pads(GstElement*, gpointer data) {
    auto* self = static_cast<DemuxProbe*>(data);
    std::lock_guard<std::mutex> g(self->lock);
    self->done = true;
    self->done_cv.notify_all();
  }
};

}  // namespace

FileProbe probe_file_input(const std::string& path) {
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  FileProbe out;
  // The container first: the file input reads what qtdemux reads and nothing else.
  std::vector<guint8> head(64 * 1024);
  size_t got = 0;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    got = fread(head.data(), 1, head.size(), f);
    fclose(f);
  }
  if (got == 0) {
    out.problem = "is empty or cannot be read";
    return out;
  }
  GstCaps* found = gst_type_find_helper_for_data(nullptr, head.data(), got, nullptr);
  GstElementFactory* demux_factory = gst_element_factory_find("qtdemux");
  bool mp4 = false;
  if (found && demux_factory) {
    for (const GList* t = gst_element_factory_get_static_pad_templates(demux_factory); t; t = t->next) {
      auto* tmpl = static_cast<GstStaticPadTemplate*>(t->data);
      if (tmpl->direction != GST_PAD_SINK) continue;
      GstCaps* accepted = gst_static_pad_template_get_caps(tmpl);
      mp4 = mp4 || gst_caps_can_intersect(found, accepted);
      gst_caps_unref(accepted);
    }
  }
  if (demux_factory) gst_object_unref(demux_factory);
  if (!mp4) {
    out.problem = found ? std::string("is not an MP4/MOV file (GStreamer reads it as ") +
                              gst_structure_get_name(gst_caps_get_structure(found, 0)) +
                              "); the file input reads MP4/MOV files"
                        : std::string("is not a media file GStreamer recognises; the file input reads MP4/MOV files");
    if (found) gst_caps_unref(found);
    return out;
  }
  gst_caps_unref(found);

  // Then its tracks, as the demuxer exposes them.
  GstElement* pipeline = gst_pipeline_new("nimbra-validate-probe");
  GstElement* src = gst_element_factory_make("filesrc", nullptr);
  GstElement* demux = gst_element_factory_make("qtdemux", nullptr);
  if (!pipeline || !src || !demux) {
    out.problem = "cannot be probed (filesrc or qtdemux missing)";
    for (GstElement* e : {pipeline, src, demux})
      if (e) gst_object_unref(gst_object_ref_sink(e));
    return out;
  }
  g_object_set(src, "location", path.c_str(), nullptr);
  gst_bin_add_many(GST_BIN(pipeline), src, demux, nullptr);
  gst_element_link(src, demux);
  DemuxProbe probe;
  g_signal_connect(demux, "pad-added", G_CALLBACK(DemuxProbe::on_pad), &probe);
  g_signal_connect(demux, "no-more-pads", G_CALLBACK(DemuxProbe::on_no_more_pads), &probe);
  GstBus* bus = gst_element_get_bus(pipeline);
  std::string error;
  if (gst_element_set_state(pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) error = "cannot be opened";
  // The index is read at once; the limit only guards against a file that never ends
  // (a FIFO, say).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (error.empty()) {
    {
      std::unique_lock<std::mutex> g(probe.lock);
      if (probe.done_cv.wait_for(g, std::chrono::milliseconds(50), [&] { return probe.done; })) break;
    }
    if (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError* err = nullptr;
      gst_message_parse_error(m, &err, nullptr);
      error = std::string("cannot be read as MP4: ") + (err ? err->message : "unknown error");
      g_clear_error(&err);
      gst_message_unref(m);
    } else if (std::chrono::steady_clock::now() > deadline) {
      error = "could not be probed in time";
    }
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(pipeline);
  std::lock_guard<std::mutex> g(probe.lock);
  if (!error.empty() && !probe.done) {
    out.problem = error;
    return out;
  }
  if (probe.video.empty()) {
    out.problem = "holds no video track";
    return out;
  }
  const std::string& first = probe.video.front();
  out.ok = true;
  out.codec = first == "video/x-h264" ? "H264" : first == "video/x-h265" ? "H265" : first;
  return out;
}

std::vector<Problem> validate_text(const std::string& text, const std::vector<std::string>& ids, size_t* checked) {
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  if (checked) *checked = 0;
  Checker c(text);
  Json::Value root;
  Json::Reader reader(Json::Features::all());
  if (!reader.parse(text.data(), text.data() + text.size(), root, false)) {
    for (const auto& e : reader.getStructuredErrors()) {
      std::string msg = e.message;
      while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
      c.add((size_t)std::max<ptrdiff_t>(0, e.offset_start), "syntax error: " + msg);
    }
    return c.take();
  }
  const size_t end = skip_blank(text, (size_t)std::max<ptrdiff_t>(0, root.getOffsetLimit()));
  if (end < text.size()) {
    c.add(end, "syntax error: unexpected text after the end of the configuration");
    return c.take();
  }
  if (!root.isObject()) {
    c.add(c.at(root), "the configuration must be an object with a \"streams\" array, not " + value_kind(root));
    return c.take();
  }
  if (ids.empty()) c.check_members(root, kTopKeys, " at the top level");
  if (!root.isMember("streams")) {
    c.add(c.at(root), "missing required key \"streams\"");
    return c.take();
  }
  const Json::Value& streams = root["streams"];
  if (!streams.isArray()) return c.take();

  std::map<std::string, size_t> first_line;  // id -> offset of its first definition
  std::set<std::string> found;
  for (Json::ArrayIndex i = 0; i < streams.size(); ++i) {
    const Json::Value& s = streams[i];
    if (!s.isObject()) {
      if (ids.empty()) c.add(c.at(s), "a stream entry must be an object, not " + value_kind(s));
      continue;
    }
    std::string id;
    const bool has_id = s.isMember("streamsId") && s["streamsId"].isString();
    if (has_id) id = s["streamsId"].asString();
    if (!ids.empty() && (!has_id || std::find(ids.begin(), ids.end(), id) == ids.end())) continue;
    if (!s.isMember("streamsId")) {
      c.add(c.at(s), "missing required key \"streamsId\"");
    } else if (has_id) {
      found.insert(id);
      auto it = first_line.find(id);
      if (it != first_line.end()) {
        Checker tmp(text);
        tmp.add(it->second, "");
        c.add(c.key_offset(s["streamsId"]), "duplicate stream id \"" + id + "\" (first defined on line " +
                                                std::to_string(tmp.take()[0].line) +
                                                ", which is the one used); this entry is ignored");
        continue;
      }
      first_line[id] = c.key_offset(s["streamsId"]);
    }
    check_stream(c, s, has_id ? id : std::string("#") + std::to_string(i + 1));
    if (checked) ++*checked;
  }
  for (const auto& p : check_event_keys(root, ids)) c.add(p.at_key ? c.key_offset(*p.at) : c.at(*p.at), p.message);
  for (const std::string& id : ids)
    if (!found.count(id))
      c.add(c.key_offset(streams), "stream id \"" + id + "\" is not in the configuration");
  return c.take();
}

bool validate_file(const std::string& path, const std::vector<std::string>& ids, std::vector<Problem>& problems,
                   std::string& error, size_t* checked) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  problems = validate_text(ss.str(), ids, checked);
  return true;
}

}  // namespace nimbra_validate
