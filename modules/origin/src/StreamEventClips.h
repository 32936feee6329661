// Event clips: a stream with "eventClips" in its "properties" tees its encoded input,
// before the decoder, into a ring of short MP4 segments (the rolling recorder's segment
// writer, nothing re-encoded). Each new, zone_enter and line_cross event of the stream
// asks for a clip from `pre` seconds before the event's frame to `post` seconds after it;
// once the segments up to the post-roll are closed (or the stream has ended), the merge
// script joins them into "<dir>/<stream>-<UTC time>-<sequence>.mp4" on a worker thread,
// and a `clip` event carrying the path (and the id of the event it records) follows.
//
//   "eventClips": {"pre": 5, "post": 5, "ringSeconds": 60, "segmentSeconds": 2,
//                  "dir": "/var/clips"}
//
// Times are those of the stream (its PTS), not of the wall clock: a file played faster
// than real time gets the same clips. A clip starts and ends on segment boundaries (a
// segment starts on a keyframe), so it covers at least pre..post and at most about one
// segment more on each side; an event within `pre` of the start, or within `post` of the
// end, of the recording gets what there is. Segments are deleted once older than
// `ringSeconds`, never while a clip still needs them.
#pragma once

#include <gst/gst.h>

#include <string>
#include <vector>

#include "StreamEvents.h"

namespace nimbra_internal {

// Links `parser` to `decoder` inside the input group `bin`. When the stream's
// configuration has "eventClips", through a tee whose other branch writes the stream's
// clip ring (a bad "eventClips" is logged once and the stream runs without clips). false
// when linking failed (the caller logs it). `from_network`: parameter sets are repeated
// in the segments, as a stream joined mid-way needs.
bool link_to_decoder(GstElement* bin, GstElement* parser, GstElement* decoder, const std::string& stream_id,
                     const std::string& decode_type, bool from_network);

// The event dispatcher hands every event of a stream here, numbered, in order. Cheap: it
// only notes the clips asked for.
void clip_events_seen(const std::vector<Velkor::Nimbra::Event>& events);

// Waits until every clip that could be written so far has been (or failed), up to
// `timeout_s`. Clips still waiting for their post-roll are not waited for. true when idle.
bool wait_event_clips(double timeout_s);

}  // namespace nimbra_internal
