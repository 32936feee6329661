#include "StreamEventEngine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace nimbra_internal {

using Velkor::Nimbra::DetectedObject;
using Velkor::Nimbra::Event;
using Velkor::Nimbra::EventFrame;
using Velkor::Nimbra::EventPoint;
using Velkor::Nimbra::EventType;
using Velkor::Nimbra::LineDirection;
using Velkor::Nimbra::StreamEventConfig;

namespace {

// Held crossings of a track that has not counted yet; a track that flickers across a
// line for long without counting must not grow without bound.
constexpr size_t kMaxHeld = 32;

double cross(const EventPoint& o, const EventPoint& a, const EventPoint& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

int sign(double v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }

bool on_segment(const EventPoint& p, const EventPoint& a, const EventPoint& b) {
  return cross(a, b, p) == 0 && p.x >= std::min(a.x, b.x) && p.x <= std::max(a.x, b.x) &&
         p.y >= std::min(a.y, b.y) && p.y <= std::max(a.y, b.y);
}

EventPoint scaled(const EventPoint& p, bool normalized, int w, int h) {
  return normalized ? EventPoint{p.x * w, p.y * h} : p;
}

}  // namespace

bool point_in_polygon(double x, double y, const std::vector<EventPoint>& poly) {
  const size_t n = poly.size();
  if (n < 3) return false;
  const EventPoint p{x, y};
  for (size_t i = 0; i < n; ++i)
    if (on_segment(p, poly[i], poly[(i + 1) % n])) return true;
  // Crossing number: a horizontal ray to the right; each edge counts when it straddles
  // the ray's height (half-open, so a vertex on the ray counts once).
  bool inside = false;
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    const EventPoint& a = poly[i];
    const EventPoint& b = poly[j];
    if ((a.y > y) != (b.y > y)) {
      const double xc = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
      if (x < xc) inside = !inside;
    }
  }
  return inside;
}

int side_of_line(double x, double y, const EventPoint& a, const EventPoint& b) {
  // With y growing downwards a positive cross product is on the right of a->b.
  return sign(cross(a, b, EventPoint{x, y}));
}

bool path_crosses_segment(const EventPoint& p, const EventPoint& q, const EventPoint& a, const EventPoint& b) {
  const int o1 = sign(cross(p, q, a)), o2 = sign(cross(p, q, b));
  const int o3 = sign(cross(a, b, p)), o4 = sign(cross(a, b, q));
  if (o1 != o2 && o3 != o4 && o1 * o2 <= 0 && o3 * o4 <= 0) return true;
  return (o1 == 0 && on_segment(a, p, q)) || (o2 == 0 && on_segment(b, p, q)) || (o3 == 0 && on_segment(p, a, b)) ||
         (o4 == 0 && on_segment(q, a, b));
}

EventEngine::EventEngine(std::string stream_id, StreamEventConfig config)
    : stream_id_(std::move(stream_id)), config_(std::move(config)) {
  if (config_.min_frames < 1) config_.min_frames = 1;
  if (config_.lost_frames < 1) config_.lost_frames = 1;
  if (!(config_.update_interval_s >= 1.0)) config_.update_interval_s = 1.0;
}

bool EventEngine::label_wanted(const std::vector<std::string>& labels, const std::string& label) const {
  return labels.empty() || std::find(labels.begin(), labels.end(), label) != labels.end();
}

std::vector<std::string> EventEngine::zone_names(const Track& t) const {
  std::vector<std::string> names;
  for (size_t i = 0; i < t.zones.size(); ++i)
    if (t.zones[i].inside) names.push_back(config_.zones[i].name);
  return names;
}

Event EventEngine::make_event(EventType type, const Track& t, double now) const {
  Event e;
  e.type = type;
  e.stream_id = stream_id_;
  e.track_id = t.id;
  e.label = t.label;
  e.class_id = t.class_id;
  e.confidence = t.confidence;
  e.top_confidence = t.top_confidence;
  e.x = t.x, e.y = t.y, e.width = t.w, e.height = t.h;
  e.frame_width = t.frame_width, e.frame_height = t.frame_height;
  e.frame_index = t.frame_index;
  e.pts_ns = t.last_pts;
  e.start_pts_ns = t.start_pts;
  e.time_s = now;
  e.start_time_s = t.start_time;
  e.zones = zone_names(t);
  return e;
}

void EventEngine::end_track(Track& t, double now, std::vector<Event>& out) {
  if (!t.counted) return;
  for (size_t i = 0; i < t.zones.size(); ++i) {
    if (!t.zones[i].inside) continue;
    t.zones[i].inside = false;
    Event e = make_event(EventType::ZoneLeave, t, now);
    e.zone = config_.zones[i].name;
    out.push_back(std::move(e));
  }
  Event e = make_event(EventType::End, t, now);
  e.end_time_s = t.last_time;
  e.end_pts_ns = t.last_pts;
  out.push_back(std::move(e));
}

void EventEngine::feed(const EventFrame& frame, const std::vector<DetectedObject>& objects, std::vector<Event>& out) {
  if (!config_.enabled) return;
  const double now = frame.wall_time_s;
  const int W = frame.width, H = frame.height;

  std::vector<std::vector<EventPoint>> polys(config_.zones.size());
  for (size_t i = 0; i < config_.zones.size(); ++i)
    for (const EventPoint& p : config_.zones[i].points)
      polys[i].push_back(scaled(p, config_.zones[i].normalized, W, H));
  std::vector<std::pair<EventPoint, EventPoint>> segs;
  for (const auto& l : config_.lines)
    segs.push_back({scaled(l.a, l.normalized, W, H), scaled(l.b, l.normalized, W, H)});

  // The first object of each wanted track id.
  std::map<int64_t, const DetectedObject*> present;
  for (const DetectedObject& o : objects)
    if (o.track_id >= 0 && label_wanted(config_.labels, o.label)) present.emplace(o.track_id, &o);

  for (auto it = tracks_.begin(); it != tracks_.end();) {
    if (present.count(it->first) || ++it->second.missing < config_.lost_frames) {
      ++it;
      continue;
    }
    end_track(it->second, now, out);
    it = tracks_.erase(it);
  }

  for (const auto& [id, o] : present) {
    auto [it, fresh] = tracks_.try_emplace(id);
    Track& t = it->second;
    if (fresh) {
      t.id = id;
      t.label = o->label;
      t.class_id = o->class_id;
      t.start_time = now;
      t.start_pts = frame.pts_ns;
      t.zones.resize(config_.zones.size());
      t.lines.resize(config_.lines.size());
    }
    t.missing = 0;
    ++t.frames_seen;
    t.confidence = o->confidence;
    t.top_confidence = std::max(t.top_confidence, o->confidence);
    // Clipped as the detection JSON clips: corners into the frame, then ordered.
    float x0 = o->x, y0 = o->y, x1 = o->x + o->width, y1 = o->y + o->height;
    const float fw = W >= 1 ? (float)W : 0.f, fh = H >= 1 ? (float)H : 0.f;
    x0 = std::clamp(x0, 0.f, fw), x1 = std::clamp(x1, 0.f, fw);
    y0 = std::clamp(y0, 0.f, fh), y1 = std::clamp(y1, 0.f, fh);
    if (x1 < x0) std::swap(x0, x1);
    if (y1 < y0) std::swap(y0, y1);
    t.x = x0, t.y = y0, t.w = x1 - x0, t.h = y1 - y0;
    t.frame_width = W, t.frame_height = H;
    t.frame_index = frame.frame_index;
    t.last_pts = frame.pts_ns;
    t.last_time = now;

    const EventPoint anchor{t.x + t.w / 2.0,
                            config_.anchor == Velkor::Nimbra::EventAnchor::Center ? t.y + t.h / 2.0 : (double)(t.y + t.h)};

    // Zone and line state first, so every event of this frame carries the zones after it.
    std::vector<std::pair<size_t, bool>> zone_changes;
    for (size_t i = 0; i < config_.zones.size(); ++i) {
      const auto& zc = config_.zones[i];
      if (!label_wanted(zc.labels, t.label)) continue;
      ZoneState& z = t.zones[i];
      const bool inside = point_in_polygon(anchor.x, anchor.y, polys[i]);
      if (inside == z.inside) {
        z.count = 0;
        continue;
      }
      if (++z.count >= (zc.min_frames > 0 ? zc.min_frames : config_.min_frames)) {
        z.inside = inside;
        z.count = 0;
        zone_changes.push_back({i, inside});
      }
    }
    std::vector<std::pair<size_t, int>> crossings;  // line, new side
    for (size_t i = 0; i < config_.lines.size(); ++i) {
      const auto& lc = config_.lines[i];
      if (!label_wanted(lc.labels, t.label)) continue;
      LineState& l = t.lines[i];
      const int d = side_of_line(anchor.x, anchor.y, segs[i].first, segs[i].second);
      if (d == 0) continue;
      if (d == l.side) {
        l.count = 0;
        l.last_on_side = anchor;
        continue;
      }
      if (d != l.candidate || l.count == 0) {
        l.candidate = d;
        l.count = 0;
        l.first_on_candidate = anchor;
      }
      if (++l.count < (lc.min_frames > 0 ? lc.min_frames : config_.min_frames)) continue;
      const int old = l.side;
      l.side = d;
      l.count = 0;
      if (old != 0 && path_crosses_segment(l.last_on_side, l.first_on_candidate, segs[i].first, segs[i].second)) {
        const bool ltr = old < 0;
        if (lc.direction == LineDirection::Both || (lc.direction == LineDirection::LeftToRight) == ltr)
          crossings.push_back({i, d});
      }
      l.last_on_side = anchor;
    }
    auto crossing_event = [&](size_t i, int d) {
      Event e = make_event(EventType::LineCross, t, now);
      e.line = config_.lines[i].name;
      e.direction = d > 0 ? "left_to_right" : "right_to_left";
      return e;
    };

    if (!t.counted) {
      if (t.frames_seen >= config_.min_frames && t.top_confidence >= config_.min_confidence) {
        t.counted = true;
        t.last_report = now;
        out.push_back(make_event(EventType::New, t, now));
        for (size_t i = 0; i < t.zones.size(); ++i) {
          if (!t.zones[i].inside) continue;
          Event e = make_event(EventType::ZoneEnter, t, now);
          e.zone = config_.zones[i].name;
          out.push_back(std::move(e));
        }
        for (Event& e : t.held) out.push_back(std::move(e));
        t.held.clear();
        for (const auto& [i, d] : crossings) out.push_back(crossing_event(i, d));
      } else {
        for (const auto& [i, d] : crossings)
          if (t.held.size() < kMaxHeld) t.held.push_back(crossing_event(i, d));
      }
      continue;
    }
    for (const auto& [i, inside] : zone_changes) {
      Event e = make_event(inside ? EventType::ZoneEnter : EventType::ZoneLeave, t, now);
      e.zone = config_.zones[i].name;
      out.push_back(std::move(e));
    }
    for (const auto& [i, d] : crossings) out.push_back(crossing_event(i, d));
    if (config_.updates && now - t.last_report >= config_.update_interval_s) {
      t.last_report = now;
      out.push_back(make_event(EventType::Update, t, now));
    }
  }
}

void EventEngine::finish(double wall_time_s, std::vector<Event>& out) {
  for (auto& [id, t] : tracks_) end_track(t, wall_time_s, out);
  tracks_.clear();
}

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

const char* event_type_name(EventType type) {
  switch (type) {
    case EventType::New: return "new";
    case EventType::Update: return "update";
    case EventType::End: return "end";
    case EventType::ZoneEnter: return "zone_enter";
    case EventType::ZoneLeave: return "zone_leave";
    case EventType::LineCross: return "line_cross";
    case EventType::Clip: return "clip";
  }
  return "unknown";
}

namespace {

void put_string(std::string& o, const std::string& s) {
  o += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': o += "\\\""; break;
      case '\\': o += "\\\\"; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      case '\t': o += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          o += buf;
        } else {
          o += (char)c;
        }
    }
  }
  o += '"';
}

// Shortest text that reads back as the same value; independent of the C locale.
template <class T>
void put_number(std::string& o, T v) {
  if (!std::isfinite((double)v)) {
    o += "null";
    return;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  o.append(buf, r.ptr);
}

void put_int_or_null(std::string& o, int64_t v) { o += v < 0 ? std::string("null") : std::to_string(v); }

}  // namespace

std::string event_to_json(const Event& e) {
  std::string o;
  o.reserve(512);
  o += "{\"id\":";
  put_string(o, e.id);
  o += ",\"type\":";
  put_string(o, event_type_name(e.type));
  o += ",\"stream_id\":";
  put_string(o, e.stream_id);
  o += ",\"sequence\":" + std::to_string(e.sequence);
  o += ",\"track_id\":" + std::to_string(e.track_id);
  o += ",\"label\":";
  put_string(o, e.label);
  o += ",\"class_id\":" + std::to_string(e.class_id);
  o += ",\"confidence\":";
  put_number(o, e.confidence);
  o += ",\"top_confidence\":";
  put_number(o, e.top_confidence);
  o += ",\"box\":{\"x\":";
  put_number(o, e.x);
  o += ",\"y\":";
  put_number(o, e.y);
  o += ",\"width\":";
  put_number(o, e.width);
  o += ",\"height\":";
  put_number(o, e.height);
  o += "},\"box_normalized\":";
  if (e.frame_width > 0 && e.frame_height > 0) {
    const float w = (float)e.frame_width, h = (float)e.frame_height;
    o += "{\"x\":";
    put_number(o, e.x / w);
    o += ",\"y\":";
    put_number(o, e.y / h);
    o += ",\"width\":";
    put_number(o, e.width / w);
    o += ",\"height\":";
    put_number(o, e.height / h);
    o += "}";
  } else {
    o += "null";
  }
  o += ",\"frame\":" + std::to_string(e.frame_index);
  o += ",\"width\":" + std::to_string(e.frame_width);
  o += ",\"height\":" + std::to_string(e.frame_height);
  o += ",\"pts_ns\":";
  put_int_or_null(o, e.pts_ns);
  o += ",\"start_pts_ns\":";
  put_int_or_null(o, e.start_pts_ns);
  o += ",\"end_pts_ns\":";
  put_int_or_null(o, e.end_pts_ns);
  o += ",\"time_unix_s\":";
  put_number(o, e.time_s);
  o += ",\"start_time_unix_s\":";
  put_number(o, e.start_time_s);
  o += ",\"end_time_unix_s\":";
  if (e.end_time_s < 0)
    o += "null";
  else
    put_number(o, e.end_time_s);
  o += ",\"zones\":[";
  for (size_t i = 0; i < e.zones.size(); ++i) {
    if (i) o += ',';
    put_string(o, e.zones[i]);
  }
  o += "]";
  if (e.type == EventType::ZoneEnter || e.type == EventType::ZoneLeave) {
    o += ",\"zone\":";
    put_string(o, e.zone);
  }
  if (e.type == EventType::LineCross) {
    o += ",\"line\":";
    put_string(o, e.line);
    o += ",\"direction\":";
    put_string(o, e.direction);
  }
  o += ",\"clip_path\":";
  if (e.clip_path.empty())
    o += "null";
  else
    put_string(o, e.clip_path);
  if (e.type == EventType::Clip) {
    o += ",\"clip_event_id\":";
    put_string(o, e.clip_event_id);
    o += ",\"clip_start_pts_ns\":";
    put_int_or_null(o, e.clip_start_pts_ns);
    o += ",\"clip_end_pts_ns\":";
    put_int_or_null(o, e.clip_end_pts_ns);
  }
  o += "}";
  return o;
}

}  // namespace Nimbra
}  // namespace Velkor
