// Glass-to-callback latency of a live RTSP stream. The RTSP test server stamps every frame
// with its wall-clock send time (--stamp); the callback reads the stamp back and records
// how old the frame is. Three callbacks: one that only reads the stamp, and ones that take
// 80 % and 110 % of the frame interval. Each runs with the stream's default (the newest
// frame wins) and with "slowCallback": "block" (every frame waits for the callback), side
// by side in one run against the same server.
//
//   bench_latency [seconds per run (20)] [width (640)] [height (360)] [fps (25)]
//   bench_latency --long MINUTES     the 110 % callback, newest frame wins: p99 per minute
#include <gst/gst.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StreamBase.h"
#include "StreamCommon.h"
#include "StreamPlatform.h"
#include "bench_util.h"
#include "frame-stamp.h"
#include "nimbra.h"

extern char** environ;

using namespace Velkor::Nimbra;

namespace {

// The test server in a child process; its event lines are read and dropped.
class Server {
 public:
  Server(int width, int height, int fps) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    const std::string w = std::to_string(width), h = std::to_string(height), f = std::to_string(fps);
    const char* argv[] = {NIMBRA_RTSP_TEST_SERVER, "--port", "0", "--stamp", "--width", w.c_str(), "--height",
                          h.c_str(), "--fps", f.c_str(), "--record-dir", "/tmp", nullptr};
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
    char line[256];
    while (out_ && fgets(line, sizeof line, out_))
      if (sscanf(line, "PORT %d", &port_) == 1) break;
    reader_ = std::thread([this] {
      char l[256];
      while (out_ && fgets(l, sizeof l, out_)) {
      }
    });
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (out_) fclose(out_);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  FILE* out_ = nullptr;
  std::thread reader_;
};

uint64_t wall_ms() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Sample {
  double at_s;   // since the stream's first frame
  double age_ms;
};

struct Result {
  std::vector<Sample> samples;
  uint64_t delivered = 0, skipped = 0, decoded = 0;
  long unstamped = 0;
};

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}

// One stream for `seconds` with a callback that works `work_ms` per frame; the first two
// seconds (connection, first key frame) are left out.
Result run(const std::string& url, bool block, double work_ms, double seconds) {
  const std::string conf = "/tmp/nimbra-bench-latency.conf";
  std::ofstream(conf) << "{\"streams\":[{\"streamsId\":\"latency\",\"properties\":{\"inputType\":\"rtsp\","
                         "\"inputAddr\":\""
                      << url << "\",\"decodeType\":\"H264\"" << (block ? ",\"slowCallback\":\"block\"" : "")
                      << "}}]}";
  g_stream_conf_file = conf.c_str();
  stream_conf_file = conf.c_str();

  Result r;
  std::mutex m;
  std::atomic<double> first{-1};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    const double t0 = benchutil::now_ms();
    uint32_t frame = 0;
    uint64_t ms = 0;
    const bool ok = frame_stamp_read_rgb(img.data, img.width, img.height, img.width * 3, &frame, &ms);
    const uint64_t now = wall_ms();
    if (first < 0) first = t0;
    {
      std::lock_guard<std::mutex> g(m);
      if (ok)
        r.samples.push_back({(t0 - first) / 1e3, (double)frame_stamp_age_ms(ms, now)});
      else
        ++r.unstamped;
    }
    // The callback's own work: a wait, so that it costs no CPU the pipeline needs.
    if (work_ms > 0) {
      const double left = work_ms - (benchutil::now_ms() - t0);
      if (left > 0) std::this_thread::sleep_for(std::chrono::microseconds((long)(left * 1e3)));
    }
    return 0;
  };
  std::thread t([&] { start_stream("latency", cb); });
  // Counted from the first frame, so a slow connection does not shorten the run.
  while (first < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds((long)(seconds * 1e3)));
  StreamHealth h;
  if (get_stream_health("latency", h) == 0) {
    r.delivered = h.frames_delivered;
    r.skipped = h.frames_skipped;
    r.decoded = h.frames_decoded;
  }
  gstreamer_pipeline_shutdown("latency");
  t.join();
  remove(conf.c_str());
  std::lock_guard<std::mutex> g(m);
  r.samples.erase(std::remove_if(r.samples.begin(), r.samples.end(), [](const Sample& s) { return s.at_s < 2; }),
                  r.samples.end());
  return r;
}

std::vector<double> ages(const Result& r, double from_s = 0, double to_s = 1e18) {
  std::vector<double> v;
  for (const Sample& s : r.samples)
    if (s.at_s >= from_s && s.at_s < to_s) v.push_back(s.age_ms);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  benchutil::default_plugin_path(NIMBRA_SOFT_PLUGIN_DIR);
  gst_init(nullptr, nullptr);
  set_log_level(SERROR);
  const bool long_run = argc > 2 && strcmp(argv[1], "--long") == 0;
  const double seconds = !long_run && argc > 1 ? atof(argv[1]) : 20;
  const int width = !long_run && argc > 2 ? atoi(argv[2]) : 640;
  const int height = !long_run && argc > 3 ? atoi(argv[3]) : 360;
  const int fps = !long_run && argc > 4 ? atoi(argv[4]) : 25;
  if (seconds <= 0 || width <= 0 || height <= 0 || fps <= 0) {
    fprintf(stderr, "usage: bench_latency [seconds] [width] [height] [fps] | --long MINUTES\n");
    return 2;
  }
  Server server(width, height, fps);
  if (!server.port()) {
    fprintf(stderr, "bench_latency: the RTSP test server did not start\n");
    return 1;
  }
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264";
  const double interval = 1000.0 / fps;
  // The RTSP source's jitter buffer of the platform tag (see StreamInputRtsp).
  const double jitter = nimbra_internal::platform_tag() == "ub2404" ? 200 : 1000;
  const double goal = jitter + 2 * interval;

  if (long_run) {
    const int minutes = atoi(argv[2]);
    Result r = run(url, false, 1.1 * interval, minutes * 60.0 + 2);
    printf("110%% callback, newest frame wins, %d minutes, %dx%d at %d fps (tag %s)\n", minutes, width, height, fps,
           nimbra_internal::platform_tag().c_str());
    for (int m = 0; m < minutes; ++m) {
      const std::vector<double> v = ages(r, 2 + m * 60.0, 2 + (m + 1) * 60.0);
      printf("  minute %2d: p50 %7.1f ms  p99 %7.1f ms  (%zu frames)\n", m + 1, percentile(v, 0.5),
             percentile(v, 0.99), v.size());
    }
    const double p1 = percentile(ages(r, 2, 62), 0.99);
    const double pn = percentile(ages(r, 2 + (minutes - 1) * 60.0, 2 + minutes * 60.0), 0.99);
    printf("  p99 last minute - first minute: %+.1f ms (goal: within 100 ms)\n", pn - p1);
    return 0;
  }

  printf("live RTSP H.264 %dx%d at %d fps (frame interval %.0f ms, tag %s, jitter buffer %.0f ms), %.0f s per run\n",
         width, height, fps, interval, nimbra_internal::platform_tag().c_str(), jitter, seconds);
  printf("goal: p50 <= jitter buffer + 2 frame intervals = %.0f ms with the newest frame winning\n\n", goal);
  printf("%-16s %-7s %9s %9s %9s %9s %8s %8s\n", "callback", "mode", "p50 ms", "p99 ms", "p50 2nd", "frames",
         "skipped", "goal");
  struct Kind {
    const char* name;
    double work;
  } kinds[] = {{"fast", 0}, {"80% interval", 0.8 * interval}, {"110% interval", 1.1 * interval}};
  for (const Kind& k : kinds) {
    double p50[2] = {0, 0}, p99[2] = {0, 0};
    // Alternating order, so neither mode always comes first.
    for (int i = 0; i < 2; ++i) {
      const bool block = (i == 1) != (&k == &kinds[1]);
      const Result r = run(url, block, k.work, seconds);
      const std::vector<double> all = ages(r);
      // The second half alone shows whether latency grows over the run.
      const std::vector<double> late = ages(r, 2 + seconds / 2);
      p50[block] = percentile(all, 0.5);
      p99[block] = percentile(all, 0.99);
      printf("%-16s %-7s %9.1f %9.1f %9.1f %9llu %8llu %8s\n", k.name, block ? "block" : "newest", p50[block],
             p99[block], percentile(late, 0.5), (unsigned long long)r.delivered, (unsigned long long)r.skipped,
             block ? "" : (p50[block] <= goal ? "met" : "MISSED"));
      if (r.unstamped) printf("  (%ld frames without a readable stamp)\n", r.unstamped);
    }
    printf("%-16s newest/block: p50 %.2fx  p99 %.2fx\n\n", k.name, p50[0] / std::max(p50[1], 1e-9),
           p99[0] / std::max(p99[1], 1e-9));
  }
  return 0;
}
