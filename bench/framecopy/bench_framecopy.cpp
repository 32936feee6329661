// SPDX-License-Identifier: BSD-3-Clause
// bench_framecopy [frames] [rounds]
//
// Copy throughput of 1080p NV12 frames through nmx-korvaframecopy (fd memory
// in, a ring of three memfds out, one 44-byte notification per frame, wait
// on) next to a plain memcpy of the same bytes between the same mmap'ed
// buffers. Within each round the two alternate every few frames, so that
// machine load hits both alike, and each side is timed in the CPU time of the
// copying thread (both copy synchronously on it), so that time the thread
// spends preempted on a loaded machine counts for neither. Each round gives
// one ratio. Prints every round's throughput ratio element / memcpy, the
// best-of ratio (best round of each side) and the median ratio (goal >= 0.9
// in every round).
#include <gst/allocators/allocators.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr size_t kFrame = (size_t)kW * kH * 3 / 2;
constexpr int kSources = 4, kRing = 3;
/* Frames per turn when the two sides alternate within a round. */
constexpr int kTurn = 5;

double thread_ms() { return benchutil::now_ms(CLOCK_THREAD_CPUTIME_ID); }

int memfd_of(size_t size)
{
  int fd = memfd_create("bench", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) {
    fprintf(stderr, "bench_framecopy: cannot create a %zu-byte memfd\n", size);
    exit(1);
  }
  return fd;
}

uint8_t *map_fd(int fd, size_t size)
{
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    fprintf(stderr, "bench_framecopy: mmap failed\n");
    exit(1);
  }
  return static_cast<uint8_t *>(p);
}

}  // namespace

int main(int argc, char **argv)
{
  const int frames = argc > 1 ? atoi(argv[1]) : 300;
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  if (frames <= 0 || rounds <= 0) {
    fprintf(stderr, "bench_framecopy: usage: bench_framecopy [frames>0] [rounds>0]\n");
    return 1;
  }
#ifdef NMX_BENCH_PLUGIN_DIR
  /* The plug-in of this build, behind whatever the caller set. */
  const char *old = getenv("GST_PLUGIN_PATH");
  std::string path = old && *old ? std::string(old) + ":" + NMX_BENCH_PLUGIN_DIR : NMX_BENCH_PLUGIN_DIR;
  setenv("GST_PLUGIN_PATH", path.c_str(), 1);
#endif
  gst_init(&argc, &argv);
  GstElementFactory *factory = gst_element_factory_find("nmx-korvaframecopy");
  if (!factory) {
    fprintf(stderr, "bench_framecopy: element nmx-korvaframecopy not found (GST_PLUGIN_PATH)\n");
    return 1;
  }
  gst_object_unref(factory);

  /* Sources as the producer's pool would hand them out, pages touched. */
  GstAllocator *fd_alloc = gst_fd_allocator_new();
  int src_fd[kSources];
  uint8_t *src_map[kSources];
  for (int i = 0; i < kSources; i++) {
    src_fd[i] = memfd_of(kFrame);
    src_map[i] = map_fd(src_fd[i], kFrame);
    memset(src_map[i], 16 + i, kFrame);
  }
  int ring_fd[kRing];
  uint8_t *ring_map[kRing];
  std::string ring_text;
  for (int i = 0; i < kRing; i++) {
    ring_fd[i] = memfd_of(kFrame);
    ring_map[i] = map_fd(ring_fd[i], kFrame);
    memset(ring_map[i], 0, kFrame);
    ring_text += (i ? "," : "") + std::to_string(ring_fd[i]);
  }
  int ipc[2];
  if (pipe2(ipc, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "bench_framecopy: pipe failed\n");
    return 1;
  }

  GstHarness *h = gst_harness_new("nmx-korvaframecopy");
  g_object_set(h->element, "ring-copy", TRUE, "ring-fds", ring_text.c_str(), "ring-ipc-fd", ipc[1], NULL);
  gst_harness_set_src_caps_str(h, "video/x-raw(memory:GBM),format=NV12,width=1920,height=1080,framerate=30/1");
  GstBuffer *src_buf[kSources];
  for (int i = 0; i < kSources; i++) {
    /* The buffers borrow the fds; the bench closes them itself. */
    src_buf[i] = gst_buffer_new();
    gst_buffer_append_memory(src_buf[i],
                             gst_fd_allocator_alloc(fd_alloc, src_fd[i], kFrame, GST_FD_MEMORY_FLAG_DONT_CLOSE));
  }

  char drain[44 * 256];
  guint64 id = 0;
  auto run_element = [&](int first, int count) -> double {
    double t0 = thread_ms();
    for (int f = first; f < first + count; f++) {
      GstBuffer *b = gst_buffer_ref(src_buf[f % kSources]);
      b = gst_buffer_make_writable(b);  // a fresh buffer header on the same memory
      GST_BUFFER_OFFSET(b) = id++;
      if (gst_harness_push(h, b) != GST_FLOW_OK) {
        fprintf(stderr, "bench_framecopy: push failed\n");
        exit(1);
      }
      gst_buffer_unref(gst_harness_pull(h));
    }
    const double ms = thread_ms() - t0;
    /* The reader's side, another process's work in real use: drained after
     * the turn (the pipe holds far more than one turn's records). */
    while (read(ipc[0], drain, sizeof(drain)) > 0) {
    }
    return ms;
  };
  auto run_memcpy = [&](int first, int count) -> double {
    double t0 = thread_ms();
    for (int f = first; f < first + count; f++)
      memcpy(ring_map[f % kRing], src_map[f % kSources], kFrame);
    return thread_ms() - t0;
  };
  /* One round: both sides copy @frames frames, taking turns of kTurn frames
   * (each side first every other turn). */
  auto run_round = [&](double *el, double *mc) {
    *el = *mc = 0;
    for (int f = 0, turn = 0; f < frames; f += kTurn, turn++) {
      const int n = std::min(kTurn, frames - f);
      if (turn % 2 == 0) {
        *el += run_element(f, n);
        *mc += run_memcpy(f, n);
      } else {
        *mc += run_memcpy(f, n);
        *el += run_element(f, n);
      }
    }
  };

  /* Warm-up: maps, page tables, caches. */
  double warm_el, warm_mc;
  run_round(&warm_el, &warm_mc);
  std::vector<double> el_ms, mc_ms, ratios;
  for (int r = 0; r < rounds; r++) {
    double el, mc;
    run_round(&el, &mc);
    el_ms.push_back(el);
    mc_ms.push_back(mc);
    ratios.push_back(mc / el);
  }
  const double best_el = *std::min_element(el_ms.begin(), el_ms.end());
  const double best_mc = *std::min_element(mc_ms.begin(), mc_ms.end());
  const double worst_ratio = *std::min_element(ratios.begin(), ratios.end());
  /* The ring must hold what was copied, or the numbers mean nothing: the
   * last element turn copied the round's last frame into its slot. */
  if (memcmp(ring_map[(id - 1) % kRing], src_map[(frames - 1) % kSources], kFrame) != 0) {
    fprintf(stderr, "bench_framecopy: the ring does not hold the last frame\n");
    return 1;
  }

  const double mb = (double)kFrame * frames / 1e6;
  printf("1080p NV12, %d frames x %d rounds, alternating every %d frames, copying thread's CPU time\n", frames,
         rounds, kTurn);
  for (int r = 0; r < rounds; r++)
    printf("  round %d: nmx-korvaframecopy %7.3f ms/frame, memcpy %7.3f ms/frame, ratio %.2fx\n", r + 1,
           el_ms[r] / frames, mc_ms[r] / frames, ratios[r]);
  printf("  nmx-korvaframecopy : best %8.3f ms/frame %8.1f MB/s, median %8.3f ms/frame\n", best_el / frames,
         mb / (best_el / 1e3), benchutil::median(el_ms) / frames);
  printf("  memcpy             : best %8.3f ms/frame %8.1f MB/s, median %8.3f ms/frame\n", best_mc / frames,
         mb / (best_mc / 1e3), benchutil::median(mc_ms) / frames);
  printf("  throughput ratio element/memcpy: best-of %.2fx, median %.2fx, worst round %.2fx (goal >= 0.90x in "
         "every round): %s\n",
         best_mc / best_el, benchutil::median(ratios), worst_ratio, worst_ratio >= 0.9 ? "met" : "NOT met");

  gst_harness_teardown(h);
  for (int i = 0; i < kSources; i++) {
    gst_buffer_unref(src_buf[i]);
    munmap(src_map[i], kFrame);
    close(src_fd[i]);
  }
  for (int i = 0; i < kRing; i++) {
    munmap(ring_map[i], kFrame);
    close(ring_fd[i]);
  }
  close(ipc[0]);
  close(ipc[1]);
  gst_object_unref(fd_alloc);
  return 0;
}
