// RTSP publish output (ANNOUNCE/RECORD to a server): platform encoder ! parser !
// rtspclientsink, ghost "sink".
#pragma once

#include "StreamBase.h"

class StreamOutputRtspsink : public StreamOutput {
 public:
  explicit StreamOutputRtspsink(std::string location);
  StreamOutputRtspsink(std::string location, int width, int height);
  ~StreamOutputRtspsink() override = default;
  GstElement* build() override;
  GstElement* build_6490_ql();

  std::string location;
  int width = 640;
  int height = 480;
};
