// SPDX-License-Identifier: LGPL-2.1-or-later
// bench_composer [frames]
//
// Four 1080p NV12 inputs composed into one 1080p NV12 frame as a 2x2 grid of
// 960x540 tiles, by qtivcomposer and by GStreamer's compositor, on the same
// inputs in the same run. Four distinct 1080p pictures are made once with
// videotestsrc and kept in memory; each appsrc hands out references to them,
// so neither composer pays for producing its input. Printed: process CPU and
// wall time per output frame, and compositor / qtivcomposer.
#include <gst/app/app.h>
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

const int kWidth = 1920, kHeight = 1080, kTileW = 960, kTileH = 540;

using benchutil::Cost;

bool wait_eos(GstElement *pipe) { return benchutil::wait_eos(pipe, 900 * GST_SECOND); }

GstSample *make_picture(const char *pattern)
{
  std::string desc = std::string("videotestsrc num-buffers=1 pattern=") + pattern +
                     " ! video/x-raw,format=NV12,width=" + std::to_string(kWidth) +
                     ",height=" + std::to_string(kHeight) + ",framerate=30/1 ! appsink name=out sync=false";
  GstElement *pipe = gst_parse_launch(desc.c_str(), nullptr);
  if (!pipe)
    return nullptr;
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "out");
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  GstSample *s = gst_app_sink_pull_sample(GST_APP_SINK(sink));
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipe);
  return s;
}

/* @mixer names the composer and the per-pad placement options of the 2x2 grid. */
Cost time_composer(const std::string &mixer, const std::vector<GstSample *> &pictures, int frames)
{
  Cost c;
  std::string desc = mixer + " ! video/x-raw,format=NV12,width=" + std::to_string(kWidth) +
                     ",height=" + std::to_string(kHeight) + " ! fakesink name=sink sync=false ";
  for (int i = 0; i < 4; i++)
    desc += "appsrc name=src" + std::to_string(i) + " format=time max-bytes=0 ! mix.sink_" + std::to_string(i) + " ";
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch(desc.c_str(), &err);
  if (!pipe || err) {
    fprintf(stderr, "bench_composer: cannot build \"%s\": %s\n", desc.c_str(), err ? err->message : "?");
    g_clear_error(&err);
    return c;
  }
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

  /* Pre-stamped shallow copies: the timed part only hands over references. */
  std::vector<GstElement *> srcs;
  std::vector<std::vector<GstBuffer *>> bufs(4);
  for (int i = 0; i < 4; i++) {
    GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), ("src" + std::to_string(i)).c_str());
    g_object_set(src, "caps", gst_sample_get_caps(pictures[i]), "block", TRUE, "max-buffers", (guint64)4, NULL);
    srcs.push_back(src);
    for (int f = 0; f < frames; f++) {
      GstBuffer *b = gst_buffer_copy(gst_sample_get_buffer(pictures[i]));
      GST_BUFFER_PTS(b) = gst_util_uint64_scale(f, GST_SECOND, 30);
      GST_BUFFER_DURATION(b) = GST_SECOND / 30;
      bufs[i].push_back(b);
    }
  }
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  const benchutil::Stopwatch watch;
  /* One feeder per input: a blocking appsrc would otherwise stall the others. */
  std::vector<std::thread> feeders;
  for (int i = 0; i < 4; i++)
    feeders.emplace_back([&, i] {
      for (GstBuffer *b : bufs[i])
        gst_app_src_push_buffer(GST_APP_SRC(srcs[i]), b);
      gst_app_src_end_of_stream(GST_APP_SRC(srcs[i]));
    });
  c.ok = wait_eos(pipe);
  watch.stop(c);
  gst_element_set_state(pipe, GST_STATE_NULL);
  for (std::thread &t : feeders)
    t.join();
  for (GstElement *s : srcs)
    gst_object_unref(s);
  gst_object_unref(pipe);
  return c;
}

void print_cost(const char *name, const Cost &c) { benchutil::print_cost(name, c, 14); }

}  // namespace

int main(int argc, char **argv)
{
#ifdef NMX_BENCH_PLUGIN_DIR
  benchutil::default_plugin_path(NMX_BENCH_PLUGIN_DIR);
#endif
  gst_init(&argc, &argv);
  int frames = 150;
  if (argc > 1) {
    char *end = nullptr;
    frames = (int)strtol(argv[1], &end, 10);
    if (!end || *end || frames <= 0) {
      fprintf(stderr, "bench_composer: frame count must be a positive number, not \"%s\"\n", argv[1]);
      return 1;
    }
  }
  for (const char *f : {"qtivcomposer", "compositor", "videotestsrc", "appsrc"}) {
    GstElementFactory *fac = gst_element_factory_find(f);
    if (!fac) {
      fprintf(stderr, "bench_composer: element %s is not available\n", f);
      return 1;
    }
    gst_object_unref(fac);
  }
  std::vector<GstSample *> pictures;
  for (const char *p : {"smpte", "ball", "pinwheel", "zone-plate"}) {
    GstSample *s = make_picture(p);
    if (!s) {
      fprintf(stderr, "bench_composer: cannot make the %s input picture\n", p);
      return 1;
    }
    pictures.push_back(s);
  }
  printf("four %dx%d NV12 inputs -> one %dx%d NV12 frame (2x2 grid of %dx%d), %d frames, %u CPUs\n", kWidth,
         kHeight, kWidth, kHeight, kTileW, kTileH, frames, g_get_num_processors());

  /* Placement in each composer's own words. */
  std::string qti_desc = "qtivcomposer name=mix ";
  std::string comp_desc = "compositor name=mix ";
  for (int i = 0; i < 4; i++) {
    int x = (i % 2) * kTileW, y = (i / 2) * kTileH;
    char buf[256];
    snprintf(buf, sizeof buf, "sink_%d::position=\"<%d, %d>\" sink_%d::dimensions=\"<%d, %d>\" ", i, x, y, i, kTileW,
             kTileH);
    qti_desc += buf;
    snprintf(buf, sizeof buf, "sink_%d::xpos=%d sink_%d::ypos=%d sink_%d::width=%d sink_%d::height=%d ", i, x, i, y, i,
             kTileW, i, kTileH);
    comp_desc += buf;
  }

  /* A short warm-up of each, so page faults of first use count for neither. */
  time_composer(qti_desc, pictures, 5);
  time_composer(comp_desc, pictures, 5);
  Cost ours = time_composer(qti_desc, pictures, frames);
  Cost theirs = time_composer(comp_desc, pictures, frames);

  printf("\n");
  print_cost("qtivcomposer", ours);
  print_cost("compositor", theirs);
  if (ours.ok && theirs.ok && ours.cpu_per_frame() > 0)
    printf("\ncompositor / qtivcomposer: cpu %.2fx  wall %.2fx  (goal: cpu >= 3x)\n",
           theirs.cpu_per_frame() / ours.cpu_per_frame(), theirs.wall_per_frame() / ours.wall_per_frame());

  for (GstSample *s : pictures)
    gst_sample_unref(s);
  return ours.ok && theirs.ok && ours.frames == frames && theirs.frames == frames ? 0 : 1;
}
