// SPDX-License-Identifier: BSD-3-Clause
// Engine record and the helpers its two pipelines share.
#pragma once

#include "nmx-tarkin-engine.h"
#include "nmx-tarkin-engine-core.h"

#include <string>
#include <vector>

struct DetectionBox {
  int class_id;
  float score;
  float x, y, w, h;  // frame pixels
};

struct _GstNmxTarkinEngine : NmxTarkinEngineCore {
  // Colour order of the input tensor ("channel-order"; by default BGR for YOLOv5,
  // RGB for YOLOv8).
  bool channel_rgb = false;
  // YOLOv5 outputs are checked for values all in 0..1 (a model exported with its
  // sigmoids) until a value outside shows logits or the warning has been raised.
  bool unit_check_done = false;
  // A warning for the element to post once, taken with gst_nmx_tarkin_engine_take_warning.
  std::string pending_warning;
};

#define GST_NMX_TARKIN_INPUT_ELEMENTS (GST_NMX_TARKIN_MODEL_SIZE * GST_NMX_TARKIN_MODEL_SIZE * 3)

/* How the kept detections of a frame are written: the serialized structure text
 * (frame_index as its timestamp) or the JSON record line. */
struct NmxTarkinTextRequest {
  bool json = false;
  guint64 frame = 0;
  GstClockTime pts = GST_CLOCK_TIME_NONE;
  // Set: the kept boxes are stored here and the text is left empty.
  std::vector<DetectionBox> *boxes = nullptr;
};

/* The kept detections of one frame as boxes in frame pixels (class ids index the
 * 80 COCO classes), for callers that want records rather than text. Same failure
 * rules and last error as execute_video. */
gboolean nmx_tarkin_engine_detect_boxes (GstNmxTarkinEngine * engine, const guint8 * bgr, int width,
    int height, int stride, std::vector<DetectionBox> * out);

/* request NULL: the serialized structure text. */
gboolean gst_nmx_tarkin_engine_execute_yolov5 (GstNmxTarkinEngine * engine, const guint8 * bgr,
    int width, int height, int stride, guint frame_index, char **out_text, gsize * out_len,
    const NmxTarkinTextRequest * request = nullptr);
gboolean gst_nmx_tarkin_engine_execute_yolov8_detection (GstNmxTarkinEngine * engine,
    const guint8 * bgr, int width, int height, int stride, guint frame_index, char **out_text,
    gsize * out_len, const NmxTarkinTextRequest * request = nullptr);

/* The serialized detection text of both pipelines; labels is an 80-entry table.
 * Returns a g_malloc'ed string or NULL. */
char *nmx_tarkin_serialize_boxes (const std::vector<DetectionBox> & boxes, const char *const *labels,
    int width, int height, guint frame_index);
/* The JSON detection record line of the same boxes; a g_malloc'ed string. */
char *nmx_tarkin_json_boxes (const std::vector<DetectionBox> & boxes, const char *const *labels,
    int width, int height, guint64 frame, GstClockTime pts);
std::string nmx_tarkin_make_valid_structure_name (const char *label);

/* Checks a runtime output against its declared element count before it is decoded;
 * logs and returns FALSE when the output is too small. what names the output, and
 * the message also names the model size and what the sizes look like. */
gboolean nmx_tarkin_check_output_size (const GstNmxTarkinEngine * engine, const char *what, unsigned int index,
    const unsigned int *sizes, unsigned int count, size_t declared_elements);

/* YOLOv5 only: raises the once-per-engine warning when every output value lies in
 * 0..1, which is what a model exported with its sigmoids gives. */
void nmx_tarkin_check_logits (GstNmxTarkinEngine * engine, const float *const *heads, const size_t *elements);
