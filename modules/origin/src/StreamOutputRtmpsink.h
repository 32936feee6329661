// RTMP publish output: platform encoder ! caps(profile=baseline) ! parser ! flvmux !
// rtmpsink, ghost "sink".
#pragma once

#include "StreamBase.h"

class StreamOutputRtmpsink : public StreamOutput {
 public:
  explicit StreamOutputRtmpsink(std::string location);
  // The encoder follows the "encodeType" of `codec_stream_id`, not process-wide state.
  StreamOutputRtmpsink(std::string location, std::string codec_stream_id);
  ~StreamOutputRtmpsink() override = default;
  GstElement* build() override;

  std::string location;
  std::string codec_stream_id;
};
