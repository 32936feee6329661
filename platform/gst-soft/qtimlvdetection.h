// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_NMX_SOFT_VMLDETECTION (gst_nmx_soft_vmldetection_get_type())
GType gst_nmx_soft_vmldetection_get_type(void);

G_END_DECLS
