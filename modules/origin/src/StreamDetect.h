// Detection in a configured stream: the "detect" entry of a stream's "properties" runs a
// YOLO model on the stream's frames off the streaming thread, tracks the objects and
// hands them to the frame callback with each frame (objects_of in StreamTypes.h).
//
//   "detect": {"model": "/models/yolov8n-320.onnx", "modelType": "yolov8-detection",
//              "every": 3, "boxThresh": 0.5, "nmsThresh": 0.45,
//              "labels": "/models/coco.names", "classes": ["person", "car"],
//              "draw": true, "track": true, "lostFrames": 30}
//
// The model runs on one worker thread per stream. A frame due for inference (every
// "every"th) is copied into a single slot; a newer one replaces it while the model is
// busy (counted as skipped), so nothing queues and decoding never waits for the model.
// Each frame carries the tracker's state at that frame: the newest result applied so
// far, moved by the tracker, each object saying how many frames old its detection is.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "StreamEventConfig.h"
#include "StreamTypes.h"

namespace nimbra_internal {

class StreamMetrics;

struct DetectConfig {
  bool present = false;  // the stream has a "detect" entry
  std::string model;
  std::string model_type = "yolov8-detection";
  int model_size = 0;    // "modelSize"; 0: found by trying the usual export sizes
  int every = 1;
  float box_thresh = 0.5f;
  float nms_thresh = 0.45f;
  std::string labels_file;           // one class name a line; empty: the COCO names
  std::vector<std::string> classes;  // class names kept; empty: all
  bool draw = false;
  bool track = true;
  int lost_frames = 30;              // frames a track survives without a detection
};

// Keys of the "detect" entry, for the validator.
extern const std::vector<std::string> kDetectKeys;

// Reads the "detect" entry of a stream's properties. Problems are appended; `out` is
// usable only when none is an error. `check_files`: the model and the labels file must be
// readable, the labels file hold one name per class, the class names exist.
void read_stream_detect(const Json::Value& properties, DetectConfig& out, std::vector<ConfigProblem>& problems,
                        bool check_files = true);

// The names of the model's classes: the labels file's lines, or the COCO names.
// false and `error` when the file cannot be read or holds the wrong count.
bool read_detect_labels(const std::string& file, std::vector<std::string>& names, std::string& error);

// Whether this library was built with the detection engine (NIMBRA_STREAM_DETECT).
bool detect_available();

class StreamDetector {
 public:
  // Loads the model and runs it once on a black picture, so a model that cannot be used
  // fails here. Null and `error` (naming the stream and the file) on failure.
  static std::shared_ptr<StreamDetector> create(const std::string& stream_id, const DetectConfig& config,
                                                std::shared_ptr<StreamMetrics> metrics, std::string& error);
  // The stream's detector from the configuration file, when its properties have a
  // "detect" entry. Null with `error` empty when there is none; null with `error` set when
  // the entry is wrong or its model unusable. Reads the stream's "events" too.
  static std::shared_ptr<StreamDetector> from_configuration(const std::string& stream_id,
                                                            std::shared_ptr<StreamMetrics> metrics,
                                                            std::string& error);
  ~StreamDetector();

  // On the streaming thread, before the callback: hands the frame (packed RGB rows of
  // `stride` bytes, writable) to the model when due, applies the newest result, draws,
  // and points `image` at the frame's objects. `image` carries the frame's index and size.
  void on_frame(Velkor::Nimbra::Image& image, uint8_t* rgb, int stride);
  // The same for a read-only NV12 frame (splice streams): nothing is drawn.
  void on_frame_nv12(Velkor::Nimbra::Image& image, const uint8_t* y_plane, int y_stride, const uint8_t* uv_plane,
                     int uv_stride);
  // After the callback: the objects are no longer the image's.
  static void after_callback(Velkor::Nimbra::Image& image) { image.reserved0 = 0; }

  // Frames the model ran on so far.
  uint64_t inferences() const;

 private:
  bool due(int64_t index) const;
  // Hands the model the frame (packed RGB rows), shrunk to the picture the model's
  // letterbox takes, so that neither a full-size copy nor a full-size slot is kept.
  void submit(int64_t index, const uint8_t* rgb, int width, int height, int stride);
  void finish_frame(Velkor::Nimbra::Image& image, uint8_t* rgb, int stride);

  struct Impl;
  explicit StreamDetector(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Draws a frame's objects into packed RGB rows of `stride` bytes: box, label, confidence
// and track id.
void draw_objects(uint8_t* rgb, int width, int height, int stride, const std::vector<Velkor::Nimbra::DetectedObject>& objects);

}  // namespace nimbra_internal
