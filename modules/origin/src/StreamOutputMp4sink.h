// MP4 recording output, ghost "sink". On "v4l2" and "ub2404" boards the picture is
// padded at the bottom to the encoder's 32-row alignment before encoding.
#pragma once

#include "StreamBase.h"

class StreamOutputMp4sink : public StreamOutput {
 public:
  explicit StreamOutputMp4sink(std::string location);
  StreamOutputMp4sink(std::string location, int width, int height);
  ~StreamOutputMp4sink() override = default;
  GstElement* build() override;
  GstElement* build_6490_ql();

  std::string location;
  int width = 640;
  int height = 480;
};
