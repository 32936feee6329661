// The work the detection and segmentation elements do alike around their engines:
// the settings snapshot handed to a new engine, the engine's life across the state
// changes (made at NULL to READY, with the reason on the bus when it cannot be;
// freed at READY to NULL), and what a failed frame costs (a warning, and an error
// only after 25 failed frames in a row, so one bad frame never ends a stream).
#pragma once

#include <gst/gst.h>

#include "nmx-tarkin-props.h"

// Frames in a row that may fail before the element gives up with an error.
#define NMX_TARKIN_MAX_CONSECUTIVE_FAILURES 25

// The settings structure of the current properties (taken under the object lock, as
// the application may be setting them meanwhile). The caller frees it.
template <typename Element>
GstStructure* nmx_tarkin_snapshot_settings(Element* self, const char* name, const char* default_model_type) {
  GST_OBJECT_LOCK(self);
  GstStructure* settings = gst_structure_new(name,
      "model", G_TYPE_STRING, self->model ? self->model : "",
      "model-type", G_TYPE_STRING, self->model_type ? self->model_type : default_model_type,
      "print-valid-boxes", G_TYPE_BOOLEAN, self->print_valid_boxes,
      "model-size", G_TYPE_UINT, self->model_size, NULL);
  if (self->box_thresh_set)
    gst_structure_set(settings, "box-thresh", G_TYPE_DOUBLE, self->box_thresh, NULL);
  if (self->nms_thresh_set)
    gst_structure_set(settings, "nms-thresh", G_TYPE_DOUBLE, self->nms_thresh, NULL);
  GST_OBJECT_UNLOCK(self);
  return settings;
}

// No engine from the settings: the reason goes on the bus with the element's message,
// so a gst-launch user sees why the state change failed.
inline void nmx_tarkin_post_create_failure(GstElement* element, const char* message, const char* reason) {
  GST_ELEMENT_ERROR(element, LIBRARY, INIT, ("%s%s%s", message, reason && *reason ? ": " : "", reason ? reason : ""),
                    (NULL));
}

// How an element makes and frees its engine.
template <typename Engine>
struct NmxTarkinEngineOps {
  const char* settings_name;       // "nmx-tarkin-settings", ...
  const char* default_model_type;
  const char* create_failed;       // the element's message when no engine results
  Engine* (*create)(const GstStructure* settings);
  void (*destroy)(Engine* engine);
  const char* (*last_error)(void);
};

// The element's change_state around its parent's: the engine (self->engine) is built
// from the properties at NULL to READY, after add_settings(self, settings) has added
// the element's own fields to the snapshot (under the object lock), and freed once
// the parent went from READY to NULL.
template <typename Element, typename Engine, typename AddSettings>
GstStateChangeReturn nmx_tarkin_change_state(Element* self, GstStateChange transition, GstElementClass* parent_class,
                                             const NmxTarkinEngineOps<Engine>& ops, AddSettings add_settings) {
  GstElement* element = GST_ELEMENT(self);
  if (transition == GST_STATE_CHANGE_NULL_TO_READY) {
    GstStructure* settings = nmx_tarkin_snapshot_settings(self, ops.settings_name, ops.default_model_type);
    GST_OBJECT_LOCK(self);
    add_settings(self, settings);
    GST_OBJECT_UNLOCK(self);
    Engine* engine = ops.create(settings);
    gst_structure_free(settings);
    if (!engine) {
      GST_ERROR_OBJECT(self, "%s", ops.create_failed);
      nmx_tarkin_post_create_failure(element, ops.create_failed, ops.last_error());
      return GST_STATE_CHANGE_FAILURE;
    }
    // An engine left from a failed READY->NULL is replaced, not leaked.
    ops.destroy(self->engine);
    self->engine = engine;
    self->consecutive_failures = 0;
  }
  GstStateChangeReturn ret = parent_class->change_state(element, transition);
  if (ret != GST_STATE_CHANGE_FAILURE && transition == GST_STATE_CHANGE_READY_TO_NULL && self->engine) {
    ops.destroy(self->engine);
    self->engine = NULL;
  }
  return ret;
}

// A frame went through: the run of failures is over.
template <typename Element>
void nmx_tarkin_frame_succeeded(Element* self) {
  self->consecutive_failures = 0;
}

// A frame failed for reason. Below the limit a warning naming the frame goes on the
// bus and the caller lets the stream go on (outcome says what happens to the frame);
// at the 25th failure in a row an error goes on the bus and TRUE tells the caller to
// return GST_FLOW_ERROR.
template <typename Element>
gboolean nmx_tarkin_frame_failed(Element* self, guint64 frame, const char* outcome, const char* reason) {
  const char* why = reason && *reason ? reason : "inference failed";
  if (++self->consecutive_failures >= NMX_TARKIN_MAX_CONSECUTIVE_FAILURES) {
    GST_ELEMENT_ERROR(self, STREAM, FAILED,
        ("%u frames in a row failed, the last one (frame %" G_GUINT64_FORMAT "): %s", self->consecutive_failures,
         frame, why), (NULL));
    return TRUE;
  }
  GST_ELEMENT_WARNING(self, STREAM, FAILED, ("Frame %" G_GUINT64_FORMAT " %s: %s", frame, outcome, why), (NULL));
  return FALSE;
}
