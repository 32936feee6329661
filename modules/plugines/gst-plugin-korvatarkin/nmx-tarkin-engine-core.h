// SPDX-License-Identifier: BSD-3-Clause
// What the detection and the segmentation engine hold and do alike: the runtime
// objects and the interpreter, the settings they read the same way, the runtime
// bring-up and tear-down, and the per-thread text of the last error for the
// element's bus message. Each engine keeps its own order of creation steps and its
// own message prefix ("nmx-tarkin", "nmx-tarkin-video").
#pragma once

#include "nmx-yolo-common.h"

#include <gst/gst.h>
#include <tarkin/tarkin.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct NmxTarkinEngineCore {
  std::mutex mutex;
  GstStructure *settings = nullptr;
  Velkor::Tarkin::Model *model = nullptr;
  Velkor::Tarkin::Config *config = nullptr;
  std::unique_ptr<Velkor::Tarkin::Interpreter> interpreter;
  std::string model_path;
  std::string model_type;
  gint32 model_kind = 0;
  std::vector<float> input_tensor;
  float box_thresh = 0.5f;
  float nms_thresh = 0.45f;
  bool print_valid_boxes = true;
  // Model input size and everything derived from it ("model-size", default 640).
  nmx::yolo::ModelGeometry geometry;
};

// The runtime configuration record's values for a model family.
struct NmxTarkinRuntimeConfig {
  uint8_t runtime;
  uint8_t performance;
  uint8_t model_family;
  int32_t output_layout;
};

// The engine's error messages: logged at error level in the default category and
// kept as the calling thread's last error.
#define NMX_ENGINE_ERROR(...)                         \
  do {                                                \
    gchar *nmx_msg_ = g_strdup_printf(__VA_ARGS__);   \
    GST_ERROR("%s", nmx_msg_);                        \
    nmx_tarkin_set_last_error(nmx_msg_);              \
    g_free(nmx_msg_);                                 \
  } while (0)

void nmx_tarkin_set_last_error(const char *message);
// The last error an engine call made on this thread ("" if none since the clear).
const char *nmx_tarkin_last_error(void);
void nmx_tarkin_clear_last_error(void);

// Missing or empty becomes default_type; then every character is lower-cased.
std::string nmx_tarkin_normalize_model_type(const gchar *type, const char *default_type);
float nmx_tarkin_clamp_thresh(double v);

// "box-thresh", "nms-thresh" (clamped to [0, 1]) and "print-valid-boxes" where the
// settings carry them; the core's values stay otherwise.
void nmx_tarkin_core_read_thresholds(NmxTarkinEngineCore *core, const GstStructure *settings);
// "model-size" (uint, default 640): false with a message when it is not a multiple
// of 32 in [32, 4096].
bool nmx_tarkin_core_read_model_size(NmxTarkinEngineCore *core, const GstStructure *settings, const char *prefix);

// Creates the model, declares the shapes, writes the configuration, builds, inits
// and loads the interpreter. False with "<prefix>: <step> failed" on the first
// failing step.
bool nmx_tarkin_core_open_runtime(NmxTarkinEngineCore *core, const char *prefix,
                                  const Velkor::Tarkin::Shapes &input_shapes,
                                  const Velkor::Tarkin::Shapes &output_shapes, const NmxTarkinRuntimeConfig &cfg);
// Destroys the interpreter, forgets the runtime's model and config (the runtime
// owns them) and frees the settings copy.
void nmx_tarkin_core_close(NmxTarkinEngineCore *core);

// Makes sure the input storage holds one S x S x 3 float picture.
float *nmx_tarkin_core_input(NmxTarkinEngineCore *core);
