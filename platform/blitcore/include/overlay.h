// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Blit library interface: full copies of NV12/NV21 frames from one DMABUF
 * into another. The board ships its own libblitcore.so (OpenCL); this header
 * and the CPU stand-in beside it only keep the calls and the layout of the
 * copy description.
 */
#pragma once

#include <cstdint>

namespace overlay {

/* Only the OpenCL blit (1) is used by callers; the stand-in accepts it and
 * the CPU value 0. */
enum OverlayBlitType : int32_t {
  kOverlayBlitCpu = 0,
  kOverlayBlitOpenCL = 1,
};

/* The source frame of a full copy: nine 32-bit fields, in this order. The
 * destination receives the same layout (offsets and strides). */
struct OverlayTargetBuffer {
  uint32_t format;   // 0 NV12, 1 NV21
  uint32_t width;
  uint32_t height;
  uint32_t offset0;  // luma plane, bytes from the start of the fd
  uint32_t offset1;  // interleaved chroma plane
  uint32_t stride0;
  uint32_t stride1;
  int32_t fd;        // source DMABUF (or any mmap-able fd)
  uint32_t size;     // source size in bytes
};
static_assert(sizeof(OverlayTargetBuffer) == 36, "nine 32-bit fields");

class Overlay {
 public:
  Overlay();
  ~Overlay();
  Overlay(const Overlay &) = delete;
  Overlay &operator=(const Overlay &) = delete;

  /* 0 when ready for copies. */
  int Init(OverlayBlitType type);

  /* Copies the frame described by @src into @dst_fd with the same layout.
   * 0 on success, a negative errno value on failure. With @wait the copy
   * has completed on return; without it it may still be running (a later
   * waiting call or the destructor completes it). */
  int FullCopyToFd_CL(const OverlayTargetBuffer &src, int dst_fd, bool wait);

 private:
  struct Impl;
  Impl *impl_;
};

}  // namespace overlay
