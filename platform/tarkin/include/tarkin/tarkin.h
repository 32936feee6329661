// SPDX-License-Identifier: BSD-3-Clause
// Velkor Tarkin inference runtime: the operations the inference engines call, in
// the order they call them. This stand-in has two back ends, chosen by the model
// file name when the model is created:
//   *.replay.json  - recorded output tensors replayed verbatim (exact tests)
//   anything else  - an ONNX graph run with OpenCV DNN
// The board's libtarkin.so replaces this library without changes to its callers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Velkor {
namespace Tarkin {

enum DataType : int {
  DATA_TYPE_UINT8 = 0,
  DATA_TYPE_INT8 = 1,
  DATA_TYPE_UINT16 = 2,
  DATA_TYPE_INT16 = 3,
  DATA_TYPE_FLOAT32 = 4,
};

using Shapes = std::vector<std::vector<unsigned int>>;

class Model {
 public:
  // Returns NULL when the file cannot be read. The runtime owns the object.
  static Model *create_instance(const std::string &path);

  int set_model_properties(const Shapes &input_shapes, DataType input_type,
                           const Shapes &output_shapes, DataType output_type);

  const std::string &path() const { return path_; }
  const Shapes &input_shapes() const { return input_shapes_; }
  const Shapes &output_shapes() const { return output_shapes_; }

 private:
  explicit Model(const std::string &path) : path_(path) {}
  std::string path_;
  Shapes input_shapes_;
  Shapes output_shapes_;
  DataType input_type_ = DATA_TYPE_FLOAT32;
  DataType output_type_ = DATA_TYPE_FLOAT32;
};

// Configuration record; callers write the fields directly. Offsets are part of the
// runtime's ABI.
struct Config {
  uint8_t runtime;        // byte 0
  uint8_t performance;    // byte 1
  uint8_t model_family;   // byte 2: 4 = anchor-free YOLOv8, 108 = anchor-based YOLOv5
  uint8_t reserved[29];
  int32_t output_layout;  // byte 32: 1 = split box/class outputs, 0 = anchor heads
  uint8_t reserved2[28];

  // Returns NULL on failure. The runtime owns the object.
  static Config *create_instance();
};

class Backend;

class Interpreter {
 public:
  ~Interpreter();
  int init(void *options);
  int load_model(void *options);
  int set_input_tensor(unsigned int index, void *data);
  int invoke(void *options);
  // *data stays valid until the next invoke; *size is an element count, or a byte
  // count when a replay file asks for it.
  int get_output_tensor(unsigned int index, void **data, unsigned int *size);

 private:
  friend class InterpreterBuilder;
  Interpreter(Model *model, Config *config);
  Model *model_;
  Config *config_;
  bool initialised_ = false;
  std::unique_ptr<Backend> backend_;
};

class InterpreterBuilder {
 public:
  static std::unique_ptr<Interpreter> build_interpretper_from_model_and_config(Model *model,
                                                                                Config *config);
};

}  // namespace Tarkin
}  // namespace Velkor
