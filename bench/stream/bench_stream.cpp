// What the library costs on top of GStreamer: a 1080p H.264 file through start_stream
// with a callback that only counts, against the same decoder and converter elements in
// a plain pipeline to a fake sink, CPU time per frame, alternating rounds in one run.
// Then one stream at real-time pace (the plain pipeline with a clock-synchronised sink)
// to show the CPU share of one 1080p25 stream. The per-stream numbers (health, frame
// rate, callback percentiles) are always on; their cost is measured here twice: the same
// stream with the accounting on and off in alternating rounds, against the spread of the
// rounds themselves, and the accounting alone per frame.
//
//   bench_stream [clip.mp4] [rounds]
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
#include <fstream>
#include <string>
#include <vector>

#include "StreamCommon.h"
#include "bench_util.h"
#include "StreamBase.h"
#include "StreamMetrics.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

using benchutil::cpu_seconds;
using benchutil::wall_seconds;

struct Run {
  double cpu = 0, wall = 0;
  long frames = 0;
};

Run run_library() {
  std::atomic<long> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image&) -> int8_t {
    ++frames;
    return 0;
  };
  const double c0 = cpu_seconds(), w0 = wall_seconds();
  start_stream("bench", cb);
  return {cpu_seconds() - c0, wall_seconds() - w0, frames.load()};
}

Run run_plain(const std::string& clip, bool realtime) {
  // The chain start_ub2404 builds for a stream without output, as a launch line.
  std::string desc = "filesrc location=\"" + clip +
                     "\" ! qtdemux ! queue ! h264parse ! v4l2h264dec capture-io-mode=4 output-io-mode=4 ! "
                     "queue ! video/x-raw,format=NV12 ! qtivtransform engine=3 ! queue ! video/x-raw,format=RGB ! "
                     "identity name=count ! fakesink sync=" +
                     std::string(realtime ? "true" : "false");
  GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
  GstElement* id = gst_bin_get_by_name(GST_BIN(p), "count");
  std::atomic<long> frames{0};
  GstPad* pad = gst_element_get_static_pad(id, "src");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo*, gpointer d) -> GstPadProbeReturn {
        ++*static_cast<std::atomic<long>*>(d);
        return GST_PAD_PROBE_OK;
      },
      &frames, nullptr);
  gst_object_unref(pad);
  const double c0 = cpu_seconds(), w0 = wall_seconds();
  gst_element_set_state(p, GST_STATE_PLAYING);
  benchutil::wait_eos(p, GST_CLOCK_TIME_NONE);
  Run r{cpu_seconds() - c0, wall_seconds() - w0, frames.load()};
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(id);
  gst_object_unref(p);
  return r;
}

using benchutil::upper_median;

// Half the distance between the second-lowest and second-highest value, relative to the
// median: how much rounds of the very same work differ.
double spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.size() < 4) return (v.back() - v.front()) / 2 / upper_median(v);
  return (v[v.size() - 2] - v[1]) / 2 / upper_median(v);
}

// What the frame path adds per frame: two clock reads, the decoded and delivered
// counters, the per-second ring and the callback histogram.
double accounting_ns_per_frame() {
  nimbra_internal::StreamMetrics m;
  const int n = 2000000;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    const uint64_t a = nimbra_internal::now_ns();
    m.frame_decoded(a);
    m.frame_delivered(nimbra_internal::now_ns() - a);
  }
  const auto t1 = std::chrono::steady_clock::now();
  if (m.decoded() != (uint64_t)n) return -1;
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  benchutil::default_plugin_path(NIMBRA_SOFT_PLUGIN_DIR);
  gst_init(nullptr, nullptr);
  const std::string clip = argc > 1 ? argv[1] : std::string(NIMBRA_MEDIA_DIR) + "/h264_bench_1080p.mp4";
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  if (access(clip.c_str(), R_OK) != 0) {
    fprintf(stderr, "bench_stream: cannot read %s: %s\n", clip.c_str(), strerror(errno));
    return 1;
  }
  const std::string conf = "/tmp/nimbra-bench-stream.conf";
  std::ofstream(conf) << "{\"streams\":[{\"streamsId\":\"bench\",\"properties\":{\"inputType\":\"file\","
                         "\"inputAddr\":\""
                      << clip << "\",\"decodeType\":\"H264\"}}]}";
  g_stream_conf_file = conf.c_str();
  stream_conf_file = conf.c_str();
  set_log_level(SERROR);

  std::vector<double> lib_cpu, off_cpu, plain_cpu;
  long frames = 0;
  for (int r = 0; r < rounds; ++r) {
    // The order rotates so that no variant always runs first (warm caches, turbo).
    Run lib, off, plain;
    for (int k = 0; k < 3; ++k) {
      switch ((r + k) % 3) {
        case 0: lib = run_library(); break;
        case 1:
          nimbra_internal::set_metrics_enabled(false);
          off = run_library();
          nimbra_internal::set_metrics_enabled(true);
          break;
        default: plain = run_plain(clip, false); break;
      }
    }
    if (lib.frames == 0 || off.frames == 0 || plain.frames == 0) {
      fprintf(stderr, "bench_stream: no frames (library %ld, without metrics %ld, plain %ld)\n", lib.frames,
              off.frames, plain.frames);
      return 1;
    }
    frames = lib.frames;
    lib_cpu.push_back(lib.cpu / lib.frames);
    off_cpu.push_back(off.cpu / off.frames);
    plain_cpu.push_back(plain.cpu / plain.frames);
  }
  const double l = upper_median(lib_cpu) * 1e3, o = upper_median(off_cpu) * 1e3;
  const double p = upper_median(plain_cpu) * 1e3;
  printf("1080p H.264 file, %ld frames, %d rounds (median)\n", frames, rounds);
  printf("  start_stream, counting callback : %6.3f ms CPU/frame\n", l);
  printf("  the same, metrics turned off    : %6.3f ms CPU/frame\n", o);
  printf("  plain pipeline to fakesink      : %6.3f ms CPU/frame\n", p);
  printf("  ratio library/plain             : %6.3f  (goal: < 1.05)\n", l / p);
  printf("  metrics on/off                  : %6.3f  (run-to-run spread of the rounds: +/-%.1f%%; goal: within it)\n",
         l / o, 100 * std::max(spread(lib_cpu), spread(off_cpu)));
  const double acc = accounting_ns_per_frame();
  printf("  accounting alone                : %6.1f ns per frame (%.4f%% of a frame's CPU)\n", acc, acc / (l * 1e4));

  Run rt = run_plain(clip, true);
  const double share = rt.cpu / rt.wall;
  printf("real-time pace (25 fps), one stream: %.0f%% of one core -> two cores carry about %.1f such streams\n",
         share * 100, 2.0 / share);
  remove(conf.c_str());
  return 0;
}
