// SPDX-License-Identifier: BSD-3-Clause
// Runtime bring-up, settings and error text shared by the detection and the
// segmentation engine.
#include "nmx-tarkin-engine-core.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

thread_local std::string t_last_error;

std::string shapes_text(const Velkor::Tarkin::Shapes &shapes)
{
  std::ostringstream o;
  for (size_t k = 0; k < shapes.size(); k++) {
    o << (k ? ", [" : "[");
    for (size_t i = 0; i < shapes[k].size(); i++)
      o << (i ? "," : "") << shapes[k][i];
    o << ']';
  }
  return o.str();
}

}  // namespace

void nmx_tarkin_set_last_error(const char *message)
{
  t_last_error = message ? message : "";
}

const char *nmx_tarkin_last_error(void)
{
  return t_last_error.c_str();
}

void nmx_tarkin_clear_last_error(void)
{
  t_last_error.clear();
}

std::string nmx_tarkin_normalize_model_type(const gchar *type, const char *default_type)
{
  std::string t = (type && *type) ? type : default_type;
  for (char &c : t)
    c = (char)std::tolower((unsigned char)c);
  return t;
}

float nmx_tarkin_clamp_thresh(double v)
{
  return (float)std::min(1.0, std::max(0.0, v));
}

void nmx_tarkin_core_read_thresholds(NmxTarkinEngineCore *core, const GstStructure *settings)
{
  gdouble box = 0, nms = 0;
  gboolean print = TRUE;
  if (gst_structure_get_double(settings, "box-thresh", &box))
    core->box_thresh = nmx_tarkin_clamp_thresh(box);
  if (gst_structure_get_double(settings, "nms-thresh", &nms))
    core->nms_thresh = nmx_tarkin_clamp_thresh(nms);
  if (gst_structure_get_boolean(settings, "print-valid-boxes", &print))
    core->print_valid_boxes = print;
}

bool nmx_tarkin_core_read_model_size(NmxTarkinEngineCore *core, const GstStructure *settings, const char *prefix)
{
  guint size = nmx::yolo::kModelSize;
  if (gst_structure_has_field(settings, "model-size") && !gst_structure_get_uint(settings, "model-size", &size)) {
    NMX_ENGINE_ERROR("%s: model-size must be an unsigned integer", prefix);
    return false;
  }
  if (!nmx::yolo::model_geometry((int)std::min<guint>(size, G_MAXINT), &core->geometry)) {
    NMX_ENGINE_ERROR("%s: model-size %u is not a multiple of 32 between %d and %d", prefix, size,
                     nmx::yolo::kMinModelSize, nmx::yolo::kMaxModelSize);
    return false;
  }
  return true;
}

bool nmx_tarkin_core_open_runtime(NmxTarkinEngineCore *core, const char *prefix,
                                  const Velkor::Tarkin::Shapes &input_shapes,
                                  const Velkor::Tarkin::Shapes &output_shapes, const NmxTarkinRuntimeConfig &cfg)
{
  using namespace Velkor::Tarkin;
  core->model = Model::create_instance(core->model_path);
  if (!core->model) {
    NMX_ENGINE_ERROR("%s: Model::create_instance failed (%s)", prefix, core->model_path.c_str());
    return false;
  }
  core->model->set_model_properties(input_shapes, DataType(4), output_shapes, DataType(4));
  core->config = Config::create_instance();
  if (!core->config) {
    NMX_ENGINE_ERROR("%s: Config::create_instance failed", prefix);
    return false;
  }
  core->config->runtime = cfg.runtime;
  core->config->performance = cfg.performance;
  core->config->model_family = cfg.model_family;
  core->config->output_layout = cfg.output_layout;
  core->interpreter = InterpreterBuilder::build_interpretper_from_model_and_config(core->model, core->config);
  if (!core->interpreter) {
    NMX_ENGINE_ERROR("%s: build_interpretper_from_model_and_config failed", prefix);
    return false;
  }
  if (core->interpreter->init(nullptr) != 0) {
    NMX_ENGINE_ERROR("%s: interpreter init failed", prefix);
    return false;
  }
  if (core->interpreter->load_model(nullptr) != 0) {
    // The runtime tells what the model gives; this side tells what was asked for.
    NMX_ENGINE_ERROR("%s: interpreter load_model failed (model %s as %s at model-size %d: input %s, outputs %s)",
                     prefix, core->model_path.c_str(), core->model_type.c_str(), core->geometry.size,
                     shapes_text(input_shapes).c_str(), shapes_text(output_shapes).c_str());
    return false;
  }
  return true;
}

void nmx_tarkin_core_close(NmxTarkinEngineCore *core)
{
  core->interpreter.reset();
  core->model = nullptr;
  core->config = nullptr;
  if (core->settings)
    gst_structure_free(core->settings);
  core->settings = nullptr;
}

float *nmx_tarkin_core_input(NmxTarkinEngineCore *core)
{
  const size_t n = (size_t)core->geometry.size * core->geometry.size * 3;
  if (core->input_tensor.size() != n)
    core->input_tensor.resize(n);
  return core->input_tensor.data();
}
