// SPDX-License-Identifier: BSD-3-Clause
// The receiving side as a real separate process: this test owns a ring of
// memfds and a notification pipe, starts a gst-launch-1.0 child that inherits
// them, feeds it I420 frames through a pipe and checks every 44-byte record
// and the NV12/NV21 bytes the child copied into the ring.
#include "framecopy_test_util.h"

#include <glib.h>

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char **environ;

using namespace fctest;

namespace {

struct I420Frame {
  std::vector<uint8_t> bytes;
};

/* What qtivtransform makes of an I420 frame: the same luma, chroma
 * interleaved (U first for NV12, V first for NV21), default layout. */
std::vector<uint8_t> to_semi_planar(const std::vector<uint8_t> &i420, uint32_t w, uint32_t h, bool nv21)
{
  const size_t y = (size_t)w * h, c = (size_t)(w / 2) * (h / 2);
  std::vector<uint8_t> out(y + 2 * c);
  memcpy(out.data(), i420.data(), y);
  const uint8_t *u = &i420[y], *v = &i420[y + c];
  for (size_t i = 0; i < c; i++) {
    out[y + 2 * i] = nv21 ? v[i] : u[i];
    out[y + 2 * i + 1] = nv21 ? u[i] : v[i];
  }
  return out;
}

bool write_all(int fd, const std::vector<uint8_t> &data)
{
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += (size_t)n;
  }
  return true;
}

/* Waits for one whole record; false on end of stream or the safety limit. */
bool read_record(int fd, Record *rec)
{
  uint8_t b[kRecordSize];
  size_t got = 0;
  while (got < kRecordSize) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, 120 * 1000);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return false;
    ssize_t n = read(fd, b + got, kRecordSize - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    got += (size_t)n;
  }
  *rec = decode_record(b);
  return true;
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override
  {
    /* This process writes frames to the child; a dead child must show up as
     * a failed write, not kill the test. The child gets the default back. */
    signal(SIGPIPE, SIG_IGN);
  }

  void TearDown() override
  {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : ring_)
      close(fd);
    for (int fd : {input_w_, notify_r_, log_fd_})
      if (fd >= 0)
        close(fd);
  }

  /* Starts "fdsrc ! rawvideoparse ! videorate ! qtivtransform ! GBM caps !
   * nmx-korvaframecopy ! fakesink" with the ring, the write end of the
   * notification pipe and the read end of the frame pipe inherited.
   * videorate numbers the frames (buffer offsets 0, 1, ...). */
  void start(uint32_t w, uint32_t h, const char *format, int ring_size, const char *input_format = "i420")
  {
    w_ = w;
    h_ = h;
    nv12_input_ = strcmp(input_format, "nv12") == 0;
    const size_t out_size = (size_t)w * h * 3 / 2;
    std::string fds;
    for (int i = 0; i < ring_size; i++) {
      ring_.push_back(make_memfd(out_size, "ring"));
      ASSERT_GE(ring_.back(), 0);
      fds += (i ? "," : "") + std::to_string(ring_.back());
    }
    int in[2], ipc[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(ipc, O_CLOEXEC), 0);
    log_fd_ = make_memfd(0, "child-log");
    ASSERT_GE(log_fd_, 0);

    std::string desc = std::string(FRAMECOPY_GST_LAUNCH) + " -q fdsrc fd=" + std::to_string(in[0]) +
                       " ! rawvideoparse format=" + input_format + " width=" + std::to_string(w) + " height=" + std::to_string(h) +
                       " framerate=30/1 ! videorate ! qtivtransform ! video/x-raw(memory:GBM),format=" + format +
                       " ! nmx-korvaframecopy ring-copy=true ring-fds=" + fds +
                       " ring-ipc-fd=" + std::to_string(ipc[1]) + " ! fakesink";
    gchar **argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(desc.c_str(), nullptr, &argv, nullptr));
    std::vector<std::string> env_store;
    for (char **e = environ; *e; e++)
      if (strncmp(*e, "GST_DEBUG", 9) != 0)
        env_store.emplace_back(*e);
    env_store.emplace_back("GST_DEBUG=korvaframecopy:2");
    env_store.emplace_back("GST_DEBUG_NO_COLOR=1");
    std::vector<char *> envp;
    for (auto &s : env_store)
      envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<int> inherit = ring_;
    inherit.push_back(in[0]);
    inherit.push_back(ipc[1]);

    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      /* Only async-signal-safe calls until exec. */
      for (int fd : inherit)
        fcntl(fd, F_SETFD, 0);
      dup2(log_fd_, 2);
      /* As a shell would start it: SIGPIPE kills unless the element copes. */
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    g_strfreev(argv);
    close(in[0]);
    close(ipc[1]);
    input_w_ = in[1];
    notify_r_ = ipc[0];
  }

  std::vector<uint8_t> source_frame(int i) { return random_bytes((size_t)w_ * h_ * 3 / 2, 1000 + i); }

  /* Waits for the child; returns its wait status. */
  int finish()
  {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  std::string child_log()
  {
    off_t end = lseek(log_fd_, 0, SEEK_END);
    auto v = read_fd(log_fd_, 0, end > 0 ? (size_t)end : 0);
    return std::string(v.begin(), v.end());
  }

  static size_t count(const std::string &text, const std::string &needle)
  {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
      n++;
    return n;
  }

  /* Feeds @frames frames, one ahead of the records (videorate holds one
   * back), checking each record and slot before its slot can be reused. */
  void run_and_check(int frames, bool nv21)
  {
    const int ring_size = (int)ring_.size();
    ASSERT_GE(ring_size, 2) << "one frame ahead needs a second slot";
    ASSERT_TRUE(write_all(input_w_, source_frame(0)));
    for (int i = 0; i < frames; i++) {
      if (i + 1 < frames) {
        ASSERT_TRUE(write_all(input_w_, source_frame(i + 1))) << "child gone at frame " << i + 1 << ":\n"
                                                               << child_log();
      } else {
        close(input_w_);
        input_w_ = -1;
      }
      Record r;
      ASSERT_TRUE(read_record(notify_r_, &r)) << "no record for frame " << i << ":\n" << child_log();
      EXPECT_EQ(r.frame_id, (uint64_t)i);
      EXPECT_EQ(r.slot, (uint32_t)(i % ring_size));
      EXPECT_EQ(r.width, w_);
      EXPECT_EQ(r.height, h_);
      EXPECT_EQ(r.format, nv21 ? 21u : 12u);
      EXPECT_EQ(r.stride0, w_);
      EXPECT_EQ(r.stride1, w_);
      EXPECT_EQ(r.offset0, 0u);
      EXPECT_EQ(r.offset1, w_ * h_);
      EXPECT_EQ(r.plane0_rows, h_);
      ASSERT_LT(r.slot, (uint32_t)ring_size);
      auto want = nv12_input_ ? source_frame(i) : to_semi_planar(source_frame(i), w_, h_, nv21);
      auto got = read_fd(ring_[r.slot], 0, want.size());
      EXPECT_EQ(compare_planes(got, want, w_, h_, r.offset0, r.stride0, r.offset1, r.stride1), "")
          << "frame " << i;
    }
    Record extra;
    EXPECT_FALSE(read_record(notify_r_, &extra)) << "one record per frame";
    int status = finish();
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status) << ":\n" << child_log();
    EXPECT_EQ(WEXITSTATUS(status), 0) << child_log();
  }

  std::vector<int> ring_;
  int input_w_ = -1, notify_r_ = -1, log_fd_ = -1;
  pid_t pid_ = -1;
  uint32_t w_ = 0, h_ = 0;
  bool nv12_input_ = false;
};

TEST_F(Reader, EveryFullHdNv12FrameReachesItsSlot)
{
  start(1920, 1080, "NV12", 3);
  run_and_check(8, false);
}

TEST_F(Reader, Nv21FramesKeepTheirChromaOrder)
{
  start(640, 360, "NV21", 2);
  run_and_check(5, true);
}

/* NV12 in, NV12 under memory:GBM out: the converter has nothing to convert,
 * yet the frames must reach the ring (they used to pass as system memory
 * and were skipped while the pipeline reported success). */
TEST_F(Reader, SameFormatUnderGbmCapsStillReachesTheRing)
{
  start(640, 360, "NV12", 2, "nv12");
  run_and_check(5, false);
  const std::string log = child_log();
  EXPECT_EQ(count(log, "failed to get dmabuf"), 0u) << log;
  EXPECT_EQ(count(log, "no dmabuf/fd memory"), 0u) << "the transform hands on fd memory:\n" << log;
}

TEST_F(Reader, ClosedPipeEndsNotificationsAndTheStreamGoesOn)
{
  const int frames = 6;
  start(320, 240, "NV12", 2);
  ASSERT_TRUE(write_all(input_w_, source_frame(0)));
  ASSERT_TRUE(write_all(input_w_, source_frame(1)));
  Record r;
  ASSERT_TRUE(read_record(notify_r_, &r)) << child_log();
  EXPECT_EQ(r.frame_id, 0u);
  /* The reader goes away; the next notification meets a closed pipe. */
  close(notify_r_);
  notify_r_ = -1;
  for (int i = 2; i < frames; i++)
    ASSERT_TRUE(write_all(input_w_, source_frame(i))) << "child died at frame " << i << ":\n" << child_log();
  close(input_w_);
  input_w_ = -1;
  int status = finish();
  std::string log = child_log();
  ASSERT_FALSE(WIFSIGNALED(status)) << "child killed by signal " << WTERMSIG(status) << ":\n" << log;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << log;
  EXPECT_EQ(count(log, "IPC write failed"), 1u) << "after EPIPE nothing more is written:\n" << log;
  /* Copies went on after the reader left: the last frame is in its slot. */
  auto want = to_semi_planar(source_frame(frames - 1), w_, h_, false);
  auto got = read_fd(ring_[(frames - 1) % 2], 0, want.size());
  EXPECT_EQ(compare_planes(got, want, w_, h_, 0, w_, w_ * h_, w_), "");
}

}  // namespace
