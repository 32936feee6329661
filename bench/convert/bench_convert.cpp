// SPDX-License-Identifier: LGPL-2.1-or-later
// bench_convert [clip.mp4] [frames]
//
// Cost of turning decoded 1080p H.264 into RGB, next to the cost of decoding
// it. The clip (generated with videotestsrc ! x264enc when no path is given)
// is decoded once with v4l2h264dec; the NV12 frames stay in memory and are
// pushed through appsrc into
//   qtivtransform ! video/x-raw,format=RGB
//   videoconvert n-threads=2 ! video/x-raw,format=RGB
// while decoding alone (filesrc ! qtdemux ! h264parse ! v4l2h264dec ! fakesink)
// gives the floor. Wall and process CPU time per frame are printed.
#include <errno.h>
#include <unistd.h>

#include <gst/app/app.h>

#include <gst/gst.h>

#include <glib/gstdio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

using benchutil::Cost;

bool wait_eos(GstElement *pipe) { return benchutil::wait_eos(pipe, 600 * GST_SECOND); }

bool run_simple(const std::string &desc)
{
  GstElement *pipe = gst_parse_launch(desc.c_str(), nullptr);
  if (!pipe)
    return false;
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  bool ok = wait_eos(pipe);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(pipe);
  return ok;
}

/* Decodes the clip once, keeping up to @max frames of NV12 in memory. */
std::vector<GstSample *> decode_frames(const std::string &clip, int max)
{
  std::vector<GstSample *> frames;
  std::string desc = "filesrc location=\"" + clip +
                     "\" ! qtdemux ! h264parse ! v4l2h264dec ! video/x-raw,format=NV12 ! appsink name=out sync=false";
  GstElement *pipe = gst_parse_launch(desc.c_str(), nullptr);
  if (!pipe)
    return frames;
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "out");
  GstBus *bus = gst_element_get_bus(pipe);
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  /* An upstream error never reaches the appsink as EOS: watch the bus between pulls. */
  while ((int)frames.size() < max && !gst_app_sink_is_eos(GST_APP_SINK(sink))) {
    GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
    if (s) {
      frames.push_back(s);
      continue;
    }
    if (GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError *err = nullptr;
      gst_message_parse_error(m, &err, nullptr);
      fprintf(stderr, "bench_convert: decoding %s failed: %s\n", clip.c_str(), err ? err->message : "?");
      g_clear_error(&err);
      gst_message_unref(m);
      break;
    }
  }
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(pipe);
  return frames;
}

Cost time_decode(const std::string &clip)
{
  Cost c;
  std::string desc = "filesrc location=\"" + clip + "\" ! qtdemux ! h264parse ! v4l2h264dec ! fakesink name=sink sync=false";
  GstElement *pipe = gst_parse_launch(desc.c_str(), nullptr);
  if (!pipe)
    return c;
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "sink");
  GstPad *pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER,
                    [](GstPad *, GstPadProbeInfo *, gpointer data) -> GstPadProbeReturn {
                      ++*static_cast<int *>(data);
                      return GST_PAD_PROBE_OK;
                    },
                    &c.frames, nullptr);
  gst_object_unref(pad);
  gst_object_unref(sink);
  const benchutil::Stopwatch watch;
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  c.ok = wait_eos(pipe);
  watch.stop(c);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(pipe);
  return c;
}

Cost time_convert(const std::string &converter, const std::vector<GstSample *> &frames, int repeat)
{
  Cost c;
  GstCaps *caps = gst_sample_get_caps(frames[0]);
  std::string desc = "appsrc name=src format=time max-bytes=0 ! " + converter +
                     " ! video/x-raw,format=RGB ! fakesink name=sink sync=false";
  GstElement *pipe = gst_parse_launch(desc.c_str(), nullptr);
  if (!pipe)
    return c;
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), "src");
  g_object_set(src, "caps", caps, "block", TRUE, "max-buffers", (guint64)4, NULL);
  /* Pre-stamp shallow copies so the timed loop only hands over references. */
  std::vector<GstBuffer *> bufs;
  for (int r = 0; r < repeat; r++) {
    for (GstSample *s : frames) {
      GstBuffer *b = gst_buffer_copy(gst_sample_get_buffer(s));
      GST_BUFFER_PTS(b) = gst_util_uint64_scale(bufs.size(), GST_SECOND, 30);
      GST_BUFFER_DURATION(b) = GST_SECOND / 30;
      bufs.push_back(b);
    }
  }
  c.frames = (int)bufs.size();
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  const benchutil::Stopwatch watch;
  for (GstBuffer *b : bufs)
    gst_app_src_push_buffer(GST_APP_SRC(src), b);
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  c.ok = wait_eos(pipe);
  watch.stop(c);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(pipe);
  return c;
}

void print_cost(const char *name, const Cost &c) { benchutil::print_cost(name, c, 46); }

}  // namespace

int main(int argc, char **argv)
{
#ifdef NMX_BENCH_PLUGIN_DIR
  benchutil::default_plugin_path(NMX_BENCH_PLUGIN_DIR);
#endif
  gst_init(&argc, &argv);
  std::string clip;
  std::string tmpdir;
  int frames_wanted = argc > 2 ? atoi(argv[2]) : 90;
  if (argc > 1) {
    clip = argv[1];
    if (access(clip.c_str(), R_OK) != 0) {
      fprintf(stderr, "bench_convert: cannot read %s: %s\n", clip.c_str(), g_strerror(errno));
      return 1;
    }
  } else {
    tmpdir = g_dir_make_tmp("bench-convert-XXXXXX", nullptr);
    clip = tmpdir + "/clip1080p.mp4";
    printf("generating %s (%d frames of 1080p H.264)...\n", clip.c_str(), frames_wanted);
    std::string gen = "videotestsrc num-buffers=" + std::to_string(frames_wanted) +
                      " pattern=smpte horizontal-speed=4 ! video/x-raw,format=I420,width=1920,height=1080,"
                      "framerate=30/1 ! x264enc speed-preset=superfast bitrate=8000 key-int-max=30 ! "
                      "video/x-h264,profile=high ! h264parse ! mp4mux ! filesink location=\"" + clip + "\"";
    if (!run_simple(gen)) {
      fprintf(stderr, "could not generate the clip\n");
      return 1;
    }
  }

  std::vector<GstSample *> frames = decode_frames(clip, frames_wanted);
  if (frames.empty()) {
    fprintf(stderr, "no frames decoded from %s\n", clip.c_str());
    return 1;
  }
  GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(frames[0]), 0);
  int w = 0, h = 0;
  gst_structure_get_int(s, "width", &w);
  gst_structure_get_int(s, "height", &h);
  printf("clip %s: %dx%d, %zu NV12 frames kept in memory, %u CPUs\n", clip.c_str(), w, h, frames.size(),
         g_get_num_processors());
  const int repeat = std::max(1, (int)(300 / frames.size()));

  Cost decode = time_decode(clip);
  Cost qti = time_convert("qtivtransform", frames, repeat);
  g_setenv("NMXSOFT_CONVERT_THREADS", "1", TRUE);
  Cost qti1 = time_convert("qtivtransform", frames, repeat);
  g_unsetenv("NMXSOFT_CONVERT_THREADS");
  Cost vc = time_convert("videoconvert n-threads=2", frames, repeat);

  printf("\n");
  print_cost("decode (v4l2h264dec ! fakesink, the floor)", decode);
  print_cost("qtivtransform ! RGB", qti);
  print_cost("qtivtransform ! RGB (one thread)", qti1);
  print_cost("videoconvert n-threads=2 ! RGB", vc);
  printf("\nconversion cost / decode cost (cpu):  qtivtransform %.2f  videoconvert %.2f\n",
         qti.cpu_per_frame() / decode.cpu_per_frame(), vc.cpu_per_frame() / decode.cpu_per_frame());
  printf("conversion cost / decode cost (wall): qtivtransform %.2f  videoconvert %.2f\n",
         qti.wall_per_frame() / decode.wall_per_frame(), vc.wall_per_frame() / decode.wall_per_frame());
  printf("videoconvert / qtivtransform speedup: wall %.2fx  cpu %.2fx\n", vc.wall_per_frame() / qti.wall_per_frame(),
         vc.cpu_per_frame() / qti.cpu_per_frame());
  printf("two bands vs one thread (wall): %.2fx\n", qti1.wall_per_frame() / qti.wall_per_frame());

  for (GstSample *f : frames)
    gst_sample_unref(f);
  if (!tmpdir.empty()) {
    g_unlink(clip.c_str());
    g_rmdir(tmpdir.c_str());
  }
  return decode.ok && qti.ok && vc.ok ? 0 : 1;
}
