// Objects a detecting stream found in a frame: what its model detected, followed across
// frames by its tracker. One record per object; the frame's list travels with its Image
// (see objects_of in StreamTypes.h) and into events.
//
//   for (const Velkor::Nimbra::DetectedObject& o : Velkor::Nimbra::objects_of(frame))
//     printf("%s #%lld %.0f%% at %.0f,%.0f\n", o.label.c_str(), (long long)o.track_id,
//            o.confidence * 100, o.x, o.y);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Velkor {
namespace Nimbra {

struct DetectedObject {
  int32_t class_id = -1;
  std::string label;           // the model's class name ("person"), or the class id as text
  float confidence = 0;        // 0..1, of the latest detection
  float x = 0, y = 0;          // top-left corner of the box, frame pixels
  float width = 0, height = 0; // box size, frame pixels
  int64_t track_id = -1;       // stable across frames while the object is tracked; -1: untracked
  int32_t age = 0;             // frames since the object was last detected (0: on this very frame)
};

// The objects of one frame.
struct FrameObjects {
  std::vector<DetectedObject> items;
  int64_t inference_frame = -1;  // frame_index the newest applied detection result came from
};

}  // namespace Nimbra
}  // namespace Velkor
