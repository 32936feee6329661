// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * nmxsoft: software stand-ins registered under the board's element names.
 * Only registration lives here; every element comes from the list below.
 */
#include <gst/gst.h>

#include "nmxsoftdec.h"
#include "nmxsoftenc.h"
#include "qtimlqnn.h"
#include "qtimlvconverter.h"
#include "qtimlvdetection.h"
#include "qtivcomposer.h"
#include "qtivoverlay.h"
#include "qtivsplit.h"
#include "qtivtransform.h"

GST_DEBUG_CATEGORY_STATIC(nmx_soft_plugin_debug);
#define GST_CAT_DEFAULT nmx_soft_plugin_debug

#define NMX_SOFT_PLUGIN_NAME "nmxsoft"

namespace {

struct ElementEntry {
  const char *name;
  guint rank;
  GType (*get_type)(void);
};

/* Codecs rank marginal so that auto-plugging (decodebin, encodebin) keeps
 * preferring the regular software elements on a desktop. */
const ElementEntry kElements[] = {
    {"qtivdec", GST_RANK_MARGINAL, gst_nmx_soft_qtivdec_get_type},
    {"qtic2vdec", GST_RANK_MARGINAL, gst_nmx_soft_qtic2vdec_get_type},
    {"v4l2h264dec", GST_RANK_MARGINAL, gst_nmx_soft_v4l2h264dec_get_type},
    {"v4l2h265dec", GST_RANK_MARGINAL, gst_nmx_soft_v4l2h265dec_get_type},
    {"qtic2venc", GST_RANK_MARGINAL, gst_nmx_soft_qtic2venc_get_type},
    {"v4l2h264enc", GST_RANK_MARGINAL, gst_nmx_soft_v4l2h264enc_get_type},
    {"v4l2h265enc", GST_RANK_MARGINAL, gst_nmx_soft_v4l2h265enc_get_type},
    {"qtivtransform", GST_RANK_NONE, gst_nmx_soft_vtransform_get_type},
    {"qtivsplit", GST_RANK_NONE, gst_nmx_soft_vsplit_get_type},
    {"qtivcomposer", GST_RANK_NONE, gst_nmx_soft_vcomposer_get_type},
    {"qtivoverlay", GST_RANK_NONE, gst_nmx_soft_voverlay_get_type},
    {"qtimlvconverter", GST_RANK_NONE, gst_nmx_soft_vmlconverter_get_type},
    {"qtimlqnn", GST_RANK_NONE, gst_nmx_soft_mlqnn_get_type},
    {"qtimlvdetection", GST_RANK_NONE, gst_nmx_soft_vmldetection_get_type},
};

/* Another plug-in (v4l2 with a real codec device, or the board's own) may
 * already provide the name; the real element wins and we stay out of its way.
 * Our own features from a cached registry do not count. */
bool provided_elsewhere(const char *name)
{
  GstPluginFeature *feature = gst_registry_find_feature(gst_registry_get(), name, GST_TYPE_ELEMENT_FACTORY);
  if (!feature)
    return false;
  const gchar *plugin = gst_plugin_feature_get_plugin_name(feature);
  bool other = plugin && g_strcmp0(plugin, NMX_SOFT_PLUGIN_NAME) != 0;
  if (other)
    GST_INFO("%s is provided by plug-in %s, not registering ours", name, plugin);
  gst_object_unref(feature);
  return other;
}

}  // namespace

static gboolean plugin_init(GstPlugin *plugin)
{
  GST_DEBUG_CATEGORY_INIT(nmx_soft_plugin_debug, "nmxsoft", 0, "Soft platform plug-in");
  gboolean any = FALSE;
  for (const ElementEntry &e : kElements) {
    if (provided_elsewhere(e.name))
      continue;
    if (gst_element_register(plugin, e.name, e.rank, e.get_type()))
      any = TRUE;
    else
      GST_WARNING("failed to register %s", e.name);
  }
  return any;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, nmxsoft, "Software stand-ins of the board's video elements",
                  plugin_init, "0.1.0", "LGPL", "Nimbra", "https://nimbra.invalid")
