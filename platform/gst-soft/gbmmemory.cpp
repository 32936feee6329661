// SPDX-License-Identifier: LGPL-2.1-or-later
#include "gbmmemory.h"

#include <gst/allocators/allocators.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

GST_DEBUG_CATEGORY_STATIC(nmx_soft_gbm_debug);
#define GST_CAT_DEFAULT nmx_soft_gbm_debug

typedef struct {
  GstFdAllocator parent;
} NmxSoftGbmAllocator;

typedef struct {
  GstFdAllocatorClass parent_class;
} NmxSoftGbmAllocatorClass;

G_DEFINE_TYPE(NmxSoftGbmAllocator, nmx_soft_gbm_allocator, GST_TYPE_FD_ALLOCATOR)

static GstMemory *nmx_soft_gbm_alloc(GstAllocator *allocator, gsize size, GstAllocationParams *params)
{
  /* mmap gives page alignment, more than any align request. */
  gsize maxsize = size + params->prefix + params->padding;
  int fd = memfd_create("nmx-gbm", MFD_CLOEXEC);
  if (fd < 0) {
    GST_ERROR("memfd_create failed: %s", g_strerror(errno));
    return NULL;
  }
  if (ftruncate(fd, (off_t)maxsize) != 0) {
    GST_ERROR("ftruncate(%" G_GSIZE_FORMAT ") failed: %s", maxsize, g_strerror(errno));
    close(fd);
    return NULL;
  }
  /* The memory owns the fd from here on and closes it when freed. */
  GstMemory *mem = gst_fd_allocator_alloc(allocator, fd, maxsize, GST_FD_MEMORY_FLAG_KEEP_MAPPED);
  if (!mem) {
    close(fd);
    return NULL;
  }
  if (params->prefix || params->padding)
    gst_memory_resize(mem, (gssize)params->prefix, size);
  return mem;
}

static void nmx_soft_gbm_allocator_class_init(NmxSoftGbmAllocatorClass *klass)
{
  GST_ALLOCATOR_CLASS(klass)->alloc = nmx_soft_gbm_alloc;
  GST_DEBUG_CATEGORY_INIT(nmx_soft_gbm_debug, "nmxsoftgbm", 0, "Soft GBM (memfd) memory");
}

static void nmx_soft_gbm_allocator_init(NmxSoftGbmAllocator *self)
{
  /* Not for gst_allocator_find(): only the GBM outputs ask for it. */
  GST_OBJECT_FLAG_SET(self, GST_OBJECT_FLAG_MAY_BE_LEAKED);
}

GstAllocator *nmx_soft_gbm_allocator_get(void)
{
  static GstAllocator *allocator = NULL;
  if (g_once_init_enter(&allocator)) {
    GstAllocator *a = GST_ALLOCATOR(g_object_new(nmx_soft_gbm_allocator_get_type(), NULL));
    gst_object_ref_sink(a);
    g_once_init_leave(&allocator, a);
  }
  return allocator;
}
