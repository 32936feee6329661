#include "StreamSizing.h"

#include <cstdlib>
#include <cstring>

namespace nimbra_internal {

bool legacy_stream_sizes() {
#ifdef NIMBRA_LEGACY_STREAM_SIZES
  return true;
#else
  const char* v = getenv("NIMBRA_STREAM_SIZES");
  return v && strcmp(v, "legacy") == 0;
#endif
}

guint queue_buffers_for(QueueUse use, bool live) {
  if (legacy_stream_sizes()) return 0;
  switch (use) {
    case QueueUse::Compressed:
      // Access units are small; a few keep the decoder fed while the demuxer reads on. A
      // live source's keep the default second: the decoder may need it to get over the
      // burst after a key frame.
      return live ? 0 : 8;
    case QueueUse::Frames:
    case QueueUse::Callback:
      // A file: the next picture, ready when the converter or the callback is. With
      // several streams in a process the streams keep the cores busy, not deep queues.
      // A camera: three frames (120 ms at 25 fps) of slack for a stall downstream.
      return live ? 3 : 1;
  }
  return 0;
}

void size_queue(GstElement* queue, QueueUse use, bool live) {
  const guint buffers = queue_buffers_for(use, live);
  if (!queue || buffers == 0) return;
  g_object_set(queue, "max-size-buffers", buffers, "max-size-bytes", 0u, "max-size-time", (guint64)0, nullptr);
}

}  // namespace nimbra_internal
