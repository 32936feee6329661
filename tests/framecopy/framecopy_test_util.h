// SPDX-License-Identifier: BSD-3-Clause
// Helpers of the frame copy tests: memfd rings, notification pipes, the
// 44-byte record as the receiving process decodes it, and NV12 reference
// frames.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace fctest {

/* The record as a reader decodes it: explicit little-endian offsets, not the
 * element's struct, so a layout fault in the element shows up here. */
struct Record {
  uint64_t frame_id;
  uint32_t slot, width, height, format, stride0, stride1, offset0, offset1, plane0_rows;
};
constexpr size_t kRecordSize = 44;

inline uint32_t le32(const uint8_t *p)
{
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline Record decode_record(const uint8_t *b)
{
  Record r;
  r.frame_id = (uint64_t)le32(b) | ((uint64_t)le32(b + 4) << 32);
  uint32_t *fields[] = {&r.slot,    &r.width,   &r.height,  &r.format,     &r.stride0,
                        &r.stride1, &r.offset0, &r.offset1, &r.plane0_rows};
  for (int i = 0; i < 9; i++)
    *fields[i] = le32(b + 8 + 4 * i);
  return r;
}

inline int make_memfd(size_t size, const char *name = "fc-test")
{
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd >= 0 && ftruncate(fd, (off_t)size) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline std::vector<uint8_t> read_fd(int fd, size_t offset, size_t len)
{
  std::vector<uint8_t> v(len);
  ssize_t n = pread(fd, v.data(), len, (off_t)offset);
  v.resize(n > 0 ? (size_t)n : 0);
  return v;
}

inline bool write_fd(int fd, size_t offset, const std::vector<uint8_t> &data)
{
  return pwrite(fd, data.data(), data.size(), (off_t)offset) == (ssize_t)data.size();
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i + 4 <= n; i += 4) {
    uint32_t x = gen();
    memcpy(&v[i], &x, 4);
  }
  for (size_t i = n & ~(size_t)3; i < n; i++)
    v[i] = (uint8_t)gen();
  return v;
}

/* Compares the picture bytes of an NV12/NV21 frame laid out with the given
 * offsets and strides in @got against @want (same layout); padding between
 * rows is not part of the frame. Returns "" or the first difference. */
inline std::string compare_planes(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want, uint32_t w,
                                  uint32_t h, uint32_t o0, uint32_t s0, uint32_t o1, uint32_t s1)
{
  struct Plane {
    uint32_t off, stride, rows, bytes;
  } planes[2] = {{o0, s0, h, w}, {o1, s1, (h + 1) / 2, (w + 1) / 2 * 2}};
  for (int p = 0; p < 2; p++) {
    for (uint32_t r = 0; r < planes[p].rows; r++) {
      size_t at = planes[p].off + (size_t)r * planes[p].stride;
      if (at + planes[p].bytes > got.size() || at + planes[p].bytes > want.size())
        return "plane " + std::to_string(p) + " row " + std::to_string(r) + " beyond the buffer";
      if (memcmp(&got[at], &want[at], planes[p].bytes) != 0)
        return "plane " + std::to_string(p) + " row " + std::to_string(r) + " differs";
    }
  }
  return "";
}

}  // namespace fctest
