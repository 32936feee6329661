// SPDX-License-Identifier: LGPL-2.1-or-later
#include "common.h"

#include "gbmmemory.h"

#include <gst/video/video.h>

GType nmx_soft_io_mode_get_type(void)
{
  static gsize type = 0;
  static const GEnumValue values[] = {
      {NMX_SOFT_IO_MODE_AUTO, "NMX_SOFT_IO_MODE_AUTO", "auto"},
      {NMX_SOFT_IO_MODE_RW, "NMX_SOFT_IO_MODE_RW", "rw"},
      {NMX_SOFT_IO_MODE_MMAP, "NMX_SOFT_IO_MODE_MMAP", "mmap"},
      {NMX_SOFT_IO_MODE_USERPTR, "NMX_SOFT_IO_MODE_USERPTR", "userptr"},
      {NMX_SOFT_IO_MODE_DMABUF, "NMX_SOFT_IO_MODE_DMABUF", "dmabuf"},
      {NMX_SOFT_IO_MODE_DMABUF_IMPORT, "NMX_SOFT_IO_MODE_DMABUF_IMPORT", "dmabuf-import"},
      {0, nullptr, nullptr},
  };
  if (g_once_init_enter(&type)) {
    GType t = g_enum_register_static("GstNmxSoftIOMode", values);
    g_once_init_leave(&type, t);
  }
  return (GType)type;
}

void nmx_soft_install_io_mode_properties(GObjectClass *klass, guint capture_id, const char *capture_blurb,
                                         guint output_id, const char *output_blurb)
{
  const GParamFlags rw = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(klass, capture_id,
                                  g_param_spec_enum("capture-io-mode", "Capture IO mode", capture_blurb,
                                                    NMX_SOFT_TYPE_IO_MODE, NMX_SOFT_IO_MODE_AUTO, rw));
  g_object_class_install_property(klass, output_id,
                                  g_param_spec_enum("output-io-mode", "Output IO mode", output_blurb,
                                                    NMX_SOFT_TYPE_IO_MODE, NMX_SOFT_IO_MODE_AUTO, rw));
}

void nmx_soft_install_engine_property(GObjectClass *klass, guint prop_id, const char *what)
{
  gchar *blurb = g_strdup_printf("%s engine of the board (0 auto, 1 C2D, 2 GLES, 3 FastCV); accepted and "
                                 "reported, the soft element always uses the CPU",
                                 what);
  /* The text lives as long as the class: the GParamSpec keeps the pointer. */
  g_object_class_install_property(
      klass, prop_id,
      g_param_spec_int("engine", "Engine", g_intern_string(blurb), 0, 3, 0,
                       (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
  g_free(blurb);
}

GstCaps *nmx_soft_codec_caps(guint codecs, const char *h264, const char *h265)
{
  GstCaps *caps = gst_caps_new_empty();
  if (codecs & NMX_SOFT_CODEC_H264)
    caps = gst_caps_merge(caps, gst_caps_from_string(h264));
  if (codecs & NMX_SOFT_CODEC_H265)
    caps = gst_caps_merge(caps, gst_caps_from_string(h265));
  return caps;
}

void nmx_soft_add_pad_template(GstElementClass *klass, const char *name, GstPadDirection direction, GstCaps *caps)
{
  gst_element_class_add_pad_template(klass, gst_pad_template_new(name, direction, GST_PAD_ALWAYS, caps));
  gst_caps_unref(caps);
}

GType nmx_soft_register_type(GType parent, const char *name, guint class_size, GClassInitFunc class_init,
                             guint instance_size, GInstanceInitFunc instance_init, gconstpointer class_data)
{
  GTypeInfo info = {};
  info.class_size = (guint16)class_size;
  info.class_init = class_init;
  info.class_data = class_data;
  info.instance_size = (guint16)instance_size;
  info.instance_init = instance_init;
  return g_type_register_static(parent, name, &info, (GTypeFlags)0);
}

gboolean nmx_soft_answer_caps_from_template(GstPad *pad, GstQuery *query)
{
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      GstCaps *filter = NULL;
      gst_query_parse_caps(query, &filter);
      GstCaps *caps = gst_pad_get_pad_template_caps(pad);
      if (filter) {
        GstCaps *tmp = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = tmp;
      }
      gst_query_set_caps_result(query, caps);
      gst_caps_unref(caps);
      return TRUE;
    }
    case GST_QUERY_ACCEPT_CAPS: {
      GstCaps *caps = NULL;
      gst_query_parse_accept_caps(query, &caps);
      GstCaps *templ = gst_pad_get_pad_template_caps(pad);
      gst_query_set_accept_caps_result(query, gst_caps_is_subset(caps, templ));
      gst_caps_unref(templ);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void nmx_soft_query_use_gbm_memory(GstQuery *query)
{
  if (gst_query_get_n_allocation_pools(query) > 0) {
    guint size = 0, min = 0, max = 0;
    gst_query_parse_nth_allocation_pool(query, 0, NULL, &size, &min, &max);
    while (gst_query_get_n_allocation_pools(query) > 0)
      gst_query_remove_nth_allocation_pool(query, 0);
    gst_query_add_allocation_pool(query, NULL, size, min, max);
  }
  GstAllocationParams params;
  gst_allocation_params_init(&params);
  if (gst_query_get_n_allocation_params(query) > 0)
    gst_query_set_nth_allocation_param(query, 0, nmx_soft_gbm_allocator_get(), &params);
  else
    gst_query_add_allocation_param(query, nmx_soft_gbm_allocator_get(), &params);
}

gboolean nmx_soft_caps_want_gbm(const GstCaps *caps)
{
  if (!caps || gst_caps_is_any(caps))
    return FALSE;
  for (guint i = 0; i < gst_caps_get_size(caps); i++) {
    GstCapsFeatures *f = gst_caps_get_features(caps, i);
    if (f && !gst_caps_features_is_any(f) && gst_caps_features_contains(f, NMX_SOFT_CAPS_FEATURE_GBM))
      return TRUE;
  }
  return FALSE;
}

GstCaps *nmx_soft_caps_add_gbm_variants(const GstCaps *caps)
{
  GstCaps *res = gst_caps_new_empty();
  for (guint i = 0; i < gst_caps_get_size(caps); i++) {
    const GstStructure *s = gst_caps_get_structure(caps, i);
    res = gst_caps_merge_structure_full(res, gst_structure_copy(s),
                                        gst_caps_features_copy(GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY));
    res = gst_caps_merge_structure_full(res, gst_structure_copy(s),
                                        gst_caps_features_new(NMX_SOFT_CAPS_FEATURE_GBM, NULL));
  }
  return res;
}

static bool structure_is_yuv(const GstStructure *s)
{
  const gchar *f = gst_structure_get_string(s, "format");
  if (!f)
    return false;
  const GstVideoFormatInfo *finfo = gst_video_format_get_info(gst_video_format_from_string(f));
  return finfo && GST_VIDEO_FORMAT_INFO_IS_YUV(finfo);
}

GstCaps *nmx_soft_fixate_raw_caps(const GstCaps *caps, GstCaps *othercaps)
{
  othercaps = gst_caps_truncate(othercaps);
  othercaps = gst_caps_make_writable(othercaps);
  GstStructure *out = gst_caps_get_structure(othercaps, 0);
  const GstStructure *in = gst_caps_get_structure(caps, 0);

  const gchar *in_format = gst_structure_get_string(in, "format");
  if (in_format && !gst_structure_fixate_field_string(out, "format", in_format))
    gst_structure_fixate_field(out, "format");

  int in_w = 0, in_h = 0;
  if (gst_structure_get_int(in, "width", &in_w) && gst_structure_get_int(in, "height", &in_h) && in_w > 0 &&
      in_h > 0) {
    const GValue *wv = gst_structure_get_value(out, "width");
    const GValue *hv = gst_structure_get_value(out, "height");
    bool w_was_fixed = wv && G_VALUE_HOLDS_INT(wv);
    bool h_was_fixed = hv && G_VALUE_HOLDS_INT(hv);
    if (w_was_fixed && !h_was_fixed) {
      /* Only the width was asked for: keep the display aspect ratio. */
      int w = g_value_get_int(wv);
      gst_structure_fixate_field_nearest_int(out, "height", (int)gst_util_uint64_scale_int(w, in_h, in_w));
    } else if (h_was_fixed && !w_was_fixed) {
      int h = g_value_get_int(hv);
      gst_structure_fixate_field_nearest_int(out, "width", (int)gst_util_uint64_scale_int(h, in_w, in_h));
    } else {
      gst_structure_fixate_field_nearest_int(out, "width", in_w);
      gst_structure_fixate_field_nearest_int(out, "height", in_h);
    }
  }

  int fn = 0, fd = 1;
  if (gst_structure_get_fraction(in, "framerate", &fn, &fd) && gst_structure_has_field(out, "framerate"))
    gst_structure_fixate_field_nearest_fraction(out, "framerate", fn, fd);

  int pn = 1, pd = 1;
  if (gst_structure_get_fraction(in, "pixel-aspect-ratio", &pn, &pd)) {
    if (gst_structure_has_field(out, "pixel-aspect-ratio"))
      gst_structure_fixate_field_nearest_fraction(out, "pixel-aspect-ratio", pn, pd);
    else
      gst_structure_set(out, "pixel-aspect-ratio", GST_TYPE_FRACTION, pn, pd, NULL);
  }

  /* YUV to YUV keeps the colorimetry: the core does not change the matrix. */
  const gchar *in_cm = gst_structure_get_string(in, "colorimetry");
  if (in_cm && structure_is_yuv(in) && structure_is_yuv(out)) {
    if (!gst_structure_has_field(out, "colorimetry"))
      gst_structure_set(out, "colorimetry", G_TYPE_STRING, in_cm, NULL);
    else
      gst_structure_fixate_field_string(out, "colorimetry", in_cm);
  }

  return gst_caps_fixate(othercaps);
}

