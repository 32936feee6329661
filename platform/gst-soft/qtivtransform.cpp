// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtivtransform: colour conversion and scaling, the soft stand-in of the
 * board's hardware converter.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=NV12,width=1280,height=720 ! \
 *       qtivtransform ! video/x-raw,format=RGB,width=640,height=360 ! fakesink
 */
#include "qtivtransform.h"

#include "common.h"
#include "convert.h"
#include "gbmmemory.h"

#include <gst/allocators/allocators.h>

#include <memory>
#include <mutex>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_vtransform_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_vtransform_debug

enum { PROP_0, PROP_ENGINE };  // the engine helpers of common.h know PROP_ENGINE as 1

#define VTRANSFORM_CAPS NMX_SOFT_RAW_CAPS(NMX_SOFT_CONVERT_FORMATS)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VTRANSFORM_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VTRANSFORM_CAPS));

struct NmxVTransformPrivate {
  NmxSoftEngine engine;
  // Negotiated state, only touched from the streaming thread.
  std::unique_ptr<nmxsoft::Converter> converter;
  /* Same picture in and out, but the output says memory:GBM: fd memory is
   * handed on as it is, anything else copied into a GBM buffer. */
  bool gbm_copy = false;
};

typedef struct {
  GstVideoFilter parent;
  NmxVTransformPrivate *priv;
} GstNmxSoftVTransform;

typedef struct {
  GstVideoFilterClass parent_class;
} GstNmxSoftVTransformClass;

#define NMX_VTRANSFORM(obj) ((GstNmxSoftVTransform *)(obj))

G_DEFINE_TYPE(GstNmxSoftVTransform, gst_nmx_soft_vtransform, GST_TYPE_VIDEO_FILTER)

static GstCaps *gst_nmx_soft_vtransform_transform_caps(GstBaseTransform *trans, GstPadDirection direction,
                                                       GstCaps *caps, GstCaps *filter)
{
  GstCaps *all = gst_static_pad_template_get_caps(&src_template);
  GstCaps *loose = gst_caps_new_empty();
  for (guint i = 0; i < gst_caps_get_size(caps); i++) {
    GstStructure *s = gst_structure_copy(gst_caps_get_structure(caps, i));
    gst_structure_remove_fields(s, "format", "width", "height", "pixel-aspect-ratio", "colorimetry",
                                "chroma-site", NULL);
    GstCaps *one = gst_caps_new_full(s, NULL);
    GstCaps *both = nmx_soft_caps_add_gbm_variants(one);
    gst_caps_unref(one);
    loose = gst_caps_merge(loose, both);
  }
  GstCaps *expanded = gst_caps_intersect(loose, all);
  gst_caps_unref(loose);
  gst_caps_unref(all);
  /* The unchanged caps first, so that passthrough wins when possible. */
  GstCaps *res = gst_caps_merge(gst_caps_copy(caps), expanded);
  if (filter) {
    GstCaps *tmp = gst_caps_intersect_full(filter, res, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(res);
    res = tmp;
  }
  GST_DEBUG_OBJECT(trans, "%s caps %" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT,
                   direction == GST_PAD_SINK ? "sink" : "src", caps, res);
  return res;
}

static GstCaps *gst_nmx_soft_vtransform_fixate_caps(GstBaseTransform *trans, GstPadDirection direction,
                                                    GstCaps *caps, GstCaps *othercaps)
{
  othercaps = nmx_soft_fixate_raw_caps(caps, othercaps);
  GST_DEBUG_OBJECT(trans, "fixated to %" GST_PTR_FORMAT, othercaps);
  return othercaps;
}

static gboolean gst_nmx_soft_vtransform_propose_allocation(GstBaseTransform *trans, GstQuery *decide_query,
                                                           GstQuery *query)
{
  if (!GST_BASE_TRANSFORM_CLASS(gst_nmx_soft_vtransform_parent_class)
           ->propose_allocation(trans, decide_query, query))
    return FALSE;
  /* Upstream may hand us padded frames; GstVideoFrame honours their strides. */
  if (!gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL))
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL);
  return TRUE;
}

/* On the board memory:GBM buffers are DMABUFs; ours are memfds, so that
 * consumers which hand the frame's fd to another process or library find
 * one. The pool stays the video filter's own, only its memory changes. */
static gboolean gst_nmx_soft_vtransform_decide_allocation(GstBaseTransform *trans, GstQuery *query)
{
  GstCaps *outcaps = NULL;
  gst_query_parse_allocation(query, &outcaps, NULL);
  if (outcaps && nmx_soft_caps_want_gbm(outcaps))
    nmx_soft_query_use_gbm_memory(query);
  return GST_BASE_TRANSFORM_CLASS(gst_nmx_soft_vtransform_parent_class)->decide_allocation(trans, query);
}

static gboolean gst_nmx_soft_vtransform_set_info(GstVideoFilter *filter, GstCaps *incaps, GstVideoInfo *in_info,
                                                 GstCaps *outcaps, GstVideoInfo *out_info)
{
  GstNmxSoftVTransform *self = NMX_VTRANSFORM(filter);
  NmxVTransformPrivate *priv = self->priv;

  /* YUV in another matrix or range is converted, not passed. */
  bool same = GST_VIDEO_INFO_FORMAT(in_info) == GST_VIDEO_INFO_FORMAT(out_info) &&
              GST_VIDEO_INFO_WIDTH(in_info) == GST_VIDEO_INFO_WIDTH(out_info) &&
              GST_VIDEO_INFO_HEIGHT(in_info) == GST_VIDEO_INFO_HEIGHT(out_info) &&
              nmxsoft::same_yuv_colours(in_info, out_info);
  /* Consumers of memory:GBM look for the buffer's fd (frame copy hands it to
   * the blit library): system memory must not pass under those caps. */
  priv->gbm_copy = same && nmx_soft_caps_want_gbm(outcaps);
  same = same && !priv->gbm_copy;
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), same);
  if (same) {
    GST_DEBUG_OBJECT(self, "passthrough");
    priv->converter.reset();
    return TRUE;
  }
  priv->converter.reset(new nmxsoft::Converter());
  if (!priv->converter->configure(in_info, out_info)) {
    GST_ERROR_OBJECT(self, "cannot convert %" GST_PTR_FORMAT " to %" GST_PTR_FORMAT, incaps, outcaps);
    priv->converter.reset();
    return FALSE;
  }
  GST_DEBUG_OBJECT(self, "converting %s %dx%d -> %s %dx%d", GST_VIDEO_INFO_NAME(in_info),
                   GST_VIDEO_INFO_WIDTH(in_info), GST_VIDEO_INFO_HEIGHT(in_info), GST_VIDEO_INFO_NAME(out_info),
                   GST_VIDEO_INFO_WIDTH(out_info), GST_VIDEO_INFO_HEIGHT(out_info));
  return TRUE;
}

static bool all_fd_memory(GstBuffer *buf)
{
  const guint n = gst_buffer_n_memory(buf);
  for (guint i = 0; i < n; i++)
    if (!gst_is_fd_memory(gst_buffer_peek_memory(buf, i)))
      return false;
  return n > 0;
}

static GstFlowReturn gst_nmx_soft_vtransform_prepare_output_buffer(GstBaseTransform *trans, GstBuffer *inbuf,
                                                                   GstBuffer **outbuf)
{
  if (NMX_VTRANSFORM(trans)->priv->gbm_copy && all_fd_memory(inbuf)) {
    *outbuf = inbuf;
    return GST_FLOW_OK;
  }
  return GST_BASE_TRANSFORM_CLASS(gst_nmx_soft_vtransform_parent_class)->prepare_output_buffer(trans, inbuf, outbuf);
}

static GstFlowReturn gst_nmx_soft_vtransform_transform(GstBaseTransform *trans, GstBuffer *inbuf, GstBuffer *outbuf)
{
  /* An fd buffer handed on as it is (prepare_output_buffer). */
  if (inbuf == outbuf)
    return GST_FLOW_OK;
  return GST_BASE_TRANSFORM_CLASS(gst_nmx_soft_vtransform_parent_class)->transform(trans, inbuf, outbuf);
}

static GstFlowReturn gst_nmx_soft_vtransform_transform_frame(GstVideoFilter *filter, GstVideoFrame *in,
                                                             GstVideoFrame *out)
{
  GstNmxSoftVTransform *self = NMX_VTRANSFORM(filter);
  if (!self->priv->converter || !self->priv->converter->convert_frames(in, out)) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("conversion not configured"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  return GST_FLOW_OK;
}

static gboolean gst_nmx_soft_vtransform_stop(GstBaseTransform *trans)
{
  NMX_VTRANSFORM(trans)->priv->converter.reset();
  return TRUE;
}

static void gst_nmx_soft_vtransform_finalize(GObject *object)
{
  delete NMX_VTRANSFORM(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_vtransform_parent_class)->finalize(object);
}

static void gst_nmx_soft_vtransform_class_init(GstNmxSoftVTransformClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_vtransform_debug, "qtivtransform", 0, "Soft video converter");

  gobject_class->set_property = nmx_soft_engine_set_property<GstNmxSoftVTransform>;
  gobject_class->get_property = nmx_soft_engine_get_property<GstNmxSoftVTransform>;
  gobject_class->finalize = gst_nmx_soft_vtransform_finalize;

  nmx_soft_install_engine_property(gobject_class, PROP_ENGINE, "Conversion");

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "Video transform (soft)", "Filter/Converter/Video/Scaler",
                                        "Converts colour format and scales raw video on the CPU", "Nimbra");

  trans_class->transform_caps = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_transform_caps);
  trans_class->fixate_caps = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_fixate_caps);
  trans_class->propose_allocation = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_propose_allocation);
  trans_class->decide_allocation = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_decide_allocation);
  trans_class->stop = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_stop);
  trans_class->prepare_output_buffer = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_prepare_output_buffer);
  trans_class->transform = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_transform);
  trans_class->passthrough_on_same_caps = FALSE;
  filter_class->set_info = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_set_info);
  filter_class->transform_frame = GST_DEBUG_FUNCPTR(gst_nmx_soft_vtransform_transform_frame);
}

static void gst_nmx_soft_vtransform_init(GstNmxSoftVTransform *self)
{
  self->priv = new NmxVTransformPrivate();
  gst_base_transform_set_qos_enabled(GST_BASE_TRANSFORM(self), TRUE);
}
