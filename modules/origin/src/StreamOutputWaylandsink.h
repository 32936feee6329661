// Display output: waylandsink placed at (x, y) with the given size, ghost "sink".
#pragma once

#include "StreamBase.h"

class StreamOutputWaylandsink : public StreamOutput {
 public:
  StreamOutputWaylandsink(int x, int y, int width, int height);
  ~StreamOutputWaylandsink() override = default;
  GstElement* build() override;

  int x;
  int y;
  int width;
  int height;
};
