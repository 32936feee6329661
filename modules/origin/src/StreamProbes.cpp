// Frame delivery: the probes that hand every RGB frame, mapped writable, to the
// stream's callback on the streaming thread.
#define NIMBRA_MODULE "modules/origin/src/StreamProbes"
#include "StreamBuild.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamDetect.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"

using nimbra_internal::now_ns;

namespace {

// ---------------------------------------------------------------------------------
// Frame delivery shared by the probes.

void update_size_from_caps(GstPad* pad, Image& image) {
  GstCaps* caps = gst_pad_get_current_caps(pad);
  if (!caps) {
    NLOG_FRAME("No caps available on this pad.");
    return;
  }
  const GstStructure* s = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
  if (!s) {
    NLOG_WARN("No structure found in caps.");
  } else {
    int w = 0, h = 0;
    if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h)) {
      image.width = w;
      image.height = h;
      NLOG_FRAME("Get width: %d, height: %d", w, h);
    } else {
      NLOG_WARN("Width or Height not found.");
    }
  }
  if (nimbra_internal::frame_logging()) {
    gchar* text = gst_caps_to_string(caps);
    NLOG_FRAME("Caps: %s", text);
    g_free(text);
  }
  gst_caps_unref(caps);
  NLOG_FRAME("caps_str get and completed.");
}

void update_fps(PiplineData* d) {
  d->frameCount++;
  const uint64_t now = now_ns();
  if (d->metrics) d->metrics->frame_decoded(now);
  if (now - d->windowStart >= 1000000000ULL) {
    NLOG_FRAME("To calculate frame rate.");
    double fps = (double)d->frameCount * 1e9 / (double)(now - d->windowStart);
    NLOG_FRAME("FPS: %f", fps);
    d->frameCount = 0;
    d->windowStart = now;
    d->image.fps = fps;
    NLOG_FRAME("Complete to calculate frame rate.");
  }
}

// Maps the frame writable and runs the callback on it. A buffer shared with another
// holder is made writable first, so a drawing never changes someone else's frame and
// always reaches this branch's output.
void deliver(GstPadProbeInfo* info, PiplineData* d, bool set_status, bool v4l2) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer) return;
  if (!gst_buffer_is_writable(buffer)) {
    buffer = gst_buffer_make_writable(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, (GstMapFlags)(GST_MAP_READ | GST_MAP_WRITE))) return;
  if (set_status) d->image.pipe_status = 0;
  d->image.data = map.data;
  d->image.size = map.size;
  if (v4l2) {
    d->image.src_width = d->image.height ? (int32_t)(map.size / (3 * (size_t)d->image.height)) : 0;
    d->image.src_height = d->image.height;
    NLOG_FRAME("Callback: w: %d, h: %d, id: %s, fps: %f", d->image.width, d->image.height,
               d->image.stream_id.c_str(), d->image.fps);
  } else {
    NLOG_FRAME("Callback: w: %d, h: %d, id: %s", d->image.width, d->image.height, d->image.stream_id.c_str());
  }
  if (d->detector && d->image.height > 0)
    d->detector->on_frame(d->image, map.data, (int)(map.size / (size_t)d->image.height));
  const uint64_t t0 = now_ns();
  if (d->metrics && nimbra_internal::metrics_enabled()) {
    d->metrics->callback_started(t0);
    d->callback(d->image);
    d->last_callback_ns = now_ns() - t0;
    d->metrics->frame_delivered(d->last_callback_ns);
  } else {
    d->callback(d->image);
    d->last_callback_ns = now_ns() - t0;
  }
  const uint64_t interval = d->frame_interval_ns ? d->frame_interval_ns : 40000000ULL;
  d->skip_budget = d->last_callback_ns / interval;
  nimbra_internal::StreamDetector::after_callback(d->image);
  d->image.data = nullptr;
  gst_buffer_unmap(buffer, &map);
}

// Frames waiting behind one that make it skip the callback. One waiting frame is jitter
// (a burst from the network or the decoder, an output that paced the thread for a
// moment); two mean the callback is falling behind the camera.
constexpr guint kNewerFramesToSkip = 2;

// Whether this frame goes to the output without the callback. A stopping stream hands
// nothing more to the callback: the frames still queued are not drained through it. On a
// live input the newest frame wins: a frame with newer ones already waiting in the queue
// ahead of the probe is passed on undrawn and counted, so a callback slower than the
// camera never builds a backlog, and the outputs still get every frame.
bool skips_callback(PiplineData* d) {
  if (d->image.pts >= 0 && d->previous_pts >= 0 && d->image.pts > d->previous_pts)
    d->frame_interval_ns = (uint64_t)(d->image.pts - d->previous_pts);
  d->previous_pts = d->image.pts;
  bool skip = d->entry && d->entry->stop_requested();
  // Only the frames that came in while the last callback ran are its backlog: a quick
  // callback makes none, and behind a display that keeps time frames wait whatever the
  // callback costs. So at most that many are skipped before the callback runs again.
  if (!skip && d->newest_wins && d->callback_queue && d->skip_budget > 0) {
    guint waiting = 0;
    g_object_get(d->callback_queue, "current-level-buffers", &waiting, nullptr);
    skip = waiting >= kNewerFramesToSkip;
    if (skip) --d->skip_budget;
  }
  if (skip && d->metrics) d->metrics->callback_skipped();
  return skip;
}

GstPadProbeReturn classic_probe(GstPad* pad, GstPadProbeInfo* info, PiplineData* d, bool set_status) {
  d->image.stream_id = d->streamId;
  d->image.frame_index++;
  if (GstBuffer* b = GST_PAD_PROBE_INFO_BUFFER(info))
    d->image.pts = GST_BUFFER_PTS_IS_VALID(b) ? (int64_t)GST_BUFFER_PTS(b) : -1;
  NLOG_FRAME("callback on_buffer_received start. frame: %ld", (long)d->image.frame_index);
  update_size_from_caps(pad, d->image);
  update_fps(d);
  if (!d->callback) {
    NLOG_WARN("Callback not initialized.");
  } else if (!skips_callback(d)) {
    NLOG_FRAME("Callback function invoking.");
    deliver(info, d, set_status, false);
    NLOG_FRAME("Callback function invoking completed.");
  }
  NLOG_FRAME("callback on_buffer_received end.");
  return GST_PAD_PROBE_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Probes

GstPadProbeReturn on_buffer_received(GstPad* pad, GstPadProbeInfo* info, void* data) {
  return classic_probe(pad, info, static_cast<PiplineData*>(data), true);
}

GstPadProbeReturn on_buffer_received_re(GstPad* pad, GstPadProbeInfo* info, void* data) {
  return classic_probe(pad, info, static_cast<PiplineData*>(data), false);
}

GstPadProbeReturn on_buffer_received_v4l2(GstPad* pad, GstPadProbeInfo* info, void* data) {
  auto* d = static_cast<PiplineData*>(data);
  d->image.stream_id = d->streamId;
  d->image.frame_index++;
  const long idx = (long)d->image.frame_index;
  NLOG_FRAME("START: on_buffer_received_v4l2 - ############################################ idx: %ld", idx);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer) {
    NLOG_FRAME("Frame %ld no buffer received.", idx);
    return GST_PAD_PROBE_OK;
  }
  d->image.pts = GST_BUFFER_PTS_IS_VALID(buffer) ? (int64_t)GST_BUFFER_PTS(buffer) : -1;
  if (!GST_BUFFER_PTS_IS_VALID(buffer)) {
    NLOG_FRAME("Frame %ld has no timestamp.", idx);
  } else {
    const GstClockTime t = GST_BUFFER_PTS(buffer);
    char text[48];
    snprintf(text, sizeof text, "%u:%02u:%02u.%09u", (unsigned)(t / (GST_SECOND * 3600)),
             (unsigned)((t / (GST_SECOND * 60)) % 60), (unsigned)((t / GST_SECOND) % 60),
             (unsigned)(t % GST_SECOND));
    d->image.timestamp = text;
  }
  NLOG_FRAME("callback on_buffer_received start. frame: %ld", idx);
  update_size_from_caps(pad, d->image);
  update_fps(d);
  if (!d->callback) {
    NLOG_WARN("Callback not initialized.");
  } else if (!skips_callback(d)) {
    NLOG_FRAME("Callback function invoking. idx: %ld", idx);
    deliver(info, d, true, true);
    NLOG_FRAME("Callback function invoking completed. idx: %ld", idx);
  }
  NLOG_FRAME("END: on_buffer_received_v4l2 - ############################################ idx: %ld", idx);
  return GST_PAD_PROBE_OK;
}
