// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtivoverlay: draws logos and texts into every frame, in place; the soft
 * stand-in of the board's overlay engine.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=NV12,width=1280,height=720 ! \
 *       qtivoverlay \
 *         images='{(structure)"logo,path=/tmp/logo.png,resolution=<200,100>,destination=<20,20,200,100>;"}' \
 *         strings='{(structure)"gate,contents=\"Gate3\",fontsize=32,position=<20,140>,color=0xFF0000FF;"}' ! \
 *       fakesink
 *
 * In a launch description given as one text, the lists are quoted once more:
 *   images="{(structure)\"logo,path=...;\"}" strings="{(structure)\"t,contents=\\\"Gate 3\\\",...;\"}"
 *
 * Both properties hold a list of structures ({...} or <...>, or a single
 * structure). An image structure names the file ("path": PNG, JPEG, ... or
 * raw RGBA of "resolution" <w,h>) and where it goes ("destination"
 * <x,y,w,h>; a zero size keeps the resolution, then the picture's own size).
 * A text structure has "contents", "fontsize" (pixel height of capitals),
 * "position" <x,y> of its top-left corner and "color" 0xRRGGBBAA.
 * Layers are rendered once, when a property is set; each frame only blends.
 */
#include "qtivoverlay.h"

#include "blend.h"
#include "common.h"
#include "convert.h"

#include <gst/video/video.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_voverlay_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_voverlay_debug

enum { PROP_0, PROP_IMAGES, PROP_STRINGS, PROP_ENGINE };

#define DEFAULT_IMAGES NULL
#define DEFAULT_STRINGS NULL
#define DEFAULT_TEXT_COLOR 0xFF0000FFu
#define DEFAULT_FONT_SIZE 24
/* Layers are cut to the frame; before the frame size is known, to the
 * largest frame the board's converters handle. */
#define MAX_FRAME_SIDE 8192

#define VOVERLAY_CAPS NMX_SOFT_RAW_CAPS(NMX_SOFT_CONVERT_FORMATS)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VOVERLAY_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VOVERLAY_CAPS));

namespace {

/* One rendered picture: BGRA (straight alpha) with its top-left corner. */
struct Layer {
  int x = 0, y = 0;
  cv::Mat bgra;
};

/* The frame the layers are drawn for: only what lands inside is rendered. */
struct Bounds {
  int width = MAX_FRAME_SIDE, height = MAX_FRAME_SIDE;
};

/* Parses "{(structure)"a,...;", ...}" (or <...>, or one bare structure) into
 * structures. FALSE on text that is none of these. */
bool parse_structures(const char *text, std::vector<GstStructure *> &out)
{
  std::string t = text ? text : "";
  size_t b = t.find_first_not_of(" \t");
  if (b == std::string::npos)
    return true;
  t = t.substr(b);
  GValue v = G_VALUE_INIT;
  bool ok = false;
  if (t[0] == '{' || t[0] == '<') {
    g_value_init(&v, t[0] == '{' ? GST_TYPE_LIST : GST_TYPE_ARRAY);
    if (gst_value_deserialize(&v, t.c_str())) {
      guint n = t[0] == '{' ? gst_value_list_get_size(&v) : gst_value_array_get_size(&v);
      ok = true;
      for (guint i = 0; i < n; i++) {
        const GValue *e = t[0] == '{' ? gst_value_list_get_value(&v, i) : gst_value_array_get_value(&v, i);
        if (GST_VALUE_HOLDS_STRUCTURE(e)) {
          out.push_back(gst_structure_copy(gst_value_get_structure(e)));
        } else if (G_VALUE_HOLDS_STRING(e)) {
          GstStructure *s = gst_structure_from_string(g_value_get_string(e), NULL);
          if (s)
            out.push_back(s);
          else
            ok = false;
        } else {
          ok = false;
        }
      }
    }
    g_value_unset(&v);
  } else {
    GstStructure *s = gst_structure_from_string(t.c_str(), NULL);
    if (s) {
      out.push_back(s);
      ok = true;
    }
  }
  return ok;
}

/* Up to @n ints of an array field ("<1,2>"); FALSE when missing or malformed. */
bool get_ints(const GstStructure *s, const char *field, int n, int *out)
{
  const GValue *v = gst_structure_get_value(s, field);
  if (!v || !GST_VALUE_HOLDS_ARRAY(v) || (int)gst_value_array_get_size(v) != n)
    return false;
  for (int i = 0; i < n; i++) {
    const GValue *e = gst_value_array_get_value(v, i);
    if (!G_VALUE_HOLDS_INT(e))
      return false;
    out[i] = g_value_get_int(e);
  }
  return true;
}

/* 0xRRGGBBAA as whatever numeric type the text deserialised to (0xFF...
 * overflows a signed int and arrives as a negative one). */
guint32 get_color(const GstStructure *s, const char *field)
{
  const GValue *v = gst_structure_get_value(s, field);
  if (!v)
    return DEFAULT_TEXT_COLOR;
  if (G_VALUE_HOLDS_INT(v))
    return (guint32)g_value_get_int(v);
  if (G_VALUE_HOLDS_UINT(v))
    return g_value_get_uint(v);
  if (G_VALUE_HOLDS_INT64(v))
    return (guint32)g_value_get_int64(v);
  if (G_VALUE_HOLDS_UINT64(v))
    return (guint32)g_value_get_uint64(v);
  if (G_VALUE_HOLDS_STRING(v))
    return (guint32)strtoul(g_value_get_string(v), NULL, 0);
  return DEFAULT_TEXT_COLOR;
}

/* A picture file (PNG, JPEG, whatever the installed GStreamer decoders read) as BGRA,
 * empty when it cannot be read. GStreamer's decoders rather than OpenCV's image codecs:
 * those pull in some two hundred libraries (GDAL and its formats), paged into every
 * process that loads this plug-in only to read the odd logo. */
cv::Mat read_picture(const char *path)
{
  GError *err = nullptr;
  GstElement *pipe = gst_parse_launch("filesrc name=src ! decodebin ! videoconvert ! "
                                      "video/x-raw,format=BGRA ! appsink name=sink sync=false max-buffers=1",
                                      &err);
  if (!pipe) {
    GST_WARNING("cannot build a pipeline to read %s: %s", path, err ? err->message : "?");
    g_clear_error(&err);
    return cv::Mat();
  }
  g_clear_error(&err);
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipe), "src");
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "sink");
  g_object_set(src, "location", path, NULL);
  cv::Mat out;
  if (gst_element_set_state(pipe, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE) {
    /* The first decoded picture prerolls the sink; an error (no such file, not a picture)
     * ends the wait instead. */
    GstBus *bus = gst_element_get_bus(pipe);
    GstMessage *msg = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                 (GstMessageType)(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
    if (msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ASYNC_DONE) {
      GstSample *sample = nullptr;
      g_signal_emit_by_name(sink, "pull-preroll", &sample);
      GstVideoInfo info;
      GstVideoFrame frame;
      if (sample && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
          gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        cv::Mat view(GST_VIDEO_FRAME_HEIGHT(&frame), GST_VIDEO_FRAME_WIDTH(&frame), CV_8UC4,
                     GST_VIDEO_FRAME_PLANE_DATA(&frame, 0), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
        out = view.clone();
        gst_video_frame_unmap(&frame);
      }
      if (sample)
        gst_sample_unref(sample);
    }
    if (msg)
      gst_message_unref(msg);
    gst_object_unref(bus);
  }
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(src);
  gst_object_unref(sink);
  gst_object_unref(pipe);
  return out;
}

/* Any 1-, 3- or 4-channel picture as BGRA. */
cv::Mat to_bgra(const cv::Mat &m)
{
  cv::Mat out;
  if (m.channels() == 4)
    out = m;
  else if (m.channels() == 3)
    cv::cvtColor(m, out, cv::COLOR_BGR2BGRA);
  else
    cv::cvtColor(m, out, cv::COLOR_GRAY2BGRA);
  return out;
}

bool render_image(GstObject *self, const GstStructure *s, const Bounds &frame, Layer &layer)
{
  const gchar *path = gst_structure_get_string(s, "path");
  if (!path || !*path) {
    GST_ERROR_OBJECT(self, "image %s has no path", gst_structure_get_name(s));
    return false;
  }
  int res[2] = {0, 0}, dst[4] = {0, 0, 0, 0};
  get_ints(s, "resolution", 2, res);
  if (!get_ints(s, "destination", 4, dst) && !get_ints(s, "destination", 2, dst)) {
    GST_ERROR_OBJECT(self, "image %s has no destination <x,y,w,h>", gst_structure_get_name(s));
    return false;
  }
  cv::Mat pic = read_picture(path);
  if (pic.empty() && res[0] > 0 && res[1] > 0 && res[0] <= MAX_FRAME_SIDE && res[1] <= MAX_FRAME_SIDE) {
    /* The board's own format: raw RGBA of the stated resolution. */
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (bytes.size() == (size_t)res[0] * res[1] * 4) {
      cv::Mat rgba(res[1], res[0], CV_8UC4, bytes.data());
      cv::cvtColor(rgba, pic, cv::COLOR_RGBA2BGRA);
    }
  }
  if (pic.empty() || pic.depth() != CV_8U) {
    GST_ERROR_OBJECT(self, "cannot read image %s from %s", gst_structure_get_name(s), path);
    return false;
  }
  pic = to_bgra(pic);
  int w = dst[2] > 0 ? dst[2] : (res[0] > 0 ? res[0] : pic.cols);
  int h = dst[3] > 0 ? dst[3] : (res[1] > 0 ? res[1] : pic.rows);
  /* A logo larger than the frame is shown at the frame's size. */
  if (w > frame.width || h > frame.height) {
    GST_WARNING_OBJECT(self, "image %s of %dx%d clamped to the %dx%d frame", gst_structure_get_name(s), w, h,
                       frame.width, frame.height);
    w = std::min(w, frame.width);
    h = std::min(h, frame.height);
  }
  if (w != pic.cols || h != pic.rows)
    cv::resize(pic, pic, cv::Size(w, h), 0, 0, cv::INTER_AREA);
  layer.x = dst[0];
  layer.y = dst[1];
  layer.bgra = pic.isContinuous() ? pic : pic.clone();
  return true;
}

bool render_text(GstObject *self, const GstStructure *s, const Bounds &frame, Layer &layer)
{
  const gchar *contents = gst_structure_get_string(s, "contents");
  if (!contents) {
    GST_ERROR_OBJECT(self, "text %s has no contents", gst_structure_get_name(s));
    return false;
  }
  int size = DEFAULT_FONT_SIZE, pos[2] = {0, 0};
  gst_structure_get_int(s, "fontsize", &size);
  if (size <= 0)
    size = DEFAULT_FONT_SIZE;
  if (size > frame.height) {
    GST_WARNING_OBJECT(self, "text %s: fontsize %d clamped to the frame height %d", gst_structure_get_name(s), size,
                       frame.height);
    size = frame.height;
  }
  get_ints(s, "position", 2, pos);
  guint32 color = get_color(s, "color");
  if (!*contents)
    return false;

  const int font = cv::FONT_HERSHEY_SIMPLEX;
  const int thickness = std::max(1, size / 12);
  const double scale = cv::getFontScaleFromHeight(font, size, thickness);
  int baseline = 0;
  cv::Size box = cv::getTextSize(contents, font, scale, thickness, &baseline);
  const int pad = thickness + 1;
  /* Only the part inside the frame is rendered: a long text at a large size
   * would not fit in memory otherwise. putText clips at the mask's edges. */
  const int64_t full_w = (int64_t)box.width + 2 * pad, full_h = (int64_t)box.height + baseline + 2 * pad;
  const int64_t x0 = std::max<int64_t>(pos[0], 0), y0 = std::max<int64_t>(pos[1], 0);
  const int64_t x1 = std::min<int64_t>((int64_t)pos[0] + full_w, frame.width);
  const int64_t y1 = std::min<int64_t>((int64_t)pos[1] + full_h, frame.height);
  if (x1 <= x0 || y1 <= y0)
    return false;
  cv::Mat mask = cv::Mat::zeros((int)(y1 - y0), (int)(x1 - x0), CV_8UC1);
  cv::putText(mask, contents, cv::Point((int)(pad - (x0 - pos[0])), (int)(pad + box.height - (y0 - pos[1]))), font,
              scale, cv::Scalar(255), thickness, cv::LINE_AA);
  const int r = (color >> 24) & 0xff, g = (color >> 16) & 0xff, b = (color >> 8) & 0xff, a = color & 0xff;
  cv::Mat bgra(mask.rows, mask.cols, CV_8UC4, cv::Scalar(b, g, r, 0));
  for (int y = 0; y < mask.rows; y++) {
    const uint8_t *m = mask.ptr<uint8_t>(y);
    uint8_t *o = bgra.ptr<uint8_t>(y);
    for (int x = 0; x < mask.cols; x++)
      o[4 * x + 3] = (uint8_t)((m[x] * a + 127) / 255);
  }
  layer.x = (int)x0;
  layer.y = (int)y0;
  layer.bgra = bgra;
  return true;
}

}  // namespace

struct NmxVOverlayPrivate {
  std::mutex lock;  // guards everything below
  std::string images_text;
  std::string strings_text;
  NmxSoftEngine engine;
  /* Rendered layers; frames take a reference under the lock and blend
   * without it, a property change swaps in a new list. */
  std::shared_ptr<const std::vector<Layer>> image_layers = std::make_shared<std::vector<Layer>>();
  std::shared_ptr<const std::vector<Layer>> text_layers = std::make_shared<std::vector<Layer>>();
  Bounds frame;  // the negotiated frame, once known
};

typedef struct {
  GstVideoFilter parent;
  NmxVOverlayPrivate *priv;
} GstNmxSoftVOverlay;

typedef struct {
  GstVideoFilterClass parent_class;
} GstNmxSoftVOverlayClass;

#define NMX_VOVERLAY(obj) ((GstNmxSoftVOverlay *)(obj))

G_DEFINE_TYPE(GstNmxSoftVOverlay, gst_nmx_soft_voverlay, GST_TYPE_VIDEO_FILTER)

static void blend_layer(const Layer &layer, const nmxsoft::Image &frame, const nmxsoft::BlendCoefs &coefs)
{
  int x = layer.x, y = layer.y, w = layer.bgra.cols, h = layer.bgra.rows;
  const bool yuv = frame.format == GST_VIDEO_FORMAT_NV12 || frame.format == GST_VIDEO_FORMAT_NV21 ||
                   frame.format == GST_VIDEO_FORMAT_I420;
  if (yuv) {
    /* Chroma pairs start on even coordinates. */
    x &= ~1;
    y &= ~1;
  }
  int sx = 0, sy = 0;
  if (x < 0) {
    sx = -x;
    w += x;
    x = 0;
  }
  if (y < 0) {
    sy = -y;
    h += y;
    y = 0;
  }
  w = std::min(w, frame.width - x);
  h = std::min(h, frame.height - y);
  if (w <= 0 || h <= 0)
    return;
  if (yuv && (sx & 1)) {
    sx++;
    x++;
    w--;
  }
  nmxsoft::Image src;
  src.format = GST_VIDEO_FORMAT_BGRA;
  src.width = w;
  src.height = h;
  src.data[0] = const_cast<uint8_t *>(layer.bgra.ptr<uint8_t>(sy)) + 4 * sx;
  src.stride[0] = (int)layer.bgra.step[0];
  nmxsoft::blend_bgra(src, nmxsoft::image_region(frame, x, y, w, h), coefs);
}

static GstFlowReturn gst_nmx_soft_voverlay_transform_frame_ip(GstVideoFilter *filter, GstVideoFrame *frame)
{
  NmxVOverlayPrivate *priv = NMX_VOVERLAY(filter)->priv;
  std::shared_ptr<const std::vector<Layer>> images, texts;
  {
    std::lock_guard<std::mutex> l(priv->lock);
    images = priv->image_layers;
    texts = priv->text_layers;
  }
  if (!nmxsoft::convert_format_supported(GST_VIDEO_FRAME_FORMAT(frame))) {
    GST_ERROR_OBJECT(filter, "unsupported format %s", GST_VIDEO_INFO_NAME(&frame->info));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  const nmxsoft::Image img = nmxsoft::Image::from_frame(frame);
  const nmxsoft::BlendCoefs coefs = nmxsoft::blend_coefs(GST_VIDEO_INFO_COLORIMETRY(&frame->info));
  /* Texts over logos. */
  for (const Layer &layer : *images)
    blend_layer(layer, img, coefs);
  for (const Layer &layer : *texts)
    blend_layer(layer, img, coefs);
  return GST_FLOW_OK;
}

/* Renders the layers of one property; entries that fail are logged and
 * left out, the others still drawn. */
static std::shared_ptr<const std::vector<Layer>> render_layers(GstNmxSoftVOverlay *self, const char *text,
                                                               bool images, const Bounds &frame)
{
  auto layers = std::make_shared<std::vector<Layer>>();
  std::vector<GstStructure *> structs;
  if (!parse_structures(text, structs))
    GST_ERROR_OBJECT(self, "cannot parse %s \"%s\"", images ? "images" : "strings", text);
  for (GstStructure *s : structs) {
    Layer layer;
    /* OpenCV throws on what it cannot decode or allocate; a bad entry is
     * left out, never thrown through set_property. */
    try {
      if (images ? render_image(GST_OBJECT(self), s, frame, layer) : render_text(GST_OBJECT(self), s, frame, layer))
        layers->push_back(std::move(layer));
    } catch (const std::exception &e) {
      GST_ERROR_OBJECT(self, "cannot render %s %s: %s", images ? "image" : "text", gst_structure_get_name(s),
                       e.what());
    }
    gst_structure_free(s);
  }
  return layers;
}

/* The frame size decides what of each layer is visible: a new size renders
 * the layers again. */
static gboolean gst_nmx_soft_voverlay_set_info(GstVideoFilter *filter, GstCaps *, GstVideoInfo *in_info, GstCaps *,
                                               GstVideoInfo *)
{
  GstNmxSoftVOverlay *self = NMX_VOVERLAY(filter);
  NmxVOverlayPrivate *priv = self->priv;
  Bounds frame;
  frame.width = GST_VIDEO_INFO_WIDTH(in_info);
  frame.height = GST_VIDEO_INFO_HEIGHT(in_info);
  std::string images, strings;
  {
    std::lock_guard<std::mutex> l(priv->lock);
    if (priv->frame.width == frame.width && priv->frame.height == frame.height)
      return TRUE;
    priv->frame = frame;
    images = priv->images_text;
    strings = priv->strings_text;
  }
  auto image_layers = render_layers(self, images.c_str(), true, frame);
  auto text_layers = render_layers(self, strings.c_str(), false, frame);
  {
    std::lock_guard<std::mutex> l(priv->lock);
    /* A property set meanwhile rendered for this frame already. */
    if (priv->images_text == images)
      priv->image_layers = image_layers;
    if (priv->strings_text == strings)
      priv->text_layers = text_layers;
  }
  return TRUE;
}

static void update_passthrough(GstNmxSoftVOverlay *self)
{
  bool empty;
  {
    std::lock_guard<std::mutex> l(self->priv->lock);
    empty = self->priv->image_layers->empty() && self->priv->text_layers->empty();
  }
  /* Nothing to draw: frames pass untouched, and shared ones are not copied. */
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), empty);
}

static void gst_nmx_soft_voverlay_set_property(GObject *object, guint prop_id, const GValue *value,
                                               GParamSpec *pspec)
{
  GstNmxSoftVOverlay *self = NMX_VOVERLAY(object);
  NmxVOverlayPrivate *priv = self->priv;
  switch (prop_id) {
    case PROP_IMAGES:
    case PROP_STRINGS: {
      const gchar *text = g_value_get_string(value);
      const bool images = prop_id == PROP_IMAGES;
      /* Rendering reads files: done before taking the lock. */
      Bounds frame;
      {
        std::lock_guard<std::mutex> l(priv->lock);
        frame = priv->frame;
      }
      auto layers = render_layers(self, text, images, frame);
      {
        std::lock_guard<std::mutex> l(priv->lock);
        (images ? priv->images_text : priv->strings_text) = text ? text : "";
        (images ? priv->image_layers : priv->text_layers) = layers;
      }
      update_passthrough(self);
      break;
    }
    case PROP_ENGINE:
      priv->engine.set(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_voverlay_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  NmxVOverlayPrivate *priv = NMX_VOVERLAY(object)->priv;
  if (prop_id == PROP_ENGINE) {
    priv->engine.get(value);
    return;
  }
  std::lock_guard<std::mutex> l(priv->lock);
  switch (prop_id) {
    case PROP_IMAGES:
      g_value_set_string(value, priv->images_text.empty() ? NULL : priv->images_text.c_str());
      break;
    case PROP_STRINGS:
      g_value_set_string(value, priv->strings_text.empty() ? NULL : priv->strings_text.c_str());
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_voverlay_finalize(GObject *object)
{
  delete NMX_VOVERLAY(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_voverlay_parent_class)->finalize(object);
}

static void gst_nmx_soft_voverlay_class_init(GstNmxSoftVOverlayClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_voverlay_debug, "qtivoverlay", 0, "Soft video overlay");

  gobject_class->set_property = gst_nmx_soft_voverlay_set_property;
  gobject_class->get_property = gst_nmx_soft_voverlay_get_property;
  gobject_class->finalize = gst_nmx_soft_voverlay_finalize;

  /* Plain text holding a structure list: launch lines write the list in
   * {...} braces, which no array-typed property would deserialise. */
  g_object_class_install_property(
      gobject_class, PROP_IMAGES,
      g_param_spec_string("images", "Images",
                          "Logos: list of structures with \"path\", \"resolution\" <w,h> and \"destination\" "
                          "<x,y,w,h>",
                          DEFAULT_IMAGES,
                          (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(
      gobject_class, PROP_STRINGS,
      g_param_spec_string("strings", "Strings",
                          "Texts: list of structures with \"contents\", \"fontsize\", \"position\" <x,y> and "
                          "\"color\" 0xRRGGBBAA",
                          DEFAULT_STRINGS,
                          (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING)));
  nmx_soft_install_engine_property(gobject_class, PROP_ENGINE, "Overlay");

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "Video overlay (soft)", "Filter/Effect/Video",
                                        "Draws logos and texts into raw video on the CPU", "Nimbra");

  trans_class->transform_ip_on_passthrough = FALSE;
  filter_class->transform_frame_ip = GST_DEBUG_FUNCPTR(gst_nmx_soft_voverlay_transform_frame_ip);
  filter_class->set_info = GST_DEBUG_FUNCPTR(gst_nmx_soft_voverlay_set_info);
}

static void gst_nmx_soft_voverlay_init(GstNmxSoftVOverlay *self)
{
  self->priv = new NmxVOverlayPrivate();
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
}
