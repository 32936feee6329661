// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Shared raw-video conversion core of the soft platform: colour conversion
 * and scaling between the formats the board's converter handles, on libyuv.
 * Used by qtivtransform and qtivsplit (one NmxConverter per output).
 */
#pragma once

#include <gst/video/video.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace nmxsoft {

/* Caps string of the formats the converter reads and writes. */
#define NMX_SOFT_CONVERT_FORMATS "{ NV12, NV21, I420, RGB, BGR, RGBA, BGRA, RGBx, BGRx }"

bool convert_format_supported(GstVideoFormat fmt);

/* FALSE when both are YUV and differ in matrix or range as the converter
 * sees them (then their values must be converted, not copied). */
bool same_yuv_colours(const GstVideoInfo *a, const GstVideoInfo *b);

/* A raw image in memory: the subset of GstVideoFrame the core needs, so that
 * scratch images and mapped frames go through the same code. */
struct Image {
  GstVideoFormat format = GST_VIDEO_FORMAT_UNKNOWN;
  int width = 0;
  int height = 0;
  uint8_t *data[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};

  static Image from_frame(GstVideoFrame *frame);
};

/* A 16-byte aligned image of @fmt in @buf, grown as needed. */
Image scratch_image(std::vector<uint8_t> &buf, GstVideoFormat fmt, int width, int height);

/* One persistent helper thread sharing banded jobs with the calling thread.
 * Bands are taken from a shared counter, so when the helper is not scheduled
 * (a loaded machine) the caller simply converts every band itself instead of
 * waiting for it. Spawning a thread per 1080p frame would cost more than the
 * band it converts. */
class BandWorker {
 public:
  BandWorker();
  ~BandWorker();
  BandWorker(const BandWorker &) = delete;
  BandWorker &operator=(const BandWorker &) = delete;

  /* Runs job(band, thread) for every band in [0, bands); thread is 0 on the
   * caller and 1 on the helper. Returns when all bands are done. One caller
   * at a time. */
  void run(int bands, const std::function<void(int, int)> &job);

 private:
  void loop();

  std::mutex lock_;
  std::condition_variable cond_;
  const std::function<void(int, int)> *job_ = nullptr;
  int bands_ = 0;
  std::atomic<int> next_{0};
  bool taken_ = false;
  bool running_ = false;
  bool quit_ = false;
  std::thread thread_;
};

/* Converts frames of one input GstVideoInfo to one output GstVideoInfo.
 * Not thread safe: the owning element calls it from its streaming thread. */
class Converter {
 public:
  Converter() = default;
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;

  /* Returns false when either side is a format the core does not handle. */
  bool configure(const GstVideoInfo *in, const GstVideoInfo *out);
  bool convert(const Image &src, const Image &dst);
  bool convert_frames(GstVideoFrame *in, GstVideoFrame *out);

  /* Off by default only for tests that want the single-threaded path. */
  void set_threading(bool enabled) { threading_ = enabled; }

 private:
  void convert_same_size(const Image &src, const Image &dst);
  void convert_rows(const Image &src, const Image &dst, int row0, int row1, int thread);
  /* Limited-range YUV band to full range, in the thread's scratch. */
  Image expand_band(const Image &src, int thread);

  GstVideoInfo in_{};
  GstVideoInfo out_{};
  bool configured_ = false;
  bool threading_ = true;
  /* libyuv matrix for YUV->RGB, picked from the input colorimetry. */
  const void *yuv_to_rgb_ = nullptr;
  const void *yvu_to_rgb_ = nullptr;
  /* Limited-range input goes through libyuv's full-range matrices after a
   * table expands it: libyuv's SIMD rows keep the limited-range gains in
   * signed bytes, and BT.709's U->B gain (2.11) does not fit, putting blues
   * up to 14 levels off. */
  bool expand_range_ = false;
  std::vector<uint8_t> expand_tmp_[2];
  /* YUV to YUV with another matrix or range: through RGB, per band. */
  bool recode_ = false;
  std::vector<uint8_t> recode_tmp_[2];
  /* Output colorimetry for RGB->YUV: libyuv only has BT.601 (limited and
   * full range), anything else goes through our fixed-point rows. */
  GstVideoColorMatrix out_matrix_ = GST_VIDEO_COLOR_MATRIX_BT601;
  bool out_full_range_ = false;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> thread_tmp_[2];
  std::unique_ptr<BandWorker> worker_;
};

}  // namespace nmxsoft
