// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Pieces shared by the soft platform elements: the board's GBM caps feature
 * and the V4L2 io-mode enum the v4l2* stand-ins expose.
 */
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#ifdef __cplusplus
#include <mutex>
#endif

G_BEGIN_DECLS

/* Caps written for the board negotiate here too. Converted qtivtransform
 * outputs in this feature are memfd-backed fd memory (gbmmemory.h); other
 * GBM buffers, and frames passed through, stay plain system memory. */
#define NMX_SOFT_CAPS_FEATURE_GBM "memory:GBM"

/* Raw video of @formats in system memory and in GBM. */
#define NMX_SOFT_RAW_CAPS(formats) \
  GST_VIDEO_CAPS_MAKE(formats) ";" GST_VIDEO_CAPS_MAKE_WITH_FEATURES(NMX_SOFT_CAPS_FEATURE_GBM, formats)

/* Codecs of the decoder and encoder stand-ins, as bits of a factory's set. */
#define NMX_SOFT_CODEC_H264 (1u << 0)
#define NMX_SOFT_CODEC_H265 (1u << 1)

/* @h264 and/or @h265 caps merged, as @codecs holds them. */
GstCaps *nmx_soft_codec_caps(guint codecs, const char *h264, const char *h265);

/* Adds an always-present pad template of @caps (taken) to @klass. */
void nmx_soft_add_pad_template(GstElementClass *klass, const char *name, GstPadDirection direction, GstCaps *caps);

/* One GType per factory over the same code: @class_data reaches class_init. */
GType nmx_soft_register_type(GType parent, const char *name, guint class_size, GClassInitFunc class_init,
                             guint instance_size, GInstanceInitFunc instance_init, gconstpointer class_data);

#define NMX_SOFT_DEFINE_GET_TYPE(fn, register_call) \
  GType fn(void)                                    \
  {                                                 \
    static gsize type = 0;                          \
    if (g_once_init_enter(&type)) {                 \
      GType t = (register_call);                    \
      g_once_init_leave(&type, t);                  \
    }                                               \
    return (GType)type;                             \
  }

/* Same numbering as V4L2's GstV4l2IOMode, under a type name of our own so
 * both can live in one process. */
typedef enum {
  NMX_SOFT_IO_MODE_AUTO = 0,
  NMX_SOFT_IO_MODE_RW = 1,
  NMX_SOFT_IO_MODE_MMAP = 2,
  NMX_SOFT_IO_MODE_USERPTR = 3,
  NMX_SOFT_IO_MODE_DMABUF = 4,
  NMX_SOFT_IO_MODE_DMABUF_IMPORT = 5,
} NmxSoftIOMode;

GType nmx_soft_io_mode_get_type(void);
#define NMX_SOFT_TYPE_IO_MODE (nmx_soft_io_mode_get_type())

/* The v4l2 elements' "capture-io-mode" and "output-io-mode", under @capture_id
 * and @output_id, each with its queue's description. */
void nmx_soft_install_io_mode_properties(GObjectClass *klass, guint capture_id, const char *capture_blurb,
                                         guint output_id, const char *output_blurb);

/* The board converters' "engine" (0 auto, 1 C2D, 2 GLES, 3 FastCV), under
 * @prop_id: accepted and reported, the soft elements always use the CPU. */
void nmx_soft_install_engine_property(GObjectClass *klass, guint prop_id, const char *what);

/* TRUE when any structure of @caps (not ANY) carries the GBM feature. */
gboolean nmx_soft_caps_want_gbm(const GstCaps *caps);

/* Copy of @caps with every structure offered in system memory and GBM. */
GstCaps *nmx_soft_caps_add_gbm_variants(const GstCaps *caps);

/* Fixates raw video @othercaps (taking ownership) for input @caps: keeps the
 * input format, size, frame rate and PAR where allowed, derives a missing
 * dimension from the aspect ratio, keeps YUV colorimetry. */
GstCaps *nmx_soft_fixate_raw_caps(const GstCaps *caps, GstCaps *othercaps);

/* Answers a CAPS query (the template, narrowed by the filter) or an
 * ACCEPT_CAPS query (a subset of the template) from @pad's template, for
 * elements that convert whatever they get. FALSE: another query, not
 * answered. */
gboolean nmx_soft_answer_caps_from_template(GstPad *pad, GstQuery *query);

/* For memory:GBM outputs: the allocation query keeps a downstream pool's
 * buffer counts but not the pool (it would allocate system memory), and
 * names the GBM (memfd) allocator, which the base class's own pool uses. */
void nmx_soft_query_use_gbm_memory(GstQuery *query);

G_END_DECLS

#ifdef __cplusplus
/* The value of the "engine" property, set from the application thread. */
class NmxSoftEngine {
 public:
  void set(const GValue *value)
  {
    std::lock_guard<std::mutex> l(lock_);
    engine_ = g_value_get_int(value);
  }
  void get(GValue *value)
  {
    std::lock_guard<std::mutex> l(lock_);
    g_value_set_int(value, engine_);
  }

 private:
  std::mutex lock_;
  int engine_ = 0;
};

/* set_property and get_property of an element whose only property is
 * "engine" (id 1), kept in Elem's priv->engine. */
template <typename Elem>
void nmx_soft_engine_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  if (prop_id == 1)
    reinterpret_cast<Elem *>(object)->priv->engine.set(value);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}

template <typename Elem>
void nmx_soft_engine_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  if (prop_id == 1)
    reinterpret_cast<Elem *>(object)->priv->engine.get(value);
  else
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
}
#endif
