// SPDX-License-Identifier: BSD-3-Clause
/**
 * SECTION:element-nmx-korvaframecopy
 *
 * Copies every NV12/NV21 frame into one slot of a ring of DMABUFs owned by
 * another process, then writes a RingIpcMsg saying which slot now holds which
 * frame to that process's pipe or socket. The buffer itself goes downstream
 * unchanged. The element never closes the fds it is given.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=100 ! video/x-raw,format=I420,width=1920,height=1080 ! \
 *       qtivtransform ! "video/x-raw(memory:GBM),format=NV12" ! \
 *       nmx-korvaframecopy ring-copy=true ring-fds=5,6,7 ring-ipc-fd=8 ! fakesink
 */
#include "gstkorvaframecopy.h"

#include <gst/allocators/allocators.h>
#include <gst/video/video.h>

#include <overlay.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/dma-buf.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_korva_frame_copy_debug);
#define GST_CAT_DEFAULT gst_korva_frame_copy_debug

enum {
  PROP_0,
  PROP_RING_COPY,
  PROP_RING_FDS,
  PROP_RING_IPC_FD,
  PROP_WAIT,
  PROP_LAST_FRAME_ID,
  PROP_LAST_SLOT,
  PROP_LAST_PTS,
};

#define DEFAULT_RING_COPY FALSE
#define DEFAULT_RING_FDS NULL
#define DEFAULT_RING_IPC_FD -1
#define DEFAULT_WAIT TRUE
#define DEFAULT_LAST_FRAME_ID 0
#define DEFAULT_LAST_SLOT 0
#define DEFAULT_LAST_PTS 0

/* The blit library's value for its OpenCL path. */
#define KORVA_BLIT_TYPE_OPENCL 1

#define KORVA_FORMAT_NV12 0
#define KORVA_FORMAT_NV21 1

#define KORVA_FRAME_COPY_CAPS "video/x-raw(memory:GBM), format=(string){ NV12, NV21 }"

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(KORVA_FRAME_COPY_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(KORVA_FRAME_COPY_CAPS));

/* Everything here is guarded by lock: properties arrive on the application
 * thread while the streaming thread copies. */
struct _KorvaFrameCopyPriv {
  GMutex lock;
  GstVideoInfo info;
  gint info_valid = 0;
  gint format_code = KORVA_FORMAT_NV12;
  overlay::Overlay *overlay = nullptr;
  std::vector<int> ring;
  gint ipc_fd = -1;
  guint64 frame_counter = 0;
  gint ipc_warned = 0;
  gint nofd_warned = 0;  // set once the copy-from-mapped-memory warning has been logged
  guint64 last_frame_id = 0;
  guint last_slot = 0;
  GstClockTime last_pts = GST_CLOCK_TIME_NONE;

  _KorvaFrameCopyPriv()
  {
    g_mutex_init(&lock);
    gst_video_info_init(&info);
  }
  ~_KorvaFrameCopyPriv()
  {
    delete overlay;
    g_mutex_clear(&lock);
  }
};

#define gst_korva_frame_copy_parent_class parent_class
G_DEFINE_TYPE(GstKorvaFrameCopy, gst_korva_frame_copy, GST_TYPE_ELEMENT)

/* Comma-separated fds; blanks around each piece, empty pieces, pieces that do
 * not start with a number, numbers beyond int and negative values are
 * skipped. Text after a piece's leading number is ignored. */
static std::vector<int> parse_ring_fds(const gchar *text)
{
  std::vector<int> fds;
  if (!text)
    return fds;
  gchar **pieces = g_strsplit(text, ",", -1);
  for (gchar **p = pieces; *p; p++) {
    std::string piece(*p);
    size_t b = 0, e = piece.size();
    while (b < e && std::isspace((unsigned char)piece[b]))
      b++;
    while (e > b && std::isspace((unsigned char)piece[e - 1]))
      e--;
    if (b == e)
      continue;
    piece = piece.substr(b, e - b);
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(piece.c_str(), &end, 10);
    if (end == piece.c_str() || errno == ERANGE || v < INT_MIN || v > INT_MAX)
      continue;
    if (v >= 0)
      fds.push_back((int)v);
  }
  g_strfreev(pieces);
  return fds;
}

static void best_effort_set_nonblock(int fd)
{
  if (fd < 0)
    return;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK))
    (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

static size_t get_fd_size_best_effort(int fd)
{
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0)
    return (size_t)st.st_size;
  off_t cur = lseek(fd, 0, SEEK_CUR);
  if (cur < 0)
    return 0;
  off_t end = lseek(fd, 0, SEEK_END);
  lseek(fd, cur, SEEK_SET);
  return end > 0 ? (size_t)end : 0;
}

/* First DMABUF block with an fd and a size, else the first such fd block. */
static gboolean get_dmabuf_fd_and_size(GstBuffer *buf, int *fd, size_t *size)
{
  guint n = gst_buffer_n_memory(buf);
  for (int pass = 0; pass < 2; pass++) {
    for (guint i = 0; i < n; i++) {
      GstMemory *mem = gst_buffer_peek_memory(buf, i);
      gboolean match = pass == 0 ? gst_is_dmabuf_memory(mem) : gst_is_fd_memory(mem);
      if (!match)
        continue;
      int f = gst_fd_memory_get_fd(mem);
      if (f >= 0 && mem->maxsize != 0) {
        *fd = f;
        *size = mem->maxsize;
        return TRUE;
      }
    }
  }
  return FALSE;
}

/* Bytes the frame's layout reaches into a buffer: the end of the luma rows
 * or of the chroma rows, whichever lies further. */
static guint64 layout_bytes(guint h, guint s0, guint s1, guint o0, guint o1)
{
  const guint64 luma = (guint64)o0 + (guint64)s0 * h;
  const guint64 chroma = (guint64)o1 + (guint64)s1 * ((h + 1) / 2);
  return luma > chroma ? luma : chroma;
}

/* DMABUFs want CPU writes bracketed by sync calls; other fds refuse the
 * ioctl, which is harmless. */
static void dmabuf_sync(int fd, gboolean start)
{
  struct dma_buf_sync sync = {};
  sync.flags = (start ? DMA_BUF_SYNC_START : DMA_BUF_SYNC_END) | DMA_BUF_SYNC_WRITE;
  (void)ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync);
}

/* The CPU copy for frames that arrive without fd memory: the planes of the
 * mapped frame are written into @dst_fd with the same layout, as the blit
 * library would. The caller has checked that the layout fits both sides.
 * Returns 0, or a negative errno. */
static int copy_mapped_to_fd(const guint8 *src, int dst_fd, size_t dst_size, guint w, guint h, guint s0, guint s1,
                             guint o0, guint o1)
{
  void *p = mmap(nullptr, dst_size, PROT_READ | PROT_WRITE, MAP_SHARED, dst_fd, 0);
  if (p == MAP_FAILED)
    return -errno;
  guint8 *dst = static_cast<guint8 *>(p);
  dmabuf_sync(dst_fd, TRUE);
  const struct {
    guint offset, stride, rows, bytes;
  } planes[2] = {{o0, s0, h, w}, {o1, s1, (h + 1) / 2, (w + 1) / 2 * 2}};
  for (const auto &pl : planes) {
    if (pl.stride == pl.bytes) {
      memcpy(dst + pl.offset, src + pl.offset, (size_t)pl.stride * pl.rows);
      continue;
    }
    for (guint r = 0; r < pl.rows; r++)
      memcpy(dst + pl.offset + (size_t)r * pl.stride, src + pl.offset + (size_t)r * pl.stride, pl.bytes);
  }
  dmabuf_sync(dst_fd, FALSE);
  munmap(p, dst_size);
  return 0;
}

/* A host that keeps the default SIGPIPE action (gst-launch-1.0 does) would be
 * killed by a write to a pipe whose reader has gone, before EPIPE ever comes
 * back. Block the signal around the write and consume the one the write
 * raised, so that only the errno remains. */
static ssize_t write_without_sigpipe(int fd, const void *data, size_t len, int *err)
{
  sigset_t pipe_set, old_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigemptyset(&pending);
  sigpending(&pending);
  /* One already pending belongs to someone else and is left alone. */
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t n = write(fd, data, len);
  *err = n < 0 ? errno : 0;
  if (n < 0 && *err == EPIPE && !was_pending) {
    const struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  return n;
}

/* Called with priv->lock held. */
static gboolean update_video_info_from_caps(GstKorvaFrameCopy *self, GstCaps *caps)
{
  KorvaFrameCopyPriv *priv = self->priv;
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    GST_ERROR_OBJECT(self, "Failed to parse caps into GstVideoInfo");
    return FALSE;
  }
  gint code;
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_NV12: code = KORVA_FORMAT_NV12; break;
    case GST_VIDEO_FORMAT_NV21: code = KORVA_FORMAT_NV21; break;
    default:
      GST_ERROR_OBJECT(self, "Unsupported format=%s", GST_VIDEO_INFO_NAME(&info));
      return FALSE;
  }
  if (priv->overlay && code != priv->format_code) {
    delete priv->overlay;
    priv->overlay = nullptr;
  }
  priv->info = info;
  priv->format_code = code;
  priv->info_valid = 1;
  return TRUE;
}

/* Called with priv->lock held. */
static void ensure_overlay_ready(GstKorvaFrameCopy *self)
{
  KorvaFrameCopyPriv *priv = self->priv;
  if (!priv->info_valid || priv->overlay)
    return;
  overlay::Overlay *ov = new overlay::Overlay();
  int ret = ov->Init(static_cast<overlay::OverlayBlitType>(KORVA_BLIT_TYPE_OPENCL));
  if (ret != 0) {
    GST_ERROR_OBJECT(self, "Overlay::Init(OpenCL) failed ret=%d", ret);
    delete ov;
    return;
  }
  priv->overlay = ov;
  GST_INFO_OBJECT(self, "korvaframecopy overlay engine initialized (OpenCL)");
}

static GstFlowReturn gst_korva_frame_copy_chain(GstPad *pad, GstObject *parent, GstBuffer *buf)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(parent);
  KorvaFrameCopyPriv *priv = self->priv;
  if (!priv) {
    gst_buffer_unref(buf);
    return GST_FLOW_ERROR;
  }

  gboolean active, ipc, wait;
  gint ipc_fd = -1, format_code = KORVA_FORMAT_NV12;
  overlay::Overlay *ov = nullptr;
  std::vector<int> ring;
  GstVideoInfo info;
  gst_video_info_init(&info);
  g_mutex_lock(&priv->lock);
  active = self->ring_copy && !priv->ring.empty() && priv->info_valid;
  ipc = active && priv->ipc_fd >= 0;
  wait = self->wait;
  if (ipc && !wait && !priv->ipc_warned) {
    GST_WARNING_OBJECT(self, "ring-copy: IPC enabled but wait=false; forcing wait for correctness");
    priv->ipc_warned = 1;
  }
  if (active) {
    ensure_overlay_ready(self);
    ov = priv->overlay;
    ring = priv->ring;
    info = priv->info;
    format_code = priv->format_code;
    ipc_fd = priv->ipc_fd;
  }
  g_mutex_unlock(&priv->lock);

  /* The overlay is only replaced or deleted by the caps event and finalize,
   * both serialised with this function, so the copy is safe to use unlocked. */
  if (active && ov) {
    int src_fd = -1;
    size_t src_size = 0;
    GstMapInfo map = GST_MAP_INFO_INIT;
    gboolean mapped = FALSE;
    if (!get_dmabuf_fd_and_size(buf, &src_fd, &src_size)) {
      /* No fd to hand to the blit library (system memory under GBM caps):
       * the frame is copied from its mapping instead, so the reader still
       * gets every frame. */
      const gboolean readable = gst_buffer_map(buf, &map, GST_MAP_READ);
      if (!readable || map.size == 0) {
        if (readable)
          gst_buffer_unmap(buf, &map);
        GST_WARNING_OBJECT(self, "ring-copy: failed to get dmabuf fd/size");
        goto push;
      }
      mapped = TRUE;
      src_size = map.size;
      g_mutex_lock(&priv->lock);
      const gboolean first = !priv->nofd_warned;
      priv->nofd_warned = 1;
      g_mutex_unlock(&priv->lock);
      if (first)
        GST_WARNING_OBJECT(self, "ring-copy: buffer has no dmabuf/fd memory; copying from mapped memory on the CPU");
    }
    {  // the copy itself; the skips above and below leave through done

      guint w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
      guint s0, s1, o0, o1;
      GstVideoMeta *meta = gst_buffer_get_video_meta(buf);
      if (meta && meta->n_planes >= 2) {
        s0 = meta->stride[0];
        s1 = meta->stride[1];
        o0 = (guint)meta->offset[0];
        o1 = (guint)meta->offset[1];
      } else {
        s0 = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
        s1 = GST_VIDEO_INFO_PLANE_STRIDE(&info, 1);
        o0 = (guint)GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
        o1 = (guint)GST_VIDEO_INFO_PLANE_OFFSET(&info, 1);
      }
      if (w == 0 || h == 0 || s0 == 0 || s1 == 0) {
        GST_WARNING_OBJECT(self, "ring-copy: invalid video layout w=%u h=%u s0=%u s1=%u", w, h, s0, s1);
        goto done;
      }
      if (o0 >= src_size || o1 >= src_size) {
        GST_WARNING_OBJECT(self, "ring-copy: invalid offsets o0=%u o1=%u dmabuf=%zu", o0, o1, src_size);
        goto done;
      }
      /* Our own copy reads the mapping directly: the whole layout must lie in it. */
      if (mapped && (s0 < w || s1 < (w + 1) / 2 * 2 || layout_bytes(h, s0, s1, o0, o1) > src_size)) {
        GST_WARNING_OBJECT(self, "ring-copy: layout s0=%u s1=%u o0=%u o1=%u does not fit the %zu-byte buffer", s0, s1,
                           o0, o1, src_size);
        goto done;
      }

      guint64 frame_id;
      if (GST_BUFFER_OFFSET_IS_VALID(buf)) {
        frame_id = GST_BUFFER_OFFSET(buf);
      } else {
        g_mutex_lock(&priv->lock);
        frame_id = priv->frame_counter++;
        g_mutex_unlock(&priv->lock);
      }

      guint slot = (guint)(frame_id % ring.size());
      int dst_fd = ring[slot];
      size_t dst_size = get_fd_size_best_effort(dst_fd);
      gboolean eff_wait = wait || ipc;
      /* A slot too small for the frame is not handed to the blit library,
       * whose behaviour with it is its own. */
      const guint64 needed = layout_bytes(h, s0, s1, o0, o1);
      if (dst_size != 0 && needed > dst_size) {
        GST_WARNING_OBJECT(self, "ring-copy: slot %u (fd %d) holds %zu bytes, the frame needs %" G_GUINT64_FORMAT
                           "; skipped", slot, dst_fd, dst_size, needed);
        goto done;
      }
      if (mapped && dst_size == 0) {
        GST_WARNING_OBJECT(self, "ring-copy: size of slot %u (fd %d) unknown; cannot copy from mapped memory", slot,
                           dst_fd);
        goto done;
      }

      overlay::OverlayTargetBuffer desc;
      desc.format = (uint32_t)format_code;
      desc.width = w;
      desc.height = h;
      desc.offset0 = o0;
      desc.offset1 = o1;
      desc.stride0 = s0;
      desc.stride1 = s1;
      desc.fd = src_fd;
      desc.size = (uint32_t)src_size;
      int rc = mapped ? copy_mapped_to_fd(map.data, dst_fd, dst_size, w, h, s0, s1, o0, o1)
                      : ov->FullCopyToFd_CL(desc, dst_fd, eff_wait ? true : false);

      if (frame_id < 5 || frame_id % 300 == 0 || rc != 0 || (src_size && dst_size && src_size > dst_size))
        GST_WARNING_OBJECT(self,
                           "ring-copy: rc=%d src_fd=%d src_size=%zu dst_fd=%d dst_size=%zu wait=%d w=%u h=%u s0=%u "
                           "s1=%u o0=%u o1=%u",
                           rc, src_fd, src_size, dst_fd, dst_size, eff_wait ? 1 : 0, w, h, s0, s1, o0, o1);

      if (rc != 0) {
        GST_WARNING_OBJECT(self, "ring-copy: FullCopyToFd_CL failed rc=%d (src_fd=%d dst_fd=%d)", rc, src_fd, dst_fd);
      } else if (ipc) {
        RingIpcMsg msg;
        memset(&msg, 0, sizeof(msg));
        msg.frame_id = frame_id;
        msg.slot = slot;
        msg.width = w;
        msg.height = h;
        msg.format = format_code == KORVA_FORMAT_NV21 ? 21 : 12;
        msg.stride0 = s0;
        msg.stride1 = s1;
        msg.offset0 = o0;
        msg.offset1 = o1;
        msg.plane0_rows = h;
        if (s0 != 0 && o1 > o0 && (o1 - o0) / s0 >= h)
          msg.plane0_rows = (o1 - o0) / s0;
        int err = 0;
        ssize_t n = write_without_sigpipe(ipc_fd, &msg, sizeof(msg), &err);
        if (n != (ssize_t)sizeof(msg) && err != EAGAIN) {
          /* A full channel drops this frame's message silently; anything else is worth a line. */
          GST_WARNING_OBJECT(self, "ring-copy: IPC write failed fd=%d err=%d(%s)", ipc_fd, err, g_strerror(err));
          if (err == EPIPE) {
            g_mutex_lock(&priv->lock);
            /* Only the fd that failed: a new "ring-ipc-fd" set meanwhile stays. */
            if (priv->ipc_fd == ipc_fd)
              priv->ipc_fd = -1;
            g_mutex_unlock(&priv->lock);
          }
        }
      }

      g_mutex_lock(&priv->lock);
      priv->last_frame_id = frame_id;
      priv->last_slot = slot;
      priv->last_pts = GST_BUFFER_PTS(buf);
      g_mutex_unlock(&priv->lock);
    }
  done:
    if (mapped)
      gst_buffer_unmap(buf, &map);
  }

push:
  return gst_pad_push(self->srcpad, buf);
}

static gboolean gst_korva_frame_copy_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(parent);
  if (!self->priv || !self->srcpad)
    return gst_pad_event_default(pad, parent, event);
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event, &caps);
    g_mutex_lock(&self->priv->lock);
    if (update_video_info_from_caps(self, caps))
      ensure_overlay_ready(self);
    g_mutex_unlock(&self->priv->lock);
  }
  return gst_pad_push_event(self->srcpad, event);
}

static gboolean gst_korva_frame_copy_src_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(parent);
  if (!self->priv || !self->sinkpad)
    return gst_pad_event_default(pad, parent, event);
  return gst_pad_push_event(self->sinkpad, event);
}

/* Caps and allocation are the neighbours' business: the producer's GBM pool
 * must reach it unchanged. */
static gboolean forward_query(GstKorvaFrameCopy *self, GstPad *pad, GstPad *other, GstObject *parent, GstQuery *query)
{
  if (!self->priv || !other)
    return gst_pad_query_default(pad, parent, query);
  if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS)
    return gst_pad_peer_query(other, query);
  /* The peer may accept anything (or be missing); only what this element
   * handles is offered. */
  GstCaps *caps = nullptr, *filter = nullptr;
  GstCaps *templ = gst_pad_get_pad_template_caps(pad);
  GstCaps *res;
  if (gst_pad_peer_query(other, query)) {
    gst_query_parse_caps_result(query, &caps);
    res = caps ? gst_caps_intersect_full(caps, templ, GST_CAPS_INTERSECT_FIRST) : gst_caps_ref(templ);
  } else {
    gst_query_parse_caps(query, &filter);
    res = filter ? gst_caps_intersect_full(filter, templ, GST_CAPS_INTERSECT_FIRST) : gst_caps_ref(templ);
  }
  gst_query_set_caps_result(query, res);
  gst_caps_unref(res);
  gst_caps_unref(templ);
  return TRUE;
}

static gboolean gst_korva_frame_copy_sink_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(parent);
  return forward_query(self, pad, self->srcpad, parent, query);
}

static gboolean gst_korva_frame_copy_src_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(parent);
  return forward_query(self, pad, self->sinkpad, parent, query);
}

static void gst_korva_frame_copy_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(object);
  KorvaFrameCopyPriv *priv = self->priv;
  if (!priv) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  switch (prop_id) {
    case PROP_RING_COPY:
      g_mutex_lock(&priv->lock);
      self->ring_copy = g_value_get_boolean(value);
      g_mutex_unlock(&priv->lock);
      break;
    case PROP_WAIT:
      g_mutex_lock(&priv->lock);
      self->wait = g_value_get_boolean(value);
      g_mutex_unlock(&priv->lock);
      break;
    case PROP_RING_FDS: {
      gchar *text = g_value_dup_string(value);
      std::vector<int> ring = parse_ring_fds(text);
      g_mutex_lock(&priv->lock);
      g_free(self->ring_fds);
      self->ring_fds = text;
      priv->ring.swap(ring);
      priv->frame_counter = 0;
      priv->last_frame_id = 0;
      priv->last_slot = 0;
      priv->last_pts = GST_CLOCK_TIME_NONE;
      g_mutex_unlock(&priv->lock);
      break;
    }
    case PROP_RING_IPC_FD: {
      gint fd = g_value_get_int(value);
      g_mutex_lock(&priv->lock);
      priv->ipc_fd = fd;
      best_effort_set_nonblock(fd);
      self->ring_ipc_fd = fd;
      g_mutex_unlock(&priv->lock);
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_korva_frame_copy_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(object);
  KorvaFrameCopyPriv *priv = self->priv;
  if (!priv) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    return;
  }
  g_mutex_lock(&priv->lock);
  switch (prop_id) {
    case PROP_RING_COPY: g_value_set_boolean(value, self->ring_copy); break;
    case PROP_RING_FDS: g_value_set_string(value, self->ring_fds); break;
    case PROP_RING_IPC_FD: g_value_set_int(value, self->ring_ipc_fd); break;
    case PROP_WAIT: g_value_set_boolean(value, self->wait); break;
    case PROP_LAST_FRAME_ID: g_value_set_uint64(value, priv->last_frame_id); break;
    case PROP_LAST_SLOT: g_value_set_uint(value, priv->last_slot); break;
    case PROP_LAST_PTS: g_value_set_uint64(value, priv->last_pts); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  g_mutex_unlock(&priv->lock);
}

static void gst_korva_frame_copy_finalize(GObject *object)
{
  GstKorvaFrameCopy *self = GST_KORVA_FRAME_COPY(object);
  delete self->priv;
  self->priv = nullptr;
  g_free(self->ring_fds);
  self->ring_fds = nullptr;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static void gst_korva_frame_copy_class_init(GstKorvaFrameCopyClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(gst_korva_frame_copy_debug, "korvaframecopy", 0, "korvaframecopy element");

  gobject_class->set_property = gst_korva_frame_copy_set_property;
  gobject_class->get_property = gst_korva_frame_copy_get_property;
  gobject_class->finalize = gst_korva_frame_copy_finalize;

  const GParamFlags rw = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const GParamFlags ro = (GParamFlags)(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_RING_COPY,
      g_param_spec_boolean("ring-copy", "Ring Copy", "Enable ring buffer OpenCL fullcopy", DEFAULT_RING_COPY, rw));
  g_object_class_install_property(
      gobject_class, PROP_RING_FDS,
      g_param_spec_string("ring-fds", "Ring FDs", "Comma-separated list of destination ring buffer DMABUF FDs",
                          DEFAULT_RING_FDS, rw));
  g_object_class_install_property(
      gobject_class, PROP_RING_IPC_FD,
      g_param_spec_int("ring-ipc-fd", "Ring IPC FD",
                       "Write-end fd used to notify ROI process; writes packed RingIpcMsg per copied frame", -1,
                       G_MAXINT, DEFAULT_RING_IPC_FD, rw));
  g_object_class_install_property(
      gobject_class, PROP_WAIT,
      g_param_spec_boolean("wait", "Wait for OpenCL",
                           "If true, wait for OpenCL completion (clFinish) before pushing buffer downstream",
                           DEFAULT_WAIT, rw));
  g_object_class_install_property(gobject_class, PROP_LAST_FRAME_ID,
                                  g_param_spec_uint64("last-frame-id", "Last Frame ID",
                                                      "Last copied frame id (local counter)", 0, G_MAXUINT64,
                                                      DEFAULT_LAST_FRAME_ID, ro));
  g_object_class_install_property(gobject_class, PROP_LAST_SLOT,
                                  g_param_spec_uint("last-slot", "Last Ring Slot", "Last copied ring slot index", 0,
                                                    G_MAXUINT, DEFAULT_LAST_SLOT, ro));
  g_object_class_install_property(
      gobject_class, PROP_LAST_PTS,
      g_param_spec_uint64("last-pts", "Last PTS", "PTS (nanoseconds) of the last copied buffer, or GST_CLOCK_TIME_NONE",
                          0, G_MAXUINT64, DEFAULT_LAST_PTS, ro));

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "Korva Frame Copy", "Filter/Effect/Video",
                                        "GPU fullcopy into external ring-buffer DMABUFs (NV12/NV21)", "Korva");
}

static void gst_korva_frame_copy_init(GstKorvaFrameCopy *self)
{
  self->ring_copy = DEFAULT_RING_COPY;
  self->ring_fds = nullptr;
  self->ring_ipc_fd = DEFAULT_RING_IPC_FD;
  self->wait = DEFAULT_WAIT;
  self->priv = new KorvaFrameCopyPriv();

  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_korva_frame_copy_chain));
  gst_pad_set_event_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_korva_frame_copy_sink_event));
  gst_pad_set_query_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_korva_frame_copy_sink_query));
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  GST_PAD_SET_PROXY_ALLOCATION(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_event_function(self->srcpad, GST_DEBUG_FUNCPTR(gst_korva_frame_copy_src_event));
  gst_pad_set_query_function(self->srcpad, GST_DEBUG_FUNCPTR(gst_korva_frame_copy_src_query));
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  GST_PAD_SET_PROXY_ALLOCATION(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}
