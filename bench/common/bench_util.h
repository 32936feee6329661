// SPDX-License-Identifier: BSD-3-Clause
// What the benchmarks share: clocks, the cost record of one measured run,
// waiting for a pipeline's end, and the order statistics they print.
#pragma once

#include <gst/gst.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace benchutil {

/* Milliseconds on @clock: CLOCK_MONOTONIC for wall time,
 * CLOCK_PROCESS_CPUTIME_ID for the CPU time of the whole process. */
inline double now_ms(clockid_t clock = CLOCK_MONOTONIC)
{
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

inline double wall_seconds() { return now_ms(CLOCK_MONOTONIC) / 1e3; }
inline double cpu_seconds() { return now_ms(CLOCK_PROCESS_CPUTIME_ID) / 1e3; }

/* Wall and CPU time of one measured run over @frames frames. */
struct Cost {
  double wall_ms = 0;
  double cpu_ms = 0;
  int frames = 0;
  bool ok = false;
  double wall_per_frame() const { return frames ? wall_ms / frames : 0; }
  double cpu_per_frame() const { return frames ? cpu_ms / frames : 0; }
};

/* Wall and CPU time from its construction until stop(). */
class Stopwatch {
 public:
  Stopwatch() : wall0_(now_ms(CLOCK_MONOTONIC)), cpu0_(now_ms(CLOCK_PROCESS_CPUTIME_ID)) {}
  void stop(Cost &c) const
  {
    c.wall_ms = now_ms(CLOCK_MONOTONIC) - wall0_;
    c.cpu_ms = now_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu0_;
  }

 private:
  double wall0_, cpu0_;
};

/* Waits for end-of-stream or an error (printed) on @pipe's bus, at most
 * @limit; TRUE on end-of-stream. */
inline bool wait_eos(GstElement *pipe, GstClockTime limit)
{
  GstBus *bus = gst_element_get_bus(pipe);
  GstMessage *msg = gst_bus_timed_pop_filtered(bus, limit, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  if (msg && !ok) {
    GError *err = nullptr;
    gst_message_parse_error(msg, &err, nullptr);
    fprintf(stderr, "error: %s\n", err ? err->message : "?");
    g_clear_error(&err);
  }
  if (msg)
    gst_message_unref(msg);
  gst_object_unref(bus);
  return ok;
}

/* The element at half the sorted count (the upper of the middle two for an
 * even count), as the rounds of the library benchmarks are summarised. */
inline double upper_median(std::vector<double> v)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

/* One line per measured run: @name padded to @width, frames, wall and CPU
 * time per frame. */
inline void print_cost(const char *name, const Cost &c, int width)
{
  printf("%-*s %6d frames  wall %8.3f ms/frame  cpu %8.3f ms/frame%s\n", width, name, c.frames, c.wall_per_frame(),
         c.cpu_per_frame(), c.ok ? "" : "  (FAILED)");
}

/* The soft plug-ins of this build, unless the caller named a plug-in path
 * (or the build directory is gone: an installed copy runs on its own). */
inline void default_plugin_path(const char *dir)
{
  if (!g_getenv("GST_PLUGIN_PATH") && g_file_test(dir, G_FILE_TEST_IS_DIR))
    g_setenv("GST_PLUGIN_PATH", dir, TRUE);
}

/* Median of @v (the mean of the middle two for an even count); 0 when empty. */
inline double median(std::vector<double> v)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace benchutil
