// RTMP publish output: platform encoder ! caps(profile=baseline) ! parser ! flvmux !
// rtmpsink, ghost "sink".
#pragma once

#include "StreamBase.h"

class StreamOutputRtmpsink : public StreamOutput {
 public:
  explicit StreamOutputRtmpsink(std::string location);
  ~StreamOutputRtmpsink() override = default;
  GstElement* build() override;

  std::string location;
};
