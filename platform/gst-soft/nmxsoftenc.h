// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once

#include <gst/video/gstvideoencoder.h>

G_BEGIN_DECLS

/* One implementation, one GType per board factory name. */
GType gst_nmx_soft_qtic2venc_get_type(void);
GType gst_nmx_soft_v4l2h264enc_get_type(void);
GType gst_nmx_soft_v4l2h265enc_get_type(void);

G_END_DECLS
