// Frame-push streams: frames the callback draws, encoded and saved to MP4 or pushed by
// RTSP. The callback runs on the caller's thread, once per frame interval.
#define NIMBRA_MODULE "modules/origin/src/StreamFramePush"
#include <gst/app/gstappsrc.h>

#include "StreamBuild.h"

#include "StreamGstRef.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamLog.h"
#include "StreamPipelineParts.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"

using nimbra_internal::launch_quoted;
using nimbra_internal::platform_tag;

int g_fps = 25;
uint64_t buffer_index = 0;
int g_buffer_count = 4;

namespace {

// Frames waiting in the encoder's source queue at most; beyond it the oldest queued
// frames are dropped, so a stalled output costs bounded memory instead of one frame per
// push until the process dies. The bound is 32 MB, so small frames get seconds of slack
// for an encoder that falls behind for a moment on a busy host, and never fewer than 8
// frames (1080p: 50 MB), nor more than 250.
constexpr guint64 kQueueBytes = 32ULL << 20;
constexpr guint64 kMinQueuedFrames = 8, kMaxQueuedFrames = 250;
guint64 queued_frames_for(size_t frame_bytes) {
  const guint64 n = frame_bytes ? kQueueBytes / frame_bytes : kMinQueuedFrames;
  return std::min(kMaxQueuedFrames, std::max(kMinQueuedFrames, n));
}

int frame_push(StreamProperty& prop, std::function<int8_t(const Image&)>& callback, bool network) {
  NLOG_INFO("Start to save mp4, input width: %d, height: %d, fps: %d", prop.width, prop.height, prop.fps);
  const std::string key = prop.streamId;
  auto claim = nimbra_internal::claim_stream(key, nimbra_internal::StreamKind::FramePush);
  if (!claim) return -1;
  // The push loop ends on the stop flag and closes the source itself, so the encoder
  // drains and the file gets its index.
  claim->set_stop_action([key](nimbra_internal::StopCause cause) {
    if (cause == nimbra_internal::StopCause::Sigint)
      NLOG_INFO("Received SIGINT signal, will send EOS to pipeline.");
    NLOG_INFO("Frame push of stream id: %s ends after the current frame.", key.c_str());
  });
  if (platform_tag() == "6490") nimbra_internal::apply_platform_environment();
  gst_init(nullptr, nullptr);
  // Frame rate and frame memory belong to this stream: several frame-push streams of
  // different sizes and rates can run at once.
  const int fps = prop.fps > 0 ? prop.fps : 25;
  const size_t frame_bytes = prop.width > 0 && prop.height > 0 ? (size_t)prop.width * prop.height * 3 : 0;
  if (frame_bytes == 0) {
    NLOG_ERROR("Frame size %dx%d of stream id: %s cannot be pushed.", prop.width, prop.height, prop.streamId.c_str());
    return -1;
  }
  std::vector<uint8_t> frame(frame_bytes, 128);
  {
    // A host that filled the shared frame memory before the start keeps that picture.
    if (g_share_memory_mp4.data.size() == frame_bytes && g_share_memory_mp4.width == prop.width &&
        g_share_memory_mp4.height == prop.height)
      frame.assign(g_share_memory_mp4.data.begin(), g_share_memory_mp4.data.end());
  }

  std::string desc;
  const std::string& tag = platform_tag();
  const std::string sink = network ? " ! rtspclientsink protocols=tcp location=" + launch_quoted(prop.outputAddr)
                                   : " ! mp4mux ! filesink location=" + launch_quoted(prop.outputFile);
  std::string printed;  // what the specified output lines say, printed once the stream plays
  if (tag == "v4l2" || tag == "ub2404") {
    printed = "_width: " + std::to_string(align_up(prop.width, 128)) + ", _height: " +
              std::to_string(align_up(prop.height, 32)) + "\n";
    desc = "appsrc name=mysrc is-live=true format=time ! videobox bottom=" +
           std::to_string(prop.height - align_up(prop.height, 32)) + " ! videoconvert ! v4l2h264enc ! h264parse" +
           sink;
  } else {
    desc = "appsrc name=mysrc is-live=true format=time ! videoconvert ! video/x-raw,format=NV12,framerate=" +
           std::to_string(fps) + "/1 ! qtic2venc ! h264parse" + sink;
    printed = "pipeline: " + desc + "\n";
  }

  GError* err = nullptr;
  GstElement* parsed = gst_parse_launch(desc.c_str(), &err);
  if (!parsed) {
    NLOG_ERROR("Failed to create pipeline.");
    if (err) g_error_free(err);
    return -1;
  }
  g_clear_error(&err);
  if (tag == "v4l2" || tag == "ub2404") {
    // An encoder that can mark the videobox's padding rows as cropped does, so players show the pushed height.
    GstIterator* it = gst_bin_iterate_elements(GST_BIN(parsed));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
      GObject* e = G_OBJECT(g_value_get_object(&item));
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "crop-bottom"))
        g_object_set(e, "crop-bottom", (guint)(align_up(prop.height, 32) - prop.height), nullptr);
      g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
  }
  nimbra_internal::ElementRef pipeline(parsed);
  nimbra_internal::prepare_pipeline(pipeline.get());
  g_object_set(pipeline.get(), "latency", (GstClockTime)0, nullptr);
  claim->set_pipeline(pipeline.get());
  printed += "pipeline: " + prop.streamId + "\n";
  NLOG_INFO(network ? "Registration pipeline for network stream id: %s" : "Registration pipeline for mp4 stream id: %s",
            key.c_str());
  auto src = nimbra_internal::ElementRef::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "mysrc"));
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width", G_TYPE_INT, prop.width,
                                      "height", G_TYPE_INT, prop.height, "framerate", GST_TYPE_FRACTION, fps, 1,
                                      nullptr);
  const guint64 queued_frames = queued_frames_for(frame_bytes);
  g_object_set(src.get(), "caps", caps, "max-bytes", (guint64)(queued_frames * frame_bytes), "block", FALSE,
               nullptr);
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(src.get()), "leaky-type"))
    gst_util_set_object_arg(G_OBJECT(src.get()), "leaky-type", "downstream");
  gst_caps_unref(caps);
  // Not played when only described (a dry run: the filesink never opens, so no file is
  // created) or when stopped while it was built.
  if (!nimbra_internal::begin_playing(claim.entry(), pipeline.get())) {
    if (claim->stop_requested()) NLOG_INFO("Frame push of stream id: %s was stopped before it started.", key.c_str());
    claim->set_pipeline(nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return 0;
  }
  fputs(printed.c_str(), stdout);
  fflush(stdout);
  nimbra_internal::BusRef bus(gst_element_get_bus(pipeline.get()));

  const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, fps);
  GstClockTime running_time = 0;
  int64_t pushed = 0;
  bool failed = false, full_logged = false;
  while (!claim->stop_requested()) {
    const auto t0 = std::chrono::steady_clock::now();
    Image image;
    image.data = frame.data();
    image.width = prop.width;
    image.height = prop.height;
    image.size = frame_bytes;
    image.fps = fps;
    image.pipe_status = 0;
    image.frame_index = pushed;
    image.stream_id = key;
    const std::shared_ptr<nimbra_internal::StreamMetrics>& metrics = claim->metrics();
    const uint64_t t_frame = nimbra_internal::now_ns();
    metrics->frame_decoded(t_frame);
    callback(image);
    metrics->frame_delivered(nimbra_internal::now_ns() - t_frame);

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, frame_bytes, nullptr);
    gst_buffer_fill(buffer, 0, frame.data(), frame_bytes);
    GST_BUFFER_PTS(buffer) = running_time;
    GST_BUFFER_DURATION(buffer) = duration;
    running_time += duration;
    guint64 queued = 0;
    g_object_get(src.get(), "current-level-bytes", &queued, nullptr);
    if (queued + frame_bytes > queued_frames * frame_bytes && !full_logged) {
      NLOG_WARN("Output of stream id: %s does not keep up; the oldest of %d queued frames are dropped.",
                key.c_str(), (int)queued_frames);
      full_logged = true;
    }
    if (queued + frame_bytes > queued_frames * frame_bytes) metrics->frames_dropped(1);
    GstFlowReturn flow = GST_FLOW_OK;
    g_signal_emit_by_name(src.get(), "push-buffer", buffer, &flow);
    gst_buffer_unref(buffer);
    if (flow != GST_FLOW_OK) {
      NLOG_ERROR("Failed to push buffer to appsrc.");
      failed = true;
      break;
    }
    // A pipeline error (server gone, disk full) ends the loop instead of feeding a dead
    // pipeline until someone stops it.
    if (GstMessage* m = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)) {
      nimbra_internal::BusEnd e = nimbra_internal::parse_error(m);
      gst_message_unref(m);
      nimbra_internal::log_bus_error(e, "Error received from element %s: %s", "Debugging information: %s");
      failed = true;
      break;
    }
    ++pushed;
    buffer_index = (buffer_index + 1) % (uint64_t)g_buffer_count;
    const long spent =
        (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    const long wait = 1000 / fps - spent;
    if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
  }
  NLOG_INFO("After receiving EOS for pipeline, exit.");
  if (!failed) {
    // The end-of-stream drains the encoder and gets the MP4 its index: wait for it to
    // arrive. rtspclientsink at times never confirms it; the watch ends the wait a grace
    // period after it went into the sink. The deadline is a safety net only.
    auto watch = nimbra_internal::watch_output_eos(pipeline.get());
    GstFlowReturn flow;
    g_signal_emit_by_name(src.get(), "end-of-stream", &flow);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
      GstMessage* m = gst_bus_timed_pop_filtered(bus.get(), 200 * GST_MSECOND,
                                                 (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
      if (m) {
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
          nimbra_internal::BusEnd e = nimbra_internal::parse_error(m);
          nimbra_internal::log_bus_error(e, "Error received from element %s: %s", "Debugging information: %s");
          failed = true;
        }
        gst_message_unref(m);
        break;
      }
      if (watch->overdue()) {
        NLOG_WARN("End-of-stream reached the output, which did not confirm it; ending the stream.");
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        NLOG_ERROR("The end-of-stream did not drain; the output is not finalised.");
        failed = true;
        break;
      }
    }
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return failed ? -1 : 0;
}

}  // namespace

int start_save_mp4_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback) {
  return frame_push(prop, callback, false);
}

int start_network_intern(StreamProperty& prop, std::function<int8_t(const Image&)>& callback) {
  return frame_push(prop, callback, true);
}

namespace {
int frame_push_by_id(const std::string& streamId, std::function<int8_t(const Image&)>& callback, bool network) {
  StreamProperty prop;
  if (get_config_properties_mp4(streamId, prop) != 0) return -1;
  // The callback runs on this thread; it is moved out like every launcher does.
  std::function<int8_t(const Image&)> cb = std::move(callback);
  callback = nullptr;
  return network ? start_network_intern(prop, cb) : start_save_mp4_intern(prop, cb);
}
}  // namespace

int start_save_mp4(std::string streamId, std::function<int8_t(const Image&)>& callback) {
  return frame_push_by_id(streamId, callback, false);
}

int start_network_push(std::string streamId, std::function<int8_t(const Image&)>& callback) {
  return frame_push_by_id(streamId, callback, true);
}
