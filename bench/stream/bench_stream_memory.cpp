// Memory per stream: eight 1080p H.264 file streams decoded to a counting RGB callback in
// one process, with the queues (and the soft decoder's frame threads) sized for what they
// are for, against the sizes they had before (NIMBRA_STREAM_SIZES=legacy: GStreamer's
// default queues, a frame thread per core in every decoder), in alternating rounds of
// one run. Each round
// is a process of its own, so its peak resident set is its own; printed: peak RSS per
// stream, aggregate throughput, and both as ratios of the former sizes' figures.
//
//   bench_stream_memory [clip.mp4] [rounds] [streams]
#include <errno.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gst/gst.h>

#include "StreamCommon.h"
#include "bench_util.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

struct Round {
  long frames = 0;       // delivered to the callbacks, all streams
  long min_frames = 0;   // of the stream that got the fewest
  double wall = 0;       // seconds, first start to last end
  double cpu = 0;        // seconds of CPU, the whole process
  long peak_kib = 0;     // ru_maxrss of the process
  bool ok = false;
};

// The child: `streams` streams of `clip` in this process, each on a thread of its own;
// prints what it delivered.
int child(const std::string& clip, int streams) {
  benchutil::default_plugin_path(NIMBRA_SOFT_PLUGIN_DIR);
  gst_init(nullptr, nullptr);
  char conf[] = "/tmp/nimbra-bench-memory-XXXXXX";
  const int fd = mkstemp(conf);
  if (fd < 0) return 2;
  close(fd);
  {
    std::ofstream out(conf);
    out << "{\"streams\":[";
    for (int i = 0; i < streams; ++i)
      out << (i ? "," : "") << "{\"streamsId\":\"mem" << i
          << "\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" << clip << "\",\"decodeType\":\"H264\"}}";
    out << "]}";
  }
  g_stream_conf_file = conf;
  stream_conf_file = conf;
  set_log_level(SERROR);

  std::vector<std::atomic<long>> frames(streams);
  std::vector<int> rcs(streams, -1);
  std::vector<std::thread> threads;
  const double c0 = benchutil::cpu_seconds(), w0 = benchutil::wall_seconds();
  for (int i = 0; i < streams; ++i) {
    threads.emplace_back([&, i] {
      std::function<int8_t(const Image&)> cb = [&frames, i](const Image&) -> int8_t {
        ++frames[i];
        return 0;
      };
      rcs[i] = start_stream("mem" + std::to_string(i), cb);
    });
  }
  for (auto& t : threads) t.join();
  const double wall = benchutil::wall_seconds() - w0, cpu = benchutil::cpu_seconds() - c0;
  unlink(conf);
  long total = 0, least = -1;
  bool ok = true;
  for (int i = 0; i < streams; ++i) {
    total += frames[i];
    if (least < 0 || frames[i] < least) least = frames[i];
    ok = ok && rcs[i] == 0;
  }
  printf("%ld %ld %.6f %.6f %d\n", total, least, wall, cpu, ok ? 1 : 0);
  return ok ? 0 : 1;
}

Round run_child(const char* self, const std::string& clip, int streams, bool default_sizes) {
  Round r;
  int out[2];
  if (pipe(out) != 0) return r;
  const pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (default_sizes)
      setenv("NIMBRA_STREAM_SIZES", "legacy", 1);
    else
      unsetenv("NIMBRA_STREAM_SIZES");
    const std::string n = std::to_string(streams);
    execl(self, self, "--child", clip.c_str(), n.c_str(), (char*)nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  ssize_t got;
  while ((got = read(out[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) text.append(buf, (size_t)got);
  close(out[0]);
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  int ok = 0;
  if (sscanf(text.c_str(), "%ld %ld %lf %lf %d", &r.frames, &r.min_frames, &r.wall, &r.cpu, &ok) != 5) return r;
  r.peak_kib = ru.ru_maxrss;
  r.ok = ok == 1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "--child") == 0) return child(argv[2], atoi(argv[3]));
  const std::string clip = argc > 1 ? argv[1] : std::string(NIMBRA_MEDIA_DIR) + "/h264_bench_1080p.mp4";
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  const int streams = argc > 3 ? atoi(argv[3]) : 8;
  if (access(clip.c_str(), R_OK) != 0) {
    fprintf(stderr, "bench_stream_memory: cannot read %s: %s\n", clip.c_str(), strerror(errno));
    return 1;
  }
  std::vector<double> sized_rss, default_rss, sized_fps, default_fps;
  long sized_frames = -1, default_frames = -1;
  bool equal = true;
  for (int r = 0; r < rounds; ++r) {
    // Alternating order: neither variant always runs first.
    for (int k = 0; k < 2; ++k) {
      const bool def = (r + k) % 2 == 1;
      const Round x = run_child("/proc/self/exe", clip, streams, def);
      if (!x.ok || x.frames == 0) {
        fprintf(stderr, "bench_stream_memory: a round with %s sizes failed (%ld frames)\n",
                def ? "former" : "new", x.frames);
        return 1;
      }
      long& seen = def ? default_frames : sized_frames;
      if (seen >= 0 && seen != x.frames) equal = false;
      seen = x.frames;
      if (x.min_frames * streams != x.frames) equal = false;
      (def ? default_rss : sized_rss).push_back(x.peak_kib / 1024.0);
      (def ? default_fps : sized_fps).push_back(x.frames / x.wall);
    }
  }
  equal = equal && sized_frames == default_frames;
  const double rs = benchutil::median(sized_rss), rd = benchutil::median(default_rss);
  const double fs = benchutil::median(sized_fps), fd = benchutil::median(default_fps);
  printf("%d streams of a 1080p H.264 file to a counting RGB callback, one process, %d rounds each (median)\n",
         streams, rounds);
  printf("  frames delivered per run      : %ld sized, %ld as before%s\n", sized_frames, default_frames,
         equal ? " (equal, every stream complete)" : "  (NOT EQUAL)");
  printf("  peak RSS, queues sized        : %7.1f MiB  = %5.1f MiB per stream (goal: <= 35)\n", rs, rs / streams);
  printf("  peak RSS, sizes as before     : %7.1f MiB  = %5.1f MiB per stream\n", rd, rd / streams);
  printf("  ratio sized/before            : %7.3f\n", rs / rd);
  printf("  throughput, queues sized      : %7.1f frames/s\n", fs);
  printf("  throughput, sizes as before   : %7.1f frames/s\n", fd);
  printf("  ratio sized/before            : %7.3f  (goal: >= 0.97)\n", fs / fd);
  return equal ? 0 : 1;
}
