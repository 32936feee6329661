// SPDX-License-Identifier: BSD-3-Clause
// Detection engine: one packed BGR frame in, one serialized detection text out.
#pragma once

#include <gst/gst.h>

#ifndef GST_EXPORT_ENGINE_API
#define GST_EXPORT_ENGINE_API __attribute__((visibility("default")))
#endif

G_BEGIN_DECLS

typedef struct _GstNmxTarkinEngine GstNmxTarkinEngine;

#define GST_NMX_TARKIN_MODEL_SIZE 640
#define GST_NMX_TARKIN_OBJ_CLASS_NUM 80
#define GST_NMX_TARKIN_DEFAULT_BOX_THRESH 0.5f
#define GST_NMX_TARKIN_DEFAULT_NMS_THRESH 0.45f

/* settings: a "nmx-tarkin-settings" structure; a copy is kept. NULL on failure.
 * Besides the thresholds: "model-size" (uint, default 640, a multiple of 32) and
 * "channel-order" ("bgr" or "rgb"; default bgr for yolov5, rgb for yolov8-detection). */
GST_EXPORT_ENGINE_API GstNmxTarkinEngine *gst_nmx_tarkin_engine_new (const GstStructure * settings);
GST_EXPORT_ENGINE_API void gst_nmx_tarkin_engine_free (GstNmxTarkinEngine * engine);
/* On success *out_text is a g_malloc'ed NUL-terminated text, *out_len its strlen. */
GST_EXPORT_ENGINE_API gboolean gst_nmx_tarkin_engine_execute_video (GstNmxTarkinEngine * engine,
    const guint8 * bgr, int width, int height, int stride, guint frame_index,
    char **out_text, gsize * out_len);
/* As execute_video, but the text is the frame's JSON detection record, one line
 * ending in '\n': frame is the caller's frame counter, pts in nanoseconds or
 * GST_CLOCK_TIME_NONE. */
GST_EXPORT_ENGINE_API gboolean gst_nmx_tarkin_engine_execute_json (GstNmxTarkinEngine * engine,
    const guint8 * bgr, int width, int height, int stride, guint64 frame, GstClockTime pts,
    char **out_text, gsize * out_len);
/* A warning the engine raised about the stream as a whole (once), or NULL; the
 * caller g_free()s it. */
GST_EXPORT_ENGINE_API gchar *gst_nmx_tarkin_engine_take_warning (GstNmxTarkinEngine * engine);
/* The message of the last failure of an engine call on the calling thread (creation
 * or frame), "" if none. Valid until the thread's next engine call. */
GST_EXPORT_ENGINE_API const char *gst_nmx_tarkin_engine_last_error (void);

G_END_DECLS
