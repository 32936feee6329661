// Splice decode throughput against the plain GStreamer pipeline doing the same work.
//
//   bench_splice [clip.h265] [rounds]
//
// Both sides get the same 1080p H.265 access units, pushed as fast as they are taken:
//   splice: decode_put_frame_splice -> appsrc ! h265parse ! qtic2vdec ! appsink (NV12)
//   plain:  appsrc ! h265parse ! avdec_h265 ! appsink
// Reported: wall time and process CPU time per frame, and splice/plain ratios (median of
// the rounds; the two sides alternate so drift hits both).
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

struct Au {
  std::vector<uint8_t> bytes;
  int64_t pts;
};

using benchutil::cpu_seconds;
using benchutil::wall_seconds;

std::vector<Au> read_aus(const std::string& description) {
  std::vector<Au> out;
  GError* err = nullptr;
  GstElement* p = gst_parse_launch(description.c_str(), &err);
  if (!p) {
    fprintf(stderr, "cannot read clip: %s\n", err ? err->message : "?");
    return out;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstBuffer* b = gst_sample_get_buffer(s);
    GstMapInfo m;
    gst_buffer_map(b, &m, GST_MAP_READ);
    out.push_back({std::vector<uint8_t>(m.data, m.data + m.size),
                   GST_BUFFER_PTS_IS_VALID(b) ? (int64_t)GST_BUFFER_PTS(b) : -1});
    gst_buffer_unmap(b, &m);
    gst_sample_unref(s);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return out;
}

struct Result {
  double wall, cpu;
  int frames;
};

Result run_splice(const std::vector<Au>& aus) {
  std::atomic<int> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image&) -> int8_t {
    ++frames;
    return 0;
  };
  const double w0 = wall_seconds(), c0 = cpu_seconds();
  if (start_splice_stream("bench", cb) != 0) {
    fprintf(stderr, "start_splice_stream failed\n");
    return {0, 0, 0};
  }
  for (const Au& au : aus) decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "bench", au.pts, false);
  stop_splice_stream("bench");  // drains: every frame has arrived when it returns
  return {wall_seconds() - w0, cpu_seconds() - c0, frames.load()};
}

Result run_plain(const std::vector<Au>& aus) {
  GstElement* p = gst_parse_launch(
      "appsrc name=src is-live=false format=time block=true max-bytes=4194304 "
      "caps=video/x-h265,stream-format=byte-stream,alignment=au ! h265parse ! avdec_h265 ! "
      "appsink name=sink sync=false max-buffers=4 drop=false",
      nullptr);
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  std::atomic<int> frames{0};
  GstAppSinkCallbacks cbs = {};
  cbs.new_sample = [](GstAppSink* s, gpointer d) -> GstFlowReturn {
    GstSample* sample = gst_app_sink_pull_sample(s);
    GstMapInfo m;
    GstBuffer* b = gst_sample_get_buffer(sample);
    gst_buffer_map(b, &m, GST_MAP_READ);  // same work as the splice side: map, hand over
    gst_buffer_unmap(b, &m);
    gst_sample_unref(sample);
    ++*static_cast<std::atomic<int>*>(d);
    return GST_FLOW_OK;
  };
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &cbs, &frames, nullptr);
  const double w0 = wall_seconds(), c0 = cpu_seconds();
  gst_element_set_state(p, GST_STATE_PLAYING);
  for (const Au& au : aus) {
    GstBuffer* b = gst_buffer_new_allocate(nullptr, au.bytes.size(), nullptr);
    gst_buffer_fill(b, 0, au.bytes.data(), au.bytes.size());
    GST_BUFFER_PTS(b) = GST_BUFFER_DTS(b) = au.pts < 0 ? GST_CLOCK_TIME_NONE : (GstClockTime)au.pts;
    gst_app_src_push_buffer(GST_APP_SRC(src), b);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src));
  benchutil::wait_eos(p, GST_CLOCK_TIME_NONE);
  const Result r{wall_seconds() - w0, cpu_seconds() - c0, frames.load()};
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(p);
  return r;
}

using benchutil::upper_median;

}  // namespace

int main(int argc, char** argv) {
  benchutil::default_plugin_path(NIMBRA_SOFT_PLUGIN_DIR);
  gst_init(nullptr, nullptr);
  std::string clip = argc > 1 ? argv[1] : std::string(NIMBRA_MEDIA_DIR) + "/h265_1080p.h265";
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  std::vector<Au> aus;
  if (argc > 1 && access(clip.c_str(), R_OK) != 0) {
    fprintf(stderr, "bench_splice: cannot read %s: %s\n", clip.c_str(), strerror(errno));
    return 1;
  }
  struct stat st;
  if (stat(clip.c_str(), &st) == 0) {
    gchar* loc = g_strescape(clip.c_str(), nullptr);
    aus = read_aus(std::string("filesrc location=\"") + loc +
                   "\" ! h265parse ! video/x-h265,stream-format=byte-stream,alignment=au ! appsink name=sink sync=false");
    g_free(loc);
  } else {
    printf("clip %s not found; encoding 75 frames of 1080p test pattern\n", clip.c_str());
    aus = read_aus("videotestsrc num-buffers=75 pattern=ball ! video/x-raw,width=1920,height=1080,framerate=25/1 ! "
                   "x265enc speed-preset=ultrafast ! h265parse config-interval=-1 ! "
                   "video/x-h265,stream-format=byte-stream,alignment=au ! appsink name=sink sync=false");
  }
  if (aus.empty()) return 1;
  printf("splice decode benchmark: %zu access units, %d rounds\n", aus.size(), rounds);
  std::vector<double> sw, sc, pw, pc;
  for (int r = 0; r < rounds; ++r) {
    Result a = (r % 2) ? run_plain(aus) : run_splice(aus);
    Result b = (r % 2) ? run_splice(aus) : run_plain(aus);
    Result s = (r % 2) ? b : a, p = (r % 2) ? a : b;
    if (s.frames != (int)aus.size() || p.frames != (int)aus.size())
      printf("  round %d: frames splice %d plain %d (expected %zu)\n", r, s.frames, p.frames, aus.size());
    sw.push_back(s.wall / aus.size());
    sc.push_back(s.cpu / aus.size());
    pw.push_back(p.wall / aus.size());
    pc.push_back(p.cpu / aus.size());
  }
  const double msw = upper_median(sw) * 1e3, msc = upper_median(sc) * 1e3;
  const double mpw = upper_median(pw) * 1e3, mpc = upper_median(pc) * 1e3;
  printf("  splice : %7.3f ms wall/frame  %7.3f ms cpu/frame  (%.1f fps)\n", msw, msc, 1e3 / msw);
  printf("  plain  : %7.3f ms wall/frame  %7.3f ms cpu/frame  (%.1f fps)\n", mpw, mpc, 1e3 / mpw);
  printf("  ratio splice/plain: wall %.3f, cpu %.3f  (goal: within 5%%, i.e. <= 1.05)\n", msw / mpw, msc / mpc);
  return 0;
}
