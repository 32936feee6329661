// SPDX-License-Identifier: BSD-3-Clause
// Stand-in for the Velkor Tarkin runtime: ONNX graphs through OpenCV DNN, or
// recorded tensors replayed from a ".replay.json" description.
#include "tarkin/tarkin.h"

#include <json/json.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace Velkor {
namespace Tarkin {

namespace {

// The runtime hands out models and configs and never takes them back; keep them
// here so they live as long as the process.
std::mutex g_objects_lock;
std::vector<std::unique_ptr<Model>> g_models;
std::vector<std::unique_ptr<Config>> g_configs;

void report(const char *fmt, const std::string &a, const std::string &b = std::string())
{
  std::fprintf(stderr, fmt, a.c_str(), b.c_str());
  std::fputc('\n', stderr);
}

bool ends_with(const std::string &s, const std::string &suffix)
{
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string shape_text(const std::vector<int> &shape)
{
  std::ostringstream o;
  o << '[';
  for (size_t i = 0; i < shape.size(); i++)
    o << (i ? "," : "") << shape[i];
  o << ']';
  return o.str();
}

size_t shape_elements(const std::vector<unsigned int> &shape)
{
  size_t n = 1;
  for (unsigned int d : shape)
    n *= d;
  return shape.empty() ? 0 : n;
}

// The input size S of a YOLO model with n anchor-free columns (n = 21 (S/32)^2), or 0.
int yolo_size_for_columns(long n)
{
  if (n <= 0 || n % 21)
    return 0;
  for (long k = 1; k * k <= n / 21; k++)
    if (k * k == n / 21)
      return (int)(32 * k);
  return 0;
}

// What the network's outputs look like as a YOLO model, so a model loaded as the
// wrong kind or at the wrong size says what to ask for instead; "" if nothing known.
std::string yolo_layout_hint(const std::vector<std::vector<int>> &have)
{
  auto is3 = [](const std::vector<int> &h, int rows) { return h.size() == 3 && h[0] == 1 && h[1] == rows; };
  auto det = [](int s) {
    return "a YOLOv8 detection model with a " + std::to_string(s) + "x" + std::to_string(s) +
           " input (model-type=yolov8-detection model-size=" + std::to_string(s) + ")";
  };
  for (const auto &h : have) {
    if (is3(h, 84) && yolo_size_for_columns(h[2]))
      return det(yolo_size_for_columns(h[2]));
    if (h.size() == 3 && h[0] == 1 && h[2] == 84 && yolo_size_for_columns(h[1]))
      return "a YOLOv8 detection model with its output transposed to [1,N,84]; export it as [1,84,N]";
    if (h.size() == 3 && h[0] == 1 && h[2] == 85 && h[1] % 3 == 0 && yolo_size_for_columns(h[1] / 3)) {
      const int s = yolo_size_for_columns(h[1] / 3);
      return "a YOLOv5 model with a " + std::to_string(s) + "x" + std::to_string(s) +
             " input whose detection layer is already decoded ([1,N,85]); export the three raw heads";
    }
  }
  bool seg = false, proto = false, box = false, cls = false;
  int n = 0;
  for (const auto &h : have) {
    if (is3(h, 116)) {
      seg = true;
      n = h[2];
    }
    proto |= h.size() == 4 && h[0] == 1 && h[1] == 32;
    if (is3(h, 4)) {
      box = true;
      n = h[2];
    }
    cls |= is3(h, 80);
  }
  if (seg && proto && yolo_size_for_columns(n))
    return "a YOLOv8 segmentation model with a " + std::to_string(yolo_size_for_columns(n)) +
           " input (nmx-tarkin-video model-size=" + std::to_string(yolo_size_for_columns(n)) + ")";
  if (box && cls && yolo_size_for_columns(n))
    return det(yolo_size_for_columns(n));
  // YOLOv5: three heads of 255 channels (NCHW, NHWC or [1,3,g,g,85]) on grids 4:2:1.
  std::vector<int> grids;
  for (const auto &h : have) {
    if (h.size() == 4 && h[0] == 1 && h[1] == 255 && h[2] == h[3])
      grids.push_back(h[2]);
    else if (h.size() == 4 && h[0] == 1 && h[3] == 255 && h[1] == h[2])
      grids.push_back(h[1]);
    else if (h.size() == 5 && h[0] == 1 && h[1] == 3 && h[4] == 85 && h[2] == h[3])
      grids.push_back(h[2]);
  }
  if (grids.size() == 3) {
    std::sort(grids.begin(), grids.end());
    if (grids[1] == 2 * grids[0] && grids[2] == 4 * grids[0]) {
      const int s = grids[2] * 8;
      return "a YOLOv5 model with a " + std::to_string(s) + "x" + std::to_string(s) +
             " input (model-type=yolov5 model-size=" + std::to_string(s) + ")";
    }
  }
  return "";
}

std::string directory_of(const std::string &path)
{
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

class Backend {
 public:
  virtual ~Backend() = default;
  virtual bool load(const Model &model) = 0;
  virtual bool set_input(unsigned int index, const float *data) = 0;
  virtual bool run() = 0;
  virtual bool output(unsigned int index, void **data, unsigned int *size) = 0;
};

namespace {

// ---------------------------------------------------------------------------
// Replay: {"outputs": [{"file": "a.bin", "shape": [1,4,8400], "report": "elements"}]}
class ReplayBackend : public Backend {
 public:
  bool load(const Model &model) override
  {
    const std::string &path = model.path();
    std::ifstream in(path);
    if (!in) {
      report("tarkin: cannot open replay file '%s'%s", path);
      return false;
    }
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errs;
    if (!Json::parseFromStream(builder, in, &root, &errs) || !root.isObject()) {
      report("tarkin: replay file '%s' is not valid JSON: %s", path, errs);
      return false;
    }
    const Json::Value &outs = root["outputs"];
    if (!outs.isArray() || outs.empty()) {
      report("tarkin: replay file '%s' has no \"outputs\" array%s", path);
      return false;
    }
    fail_invoke_ = root.get("fail-invoke", false).asBool();
    // "invoke-ms": each invoke takes at least this long, standing in for a slow model.
    const Json::Value &cost = root["invoke-ms"];
    if (!cost.isNull()) {
      if (!cost.isUInt()) {
        report("tarkin: replay file '%s': \"invoke-ms\" must be a whole number of milliseconds%s", path);
        return false;
      }
      invoke_ms_ = cost.asUInt();
    }
    // "fail-frames": invokes (counted from 1) that fail, for tests of frames lost midstream.
    const Json::Value &frames = root["fail-frames"];
    if (!frames.isNull()) {
      if (!frames.isArray()) {
        report("tarkin: replay file '%s': \"fail-frames\" must be an array of invoke numbers%s", path);
        return false;
      }
      for (const Json::Value &f : frames) {
        if (!f.isUInt() || f.asUInt() == 0) {
          report("tarkin: replay file '%s': \"fail-frames\" holds invoke numbers from 1%s", path);
          return false;
        }
        fail_frames_.insert(f.asUInt());
      }
    }
    const std::string dir = directory_of(path);
    for (const Json::Value &o : outs) {
      if (!o.isObject() || !o["file"].isString() || !o["shape"].isArray()) {
        report("tarkin: replay file '%s': every output needs \"file\" and \"shape\"%s", path);
        return false;
      }
      Output out;
      size_t elements = 1;
      std::vector<int> shape;
      for (const Json::Value &d : o["shape"]) {
        if (!d.isUInt() || d.asUInt() == 0) {
          report("tarkin: replay file '%s': shape dimensions must be positive integers%s", path);
          return false;
        }
        elements *= d.asUInt();
        shape.push_back((int)d.asUInt());
      }
      std::string unit = o.get("report", "elements").asString();
      if (unit != "elements" && unit != "bytes") {
        report("tarkin: replay file '%s': \"report\" must be \"elements\" or \"bytes\", not '%s'",
               path, unit);
        return false;
      }
      std::string file = o["file"].asString();
      if (file.empty() || file[0] != '/')
        file = dir + file;
      std::ifstream bin(file, std::ios::binary | std::ios::ate);
      if (!bin) {
        report("tarkin: cannot open replay tensor '%s'%s", file);
        return false;
      }
      std::streamoff bytes = bin.tellg();
      if (bytes < 0 || (size_t)bytes != elements * sizeof(float)) {
        report("tarkin: replay tensor '%s' does not hold the %s float32 values its shape names",
               file, std::to_string(elements) + " " + shape_text(shape));
        return false;
      }
      out.data.resize(elements);
      bin.seekg(0);
      bin.read(reinterpret_cast<char *>(out.data.data()), bytes);
      if (!bin) {
        report("tarkin: cannot read replay tensor '%s'%s", file);
        return false;
      }
      size_t reported = unit == "bytes" ? elements * sizeof(float) : elements;
      if (reported > 0xffffffffu) {
        report("tarkin: replay tensor '%s' is too large to report%s", file);
        return false;
      }
      out.reported = (unsigned int)reported;
      outputs_.push_back(std::move(out));
    }
    return true;
  }

  bool set_input(unsigned int index, const float *data) override { return index == 0 && data; }

  bool run() override
  {
    ++invokes_;
    if (invoke_ms_)
      std::this_thread::sleep_for(std::chrono::milliseconds(invoke_ms_));
    if (fail_invoke_) {
      std::fprintf(stderr, "tarkin: replay asks invoke to fail\n");
      return false;
    }
    if (fail_frames_.count(invokes_)) {
      std::fprintf(stderr, "tarkin: replay asks invoke %u to fail\n", invokes_);
      return false;
    }
    return true;
  }

  bool output(unsigned int index, void **data, unsigned int *size) override
  {
    if (index >= outputs_.size())
      return false;
    *data = outputs_[index].data.data();
    *size = outputs_[index].reported;
    return true;
  }

 private:
  struct Output {
    std::vector<float> data;
    unsigned int reported = 0;
  };
  std::vector<Output> outputs_;
  bool fail_invoke_ = false;
  std::set<unsigned int> fail_frames_;
  unsigned int invokes_ = 0;
  unsigned int invoke_ms_ = 0;
};

// ---------------------------------------------------------------------------
// ONNX through OpenCV DNN. The network's outputs are mapped once, at load time, onto
// the declared output shapes: by shape, never by position (OpenCV orders outputs by
// name), with NCHW->NHWC transposes and row splits of concatenated outputs.
class OnnxBackend : public Backend {
 public:
  bool load(const Model &model) override
  {
    path_ = model.path();
    if (model.input_shapes().size() != 1 || model.input_shapes()[0].size() != 4 ||
        model.input_shapes()[0][0] != 1 || model.input_shapes()[0][3] < 1 ||
        model.input_shapes()[0][3] > 4) {
      report("tarkin: '%s': declare one NHWC input of 1 to 4 channels%s", path_);
      return false;
    }
    const auto &in = model.input_shapes()[0];
    in_h_ = (int)in[1];
    in_w_ = (int)in[2];
    in_c_ = (int)in[3];
    if (model.output_shapes().empty()) {
      report("tarkin: '%s': no output shapes declared%s", path_);
      return false;
    }
    try {
      net_ = cv::dnn::readNetFromONNX(path_);
    } catch (const cv::Exception &e) {
      report("tarkin: OpenCV cannot load ONNX model '%s': %s", path_, e.what());
      return false;
    }
    if (net_.empty()) {
      report("tarkin: OpenCV cannot load ONNX model '%s': empty network%s", path_);
      return false;
    }
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    names_ = net_.getUnconnectedOutLayersNames();

    // One pass on zeros tells the real output shapes.
    std::vector<float> zeros((size_t)in_h_ * in_w_ * in_c_, 0.0f);
    input_ = zeros.data();
    if (!run()) {
      describe_input_size();
      return false;
    }
    input_ = nullptr;
    return map_outputs(model.output_shapes());
  }

  bool set_input(unsigned int index, const float *data) override
  {
    if (index != 0 || !data)
      return false;
    input_ = data;
    return true;
  }

  bool run() override
  {
    if (!input_)
      return false;
    try {
      // HWC to the network's NCHW, into one blob kept from frame to frame.
      const int dims[4] = {1, in_c_, in_h_, in_w_};
      blob_.create(4, dims, CV_32F);
      std::vector<cv::Mat> planes;
      for (int c = 0; c < in_c_; c++)
        planes.emplace_back(in_h_, in_w_, CV_32F, blob_.ptr<float>(0, c));
      cv::split(cv::Mat(in_h_, in_w_, CV_32FC(in_c_), const_cast<float *>(input_)), planes);
      net_.setInput(blob_);
      net_.forward(raw_, names_);
    } catch (const cv::Exception &e) {
      // A network with fixed shapes fed another input size fails here.
      report("tarkin: inference of '%s' failed: %s", path_,
             std::string(e.what()) + " (input [1," + std::to_string(in_c_) + "," + std::to_string(in_h_) + "," +
                 std::to_string(in_w_) + "]; does the model take this input size?)");
      return false;
    }
    if (!maps_.empty())
      fill_outputs();
    return true;
  }

  bool output(unsigned int index, void **data, unsigned int *size) override
  {
    if (index >= sizes_.size())
      return false;
    *size = (unsigned int)sizes_[index];
    // Outputs already in the declared layout (whole, or a run of rows of a
    // concatenation) are handed out in place; both stay valid until the next invoke.
    const Map &m = maps_[index];
    if (m.kind == Kind::Copy || m.kind == Kind::Rows) {
      const cv::Mat &src = raw_[m.source];
      *data = const_cast<float *>(src.ptr<float>()) + (m.kind == Kind::Rows ? (size_t)m.row_begin * src.size[2] : 0);
    } else {
      *data = outputs_[index].data();
    }
    return true;
  }

 private:
  enum class Kind { Copy, NchwToNhwc, AnchorsToNhwc, Rows };
  struct Map {
    int source = -1;
    Kind kind = Kind::Copy;
    int row_begin = 0, rows = 0;  // Rows: a slice of dimension 1
  };

  static std::vector<int> shape_of(const cv::Mat &m)
  {
    return std::vector<int>(m.size.p, m.size.p + m.dims);
  }

  // A network with fixed shapes refused the declared input size: find a square size
  // it runs on (common export sizes first) and say what it gives there.
  void describe_input_size()
  {
    static const int sizes[] = {640, 320, 416, 480, 512, 384, 448, 256, 736, 768, 800, 960, 1024, 1280, 224, 160, 128};
    // The sizes that do not fit either are expected to fail: no log line for each.
    const auto level = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    struct Restore {
      cv::utils::logging::LogLevel level;
      ~Restore() { cv::utils::logging::setLogLevel(level); }
    } restore{level};
    for (int s : sizes) {
      if (s == in_h_ && s == in_w_)
        continue;
      std::vector<cv::Mat> outs;
      try {
        const int dims[4] = {1, in_c_, s, s};
        net_.setInput(cv::Mat(4, dims, CV_32F, cv::Scalar(0)));
        net_.forward(outs, names_);
      } catch (const cv::Exception &) {
        continue;
      }
      std::vector<std::vector<int>> have;
      std::ostringstream o;
      o << "the network runs on a " << s << "x" << s << " input instead, giving";
      for (size_t j = 0; j < outs.size(); j++) {
        have.push_back(shape_of(outs[j]));
        o << (j ? ", " : " ") << (j < names_.size() ? names_[j] : std::string("?")) << shape_text(have.back());
      }
      const std::string hint = yolo_layout_hint(have);
      if (!hint.empty())
        o << ": that looks like " << hint;
      report("tarkin: '%s': %s", path_, o.str());
      return;
    }
  }

  bool map_outputs(const Shapes &declared)
  {
    std::vector<std::vector<int>> have;
    for (const cv::Mat &m : raw_)
      have.push_back(shape_of(m));
    std::vector<bool> used(have.size(), false);
    maps_.assign(declared.size(), Map());

    auto same = [](const std::vector<int> &a, const std::vector<unsigned int> &b) {
      if (a.size() != b.size())
        return false;
      for (size_t i = 0; i < a.size(); i++)
        if ((unsigned int)a[i] != b[i])
          return false;
      return true;
    };
    // Exact shapes first, so a transposable look-alike never steals an exact match.
    for (size_t k = 0; k < declared.size(); k++)
      for (size_t j = 0; j < have.size() && maps_[k].source < 0; j++)
        if (!used[j] && same(have[j], declared[k])) {
          maps_[k] = Map{(int)j, Kind::Copy, 0, 0};
          used[j] = true;
        }
    for (size_t k = 0; k < declared.size(); k++) {
      const auto &d = declared[k];
      if (maps_[k].source >= 0 || d.size() != 4)
        continue;
      for (size_t j = 0; j < have.size() && maps_[k].source < 0; j++) {
        const auto &h = have[j];
        if (used[j])
          continue;
        if (h.size() == 4 && h[0] == (int)d[0] && h[1] == (int)d[3] && h[2] == (int)d[1] &&
            h[3] == (int)d[2]) {
          maps_[k] = Map{(int)j, Kind::NchwToNhwc, 0, 0};
          used[j] = true;
        } else if (h.size() == 5 && h[0] == (int)d[0] && h[2] == (int)d[1] && h[3] == (int)d[2] &&
                   (unsigned int)(h[1] * h[4]) == d[3]) {
          maps_[k] = Map{(int)j, Kind::AnchorsToNhwc, 0, 0};
          used[j] = true;
        }
      }
    }
    // A concatenated [1,R,N] output feeds the unmatched [1,r_i,N] shapes when the r_i
    // add up to R (YOLOv8's [1,84,8400] = boxes + classes).
    for (size_t j = 0; j < have.size(); j++) {
      const auto &h = have[j];
      if (used[j] || h.size() != 3)
        continue;
      std::vector<size_t> parts;
      int rows = 0;
      for (size_t k = 0; k < declared.size(); k++) {
        const auto &d = declared[k];
        if (maps_[k].source < 0 && d.size() == 3 && (int)d[0] == h[0] && (int)d[2] == h[2] &&
            rows + (int)d[1] <= h[1]) {
          parts.push_back(k);
          rows += (int)d[1];
        }
      }
      if (parts.size() < 2 || rows != h[1])
        continue;
      // YOLO heads concatenate boxes (4 rows), class scores, then mask coefficients
      // (32 rows), whatever order the shapes were declared in.
      auto rank = [&](size_t k) { return declared[k][1] == 4 ? 0 : declared[k][1] == 32 ? 2 : 1; };
      std::stable_sort(parts.begin(), parts.end(), [&](size_t a, size_t b) { return rank(a) < rank(b); });
      int begin = 0;
      for (size_t k : parts) {
        maps_[k] = Map{(int)j, Kind::Rows, begin, (int)declared[k][1]};
        begin += (int)declared[k][1];
      }
      used[j] = true;
    }

    for (size_t k = 0; k < declared.size(); k++) {
      if (maps_[k].source >= 0)
        continue;
      std::ostringstream o;
      std::vector<int> d(declared[k].begin(), declared[k].end());
      o << "no network output matches declared output " << k << " " << shape_text(d)
        << "; the network gives";
      for (size_t j = 0; j < have.size(); j++)
        o << " " << (j < names_.size() ? names_[j] : std::string("?")) << shape_text(have[j]);
      const std::string hint = yolo_layout_hint(have);
      if (!hint.empty())
        o << "; that looks like " << hint;
      report("tarkin: cannot use ONNX model '%s': %s", path_, o.str());
      maps_.clear();
      return false;
    }
    outputs_.assign(declared.size(), std::vector<float>());
    sizes_.resize(declared.size());
    for (size_t k = 0; k < declared.size(); k++) {
      sizes_[k] = shape_elements(declared[k]);
      if (maps_[k].kind == Kind::NchwToNhwc || maps_[k].kind == Kind::AnchorsToNhwc)
        outputs_[k].assign(sizes_[k], 0.0f);  // rearranged here; the others are read in place
    }
    declared_ = declared;
    fill_outputs();
    return true;
  }

  void fill_outputs()
  {
    for (size_t k = 0; k < maps_.size(); k++) {
      const Map &m = maps_[k];
      const cv::Mat &src = raw_[m.source];
      const float *s = src.ptr<float>();
      float *d = outputs_[k].data();
      const auto &ds = declared_[k];
      switch (m.kind) {
        case Kind::Copy:  // handed out in place
          break;
        case Kind::NchwToNhwc: {
          // [1,C,H,W] -> [1,H,W,C]
          int H = (int)ds[1], W = (int)ds[2], C = (int)ds[3];
          cv::Mat planes(C, H * W, CV_32F, const_cast<float *>(s));
          cv::Mat out(H * W, C, CV_32F, d);
          cv::transpose(planes, out);
          break;
        }
        case Kind::AnchorsToNhwc: {
          // [1,A,H,W,K] -> [1,H,W,A,K]
          int A = src.size[1], H = src.size[2], W = src.size[3], K = src.size[4];
          for (int a = 0; a < A; a++)
            for (int p = 0; p < H * W; p++)
              std::memcpy(d + ((size_t)p * A + a) * K, s + ((size_t)a * H * W + p) * K,
                          (size_t)K * sizeof(float));
          break;
        }
        case Kind::Rows:  // handed out in place
          break;
      }
    }
  }

  std::string path_;
  cv::dnn::Net net_;
  cv::Mat blob_;
  std::vector<std::string> names_;
  std::vector<cv::Mat> raw_;
  std::vector<Map> maps_;
  Shapes declared_;
  std::vector<std::vector<float>> outputs_;
  std::vector<size_t> sizes_;  // element count of each declared output
  const float *input_ = nullptr;
  int in_h_ = 0, in_w_ = 0, in_c_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------

Model *Model::create_instance(const std::string &path)
{
  std::ifstream probe(path, std::ios::binary);
  if (path.empty() || !probe) {
    report("tarkin: cannot open model file '%s'%s", path);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_objects_lock);
  g_models.emplace_back(new Model(path));
  return g_models.back().get();
}

int Model::set_model_properties(const Shapes &input_shapes, DataType input_type,
                                const Shapes &output_shapes, DataType output_type)
{
  input_shapes_ = input_shapes;
  output_shapes_ = output_shapes;
  input_type_ = input_type;
  output_type_ = output_type;
  if (input_type != DATA_TYPE_FLOAT32 || output_type != DATA_TYPE_FLOAT32) {
    std::fprintf(stderr, "tarkin: this runtime exchanges float32 tensors only\n");
    return -1;
  }
  return 0;
}

static_assert(sizeof(Config) == 64, "Config record size");
static_assert(offsetof(Config, output_layout) == 32, "Config field offset");

Config *Config::create_instance()
{
  std::lock_guard<std::mutex> g(g_objects_lock);
  g_configs.emplace_back(new Config());
  std::memset(g_configs.back().get(), 0, sizeof(Config));
  return g_configs.back().get();
}

Interpreter::Interpreter(Model *model, Config *config) : model_(model), config_(config) {}

Interpreter::~Interpreter() = default;

int Interpreter::init(void *)
{
  if (!model_ || !config_)
    return -1;
  initialised_ = true;
  return 0;
}

int Interpreter::load_model(void *)
{
  if (!initialised_) {
    std::fprintf(stderr, "tarkin: load_model before init\n");
    return -1;
  }
  std::unique_ptr<Backend> b;
  if (ends_with(model_->path(), ".replay.json"))
    b.reset(new ReplayBackend());
  else
    b.reset(new OnnxBackend());
  if (!b->load(*model_))
    return -2;
  backend_ = std::move(b);
  return 0;
}

int Interpreter::set_input_tensor(unsigned int index, void *data)
{
  if (!backend_)
    return -1;
  return backend_->set_input(index, static_cast<const float *>(data)) ? 0 : -2;
}

int Interpreter::invoke(void *)
{
  if (!backend_)
    return -1;
  return backend_->run() ? 0 : -2;
}

int Interpreter::get_output_tensor(unsigned int index, void **data, unsigned int *size)
{
  if (!backend_ || !data || !size)
    return -1;
  return backend_->output(index, data, size) ? 0 : -2;
}

std::unique_ptr<Interpreter> InterpreterBuilder::build_interpretper_from_model_and_config(Model *model,
                                                                                          Config *config)
{
  if (!model || !config)
    return nullptr;
  return std::unique_ptr<Interpreter>(new Interpreter(model, config));
}

}  // namespace Tarkin
}  // namespace Velkor
