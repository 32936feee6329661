// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once

#include <gst/video/gstvideodecoder.h>

G_BEGIN_DECLS

/* One implementation, one GType per board factory name. */
GType gst_nmx_soft_qtivdec_get_type(void);
GType gst_nmx_soft_qtic2vdec_get_type(void);
GType gst_nmx_soft_v4l2h264dec_get_type(void);
GType gst_nmx_soft_v4l2h265dec_get_type(void);

G_END_DECLS
