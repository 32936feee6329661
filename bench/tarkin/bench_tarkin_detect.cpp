// SPDX-License-Identifier: BSD-3-Clause
// Detection throughput: the nmx-tarkin element in a decode pipeline against the loop
// an application would write with OpenCV alone (decoded frame, blobFromImage,
// Net::forward, decode, NMSBoxes), on the same clip and the same generated YOLOv8
// model exported at 640 and at 320. Both take their frames from the same decode
// front end (qtivdec ! qtivtransform to BGR) running on its own streaming thread,
// so the ratio is what the element does around the network against what the loop
// does. Runs alternate (element, loop, per size, five rounds) and each ratio is the
// median of the rounds' ratios (their range printed beside it), so load drift on a
// shared machine hits both sides alike.
//
//   bench_tarkin_detect CLIP.mp4 MODEL_640.onnx MODEL_320.onnx
#include <gst/app/app.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b)
{
  return std::chrono::duration<double, std::milli>(b - a).count();
}

const char *kFrontEnd = "filesrc location=\"%s\" ! qtdemux ! h264parse ! qtivdec ! qtivtransform ! "
                        "video/x-raw,format=BGR";

struct Result {
  int frames = 0;
  double fps = 0;                        // frames after the first over the time since the first
  std::map<std::string, double> stages;  // mean ms per frame
};

// --- the element ---------------------------------------------------------------

struct ElementTimes {
  std::vector<Clock::time_point> out;  // when each text reached the sink
  Clock::time_point in_at;
  double in_element_ms = 0;
  int in_element = 0;
};

GstPadProbeReturn on_element_in(GstPad *, GstPadProbeInfo *, gpointer data)
{
  static_cast<ElementTimes *>(data)->in_at = Clock::now();
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_element_out(GstPad *, GstPadProbeInfo *, gpointer data)
{
  auto *t = static_cast<ElementTimes *>(data);
  const auto now = Clock::now();
  t->in_element_ms += ms_between(t->in_at, now);
  t->in_element++;
  t->out.push_back(now);
  return GST_PAD_PROBE_OK;
}

// The engine prints its stage times on standard error every 25th frame; they are
// read from there.
std::map<std::string, double> engine_stage_means(const std::string &log)
{
  std::map<std::string, double> sum;
  int lines = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[nmx-tarkin] infer_preprocess_ms=", 0) != 0)
      continue;
    double pre, inv, post, ser, total;
    if (std::sscanf(line.c_str(),
                    "[nmx-tarkin] infer_preprocess_ms=%lf infer_invoke_ms=%lf infer_postprocess_ms=%lf "
                    "infer_serialize_ms=%lf infer_total_ms=%lf",
                    &pre, &inv, &post, &ser, &total) != 5)
      continue;
    sum["letterbox"] += pre;
    sum["runtime (blob, forward, copy out)"] += inv;
    sum["decode + NMS"] += post;
    sum["text"] += ser;
    lines++;
  }
  for (auto &kv : sum)
    kv.second /= lines ? lines : 1;
  return sum;
}

bool run_element(const char *clip, const char *model, int size, Result *r)
{
  gchar *front = g_strdup_printf(kFrontEnd, clip);
  // Up to 4 decoded frames wait for the element, as for the loop's appsink.
  gchar *desc = g_strdup_printf("%s ! queue max-size-buffers=4 max-size-bytes=0 max-size-time=0 ! nmx-tarkin name=det "
                                "model=\"%s\" model-type=yolov8-detection model-size=%d ! fakesink sync=false",
                                front, model, size);
  g_free(front);
  GError *err = nullptr;
  GstElement *p = gst_parse_launch(desc, &err);
  g_free(desc);
  if (!p) {
    std::fprintf(stderr, "bench_tarkin_detect: %s\n", err ? err->message : "cannot build the pipeline");
    g_clear_error(&err);
    return false;
  }
  ElementTimes t;
  GstElement *det = gst_bin_get_by_name(GST_BIN(p), "det");
  GstPad *sink = gst_element_get_static_pad(det, "sink"), *src = gst_element_get_static_pad(det, "src");
  gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, on_element_in, &t, nullptr);
  gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, on_element_out, &t, nullptr);

  // Standard error goes to a file for the run: the engine's stage lines.
  char path[] = "/tmp/bench-tarkin-XXXXXX";
  const int fd = mkstemp(path);
  fflush(stderr);
  const int saved = dup(2);
  dup2(fd, 2);
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(p);
  GstMessage *m = gst_bus_timed_pop_filtered(bus, 600 * GST_SECOND,
                                             (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
  gst_element_set_state(p, GST_STATE_NULL);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::ifstream logf(path);
  const std::string log((std::istreambuf_iterator<char>(logf)), std::istreambuf_iterator<char>());
  close(fd);
  unlink(path);
  if (!ok)
    std::fprintf(stderr, "bench_tarkin_detect: the element pipeline failed:\n%s\n", log.c_str());
  if (m)
    gst_message_unref(m);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(src);
  gst_object_unref(det);
  gst_object_unref(p);
  if (!ok || t.out.size() < 10)
    return false;
  r->frames = (int)t.out.size();
  r->fps = (r->frames - 1) / (ms_between(t.out.front(), t.out.back()) / 1000.0);
  r->stages = engine_stage_means(log);
  r->stages["whole element"] = t.in_element_ms / t.in_element;
  return true;
}

// --- the plain loop ------------------------------------------------------------

bool run_loop(const char *clip, const char *model, int size, Result *r)
{
  cv::dnn::Net net = cv::dnn::readNetFromONNX(model);
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  gchar *front = g_strdup_printf(kFrontEnd, clip);
  gchar *desc = g_strdup_printf("%s ! appsink name=s sync=false max-buffers=4", front);
  g_free(front);
  GstElement *p = gst_parse_launch(desc, nullptr);
  g_free(desc);
  if (!p)
    return false;
  GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "s");
  gst_element_set_state(p, GST_STATE_PLAYING);
  std::map<std::string, double> sum;
  std::vector<Clock::time_point> done;
  size_t kept = 0;
  for (;;) {
    const auto t0 = Clock::now();
    GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 60 * GST_SECOND);
    if (!s)
      break;
    const auto t1 = Clock::now();
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(s));
    GstMapInfo map;
    GstBuffer *b = gst_sample_get_buffer(s);
    gst_buffer_map(b, &map, GST_MAP_READ);
    const cv::Mat frame(GST_VIDEO_INFO_HEIGHT(&info), GST_VIDEO_INFO_WIDTH(&info), CV_8UC3, map.data,
                        GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
    const cv::Mat blob = cv::dnn::blobFromImage(frame, 1.0 / 255.0, cv::Size(size, size), cv::Scalar(), true, false);
    const float sx = (float)frame.cols / size, sy = (float)frame.rows / size;
    gst_buffer_unmap(b, &map);
    gst_sample_unref(s);
    const auto t2 = Clock::now();
    net.setInput(blob);
    cv::Mat out = net.forward();
    const auto t3 = Clock::now();
    const int n = out.size[2];
    const cv::Mat rows = cv::Mat(84, n, CV_32F, out.ptr<float>()).t();
    std::vector<cv::Rect> boxes;
    std::vector<float> scores;
    std::vector<int> ids;
    for (int i = 0; i < n; i++) {
      const float *q = rows.ptr<float>(i);
      cv::Point best;
      double max;
      cv::minMaxLoc(cv::Mat(1, 80, CV_32F, const_cast<float *>(q + 4)), nullptr, &max, nullptr, &best);
      if (max <= 0.5)
        continue;
      boxes.emplace_back((int)((q[0] - 0.5f * q[2]) * sx), (int)((q[1] - 0.5f * q[3]) * sy), (int)(q[2] * sx),
                         (int)(q[3] * sy));
      scores.push_back((float)max);
      ids.push_back(best.x);
    }
    std::vector<int> keep;
    cv::dnn::NMSBoxes(boxes, scores, 0.5f, 0.45f, keep);
    kept += keep.size();
    const auto t4 = Clock::now();
    sum["wait for the decoded frame"] += ms_between(t0, t1);
    sum["blobFromImage"] += ms_between(t1, t2);
    sum["forward"] += ms_between(t2, t3);
    sum["decode + NMSBoxes"] += ms_between(t3, t4);
    done.push_back(t4);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  if (done.size() < 10)
    return false;
  r->frames = (int)done.size();
  r->fps = (r->frames - 1) / (ms_between(done.front(), done.back()) / 1000.0);
  for (auto &kv : sum)
    r->stages[kv.first] = kv.second / r->frames;
  r->stages["(detections kept per frame)"] = (double)kept / r->frames;
  return true;
}

void print_stages(const char *who, const Result &r)
{
  std::printf("  %-10s %3d frames, %6.2f fps; per frame:", who, r.frames, r.fps);
  for (const auto &kv : r.stages)
    std::printf("  %s %.2f%s", kv.first.c_str(), kv.second, kv.first[0] == '(' ? "" : " ms");
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_tarkin_detect CLIP.mp4 MODEL_640.onnx MODEL_320.onnx\n");
    return 2;
  }
  for (int i = 1; i < 4; i++)
    if (!std::ifstream(argv[i]).good()) {
      std::fprintf(stderr, "bench_tarkin_detect: cannot read %s\n", argv[i]);
      return 1;
    }
  gst_init(&argc, &argv);
  const int sizes[2] = {640, 320};
  const char *models[2] = {argv[2], argv[3]};
  const int kRounds = 5;
  std::vector<Result> element_runs[2], loop_runs[2];
  for (int round = 0; round < kRounds; round++)
    for (int k = 0; k < 2; k++) {
      Result e, l;
      if (!run_element(argv[1], models[k], sizes[k], &e) || !run_loop(argv[1], models[k], sizes[k], &l)) {
        std::fprintf(stderr, "bench_tarkin_detect: a run failed at model size %d\n", sizes[k]);
        return 1;
      }
      element_runs[k].push_back(e);
      loop_runs[k].push_back(l);
    }
  // Per size: the mean of the rounds' rates and stage times.
  auto mean = [](const std::vector<Result> &runs) {
    Result m;
    m.frames = runs[0].frames;
    for (const Result &r : runs) {
      m.fps += r.fps / runs.size();
      for (const auto &kv : r.stages)
        m.stages[kv.first] += kv.second / runs.size();
    }
    return m;
  };
  // "median (lowest..highest)" of the rounds' ratios a/b.
  auto ratio = [](const std::vector<Result> &a, const std::vector<Result> &b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); i++)
      r.push_back(a[i].fps / b[i].fps);
    std::sort(r.begin(), r.end());
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f (rounds %.2f..%.2f)", r[r.size() / 2], r.front(), r.back());
    return std::string(buf);
  };
  std::printf("clip %s, YOLOv8-shaped model with a strided convolution backbone, %d rounds\n", argv[1], kRounds);
  std::printf("(element stages: the engine's own times, sampled every 25th frame)\n");
  for (int k = 0; k < 2; k++) {
    std::printf("model size %d:\n", sizes[k]);
    print_stages("element", mean(element_runs[k]));
    print_stages("plain loop", mean(loop_runs[k]));
    std::printf("  ratio element/loop fps: %s, goal >= 1.00\n", ratio(element_runs[k], loop_runs[k]).c_str());
  }
  std::printf("320 against 640: element %s, goal >= 2.50; plain loop %s\n",
              ratio(element_runs[1], element_runs[0]).c_str(), ratio(loop_runs[1], loop_runs[0]).c_str());
  return 0;
}
