// Long run: four streams in one process against the test servers while the RTSP source
// server is restarted over and over. Printed per cycle: resident set, threads, open file
// descriptors and frames per stream; at the end the RSS slope after the warm-up cycles,
// the thread and descriptor spread, whether every recording plays, and a pass/fail line.
//
//   soak [cycles] [seconds-per-cycle]
//
// Streams: RTSP -> MP4 recording, RTSP -> RTSP push (to a second server, which stays up),
// RTMP -> callback, and a rolling save of the RTSP source (started again by the harness
// whenever it ends, as an application would). Each cycle restarts the RTSP source server,
// waits until every stream delivers again (a condition with a safety limit), then lets
// the streams run for the rest of the cycle's seconds (0: none, the paced-by-conditions
// version) and samples the process just before the next restart.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "StreamCommon.h"
#include "StreamRollingSave.h"
#include "nimbra.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/nginx_rtmp.h"
#include "nimbra_test/poll.h"
#include "nimbra_test/rtsp_test_server.h"
#include "nimbra_test/temp_dir.h"

using namespace Velkor::Nimbra;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

int count_entries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - (strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // opendir's own
}

double rss_mib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return -1;
}

// Of the resident set: anonymous memory, and what malloc counts as in use (the rest of
// the anonymous memory is the allocator's free space, threads' stacks and the like). When
// RSS grows but "in use" does not, nothing is leaked: the allocator keeps pages.
struct Memory {
  double anon_mib = -1, heap_mib = -1;
};

Memory memory_now() {
  Memory m;
  std::ifstream f("/proc/self/smaps_rollup");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("Anonymous:", 0) == 0) m.anon_mib = std::stod(line.substr(10)) / 1024.0;
  const struct mallinfo2 mi = mallinfo2();
  m.heap_mib = (double)(mi.uordblks + mi.hblkhd) / (1024.0 * 1024.0);
  return m;
}

struct Sample {
  int cycle;
  double hours;
  double rss;
  int threads, fds;
  long frames[4];
};

const char* const kIds[] = {"soak_mp4", "soak_push", "soak_rtmp"};

std::string entry(const std::string& id, const std::string& props) {
  return "{\"streamsId\":\"" + id + "\",\"properties\":{" + props + "}}";
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? atoi(argv[1]) : 30;
  const int cycle_s = argc > 2 ? atoi(argv[2]) : 60;
  const int warmup = 2;
  if (cycles <= warmup + 1) {
    fprintf(stderr, "soak: at least %d cycles\n", warmup + 2);
    return 2;
  }
  gst_init(nullptr, nullptr);
  set_log_level(SERROR);
  g_thread_pool_set_max_unused_threads(0);

  nimbra_test::TempDir work("nimbra-soak");
  // The servers print a line per recorded frame: for half an hour, only the newest are
  // kept, so the harness's own memory stays out of the figures.
  nimbra_test::RtspTestServer::Options server_opts;
  server_opts.keep_lines = 1000;
  nimbra_test::RtspTestServer source(server_opts);
  nimbra_test::RtspTestServer sink(server_opts);
  nimbra_test::NginxRtmp nginx;
  nimbra_test::RtmpPublisher publisher(nginx.url("soak"));
  if (!nginx.wait_published("soak", 60s)) {
    fprintf(stderr, "soak: the RTMP publisher did not start\n%s\n", nginx.error_log().c_str());
    return 2;
  }
  // The rolling save records under /tmp/rolling/<id>: an id of this process's own.
  const std::string roll_id = "soak_roll_" + std::to_string(getpid());
  const std::string rtsp = "\"inputType\":\"rtsp\",\"inputAddr\":\"" + source.url("/h264") +
                           "\",\"decodeType\":\"H264\",\"manualRebuild\":false";
  const std::string conf = work.file("soak.conf");
  std::ofstream(conf) << "{\"streams\":["
                      << entry(kIds[0], rtsp + ",\"outputType\":\"mp4\",\"outputAddr\":\"" + work.file("soak.mp4") +
                                            "\",\"width\":640,\"height\":360")
                      << ","
                      << entry(kIds[1], rtsp + ",\"encodeType\":\"H264\",\"outputType\":\"rtsp\",\"outputAddr\":\"" +
                                            sink.url("/record/soak") + "\",\"width\":640,\"height\":360")
                      << ","
                      << entry(kIds[2], "\"inputType\":\"rtmp\",\"inputAddr\":\"" + nginx.url("soak") +
                                            "\",\"decodeType\":\"H264\",\"manualRebuild\":false")
                      << "," << entry(roll_id, rtsp + ",\"rollingsave\":true,\"rollingFps\":25") << "]}";
  set_config_path(conf);

  std::atomic<long> frames[4] = {};
  std::atomic<bool> stopping{false};
  std::vector<std::thread> threads;
  int results[3] = {-2, -2, -2};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      std::function<int8_t(const Image&)> cb = [&frames, i](const Image&) -> int8_t {
        ++frames[i];
        return 0;
      };
      results[i] = start_stream(kIds[i], cb);
    });
  }
  // The rolling save does not reconnect by itself: it is started again when it ends, once
  // the source server is up again (the server's generation changed).
  std::mutex mu;
  std::condition_variable cv;
  int generation = 0;
  std::atomic<int> roll_starts{0};
  std::atomic<bool> roll_running{false};
  const std::string roll_dir = "/tmp/rolling/" + roll_id;
  threads.emplace_back([&] {
    while (!stopping) {
      int seen;
      {
        std::lock_guard<std::mutex> g(mu);
        seen = generation;
      }
      ++roll_starts;
      roll_running = true;
      start_rolling_save(roll_id);
      roll_running = false;
      std::unique_lock<std::mutex> l(mu);
      cv.wait(l, [&] { return stopping || generation != seen; });
    }
  });
  // Whether the rolling save wrote to a segment after `t`.
  auto roll_written_since = [&](fs::file_time_type t) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(roll_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code ec2;
      if (fs::last_write_time(it->path(), ec2) > t && !ec2) return true;
    }
    return false;
  };
  // Frames of the rolling save: segments it finished.
  auto roll_segments = [&] {
    std::error_code ec;
    long n = 0;
    for (auto it = fs::directory_iterator(roll_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
    return n;
  };

  std::vector<Sample> samples;
  const auto t0 = std::chrono::steady_clock::now();
  printf("cycle  minutes   RSS MiB  (anon  in use)  threads  fds   frames: mp4 push rtmp | rolling starts\n");
  bool all_back = true;
  for (int c = 1; c <= cycles; ++c) {
    const auto cycle_start = std::chrono::steady_clock::now();
    // Every stream delivers (again): the RTSP ones after the restart, the RTMP one on, and
    // the rolling save writes a segment again (it is sampled running, with its threads).
    long base[3];
    for (int i = 0; i < 3; ++i) base[i] = frames[i];
    const auto since = fs::file_time_type::clock::now();
    const bool back = nimbra_test::poll_until(
        [&] {
          for (int i = 0; i < 3; ++i)
            if (frames[i] < base[i] + 25) return false;
          return roll_running && roll_written_since(since);
        },
        120s, 50ms);
    if (!back) {
      all_back = false;
      fprintf(stderr, "soak: cycle %d: not every stream came back (frames %ld %ld %ld, rolling save %s)\n", c,
              (long)frames[0], (long)frames[1], (long)frames[2], roll_running ? "running" : "ended");
    }
    if (cycle_s > 0) std::this_thread::sleep_until(cycle_start + std::chrono::seconds(cycle_s));
    g_thread_pool_stop_unused_threads();
    Sample s{c, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 3600, rss_mib(),
             count_entries("/proc/self/task"), count_entries("/proc/self/fd"),
             {frames[0], frames[1], frames[2], roll_segments()}};
    samples.push_back(s);
    const Memory mem = memory_now();
    printf("%5d  %7.2f  %8.1f  (%5.1f  %6.1f)  %7d  %3d   %ld %ld %ld | %d\n", c, s.hours * 60, s.rss, mem.anon_mib,
           mem.heap_mib, s.threads, s.fds, s.frames[0], s.frames[1], s.frames[2], (int)roll_starts);
    fflush(stdout);
    if (c < cycles) {
      source.restart();
      std::lock_guard<std::mutex> g(mu);
      ++generation;
      cv.notify_all();
    }
  }

  // For a heap profiler: what is live now is what the run accumulated (exit without
  // stopping anything, so every allocation still held shows as left at exit).
  if (getenv("NIMBRA_SOAK_EXIT_AT_END")) {
    fflush(stdout);
    _exit(0);
  }
  stopping = true;
  {
    std::lock_guard<std::mutex> g(mu);
    cv.notify_all();
  }
  const bool ended = shutdown_all_and_wait(120);
  for (auto& t : threads) t.join();
  // The push recording is final once the server closed it.
  sink.wait_record_closed("/record/soak", 60s);

  // Playable: demuxes, and its last frame decodes with a stock decoder.
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(work.path()))
    if (e.path().extension() == ".mp4") files.push_back(e.path());
  for (const auto& e : fs::directory_iterator(sink.record_dir())) files.push_back(e.path());
  int roll_checked = 0;
  std::error_code ec;
  std::vector<std::string> segments;
  for (auto it = fs::directory_iterator(roll_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    segments.push_back(it->path());
  std::sort(segments.begin(), segments.end());
  // The newest segment may be the one being cut when the stream was stopped; all others
  // are checked.
  for (const auto& s : segments) files.push_back(s), ++roll_checked;
  // Playable: every access unit demuxes and parses (the index is whole), and a stock
  // decoder decodes the file up to its 500th frame (or its last).
  int unplayable = 0;
  for (const auto& f : files) {
    const nimbra_test::MediaInfo info = nimbra_test::count_frames(f, 600s);
    std::string why = info.error;
    bool ok = info.ok && info.frames > 0;
    if (ok) {
      const nimbra_test::RgbFrame frame = nimbra_test::decode_frame_rgb(f, std::min(info.frames - 1, 500), 600s);
      ok = frame.ok;
      why = frame.error;
    }
    if (!ok) {
      ++unplayable;
      printf("  not playable: %s (%d frames; %s)\n", fs::path(f).filename().c_str(), info.frames, why.c_str());
    }
  }
  fs::remove_all(roll_dir, ec);

  // Least squares over the samples after the warm-up cycles.
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int n = 0, tmin = 1 << 30, tmax = 0, fmin = 1 << 30, fmax = 0;
  for (const Sample& s : samples) {
    if (s.cycle <= warmup) continue;
    sx += s.hours, sy += s.rss, sxx += s.hours * s.hours, sxy += s.hours * s.rss, ++n;
    tmin = std::min(tmin, s.threads), tmax = std::max(tmax, s.threads);
    fmin = std::min(fmin, s.fds), fmax = std::max(fmax, s.fds);
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  const Sample& first = samples[warmup];
  const Sample& last = samples.back();
  const bool threads_flat = last.threads <= first.threads && tmax - tmin <= 2;
  const bool fds_flat = last.fds <= first.fds && fmax - fmin <= 2;
  const bool streams_ok = all_back && ended && results[0] == 0 && results[1] == 0 && results[2] == 0;
  printf("RSS slope after cycle %d: %+.2f MiB/hour (%.1f -> %.1f MiB over %d samples)\n", warmup, slope, first.rss,
         last.rss, n);
  printf("threads %d..%d (%d -> %d), fds %d..%d (%d -> %d)\n", tmin, tmax, first.threads, last.threads, fmin, fmax,
         first.fds, last.fds);
  printf("recordings: %zu checked (%d rolling segments), %d not playable; streams %s (results %d %d %d)\n",
         files.size(), roll_checked, unplayable, streams_ok ? "all came back and ended cleanly" : "FAILED",
         results[0], results[1], results[2]);
  const bool pass = slope <= 1.0 && threads_flat && fds_flat && unplayable == 0 && streams_ok && !files.empty();
  printf("soak: %s (slope <= 1 MiB/hour: %s, threads flat: %s, fds flat: %s, recordings playable: %s)\n",
         pass ? "PASS" : "FAIL", slope <= 1.0 ? "yes" : "no", threads_flat ? "yes" : "no", fds_flat ? "yes" : "no",
         unplayable == 0 && !files.empty() ? "yes" : "no");
  return pass ? 0 : 1;
}
