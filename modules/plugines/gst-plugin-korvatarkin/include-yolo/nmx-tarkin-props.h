// The properties the detection and segmentation elements share: one table of names,
// ranges and defaults, and one set/get for instance records that carry the same fields
// (model, model_type, roi_width, roi_height, box_thresh, nms_thresh, print_valid_boxes,
// box_thresh_set, nms_thresh_set, model_size). Called under nothing; they take the
// object lock. An element with properties of its own handles the ids the shared
// set/get report as not theirs.
#pragma once

#include <gst/gst.h>

enum NmxTarkinProp {
  NMX_TARKIN_PROP_0,
  NMX_TARKIN_PROP_MODEL,
  NMX_TARKIN_PROP_MODEL_TYPE,
  NMX_TARKIN_PROP_ROI_WIDTH,
  NMX_TARKIN_PROP_ROI_HEIGHT,
  NMX_TARKIN_PROP_BOX_THRESH,
  NMX_TARKIN_PROP_NMS_THRESH,
  NMX_TARKIN_PROP_PRINT_VALID_BOXES,
  NMX_TARKIN_PROP_MODEL_SIZE,
  // Detection element only.
  NMX_TARKIN_PROP_OUTPUT_FORMAT,
  NMX_TARKIN_PROP_CHANNEL_ORDER,
};

#define NMX_TARKIN_DEFAULT_ROI_WIDTH 0
#define NMX_TARKIN_DEFAULT_ROI_HEIGHT 0
#define NMX_TARKIN_DEFAULT_BOX_THRESH 0.5
#define NMX_TARKIN_DEFAULT_NMS_THRESH 0.45
#define NMX_TARKIN_DEFAULT_PRINT_VALID_BOXES TRUE
#define NMX_TARKIN_DEFAULT_MODEL_SIZE 640
#define NMX_TARKIN_MIN_MODEL_SIZE 32
#define NMX_TARKIN_MAX_MODEL_SIZE 4096

inline void nmx_tarkin_install_properties(GObjectClass* gobject_class, const char* default_model_type,
                                          const char* model_type_blurb) {
  const GParamFlags flags = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_MODEL,
      g_param_spec_string("model", "Model", "Tarkin model path", NULL, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_MODEL_TYPE,
      g_param_spec_string("model-type", "Model Type", model_type_blurb, default_model_type, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_ROI_WIDTH,
      g_param_spec_uint("roi-width", "ROI Width",
          "Final target ROI width for future use; currently has no effect on processing", 0, G_MAXUINT,
          NMX_TARKIN_DEFAULT_ROI_WIDTH, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_ROI_HEIGHT,
      g_param_spec_uint("roi-height", "ROI Height",
          "Final target ROI height for future use; currently has no effect on processing", 0, G_MAXUINT,
          NMX_TARKIN_DEFAULT_ROI_HEIGHT, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_BOX_THRESH,
      g_param_spec_double("box-thresh", "Box Threshold", "Confidence threshold used for box/object filtering",
          0.0, 1.0, NMX_TARKIN_DEFAULT_BOX_THRESH, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_NMS_THRESH,
      g_param_spec_double("nms-thresh", "NMS Threshold", "IoU threshold used for non-maximum suppression",
          0.0, 1.0, NMX_TARKIN_DEFAULT_NMS_THRESH, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_PRINT_VALID_BOXES,
      g_param_spec_boolean("print-valid-boxes", "Print Valid Boxes", "Print valid detection boxes in logs",
          NMX_TARKIN_DEFAULT_PRINT_VALID_BOXES, flags));
  g_object_class_install_property(gobject_class, NMX_TARKIN_PROP_MODEL_SIZE,
      g_param_spec_uint("model-size", "Model Size",
          "Width and height of the model's square input (a multiple of 32, e.g. 320, 416, 640); "
          "the model's outputs must be those of this size",
          NMX_TARKIN_MIN_MODEL_SIZE, NMX_TARKIN_MAX_MODEL_SIZE, NMX_TARKIN_DEFAULT_MODEL_SIZE, flags));
}

// False (nothing done) for an id that is not one of the shared properties.
template <typename Element>
bool nmx_tarkin_set_property(Element* self, guint prop_id, const GValue* value, GParamSpec* pspec) {
  if (prop_id < NMX_TARKIN_PROP_MODEL || prop_id > NMX_TARKIN_PROP_MODEL_SIZE)
    return false;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case NMX_TARKIN_PROP_MODEL:
      g_free(self->model);
      self->model = g_value_dup_string(value);
      break;
    case NMX_TARKIN_PROP_MODEL_TYPE:
      g_free(self->model_type);
      self->model_type = g_value_dup_string(value);
      break;
    case NMX_TARKIN_PROP_ROI_WIDTH:
      self->roi_width = g_value_get_uint(value);
      break;
    case NMX_TARKIN_PROP_ROI_HEIGHT:
      self->roi_height = g_value_get_uint(value);
      break;
    case NMX_TARKIN_PROP_BOX_THRESH:
      self->box_thresh = g_value_get_double(value);
      self->box_thresh_set = TRUE;
      break;
    case NMX_TARKIN_PROP_NMS_THRESH:
      self->nms_thresh = g_value_get_double(value);
      self->nms_thresh_set = TRUE;
      break;
    case NMX_TARKIN_PROP_PRINT_VALID_BOXES:
      self->print_valid_boxes = g_value_get_boolean(value);
      break;
    case NMX_TARKIN_PROP_MODEL_SIZE:
      self->model_size = g_value_get_uint(value);
      break;
    default:
      break;
  }
  GST_OBJECT_UNLOCK(self);
  return true;
}

template <typename Element>
bool nmx_tarkin_get_property(Element* self, guint prop_id, GValue* value, GParamSpec* pspec) {
  if (prop_id < NMX_TARKIN_PROP_MODEL || prop_id > NMX_TARKIN_PROP_MODEL_SIZE)
    return false;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case NMX_TARKIN_PROP_MODEL:
      g_value_set_string(value, self->model);
      break;
    case NMX_TARKIN_PROP_MODEL_TYPE:
      g_value_set_string(value, self->model_type);
      break;
    case NMX_TARKIN_PROP_ROI_WIDTH:
      g_value_set_uint(value, self->roi_width);
      break;
    case NMX_TARKIN_PROP_ROI_HEIGHT:
      g_value_set_uint(value, self->roi_height);
      break;
    case NMX_TARKIN_PROP_BOX_THRESH:
      g_value_set_double(value, self->box_thresh);
      break;
    case NMX_TARKIN_PROP_NMS_THRESH:
      g_value_set_double(value, self->nms_thresh);
      break;
    case NMX_TARKIN_PROP_PRINT_VALID_BOXES:
      g_value_set_boolean(value, self->print_valid_boxes);
      break;
    case NMX_TARKIN_PROP_MODEL_SIZE:
      g_value_set_uint(value, self->model_size);
      break;
    default:
      break;
  }
  GST_OBJECT_UNLOCK(self);
  return true;
}
