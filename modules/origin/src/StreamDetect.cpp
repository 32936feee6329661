// Detection in a configured stream (see StreamDetect.h).
#define NIMBRA_MODULE "modules/origin/src/StreamDetect"
#include "StreamDetect.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "StreamBase.h"
#include "StreamCommon.h"
#include "StreamEvents.h"
#include "StreamLog.h"
#include "StreamMetrics.h"
#include "StreamTracker.h"

#ifdef NIMBRA_STREAM_DETECT
#include "nmx-tarkin-engine-private.h"
#include "nmx-tarkin-labels.h"
#include "nmx-yolo-common.h"
#endif

using Velkor::Nimbra::DetectedObject;
using Velkor::Nimbra::FrameObjects;
using Velkor::Nimbra::Image;

namespace nimbra_internal {

const std::vector<std::string> kDetectKeys = {"model", "modelType", "modelSize", "every", "boxThresh", "nmsThresh",
                                              "labels", "classes", "draw", "track", "lostFrames"};

namespace {

constexpr int kModelClasses = 80;  // the engine decodes the 80-class YOLO layouts

bool known_model_type(const std::string& t) { return t == "yolov8-detection" || t == "yolov8" || t == "yolov5"; }

bool readable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return (bool)in;
}

void problem(std::vector<ConfigProblem>& problems, const Json::Value* at, const std::string& message,
             bool warning = false) {
  ConfigProblem p;
  p.at = at;
  p.warning = warning;
  p.message = message;
  problems.push_back(std::move(p));
}

}  // namespace

bool detect_available() {
#ifdef NIMBRA_STREAM_DETECT
  return true;
#else
  return false;
#endif
}

bool read_detect_labels(const std::string& file, std::vector<std::string>& names, std::string& error) {
  names.clear();
  if (file.empty()) {
#ifdef NIMBRA_STREAM_DETECT
    names.assign(nmx_tarkin_coco80, nmx_tarkin_coco80 + kModelClasses);
    return true;
#else
    for (int i = 0; i < kModelClasses; ++i) names.push_back(std::to_string(i));
    return true;
#endif
  }
  std::ifstream in(file);
  if (!in) {
    error = "cannot read labels file '" + file + "'";
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;  // blank lines are not classes
    names.push_back(line.substr(start));
  }
  if ((int)names.size() != kModelClasses) {
    error = "labels file '" + file + "' has " + std::to_string(names.size()) + " names, the model has " +
            std::to_string(kModelClasses) + " classes";
    return false;
  }
  return true;
}

void read_stream_detect(const Json::Value& properties, DetectConfig& out, std::vector<ConfigProblem>& problems,
                        bool check_files) {
  if (!properties.isObject() || !properties.isMember("detect")) return;
  const Json::Value& d = properties["detect"];
  out.present = true;
  if (!d.isObject()) {
    problem(problems, &d, "\"detect\" must be an object");
    return;
  }
  for (const std::string& key : d.getMemberNames())
    if (std::find(kDetectKeys.begin(), kDetectKeys.end(), key) == kDetectKeys.end())
      problem(problems, &d[key], "unknown key \"" + key + "\" in \"detect\"", true);

  const Json::Value& model = d["model"];
  if (!model.isString() || model.asString().empty()) {
    problem(problems, model.isNull() ? &d : &model, "\"detect\" needs \"model\", the path of the model file");
  } else {
    out.model = model.asString();
    if (check_files && !readable(out.model)) problem(problems, &model, "cannot read model file '" + out.model + "'");
  }
  if (d.isMember("modelType")) {
    const Json::Value& t = d["modelType"];
    std::string type = t.isString() ? t.asString() : "";
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    if (!known_model_type(type))
      problem(problems, &t, "unknown \"modelType\" '" + (t.isString() ? t.asString() : t.toStyledString()) +
                                "' (known: yolov8-detection, yolov5)");
    else
      out.model_type = type == "yolov8" ? "yolov8-detection" : type;
  }
  auto integer = [&](const char* key, int lo, int hi, int& value) {
    if (!d.isMember(key)) return;
    const Json::Value& v = d[key];
    if (!v.isInt() || v.asInt() < lo || v.asInt() > hi)
      problem(problems, &v, std::string("\"") + key + "\" must be a whole number from " + std::to_string(lo) +
                                " to " + std::to_string(hi));
    else
      value = v.asInt();
  };
  auto fraction = [&](const char* key, float& value) {
    if (!d.isMember(key)) return;
    const Json::Value& v = d[key];
    if (!v.isNumeric() || v.asDouble() < 0 || v.asDouble() > 1)
      problem(problems, &v, std::string("\"") + key + "\" must be a number from 0 to 1");
    else
      value = (float)v.asDouble();
  };
  auto flag = [&](const char* key, bool& value) {
    if (!d.isMember(key)) return;
    const Json::Value& v = d[key];
    if (!v.isBool())
      problem(problems, &v, std::string("\"") + key + "\" must be true or false");
    else
      value = v.asBool();
  };
  integer("every", 1, 1000, out.every);
  integer("lostFrames", 1, 100000, out.lost_frames);
  if (d.isMember("modelSize")) {
    integer("modelSize", 32, 4096, out.model_size);
    if (out.model_size % 32) {
      problem(problems, &d["modelSize"], "\"modelSize\" must be a multiple of 32");
      out.model_size = 0;
    }
  }
  fraction("boxThresh", out.box_thresh);
  fraction("nmsThresh", out.nms_thresh);
  flag("draw", out.draw);
  flag("track", out.track);

  if (d.isMember("labels")) {
    const Json::Value& l = d["labels"];
    if (!l.isString() || l.asString().empty())
      problem(problems, &l, "\"labels\" must be the path of a file with one class name a line");
    else
      out.labels_file = l.asString();
  }
  if (d.isMember("classes")) {
    const Json::Value& c = d["classes"];
    bool ok = c.isArray();
    if (ok)
      for (const Json::Value& v : c) ok = ok && v.isString();
    if (!ok)
      problem(problems, &c, "\"classes\" must be an array of class names");
    else
      for (const Json::Value& v : c) out.classes.push_back(v.asString());
  }
  if (!check_files) return;
  std::vector<std::string> names;
  std::string error;
  if (!read_detect_labels(out.labels_file, names, error)) {
    problem(problems, &d["labels"], error);
    return;
  }
  if (!out.labels_file.empty() || detect_available()) {
    const Json::Value& c = d["classes"];
    for (Json::ArrayIndex i = 0; c.isArray() && i < c.size(); ++i)
      if (c[i].isString() && std::find(names.begin(), names.end(), c[i].asString()) == names.end())
        problem(problems, &c[i], "class '" + c[i].asString() + "' is not one of the model's labels" +
                                     (out.labels_file.empty() ? "" : " (" + out.labels_file + ")"));
  }
}

// ---------------------------------------------------------------------------------
// Drawing

namespace {

cv::Scalar colour_of(const DetectedObject& o) {
  static const cv::Scalar palette[] = {{255, 64, 64}, {64, 255, 64}, {64, 160, 255}, {255, 220, 0},
                                       {255, 0, 255}, {0, 255, 255}, {255, 140, 0},  {160, 64, 255}};
  const int64_t key = o.track_id >= 0 ? o.track_id : o.class_id;
  return palette[(size_t)(key < 0 ? 0 : key) % (sizeof palette / sizeof palette[0])];
}

}  // namespace

void draw_objects(uint8_t* rgb, int width, int height, int stride, const std::vector<DetectedObject>& objects) {
  if (!rgb || width < 1 || height < 1 || objects.empty()) return;
  cv::Mat frame(height, width, CV_8UC3, rgb, (size_t)stride);
  const int thickness = std::max(2, width / 480);
  const double font = std::max(0.4, width / 1600.0);
  for (const DetectedObject& o : objects) {
    const int x1 = std::clamp((int)std::lround(o.x), 0, width - 1);
    const int y1 = std::clamp((int)std::lround(o.y), 0, height - 1);
    const int x2 = std::clamp((int)std::lround(o.x + o.width), 0, width - 1);
    const int y2 = std::clamp((int)std::lround(o.y + o.height), 0, height - 1);
    if (x2 <= x1 || y2 <= y1) continue;
    const cv::Scalar c = colour_of(o);
    cv::rectangle(frame, cv::Point(x1, y1), cv::Point(x2, y2), c, thickness);
    std::string text = o.label + " " + std::to_string((int)std::lround(o.confidence * 100)) + "%";
    if (o.track_id >= 0) text += " #" + std::to_string(o.track_id);
    int base = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, font, 1, &base);
    const int ty = y1 - size.height - base >= 0 ? y1 - base : std::min(height - 1, y1 + size.height + base);
    cv::rectangle(frame, cv::Point(x1, ty - size.height - base / 2), cv::Point(x1 + size.width, ty + base / 2), c,
                  cv::FILLED);
    cv::putText(frame, text, cv::Point(x1, ty), cv::FONT_HERSHEY_SIMPLEX, font, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
  }
}

// ---------------------------------------------------------------------------------
// The detector

struct StreamDetector::Impl {
  std::string stream_id;
  DetectConfig config;
  std::vector<std::string> names;
  std::vector<char> wanted;  // per class id: kept by "classes"
  std::shared_ptr<StreamMetrics> metrics;
  bool events = false;
#ifdef NIMBRA_STREAM_DETECT
  GstNmxTarkinEngine* engine = nullptr;
#endif

  // Frame slot between the streaming thread and the worker.
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  bool pending = false;
  std::vector<uint8_t> slot;
  int slot_width = 0, slot_height = 0, slot_stride = 0;
  float slot_scale = 1.0f;  // slot pixels to frame pixels
  int64_t slot_frame = -1;
  int input_size = 0;  // the model's square input
  // The newest result (worker -> streaming thread).
  bool result_ready = false;
  int64_t result_frame = -1;
  std::vector<TrackerBox> result;
  std::thread worker;
  std::atomic<uint64_t> inferences{0};

  // Streaming thread only.
  int64_t last_submitted = -1000000;
  std::vector<uint8_t> staged;  // the next slot, filled outside the lock
  std::vector<uint8_t> nv12_rgb;  // a whole NV12 frame as RGB, for the shrink
  ObjectTracker tracker;
  std::vector<TrackerBox> applied;  // untracked: the newest result as it came
  int64_t applied_frame = -1;
  FrameObjects objects;

  Impl(const DetectConfig& c) : config(c), tracker(c.lost_frames) {}

  void run();
  bool infer_once(const uint8_t* rgb, int width, int height, int stride, std::vector<TrackerBox>& out,
                  std::string& error, float scale = 1.0f);
};

bool StreamDetector::Impl::infer_once(const uint8_t* rgb, int width, int height, int stride,
                                      std::vector<TrackerBox>& out, std::string& error, float scale) {
  out.clear();
#ifdef NIMBRA_STREAM_DETECT
  std::vector<DetectionBox> boxes;
  if (!nmx_tarkin_engine_detect_boxes(engine, rgb, width, height, stride, &boxes)) {
    error = gst_nmx_tarkin_engine_last_error();
    if (error.empty()) error = "inference failed";
    return false;
  }
  for (const DetectionBox& b : boxes) {
    if (b.class_id < 0 || b.class_id >= (int)wanted.size() || !wanted[b.class_id]) continue;
    TrackerBox t;
    t.class_id = b.class_id;
    t.score = b.score;
    t.x = b.x * scale;
    t.y = b.y * scale;
    t.w = b.w * scale;
    t.h = b.h * scale;
    out.push_back(t);
  }
  return true;
#else
  (void)rgb, (void)width, (void)height, (void)stride, (void)scale;
  error = "built without detection";
  return false;
#endif
}

void StreamDetector::Impl::run() {
  // The model works behind the frames on what the decoder, the converters and the
  // callback leave of the CPU: when it cannot keep up, the newest frame wins; it never
  // slows them down. (Raising a thread's nice value needs no privilege.)
  const int tid = (int)syscall(SYS_gettid);
  errno = 0;
  const int nice_now = getpriority(PRIO_PROCESS, (id_t)tid);
  if (errno == 0) setpriority(PRIO_PROCESS, (id_t)tid, std::min(19, nice_now + 10));
  std::vector<uint8_t> frame;
  std::vector<TrackerBox> boxes;
  uint32_t failures = 0;
  for (;;) {
    int width, height, stride;
    float scale;
    int64_t index;
    {
      std::unique_lock<std::mutex> g(lock);
      wake.wait(g, [&] { return stop || pending; });
      if (stop) return;
      frame.swap(slot);
      pending = false;
      width = slot_width, height = slot_height, stride = slot_stride, index = slot_frame, scale = slot_scale;
    }
    const uint64_t t0 = now_ns();
    std::string error;
    const bool ok = infer_once(frame.data(), width, height, stride, boxes, error, scale);
    const uint64_t took = now_ns() - t0;
    if (!ok) {
      // A failing frame never ends the stream: its objects are carried on by the tracker.
      if (metrics) metrics->inference_failed();
      if (++failures == 1 || failures % 25 == 0)
        NLOG_WARN("Stream '%s': detection failed on frame %lld (%u in a row): %s", stream_id.c_str(),
                  (long long)index, failures, error.c_str());
      continue;
    }
    if (failures) NLOG_INFO("Stream '%s': detection works again after %u failed frames", stream_id.c_str(), failures);
    failures = 0;
    {
      std::lock_guard<std::mutex> g(lock);
      result.swap(boxes);
      result_frame = index;
      result_ready = true;
    }
    // Counted once the result is there for the next frame to take.
    inferences.fetch_add(1, std::memory_order_relaxed);
    if (metrics) metrics->inference_done(took);
    Velkor::Nimbra::observe_inference_seconds(stream_id, (double)took / 1e9);
  }
}

StreamDetector::StreamDetector(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

StreamDetector::~StreamDetector() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->stop = true;
  }
  impl_->wake.notify_all();
  if (impl_->worker.joinable()) impl_->worker.join();
  if (impl_->events) Velkor::Nimbra::end_stream_events(impl_->stream_id);
#ifdef NIMBRA_STREAM_DETECT
  gst_nmx_tarkin_engine_free(impl_->engine);
#endif
}

uint64_t StreamDetector::inferences() const { return impl_->inferences.load(); }

std::shared_ptr<StreamDetector> StreamDetector::create(const std::string& stream_id, const DetectConfig& config,
                                                       std::shared_ptr<StreamMetrics> metrics, std::string& error) {
  const std::string who = "Stream '" + stream_id + "': detect: ";
#ifndef NIMBRA_STREAM_DETECT
  (void)config, (void)metrics;
  error = who + "this library was built without detection (NIMBRA_STREAM_DETECT=OFF)";
  return nullptr;
#else
  auto impl = std::make_unique<Impl>(config);
  impl->stream_id = stream_id;
  impl->metrics = std::move(metrics);
  std::string why;
  if (!read_detect_labels(config.labels_file, impl->names, why)) {
    error = who + why;
    return nullptr;
  }
  impl->wanted.assign(impl->names.size(), config.classes.empty() ? 1 : 0);
  for (const std::string& c : config.classes) {
    auto it = std::find(impl->names.begin(), impl->names.end(), c);
    if (it == impl->names.end()) {
      error = who + "class '" + c + "' is not one of the model's labels" +
              (config.labels_file.empty() ? "" : " (" + config.labels_file + ")");
      return nullptr;
    }
    impl->wanted[it - impl->names.begin()] = 1;
  }
  if (!readable(config.model)) {
    error = who + "cannot read model file '" + config.model + "'";
    return nullptr;
  }
  gst_init(nullptr, nullptr);
  // Frames come as RGB; the engine's letterbox swaps channels when the order it is told
  // the frame has differs from the model's, so it is told the opposite of the model's.
  const bool v8 = config.model_type != "yolov5";
  std::vector<int> sizes;
  if (config.model_size)
    sizes.push_back(config.model_size);
  else
    sizes = {640, 320, 416, 480, 512, 384, 256, 960, 1280};
  std::string first_error;
  // Trying sizes the model was not exported at makes OpenCV print its shape errors: they
  // say nothing to the user while the right size is still to come.
  struct QuietOpenCv {
    cv::utils::logging::LogLevel was;
    explicit QuietOpenCv(bool on)
        : was(on ? cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)
                 : cv::utils::logging::getLogLevel()) {}
    ~QuietOpenCv() { cv::utils::logging::setLogLevel(was); }
  } quiet(sizes.size() > 1);
  for (int size : sizes) {
    GstStructure* s = gst_structure_new("nmx-tarkin-settings", "model", G_TYPE_STRING, config.model.c_str(),
                                        "model-type", G_TYPE_STRING, config.model_type.c_str(), "box-thresh",
                                        G_TYPE_DOUBLE, (double)config.box_thresh, "nms-thresh", G_TYPE_DOUBLE,
                                        (double)config.nms_thresh, "print-valid-boxes", G_TYPE_BOOLEAN, FALSE,
                                        "model-size", G_TYPE_UINT, (guint)size, "channel-order", G_TYPE_STRING,
                                        v8 ? "bgr" : "rgb", NULL);
    impl->engine = gst_nmx_tarkin_engine_new(s);
    gst_structure_free(s);
    std::string e;
    if (impl->engine) {
      // One run on a black picture: outputs that do not fit the type fail here, not midstream.
      std::vector<uint8_t> black((size_t)size * size * 3, 0);
      std::vector<TrackerBox> ignored;
      if (impl->infer_once(black.data(), size, size, size * 3, ignored, e)) {
        impl->input_size = size;
        break;
      }
      gst_nmx_tarkin_engine_free(impl->engine);
      impl->engine = nullptr;
    } else {
      e = gst_nmx_tarkin_engine_last_error();
    }
    if (first_error.empty()) first_error = e.empty() ? "the engine refused it" : e;
  }
  if (!impl->engine) {
    error = who + "cannot use model '" + config.model + "' as " + config.model_type + ": " + first_error;
    return nullptr;
  }
  impl->worker = std::thread([p = impl.get()] { p->run(); });
  return std::shared_ptr<StreamDetector>(new StreamDetector(std::move(impl)));
#endif
}

std::shared_ptr<StreamDetector> StreamDetector::from_configuration(const std::string& stream_id,
                                                                   std::shared_ptr<StreamMetrics> metrics,
                                                                   std::string& error) {
  error.clear();
  Json::Value root;
  std::string load_error;
  if (!load_config_file(stream_conf_file ? stream_conf_file : "", root, load_error)) return nullptr;
  const Json::Value* props = find_stream_properties(root, stream_id);
  if (!props || !props->isMember("detect")) return nullptr;
  DetectConfig config;
  std::vector<ConfigProblem> problems;
  read_stream_detect(*props, config, problems, false);
  for (const ConfigProblem& p : problems)
    if (!p.warning) {
      error = "Stream '" + stream_id + "': detect: " + p.message;
      return nullptr;
    }
  auto detector = create(stream_id, config, std::move(metrics), error);
  if (!detector) return nullptr;
  if (props->isMember("events") || props->isMember("zones") || props->isMember("lines"))
    detector->impl_->events = Velkor::Nimbra::configure_stream_events(stream_id) == 0;
  NLOG_INFO("Stream '%s': detecting with '%s' (%s), every %d frame(s)%s%s", stream_id.c_str(),
            config.model.c_str(), config.model_type.c_str(), config.every, config.track ? ", tracking" : "",
            config.draw ? ", drawing" : "");
  return detector;
}

bool StreamDetector::due(int64_t index) const { return index - impl_->last_submitted >= impl_->config.every; }

void StreamDetector::submit(int64_t index, const uint8_t* rgb, int width, int height, int stride) {
  Impl& m = *impl_;
  m.last_submitted = index;
#ifdef NIMBRA_STREAM_DETECT
  // The same resize the engine's letterbox would make of the whole frame, made here: the
  // engine then finds the picture at its size already, and boxes come back scaled by
  // the letterbox's own factor, as they would from the whole frame.
  float scale = 1.0f;
  int w = width, h = height;
  if (!nmx::yolo::letterbox_geometry(width, height, m.input_size, m.input_size, &scale, &w, &h)) return;
  m.staged.resize((size_t)w * h * 3);
  const cv::Mat src(height, width, CV_8UC3, const_cast<uint8_t*>(rgb), (size_t)stride);
  cv::Mat dst(h, w, CV_8UC3, m.staged.data(), (size_t)w * 3);
  cv::resize(src, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
  bool replaced = false;
  {
    // A frame still waiting is replaced: the newest wins.
    std::lock_guard<std::mutex> g(m.lock);
    replaced = m.pending;
    m.slot.swap(m.staged);
    m.slot_width = w, m.slot_height = h, m.slot_stride = w * 3, m.slot_scale = scale, m.slot_frame = index;
    m.pending = true;
  }
  m.wake.notify_one();
  if (replaced && m.metrics) m.metrics->inference_skipped();
#else
  (void)rgb, (void)width, (void)height, (void)stride;
#endif
}

void StreamDetector::on_frame(Image& image, uint8_t* rgb, int stride) {
  const int width = image.width, height = image.height;
  if (!rgb || width < 1 || height < 1 || stride < width * 3) return;
  if (due(image.frame_index)) submit(image.frame_index, rgb, width, height, stride);
  finish_frame(image, rgb, stride);
}

void StreamDetector::on_frame_nv12(Image& image, const uint8_t* y_plane, int y_stride, const uint8_t* uv_plane,
                                   int uv_stride) {
  const int width = image.width & ~1, height = image.height & ~1;
  if (!y_plane || !uv_plane || width < 2 || height < 2) return;
  if (due(image.frame_index)) {
    std::vector<uint8_t>& rgb = impl_->nv12_rgb;
    rgb.resize((size_t)width * height * 3);
    const cv::Mat y(height, width, CV_8UC1, const_cast<uint8_t*>(y_plane), (size_t)y_stride);
    const cv::Mat uv(height / 2, width / 2, CV_8UC2, const_cast<uint8_t*>(uv_plane), (size_t)uv_stride);
    cv::Mat out(height, width, CV_8UC3, rgb.data(), (size_t)width * 3);
    cv::cvtColorTwoPlane(y, uv, out, cv::COLOR_YUV2RGB_NV12);
    submit(image.frame_index, rgb.data(), width, height, width * 3);
  }
  finish_frame(image, nullptr, 0);
}

void StreamDetector::finish_frame(Image& image, uint8_t* rgb, int stride) {
  Impl& m = *impl_;
  const int64_t index = image.frame_index;
  const int width = image.width, height = image.height;

  // The newest result, if one came since the last frame.
  {
    std::lock_guard<std::mutex> g(m.lock);
    if (m.result_ready) {
      m.result_ready = false;
      m.applied.swap(m.result);
      m.applied_frame = m.result_frame;
      if (m.config.track) m.tracker.update(m.applied, m.applied_frame);
    }
  }

  FrameObjects& f = m.objects;
  f.items.clear();
  f.inference_frame = m.applied_frame;
  auto add = [&](const TrackerBox& b, int64_t track_id, int32_t age) {
    DetectedObject o;
    o.class_id = b.class_id;
    o.label = b.class_id >= 0 && b.class_id < (int)m.names.size() ? m.names[b.class_id] : std::to_string(b.class_id);
    o.confidence = b.score;
    o.x = b.x, o.y = b.y, o.width = b.w, o.height = b.h;
    o.track_id = track_id;
    o.age = age;
    f.items.push_back(std::move(o));
  };
  if (m.config.track) {
    for (const TrackedBox& t : m.tracker.objects_at(std::max(index, m.applied_frame))) add(t.box, t.track_id, t.age);
  } else if (m.applied_frame >= 0) {
    const int32_t age = (int32_t)std::max<int64_t>(0, index - m.applied_frame);
    for (const TrackerBox& b : m.applied) add(b, -1, age);
  }
  if (m.metrics) m.metrics->set_objects((uint32_t)f.items.size());
  if (m.config.draw && rgb) draw_objects(rgb, width, height, stride, f.items);
  if (m.events) {
    Velkor::Nimbra::EventFrame ef;
    ef.stream_id = m.stream_id;
    ef.frame_index = index;
    ef.pts_ns = image.pts;
    ef.width = width;
    ef.height = height;
    Velkor::Nimbra::feed_event_frame(ef, f.items);
  }
  image.reserved0 = (uint64_t)(uintptr_t)&f;
}

}  // namespace nimbra_internal
