// Events of tracked objects (new, update, end, zone enter/leave, line crossings), and the
// services that carry them and the streams' numbers out of the process: MQTT and a
// Prometheus /metrics endpoint.
//
// A detecting stream feeds each frame's tracked objects; the events it produces reach
// callbacks (one event thread, in order), a poll queue, MQTT and the metrics:
//
//   using namespace Velkor::Nimbra;
//   start_event_services();                          // "mqtt" and "metricsPort" of the configuration
//   int h = on_event([](const Event& e) { printf("%s\n", event_to_json(e).c_str()); });
//   ...                                               // per frame, on the stream's thread:
//   EventFrame f{"cam1", frame.frame_index, frame.pts, frame.width, frame.height};
//   feed_event_frame(f, objects);                     // never blocks on a broker or a callback
//   ...
//   end_stream_events("cam1");                        // the stream ended: tracks end
//   remove_event_callback(h);
//   stop_event_services();                            // undelivered events go to the spool directory
//
// Per-stream configuration, inside the stream's "properties":
//   "events": {"labels": ["person"], "minFrames": 3, "minConfidence": 0.5, "update": true,
//              "updateInterval": 1, "lostFrames": 1, "anchor": "bottom_center"},
//   "zones":  [{"name": "door", "points": [[100,200],[400,200],[400,700]], "labels": ["person"]}],
//   "lines":  [{"name": "gate", "points": [[0,0.5],[1,0.5]], "normalized": true,
//               "direction": "left_to_right"}],
//   "eventClips": {"pre": 5, "post": 5, "ringSeconds": 60, "dir": "/var/clips"}
//                                                    (an MP4 around each new, zone_enter and line_cross
//                                                    event, announced by a "clip" event: StreamEventClips.h)
// Top level of the configuration file:
//   "mqtt": {"host": "10.0.0.2", "port": 1883, "clientId": "board7", "topicPrefix": "site1"},
//   "metricsPort": 9108, "metricsAddress": "127.0.0.1"
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "StreamObjects.h"

namespace Velkor {
namespace Nimbra {

enum class EventType {
  New,        // a track has been seen for the minimum number of frames
  Update,     // periodic, at most once per update interval, while the track lives ("update": true)
  End,        // the track was lost (or the stream ended)
  ZoneEnter,  // the track's anchor point went into a zone
  ZoneLeave,  // ... out of it, or the track ended inside it
  LineCross,  // the anchor crossed a line
  Clip,       // the recording of a new, zone_enter or line_cross event is written ("eventClips")
};
// "new", "update", "end", "zone_enter", "zone_leave", "line_cross", "clip".
const char* event_type_name(EventType type);

struct Event {
  std::string id;           // unique: "<run>-<stream>-<sequence>", <run> random per process
  EventType type = EventType::New;
  std::string stream_id;
  uint64_t sequence = 0;    // per stream, from 1 in this process, without gaps
  int64_t track_id = -1;
  std::string label;
  int32_t class_id = -1;
  float confidence = 0;      // of the current frame, 0..1
  float top_confidence = 0;  // highest over the track's life so far
  float x = 0, y = 0, width = 0, height = 0;  // box, frame pixels, clipped to the frame
  int32_t frame_width = 0, frame_height = 0;
  int64_t frame_index = 0;   // frame the event was seen on
  int64_t pts_ns = -1;       // of that frame; -1: none
  int64_t start_pts_ns = -1; // of the track's first frame
  int64_t end_pts_ns = -1;   // of the track's last frame (end events)
  double time_s = 0;         // wall clock of the frame, seconds since 1970
  double start_time_s = 0;   // wall clock of the track's first frame
  double end_time_s = -1;    // wall clock of the track's last frame (end events); -1: none
  std::vector<std::string> zones;  // zones the track is in (after this event)
  std::string zone;          // zone_enter / zone_leave: the zone
  std::string line;          // line_cross: the line
  std::string direction;     // line_cross: "left_to_right" or "right_to_left"
  std::string clip_path;     // clip: the MP4 file written
  std::string clip_event_id; // clip: id of the event it records
  int64_t clip_start_pts_ns = -1;  // clip: the stream's PTS range it covers
  int64_t clip_end_pts_ns = -1;
};

// One event as a JSON object on one line (no line end). Locale-independent. The box has
// the shape of the detection JSON ("box" in pixels, "box_normalized").
std::string event_to_json(const Event& event);

// ---- configuration of a stream's events (normally read from its "properties") ----

struct EventPoint {
  double x = 0, y = 0;
};

struct EventZone {
  std::string name;
  std::vector<EventPoint> points;  // polygon, at least 3 points
  bool normalized = false;         // points are fractions of the frame size
  std::vector<std::string> labels; // empty: every label the stream counts
  int min_frames = 0;              // frames on the other side before enter/leave; 0: the stream's
};

enum class LineDirection { Both, LeftToRight, RightToLeft };

// Sides of a line are named as seen on the picture facing from its first point to its
// second: for a line from (0,360) to (1280,360) "left" is above it, so an object moving
// down the picture crosses "left_to_right".
struct EventLine {
  std::string name;
  EventPoint a, b;
  bool normalized = false;
  LineDirection direction = LineDirection::Both;  // which crossings are reported
  std::vector<std::string> labels;
  int min_frames = 0;  // frames on the new side before a crossing counts; 0: the stream's
};

enum class EventAnchor { BottomCenter, Center };

struct StreamEventConfig {
  bool enabled = true;
  std::vector<std::string> labels;  // labels that make events; empty: all
  int min_frames = 3;               // frames a track is seen before it counts (flicker)
  float min_confidence = 0;         // top confidence a track needs to count
  bool updates = false;             // periodic "update" events
  double update_interval_s = 1.0;   // at least 1
  int lost_frames = 1;              // frames a track is missing before it ends
  EventAnchor anchor = EventAnchor::BottomCenter;  // point of the box zones and lines test
  std::vector<EventZone> zones;
  std::vector<EventLine> lines;
};

// ---- feeding ----

struct EventFrame {
  std::string stream_id;
  int64_t frame_index = 0;
  int64_t pts_ns = -1;       // -1: none
  int32_t width = 0, height = 0;
  double wall_time_s = 0;    // seconds since 1970; 0: now
};

// Runs the stream's event engine on one frame's tracked objects (objects without a track
// id are ignored). Cheap, and it never waits for a broker, a disk or a callback: call it
// on the stream's thread. The first call for a stream reads its configuration unless
// configure_stream_events or set_stream_event_config came first.
void feed_event_frame(const EventFrame& frame, const std::vector<DetectedObject>& objects);
// Reads the "events", "zones" and "lines" of `stream_id` from the configuration file now
// (call it when the stream starts, off the frame path). 0, or -1 after one error line:
// the stream then makes no events (the stream itself is not affected).
int configure_stream_events(const std::string& stream_id);
// Sets the configuration of a stream's events directly; live tracks are dropped.
void set_stream_event_config(const std::string& stream_id, const StreamEventConfig& config);
// The stream ended: every counted track ends (zone_leave, end). Its sequence numbers go on
// if it starts again in this process.
void end_stream_events(const std::string& stream_id, double wall_time_s = 0);
// Sends an event produced outside the engine (a clip): it gets its id and sequence number
// here and then goes wherever the others go.
void emit_stream_event(Event event);

// ---- receiving in the process ----

// Calls `fn` for every event, in order, on the library's event thread (never on a stream's
// thread, so a slow callback delays no frame; past 10000 waiting events the oldest are
// dropped and counted). Returns a handle for remove_event_callback.
int on_event(std::function<void(const Event&)> fn);
// After it returns the callback is not running and will not run again (unless it is called
// from the callback itself). false for an unknown handle.
bool remove_event_callback(int handle);
// Moves up to `max_events` waiting events into `out` (appended), waiting up to `timeout_s`
// for the first one. The poll queue keeps the newest 1000 (set_event_poll_capacity).
size_t poll_events(std::vector<Event>& out, size_t max_events = 100, double timeout_s = 0);
void set_event_poll_capacity(size_t events);

// ---- services ----

// Reads the top-level "mqtt", "metricsPort" and "metricsAddress" of the configuration file
// (`config_path`, or the library's configuration when empty) and starts what they name.
// 0, or -1 after one error line (bad keys, a port in use, an unreadable password file);
// nothing is started then. A broker that cannot be reached is not an error: events wait in
// the queue and the spool directory until it is up.
int start_event_services(const std::string& config_path = "");
// The same with the metrics port given here (a command-line flag): `metrics_port` >= 0
// replaces the file's "metricsPort" (0: any free port); -1 keeps the file's.
int start_event_services(const std::string& config_path, int metrics_port);
// Stops them: MQTT says "offline", undelivered events are kept in the spool directory for
// the next start. Safe to call when nothing runs.
void stop_event_services();
// The port /metrics is served on (the bound one when "metricsPort" is 0), or 0.
int metrics_port();
// Records one inference's duration for the stream's nimbra_inference_seconds histogram.
void observe_inference_seconds(const std::string& stream_id, double seconds);

struct MqttStatus {
  bool configured = false;
  bool connected = false;
  uint64_t queued = 0;        // events not yet acknowledged by the broker (memory and disk)
  uint64_t spooled = 0;       // of those, in the spool directory
  uint64_t published = 0;     // acknowledged by the broker since the start
  uint64_t dropped = 0;       // lost to a full queue or spool since the start
  uint64_t connect_attempts = 0;
  uint64_t connections = 0;   // successful connections since the start
  std::string last_error;
};
MqttStatus mqtt_status();

}  // namespace Nimbra
}  // namespace Velkor
