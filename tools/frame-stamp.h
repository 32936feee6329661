/* A frame's number and send time written into its picture, in a form that survives
 * encoding: one row of square black and white blocks along the top edge.
 *
 *   block 0 white, block 1 black (the marker), then 64 bits, most significant first:
 *   24 bits of frame number, 40 bits of wall-clock milliseconds since the epoch.
 *
 * The block side is width / 66 pixels (at least 4), so 640-pixel frames get 9-pixel
 * blocks, well above what an encoder at a usual bit rate smears into grey. The writer
 * works on planar 8-bit luma and chroma (I420, NV12's luma), the reader on packed RGB.
 *
 *   uint32_t frame; uint64_t ms;
 *   if (frame_stamp_read_rgb(rgb, width, height, width * 3, &frame, &ms)) ...
 */
#ifndef NIMBRA_FRAME_STAMP_H
#define NIMBRA_FRAME_STAMP_H

#include <stddef.h>
#include <stdint.h>

#define FRAME_STAMP_BLOCKS 66
#define FRAME_STAMP_FRAME_BITS 24
#define FRAME_STAMP_MS_BITS 40

static inline int
frame_stamp_block (int width)
{
  int side = width / FRAME_STAMP_BLOCKS;
  return side < 4 ? 4 : side;
}

/* Whether a frame of this size has room for the stamp. */
static inline int
frame_stamp_fits (int width, int height)
{
  int side = frame_stamp_block (width);
  return side * FRAME_STAMP_BLOCKS <= width && side <= height;
}

static inline int
frame_stamp_bit (int block, uint32_t frame, uint64_t ms)
{
  uint64_t word;
  int i;
  if (block == 0)
    return 1;
  if (block == 1)
    return 0;
  i = block - 2;                /* 0 .. 63, most significant first */
  word = ((uint64_t) (frame & ((1u << FRAME_STAMP_FRAME_BITS) - 1)) << FRAME_STAMP_MS_BITS) |
      (ms & ((1ull << FRAME_STAMP_MS_BITS) - 1));
  return (int) ((word >> (63 - i)) & 1);
}

/* Writes the stamp into the luma plane `y` (stride `y_stride`) and paints the chroma
 * under it neutral: `u` and `v` are planes subsampled by 2 in both directions (I420), or
 * null to leave chroma alone. Does nothing when the frame is too small. */
static inline void
frame_stamp_write_planar (uint8_t * y, int y_stride, uint8_t * u, int u_stride, uint8_t * v,
    int v_stride, int width, int height, uint32_t frame, uint64_t ms)
{
  int side, b, r, c;
  if (!frame_stamp_fits (width, height))
    return;
  side = frame_stamp_block (width);
  for (b = 0; b < FRAME_STAMP_BLOCKS; ++b) {
    const uint8_t luma = frame_stamp_bit (b, frame, ms) ? 235 : 16;
    for (r = 0; r < side; ++r)
      for (c = 0; c < side; ++c)
        y[(size_t) r * y_stride + b * side + c] = luma;
  }
  for (r = 0; r < (side + 1) / 2; ++r)
    for (c = 0; c < (FRAME_STAMP_BLOCKS * side + 1) / 2; ++c) {
      if (u)
        u[(size_t) r * u_stride + c] = 128;
      if (v)
        v[(size_t) r * v_stride + c] = 128;
    }
}

/* Reads the stamp from packed RGB; 1 and the frame number and milliseconds when the marker
 * is there and every block is clearly black or white, else 0. */
static inline int
frame_stamp_read_rgb (const uint8_t * rgb, int width, int height, int stride, uint32_t * frame,
    uint64_t * ms)
{
  uint64_t word = 0;
  int side, b, r, c;
  if (!rgb || !frame_stamp_fits (width, height))
    return 0;
  side = frame_stamp_block (width);
  for (b = 0; b < FRAME_STAMP_BLOCKS; ++b) {
    /* The middle half of the block: its edges carry the encoder's ringing. */
    unsigned sum = 0, n = 0;
    int bit;
    for (r = side / 4; r < side - side / 4; ++r)
      for (c = side / 4; c < side - side / 4; ++c) {
        const uint8_t *p = rgb + (size_t) r * stride + (size_t) (b * side + c) * 3;
        sum += (unsigned) p[0] + p[1] + p[2];
        n += 3;
      }
    if (n == 0)
      return 0;
    sum /= n;
    if (sum > 80 && sum < 170)
      return 0;                 /* grey: not a stamp, or too damaged to trust */
    bit = sum >= 170;
    if (b == 0 && !bit)
      return 0;
    if (b == 1 && bit)
      return 0;
    if (b >= 2)
      word = (word << 1) | (uint64_t) bit;
  }
  if (frame)
    *frame = (uint32_t) (word >> FRAME_STAMP_MS_BITS);
  if (ms)
    *ms = word & ((1ull << FRAME_STAMP_MS_BITS) - 1);
  return 1;
}

/* Milliseconds `ms_now` lies after a stamped `ms` (both wall-clock), with the 40-bit wrap. */
static inline int64_t
frame_stamp_age_ms (uint64_t ms, uint64_t ms_now)
{
  const uint64_t mask = (1ull << FRAME_STAMP_MS_BITS) - 1;
  uint64_t d = (ms_now - ms) & mask;
  return d > (mask >> 1) ? -(int64_t) ((mask + 1) - d) : (int64_t) d;
}

#endif
