// nimbra-run: decodes an H.265 clip through a splice stream and reports what arrives.
//
//   nimbra-run                         # the bundled sample, at its own frame rate
//   nimbra-run --fast clip.mp4         # as fast as the decoder goes
//
// The access units are read from the file with GStreamer's demuxer and parser, then
// handed one by one to the splice decoder, as an application receiving H.265 from its
// own transport would.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "nimbra.h"

using namespace Velkor::Nimbra;

namespace {

std::atomic<bool> g_interrupted{false};

void on_sigint(int) { g_interrupted = true; }

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Lets the program run on hosts without the board's elements: the soft platform
// plug-ins of the build (or of the install) are added to GStreamer's search path.
void add_soft_platform_path() {
  const char* candidates[] = {
#ifdef NIMBRA_SOFT_PLUGIN_DIR
      NIMBRA_SOFT_PLUGIN_DIR,
#endif
#ifdef NIMBRA_INSTALLED_SOFT_PLUGIN_DIR
      NIMBRA_INSTALLED_SOFT_PLUGIN_DIR,
#endif
  };
  for (const char* dir : candidates) {
    if (!exists(dir)) continue;
    const char* old = getenv("GST_PLUGIN_PATH");
    std::string value = old && *old ? std::string(old) + ":" + dir : std::string(dir);
    setenv("GST_PLUGIN_PATH", value.c_str(), 1);
    return;
  }
}

std::string default_sample() {
  if (const char* d = getenv("NIMBRA_MEDIA_DIR")) return std::string(d) + "/sample_h265.mp4";
#ifdef NIMBRA_MEDIA_DIR
  if (exists(NIMBRA_MEDIA_DIR "/sample_h265.mp4")) return NIMBRA_MEDIA_DIR "/sample_h265.mp4";
#endif
  return "/usr/local/share/nimbra-gst/media/sample_h265.mp4";
}

void usage() {
  printf(
      "usage: nimbra-run [--fast] [--id ID] [FILE]\n"
      "  Decodes the H.265 video of FILE (MP4 or raw .h265; default: the bundled sample)\n"
      "  through a splice stream and prints frames, size and frame rate once a second.\n"
      "  --fast   push access units as fast as the decoder takes them (default: real time)\n"
      "  --id ID  stream id to use (default: sample)\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool fast = false;
  std::string id = "sample";
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--fast") {
      fast = true;
    } else if (a == "--id" && i + 1 < argc) {
      id = argv[++i];
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "nimbra-run: unknown option %s\n", a.c_str());
      usage();
      return 2;
    } else {
      file = a;
    }
  }
  if (file.empty()) file = default_sample();
  if (!exists(file)) {
    fprintf(stderr, "nimbra-run: %s not found\n", file.c_str());
    return 1;
  }

  add_soft_platform_path();
  gst_init(&argc, &argv);
  std::signal(SIGINT, on_sigint);

  // Demux and parse into byte-stream access units.
  const bool raw = file.size() > 5 && file.compare(file.size() - 5, 5, ".h265") == 0;
  gchar* location = g_strescape(file.c_str(), nullptr);
  std::string desc = std::string("filesrc location=\"") + location + "\" ! " + (raw ? "" : "qtdemux ! ") +
                     "h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au ! "
                     "appsink name=aus sync=false max-buffers=16";
  g_free(location);
  GError* err = nullptr;
  GstElement* reader = gst_parse_launch(desc.c_str(), &err);
  if (!reader) {
    fprintf(stderr, "nimbra-run: cannot read %s: %s\n", file.c_str(), err ? err->message : "?");
    return 1;
  }
  g_clear_error(&err);
  GstElement* aus = gst_bin_get_by_name(GST_BIN(reader), "aus");
  gst_element_set_state(reader, GST_STATE_PLAYING);

  std::atomic<uint64_t> frames{0};
  std::atomic<int> width{0}, height{0};
  std::function<int8_t(const Image&)> callback = [&](const Image& img) -> int8_t {
    width = img.width;
    height = img.height;
    ++frames;
    return 0;
  };
  int rc = start_splice_stream(id, callback);
  if (rc != 0) {
    fprintf(stderr, "nimbra-run: start_splice_stream failed (%d); is the platform decoder available?\n", rc);
    gst_element_set_state(reader, GST_STATE_NULL);
    gst_object_unref(aus);
    gst_object_unref(reader);
    return 1;
  }
  printf("nimbra-run: decoding %s as splice stream \"%s\"\n", file.c_str(), id.c_str());

  const auto t0 = std::chrono::steady_clock::now();
  auto last_report = t0;
  uint64_t last_frames = 0;
  int64_t first_pts = -1;
  uint64_t pushed = 0, dropped = 0;
  while (!g_interrupted) {
    GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(aus));
    if (!s) break;
    GstBuffer* b = gst_sample_get_buffer(s);
    GstMapInfo m;
    int64_t pts = GST_BUFFER_PTS_IS_VALID(b) ? (int64_t)GST_BUFFER_PTS(b) : -1;
    if (!fast && pts >= 0) {
      if (first_pts < 0) first_pts = pts;
      auto due = t0 + std::chrono::nanoseconds(pts - first_pts);
      std::this_thread::sleep_until(due);
    }
    if (gst_buffer_map(b, &m, GST_MAP_READ)) {
      int r = decode_put_frame_splice(m.data, m.size, id, pts,
                                      !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT));
      gst_buffer_unmap(b, &m);
      if (r == 0)
        ++pushed;
      else if (r == -6)
        ++dropped;
      else {
        fprintf(stderr, "nimbra-run: push failed (%d), stopping\n", r);
        gst_sample_unref(s);
        break;
      }
    }
    gst_sample_unref(s);
    auto now = std::chrono::steady_clock::now();
    if (now - last_report >= std::chrono::seconds(1)) {
      double secs = std::chrono::duration<double>(now - last_report).count();
      uint64_t f = frames.load();
      printf("[%s] frames %llu  size %dx%d  %.1f fps\n", id.c_str(), (unsigned long long)f, width.load(),
             height.load(), (f - last_frames) / secs);
      fflush(stdout);
      last_frames = f;
      last_report = now;
    }
  }
  stop_splice_stream(id);
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("nimbra-run: %llu access units pushed, %llu dropped before the first key frame, %llu frames "
         "decoded (%dx%d) in %.2f s, %.1f fps\n",
         (unsigned long long)pushed, (unsigned long long)dropped, (unsigned long long)frames.load(), width.load(),
         height.load(), total, total > 0 ? frames.load() / total : 0.0);
  gst_element_set_state(reader, GST_STATE_NULL);
  gst_object_unref(aus);
  gst_object_unref(reader);
  return frames.load() > 0 ? 0 : 1;
}
