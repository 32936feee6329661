// SPDX-License-Identifier: BSD-3-Clause
#pragma once

#include <gst/gst.h>

#include <stdint.h>

G_BEGIN_DECLS

#define GST_TYPE_KORVA_FRAME_COPY (gst_korva_frame_copy_get_type())
#define GST_KORVA_FRAME_COPY(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_KORVA_FRAME_COPY, GstKorvaFrameCopy))

typedef struct _KorvaFrameCopyPriv KorvaFrameCopyPriv;

typedef struct _GstKorvaFrameCopy {
  GstElement parent;

  GstPad *sinkpad;
  GstPad *srcpad;

  gboolean ring_copy;
  gchar *ring_fds;
  gint ring_ipc_fd;
  gboolean wait;

  KorvaFrameCopyPriv *priv;
} GstKorvaFrameCopy;

typedef struct _GstKorvaFrameCopyClass {
  GstElementClass parent_class;
} GstKorvaFrameCopyClass;

GType gst_korva_frame_copy_get_type(void);

/* One notification per copied frame, written to "ring-ipc-fd": packed,
 * native byte order, 44 bytes. */
#pragma pack(push, 1)
typedef struct {
  uint64_t frame_id;
  uint32_t slot;
  uint32_t width;
  uint32_t height;
  uint32_t format; /* 12 NV12, 21 NV21 */
  uint32_t stride0;
  uint32_t stride1;
  uint32_t offset0;
  uint32_t offset1;
  uint32_t plane0_rows; /* luma rows including padding below the picture */
} RingIpcMsg;
#pragma pack(pop)

G_STATIC_ASSERT(sizeof(RingIpcMsg) == 44);
G_STATIC_ASSERT(G_STRUCT_OFFSET(RingIpcMsg, slot) == 8);
G_STATIC_ASSERT(G_STRUCT_OFFSET(RingIpcMsg, plane0_rows) == 40);

G_END_DECLS
