// MP4 file input: filesrc ! qtdemux ! queue ! h26xparse ! platform decoder, ghost "src".
#pragma once

#include "StreamBase.h"

class StreamInputFile : public StreamInput {
 public:
  StreamInputFile(std::string location, std::string stream_id);
  ~StreamInputFile() override = default;
  GstElement* build() override;

  std::string location;
  std::string binName;
};

void cb_qtdemux_pad_added(GstElement* demux, GstPad* pad, gpointer queue);
