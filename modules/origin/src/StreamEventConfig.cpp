#include "StreamEventConfig.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

namespace nimbra_internal {

using Velkor::Nimbra::EventAnchor;
using Velkor::Nimbra::EventLine;
using Velkor::Nimbra::EventPoint;
using Velkor::Nimbra::EventZone;
using Velkor::Nimbra::LineDirection;
using Velkor::Nimbra::StreamEventConfig;

const std::vector<std::string> kStreamEventKeys = {"events", "zones", "lines", "eventClips"};
const std::vector<std::string> kTopEventKeys = {"mqtt", "metricsPort", "metricsAddress"};

namespace {

const std::vector<std::string> kEventsKeys = {"enabled",    "labels",     "minFrames", "minConfidence",
                                              "update",     "updateInterval", "lostFrames", "anchor"};
const std::vector<std::string> kClipKeys = {"pre", "post", "ringSeconds", "segmentSeconds", "dir"};
const std::vector<std::string> kZoneKeys = {"name", "points", "normalized", "labels", "minFrames"};
const std::vector<std::string> kLineKeys = {"name", "points", "normalized", "direction", "labels", "minFrames"};
const std::vector<std::string> kMqttKeys = {"host",     "port",          "clientId",       "topicPrefix",
                                            "qos",      "username",      "passwordFile",   "caFile",
                                            "healthInterval", "keepAlive", "queueEvents", "spoolDir",
                                            "spoolMaxBytes", "retryMax"};

int distance(const std::string& a, const std::string& b) {
  std::vector<int> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = (int)j;
  for (size_t i = 1; i <= a.size(); ++i) {
    int diag = row[0];
    row[0] = (int)i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const int up = row[j];
      const bool same = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

class Reader {
 public:
  explicit Reader(std::vector<ConfigProblem>& problems) : problems_(problems) {}

  void error(const Json::Value& at, const std::string& msg, bool at_key = true) {
    problems_.push_back({&at, at_key, false, msg});
  }
  void warn(const Json::Value& at, const std::string& msg, bool at_key = true) {
    problems_.push_back({&at, at_key, true, "warning: " + msg});
  }

  // Unknown keys, with the nearest known one.
  void keys(const Json::Value& obj, const std::vector<std::string>& known, const std::string& where) {
    for (const std::string& name : obj.getMemberNames()) {
      if (std::find(known.begin(), known.end(), name) != known.end()) continue;
      std::string best;
      int best_d = 1 << 30;
      for (const std::string& k : known) {
        const int d = distance(name, k);
        if (d < best_d) best_d = d, best = k;
      }
      std::string msg = "unknown key \"" + name + "\" in " + where;
      if (best_d <= std::max<int>(2, (int)name.size() / 4)) msg += " (did you mean \"" + best + "\"?)";
      else msg += " (known: " + join(known) + ")";
      error(obj[name], msg);
    }
  }

  static std::string join(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
  }

  bool is_bool(const Json::Value& v, const std::string& name) {
    if (v.isBool()) return true;
    error(v, "\"" + name + "\" must be true or false (without quotes)");
    return false;
  }
  bool is_number(const Json::Value& v, const std::string& name) {
    if (v.isNumeric() && !v.isBool() && std::isfinite(v.asDouble())) return true;
    error(v, "\"" + name + "\" must be a number" + (v.isString() ? " (write it without quotes)" : ""));
    return false;
  }
  bool is_int(const Json::Value& v, const std::string& name, int64_t lo, int64_t hi) {
    if (!v.isIntegral() || v.isBool() || (v.isUInt64() && !v.isInt64())) {
      error(v, "\"" + name + "\" must be a whole number" + (v.isString() ? " (write it without quotes)" : ""));
      return false;
    }
    const int64_t n = v.asInt64();
    if (n < lo || n > hi) {
      error(v, "\"" + name + "\" must be between " + std::to_string(lo) + " and " + std::to_string(hi) + ", not " +
                   std::to_string(n));
      return false;
    }
    return true;
  }
  bool is_string(const Json::Value& v, const std::string& name, bool nonempty) {
    if (!v.isString()) {
      error(v, "\"" + name + "\" must be a string");
      return false;
    }
    if (nonempty && v.asString().empty()) {
      error(v, "\"" + name + "\" must not be empty");
      return false;
    }
    return true;
  }
  bool labels(const Json::Value& v, std::vector<std::string>& out) {
    if (!v.isArray()) {
      error(v, "\"labels\" must be an array of label names, like [\"person\", \"car\"]");
      return false;
    }
    out.clear();
    for (const Json::Value& l : v) {
      if (!l.isString() || l.asString().empty()) {
        error(l, "\"labels\" must hold label names (non-empty strings)", false);
        return false;
      }
      out.push_back(l.asString());
    }
    return true;
  }
  // [[x, y], ...]; false after one problem.
  bool points(const Json::Value& v, const std::string& what, bool normalized, std::vector<EventPoint>& out) {
    if (!v.isArray()) {
      error(v, what + ": \"points\" must be an array of [x, y] pairs");
      return false;
    }
    out.clear();
    for (const Json::Value& p : v) {
      if (!p.isArray() || p.size() != 2 || !p[0].isNumeric() || !p[1].isNumeric() || p[0].isBool() ||
          p[1].isBool()) {
        error(p, what + ": each point must be a pair of numbers [x, y]", false);
        return false;
      }
      const EventPoint pt{p[0].asDouble(), p[1].asDouble()};
      if (!std::isfinite(pt.x) || !std::isfinite(pt.y)) {
        error(p, what + ": a point is not a finite number", false);
        return false;
      }
      if (normalized && (pt.x < 0 || pt.x > 1 || pt.y < 0 || pt.y > 1)) {
        error(p, what + ": normalized points must lie within 0..1, not [" + num(pt.x) + ", " + num(pt.y) + "]",
              false);
        return false;
      }
      if (!normalized && (pt.x < 0 || pt.y < 0)) {
        error(p, what + ": pixel coordinates must not be negative, not [" + num(pt.x) + ", " + num(pt.y) + "]",
              false);
        return false;
      }
      out.push_back(pt);
    }
    return true;
  }
  static std::string num(double v) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << v;
    return s.str();
  }
  // Points that all lie within 0..1 although they are read as pixels: the "normalized"
  // flag was most likely forgotten.
  void small_points(const Json::Value& at, const std::string& what, const std::vector<EventPoint>& pts) {
    if (pts.empty()) return;
    for (const EventPoint& p : pts)
      if (p.x > 1 || p.y > 1) return;
    warn(at, what + ": every point lies within 0..1 pixels; add \"normalized\": true if they are fractions of the frame");
  }

 private:
  std::vector<ConfigProblem>& problems_;
};

}  // namespace

bool has_error(const std::vector<ConfigProblem>& problems) {
  for (const ConfigProblem& p : problems)
    if (!p.warning) return true;
  return false;
}

void read_stream_events(const Json::Value& p, StreamEventConfig& out, std::vector<ConfigProblem>& problems) {
  Reader r(problems);
  if (!p.isObject()) return;
  if (p.isMember("events")) {
    const Json::Value& e = p["events"];
    if (!e.isObject()) {
      r.error(e, "\"events\" must be an object, like {\"minFrames\": 3}");
    } else {
      r.keys(e, kEventsKeys, "\"events\"");
      if (e.isMember("enabled") && r.is_bool(e["enabled"], "enabled")) out.enabled = e["enabled"].asBool();
      if (e.isMember("labels")) r.labels(e["labels"], out.labels);
      if (e.isMember("minFrames") && r.is_int(e["minFrames"], "minFrames", 1, 100000))
        out.min_frames = e["minFrames"].asInt();
      if (e.isMember("minConfidence") && r.is_number(e["minConfidence"], "minConfidence")) {
        const double c = e["minConfidence"].asDouble();
        if (c < 0 || c > 1) r.error(e["minConfidence"], "\"minConfidence\" must be within 0..1, not " + Reader::num(c));
        else out.min_confidence = (float)c;
      }
      if (e.isMember("update") && r.is_bool(e["update"], "update")) out.updates = e["update"].asBool();
      if (e.isMember("updateInterval") && r.is_number(e["updateInterval"], "updateInterval")) {
        const double s = e["updateInterval"].asDouble();
        if (s < 1) r.error(e["updateInterval"], "\"updateInterval\" is in seconds and must be at least 1, not " + Reader::num(s));
        else out.update_interval_s = s;
      }
      if (e.isMember("lostFrames") && r.is_int(e["lostFrames"], "lostFrames", 1, 100000))
        out.lost_frames = e["lostFrames"].asInt();
      if (e.isMember("anchor") && r.is_string(e["anchor"], "anchor", true)) {
        const std::string a = e["anchor"].asString();
        if (a == "bottom_center") out.anchor = EventAnchor::BottomCenter;
        else if (a == "center") out.anchor = EventAnchor::Center;
        else r.error(e["anchor"], "\"anchor\" must be \"bottom_center\" or \"center\", not \"" + a + "\"");
      }
    }
  }

  std::set<std::string> names;
  if (p.isMember("zones")) {
    const Json::Value& zs = p["zones"];
    if (!zs.isArray()) {
      r.error(zs, "\"zones\" must be an array of zones, like [{\"name\": \"door\", \"points\": [[0,0],[10,0],[10,10]]}]");
    } else {
      for (Json::ArrayIndex i = 0; i < zs.size(); ++i) {
        const Json::Value& z = zs[i];
        const std::string what0 = "zone #" + std::to_string(i + 1);
        if (!z.isObject()) {
          r.error(z, what0 + " must be an object with \"name\" and \"points\"", false);
          continue;
        }
        r.keys(z, kZoneKeys, "a zone");
        EventZone zone;
        std::string what = what0;
        if (!z.isMember("name")) r.error(z, what0 + ": missing \"name\"", false);
        else if (r.is_string(z["name"], "name", true)) {
          zone.name = z["name"].asString();
          what = "zone \"" + zone.name + "\"";
          if (!names.insert("zone:" + zone.name).second) r.error(z["name"], "two zones are named \"" + zone.name + "\"");
        }
        if (z.isMember("normalized") && r.is_bool(z["normalized"], "normalized")) zone.normalized = z["normalized"].asBool();
        if (z.isMember("labels")) r.labels(z["labels"], zone.labels);
        if (z.isMember("minFrames") && r.is_int(z["minFrames"], "minFrames", 1, 100000))
          zone.min_frames = z["minFrames"].asInt();
        if (!z.isMember("points")) {
          r.error(z, what + ": missing \"points\" (at least 3 [x, y] pairs)", false);
        } else if (r.points(z["points"], what, zone.normalized, zone.points)) {
          if (zone.points.size() < 3) {
            r.error(z["points"], what + " has " + std::to_string(zone.points.size()) +
                                     (zone.points.size() == 1 ? " point" : " points") +
                                     "; a polygon needs at least 3");
          } else {
            double area = 0;
            for (size_t k = 0; k < zone.points.size(); ++k) {
              const EventPoint& a = zone.points[k];
              const EventPoint& b = zone.points[(k + 1) % zone.points.size()];
              area += a.x * b.y - b.x * a.y;
            }
            if (area == 0) r.error(z["points"], what + " has no area (its points lie on one line)");
            else if (!zone.normalized) r.small_points(z["points"], what, zone.points);
          }
        }
        out.zones.push_back(zone);
      }
    }
  }
  if (p.isMember("lines")) {
    const Json::Value& ls = p["lines"];
    if (!ls.isArray()) {
      r.error(ls, "\"lines\" must be an array of lines, like [{\"name\": \"gate\", \"points\": [[0,300],[640,300]]}]");
    } else {
      for (Json::ArrayIndex i = 0; i < ls.size(); ++i) {
        const Json::Value& l = ls[i];
        const std::string what0 = "line #" + std::to_string(i + 1);
        if (!l.isObject()) {
          r.error(l, what0 + " must be an object with \"name\" and \"points\"", false);
          continue;
        }
        r.keys(l, kLineKeys, "a line");
        EventLine line;
        std::string what = what0;
        if (!l.isMember("name")) r.error(l, what0 + ": missing \"name\"", false);
        else if (r.is_string(l["name"], "name", true)) {
          line.name = l["name"].asString();
          what = "line \"" + line.name + "\"";
          if (!names.insert("line:" + line.name).second) r.error(l["name"], "two lines are named \"" + line.name + "\"");
        }
        if (l.isMember("normalized") && r.is_bool(l["normalized"], "normalized")) line.normalized = l["normalized"].asBool();
        if (l.isMember("labels")) r.labels(l["labels"], line.labels);
        if (l.isMember("minFrames") && r.is_int(l["minFrames"], "minFrames", 1, 100000))
          line.min_frames = l["minFrames"].asInt();
        if (l.isMember("direction") && r.is_string(l["direction"], "direction", true)) {
          const std::string d = l["direction"].asString();
          if (d == "both") line.direction = LineDirection::Both;
          else if (d == "left_to_right") line.direction = LineDirection::LeftToRight;
          else if (d == "right_to_left") line.direction = LineDirection::RightToLeft;
          else r.error(l["direction"], "\"direction\" must be \"both\", \"left_to_right\" or \"right_to_left\", not \"" + d + "\"");
        }
        std::vector<EventPoint> pts;
        if (!l.isMember("points")) {
          r.error(l, what + ": missing \"points\" (two [x, y] pairs)", false);
        } else if (r.points(l["points"], what, line.normalized, pts)) {
          if (pts.size() != 2) {
            r.error(l["points"], what + " has " + std::to_string(pts.size()) + " points; a line has exactly 2");
          } else if (pts[0].x == pts[1].x && pts[0].y == pts[1].y) {
            r.error(l["points"], what + " has zero length (both points are [" + Reader::num(pts[0].x) + ", " +
                                     Reader::num(pts[0].y) + "])");
          } else {
            line.a = pts[0], line.b = pts[1];
            if (!line.normalized) r.small_points(l["points"], what, pts);
          }
        }
        out.lines.push_back(line);
      }
    }
  }
}

void read_event_clips(const Json::Value& p, EventClipConfig& out, std::vector<ConfigProblem>& problems) {
  Reader r(problems);
  if (!p.isObject() || !p.isMember("eventClips")) return;
  const Json::Value& c = p["eventClips"];
  if (!c.isObject()) {
    r.error(c, "\"eventClips\" must be an object, like {\"pre\": 5, \"post\": 5, \"ringSeconds\": 60, \"dir\": \"/var/clips\"}");
    return;
  }
  const size_t before = problems.size();
  r.keys(c, kClipKeys, "\"eventClips\"");
  auto seconds = [&](const char* key, double lo, double hi, double& field) {
    if (!c.isMember(key) || !r.is_number(c[key], key)) return;
    const double v = c[key].asDouble();
    if (v < lo || v > hi)
      r.error(c[key], "\"" + std::string(key) + "\" is in seconds and must be within " + Reader::num(lo) + ".." +
                          Reader::num(hi) + ", not " + Reader::num(v));
    else
      field = v;
  };
  seconds("pre", 0, 600, out.pre_s);
  seconds("post", 0, 600, out.post_s);
  seconds("segmentSeconds", 0.5, 10, out.segment_s);
  seconds("ringSeconds", 1, 86400, out.ring_s);
  if (c.isMember("dir") && r.is_string(c["dir"], "dir", true)) out.dir = c["dir"].asString();
  // The pre-roll must still be in the ring when the event comes, beside the segment being written.
  if (problems.size() == before && out.ring_s < out.pre_s + 2 * out.segment_s)
    r.error(c.isMember("ringSeconds") ? c["ringSeconds"] : c,
            "\"ringSeconds\" (" + Reader::num(out.ring_s) + ") must be at least \"pre\" plus two segments (" +
                Reader::num(out.pre_s + 2 * out.segment_s) + "): the ring must still hold the pre-roll when an event comes");
  const std::string input = p["inputType"].isString() ? p["inputType"].asString() : "";
  if (!input.empty() && input != "file" && input != "rtsp" && input != "rtmp")
    r.error(c, "\"eventClips\" needs an encoded input to keep (\"inputType\" file, rtsp or rtmp), not \"" + input + "\"");
  for (const char* sw : {"audio", "rollingsave", "saveMp4", "networkPush"})
    if (p[sw].isBool() && p[sw].asBool())
      r.error(c, "\"eventClips\" works on streams that decode for a callback; this stream has \"" + std::string(sw) +
                     "\": true");
  out.enabled = !has_error(std::vector<ConfigProblem>(problems.begin() + before, problems.end()));
}

void read_services(const Json::Value& root, ServicesConfig& out, std::vector<ConfigProblem>& problems,
                   bool check_files) {
  Reader r(problems);
  if (!root.isObject()) return;
  if (root.isMember("metricsPort") && r.is_int(root["metricsPort"], "metricsPort", 0, 65535))
    out.metrics_port = root["metricsPort"].asInt();
  if (root.isMember("metricsAddress") && r.is_string(root["metricsAddress"], "metricsAddress", true)) {
    out.metrics_address = root["metricsAddress"].asString();
    if (!root.isMember("metricsPort"))
      r.warn(root["metricsAddress"], "\"metricsAddress\" without \"metricsPort\": no metrics are served");
  }
  if (!root.isMember("mqtt")) return;
  const Json::Value& m = root["mqtt"];
  if (!m.isObject()) {
    r.error(m, "\"mqtt\" must be an object, like {\"host\": \"10.0.0.2\", \"port\": 1883}");
    return;
  }
  MqttConfig& c = out.mqtt;
  c.enabled = true;
  r.keys(m, kMqttKeys, "\"mqtt\"");
  if (m.isMember("host") && r.is_string(m["host"], "host", true)) c.host = m["host"].asString();
  if (m.isMember("port") && r.is_int(m["port"], "port", 1, 65535)) c.port = m["port"].asInt();
  if (m.isMember("clientId") && r.is_string(m["clientId"], "clientId", true)) c.client_id = m["clientId"].asString();
  if (m.isMember("topicPrefix") && r.is_string(m["topicPrefix"], "topicPrefix", true)) {
    const std::string t = m["topicPrefix"].asString();
    if (t.find_first_of("+#") != std::string::npos || t.front() == '/' || t.back() == '/')
      r.error(m["topicPrefix"], "\"topicPrefix\" must not hold \"+\" or \"#\" nor start or end with \"/\", not \"" + t + "\"");
    else
      c.topic_prefix = t;
  }
  if (m.isMember("qos") && r.is_int(m["qos"], "qos", 0, 2)) c.qos = m["qos"].asInt();
  if (m.isMember("username") && r.is_string(m["username"], "username", true)) c.username = m["username"].asString();
  for (const char* key : {"passwordFile", "caFile"}) {
    if (!m.isMember(key) || !r.is_string(m[key], key, true)) continue;
    const std::string path = m[key].asString();
    (std::string(key) == "caFile" ? c.ca_file : c.password_file) = path;
    if (check_files && access(path.c_str(), R_OK) != 0)
      r.error(m[key], "\"" + std::string(key) + "\": cannot read " + path);
  }
  if (!c.password_file.empty() && c.username.empty())
    r.error(m["passwordFile"], "\"passwordFile\" needs \"username\" beside it");
  if (m.isMember("healthInterval") && r.is_number(m["healthInterval"], "healthInterval")) {
    const double s = m["healthInterval"].asDouble();
    if (s <= 0) r.error(m["healthInterval"], "\"healthInterval\" is in seconds and must be greater than 0");
    else c.health_interval_s = std::max(0.1, s);
  }
  if (m.isMember("keepAlive") && r.is_int(m["keepAlive"], "keepAlive", 5, 65535)) c.keep_alive_s = m["keepAlive"].asInt();
  if (m.isMember("queueEvents") && r.is_int(m["queueEvents"], "queueEvents", 1, 10000000))
    c.queue_events = (size_t)m["queueEvents"].asInt64();
  if (m.isMember("spoolDir") && r.is_string(m["spoolDir"], "spoolDir", true)) c.spool_dir = m["spoolDir"].asString();
  if (m.isMember("spoolMaxBytes") && r.is_int(m["spoolMaxBytes"], "spoolMaxBytes", 0, INT64_MAX))
    c.spool_max_bytes = (uint64_t)m["spoolMaxBytes"].asInt64();
  if (m.isMember("retryMax") && r.is_number(m["retryMax"], "retryMax")) {
    const double s = m["retryMax"].asDouble();
    if (s < 1) r.error(m["retryMax"], "\"retryMax\" is in seconds and must be at least 1");
    else c.retry_max_s = s;
  }
  if (c.client_id.empty()) {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) snprintf(host, sizeof host, "board");
    c.client_id = std::string("nimbra-") + host;
  }
  if (c.spool_dir.empty()) {
    std::string safe = c.client_id;
    for (char& ch : safe)
      if (ch == '/' || ch == '\\' || ch == ' ') ch = '_';
    if (safe == "." || safe == "..") safe = "_";
    c.spool_dir = "/var/tmp/nimbra-mqtt/" + safe;
  }
}

bool load_config_file(const std::string& path, Json::Value& root, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open configuration file " + path;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  Json::CharReaderBuilder b;
  b["allowComments"] = true;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string errs;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs)) {
    while (!errs.empty() && (errs.back() == '\n' || errs.back() == ' ')) errs.pop_back();
    error = "configuration file " + path + " is not valid JSON: " + errs;
    return false;
  }
  return true;
}

const Json::Value* find_stream_properties(const Json::Value& root, const std::string& id) {
  if (!root.isObject() || !root["streams"].isArray()) return nullptr;
  for (const Json::Value& s : root["streams"])
    if (s.isObject() && s["streamsId"].isString() && s["streamsId"].asString() == id)
      return s["properties"].isObject() ? &s["properties"] : nullptr;
  return nullptr;
}

}  // namespace nimbra_internal
