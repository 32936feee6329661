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

/* settings: a "nmx-tarkin-settings" structure; a copy is kept. NULL on failure. */
GST_EXPORT_ENGINE_API GstNmxTarkinEngine *gst_nmx_tarkin_engine_new (const GstStructure * settings);
GST_EXPORT_ENGINE_API void gst_nmx_tarkin_engine_free (GstNmxTarkinEngine * engine);
/* On success *out_text is a g_malloc'ed NUL-terminated text, *out_len its strlen. */
GST_EXPORT_ENGINE_API gboolean gst_nmx_tarkin_engine_execute_video (GstNmxTarkinEngine * engine,
    const guint8 * bgr, int width, int height, int stride, guint frame_index,
    char **out_text, gsize * out_len);

G_END_DECLS
