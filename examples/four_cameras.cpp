// Four RTSP cameras composed into one 1280x720 picture, a white title drawn over it, recorded
// to MP4 with NimbraEngine.
//
//   four_cameras CAM0 CAM1 CAM2 CAM3 OUT.mp4 [--frames N] [--title TEXT]
//
// Each camera fills one quarter. Ctrl+C (or N composed pictures) ends the recording; the
// file is finalised either way. Add an MlInference task ({"Model", ...}, {"MlModule",
// "yolov8"}, {"Labels", ...}) to draw detections too.
#include <nimbra.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace Velkor::Nimbra;
using Task = std::unordered_map<std::string, std::string>;

int main(int argc, char** argv) {
  std::vector<std::string> args;
  unsigned long long frames = 0;
  std::string title = "Nimbra";
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--frames") && i + 1 < argc) {
      frames = strtoull(argv[++i], nullptr, 10);
    } else if (!strcmp(argv[i], "--title") && i + 1 < argc) {
      title = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 5) {
    fprintf(stderr, "usage: four_cameras CAM0 CAM1 CAM2 CAM3 OUT.mp4 [--frames N] [--title TEXT]\n");
    return 2;
  }

  NimbraEngine engine(MergeToFile);
  const char* corners[4] = {"<0, 0>", "<640, 0>", "<0, 360>", "<640, 360>"};
  for (int n = 0; n < 4; ++n) {
    Task camera = {{"subStreamId", "cam" + std::to_string(n)}, {"inputType", "rtsp"}, {"inputAddr", args[n]},
                   {"decodeType", "H264"}, {"width", "640"}, {"height", "360"},
                   {"position", corners[n]}, {"dimensions", "<640, 360>"}};
    if (engine.add_task(MultiVideoDecode, camera) != 0) return 1;  // the log says why
  }
  Task recording = {{"subStreamId", "rec"}, {"outputType", "mp4"}, {"outputAddr", args[4]},
                    {"encodeType", "H264"}, {"width", "1280"}, {"height", "720"},
                    {"text_str", title}, {"text_loc_x", "40"}, {"text_loc_y", "40"}, {"text_font_size", "32"},
                    {"text_color", "0xFFFFFFFF"}};
  Task picture = {{"outputType", "mp4"}, {"outputAddr", args[4]}, {"encodeType", "H264"},
                  {"width", "1280"}, {"height", "720"}};
  if (engine.add_task(MultiVideoEncode, recording) != 0 || engine.add_task(VideoEncode, picture) != 0) return 1;

  std::atomic<int> result{-1};
  std::atomic<bool> done{false};
  std::thread run([&] {
    result = engine.start();  // blocks until the recording is finalised
    done = true;
  });
  // Progress from the composition's health record, and the stop after N pictures.
  bool stopped = false;
  uint64_t shown = 0;
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    StreamHealth h;
    if (get_stream_health("multi_merge", h) != 0 || !h.running) continue;
    if (h.frames_decoded / 100 != shown / 100) {
      printf("composed %llu pictures\n", (unsigned long long)h.frames_decoded);
      fflush(stdout);
    }
    shown = h.frames_decoded;
    if (frames && !stopped && h.frames_decoded >= frames) {
      engine.stop();
      stopped = true;
    }
  }
  run.join();
  printf("%s: %s\n", args[4].c_str(), result == 0 ? "recorded" : "failed (see the messages above)");
  return result == 0 ? 0 : 1;
}
