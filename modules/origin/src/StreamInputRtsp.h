// RTSP input: rtspsrc ! rtph26xdepay ! h26xparse ! platform decoder, ghost "src". Only
// the video stream of the session is linked; audio is reported and left alone.
#pragma once

#include "StreamBase.h"

class StreamInputRtsp : public StreamInput {
 public:
  StreamInputRtsp(std::string location, std::string stream_id);
  ~StreamInputRtsp() override = default;
  GstElement* build() override;

  std::string location;
  std::string binName;
};

void cb_rtspsrc_pad_added(GstElement* src, GstPad* pad, gpointer depay);
GstPadProbeReturn pad_probe_cb(GstPad* pad, GstPadProbeInfo* info, gpointer data);
