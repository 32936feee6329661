/* SPDX-License-Identifier: BSD-3-Clause */
/* libnmx_customize through its C header, compiled as C: argument checks, letterbox
 * geometry and channel order, routing by size and by position, hand-computed
 * detections, list growth and replacement, failures leaving the list intact, views
 * that end at an unreadable page, models exported at 320, and concurrent callers. */
#define _GNU_SOURCE
#include "nmx_customize.h"

#include <math.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

/* The record layout is ABI: checked at compile time, as a C program sees it. */
_Static_assert(sizeof(NmxCustomizeDetection) == 24, "detection record is 24 bytes");
_Static_assert(offsetof(NmxCustomizeDetection, class_id) == 0, "class_id first");
_Static_assert(offsetof(NmxCustomizeDetection, score) == 4, "score second");
_Static_assert(offsetof(NmxCustomizeDetection, x) == 8, "x");
_Static_assert(offsetof(NmxCustomizeDetection, y) == 12, "y");
_Static_assert(offsetof(NmxCustomizeDetection, width) == 16, "width");
_Static_assert(offsetof(NmxCustomizeDetection, height) == 20, "height");

static int failures;

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                          \
    }                                                                      \
  } while (0)
#define CHECK_NEAR(a, b, tol)                                                                        \
  do {                                                                                               \
    double a_ = (a), b_ = (b);                                                                       \
    if (!(fabs(a_ - b_) <= (tol))) {                                                                 \
      fprintf(stderr, "%s:%d: %s = %.9g, expected %.9g\n", __FILE__, __LINE__, #a, a_, b_);          \
      failures++;                                                                                    \
    }                                                                                                \
  } while (0)

/* ------------------------------------------------------------------ realloc failure */
/* Interposed so list growth can be made to fail on request; glibc's own realloc does
 * the work otherwise. Skipped under sanitizers, which interpose realloc themselves. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HAVE_REALLOC_HOOK 0
#else
#define HAVE_REALLOC_HOOK 1
extern void *__libc_realloc(void *ptr, size_t size);
static volatile int fail_next_realloc;
void *realloc(void *ptr, size_t size)
{
  if (fail_next_realloc) {
    fail_next_realloc = 0;
    return NULL;
  }
  return __libc_realloc(ptr, size);
}
#endif

static float sigmoid(float x)
{
  return 1.0f / (1.0f + expf(-x));
}

/* ------------------------------------------------------------------ preprocess */

static void test_preprocess(void)
{
  /* A uniform picture resizes to itself, so picture values are exact; the row
   * padding holds 255 so a read of it shows. */
  const int w = 1280, h = 720, stride = w * 3 + 16;
  uint8_t *img = malloc((size_t)stride * h);
  memset(img, 255, (size_t)stride * h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      img[(size_t)y * stride + x * 3 + 0] = 10;
      img[(size_t)y * stride + x * 3 + 1] = 20;
      img[(size_t)y * stride + x * 3 + 2] = 30;
    }
  NmxCustomizeImageFrame frame = {img, w, h, stride};
  const size_t n = 640 * 640 * 3;
  float *dst = malloc((n + 1) * sizeof(float));

  for (int v8 = 0; v8 < 2; v8++) {
    for (size_t i = 0; i <= n; i++)
      dst[i] = -7.0f;
    NmxCustomizeLetterboxInfo info = {0, 0, 0};
    int ok = v8 ? nmx_customize_preprocess_yolov8_detection(&frame, dst, n, 640, 640, &info)
                : nmx_customize_preprocess_yolov5(&frame, dst, n, 640, 640, &info);
    CHECK(ok == 1);
    CHECK(info.scale == 2.0f);
    CHECK(info.resized_width == 640);
    CHECK(info.resized_height == 360);
    const float first = (v8 ? 30 : 10) / 255.0f, last = (v8 ? 10 : 30) / 255.0f;
    int bad = 0;
    for (int y = 0; y < 640 && bad < 3; y++)
      for (int x = 0; x < 640 && bad < 3; x++) {
        const float *p = &dst[((size_t)y * 640 + x) * 3];
        const int inside = y < 360;
        if (fabsf(p[0] - (inside ? first : 0.0f)) > 1e-6f || fabsf(p[1] - (inside ? 20 / 255.0f : 0.0f)) > 1e-6f ||
            fabsf(p[2] - (inside ? last : 0.0f)) > 1e-6f) {
          fprintf(stderr, "v8=%d pixel %d,%d = %g %g %g\n", v8, x, y, p[0], p[1], p[2]);
          bad++;
        }
      }
    CHECK(bad == 0);
    CHECK(dst[n] == -7.0f); /* nothing past dst_count */
  }

  /* A non-square target: scale from the tighter side, picture top-left. */
  {
    const size_t m = 320 * 192 * 3;
    float *small = malloc(m * sizeof(float));
    NmxCustomizeLetterboxInfo info;
    CHECK(nmx_customize_preprocess_yolov5(&frame, small, m, 320, 192, &info) == 1);
    CHECK(info.scale == 4.0f);
    CHECK(info.resized_width == 320 && info.resized_height == 180);
    CHECK(fabsf(small[((size_t)179 * 320 + 319) * 3] - 10 / 255.0f) < 1e-6f);
    CHECK(small[((size_t)180 * 320) * 3] == 0.0f);
    /* An enlarged small frame: 100x50 into 640x640 gives 0.15625 and 640x320. */
    NmxCustomizeImageFrame tiny = {img, 100, 50, stride};
    CHECK(nmx_customize_preprocess_yolov8_detection(&tiny, dst, n, 640, 640, &info) == 1);
    CHECK(info.scale == 0.15625f && info.resized_width == 640 && info.resized_height == 320);
    free(small);
  }

  /* Every failure writes nothing, neither dst nor info. */
  for (size_t i = 0; i <= n; i++)
    dst[i] = -7.0f;
  NmxCustomizeLetterboxInfo info = {-1.0f, -1, -1};
  NmxCustomizeImageFrame bad_frame;
  for (int v8 = 0; v8 < 2; v8++) {
#define PRE(fr, d, cnt, dw, dh, inf)                                                           \
  (v8 ? nmx_customize_preprocess_yolov8_detection((fr), (d), (cnt), (dw), (dh), (inf))         \
      : nmx_customize_preprocess_yolov5((fr), (d), (cnt), (dw), (dh), (inf)))
    CHECK(PRE(&frame, dst, n - 1, 640, 640, &info) == 0); /* one float short */
    CHECK(PRE(&frame, dst, n + 1, 640, 640, &info) == 0);
    CHECK(PRE(NULL, dst, n, 640, 640, &info) == 0);
    CHECK(PRE(&frame, NULL, n, 640, 640, &info) == 0);
    CHECK(PRE(&frame, dst, n, 640, 640, NULL) == 0);
    CHECK(PRE(&frame, dst, 0, 0, 640, &info) == 0);
    CHECK(PRE(&frame, dst, 0, 640, -3, &info) == 0);
    bad_frame = frame;
    bad_frame.data = NULL;
    CHECK(PRE(&bad_frame, dst, n, 640, 640, &info) == 0);
    bad_frame = frame;
    bad_frame.width = 0;
    CHECK(PRE(&bad_frame, dst, n, 640, 640, &info) == 0);
    bad_frame = frame;
    bad_frame.height = -1;
    CHECK(PRE(&bad_frame, dst, n, 640, 640, &info) == 0);
    bad_frame = frame;
    bad_frame.stride = 0;
    CHECK(PRE(&bad_frame, dst, n, 640, 640, &info) == 0);
    bad_frame = frame;
    bad_frame.stride = w * 3 - 1; /* a row would be read past its end */
    CHECK(PRE(&bad_frame, dst, n, 640, 640, &info) == 0);
#undef PRE
  }
  int touched = 0;
  for (size_t i = 0; i <= n; i++)
    touched += dst[i] != -7.0f;
  CHECK(touched == 0);
  CHECK(info.scale == -1.0f && info.resized_width == -1 && info.resized_height == -1);
  free(dst);
  free(img);
}

/* ------------------------------------------------------------------ YOLOv5 */

#define H8 ((size_t)80 * 80 * 255)
#define H16 ((size_t)40 * 40 * 255)
#define H32 ((size_t)20 * 20 * 255)

typedef struct {
  float *h[3]; /* strides 8, 16, 32 */
} V5Heads;

static const int kGrid[3] = {80, 40, 20};
static const int kStride[3] = {8, 16, 32};
static const float kAnchorW[3][3] = {{10, 16, 33}, {30, 62, 59}, {116, 156, 373}};
static const float kAnchorH[3][3] = {{13, 30, 23}, {61, 45, 119}, {90, 198, 326}};

/* Every head gets the stride-8 size so a head fed to the wrong position (the
 * positional fallback) is still read within its buffer. */
static void v5_alloc(V5Heads *v)
{
  for (int k = 0; k < 3; k++) {
    v->h[k] = calloc(H8, sizeof(float));
    for (size_t c = 0; c < H8 / 85; c++)
      v->h[k][c * 85 + 4] = -12.0f; /* objectness ~ 0 */
  }
}

static void v5_free(V5Heads *v)
{
  for (int k = 0; k < 3; k++)
    free(v->h[k]);
}

/* A cell with zero offsets: centre (j + 0.5) * stride, size = the anchor. */
static void v5_plant(V5Heads *v, int head, int i, int j, int a, int cls, float cls_val, float obj)
{
  float *p = v->h[head] + ((size_t)(i * kGrid[head] + j) * 3 + a) * 85;
  p[0] = p[1] = p[2] = p[3] = 0.0f;
  p[4] = obj;
  p[5 + cls] = cls_val;
}

static void v5_expect(int head, int i, int j, int a, float cls_val, float obj, float scale, float out[5])
{
  const float w = kAnchorW[head][a], h = kAnchorH[head][a];
  out[0] = sigmoid(cls_val) * sigmoid(obj);
  out[1] = ((j + 0.5f) * kStride[head] - w / 2) * scale;
  out[2] = ((i + 0.5f) * kStride[head] - h / 2) * scale;
  out[3] = w * scale;
  out[4] = h * scale;
}

static void check_det(const NmxCustomizeDetection *d, int cls, const float e[5])
{
  CHECK(d->class_id == cls);
  CHECK_NEAR(d->score, e[0], 1e-6);
  CHECK_NEAR(d->x, e[1], 1e-3);
  CHECK_NEAR(d->y, e[2], 1e-3);
  CHECK_NEAR(d->width, e[3], 1e-3);
  CHECK_NEAR(d->height, e[4], 1e-3);
}

static void test_yolov5(void)
{
  V5Heads v;
  v5_alloc(&v);
  /* Same class, overlapping: the weaker goes. Another class on top: kept. One apart. */
  v5_plant(&v, 0, 20, 20, 2, 0, 3.0f, 6.0f);
  v5_plant(&v, 0, 20, 21, 2, 0, 2.0f, 6.0f);
  v5_plant(&v, 0, 21, 20, 2, 7, 2.5f, 6.0f);
  v5_plant(&v, 1, 10, 30, 1, 4, 1.5f, 6.0f);
  /* All class values <= 0: nothing whatever the objectness. */
  v5_plant(&v, 2, 5, 5, 0, 9, 0.0f, 9.0f);
  float e0[5], e1[5], e2[5];
  v5_expect(0, 20, 20, 2, 3.0f, 6.0f, 3.0f, e0);
  v5_expect(0, 21, 20, 2, 2.5f, 6.0f, 3.0f, e1);
  v5_expect(1, 10, 30, 1, 1.5f, 6.0f, 3.0f, e2);

  NmxCustomizeTensorView views[4] = {{v.h[0], (uint32_t)H8}, {v.h[1], (uint32_t)H16}, {v.h[2], (uint32_t)H32}};
  NmxCustomizeDetectionList list = {0};
  CHECK(nmx_customize_postprocess_yolov5(views, 3, &list, 0.5f, 0.45f, 3.0f) == 1);
  CHECK(list.count == 3);
  CHECK(list.capacity == 16);
  if (list.count == 3) {
    check_det(&list.items[0], 0, e0);
    check_det(&list.items[1], 7, e1);
    check_det(&list.items[2], 4, e2);
  }
  NmxCustomizeDetection saved[3];
  memcpy(saved, list.items, sizeof saved);
  NmxCustomizeDetection *items = list.items;

  /* Failures keep the list: two views, bad scales, NULLs. */
  CHECK(nmx_customize_postprocess_yolov5(views, 2, &list, 0.5f, 0.45f, 3.0f) == 0);
  CHECK(nmx_customize_postprocess_yolov5(views, 3, &list, 0.5f, 0.45f, 0.0f) == 0);
  CHECK(nmx_customize_postprocess_yolov5(views, 3, &list, 0.5f, 0.45f, -1.0f) == 0);
  CHECK(nmx_customize_postprocess_yolov5(views, 3, &list, 0.5f, 0.45f, NAN) == 0);
  CHECK(nmx_customize_postprocess_yolov5(NULL, 3, &list, 0.5f, 0.45f, 3.0f) == 0);
  CHECK(nmx_customize_postprocess_yolov5(views, 3, NULL, 0.5f, 0.45f, 3.0f) == 0);
  NmxCustomizeTensorView no_data[3] = {{NULL, (uint32_t)H8}, views[1], views[2]};
  CHECK(nmx_customize_postprocess_yolov5(no_data, 3, &list, 0.5f, 0.45f, 3.0f) == 0);
  CHECK(list.count == 3 && list.capacity == 16 && list.items == items);
  CHECK(memcmp(list.items, saved, sizeof saved) == 0);

  /* Routed by element size whatever the order, past an unrecognised extra view. */
  NmxCustomizeTensorView shuffled[4] = {{v.h[2], 7}, {v.h[2], (uint32_t)H32}, {v.h[0], (uint32_t)H8},
                                        {v.h[1], (uint32_t)H16}};
  CHECK(nmx_customize_postprocess_yolov5(shuffled, 4, &list, 0.5f, 0.45f, 3.0f) == 1);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);
  /* The stride-8 head also by its byte count. */
  NmxCustomizeTensorView bytes8[3] = {{v.h[1], (uint32_t)H16}, {v.h[0], (uint32_t)(H8 * 4)}, {v.h[2], (uint32_t)H32}};
  CHECK(nmx_customize_postprocess_yolov5(bytes8, 3, &list, 0.5f, 0.45f, 3.0f) == 1);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);
  /* All three in bytes: no view has the stride-32 size, so views 0, 1, 2 are taken in order. */
  NmxCustomizeTensorView all_bytes[3] = {{v.h[0], (uint32_t)(H8 * 4)}, {v.h[1], (uint32_t)(H16 * 4)},
                                         {v.h[2], (uint32_t)(H32 * 4)}};
  CHECK(nmx_customize_postprocess_yolov5(all_bytes, 3, &list, 0.5f, 0.45f, 3.0f) == 1);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);

  /* Unrecognised sizes that still cover their heads (as byte counts): positions
   * decide. With the stride-8 and stride-16 heads swapped the stride-16 head's
   * planted cell is read as a stride-8 one, and the 40x40 walk over the stride-8
   * head sees none of its planted cells. */
  NmxCustomizeTensorView positional[3] = {
      {v.h[1], (uint32_t)(H8 * 4 + 4)}, {v.h[0], (uint32_t)(H16 * 4 + 4)}, {v.h[2], (uint32_t)(H32 * 4 + 4)}};
  CHECK(nmx_customize_postprocess_yolov5(positional, 3, &list, 0.5f, 0.45f, 3.0f) == 1);
  {
    /* Cell (10, 30, anchor 1) of the 40x40 buffer is, in an 80-wide grid, the flat
     * cell 10 * 40 + 30 = row 5, column 30. */
    float e[5];
    const float w = kAnchorW[0][1], h = kAnchorH[0][1];
    e[0] = sigmoid(1.5f) * sigmoid(6.0f);
    e[1] = ((30 + 0.5f) * 8 - w / 2) * 3.0f;
    e[2] = ((5 + 0.5f) * 8 - h / 2) * 3.0f;
    e[3] = w * 3.0f;
    e[4] = h * 3.0f;
    CHECK(list.count == 1);
    if (list.count == 1)
      check_det(&list.items[0], 4, e);
  }
  NmxCustomizeDetection one_saved = list.items[0];
  /* A view smaller than the head it would be read as is refused, list untouched. */
  NmxCustomizeTensorView small[3] = {{v.h[1], 1}, {v.h[0], 2}, {v.h[2], 3}};
  CHECK(nmx_customize_postprocess_yolov5(small, 3, &list, 0.5f, 0.45f, 3.0f) == 0);
  NmxCustomizeTensorView short8[3] = {{v.h[0], (uint32_t)(H8 - 1)}, {v.h[1], (uint32_t)H16}, {v.h[2], (uint32_t)H32}};
  CHECK(nmx_customize_postprocess_yolov5(short8, 3, &list, 0.5f, 0.45f, 3.0f) == 0);
  CHECK(list.count == 1 && memcmp(&list.items[0], &one_saved, sizeof one_saved) == 0);

  /* Nothing above the threshold: success, count 0, memory kept. */
  items = list.items;
  CHECK(nmx_customize_postprocess_yolov5(views, 3, &list, 0.999f, 0.45f, 3.0f) == 1);
  CHECK(list.count == 0 && list.capacity == 16 && list.items == items);

  nmx_customize_detection_list_release(&list);
  CHECK(list.items == NULL && list.count == 0 && list.capacity == 0);
  v5_free(&v);
}

/* ------------------------------------------------------------------ YOLOv8 */

#define V8N 8400

typedef struct {
  float *box; /* [4][8400] */
  float *cls; /* [80][8400] */
} V8Tensors;

static void v8_alloc(V8Tensors *t)
{
  t->box = calloc(4 * V8N, sizeof(float));
  t->cls = calloc(80 * V8N, sizeof(float));
}

static void v8_clear(V8Tensors *t)
{
  memset(t->box, 0, 4 * V8N * sizeof(float));
  memset(t->cls, 0, 80 * V8N * sizeof(float));
}

static void v8_plant(V8Tensors *t, int a, float cx, float cy, float w, float h, int c, float v)
{
  t->box[a] = cx;
  t->box[V8N + a] = cy;
  t->box[2 * V8N + a] = w;
  t->box[3 * V8N + a] = h;
  t->cls[(size_t)c * V8N + a] = v;
}

/* n separate 10x10 boxes on a grid, scores rising with k, so NMS keeps them all and
 * orders them from the last planted to the first. */
static void v8_plant_grid(V8Tensors *t, int n)
{
  v8_clear(t);
  for (int k = 0; k < n; k++)
    v8_plant(t, k * 7, 20.0f + (k % 20) * 30.0f, 20.0f + (k / 20) * 30.0f, 10, 10, k % 80, 0.8f + k * 0.001f);
}

static int run_v8(const V8Tensors *t, NmxCustomizeDetectionList *list, float scale)
{
  NmxCustomizeTensorView views[2] = {{t->box, 4 * V8N}, {t->cls, 80 * V8N}};
  return nmx_customize_postprocess_yolov8_detection(views, 2, list, 0.5f, 0.45f, scale);
}

static void test_yolov8(void)
{
  V8Tensors t;
  v8_alloc(&t);
  /* Two classes overlapping: class-agnostic, the weaker goes. A column with two
   * classes above the threshold gives two candidates, the better one survives. A
   * column whose best value equals the threshold gives nothing; a class at 0.6 is a
   * detection of confidence 0.6 (not 0.36). */
  v8_plant(&t, 100, 200, 200, 100, 80, 3, 0.95f);
  v8_plant(&t, 101, 205, 202, 100, 80, 7, 0.9f);
  v8_plant(&t, 5000, 400, 300, 61, 59, 1, 0.92f);
  t.cls[(size_t)2 * V8N + 5000] = 0.85f;
  v8_plant(&t, 10, 50, 50, 20, 20, 0, 0.5f);
  v8_plant(&t, 20, 550, 550, 20, 20, 1, 0.6f);

  NmxCustomizeDetectionList list = {0};
  CHECK(run_v8(&t, &list, 2.0f) == 1);
  CHECK(list.count == 3);
  if (list.count == 3) {
    /* Integer rectangles: truncated after scaling, reported as floats. */
    CHECK(list.items[0].class_id == 3);
    CHECK(list.items[0].score == 0.95f);
    CHECK(list.items[0].x == 300.0f && list.items[0].y == 320.0f);
    CHECK(list.items[0].width == 200.0f && list.items[0].height == 160.0f);
    CHECK(list.items[1].class_id == 1);
    CHECK(list.items[1].score == 0.92f);
    CHECK(list.items[1].x == (float)(int)((400 - 30.5f) * 2.0f));
    CHECK(list.items[1].y == (float)(int)((300 - 29.5f) * 2.0f));
    CHECK(list.items[1].width == 122.0f && list.items[1].height == 118.0f);
    CHECK(list.items[2].class_id == 1);
    CHECK(list.items[2].score == 0.6f);
    CHECK(list.items[2].x == 1080.0f && list.items[2].y == 1080.0f);
    CHECK(list.items[2].width == 40.0f && list.items[2].height == 40.0f);
  }
  NmxCustomizeDetection saved[3];
  memcpy(saved, list.items, sizeof saved);

  /* Views found by size in any order and unit; unrecognised sizes: view 0 boxes, 1 classes. */
  NmxCustomizeTensorView swapped[3] = {{t.cls, 80 * V8N * 4}, {t.cls, 5}, {t.box, 4 * V8N * 4}};
  CHECK(nmx_customize_postprocess_yolov8_detection(swapped, 3, &list, 0.5f, 0.45f, 2.0f) == 1);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);
  NmxCustomizeTensorView unknown[2] = {{t.box, 4 * V8N * 4 + 8}, {t.cls, 80 * V8N * 4 + 8}};
  CHECK(nmx_customize_postprocess_yolov8_detection(unknown, 2, &list, 0.5f, 0.45f, 2.0f) == 1);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);
  /* Sizes below what the positions need are refused, the list kept. */
  NmxCustomizeTensorView tiny[2] = {{t.box, 11}, {t.cls, 12}};
  CHECK(nmx_customize_postprocess_yolov8_detection(tiny, 2, &list, 0.5f, 0.45f, 2.0f) == 0);
  NmxCustomizeTensorView short_cls[2] = {{t.box, 4 * V8N}, {t.cls, 80 * V8N - 1}};
  CHECK(nmx_customize_postprocess_yolov8_detection(short_cls, 2, &list, 0.5f, 0.45f, 2.0f) == 0);
  CHECK(list.count == 3 && memcmp(list.items, saved, sizeof saved) == 0);

  CHECK(run_v8(&t, &list, 2.0f) == 1);
  NmxCustomizeDetection *items = list.items;
  NmxCustomizeTensorView one[1] = {{t.box, 4 * V8N}};
  CHECK(nmx_customize_postprocess_yolov8_detection(one, 1, &list, 0.5f, 0.45f, 2.0f) == 0);
  CHECK(run_v8(&t, &list, 0.0f) == 0);
  CHECK(run_v8(&t, &list, -2.0f) == 0);
  CHECK(run_v8(&t, &list, INFINITY) == 0);
  CHECK(list.count == 3 && list.items == items && memcmp(list.items, saved, sizeof saved) == 0);
  nmx_customize_detection_list_release(&list);

  /* Growth: 17 on an empty list allocates 32; 40 doubles to 64; 0 keeps memory. */
  v8_plant_grid(&t, 17);
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.count == 17 && list.capacity == 32);
  for (uint32_t k = 0; k < list.count; k++) {
    const int planted = 16 - (int)k;
    CHECK(list.items[k].class_id == planted % 80);
    CHECK(list.items[k].score == 0.8f + planted * 0.001f);
    CHECK(list.items[k].x == (float)(int)(15.0f + (planted % 20) * 30.0f));
  }
  NmxCustomizeDetection grid17[17];
  memcpy(grid17, list.items, sizeof grid17);
  /* A failed growth keeps the 17. */
  v8_plant_grid(&t, 40);
#if HAVE_REALLOC_HOOK
  fail_next_realloc = 1;
  CHECK(run_v8(&t, &list, 1.0f) == 0);
  fail_next_realloc = 0;
  CHECK(list.count == 17 && list.capacity == 32 && memcmp(list.items, grid17, sizeof grid17) == 0);
#endif
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.count == 40 && list.capacity == 64);
  items = list.items;
  v8_clear(&t);
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.count == 0 && list.capacity == 64 && list.items == items);
  /* Fewer than capacity: no reallocation, exactly this call's detections. */
  v8_plant_grid(&t, 17);
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.count == 17 && list.capacity == 64 && list.items == items);
  CHECK(memcmp(list.items, grid17, sizeof grid17) == 0);
  nmx_customize_detection_list_reset(&list);
  CHECK(list.count == 0 && list.capacity == 64 && list.items == items);
  nmx_customize_detection_list_release(&list);

  /* A caller-allocated list of 5 doubles from 5: 10, then 20 for 17. */
  list.items = malloc(5 * sizeof(NmxCustomizeDetection));
  list.capacity = 5;
  list.count = 0;
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.count == 17 && list.capacity == 20);
  nmx_customize_detection_list_release(&list);

  /* A capacity without memory is no memory: the list grows from 16 as if empty. */
  list.items = NULL;
  list.capacity = 100;
  list.count = 3;
  CHECK(run_v8(&t, &list, 1.0f) == 1);
  CHECK(list.items != NULL && list.count == 17 && list.capacity == 32);
  if (list.items)
    CHECK(memcmp(list.items, grid17, sizeof grid17) == 0);
  nmx_customize_detection_list_release(&list);

  nmx_customize_detection_list_reset(NULL);
  nmx_customize_detection_list_release(NULL);
  free(t.box);
  free(t.cls);
}


/* ------------------------------------------------------------------ guard pages */
/* n floats whose last one is followed by a page that cannot be read: a read past
 * the view's end kills the test instead of passing unnoticed. */
typedef struct {
  void *map;
  size_t map_len;
  float *data;
} Guarded;

static Guarded guarded_alloc(size_t n)
{
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  const size_t bytes = n * sizeof(float);
  const size_t data_pages = (bytes + page - 1) / page;
  Guarded g = {NULL, (data_pages + 1) * page, NULL};
  g.map = mmap(NULL, g.map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (g.map == MAP_FAILED) {
    perror("mmap");
    exit(1);
  }
  char *guard = (char *)g.map + data_pages * page;
  if (mprotect(guard, page, PROT_NONE) != 0) {
    perror("mprotect");
    exit(1);
  }
  g.data = (float *)(guard - bytes);
  memset(g.data, 0, bytes);
  return g;
}

static void guarded_free(Guarded *g)
{
  munmap(g->map, g->map_len);
}

/* Heads of a YOLOv5 model of input size S, each ending at a guard page, objectness
 * ~0 everywhere and one planted cell (stride 16, row 3, column 4, anchor 1, class 6). */
static void v5_guarded(int S, Guarded heads[3])
{
  for (int k = 0; k < 3; k++) {
    const size_t g = (size_t)S / (8u << k);
    heads[k] = guarded_alloc(g * g * 255);
    for (size_t c = 0; c < g * g * 3; c++)
      heads[k].data[c * 85 + 4] = -12.0f;
  }
  const size_t g16 = (size_t)S / 16;
  float *p = heads[1].data + ((3 * g16 + 4) * 3 + 1) * 85;
  p[4] = 6.0f;
  p[5 + 6] = 2.0f;
}

static void test_guard_pages(void)
{
  NmxCustomizeDetectionList list = {0};
  /* YOLOv8 exported at 320: 2100 columns, 8,400 and 168,000 floats. */
  {
    const size_t n320 = 2100, n640 = 8400;
    Guarded box = guarded_alloc(4 * n320), cls = guarded_alloc(80 * n320);
    box.data[77] = 100.0f;
    box.data[n320 + 77] = 80.0f;
    box.data[2 * n320 + 77] = 40.0f;
    box.data[3 * n320 + 77] = 20.0f;
    cls.data[9 * n320 + 77] = 0.8f;
    NmxCustomizeTensorView v320[2] = {{box.data, (uint32_t)(4 * n320)}, {cls.data, (uint32_t)(80 * n320)}};
    /* Read as 640 outputs they would need 33,600 and 672,000 floats: refused. */
    CHECK(nmx_customize_postprocess_yolov8_detection(v320, 2, &list, 0.5f, 0.45f, 1.0f) == 0);
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(v320, 2, &list, 0.5f, 0.45f, 1.0f, 640) == 0);
    /* At their own size they decode, reading up to the last float and no further. */
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(v320, 2, &list, 0.5f, 0.45f, 2.0f, 320) == 1);
    CHECK(list.count == 1);
    if (list.count == 1) {
      CHECK(list.items[0].class_id == 9 && list.items[0].score == 0.8f);
      CHECK(list.items[0].x == 160.0f && list.items[0].y == 140.0f);
      CHECK(list.items[0].width == 80.0f && list.items[0].height == 40.0f);
    }
    /* The class tensor one float short of its layout is refused. */
    NmxCustomizeTensorView short_cls[2] = {{box.data, (uint32_t)(4 * n320)},
                                           {cls.data + 1, (uint32_t)(80 * n320 - 1)}};
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(short_cls, 2, &list, 0.5f, 0.45f, 2.0f, 320) == 0);
    /* Invalid model sizes. */
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(v320, 2, &list, 0.5f, 0.45f, 2.0f, 300) == 0);
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(v320, 2, &list, 0.5f, 0.45f, 2.0f, 0) == 0);
    CHECK(nmx_customize_postprocess_yolov8_detection_at_size(v320, 2, &list, 0.5f, 0.45f, 2.0f, 8192) == 0);
    CHECK(list.count == 1);
    guarded_free(&box);
    guarded_free(&cls);

    /* A full 640 layout ending at a guard page decodes whole. */
    Guarded box6 = guarded_alloc(4 * n640), cls6 = guarded_alloc(80 * n640);
    box6.data[n640 - 1] = 600.0f;
    box6.data[2 * n640 - 1] = 600.0f;
    box6.data[3 * n640 - 1] = 30.0f;
    box6.data[4 * n640 - 1] = 30.0f;
    cls6.data[80 * n640 - 1] = 0.9f; /* the very last float: class 79 of the last column */
    NmxCustomizeTensorView v640[2] = {{cls6.data, (uint32_t)(80 * n640 * 4)}, {box6.data, (uint32_t)(4 * n640)}};
    CHECK(nmx_customize_postprocess_yolov8_detection(v640, 2, &list, 0.5f, 0.45f, 1.0f) == 1);
    CHECK(list.count == 1 && list.items[0].class_id == 79 && list.items[0].score == 0.9f);
    guarded_free(&box6);
    guarded_free(&cls6);
  }
  /* YOLOv5 exported at 320: heads of 40, 20 and 10 cells. */
  {
    Guarded h[3];
    v5_guarded(320, h);
    NmxCustomizeTensorView v[3] = {{h[2].data, 10 * 10 * 255}, {h[0].data, 40 * 40 * 255}, {h[1].data, 20 * 20 * 255}};
    /* As 640 heads (80, 40, 20 cells) the first would be read four times too far. */
    CHECK(nmx_customize_postprocess_yolov5(v, 3, &list, 0.5f, 0.45f, 1.0f) == 0);
    CHECK(nmx_customize_postprocess_yolov5_at_size(v, 3, &list, 0.5f, 0.45f, 1.0f, 320) == 1);
    CHECK(list.count == 1);
    if (list.count == 1) {
      float e[5];
      const float w = kAnchorW[1][1], hh = kAnchorH[1][1];
      e[0] = sigmoid(2.0f) * sigmoid(6.0f);
      e[1] = (4.5f * 16 - w / 2) * 1.5f;
      e[2] = (3.5f * 16 - hh / 2) * 1.5f;
      e[3] = w * 1.5f;
      e[4] = hh * 1.5f;
      CHECK(nmx_customize_postprocess_yolov5_at_size(v, 3, &list, 0.5f, 0.45f, 1.5f, 320) == 1);
      check_det(&list.items[0], 6, e);
    }
    /* Positional fallback (sizes of no head) with views too small for their places. */
    NmxCustomizeTensorView pos[3] = {{h[0].data, 7}, {h[1].data, 8}, {h[2].data, 9}};
    CHECK(nmx_customize_postprocess_yolov5_at_size(pos, 3, &list, 0.5f, 0.45f, 1.0f, 320) == 0);
    for (int k = 0; k < 3; k++)
      guarded_free(&h[k]);
    /* Full 640 heads ending at guard pages decode whole. */
    v5_guarded(640, h);
    NmxCustomizeTensorView v6[3] = {{h[0].data, (uint32_t)H8}, {h[1].data, (uint32_t)H16}, {h[2].data, (uint32_t)H32}};
    CHECK(nmx_customize_postprocess_yolov5(v6, 3, &list, 0.5f, 0.45f, 1.0f) == 1);
    CHECK(list.count == 1 && list.items[0].class_id == 6);
    for (int k = 0; k < 3; k++)
      guarded_free(&h[k]);
  }
  nmx_customize_detection_list_release(&list);
}

/* ------------------------------------------------------------------ threads */

typedef struct {
  const V8Tensors *t;
  const NmxCustomizeDetection *expect;
  uint32_t expect_count;
  int mismatches;
} ThreadArg;

static void *worker(void *p)
{
  ThreadArg *a = p;
  NmxCustomizeDetectionList list = {0};
  for (int i = 0; i < 20; i++) {
    if (run_v8(a->t, &list, 1.5f) != 1 || list.count != a->expect_count ||
        memcmp(list.items, a->expect, a->expect_count * sizeof(NmxCustomizeDetection)) != 0)
      a->mismatches++;
  }
  nmx_customize_detection_list_release(&list);
  return NULL;
}

static void test_threads(void)
{
  V8Tensors t;
  v8_alloc(&t);
  v8_plant_grid(&t, 100);
  /* Overlapping pairs make suppression decide something in every run. */
  for (int k = 0; k < 30; k++)
    v8_plant(&t, 2000 + k, 22.0f + (k % 20) * 30.0f, 21.0f + (k / 20) * 30.0f, 10, 10, 5, 0.85f);
  NmxCustomizeDetectionList ref = {0};
  CHECK(run_v8(&t, &ref, 1.5f) == 1);
  CHECK(ref.count >= 100);
  pthread_t th[4];
  ThreadArg args[4];
  for (int i = 0; i < 4; i++) {
    args[i] = (ThreadArg){&t, ref.items, ref.count, 0};
    CHECK(pthread_create(&th[i], NULL, worker, &args[i]) == 0);
  }
  for (int i = 0; i < 4; i++) {
    pthread_join(th[i], NULL);
    CHECK(args[i].mismatches == 0);
  }
  nmx_customize_detection_list_release(&ref);
  free(t.box);
  free(t.cls);
}

int main(void)
{
  CHECK(nmx_customize_get_api_version() == 2);
  CHECK(NMX_CUSTOMIZE_API_VERSION == 2);
  test_preprocess();
  test_yolov5();
  test_yolov8();
  test_guard_pages();
  test_threads();
  if (failures) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("all checks passed\n");
  return 0;
}
