// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Pieces shared by the soft platform elements: the board's GBM caps feature
 * and the V4L2 io-mode enum the v4l2* stand-ins expose.
 */
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

/* Caps written for the board negotiate here too. Converted qtivtransform
 * outputs in this feature are memfd-backed fd memory (gbmmemory.h); other
 * GBM buffers, and frames passed through, stay plain system memory. */
#define NMX_SOFT_CAPS_FEATURE_GBM "memory:GBM"

/* Same numbering as V4L2's GstV4l2IOMode, under a type name of our own so
 * both can live in one process. */
typedef enum {
  NMX_SOFT_IO_MODE_AUTO = 0,
  NMX_SOFT_IO_MODE_RW = 1,
  NMX_SOFT_IO_MODE_MMAP = 2,
  NMX_SOFT_IO_MODE_USERPTR = 3,
  NMX_SOFT_IO_MODE_DMABUF = 4,
  NMX_SOFT_IO_MODE_DMABUF_IMPORT = 5,
} NmxSoftIOMode;

GType nmx_soft_io_mode_get_type(void);
#define NMX_SOFT_TYPE_IO_MODE (nmx_soft_io_mode_get_type())

/* TRUE when any structure of @caps (not ANY) carries the GBM feature. */
gboolean nmx_soft_caps_want_gbm(const GstCaps *caps);

/* Copy of @caps with every structure offered in system memory and GBM. */
GstCaps *nmx_soft_caps_add_gbm_variants(const GstCaps *caps);

/* Fixates raw video @othercaps (taking ownership) for input @caps: keeps the
 * input format, size, frame rate and PAR where allowed, derives a missing
 * dimension from the aspect ratio, keeps YUV colorimetry. */
GstCaps *nmx_soft_fixate_raw_caps(const GstCaps *caps, GstCaps *othercaps);

G_END_DECLS
