// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * CPU stand-in of the board's blit library: the "OpenCL" full copy becomes
 * a memcpy between mmap'ed fds with the source's offsets and strides, done
 * on the caller's thread when it waits and on a helper thread when it does
 * not. Mappings are cached per fd so that a ring of a few destination
 * buffers and a pool of source buffers are mapped once, not per frame.
 */
#include "overlay.h"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace overlay {

namespace {

/* Enough for a ring plus a buffer pool on each side; beyond it the least
 * recently used mapping goes. A mapping keeps its file alive, so besides
 * that, every kSweepEvery calls one cached entry is checked against its fd
 * and dropped once the fd was closed or now names another file. */
constexpr size_t kMaxMappings = 16;
constexpr unsigned kSweepEvery = 8;

struct Mapping {
  int fd = -1;
  bool writable = false;
  dev_t dev = 0;
  ino_t ino = 0;
  size_t length = 0;
  uint8_t *addr = nullptr;
  /* DMABUFs want CPU access bracketed by sync ioctls; other fds refuse it
   * once and are not asked again. */
  bool sync = true;

  ~Mapping()
  {
    if (addr)
      munmap(addr, length);
  }
};
using MappingRef = std::shared_ptr<Mapping>;

int64_t fd_size(int fd, const struct stat &st)
{
  if (st.st_size > 0)
    return st.st_size;
  off_t cur = lseek(fd, 0, SEEK_CUR);
  off_t end = lseek(fd, 0, SEEK_END);
  if (cur >= 0)
    lseek(fd, cur, SEEK_SET);
  return end > 0 ? end : 0;
}

void sync_access(Mapping &m, bool start)
{
  if (!m.sync)
    return;
  struct dma_buf_sync s = {};
  s.flags = (start ? DMA_BUF_SYNC_START : DMA_BUF_SYNC_END) | (m.writable ? DMA_BUF_SYNC_WRITE : DMA_BUF_SYNC_READ);
  if (ioctl(m.fd, DMA_BUF_IOCTL_SYNC, &s) != 0 && (errno == ENOTTY || errno == EINVAL))
    m.sync = false;
}

struct Geometry {
  uint32_t rows0, rows1, bytes0, bytes1;
  uint64_t end0, end1;
};

bool describe(const OverlayTargetBuffer &d, Geometry *g)
{
  if (d.format > 1 || d.width == 0 || d.height == 0)
    return false;
  g->rows0 = d.height;
  g->rows1 = (d.height + 1) / 2;
  g->bytes0 = d.width;
  g->bytes1 = ((d.width + 1) / 2) * 2;  // interleaved chroma pairs
  if (d.stride0 < g->bytes0 || d.stride1 < g->bytes1)
    return false;
  g->end0 = (uint64_t)d.offset0 + (uint64_t)d.stride0 * (g->rows0 - 1) + g->bytes0;
  g->end1 = (uint64_t)d.offset1 + (uint64_t)d.stride1 * (g->rows1 - 1) + g->bytes1;
  return true;
}

void copy_plane(const uint8_t *src, uint8_t *dst, uint32_t offset, uint32_t stride, uint32_t rows, uint32_t bytes)
{
  src += offset;
  dst += offset;
  if (stride == bytes) {
    memcpy(dst, src, (size_t)stride * rows);
    return;
  }
  for (uint32_t r = 0; r < rows; r++)
    memcpy(dst + (size_t)r * stride, src + (size_t)r * stride, bytes);
}

struct Job {
  MappingRef src, dst;
  OverlayTargetBuffer desc;
  Geometry geo;
};

void run_job(const Job &j)
{
  sync_access(*j.src, true);
  sync_access(*j.dst, true);
  const OverlayTargetBuffer &d = j.desc;
  if (d.stride0 == j.geo.bytes0 && d.stride1 == j.geo.bytes1 &&
      (uint64_t)d.offset1 == (uint64_t)d.offset0 + (uint64_t)d.stride0 * j.geo.rows0) {
    /* Packed frame, chroma right after luma: one copy of the whole span. */
    memcpy(j.dst->addr + d.offset0, j.src->addr + d.offset0, (size_t)(j.geo.end1 - d.offset0));
  } else {
    copy_plane(j.src->addr, j.dst->addr, d.offset0, d.stride0, j.geo.rows0, j.geo.bytes0);
    copy_plane(j.src->addr, j.dst->addr, d.offset1, d.stride1, j.geo.rows1, j.geo.bytes1);
  }
  sync_access(*j.dst, false);
  sync_access(*j.src, false);
}

}  // namespace

struct Overlay::Impl {
  std::mutex call_lock;  // one copy request at a time; guards ready and the cache
  bool ready = false;
  std::list<MappingRef> cache;  // most recently used first
  size_t sweep = 0;
  unsigned calls = 0;

  std::mutex queue_lock;
  std::condition_variable queue_cond;
  std::condition_variable idle_cond;
  std::deque<Job> queue;
  bool busy = false;
  bool quit = false;
  std::thread worker;

  ~Impl()
  {
    if (worker.joinable()) {
      {
        std::lock_guard<std::mutex> l(queue_lock);
        quit = true;
      }
      queue_cond.notify_all();
      worker.join();
    }
  }

  int map(int fd, bool writable, MappingRef *out)
  {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
      return -EBADF;
    int64_t size = fd_size(fd, st);
    for (auto it = cache.begin(); it != cache.end(); ++it) {
      Mapping &m = **it;
      if (m.fd != fd || m.writable != writable)
        continue;
      /* Same number, other file (closed and reused) or resized: map anew. */
      if (m.dev == st.st_dev && m.ino == st.st_ino && (int64_t)m.length == size) {
        cache.splice(cache.begin(), cache, it);
        *out = cache.front();
        return 0;
      }
      cache.erase(it);
      break;
    }
    if (size <= 0)
      return -EINVAL;
    void *p = mmap(nullptr, (size_t)size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
      return -errno;
    auto m = std::make_shared<Mapping>();
    m->fd = fd;
    m->writable = writable;
    m->dev = st.st_dev;
    m->ino = st.st_ino;
    m->length = (size_t)size;
    m->addr = static_cast<uint8_t *>(p);
    cache.push_front(m);
    if (cache.size() > kMaxMappings)
      cache.pop_back();  // a queued job still holds its own reference
    *out = std::move(m);
    return 0;
  }

  /* Every few calls: one fstat per call would be a tenth of a cached 1080p
   * copy, and a stale mapping only holds memory a little longer. */
  void sweep_one()
  {
    if (cache.empty() || ++calls % kSweepEvery != 0)
      return;
    auto it = cache.begin();
    std::advance(it, (long)(sweep++ % cache.size()));
    struct stat st;
    const Mapping &m = **it;
    if (fstat(m.fd, &st) != 0 || st.st_dev != m.dev || st.st_ino != m.ino)
      cache.erase(it);
  }

  void wait_idle()
  {
    std::unique_lock<std::mutex> l(queue_lock);
    idle_cond.wait(l, [this] { return queue.empty() && !busy; });
  }

  void enqueue(Job &&job)
  {
    {
      std::lock_guard<std::mutex> l(queue_lock);
      if (!worker.joinable())
        worker = std::thread([this] { loop(); });
      queue.push_back(std::move(job));
    }
    queue_cond.notify_one();
  }

  void loop()
  {
    std::unique_lock<std::mutex> l(queue_lock);
    for (;;) {
      queue_cond.wait(l, [this] { return quit || !queue.empty(); });
      if (queue.empty())
        return;  // quit only once everything queued has been copied
      Job job = std::move(queue.front());
      queue.pop_front();
      busy = true;
      l.unlock();
      run_job(job);
      job = Job();
      l.lock();
      busy = false;
      if (queue.empty())
        idle_cond.notify_all();
    }
  }
};

Overlay::Overlay() : impl_(new Impl()) {}

Overlay::~Overlay()
{
  delete impl_;
}

int Overlay::Init(OverlayBlitType type)
{
  std::lock_guard<std::mutex> l(impl_->call_lock);
  if (type != kOverlayBlitCpu && type != kOverlayBlitOpenCL)
    return -EINVAL;
  impl_->ready = true;
  return 0;
}

int Overlay::FullCopyToFd_CL(const OverlayTargetBuffer &src, int dst_fd, bool wait)
{
  std::lock_guard<std::mutex> l(impl_->call_lock);
  if (!impl_->ready)
    return -ENODEV;
  Job job;
  job.desc = src;
  if (!describe(src, &job.geo))
    return -EINVAL;
  if (job.geo.end0 > src.size || job.geo.end1 > src.size)
    return -ERANGE;
  int rc = impl_->map(src.fd, false, &job.src);
  if (rc != 0)
    return rc;
  rc = impl_->map(dst_fd, true, &job.dst);
  if (rc != 0)
    return rc;
  /* The declared size may exceed the file; touching past its end would
   * raise SIGBUS instead of failing. */
  impl_->sweep_one();
  if (job.geo.end0 > job.src->length || job.geo.end1 > job.src->length)
    return -ERANGE;
  if (job.geo.end0 > job.dst->length || job.geo.end1 > job.dst->length)
    return -ENOSPC;
  if (!wait) {
    impl_->enqueue(std::move(job));
    return 0;
  }
  /* Earlier unwaited copies land first, as they would on one GPU queue. */
  impl_->wait_idle();
  run_job(job);
  return 0;
}

}  // namespace overlay
