// Audio-carrying restream: an RTSP camera or an MP4 file with AAC audio re-published to an
// RTSP server as MPEG-TS holding the re-encoded video and the original audio. Every
// video frame passes the caller's callback as RGB on the way, so drawings are published.
//
//   StreamBuildAudio s("camera_audio");     // reads the stream's configuration
//   int rc = s.launch_stream(callback);      // blocks until the stream ends
#pragma once

#include <gst/gst.h>

#include <functional>
#include <string>

#include "StreamBase.h"
#include "StreamBuild.h"
#include "StreamTypes.h"

class StreamBuildAudio : public StreamBase {
 public:
  explicit StreamBuildAudio(std::string stream_id);
  ~StreamBuildAudio();
  GstElement* build() override { return nullptr; }

  int launch_stream(std::function<int8_t(const Image&)>& callback);

  int init();
  int init_rtsp_intput();
  int init_file_intput();
  int init_rtsp_middle();
  int init_middle_6490_ql();
  int init_rtsp_output();
  int init_rtsp_output_6490_ql();
  int init_audio();
  int set_pipeline();
  int set_pipeline_rtsp_rtsp();
  int set_pipeline_file_rtsp();

  StreamProperty prop;
  PiplineData data;
  int kind = 0;  // +1 RTSP input, +2 file input, +10 RTSP output

  GstElement* rtspsrc = nullptr;
  GstElement* video_depay = nullptr;
  GstElement* video_parse = nullptr;
  GstElement* filesrc = nullptr;
  GstElement* demux = nullptr;
  GstElement* video_queue = nullptr;
  GstElement* decoder = nullptr;
  GstElement* transform_in = nullptr;
  GstElement* rgb_caps = nullptr;
  GstElement* transform_out = nullptr;
  GstElement* nv12_caps = nullptr;
  GstElement* encoder = nullptr;
  GstElement* out_parse = nullptr;
  GstElement* audio_depay = nullptr;
  GstElement* audio_queue = nullptr;
  GstElement* audio_parse = nullptr;
  GstElement* mux = nullptr;
  GstElement* sink = nullptr;

 private:
  // Elements created but not yet owned by the pipeline, released if building fails.
  void release_unadded();
  bool added_ = false;
};

void audio_cb_rtspsrc_pad_added(GstElement* src, GstPad* pad, gpointer pipeline);
void audio_cb_filesrc_pad_added(GstElement* demux, GstPad* pad, gpointer pipeline);
GstPadProbeReturn audio_on_buffer_received(GstPad* pad, GstPadProbeInfo* info, void* data);
