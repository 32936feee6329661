// SPDX-License-Identifier: BSD-3-Clause
// GstHarness tests of nmx-korvaframecopy: frames in fd memory are pushed into
// the element with memfd rings and a pipe created here; the rings and the
// pipe are then read back as the receiving process would.
#include "framecopy_test_util.h"

#include <gst/allocators/allocators.h>
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <errno.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace fctest;

namespace {

/* Lines the element logs, captured for the tests that expect (or forbid) one. */
struct LogCapture {
  std::mutex lock;
  std::vector<std::string> lines;
  std::vector<GstDebugLevel> levels;

  size_t count(const std::string &needle, GstDebugLevel level = GST_LEVEL_NONE)
  {
    std::lock_guard<std::mutex> l(lock);
    size_t n = 0;
    for (size_t i = 0; i < lines.size(); i++)
      n += lines[i].find(needle) != std::string::npos && (level == GST_LEVEL_NONE || levels[i] == level);
    return n;
  }
  void clear()
  {
    std::lock_guard<std::mutex> l(lock);
    lines.clear();
    levels.clear();
  }
};
LogCapture g_log;

void capture_log(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint, GObject *,
                 GstDebugMessage *message, gpointer)
{
  if (g_strcmp0(gst_debug_category_get_name(category), "korvaframecopy") != 0)
    return;
  std::lock_guard<std::mutex> l(g_log.lock);
  g_log.lines.emplace_back(gst_debug_message_get(message));
  g_log.levels.push_back(level);
}

constexpr uint32_t kW = 64, kH = 48;
constexpr size_t kFrame = kW * kH * 3 / 2;

/* The parsing test needs memfds at fds 12, 13 and 14 exactly; take them
 * before GStreamer opens anything. */
struct FixedFds {
  bool ok = true;
  FixedFds()
  {
    for (int fd : {12, 13, 14}) {
      if (fcntl(fd, F_GETFD) != -1) {
        ok = false;
        continue;
      }
      int m = make_memfd(kFrame);
      ok = ok && m >= 0 && dup3(m, fd, O_CLOEXEC) == fd;
      close(m);
    }
  }
};
const FixedFds g_fixed_fds;

std::string caps_str(const char *format, uint32_t w = kW, uint32_t h = kH)
{
  return std::string("video/x-raw(memory:GBM),format=") + format + ",width=" + std::to_string(w) +
         ",height=" + std::to_string(h) + ",framerate=30/1";
}

class FrameCopy : public ::testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    gst_init(nullptr, nullptr);
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(capture_log, nullptr, nullptr);
    gst_debug_set_threshold_for_name("korvaframecopy", GST_LEVEL_INFO);
  }

  void SetUp() override
  {
    g_log.clear();
    fd_alloc_ = gst_fd_allocator_new();
    GstElementFactory *f = gst_element_factory_find("nmx-korvaframecopy");
    ASSERT_TRUE(f) << "nmx-korvaframecopy not found on GST_PLUGIN_PATH";
    gst_object_unref(f);
    h_ = gst_harness_new("nmx-korvaframecopy");
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    ipc_r_ = p[0];
    ipc_w_ = p[1];
  }

  void TearDown() override
  {
    if (h_)
      gst_harness_teardown(h_);
    gst_object_unref(fd_alloc_);
    for (int fd : ring_)
      close(fd);
    if (ipc_r_ >= 0)
      close(ipc_r_);
    if (ipc_w_ >= 0)
      close(ipc_w_);
  }

  void make_ring(int n, size_t size = kFrame)
  {
    std::string text;
    for (int i = 0; i < n; i++) {
      ring_.push_back(make_memfd(size, "ring"));
      ASSERT_GE(ring_.back(), 0);
      text += (i ? "," : "") + std::to_string(ring_.back());
    }
    g_object_set(h_->element, "ring-copy", TRUE, "ring-fds", text.c_str(), NULL);
  }

  /* A frame in fd memory with @content; a video meta when offsets are given. */
  GstBuffer *fd_buffer(const std::vector<uint8_t> &content, guint64 offset = GST_BUFFER_OFFSET_NONE,
                       GstClockTime pts = GST_CLOCK_TIME_NONE, const gsize *plane_offsets = nullptr,
                       const gint *strides = nullptr, const char *format = "NV12")
  {
    int fd = make_memfd(content.size(), "src");
    EXPECT_TRUE(write_fd(fd, 0, content));
    GstBuffer *buf = gst_buffer_new();
    gst_buffer_append_memory(buf, gst_fd_allocator_alloc(fd_alloc_, fd, content.size(), GST_FD_MEMORY_FLAG_NONE));
    GST_BUFFER_OFFSET(buf) = offset;
    GST_BUFFER_PTS(buf) = pts;
    if (plane_offsets)
      gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, gst_video_format_from_string(format), kW, kH,
                                     2, const_cast<gsize *>(plane_offsets), const_cast<gint *>(strides));
    return buf;
  }

  /* Pushes and pulls one buffer; the element is synchronous, so afterwards
   * the ring and the pipe hold everything this frame produced. */
  void push_through(GstBuffer *buf)
  {
    gst_buffer_ref(buf);
    ASSERT_EQ(gst_harness_push(h_, buf), GST_FLOW_OK);
    GstBuffer *out = gst_harness_try_pull(h_);
    ASSERT_EQ(out, buf) << "the buffer must pass unchanged";
    gst_buffer_unref(out);
    gst_buffer_unref(buf);
  }

  std::vector<Record> read_records()
  {
    std::vector<Record> recs;
    uint8_t b[kRecordSize * 16];
    for (;;) {
      ssize_t n = read(ipc_r_, b, sizeof(b));
      if (n <= 0)
        break;
      EXPECT_EQ(n % kRecordSize, 0u) << "records are written whole";
      for (ssize_t i = 0; i + (ssize_t)kRecordSize <= n; i += kRecordSize)
        recs.push_back(decode_record(b + i));
    }
    return recs;
  }

  template <typename T>
  T prop(const char *name)
  {
    T v{};
    g_object_get(h_->element, name, &v, NULL);
    return v;
  }

  GstHarness *h_ = nullptr;
  GstAllocator *fd_alloc_ = nullptr;
  std::vector<int> ring_;
  int ipc_r_ = -1, ipc_w_ = -1;
};

TEST_F(FrameCopy, RingFdsTextIsParsedLeniently)
{
  ASSERT_TRUE(g_fixed_fds.ok) << "fds 12-14 were already open when the test started";
  const char *text = " 12, 13 ,x,-4,,14";
  g_object_set(h_->element, "ring-copy", TRUE, "ring-fds", text, "ring-ipc-fd", ipc_w_, NULL);
  gchar *back = nullptr;
  g_object_get(h_->element, "ring-fds", &back, NULL);
  EXPECT_STREQ(back, text);
  g_free(back);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());

  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 4; i++) {
    frames.push_back(random_bytes(kFrame, 100 + i));
    push_through(fd_buffer(frames.back(), i));
  }
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 4u);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(recs[i].slot, (uint32_t)(i % 3)) << "a ring of three fds";
  /* Frame 3 overwrote slot 0 (fd 12); frames 1 and 2 are still in 13 and 14. */
  EXPECT_EQ(read_fd(12, 0, kFrame), frames[3]);
  EXPECT_EQ(read_fd(13, 0, kFrame), frames[1]);
  EXPECT_EQ(read_fd(14, 0, kFrame), frames[2]);

  /* Out-of-range and trailing text: only 12 is left, so every frame lands there. */
  g_object_set(h_->element, "ring-fds", "99999999999, 12abc ,", NULL);
  frames.push_back(random_bytes(kFrame, 200));
  push_through(fd_buffer(frames.back(), 7));
  recs = read_records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].slot, 0u);
  EXPECT_EQ(recs[0].frame_id, 7u);
  EXPECT_EQ(read_fd(12, 0, kFrame), frames.back());
}

TEST_F(FrameCopy, EmptyRingPassesBuffersUntouched)
{
  g_object_set(h_->element, "ring-copy", TRUE, "ring-fds", " , ,", "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  auto content = random_bytes(kFrame, 1);
  GstBuffer *buf = fd_buffer(content, 4, 40 * GST_MSECOND);
  gst_buffer_ref(buf);
  push_through(buf);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(buf, &map, GST_MAP_READ));
  EXPECT_EQ(0, memcmp(map.data, content.data(), content.size()));
  gst_buffer_unmap(buf, &map);
  gst_buffer_unref(buf);
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(prop<guint64>("last-frame-id"), 0u);
  EXPECT_EQ(prop<guint>("last-slot"), 0u);
  EXPECT_EQ(prop<guint64>("last-pts"), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(g_log.count("ring-copy:"), 0u) << "no copy may be attempted";
}

TEST_F(FrameCopy, SlotsFollowOffsetsOrTheLocalCounter)
{
  make_ring(3);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  std::vector<std::vector<uint8_t>> frames;
  for (guint64 i = 0; i < 5; i++) {
    frames.push_back(random_bytes(kFrame, (uint32_t)i));
    push_through(fd_buffer(frames.back(), i, i * 33 * GST_MSECOND));
  }
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 5u);
  for (uint32_t i = 0; i < 5; i++) {
    EXPECT_EQ(recs[i].frame_id, i);
    EXPECT_EQ(recs[i].slot, i % 3);
    EXPECT_EQ(recs[i].width, kW);
    EXPECT_EQ(recs[i].height, kH);
    EXPECT_EQ(recs[i].format, 12u);
    EXPECT_EQ(recs[i].stride0, kW);
    EXPECT_EQ(recs[i].stride1, kW);
    EXPECT_EQ(recs[i].offset0, 0u);
    EXPECT_EQ(recs[i].offset1, kW * kH);
    EXPECT_EQ(recs[i].plane0_rows, kH);
  }
  EXPECT_EQ(read_fd(ring_[0], 0, kFrame), frames[3]);
  EXPECT_EQ(read_fd(ring_[1], 0, kFrame), frames[4]);
  EXPECT_EQ(read_fd(ring_[2], 0, kFrame), frames[2]);
  EXPECT_EQ(prop<guint64>("last-frame-id"), 4u);
  EXPECT_EQ(prop<guint>("last-slot"), 1u);
  EXPECT_EQ(prop<guint64>("last-pts"), 4 * 33 * GST_MSECOND);

  /* Without an offset the local counter numbers the frames, from 0 again
   * after every change of the ring. */
  for (int i = 0; i < 2; i++)
    push_through(fd_buffer(random_bytes(kFrame, 50 + i)));
  gchar *text = nullptr;
  g_object_get(h_->element, "ring-fds", &text, NULL);
  g_object_set(h_->element, "ring-fds", text, NULL);
  g_free(text);
  EXPECT_EQ(prop<guint64>("last-pts"), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(prop<guint64>("last-frame-id"), 0u);
  push_through(fd_buffer(random_bytes(kFrame, 60)));
  recs = read_records();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0].frame_id, 0u);
  EXPECT_EQ(recs[1].frame_id, 1u);
  EXPECT_EQ(recs[1].slot, 1u);
  EXPECT_EQ(recs[2].frame_id, 0u);
  EXPECT_EQ(recs[2].slot, 0u);
}

TEST_F(FrameCopy, LastPtsIsNoneBeforeTheFirstCopy)
{
  /* Declared default 0, but "nothing copied yet" must not look like PTS 0. */
  EXPECT_EQ(prop<guint64>("last-pts"), GST_CLOCK_TIME_NONE);
  GParamSpec *ps = g_object_class_find_property(G_OBJECT_GET_CLASS(h_->element), "last-pts");
  ASSERT_TRUE(ps);
  EXPECT_EQ(G_PARAM_SPEC_UINT64(ps)->default_value, 0u);
  make_ring(2);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  EXPECT_EQ(prop<guint64>("last-pts"), GST_CLOCK_TIME_NONE);
  push_through(fd_buffer(random_bytes(kFrame, 3), 0, 0));
  EXPECT_EQ(prop<guint64>("last-pts"), 0u);
  push_through(fd_buffer(random_bytes(kFrame, 3), 1, 5 * GST_SECOND));
  EXPECT_EQ(prop<guint64>("last-pts"), 5 * GST_SECOND);
}

/* Padded luma (1088 rows allocated for 1080 shown) is reported so that the
 * reader finds chroma; the copy keeps the padded layout. */
TEST_F(FrameCopy, Plane0RowsCountsLumaPadding)
{
  const uint32_t w = 1920, h = 1080;
  const size_t padded = (size_t)w * 1088 * 3 / 2;
  make_ring(2, padded);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12", w, h).c_str());

  struct Case {
    gsize chroma;
    uint32_t rows;
  } cases[] = {{2088960, 1088}, {2073600, 1080}};
  uint64_t id = 0;
  for (const Case &c : cases) {
    auto content = random_bytes(padded, (uint32_t)c.chroma);
    gsize offsets[2] = {0, c.chroma};
    gint strides[2] = {(gint)w, (gint)w};
    int fd = make_memfd(padded, "src");
    ASSERT_TRUE(write_fd(fd, 0, content));
    GstBuffer *buf = gst_buffer_new();
    gst_buffer_append_memory(buf, gst_fd_allocator_alloc(fd_alloc_, fd, padded, GST_FD_MEMORY_FLAG_NONE));
    GST_BUFFER_OFFSET(buf) = id;
    gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, w, h, 2, offsets, strides);
    push_through(buf);
    auto recs = read_records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].plane0_rows, c.rows);
    EXPECT_EQ(recs[0].offset1, (uint32_t)c.chroma);
    EXPECT_EQ(recs[0].stride0, w);
    EXPECT_EQ(recs[0].height, h);
    auto got = read_fd(ring_[recs[0].slot], 0, padded);
    EXPECT_EQ(compare_planes(got, content, w, h, 0, w, (uint32_t)c.chroma, w), "");
    id++;
  }
}

TEST_F(FrameCopy, FormatChangeRebuildsTheOverlay)
{
  const char *kInit = "overlay engine initialized";
  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  EXPECT_EQ(g_log.count(kInit), 1u);
  push_through(fd_buffer(random_bytes(kFrame, 1), 0));
  /* Same format, other size: the overlay is kept. */
  gst_harness_set_src_caps_str(h_, caps_str("NV12", kW, kH - 2).c_str());
  EXPECT_EQ(g_log.count(kInit), 1u);
  gst_harness_set_src_caps_str(h_, caps_str("NV21").c_str());
  EXPECT_EQ(g_log.count(kInit), 2u) << "NV12 -> NV21 must build a new overlay";
  auto content = random_bytes(kFrame, 2);
  push_through(fd_buffer(content, 1));
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].format, 12u);
  EXPECT_EQ(recs[1].format, 21u);
  EXPECT_EQ(read_fd(ring_[1], 0, kFrame), content);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  EXPECT_EQ(g_log.count(kInit), 3u);
}

TEST_F(FrameCopy, FullPipeDropsTheMessageSilently)
{
  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  /* Fill the channel (the element made it non-blocking). */
  ASSERT_TRUE(fcntl(ipc_w_, F_GETFL) & O_NONBLOCK);
  std::vector<uint8_t> junk(4096, 0xee);
  size_t filled = 0;
  for (;;) {
    ssize_t n = write(ipc_w_, junk.data(), junk.size());
    if (n < 0) {
      ASSERT_EQ(errno, EAGAIN);
      break;
    }
    filled += (size_t)n;
  }
  /* A few bytes may still fit; top up one byte at a time. */
  while (write(ipc_w_, junk.data(), 1) == 1)
    filled++;
  auto content = random_bytes(kFrame, 9);
  push_through(fd_buffer(content, 0));
  EXPECT_EQ(read_fd(ring_[0], 0, kFrame), content) << "the copy does not depend on the notification";
  EXPECT_EQ(g_log.count("IPC write failed"), 0u);

  /* Drain: only our filler was there, the dropped record was never written. */
  std::vector<uint8_t> drained(filled + 4096);
  size_t got = 0;
  for (;;) {
    ssize_t n = read(ipc_r_, drained.data() + got, drained.size() - got);
    if (n <= 0)
      break;
    got += (size_t)n;
  }
  EXPECT_EQ(got, filled);
  /* Notifications are still on. */
  push_through(fd_buffer(random_bytes(kFrame, 10), 1));
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].frame_id, 1u);
}

TEST_F(FrameCopy, ClosedPipeTurnsNotificationsOffWithoutSigpipe)
{
  /* The default action, as in gst-launch-1.0: a raised SIGPIPE kills this test. */
  struct sigaction dfl = {}, old = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);

  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  push_through(fd_buffer(random_bytes(kFrame, 1), 0));
  ASSERT_EQ(read_records().size(), 1u);
  close(ipc_r_);
  ipc_r_ = -1;
  std::vector<uint8_t> last;
  for (guint64 i = 1; i < 5; i++) {
    last = random_bytes(kFrame, 20 + (uint32_t)i);
    push_through(fd_buffer(last, i));
  }
  EXPECT_EQ(g_log.count("IPC write failed"), 1u) << "one failure, then no more writes";
  EXPECT_EQ(g_log.count("err=32"), 1u);
  EXPECT_EQ(read_fd(ring_[0], 0, kFrame), last) << "copies go on";
  EXPECT_EQ(prop<guint64>("last-frame-id"), 4u);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "no SIGPIPE may be left pending";

  /* Setting the property again turns notifications back on. */
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  g_object_set(h_->element, "ring-ipc-fd", p[1], NULL);
  EXPECT_EQ(prop<gint>("ring-ipc-fd"), p[1]);
  push_through(fd_buffer(random_bytes(kFrame, 30), 5));
  uint8_t b[kRecordSize];
  ASSERT_EQ(read(p[0], b, sizeof(b)), (ssize_t)kRecordSize);
  EXPECT_EQ(decode_record(b).frame_id, 5u);
  close(p[0]);
  close(p[1]);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(FrameCopy, IpcForcesWaitAndWarnsOnce)
{
  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, "wait", FALSE, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  for (guint64 i = 0; i < 6; i++) {
    auto content = random_bytes(kFrame, 70 + (uint32_t)i);
    push_through(fd_buffer(content, i));
    /* Forced wait: the slot holds the frame as soon as the record is there. */
    auto recs = read_records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(read_fd(ring_[recs[0].slot], 0, kFrame), content);
  }
  EXPECT_EQ(g_log.count("forcing wait for correctness"), 1u);
  EXPECT_EQ(g_log.count("wait=1"), 5u) << "per-frame lines of frames 0..4 show the forced wait";
}

/* Padded rows keep their layout; unwaited copies have all landed once a
 * waited one returns (one queue, in order). */
TEST_F(FrameCopy, StridedFramesAndUnwaitedCopies)
{
  const gint stride = kW + 16;
  const gsize chroma = (gsize)stride * kH + 64;
  const size_t size = chroma + (size_t)stride * kH / 2;
  make_ring(3, size);
  g_object_set(h_->element, "wait", FALSE, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  gsize offsets[2] = {0, chroma};
  gint strides[2] = {stride, stride};
  std::vector<std::vector<uint8_t>> frames;
  for (guint64 i = 0; i < 3; i++) {
    if (i == 2)
      g_object_set(h_->element, "wait", TRUE, NULL);
    frames.push_back(random_bytes(size, 300 + (uint32_t)i));
    push_through(fd_buffer(frames.back(), i, GST_CLOCK_TIME_NONE, offsets, strides));
  }
  EXPECT_EQ(g_log.count("wait=0"), 2u);
  EXPECT_EQ(g_log.count("wait=1"), 1u);
  for (int i = 0; i < 3; i++) {
    auto got = read_fd(ring_[i], 0, size);
    EXPECT_EQ(compare_planes(got, frames[i], kW, kH, 0, stride, (uint32_t)chroma, stride), "") << "slot " << i;
  }
}

TEST_F(FrameCopy, UnusableFramesStillFlow)
{
  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());

  /* Chroma beyond the buffer. */
  gsize offsets[2] = {0, kFrame};
  gint strides[2] = {(gint)kW, (gint)kW};
  push_through(fd_buffer(random_bytes(kFrame, 1), 0, GST_CLOCK_TIME_NONE, offsets, strides));
  EXPECT_EQ(g_log.count("invalid offsets"), 1u);
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(prop<guint64>("last-pts"), GST_CLOCK_TIME_NONE);

  /* A copy the blit library refuses: the failure is logged, nothing is
   * announced, the last-copy fields still move on. */
  gsize odd_offsets[2] = {0, kW * kH};
  gint short_strides[2] = {(gint)kW - 2, (gint)kW};
  push_through(fd_buffer(random_bytes(kFrame, 2), 3, 7 * GST_MSECOND, odd_offsets, short_strides));
  EXPECT_EQ(g_log.count("FullCopyToFd_CL failed"), 1u);
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(prop<guint64>("last-frame-id"), 3u);
  EXPECT_EQ(prop<guint64>("last-pts"), 7 * GST_MSECOND);
}

/* A slot smaller than the layout needs (chroma offset + chroma stride x
 * rows / 2) is skipped with a warning before the blit library is asked;
 * a large enough slot of the same ring still gets its frame. */
TEST_F(FrameCopy, SlotTooSmallForTheLayoutIsSkipped)
{
  int tiny = make_memfd(kFrame - 1, "tiny");
  ring_.push_back(tiny);
  make_ring(1);
  std::string text = std::to_string(tiny) + "," + std::to_string(ring_.back());
  g_object_set(h_->element, "ring-fds", text.c_str(), "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  auto f0 = random_bytes(kFrame, 40), f1 = random_bytes(kFrame, 41);
  push_through(fd_buffer(f0, 0));
  EXPECT_EQ(g_log.count("the frame needs " + std::to_string(kFrame)), 1u);
  EXPECT_EQ(g_log.count("FullCopyToFd_CL failed"), 0u) << "the blit library is not asked";
  EXPECT_EQ(g_log.count("rc="), 0u);
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(read_fd(tiny, 0, 16), std::vector<uint8_t>(16, 0)) << "nothing written into the small slot";
  push_through(fd_buffer(f1, 1));
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].slot, 1u);
  EXPECT_EQ(read_fd(ring_.back(), 0, kFrame), f1);

  /* A strided layout: the chroma rows reach further than width x height x 1.5. */
  const gint stride = kW + 32;
  gsize offsets[2] = {0, (gsize)stride * kH};
  gint strides[2] = {stride, stride};
  const size_t need = (size_t)stride * kH * 3 / 2;
  int mid = make_memfd(need - 8, "mid");
  ring_.push_back(mid);
  text = std::to_string(mid);
  g_object_set(h_->element, "ring-fds", text.c_str(), NULL);
  g_log.clear();
  push_through(fd_buffer(random_bytes(need, 42), 0, GST_CLOCK_TIME_NONE, offsets, strides));
  EXPECT_EQ(g_log.count("the frame needs " + std::to_string(need)), 1u);
  EXPECT_TRUE(read_records().empty());
}

/* Frames in system memory under GBM caps (no fd to hand to the blit
 * library) are copied from their mapping: every frame reaches its slot and
 * is announced, and the fallback is said once, at warning level. */
TEST_F(FrameCopy, SystemMemoryFramesAreCopiedFromTheirMapping)
{
  make_ring(2);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  std::vector<std::vector<uint8_t>> frames;
  for (guint64 i = 0; i < 3; i++) {
    frames.push_back(random_bytes(kFrame, 50 + (uint32_t)i));
    GstBuffer *sys = gst_buffer_new_allocate(nullptr, kFrame, nullptr);
    gst_buffer_fill(sys, 0, frames.back().data(), kFrame);
    GST_BUFFER_OFFSET(sys) = i;
    GST_BUFFER_PTS(sys) = i * GST_MSECOND;
    push_through(sys);
  }
  auto recs = read_records();
  ASSERT_EQ(recs.size(), 3u);
  for (guint64 i = 0; i < 3; i++) {
    EXPECT_EQ(recs[i].frame_id, i);
    EXPECT_EQ(recs[i].slot, i % 2);
    EXPECT_EQ(recs[i].offset1, kW * kH);
  }
  EXPECT_EQ(read_fd(ring_[0], 0, kFrame), frames[2]);
  EXPECT_EQ(read_fd(ring_[1], 0, kFrame), frames[1]);
  EXPECT_EQ(g_log.count("no dmabuf/fd memory", GST_LEVEL_WARNING), 1u) << "said once, as a warning";
  EXPECT_EQ(g_log.count("failed to get dmabuf"), 0u);
  EXPECT_EQ(prop<guint64>("last-frame-id"), 2u);
  EXPECT_EQ(prop<guint64>("last-pts"), 2 * GST_MSECOND);

  /* A mapped frame shorter than its layout is refused, not read past. */
  GstBuffer *shortbuf = gst_buffer_new_allocate(nullptr, kFrame - 8, nullptr);
  GST_BUFFER_OFFSET(shortbuf) = 3;
  push_through(shortbuf);
  EXPECT_EQ(g_log.count("does not fit"), 1u);
  EXPECT_TRUE(read_records().empty());
}

TEST_F(FrameCopy, PropertiesRaceWithStreaming)
{
  make_ring(3);
  g_object_set(h_->element, "ring-ipc-fd", ipc_w_, NULL);
  gst_harness_set_src_caps_str(h_, caps_str("NV12").c_str());
  std::string full = std::to_string(ring_[0]) + "," + std::to_string(ring_[1]) + "," + std::to_string(ring_[2]);
  std::string one = std::to_string(ring_[1]);
  std::atomic<bool> stop{false};
  std::thread app([&] {
    for (int i = 0; !stop; i++) {
      g_object_set(h_->element, "ring-fds", (i & 1) ? one.c_str() : full.c_str(), NULL);
      guint64 id = 0, pts = 0;
      guint slot = 0;
      g_object_get(h_->element, "last-frame-id", &id, "last-slot", &slot, "last-pts", &pts, NULL);
      EXPECT_LT(slot, 3u);
    }
  });
  for (int i = 0; i < 200; i++) {
    push_through(fd_buffer(random_bytes(kFrame, (uint32_t)i)));
    for (const Record &r : read_records()) {
      EXPECT_LT(r.slot, 3u);
      EXPECT_TRUE(r.slot == r.frame_id % 3 || r.slot == 0) << "slot must be the id modulo the ring in use";
    }
  }
  stop = true;
  app.join();
}

}  // namespace
