// SPDX-License-Identifier: BSD-3-Clause
// Segmentation engine: one packed BGR frame in, one overlay frame (masks, boxes,
// tags on a cleared background) of the same size out.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#ifndef GST_EXPORT_VIDEO_ENGINE_API
#define GST_EXPORT_VIDEO_ENGINE_API __attribute__((visibility("default")))
#endif

G_BEGIN_DECLS

typedef struct _GstNmxTarkinVideoEngine GstNmxTarkinVideoEngine;

#define GST_NMX_TARKIN_VIDEO_MODEL_SIZE 640
#define GST_NMX_TARKIN_VIDEO_OBJ_CLASS_NUM 80
#define GST_NMX_TARKIN_VIDEO_SEG_MASK_DIM 32
#define GST_NMX_TARKIN_VIDEO_SEG_OUT_SIZE 8400
#define GST_NMX_TARKIN_VIDEO_SEG_PROTO_H 160
#define GST_NMX_TARKIN_VIDEO_SEG_PROTO_W 160
#define GST_NMX_TARKIN_VIDEO_SEG_CONCAT_DIM 116

/* settings: a "nmx-tarkin-video-settings" structure; a copy is kept. NULL on failure.
 * "model-size" (uint, default 640, a multiple of 32) is the model's square input size. */
GST_EXPORT_VIDEO_ENGINE_API GstNmxTarkinVideoEngine *gst_nmx_tarkin_video_engine_new (const GstStructure * settings);
GST_EXPORT_VIDEO_ENGINE_API void gst_nmx_tarkin_video_engine_free (GstNmxTarkinVideoEngine * engine);
/* in: packed BGR, in_stride bytes a row. out: BGR or BGRA of the same width and
 * height; every pixel of it is written on success. */
GST_EXPORT_VIDEO_ENGINE_API gboolean gst_nmx_tarkin_video_engine_process_frame (GstNmxTarkinVideoEngine * engine,
    const guint8 * in, int width, int height, int in_stride, GstVideoFormat out_format, guint8 * out,
    int out_width, int out_height, int out_stride, guint frame_index);
/* The message of the last failure of an engine call on the calling thread, "" if none. */
GST_EXPORT_VIDEO_ENGINE_API const char *gst_nmx_tarkin_video_engine_last_error (void);

G_END_DECLS
