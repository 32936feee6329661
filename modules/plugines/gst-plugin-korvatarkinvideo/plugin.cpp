// SPDX-License-Identifier: BSD-3-Clause
// Registration of the nmx-tarkin-video segmentation overlay element.
#include "nmx-tarkin-video.h"

#include <gst/gst.h>

GST_DEBUG_CATEGORY (gst_nmx_tarkin_video_debug);

static gboolean
plugin_init (GstPlugin * plugin)
{
  GST_DEBUG_CATEGORY_INIT (gst_nmx_tarkin_video_debug, "nmx-tarkin-video", 0, "nmx-tarkin-video plugin");
  return GST_ELEMENT_REGISTER (nmx_tarkin_video, plugin);
}

/* GST_PLUGIN_DEFINE also exports gst_plugin_nmx_tarkin_video_register (static
 * registration) and gst_plugin_nmx_tarkin_video_get_desc. */
#ifndef PACKAGE
#define PACKAGE "nmx-tarkin-video"
#endif

GST_PLUGIN_DEFINE (GST_VERSION_MAJOR, GST_VERSION_MINOR, nmx_tarkin_video,
    "Velkor Tarkin video overlay plugin", plugin_init, "1.0", "BSD", "nmx-tarkin-video", GST_PACKAGE_ORIGIN)
