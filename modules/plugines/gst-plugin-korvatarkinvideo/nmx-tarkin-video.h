// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include <gst/base/gstbasetransform.h>
#include <gst/video/video.h>

G_BEGIN_DECLS

typedef struct _GstNmxTarkinVideoEngine GstNmxTarkinVideoEngine;

#define GST_TYPE_NMX_TARKIN_VIDEO (gst_nmx_tarkin_video_get_type ())
G_DECLARE_FINAL_TYPE (GstNmxTarkinVideo, gst_nmx_tarkin_video, GST, NMX_TARKIN_VIDEO, GstBaseTransform)

struct _GstNmxTarkinVideo {
  GstBaseTransform parent;

  gboolean flushing;
  GstNmxTarkinVideoEngine *engine;
  GstVideoInfo in_info;
  GstVideoInfo out_info;
  gboolean in_info_valid;
  gboolean out_info_valid;
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
  guint model_size;
  guint consecutive_failures;
};

GST_ELEMENT_REGISTER_DECLARE (nmx_tarkin_video);

G_END_DECLS
