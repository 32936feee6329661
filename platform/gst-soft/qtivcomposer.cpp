// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtivcomposer: places any number of raw video inputs into one output frame,
 * each cropped, scaled and flipped as its pad says; the soft stand-in of the
 * board's hardware composer.
 *
 *   gst-launch-1.0 qtivcomposer name=mixer \
 *         sink_0::position="<0, 0>" sink_0::dimensions="<640, 360>" \
 *         sink_1::position="<640, 0>" sink_1::dimensions="<640, 360>" sink_1::flip-horizontal=true ! \
 *       video/x-raw,format=NV12,width=1280,height=360 ! fakesink \
 *       videotestsrc num-buffers=30 ! video/x-raw,format=NV12,width=1280,height=720 ! mixer. \
 *       videotestsrc num-buffers=30 pattern=ball ! video/x-raw,format=RGB,width=320,height=240 ! mixer.
 *
 * Inputs may differ in format from the output; opaque inputs in the output's
 * format are scaled by libyuv straight into their place, plane by plane,
 * in bands shared with one helper thread. RGBA/BGRA inputs are blended with
 * their alpha. The background is cleared only where no input covers it.
 */
#include "qtivcomposer.h"

#include "common.h"
#include "blend.h"
#include "convert.h"
#include "gbmmemory.h"

#include <gst/video/gstvideoaggregator.h>
#include <gst/video/video.h>
#include <libyuv.h>
#include <libyuv/scale_rgb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_vcomposer_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_vcomposer_debug

enum { PROP_0, PROP_ENGINE };  // the engine helpers of common.h know PROP_ENGINE as 1

enum {
  PROP_PAD_0,
  PROP_PAD_POSITION,
  PROP_PAD_DIMENSIONS,
  PROP_PAD_CROP,
  PROP_PAD_FLIP_HORIZONTAL,
  PROP_PAD_FLIP_VERTICAL,
};

#define DEFAULT_PAD_FLIP_HORIZONTAL FALSE
#define DEFAULT_PAD_FLIP_VERTICAL FALSE
/* Largest output side a placement may ask for when downstream leaves the
 * size open. */
#define MAX_AUTO_EXTENT 16384
/* Frame rate when no input announces one. */
#define DEFAULT_FRAMERATE_N 30

#define VCOMPOSER_CAPS NMX_SOFT_RAW_CAPS(NMX_SOFT_CONVERT_FORMATS)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink_%u", GST_PAD_SINK, GST_PAD_REQUEST, GST_STATIC_CAPS(VCOMPOSER_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VCOMPOSER_CAPS));

/* ---- geometry and pixel helpers ---- */

namespace {

using nmxsoft::Image;

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

bool is_semi_planar(GstVideoFormat f) { return f == GST_VIDEO_FORMAT_NV12 || f == GST_VIDEO_FORMAT_NV21; }
bool is_yuv(GstVideoFormat f) { return is_semi_planar(f) || f == GST_VIDEO_FORMAT_I420; }
bool has_alpha(GstVideoFormat f) { return f == GST_VIDEO_FORMAT_RGBA || f == GST_VIDEO_FORMAT_BGRA; }
Image sub_image(const Image &img, const Rect &r) { return nmxsoft::image_region(img, r.x, r.y, r.w, r.h); }

/* Upside-down view: first row last, negative strides (libyuv walks rows by
 * stride, so this costs nothing). */
Image flipped_vertically(const Image &img)
{
  Image f = img;
  int planes = img.format == GST_VIDEO_FORMAT_I420 ? 3 : (is_semi_planar(img.format) ? 2 : 1);
  for (int p = 0; p < planes; p++) {
    int rows = p == 0 ? img.height : (img.height + 1) / 2;
    f.data[p] = img.data[p] + (ptrdiff_t)(rows - 1) * img.stride[p];
    f.stride[p] = -img.stride[p];
  }
  return f;
}

/* Rows [row0, row1) of @img; row0 even for 4:2:0 formats. */
Image rows_of(const Image &img, int row0, int row1)
{
  Rect r;
  r.y = row0;
  r.w = img.width;
  r.h = row1 - row0;
  return sub_image(img, r);
}

/* Scales @s into @d, both in the same format; same size is a copy. */
void scale_same_format(const Image &s, const Image &d)
{
  const auto filter = libyuv::kFilterBilinear;
  switch (s.format) {
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
      libyuv::NV12Scale(s.data[0], s.stride[0], s.data[1], s.stride[1], s.width, s.height, d.data[0], d.stride[0],
                        d.data[1], d.stride[1], d.width, d.height, filter);
      break;
    case GST_VIDEO_FORMAT_I420:
      libyuv::I420Scale(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], s.width, s.height,
                        d.data[0], d.stride[0], d.data[1], d.stride[1], d.data[2], d.stride[2], d.width, d.height,
                        filter);
      break;
    case GST_VIDEO_FORMAT_RGB:
    case GST_VIDEO_FORMAT_BGR:
      libyuv::RGBScale(s.data[0], s.stride[0], s.width, s.height, d.data[0], d.stride[0], d.width, d.height, filter);
      break;
    default:
      libyuv::ARGBScale(s.data[0], s.stride[0], s.width, s.height, d.data[0], d.stride[0], d.width, d.height,
                        filter);
      break;
  }
}

/* Mirrors @s left to right into @d (same size and format). */
void mirror(const Image &s, const Image &d)
{
  switch (s.format) {
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
      libyuv::NV12Mirror(s.data[0], s.stride[0], s.data[1], s.stride[1], d.data[0], d.stride[0], d.data[1],
                         d.stride[1], s.width, s.height);
      break;
    case GST_VIDEO_FORMAT_I420:
      libyuv::I420Mirror(s.data[0], s.stride[0], s.data[1], s.stride[1], s.data[2], s.stride[2], d.data[0],
                         d.stride[0], d.data[1], d.stride[1], d.data[2], d.stride[2], s.width, s.height);
      break;
    case GST_VIDEO_FORMAT_RGB:
    case GST_VIDEO_FORMAT_BGR:
      libyuv::RGB24Mirror(s.data[0], s.stride[0], d.data[0], d.stride[0], s.width, s.height);
      break;
    default:
      libyuv::ARGBMirror(s.data[0], s.stride[0], d.data[0], d.stride[0], s.width, s.height);
      break;
  }
}

void clear_background(const Image &d, bool full_range)
{
  const uint8_t black = full_range ? 0 : 16;
  switch (d.format) {
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
      libyuv::SetPlane(d.data[0], d.stride[0], d.width, d.height, black);
      libyuv::SetPlane(d.data[1], d.stride[1], (d.width + 1) / 2 * 2, (d.height + 1) / 2, 128);
      break;
    case GST_VIDEO_FORMAT_I420:
      libyuv::SetPlane(d.data[0], d.stride[0], d.width, d.height, black);
      libyuv::SetPlane(d.data[1], d.stride[1], (d.width + 1) / 2, (d.height + 1) / 2, 128);
      libyuv::SetPlane(d.data[2], d.stride[2], (d.width + 1) / 2, (d.height + 1) / 2, 128);
      break;
    case GST_VIDEO_FORMAT_RGB:
    case GST_VIDEO_FORMAT_BGR:
      libyuv::SetPlane(d.data[0], d.stride[0], d.width * 3, d.height, 0);
      break;
    default:
      /* Opaque black; alpha is byte 3 in every 4-byte format. */
      libyuv::ARGBRect(d.data[0], d.stride[0], 0, 0, d.width, d.height, 0xff000000u);
      break;
  }
}

/* TRUE when the rectangles together cover [0, w) x [0, h). Few pads, so the
 * cells between all rectangle edges are simply checked one by one. */
bool covers(const std::vector<Rect> &rects, int w, int h)
{
  std::set<int> xs = {0, w}, ys = {0, h};
  for (const Rect &r : rects) {
    xs.insert(r.x);
    xs.insert(r.x + r.w);
    ys.insert(r.y);
    ys.insert(r.y + r.h);
  }
  std::vector<int> vx(xs.begin(), xs.end()), vy(ys.begin(), ys.end());
  for (size_t i = 0; i + 1 < vx.size(); i++) {
    if (vx[i] >= w)
      break;
    for (size_t j = 0; j + 1 < vy.size(); j++) {
      if (vy[j] >= h)
        break;
      bool in = false;
      for (const Rect &r : rects)
        if (vx[i] >= r.x && vx[i] < r.x + r.w && vy[j] >= r.y && vy[j] < r.y + r.h) {
          in = true;
          break;
        }
      if (!in)
        return false;
    }
  }
  return true;
}

}  // namespace

/* ---- sink pad ---- */

struct ComposerPadState {
  // Only touched while composing, by the one job that handles this pad.
  nmxsoft::Converter converter;
  GstVideoInfo converter_in{};
  GstVideoInfo converter_out{};
  bool converter_ready = false;
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> mirrored;
};

typedef struct {
  GstVideoAggregatorPad parent;
  /* Settings, under the pad's object lock. */
  gint x, y;
  gint width, height; /* 0: the (cropped) input size */
  gint crop_x, crop_y, crop_w, crop_h; /* w/h 0: to the input's edge */
  gboolean flip_h, flip_v;
  ComposerPadState *state;
} GstNmxSoftVComposerPad;

typedef struct {
  GstVideoAggregatorPadClass parent_class;
} GstNmxSoftVComposerPadClass;

#define NMX_VCOMPOSER_PAD(obj) ((GstNmxSoftVComposerPad *)(obj))

G_DEFINE_TYPE(GstNmxSoftVComposerPad, gst_nmx_soft_vcomposer_pad, GST_TYPE_VIDEO_AGGREGATOR_PAD)

static void set_int_array(GValue *value, std::initializer_list<int> ints)
{
  for (int i : ints) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, G_TYPE_INT);
    g_value_set_int(&v, i);
    gst_value_array_append_and_take_value(value, &v);
  }
}

/* Reads @n ints of a GstValueArray; FALSE (and nothing written) on any other
 * shape, so a malformed value never half-applies. */
static bool get_int_array(GObject *object, const GValue *value, int n, int *out)
{
  if (!GST_VALUE_HOLDS_ARRAY(value) || (int)gst_value_array_get_size(value) != n) {
    GST_WARNING_OBJECT(object, "expected an array of %d integers", n);
    return false;
  }
  int tmp[4];
  for (int i = 0; i < n; i++) {
    const GValue *v = gst_value_array_get_value(value, i);
    if (!G_VALUE_HOLDS_INT(v)) {
      GST_WARNING_OBJECT(object, "expected an array of %d integers", n);
      return false;
    }
    tmp[i] = g_value_get_int(v);
  }
  memcpy(out, tmp, sizeof(int) * n);
  return true;
}

static void gst_nmx_soft_vcomposer_pad_set_property(GObject *object, guint prop_id, const GValue *value,
                                                    GParamSpec *pspec)
{
  GstNmxSoftVComposerPad *pad = NMX_VCOMPOSER_PAD(object);
  int v[4];
  GST_OBJECT_LOCK(pad);
  switch (prop_id) {
    case PROP_PAD_POSITION:
      if (get_int_array(object, value, 2, v)) {
        pad->x = v[0];
        pad->y = v[1];
      }
      break;
    case PROP_PAD_DIMENSIONS:
      if (get_int_array(object, value, 2, v)) {
        if (v[0] < 0 || v[1] < 0) {
          GST_WARNING_OBJECT(pad, "negative dimensions %dx%d ignored", v[0], v[1]);
          break;
        }
        pad->width = v[0];
        pad->height = v[1];
      }
      break;
    case PROP_PAD_CROP:
      if (get_int_array(object, value, 4, v)) {
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0) {
          GST_WARNING_OBJECT(pad, "negative crop ignored");
          break;
        }
        pad->crop_x = v[0];
        pad->crop_y = v[1];
        pad->crop_w = v[2];
        pad->crop_h = v[3];
      }
      break;
    case PROP_PAD_FLIP_HORIZONTAL:
      pad->flip_h = g_value_get_boolean(value);
      break;
    case PROP_PAD_FLIP_VERTICAL:
      pad->flip_v = g_value_get_boolean(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(pad);
}

static void gst_nmx_soft_vcomposer_pad_get_property(GObject *object, guint prop_id, GValue *value,
                                                    GParamSpec *pspec)
{
  GstNmxSoftVComposerPad *pad = NMX_VCOMPOSER_PAD(object);
  GST_OBJECT_LOCK(pad);
  switch (prop_id) {
    case PROP_PAD_POSITION:
      set_int_array(value, {pad->x, pad->y});
      break;
    case PROP_PAD_DIMENSIONS:
      set_int_array(value, {pad->width, pad->height});
      break;
    case PROP_PAD_CROP:
      set_int_array(value, {pad->crop_x, pad->crop_y, pad->crop_w, pad->crop_h});
      break;
    case PROP_PAD_FLIP_HORIZONTAL:
      g_value_set_boolean(value, pad->flip_h);
      break;
    case PROP_PAD_FLIP_VERTICAL:
      g_value_set_boolean(value, pad->flip_v);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(pad);
}

static void gst_nmx_soft_vcomposer_pad_finalize(GObject *object)
{
  delete NMX_VCOMPOSER_PAD(object)->state;
  G_OBJECT_CLASS(gst_nmx_soft_vcomposer_pad_parent_class)->finalize(object);
}

static void gst_nmx_soft_vcomposer_pad_class_init(GstNmxSoftVComposerPadClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = gst_nmx_soft_vcomposer_pad_set_property;
  gobject_class->get_property = gst_nmx_soft_vcomposer_pad_get_property;
  gobject_class->finalize = gst_nmx_soft_vcomposer_pad_finalize;

  const GParamFlags flags = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
  /* Arrays of ints, so that launch text such as sink_0::position="<0, 0>"
   * deserialises straight into them. */
  g_object_class_install_property(
      gobject_class, PROP_PAD_POSITION,
      gst_param_spec_array("position", "Position", "Top-left corner <x, y> in the output frame",
                           g_param_spec_int("coordinate", "Coordinate", "Coordinate", G_MININT, G_MAXINT, 0,
                                            (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)),
                           flags));
  g_object_class_install_property(
      gobject_class, PROP_PAD_DIMENSIONS,
      gst_param_spec_array("dimensions", "Dimensions",
                           "Size <width, height> in the output frame; <0, 0> keeps the input size",
                           g_param_spec_int("size", "Size", "Size", 0, G_MAXINT, 0,
                                            (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)),
                           flags));
  g_object_class_install_property(
      gobject_class, PROP_PAD_CROP,
      gst_param_spec_array("crop", "Crop",
                           "Input rectangle <x, y, width, height> to show; a width or height of 0 reaches the "
                           "input's edge",
                           g_param_spec_int("value", "Value", "Value", 0, G_MAXINT, 0,
                                            (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)),
                           flags));
  g_object_class_install_property(
      gobject_class, PROP_PAD_FLIP_HORIZONTAL,
      g_param_spec_boolean("flip-horizontal", "Flip horizontal", "Mirror the input left to right",
                           DEFAULT_PAD_FLIP_HORIZONTAL, flags));
  g_object_class_install_property(gobject_class, PROP_PAD_FLIP_VERTICAL,
                                  g_param_spec_boolean("flip-vertical", "Flip vertical", "Turn the input upside down",
                                                       DEFAULT_PAD_FLIP_VERTICAL, flags));
}

static void gst_nmx_soft_vcomposer_pad_init(GstNmxSoftVComposerPad *pad)
{
  pad->flip_h = DEFAULT_PAD_FLIP_HORIZONTAL;
  pad->flip_v = DEFAULT_PAD_FLIP_VERTICAL;
  pad->state = new ComposerPadState();
  pad->state->converter.set_threading(false);
}

/* ---- element ---- */

/* One input of one output frame, resolved against the frame sizes. */
struct Placement {
  GstNmxSoftVComposerPad *pad = nullptr; /* ref held while composing */
  GstVideoFrame *frame = nullptr;
  Rect src;  /* in the input frame */
  Rect dst;  /* in the output frame */
  bool flip_h = false, flip_v = false;
  bool direct = false; /* same format, opaque: scaled straight into place */
};

struct Job {
  size_t placement;
  int row0, row1; /* output rows of the placement's destination, relative */
};

struct NmxVComposerPrivate {
  NmxSoftEngine engine;
  // Composing state, only touched from the aggregating thread.
  std::unique_ptr<nmxsoft::BandWorker> worker;
  std::vector<uint8_t> thread_scratch[2];
};

typedef struct {
  GstVideoAggregator parent;
  NmxVComposerPrivate *priv;
} GstNmxSoftVComposer;

typedef struct {
  GstVideoAggregatorClass parent_class;
} GstNmxSoftVComposerClass;

#define NMX_VCOMPOSER(obj) ((GstNmxSoftVComposer *)(obj))

static void gst_nmx_soft_vcomposer_child_proxy_init(gpointer g_iface, gpointer iface_data);

G_DEFINE_TYPE_WITH_CODE(GstNmxSoftVComposer, gst_nmx_soft_vcomposer, GST_TYPE_VIDEO_AGGREGATOR,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_CHILD_PROXY, gst_nmx_soft_vcomposer_child_proxy_init))

/* Sinks take any supported format and size whatever the output is: each
 * input is converted on its own. */
static gboolean gst_nmx_soft_vcomposer_sink_query(GstAggregator *agg, GstAggregatorPad *bpad, GstQuery *query)
{
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS:
    case GST_QUERY_ACCEPT_CAPS:
      return nmx_soft_answer_caps_from_template(GST_PAD(bpad), query);
    default:
      return GST_AGGREGATOR_CLASS(gst_nmx_soft_vcomposer_parent_class)->sink_query(agg, bpad, query);
  }
}

/* The output keeps the inputs' most common format when downstream allows it,
 * so that the usual case (all NV12) needs no conversion at all. */
static GstCaps *gst_nmx_soft_vcomposer_update_caps(GstVideoAggregator *vagg, GstCaps *caps)
{
  std::vector<std::pair<GstVideoFormat, int>> counts;
  std::vector<std::pair<std::string, int>> colours;
  GST_OBJECT_LOCK(vagg);
  for (GList *l = GST_ELEMENT(vagg)->sinkpads; l; l = l->next) {
    GstVideoAggregatorPad *pad = GST_VIDEO_AGGREGATOR_PAD(l->data);
    /* A pad whose caps have not arrived has no format info at all. */
    GstVideoFormat f = pad->info.finfo ? GST_VIDEO_INFO_FORMAT(&pad->info) : GST_VIDEO_FORMAT_UNKNOWN;
    if (f == GST_VIDEO_FORMAT_UNKNOWN)
      continue;
    if (is_yuv(f)) {
      gchar *cm = gst_video_colorimetry_to_string(&pad->info.colorimetry);
      if (cm) {
        auto c = std::find_if(colours.begin(), colours.end(),
                              [cm](const std::pair<std::string, int> &e) { return e.first == cm; });
        if (c == colours.end())
          colours.emplace_back(cm, 1);
        else
          c->second++;
        g_free(cm);
      }
    }
    auto it = std::find_if(counts.begin(), counts.end(), [f](const std::pair<GstVideoFormat, int> &c) {
      return c.first == f;
    });
    if (it == counts.end())
      counts.emplace_back(f, 1);
    else
      it->second++;
  }
  GST_OBJECT_UNLOCK(vagg);
  /* Inputs with alpha are overlays (a detection layer, say): the picture
   * they go over decides, so the output does not change format when the
   * picture's caps arrive after the overlay's. */
  std::stable_sort(counts.begin(), counts.end(),
                   [](const std::pair<GstVideoFormat, int> &a, const std::pair<GstVideoFormat, int> &b) {
                     if (has_alpha(a.first) != has_alpha(b.first))
                       return !has_alpha(a.first);
                     return a.second > b.second;
                   });
  /* YUV output in the inputs' most common matrix and range: those inputs are
   * copied as they are, the others converted. */
  std::stable_sort(colours.begin(), colours.end(),
                   [](const std::pair<std::string, int> &a, const std::pair<std::string, int> &b) {
                     return a.second > b.second;
                   });
  auto with_colours = [&colours](GstCaps *res) {
    if (colours.empty() || gst_caps_is_empty(res))
      return res;
    const gchar *fmt = gst_structure_get_string(gst_caps_get_structure(res, 0), "format");
    if (!fmt || !is_yuv(gst_video_format_from_string(fmt)))
      return res;
    GstCaps *pref = gst_caps_copy(res);
    gst_caps_set_simple(pref, "colorimetry", G_TYPE_STRING, colours.front().first.c_str(), NULL);
    GstCaps *tmp = gst_caps_intersect(res, pref);
    gst_caps_unref(pref);
    if (gst_caps_is_empty(tmp)) {
      gst_caps_unref(tmp);
      return res;
    }
    gst_caps_unref(res);
    return tmp;
  };
  for (const auto &c : counts) {
    GstCaps *pref = gst_caps_copy(caps);
    gst_caps_set_simple(pref, "format", G_TYPE_STRING, gst_video_format_to_string(c.first), NULL);
    GstCaps *res = gst_caps_intersect(caps, pref);
    gst_caps_unref(pref);
    if (!gst_caps_is_empty(res))
      return with_colours(res);
    gst_caps_unref(res);
  }
  return with_colours(gst_caps_copy(caps));
}

/* Without a live input, the output is negotiated only once every input that
 * can still send has told its format, so the first frame already has the format
 * the picture decides (an overlay's caps often arrive first). Live inputs are
 * not waited for: one that never sends must not hold the others back. */
static GstFlowReturn gst_nmx_soft_vcomposer_update_src_caps(GstAggregator *agg, GstCaps *caps, GstCaps **ret)
{
  if (!GST_CLOCK_TIME_IS_VALID(gst_aggregator_get_latency(agg))) {
    bool all_known = true;
    GST_OBJECT_LOCK(agg);
    for (GList *l = GST_ELEMENT(agg)->sinkpads; l; l = l->next) {
      GstVideoAggregatorPad *pad = GST_VIDEO_AGGREGATOR_PAD(l->data);
      if ((!pad->info.finfo || GST_VIDEO_INFO_FORMAT(&pad->info) == GST_VIDEO_FORMAT_UNKNOWN) &&
          !gst_aggregator_pad_is_eos(GST_AGGREGATOR_PAD(pad))) {
        all_known = false;
        break;
      }
    }
    GST_OBJECT_UNLOCK(agg);
    if (!all_known)
      return GST_AGGREGATOR_FLOW_NEED_DATA;
  }
  return GST_AGGREGATOR_CLASS(gst_nmx_soft_vcomposer_parent_class)->update_src_caps(agg, caps, ret);
}

/* Resolved source and destination size of one pad for input @info, before
 * clipping to the output. */
static void pad_geometry(GstNmxSoftVComposerPad *pad, const GstVideoInfo *info, Rect &src, Rect &dst)
{
  int in_w = GST_VIDEO_INFO_WIDTH(info), in_h = GST_VIDEO_INFO_HEIGHT(info);
  src.x = std::min(pad->crop_x, in_w);
  src.y = std::min(pad->crop_y, in_h);
  src.w = pad->crop_w > 0 ? std::min(pad->crop_w, in_w - src.x) : in_w - src.x;
  src.h = pad->crop_h > 0 ? std::min(pad->crop_h, in_h - src.y) : in_h - src.y;
  dst.x = pad->x;
  dst.y = pad->y;
  dst.w = pad->width > 0 ? pad->width : src.w;
  dst.h = pad->height > 0 ? pad->height : src.h;
}

/* Without a size from downstream, the output is the bounding box of the
 * placed inputs, at the fastest input's rate. */
static GstCaps *gst_nmx_soft_vcomposer_fixate_src_caps(GstAggregator *agg, GstCaps *caps)
{
  int best_w = 0, best_h = 0, best_fn = 0, best_fd = 1;
  GST_OBJECT_LOCK(agg);
  for (GList *l = GST_ELEMENT(agg)->sinkpads; l; l = l->next) {
    GstVideoAggregatorPad *vpad = GST_VIDEO_AGGREGATOR_PAD(l->data);
    if (!vpad->info.finfo || GST_VIDEO_INFO_FORMAT(&vpad->info) == GST_VIDEO_FORMAT_UNKNOWN)
      continue;
    Rect src, dst;
    GST_OBJECT_LOCK(vpad);
    pad_geometry(NMX_VCOMPOSER_PAD(vpad), &vpad->info, src, dst);
    GST_OBJECT_UNLOCK(vpad);
    /* A placement reaching past any frame size the board produces does not
     * size the output (it would not fit in memory): it is clipped away. */
    const int64_t x1 = (int64_t)dst.x + dst.w, y1 = (int64_t)dst.y + dst.h;
    if (x1 > MAX_AUTO_EXTENT || y1 > MAX_AUTO_EXTENT) {
      GST_WARNING_OBJECT(vpad, "placement reaching %" G_GINT64_FORMAT "x%" G_GINT64_FORMAT
                         " does not size the output", x1, y1);
    } else {
      best_w = std::max(best_w, (int)x1);
      best_h = std::max(best_h, (int)y1);
    }
    int fn = GST_VIDEO_INFO_FPS_N(&vpad->info), fd = GST_VIDEO_INFO_FPS_D(&vpad->info);
    if (fn > 0 && fd > 0 && (best_fn == 0 || gst_util_fraction_compare(fn, fd, best_fn, best_fd) > 0)) {
      best_fn = fn;
      best_fd = fd;
    }
  }
  GST_OBJECT_UNLOCK(agg);
  if (best_fn == 0) {
    best_fn = DEFAULT_FRAMERATE_N;
    best_fd = 1;
  }
  caps = gst_caps_make_writable(caps);
  caps = gst_caps_truncate(caps);
  GstStructure *s = gst_caps_get_structure(caps, 0);
  if (best_w > 0 && best_h > 0) {
    gst_structure_fixate_field_nearest_int(s, "width", best_w);
    gst_structure_fixate_field_nearest_int(s, "height", best_h);
  }
  if (gst_structure_has_field(s, "framerate"))
    gst_structure_fixate_field_nearest_fraction(s, "framerate", best_fn, best_fd);
  else
    gst_structure_set(s, "framerate", GST_TYPE_FRACTION, best_fn, best_fd, NULL);
  if (gst_structure_has_field(s, "pixel-aspect-ratio"))
    gst_structure_fixate_field_nearest_fraction(s, "pixel-aspect-ratio", 1, 1);
  caps = gst_caps_fixate(caps);
  GST_DEBUG_OBJECT(agg, "fixated to %" GST_PTR_FORMAT, caps);
  return caps;
}

/* memory:GBM outputs are memfd buffers, as in qtivtransform: the base class
 * builds its pool with whichever allocator the query names first. */
static gboolean gst_nmx_soft_vcomposer_decide_allocation(GstAggregator *agg, GstQuery *query)
{
  GstCaps *outcaps = NULL;
  gst_query_parse_allocation(query, &outcaps, NULL);
  if (outcaps && nmx_soft_caps_want_gbm(outcaps))
    nmx_soft_query_use_gbm_memory(query);
  return GST_AGGREGATOR_CLASS(gst_nmx_soft_vcomposer_parent_class)->decide_allocation(agg, query);
}

/* Clips @p to the output; FALSE when nothing of it is visible. The part of
 * the source cut off follows the destination cut, mirrored when flipped. */
static bool clip_placement(Placement &p, int out_w, int out_h, bool even)
{
  Rect &s = p.src, &d = p.dst;
  if (s.w <= 0 || s.h <= 0 || d.w <= 0 || d.h <= 0)
    return false;
  /* Positions and sizes are whole ints from the pad properties: their sums
   * only fit in 64 bits. Once clipped, everything lies inside the frame. */
  const int64_t dx = d.x, dy = d.y, dw = d.w, dh = d.h;
  const int64_t left = std::max<int64_t>(0, -dx), top = std::max<int64_t>(0, -dy);
  const int64_t right = std::max<int64_t>(0, dx + dw - out_w), bottom = std::max<int64_t>(0, dy + dh - out_h);
  if (left + right >= dw || top + bottom >= dh)
    return false;
  auto src_cut = [](int64_t cut, int sdim, int64_t ddim) { return (int)(cut * sdim / ddim); };
  int sl = src_cut(left, s.w, dw), sr = src_cut(right, s.w, dw);
  int st = src_cut(top, s.h, dh), sb = src_cut(bottom, s.h, dh);
  if (p.flip_h)
    std::swap(sl, sr);
  if (p.flip_v)
    std::swap(st, sb);
  s.x += sl;
  s.w -= sl + sr;
  s.y += st;
  s.h -= st + sb;
  d.x = (int)(dx + left);
  d.w = (int)(dw - left - right);
  d.y = (int)(dy + top);
  d.h = (int)(dh - top - bottom);
  if (even) {
    /* 4:2:0 output: chroma sites decide, so the rectangle snaps to even
     * coordinates (never growing past the frame). */
    int x1 = d.x + d.w, y1 = d.y + d.h;
    d.x &= ~1;
    d.y &= ~1;
    d.w = (std::min(x1, out_w) - d.x) & ~1;
    d.h = (std::min(y1, out_h) - d.y) & ~1;
    if (d.w <= 0 || d.h <= 0)
      return false;
  }
  if (is_yuv(GST_VIDEO_FRAME_FORMAT(p.frame))) {
    int x1 = s.x + s.w, y1 = s.y + s.h;
    s.x &= ~1;
    s.y &= ~1;
    s.w = std::max(2, (x1 - s.x) & ~1);
    s.h = std::max(2, (y1 - s.y) & ~1);
    s.w = std::min(s.w, GST_VIDEO_FRAME_WIDTH(p.frame) - s.x);
    s.h = std::min(s.h, GST_VIDEO_FRAME_HEIGHT(p.frame) - s.y);
  }
  return s.w > 0 && s.h > 0;
}

/* Places rows [row0, row1) of a direct placement's destination. */
static void compose_direct_rows(NmxVComposerPrivate *priv, const Placement &p, const Image &src_view,
                                const Image &dst_view, int row0, int row1, int thread)
{
  const int dh = p.dst.h, sh = src_view.height;
  int srow0 = (int)((int64_t)row0 * sh / dh), srow1 = (int)((int64_t)row1 * sh / dh);
  if (is_yuv(src_view.format)) {
    srow0 &= ~1;
    srow1 = row1 == dh ? sh : (srow1 & ~1);
  }
  if (srow1 <= srow0)
    srow1 = std::min(sh, srow0 + (is_yuv(src_view.format) ? 2 : 1));
  Image s = rows_of(src_view, srow0, srow1);
  Image d = rows_of(dst_view, row0, row1);
  if (!p.flip_h) {
    scale_same_format(s, d);
    return;
  }
  Image tmp = nmxsoft::scratch_image(priv->thread_scratch[thread], d.format, d.width, d.height);
  scale_same_format(s, tmp);
  mirror(tmp, d);
}

/* A placement whose input needs converting, or blending: converted and
 * scaled into the pad's scratch at the destination size first. */
static void compose_converted(const Placement &p, const Image &out, const GstVideoInfo *out_info,
                              const nmxsoft::BlendCoefs &coefs)
{
  ComposerPadState *st = p.pad->state;
  const bool blend = has_alpha(GST_VIDEO_FRAME_FORMAT(p.frame));
  const GstVideoFormat tmp_fmt = blend ? GST_VIDEO_FORMAT_BGRA : GST_VIDEO_INFO_FORMAT(out_info);

  /* The usual overlay (a detection layer of the output's size): blended
   * straight from the input, no scratch copy. */
  if (blend && GST_VIDEO_FRAME_FORMAT(p.frame) == GST_VIDEO_FORMAT_BGRA && !p.flip_h && p.src.w == p.dst.w &&
      p.src.h == p.dst.h) {
    Image src = sub_image(Image::from_frame(p.frame), p.src);
    nmxsoft::blend_bgra(p.flip_v ? flipped_vertically(src) : src, sub_image(out, p.dst), coefs);
    return;
  }

  GstVideoInfo out_cfg;
  gst_video_info_set_format(&out_cfg, tmp_fmt, p.dst.w, p.dst.h);
  out_cfg.colorimetry = out_info->colorimetry;
  if (!st->converter_ready || !gst_video_info_is_equal(&st->converter_in, &p.frame->info) ||
      !gst_video_info_is_equal(&st->converter_out, &out_cfg)) {
    st->converter_ready = st->converter.configure(&p.frame->info, &out_cfg);
    st->converter_in = p.frame->info;
    st->converter_out = out_cfg;
    if (!st->converter_ready) {
      GST_WARNING_OBJECT(p.pad, "cannot convert %s to %s", GST_VIDEO_INFO_NAME(&p.frame->info),
                         gst_video_format_to_string(tmp_fmt));
      return;
    }
  }
  Image src = sub_image(Image::from_frame(p.frame), p.src);
  if (p.flip_v)
    src = flipped_vertically(src);
  Image tmp = nmxsoft::scratch_image(st->scratch, tmp_fmt, p.dst.w, p.dst.h);
  st->converter.convert(src, tmp);
  Image dst = sub_image(out, p.dst);
  if (blend) {
    if (p.flip_h) {
      /* libyuv cannot mirror in place. */
      Image m = nmxsoft::scratch_image(st->mirrored, tmp_fmt, tmp.width, tmp.height);
      mirror(tmp, m);
      nmxsoft::blend_bgra(m, dst, coefs);
    } else {
      nmxsoft::blend_bgra(tmp, dst, coefs);
    }
  } else if (p.flip_h) {
    mirror(tmp, dst);
  } else {
    scale_same_format(tmp, dst);
  }
}

static GstFlowReturn gst_nmx_soft_vcomposer_aggregate_frames(GstVideoAggregator *vagg, GstBuffer *outbuf)
{
  GstNmxSoftVComposer *self = NMX_VCOMPOSER(vagg);
  NmxVComposerPrivate *priv = self->priv;
  GstVideoFrame out_frame;
  if (!gst_video_frame_map(&out_frame, &vagg->info, outbuf, GST_MAP_WRITE)) {
    GST_ERROR_OBJECT(self, "cannot map the output buffer");
    return GST_FLOW_ERROR;
  }
  const Image out = Image::from_frame(&out_frame);
  const bool even = is_yuv(out.format);

  /* Pads are snapshotted (and ref'd) under the element lock, then composed
   * without it; pads sort by zorder in the base class. */
  std::vector<Placement> places;
  GST_OBJECT_LOCK(vagg);
  for (GList *l = GST_ELEMENT(vagg)->sinkpads; l; l = l->next) {
    GstVideoAggregatorPad *vpad = GST_VIDEO_AGGREGATOR_PAD(l->data);
    GstVideoFrame *frame = gst_video_aggregator_pad_get_prepared_frame(vpad);
    if (!frame)
      continue;
    GstNmxSoftVComposerPad *pad = NMX_VCOMPOSER_PAD(vpad);
    Placement p;
    p.frame = frame;
    GST_OBJECT_LOCK(pad);
    pad_geometry(pad, &frame->info, p.src, p.dst);
    p.flip_h = pad->flip_h;
    p.flip_v = pad->flip_v;
    GST_OBJECT_UNLOCK(pad);
    if (!clip_placement(p, out.width, out.height, even))
      continue;
    p.pad = NMX_VCOMPOSER_PAD(gst_object_ref(pad));
    /* Same format and, for YUV, the same matrix and range: copied as it is. */
    p.direct = GST_VIDEO_FRAME_FORMAT(frame) == out.format && !has_alpha(out.format) &&
               nmxsoft::same_yuv_colours(&frame->info, &vagg->info);
    places.push_back(p);
  }
  GST_OBJECT_UNLOCK(vagg);

  std::vector<Rect> opaque;
  for (const Placement &p : places)
    if (!has_alpha(GST_VIDEO_FRAME_FORMAT(p.frame)))
      opaque.push_back(p.dst);
  if (!covers(opaque, out.width, out.height))
    clear_background(out, GST_VIDEO_INFO_COLORIMETRY(&vagg->info).range == GST_VIDEO_COLOR_RANGE_0_255);

  /* Direct placements split into bands; overlapping placements must keep
   * their order, so bands only run in parallel when nothing overlaps. */
  bool overlap = false;
  for (size_t i = 0; i < places.size() && !overlap; i++)
    for (size_t j = i + 1; j < places.size(); j++) {
      const Rect &a = places[i].dst, &b = places[j].dst;
      if (a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h) {
        overlap = true;
        break;
      }
    }

  const nmxsoft::BlendCoefs coefs = nmxsoft::blend_coefs(GST_VIDEO_INFO_COLORIMETRY(&vagg->info));
  std::vector<Image> src_views(places.size()), dst_views(places.size());
  std::vector<Job> jobs;
  int64_t direct_area = 0;
  for (size_t i = 0; i < places.size(); i++) {
    const Placement &p = places[i];
    if (p.direct) {
      src_views[i] = sub_image(Image::from_frame(p.frame), p.src);
      if (p.flip_v)
        src_views[i] = flipped_vertically(src_views[i]);
      dst_views[i] = sub_image(out, p.dst);
      direct_area += (int64_t)p.dst.w * p.dst.h;
    }
  }
  /* NMXSOFT_CONVERT_THREADS=1 keeps all work on the aggregating thread, as
   * it does for the converters. */
  static const bool multi_core = std::thread::hardware_concurrency() > 1 &&
                                 !(g_getenv("NMXSOFT_CONVERT_THREADS") && atoi(g_getenv("NMXSOFT_CONVERT_THREADS")) == 1);
  /* Below roughly VGA the hand-off to the helper costs more than it saves. */
  const bool parallel = !overlap && multi_core && direct_area >= 640 * 360;
  for (size_t i = 0; i < places.size(); i++) {
    const Placement &p = places[i];
    int bands = 1;
    if (p.direct && parallel)
      bands = std::max(1, std::min(4, p.dst.h / 64));
    int band_h = ((p.dst.h + bands - 1) / bands + 1) & ~1;
    for (int row0 = 0; row0 < p.dst.h; row0 += band_h)
      jobs.push_back(Job{i, row0, std::min(p.dst.h, row0 + band_h)});
  }

  auto run_job = [&](int j, int thread) {
    const Job &job = jobs[j];
    const Placement &p = places[job.placement];
    if (p.direct)
      compose_direct_rows(priv, p, src_views[job.placement], dst_views[job.placement], job.row0, job.row1, thread);
    else
      compose_converted(p, out, &vagg->info, coefs);
  };
  if (parallel && jobs.size() > 1) {
    /* Converted placements touch only their own pad's scratch and their own
     * destination, which nothing else overlaps here. */
    if (!priv->worker)
      priv->worker.reset(new nmxsoft::BandWorker());
    std::function<void(int, int)> job = run_job;
    priv->worker->run((int)jobs.size(), job);
  } else {
    for (size_t j = 0; j < jobs.size(); j++)
      run_job((int)j, 0);
  }

  for (Placement &p : places)
    gst_object_unref(p.pad);
  gst_video_frame_unmap(&out_frame);
  return GST_FLOW_OK;
}

static gboolean gst_nmx_soft_vcomposer_stop(GstAggregator *agg)
{
  NMX_VCOMPOSER(agg)->priv->worker.reset();
  return GST_AGGREGATOR_CLASS(gst_nmx_soft_vcomposer_parent_class)->stop(agg);
}

static GstPad *gst_nmx_soft_vcomposer_request_new_pad(GstElement *element, GstPadTemplate *templ,
                                                      const gchar *name, const GstCaps *caps)
{
  GstPad *pad = GST_ELEMENT_CLASS(gst_nmx_soft_vcomposer_parent_class)->request_new_pad(element, templ, name, caps);
  if (pad)
    gst_child_proxy_child_added(GST_CHILD_PROXY(element), G_OBJECT(pad), GST_OBJECT_NAME(pad));
  return pad;
}

static void gst_nmx_soft_vcomposer_release_pad(GstElement *element, GstPad *pad)
{
  gchar *name = gst_object_get_name(GST_OBJECT(pad));
  gst_object_ref(pad);
  GST_ELEMENT_CLASS(gst_nmx_soft_vcomposer_parent_class)->release_pad(element, pad);
  gst_child_proxy_child_removed(GST_CHILD_PROXY(element), G_OBJECT(pad), name);
  gst_object_unref(pad);
  g_free(name);
}

/* Child proxy: makes "sink_0::position=..." work in launch text, also for
 * pads requested after the properties were parsed. */
static GObject *gst_nmx_soft_vcomposer_child_proxy_get_child_by_index(GstChildProxy *proxy, guint index)
{
  GObject *obj = NULL;
  GST_OBJECT_LOCK(proxy);
  obj = (GObject *)g_list_nth_data(GST_ELEMENT_CAST(proxy)->sinkpads, index);
  if (obj)
    gst_object_ref(obj);
  GST_OBJECT_UNLOCK(proxy);
  return obj;
}

static guint gst_nmx_soft_vcomposer_child_proxy_get_children_count(GstChildProxy *proxy)
{
  GST_OBJECT_LOCK(proxy);
  guint count = GST_ELEMENT_CAST(proxy)->numsinkpads;
  GST_OBJECT_UNLOCK(proxy);
  return count;
}

static void gst_nmx_soft_vcomposer_child_proxy_init(gpointer g_iface, gpointer iface_data)
{
  GstChildProxyInterface *iface = (GstChildProxyInterface *)g_iface;
  iface->get_child_by_index = gst_nmx_soft_vcomposer_child_proxy_get_child_by_index;
  iface->get_children_count = gst_nmx_soft_vcomposer_child_proxy_get_children_count;
}

static void gst_nmx_soft_vcomposer_finalize(GObject *object)
{
  delete NMX_VCOMPOSER(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_vcomposer_parent_class)->finalize(object);
}

static void gst_nmx_soft_vcomposer_class_init(GstNmxSoftVComposerClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstAggregatorClass *agg_class = GST_AGGREGATOR_CLASS(klass);
  GstVideoAggregatorClass *vagg_class = GST_VIDEO_AGGREGATOR_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_vcomposer_debug, "qtivcomposer", 0, "Soft video composer");

  gobject_class->set_property = nmx_soft_engine_set_property<GstNmxSoftVComposer>;
  gobject_class->get_property = nmx_soft_engine_get_property<GstNmxSoftVComposer>;
  gobject_class->finalize = gst_nmx_soft_vcomposer_finalize;

  nmx_soft_install_engine_property(gobject_class, PROP_ENGINE, "Composition");

  gst_element_class_add_static_pad_template_with_gtype(element_class, &sink_template,
                                                       gst_nmx_soft_vcomposer_pad_get_type());
  gst_element_class_add_static_pad_template_with_gtype(element_class, &src_template, GST_TYPE_AGGREGATOR_PAD);
  gst_element_class_set_static_metadata(element_class, "Video composer (soft)", "Filter/Editor/Video/Compositor",
                                        "Composes raw video inputs into one frame on the CPU", "Nimbra");

  element_class->request_new_pad = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_request_new_pad);
  element_class->release_pad = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_release_pad);
  agg_class->sink_query = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_sink_query);
  agg_class->fixate_src_caps = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_fixate_src_caps);
  agg_class->update_src_caps = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_update_src_caps);
  agg_class->decide_allocation = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_decide_allocation);
  agg_class->stop = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_stop);
  vagg_class->update_caps = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_update_caps);
  vagg_class->aggregate_frames = GST_DEBUG_FUNCPTR(gst_nmx_soft_vcomposer_aggregate_frames);

  gst_type_mark_as_plugin_api(gst_nmx_soft_vcomposer_pad_get_type(), (GstPluginAPIFlags)0);
}

static void gst_nmx_soft_vcomposer_init(GstNmxSoftVComposer *self)
{
  self->priv = new NmxVComposerPrivate();
}
