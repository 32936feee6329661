// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

typedef struct _GstNmxTarkinEngine GstNmxTarkinEngine;

#define GST_TYPE_NMX_TARKIN (gst_nmx_tarkin_get_type ())
G_DECLARE_FINAL_TYPE (GstNmxTarkin, gst_nmx_tarkin, GST, NMX_TARKIN, GstBaseTransform)

struct _GstNmxTarkin {
  GstBaseTransform parent;

  gboolean flushing;
  GstNmxTarkinEngine *engine;
  GstVideoInfo info;
  gboolean info_valid;
  gchar *model;
  gchar *model_type;
  guint roi_width;
  guint roi_height;
  gdouble box_thresh;
  gdouble nms_thresh;
  gboolean print_valid_boxes;
  gboolean box_thresh_set;
  gboolean nms_thresh_set;
  guint64 frame_count;
  gint64 last_call_us;
  GstClockTime last_pts;
  gboolean have_last_pts;
  guint model_size;
  gint output_format;         /* GstNmxTarkinOutputFormat, property "output-format" */
  gint active_output_format;  /* the one taken at NULL to READY */
  gchar *channel_order;       /* property "channel-order"; NULL: by model type */
  guint consecutive_failures;
};

/* What each output buffer holds: the serialized structure text, or one line of JSON. */
typedef enum {
  GST_NMX_TARKIN_OUTPUT_STRUCTURE = 0,
  GST_NMX_TARKIN_OUTPUT_JSON = 1,
} GstNmxTarkinOutputFormat;

#define GST_TYPE_NMX_TARKIN_OUTPUT_FORMAT (gst_nmx_tarkin_output_format_get_type ())
GType gst_nmx_tarkin_output_format_get_type (void);

GST_ELEMENT_REGISTER_DECLARE (nmx_tarkin);

G_END_DECLS
