// SPDX-License-Identifier: BSD-3-Clause
/*
 * korvaframecopy: registration only; the element lives in gstkorvaframecopy.
 */
#include <gst/gst.h>

#include "gstkorvaframecopy.h"

static gboolean plugin_init(GstPlugin *plugin)
{
  return gst_element_register(plugin, "nmx-korvaframecopy", GST_RANK_NONE, GST_TYPE_KORVA_FRAME_COPY);
}

/* The oldest GStreamer the boards' images ship. */
#define KORVA_GST_MINOR 20

/* Exports gst_plugin_korvaframecopy_get_desc for the registry and
 * gst_plugin_korvaframecopy_register for applications linking it in. */
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, KORVA_GST_MINOR, korvaframecopy, "Korva Frame Copy (GPU ring-copy)", plugin_init,
                  "1.0", "BSD", "KORVA GStreamer Plug-in for frame copy.", "KORVA Project")

