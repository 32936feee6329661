// SPDX-License-Identifier: LGPL-2.1-or-later
#include "common.h"

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

