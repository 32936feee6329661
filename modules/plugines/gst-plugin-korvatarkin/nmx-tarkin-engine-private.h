// SPDX-License-Identifier: BSD-3-Clause
// Engine record and the helpers its two pipelines share.
#pragma once

#include "nmx-tarkin-engine.h"

#include <tarkin/tarkin.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct DetectionBox {
  int class_id;
  float score;
  float x, y, w, h;  // frame pixels
};

struct _GstNmxTarkinEngine {
  std::mutex mutex;
  GstStructure *settings = nullptr;
  Velkor::Tarkin::Model *model = nullptr;
  Velkor::Tarkin::Config *config = nullptr;
  std::unique_ptr<Velkor::Tarkin::Interpreter> interpreter;
  std::string model_path;
  std::string model_type;
  gint32 model_kind = 0;
  std::vector<float> input_tensor;
  float box_thresh = GST_NMX_TARKIN_DEFAULT_BOX_THRESH;
  float nms_thresh = GST_NMX_TARKIN_DEFAULT_NMS_THRESH;
  bool print_valid_boxes = true;
};

#define GST_NMX_TARKIN_INPUT_ELEMENTS (GST_NMX_TARKIN_MODEL_SIZE * GST_NMX_TARKIN_MODEL_SIZE * 3)

gboolean gst_nmx_tarkin_engine_execute_yolov5 (GstNmxTarkinEngine * engine, const guint8 * bgr,
    int width, int height, int stride, guint frame_index, char **out_text, gsize * out_len);
gboolean gst_nmx_tarkin_engine_execute_yolov8_detection (GstNmxTarkinEngine * engine,
    const guint8 * bgr, int width, int height, int stride, guint frame_index, char **out_text,
    gsize * out_len);

/* The serialized detection text of both pipelines; labels is an 80-entry table.
 * Returns a g_malloc'ed string or NULL. */
char *nmx_tarkin_serialize_boxes (const std::vector<DetectionBox> & boxes, const char *const *labels,
    int width, int height, guint frame_index);
std::string nmx_tarkin_make_valid_structure_name (const char *label);

/* Checks a runtime output against its declared element count before it is decoded;
 * logs and returns FALSE when the output is too small. */
gboolean nmx_tarkin_check_output_size (const char *what, unsigned int index, unsigned int reported,
    size_t declared_elements);
