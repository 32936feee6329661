// How many buffers each queue of a stream pipeline may hold, by what the queue is for.
//
// GStreamer's queue holds up to 200 buffers, 10 MB or one second by default, whichever
// comes first: for decoded 1080p pictures that is four NV12 frames or two RGB ones in
// every queue of every stream, whether the queue needs them or not. A file source is
// read as fast as the chain takes it, so a queue of raw pictures needs only the next
// one, ready while the one before is being converted; a live source is paced by its
// camera and gets a few frames to ride out a stall downstream.
// NIMBRA_STREAM_SIZES=legacy (or building with NIMBRA_LEGACY_STREAM_SIZES) leaves every
// queue at GStreamer's default, as the pipelines had it before (and the soft platform's
// decoder at as many frame threads as there are cores).
#pragma once

#include <gst/gst.h>

namespace nimbra_internal {

enum class QueueUse {
  Compressed,  // encoded access units between a demuxer and the parser and decoder
  Frames,      // decoded pictures between two converters
  Callback,    // decoded pictures in front of the frame callback's probe
};

// Whether the queues keep GStreamer's default sizes.
bool legacy_stream_sizes();
// The limit in buffers for `use` (`live`: a camera or network source, not a file); 0
// when the queue keeps GStreamer's default limits.
guint queue_buffers_for(QueueUse use, bool live);
// Sets the limits of `queue` for `use`: that many buffers, no limit in bytes or time.
// Leaves the queue alone where queue_buffers_for is 0, and when `queue` is null.
void size_queue(GstElement* queue, QueueUse use, bool live);

}  // namespace nimbra_internal
