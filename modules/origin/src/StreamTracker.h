// Multi-object tracker of a detecting stream: IoU matching of detections against tracks
// moved by their own velocity, so boxes keep moving on the frames the model skips.
//
// Inference runs behind the frames: a result computed on frame F is applied on a later
// frame N. Tracks keep their position at the frame of their latest detection and a
// velocity per frame, so the tracker matches a result against where its tracks were on F
// and reports where they are on N.
//
//   nimbra_internal::ObjectTracker t;
//   t.update(boxes_of_frame_12, 12);       // whenever a result arrives
//   for (auto& o : t.objects_at(15)) ...   // every frame
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbra_internal {

struct TrackerBox {
  int32_t class_id = -1;
  float score = 0;
  float x = 0, y = 0, w = 0, h = 0;  // frame pixels
};

struct TrackedBox {
  TrackerBox box;         // moved to the frame asked for
  int64_t track_id = -1;
  int32_t age = 0;        // frames since its latest detection
};

class ObjectTracker {
 public:
  // `lost_frames`: a track is dropped once a result of a frame more than this many frames
  // after its latest detection leaves it out (a slow model ends no track by being slow).
  explicit ObjectTracker(int lost_frames = 30, float match_iou = 0.2f)
      : lost_frames_(lost_frames), match_iou_(match_iou) {}

  // Detections computed on frame `frame`. Results older than the latest applied one
  // are ignored.
  void update(const std::vector<TrackerBox>& detections, int64_t frame);
  // The live tracks as they stand on frame `frame` (>= the latest update's frame).
  const std::vector<TrackedBox>& objects_at(int64_t frame);

  size_t size() const { return tracks_.size(); }

 private:
  struct Track {
    int64_t id;
    TrackerBox box;       // at `frame`
    int64_t frame;        // of the latest detection
    float vx = 0, vy = 0; // centre motion, pixels per frame
    // Recent detections (frame, centre): the motion is the least-squares line through
    // them, so one detection off by a few pixels (a box that snapped to a grid, an object
    // half hidden) does not send the carried box astray.
    struct Point {
      int64_t frame;
      float cx, cy;
    };
    std::vector<Point> history;
  };
  void fit_motion(Track& t) const;
  TrackerBox predict(const Track& t, int64_t frame) const;

  int lost_frames_;
  float match_iou_;
  int64_t next_id_ = 1;
  int64_t last_frame_ = -1;
  std::vector<Track> tracks_;
  std::vector<TrackedBox> out_;
  struct Pair {
    float iou;
    int track, det;
  };
  std::vector<Pair> pairs_;
  std::vector<char> track_used_, det_used_;
};

float box_iou(const TrackerBox& a, const TrackerBox& b);

}  // namespace nimbra_internal
