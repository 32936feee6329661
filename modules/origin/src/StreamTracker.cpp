// IoU tracker with constant-velocity motion (see StreamTracker.h).
#include "StreamTracker.h"

#include <algorithm>

namespace nimbra_internal {

float box_iou(const TrackerBox& a, const TrackerBox& b) {
  const float x1 = std::max(a.x, b.x), y1 = std::max(a.y, b.y);
  const float x2 = std::min(a.x + a.w, b.x + b.w), y2 = std::min(a.y + a.h, b.y + b.h);
  const float inter = std::max(0.0f, x2 - x1) * std::max(0.0f, y2 - y1);
  const float uni = a.w * a.h + b.w * b.h - inter;
  return uni > 0 ? inter / uni : 0.0f;
}

namespace {
constexpr size_t kHistory = 12;        // detections the motion is fitted to
constexpr int64_t kHistoryFrames = 60; // ... within this many frames of the newest
}  // namespace

void ObjectTracker::fit_motion(Track& t) const {
  while (t.history.size() > 2 && t.frame - t.history.front().frame > kHistoryFrames) t.history.erase(t.history.begin());
  const size_t n = t.history.size();
  if (n < 2) {
    t.vx = t.vy = 0;
    return;
  }
  double mf = 0, mx = 0, my = 0;
  for (const auto& p : t.history) mf += (double)(p.frame - t.frame), mx += p.cx, my += p.cy;
  mf /= n, mx /= n, my /= n;
  double sff = 0, sfx = 0, sfy = 0;
  for (const auto& p : t.history) {
    const double f = (double)(p.frame - t.frame) - mf;
    sff += f * f, sfx += f * (p.cx - mx), sfy += f * (p.cy - my);
  }
  if (sff <= 0) return;
  t.vx = (float)(sfx / sff);
  t.vy = (float)(sfy / sff);
}

TrackerBox ObjectTracker::predict(const Track& t, int64_t frame) const {
  TrackerBox b = t.box;
  const float dt = (float)(frame - t.frame);
  if (dt <= 0) return b;
  const float w = b.w, h = b.h;
  const float cx = b.x + b.w / 2 + t.vx * dt, cy = b.y + b.h / 2 + t.vy * dt;
  b.x = cx - w / 2;
  b.y = cy - h / 2;
  b.w = w;
  b.h = h;
  return b;
}

void ObjectTracker::update(const std::vector<TrackerBox>& detections, int64_t frame) {
  if (frame < last_frame_) return;
  last_frame_ = frame;
  // Tracks gone for too long at this frame cannot take a detection any more.
  tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
                               [&](const Track& t) { return frame - t.frame > lost_frames_; }),
                tracks_.end());

  // Greedy matching, best overlap first, of the same class only.
  pairs_.clear();
  std::vector<TrackerBox> predicted(tracks_.size());
  for (size_t i = 0; i < tracks_.size(); ++i) predicted[i] = predict(tracks_[i], frame);
  for (size_t i = 0; i < tracks_.size(); ++i)
    for (size_t j = 0; j < detections.size(); ++j) {
      if (tracks_[i].box.class_id != detections[j].class_id) continue;
      const float iou = box_iou(predicted[i], detections[j]);
      if (iou >= match_iou_) pairs_.push_back({iou, (int)i, (int)j});
    }
  std::sort(pairs_.begin(), pairs_.end(), [](const Pair& a, const Pair& b) {
    if (a.iou != b.iou) return a.iou > b.iou;
    if (a.track != b.track) return a.track < b.track;
    return a.det < b.det;
  });
  track_used_.assign(tracks_.size(), 0);
  det_used_.assign(detections.size(), 0);
  for (const Pair& p : pairs_) {
    if (track_used_[p.track] || det_used_[p.det]) continue;
    track_used_[p.track] = det_used_[p.det] = 1;
    Track& t = tracks_[p.track];
    const TrackerBox& d = detections[p.det];
    t.history.push_back({frame, d.x + d.w / 2, d.y + d.h / 2});
    if (t.history.size() > kHistory) t.history.erase(t.history.begin());
    t.box = d;
    t.frame = frame;
    fit_motion(t);
  }
  for (size_t j = 0; j < detections.size(); ++j)
    if (!det_used_[j]) {
      const TrackerBox& d = detections[j];
      Track t{next_id_++, d, frame};
      t.history.push_back({frame, d.x + d.w / 2, d.y + d.h / 2});
      tracks_.push_back(std::move(t));
    }
}

const std::vector<TrackedBox>& ObjectTracker::objects_at(int64_t frame) {
  out_.clear();
  for (const Track& t : tracks_) {
    TrackedBox o;
    o.box = predict(t, frame);
    o.track_id = t.id;
    o.age = (int32_t)std::max<int64_t>(0, frame - t.frame);
    out_.push_back(o);
  }
  return out_;
}

}  // namespace nimbra_internal
