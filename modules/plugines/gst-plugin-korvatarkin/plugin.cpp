// SPDX-License-Identifier: BSD-3-Clause
// Registration of the nmx-tarkin detection element.
#include "nmx-tarkin.h"

#include <gst/gst.h>

GST_DEBUG_CATEGORY (gst_nmx_tarkin_debug);

static gboolean
plugin_init (GstPlugin * plugin)
{
  GST_DEBUG_CATEGORY_INIT (gst_nmx_tarkin_debug, "nmx-tarkin", 0, "nmx-tarkin plugin");
  return GST_ELEMENT_REGISTER (nmx_tarkin, plugin);
}

/* GST_PLUGIN_DEFINE also exports gst_plugin_nmx_tarkin_register (static
 * registration) and gst_plugin_nmx_tarkin_get_desc. */
#ifndef PACKAGE
#define PACKAGE "nmx-tarkin"
#endif

GST_PLUGIN_DEFINE (GST_VERSION_MAJOR, GST_VERSION_MINOR, nmx_tarkin,
    "Velkor Tarkin BGR to YOLOv5 serialized-structure text plugin", plugin_init, "1.0", "BSD",
    "nmx-tarkin", GST_PACKAGE_ORIGIN)
