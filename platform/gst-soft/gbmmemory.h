// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Memory for the soft elements' memory:GBM outputs: each block is a memfd,
 * so that consumers that look for a DMABUF-like fd (GstFdMemory) find one,
 * as they do with the board's GBM buffers.
 */
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

/* The process-wide allocator (transfer none). Blocks stay mapped once mapped,
 * so a pooled buffer costs one mmap in its life, not one per frame. */
GstAllocator *nmx_soft_gbm_allocator_get(void);

G_END_DECLS
