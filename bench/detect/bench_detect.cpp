// A detecting stream ("detect" in its properties, the 320-input benchmark model on every
// fifth frame, tracking on) against the same work as an application does it today: one
// pipeline decoding to BGR into an appsink and a loop running cv::dnn (blobFromImage,
// forward, decode, NMSBoxes) on every fifth frame, no tracker. CPU time per delivered
// frame, alternating rounds in one run. The stream's callback waits for each due
// inference, so both sides run the model on exactly the same frames.
// Then the decode rate of the stream with detection (nothing waits for the model) against
// the same stream without it, and the tracker alone with 50 objects a frame.
//
//   bench_detect [clip.mp4] [rounds]
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "StreamHealth.h"
#include "StreamTracker.h"
#include "bench_util.h"
#include "nimbra.h"

using namespace Velkor::Nimbra;
using benchutil::cpu_seconds;
using benchutil::upper_median;
using benchutil::wall_seconds;

namespace {

constexpr int kEvery = 5;

struct Run {
  double cpu = 0, wall = 0;
  long frames = 0;
  uint64_t inferences = 0;
};

void write_config(const std::string& path, const std::string& clip, bool detect) {
  std::ofstream(path) << "{\"streams\":[{\"streamsId\":\"bench\",\"properties\":{\"inputType\":\"file\","
                         "\"inputAddr\":\""
                      << clip << "\",\"decodeType\":\"H264\""
                      << (detect ? ",\"detect\":{\"model\":\"" BENCH_MODEL "\",\"modelSize\":320,\"every\":5}" : "")
                      << "}}]}";
}

// `pace`: the callback of a due frame waits until the model has run on it.
Run run_stream(bool pace) {
  std::atomic<long> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    ++frames;
    if (pace && (img.frame_index - 1) % kEvery == 0) {
      const uint64_t due = (uint64_t)((img.frame_index - 1) / kEvery + 1);
      for (int i = 0; i < 100000; ++i) {
        StreamHealth h;
        if (get_stream_health("bench", h) == 0 && h.inferences + h.inference_failures >= due) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    return 0;
  };
  const double c0 = cpu_seconds(), w0 = wall_seconds();
  start_stream("bench", cb);
  Run r{cpu_seconds() - c0, wall_seconds() - w0, frames.load(), 0};
  StreamHealth h;
  if (get_stream_health("bench", h) == 0) r.inferences = h.inferences;
  return r;
}

// Letterboxed blob, forward, decode and NMSBoxes: what an OpenCV user writes.
size_t detect_opencv(cv::dnn::Net& net, const cv::Mat& bgr) {
  const int S = 320;
  const float scale = std::max(bgr.cols / (float)S, bgr.rows / (float)S);
  cv::Mat resized, canvas(S, S, CV_8UC3, cv::Scalar(0, 0, 0));
  cv::resize(bgr, resized, cv::Size((int)(bgr.cols / scale), (int)(bgr.rows / scale)));
  resized.copyTo(canvas(cv::Rect(0, 0, resized.cols, resized.rows)));
  net.setInput(cv::dnn::blobFromImage(canvas, 1.0 / 255.0, cv::Size(), cv::Scalar(), true, false));
  cv::Mat out = net.forward();
  const int n = out.size[2];
  const cv::Mat rows = cv::Mat(84, n, CV_32F, out.ptr<float>()).t();
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
  for (int i = 0; i < n; i++) {
    const float* q = rows.ptr<float>(i);
    cv::Point best;
    double max;
    cv::minMaxLoc(cv::Mat(1, 80, CV_32F, const_cast<float*>(q + 4)), nullptr, &max, nullptr, &best);
    if (max <= 0.5) continue;
    boxes.emplace_back((int)((q[0] - 0.5f * q[2]) * scale), (int)((q[1] - 0.5f * q[3]) * scale), (int)(q[2] * scale),
                       (int)(q[3] * scale));
    scores.push_back((float)max);
  }
  std::vector<int> keep;
  cv::dnn::NMSBoxes(boxes, scores, 0.5f, 0.45f, keep);
  return keep.size();
}

Run run_by_hand(const std::string& clip, cv::dnn::Net& net) {
  const std::string desc = "filesrc location=\"" + clip +
                           "\" ! qtdemux ! h264parse ! avdec_h264 ! videoconvert ! video/x-raw,format=BGR ! "
                           "appsink name=sink sync=false max-buffers=4";
  GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  const double c0 = cpu_seconds(), w0 = wall_seconds();
  gst_element_set_state(p, GST_STATE_PLAYING);
  Run r;
  while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    if (r.frames++ % kEvery == 0) {
      GstVideoInfo info;
      gst_video_info_from_caps(&info, gst_sample_get_caps(s));
      GstMapInfo map;
      GstBuffer* b = gst_sample_get_buffer(s);
      gst_buffer_map(b, &map, GST_MAP_READ);
      const cv::Mat frame(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                          GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
      detect_opencv(net, frame);
      gst_buffer_unmap(b, &map);
      ++r.inferences;
    }
    gst_sample_unref(s);
  }
  r.cpu = cpu_seconds() - c0;
  r.wall = wall_seconds() - w0;
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return r;
}

// 50 objects moving on a 1920x1080 frame, detected on every frame with a little noise.
double tracker_ms_per_frame() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> pos(0, 1800), vel(-4, 4), noise(-1.5f, 1.5f);
  struct Obj {
    float x, y, vx, vy;
  };
  std::vector<Obj> objs(50);
  for (auto& o : objs) o = {pos(rng), pos(rng) * 0.5f, vel(rng), vel(rng)};
  nimbra_internal::ObjectTracker tracker;
  std::vector<nimbra_internal::TrackerBox> dets;
  const int frames = 5000;
  size_t live = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int f = 1; f <= frames; ++f) {
    dets.clear();
    for (auto& o : objs) {
      o.x += o.vx, o.y += o.vy;
      if (o.x < 0 || o.x > 1800) o.vx = -o.vx;
      if (o.y < 0 || o.y > 980) o.vy = -o.vy;
      dets.push_back({(int)(&o - &objs[0]) % 3, 0.8f, o.x + noise(rng), o.y + noise(rng), 60, 100});
    }
    tracker.update(dets, f);
    live += tracker.objects_at(f).size();
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (live != (size_t)frames * objs.size()) fprintf(stderr, "bench_detect: tracker kept %zu object-frames\n", live);
  return ms / frames;
}

}  // namespace

int main(int argc, char** argv) {
  benchutil::default_plugin_path(NIMBRA_SOFT_PLUGIN_DIR);
  gst_init(nullptr, nullptr);
  const std::string clip = argc > 1 ? argv[1] : std::string(NIMBRA_MEDIA_DIR) + "/h264_bench_1080p.mp4";
  const int rounds = argc > 2 ? atoi(argv[2]) : 3;
  if (access(clip.c_str(), R_OK) != 0 || access(BENCH_MODEL, R_OK) != 0) {
    fprintf(stderr, "bench_detect: cannot read %s or %s\n", clip.c_str(), BENCH_MODEL);
    return 1;
  }
  const std::string conf = "/tmp/nimbra-bench-detect.conf";
  g_stream_conf_file = conf.c_str();
  stream_conf_file = conf.c_str();
  set_log_level(SERROR);
  cv::dnn::Net net = cv::dnn::readNetFromONNX(BENCH_MODEL);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

  std::vector<double> ours, hand, plain_wall, detect_wall;
  Run last_ours, last_hand, last_free;
  for (int r = 0; r < rounds; ++r) {
    for (int k = 0; k < 4; ++k) {
      switch ((r + k) % 4) {
        case 0:
          write_config(conf, clip, true);
          last_ours = run_stream(true);
          ours.push_back(last_ours.cpu / last_ours.frames);
          break;
        case 1:
          last_hand = run_by_hand(clip, net);
          hand.push_back(last_hand.cpu / last_hand.frames);
          break;
        case 2:
          write_config(conf, clip, false);
          {
            const Run p = run_stream(false);
            plain_wall.push_back(p.wall / p.frames);
          }
          break;
        default:
          write_config(conf, clip, true);
          last_free = run_stream(false);
          detect_wall.push_back(last_free.wall / last_free.frames);
          break;
      }
    }
    if (!last_ours.frames || !last_hand.frames) {
      fprintf(stderr, "bench_detect: no frames\n");
      return 1;
    }
  }
  const double o = upper_median(ours) * 1e3, h = upper_median(hand) * 1e3;
  printf("1080p H.264 file, %ld frames, model 320 on every %dth frame, %d rounds (median)\n", last_ours.frames, kEvery,
         rounds);
  printf("  detecting stream (tracking on)     : %6.3f ms CPU/frame, %llu inferences\n", o,
         (unsigned long long)last_ours.inferences);
  printf("  decode + cv::dnn loop, no tracker  : %6.3f ms CPU/frame, %llu inferences\n", h,
         (unsigned long long)last_hand.inferences);
  printf("  ratio stream/by hand               : %6.3f  (goal: <= 0.7)\n", o / h);
  const double pw = upper_median(plain_wall), dw = upper_median(detect_wall);
  printf("  decode rate with detection / without: %6.3f  (%.0f vs %.0f fps; %llu inferences; goal: >= 0.95)\n",
         pw / dw, 1.0 / dw, 1.0 / pw, (unsigned long long)last_free.inferences);
  printf("  tracker, 50 objects a frame        : %6.3f ms per frame on one core (goal: < 0.5)\n",
         tracker_ms_per_frame());
  remove(conf.c_str());
  return 0;
}
