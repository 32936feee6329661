// RTMP input: rtmpsrc ! flvdemux ! queue ! h26xparse ! platform decoder, ghost "src".
// Audio from the FLV stream is skipped.
#pragma once

#include "StreamBase.h"

class StreamInputRtmp : public StreamInput {
 public:
  StreamInputRtmp(std::string location, std::string stream_id);
  ~StreamInputRtmp() override = default;
  GstElement* build() override;

  std::string location;
  std::string binName;
};

void cb_flvdemux_pad_added(GstElement* demux, GstPad* pad, gpointer queue);
