// Start/stop cycles of a file stream must not leave threads, file descriptors or heap
// behind. Half the cycles run to the end of the clip, half are stopped from another
// thread after a few frames. Exit status 0 when the counts after the cycles match the
// counts after the warm-up ones (heap within a small margin).
//
//   leak_cycles [cycles] [clip.mp4]
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include <glib.h>

#include "StreamCommon.h"
#include "nimbra_test/poll.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

int count_entries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

struct Usage {
  int threads, fds;
  size_t heap;
};

int thread_count() {
  // GLib parks finished GStreamer task threads in a pool for reuse; they are not ours to
  // count.
  g_thread_pool_stop_unused_threads();
  return count_entries("/proc/self/task");
}

// What the descriptors are, for a failure's report.
void print_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[256] = {0};
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0) printf("  fd %s -> %s\n", e->d_name, target);
  }
  closedir(d);
}

Usage usage() { return {thread_count(), count_entries("/proc/self/fd"), mallinfo2().uordblks}; }

// The baseline: the thread count once it has stopped changing (threads of the warm-up
// pipelines may still be on their way out). The limit is a safety net only.
Usage settled_usage() {
  int last = -1, unchanged = 0;
  nimbra_test::poll_until(
      [&] {
        const int n = thread_count();
        unchanged = n == last ? unchanged + 1 : 0;
        last = n;
        return unchanged >= 25;  // the same count in 25 looks in a row
      },
      std::chrono::seconds(60));
  return usage();
}

// After the cycles: waits until threads and fds are back at the baseline. A leaked thread
// or fd never goes, so the wait ends at the safety limit and the counts show the growth.
Usage usage_back_at(const Usage& before) {
  Usage u = usage();
  nimbra_test::poll_until(
      [&] {
        u = usage();
        return u.threads <= before.threads && u.fds <= before.fds;
      },
      std::chrono::seconds(60));
  return u;
}

void cycle(int i) {
  std::atomic<int> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image&) -> int8_t {
    ++frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 0;
  };
  auto r = std::async(std::launch::async, [&] { return start_stream("leak", cb); });
  if (i % 2) {
    while (frames < 5 && r.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    }
    gstreamer_pipeline_shutdown("leak");
  }
  r.get();
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? atoi(argv[1]) : 50;
  std::string clip = argc > 2 ? argv[2] : std::string(getenv("NIMBRA_MEDIA_DIR") ? getenv("NIMBRA_MEDIA_DIR") : ".") +
                                              "/h264_small.mp4";
  char conf[] = "/tmp/nimbra-leak-XXXXXX";
  int fd = mkstemp(conf);
  std::string json = "{\"streams\":[{\"streamsId\":\"leak\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" +
                     clip + "\",\"decodeType\":\"H264\"}}]}";
  if (fd < 0 || write(fd, json.data(), json.size()) != (ssize_t)json.size()) return 2;
  close(fd);
  g_stream_conf_file = conf;
  stream_conf_file = conf;
  set_log_level(SERROR);
  g_thread_pool_set_max_unused_threads(0);

  for (int i = 0; i < 4; ++i) cycle(i);  // warm-up: plug-in loading, type registration, pools
  const Usage before = settled_usage();
  for (int i = 0; i < cycles; ++i) cycle(i);
  const Usage after = usage_back_at(before);
  unlink(conf);

  const long heap_growth = (long)after.heap - (long)before.heap;
  printf("leak_cycles: %d cycles\n", cycles);
  printf("  threads     %d -> %d\n", before.threads, after.threads);
  printf("  fds         %d -> %d\n", before.fds, after.fds);
  printf("  heap in use %zu -> %zu bytes (%+ld)\n", before.heap, after.heap, heap_growth);
  // Allocator caches and GStreamer's lazily grown pools move a little; a leak of one
  // frame or one pipeline per cycle would be megabytes over 50 cycles.
  const bool ok = after.threads <= before.threads && after.fds <= before.fds && heap_growth < 512 * 1024;
  if (after.fds > before.fds) print_fds();
  printf("%s\n", ok ? "leak_cycles: OK" : "leak_cycles: GROWTH");
  return ok ? 0 : 1;
}
