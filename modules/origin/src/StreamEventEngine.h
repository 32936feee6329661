// The event engine of one stream: turns each frame's tracked objects into object, zone and
// line events. Plain C++ with the clock in the frames, so a test drives it frame by frame.
//
// Input: per frame the stream's EventFrame (size, index, PTS, wall time) and its objects
// with track ids. Output: the events of that frame, in this order: tracks that ended
// (zone_leave for each zone they were in, then end), then per present track in track-id
// order: on the frame it starts to count, new, zone_enter for each zone it is in and the
// line crossings it made meanwhile; on later frames zone_leave / zone_enter in zone order,
// line_cross in line order, update. An event's `zones` are the track's zones after its
// frame. Ids and sequence numbers are left to the caller.
//
//   nimbra_internal::EventEngine engine("cam1", config);
//   std::vector<Velkor::Nimbra::Event> out;
//   engine.feed(frame, objects, out);
//
// Rules:
// - A track counts after it was present in `min_frames` frames with a top confidence of
//   at least `min_confidence`; one that is lost before never makes an event (flicker).
// - A track is lost when it is missing from `lost_frames` frames in a row.
// - Zones and lines test the anchor point of the box. A point on a zone's edge is inside.
//   Membership changes after the point has been on the other side for the zone's
//   `min_frames` frames in a row. A point exactly on a line belongs to no side and neither
//   confirms nor breaks a pending change; a side change counts as a crossing only when the
//   path from the last point on the old side to the first point on the new side passes
//   through the segment between the line's two points (going round its end is none).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "StreamEvents.h"

namespace nimbra_internal {

// Geometry, exposed for the tests.
// True when (x, y) is inside the polygon or on its edge.
bool point_in_polygon(double x, double y, const std::vector<Velkor::Nimbra::EventPoint>& poly);
// Side of (x, y) against the line a->b as seen on the picture: +1 right, -1 left, 0 on it.
int side_of_line(double x, double y, const Velkor::Nimbra::EventPoint& a, const Velkor::Nimbra::EventPoint& b);
// True when the path p->q crosses the segment a-b (touching it counts).
bool path_crosses_segment(const Velkor::Nimbra::EventPoint& p, const Velkor::Nimbra::EventPoint& q,
                          const Velkor::Nimbra::EventPoint& a, const Velkor::Nimbra::EventPoint& b);

class EventEngine {
 public:
  EventEngine(std::string stream_id, Velkor::Nimbra::StreamEventConfig config);

  void feed(const Velkor::Nimbra::EventFrame& frame, const std::vector<Velkor::Nimbra::DetectedObject>& objects,
            std::vector<Velkor::Nimbra::Event>& out);
  // The stream ended at `wall_time_s`: every counted track ends.
  void finish(double wall_time_s, std::vector<Velkor::Nimbra::Event>& out);

  size_t live_tracks() const { return tracks_.size(); }
  const Velkor::Nimbra::StreamEventConfig& config() const { return config_; }

 private:
  struct LineState {
    int side = 0;        // settled side; 0 until known
    int candidate = 0;   // side seen lately that differs from `side`
    int count = 0;       // frames in a row on `candidate`
    Velkor::Nimbra::EventPoint last_on_side, first_on_candidate;
  };
  struct ZoneState {
    bool inside = false;
    int count = 0;  // frames in a row on the other side
  };
  struct Track {
    int64_t id = -1;
    std::string label;
    int32_t class_id = -1;
    int frames_seen = 0;
    int missing = 0;
    bool counted = false;
    float confidence = 0, top_confidence = 0;
    float x = 0, y = 0, w = 0, h = 0;
    int32_t frame_width = 0, frame_height = 0;
    int64_t frame_index = 0, start_pts = -1, last_pts = -1;
    double start_time = 0, last_time = 0, last_report = 0;
    std::vector<ZoneState> zones;  // per configured zone
    std::vector<LineState> lines;  // per configured line
    std::vector<Velkor::Nimbra::Event> held;  // line crossings before the track counted
  };

  bool label_wanted(const std::vector<std::string>& labels, const std::string& label) const;
  Velkor::Nimbra::Event make_event(Velkor::Nimbra::EventType type, const Track& t, double now) const;
  void end_track(Track& t, double now, std::vector<Velkor::Nimbra::Event>& out);
  std::vector<std::string> zone_names(const Track& t) const;

  std::string stream_id_;
  Velkor::Nimbra::StreamEventConfig config_;
  std::map<int64_t, Track> tracks_;
};

}  // namespace nimbra_internal
