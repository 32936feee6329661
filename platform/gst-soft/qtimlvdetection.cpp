// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtimlvdetection: decodes the detection model's output tensors and draws
 * the boxes and labels into a transparent BGRA overlay frame of the
 * picture's size, for a composer to lay over the picture; the soft stand-in
 * of the board's detection post-processor.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=10 ! video/x-raw,format=NV12,width=640,height=360 ! \
 *       qtimlvconverter ! qtimlqnn model=yolov8.onnx ! \
 *       qtimlvdetection threshold=75 results=10 module=yolov8 labels=coco.labels ! fakesink
 *
 * "module" names the model's output layout: "yolov8" (or
 * "yolov8-detection"), boxes [4][8400] and class scores [80][8400].
 * "threshold" is a percentage; "results" bounds the boxes drawn per frame.
 */
#include "qtimlvdetection.h"

#include "common.h"
#include "mltensor.h"
#include "nmx-yolo-common.h"

#include <gst/base/gstbasetransform.h>
#include <gst/video/video.h>

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_vmldetection_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_vmldetection_debug

enum { PROP_0, PROP_THRESHOLD, PROP_RESULTS, PROP_MODULE, PROP_LABELS };

#define DEFAULT_THRESHOLD 50.0
#define DEFAULT_RESULTS 10
#define DEFAULT_MODULE "yolov8"
#define DEFAULT_LABELS NULL
#define NMS_THRESHOLD 0.45f

#define VMLDETECTION_SRC_CAPS                                  \
  GST_VIDEO_CAPS_MAKE("BGRA") ";"                               \
  GST_VIDEO_CAPS_MAKE_WITH_FEATURES(NMX_SOFT_CAPS_FEATURE_GBM, "BGRA")

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(NMX_SOFT_TENSOR_CAPS_NAME));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VMLDETECTION_SRC_CAPS));

struct DetectionSettings {
  double threshold = DEFAULT_THRESHOLD;
  guint results = DEFAULT_RESULTS;
  std::string module = DEFAULT_MODULE;
  std::string labels;
};

struct NmxVMlDetectionPrivate {
  std::mutex lock;  // guards settings
  DetectionSettings settings;
  // Set up in start/set_caps, only touched from the streaming thread.
  std::vector<std::string> label_names;
  GstVideoInfo out_info{};
  float scale = 1.0f;
  bool negotiated = false;
};

typedef struct {
  GstBaseTransform parent;
  NmxVMlDetectionPrivate *priv;
} GstNmxSoftVMlDetection;

typedef struct {
  GstBaseTransformClass parent_class;
} GstNmxSoftVMlDetectionClass;

#define NMX_VMLDETECTION(obj) ((GstNmxSoftVMlDetection *)(obj))

G_DEFINE_TYPE(GstNmxSoftVMlDetection, gst_nmx_soft_vmldetection, GST_TYPE_BASE_TRANSFORM)

static bool known_module(const std::string &m) { return m == "yolov8" || m == "yolov8-detection"; }

static gboolean gst_nmx_soft_vmldetection_start(GstBaseTransform *trans)
{
  NmxVMlDetectionPrivate *priv = NMX_VMLDETECTION(trans)->priv;
  DetectionSettings s;
  {
    std::lock_guard<std::mutex> g(priv->lock);
    s = priv->settings;
  }
  if (!known_module(s.module)) {
    GST_ERROR_OBJECT(trans, "unknown module \"%s\"", s.module.c_str());
    return FALSE;
  }
  priv->label_names.clear();
  if (!s.labels.empty()) {
    std::ifstream in(s.labels);
    if (!in)
      GST_WARNING_OBJECT(trans, "cannot read labels %s; classes are shown by number", s.labels.c_str());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      priv->label_names.push_back(line);
    }
  }
  return TRUE;
}

static GstCaps *gst_nmx_soft_vmldetection_transform_caps(GstBaseTransform *trans, GstPadDirection direction,
                                                         GstCaps *caps, GstCaps *filter)
{
  GstCaps *out;
  if (direction == GST_PAD_SINK) {
    out = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); i++) {
      const GstStructure *s = gst_caps_get_structure(caps, i);
      GstStructure *t = gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "BGRA", NULL);
      const char *fields[][2] = {{"source-width", "width"}, {"source-height", "height"}, {"framerate", "framerate"}};
      for (auto &f : fields)
        if (const GValue *v = gst_structure_get_value(s, f[0]))
          gst_structure_set_value(t, f[1], v);
      GstCaps *one = gst_caps_new_full(t, NULL);
      GstCaps *both = nmx_soft_caps_add_gbm_variants(one);
      gst_caps_unref(one);
      out = gst_caps_merge(out, both);
    }
  } else {
    out = gst_pad_get_pad_template_caps(GST_BASE_TRANSFORM_SINK_PAD(trans));
  }
  if (filter) {
    GstCaps *tmp = gst_caps_intersect_full(filter, out, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(out);
    out = tmp;
  }
  return out;
}

static gboolean gst_nmx_soft_vmldetection_set_caps(GstBaseTransform *trans, GstCaps *, GstCaps *outcaps)
{
  NmxVMlDetectionPrivate *priv = NMX_VMLDETECTION(trans)->priv;
  priv->negotiated = gst_video_info_from_caps(&priv->out_info, outcaps);
  int new_w, new_h;
  if (!priv->negotiated ||
      !nmx::yolo::letterbox_geometry(GST_VIDEO_INFO_WIDTH(&priv->out_info), GST_VIDEO_INFO_HEIGHT(&priv->out_info),
                                     nmxsoft::kModelSize, nmxsoft::kModelSize, &priv->scale, &new_w, &new_h)) {
    GST_ERROR_OBJECT(trans, "cannot use output caps %" GST_PTR_FORMAT, outcaps);
    priv->negotiated = false;
  }
  return priv->negotiated;
}

static gboolean gst_nmx_soft_vmldetection_transform_size(GstBaseTransform *trans, GstPadDirection direction,
                                                         GstCaps *, gsize, GstCaps *othercaps, gsize *othersize)
{
  GstVideoInfo info;
  if (direction != GST_PAD_SINK || !gst_video_info_from_caps(&info, othercaps)) {
    GST_ERROR_OBJECT(trans, "no output size for %" GST_PTR_FORMAT, othercaps);
    return FALSE;
  }
  *othersize = GST_VIDEO_INFO_SIZE(&info);
  return TRUE;
}

static GstFlowReturn gst_nmx_soft_vmldetection_transform(GstBaseTransform *trans, GstBuffer *inbuf,
                                                         GstBuffer *outbuf)
{
  NmxVMlDetectionPrivate *priv = NMX_VMLDETECTION(trans)->priv;
  if (!priv->negotiated)
    return GST_FLOW_NOT_NEGOTIATED;
  DetectionSettings s;
  {
    std::lock_guard<std::mutex> g(priv->lock);
    s = priv->settings;
  }
  GstMapInfo in;
  if (!gst_buffer_map(inbuf, &in, GST_MAP_READ))
    return GST_FLOW_ERROR;
  if (in.size < nmxsoft::kModelOutputElements * sizeof(float)) {
    GST_ERROR_OBJECT(trans, "output tensors of %" G_GSIZE_FORMAT " bytes are too small", in.size);
    gst_buffer_unmap(inbuf, &in);
    return GST_FLOW_ERROR;
  }
  const float *box = (const float *)in.data;
  nmx::yolo::ModelGeometry g;
  nmx::yolo::model_geometry(nmxsoft::kModelSize, &g);
  nmx::yolo::Yolov8Result r;
  // A box's confidence is its class probability, as the board's element reports it.
  nmx::yolo::decode_yolov8(box, box + nmxsoft::kBoxElements, g, priv->scale, (float)(s.threshold / 100.0),
                           NMS_THRESHOLD, &r);
  gst_buffer_unmap(inbuf, &in);

  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &priv->out_info, outbuf, GST_MAP_WRITE)) {
    GST_ERROR_OBJECT(trans, "cannot map the overlay frame");
    return GST_FLOW_ERROR;
  }
  const int w = GST_VIDEO_FRAME_WIDTH(&frame), h = GST_VIDEO_FRAME_HEIGHT(&frame);
  cv::Mat canvas(h, w, CV_8UC4, GST_VIDEO_FRAME_PLANE_DATA(&frame, 0), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
  canvas.setTo(cv::Scalar(0, 0, 0, 0));  // transparent where nothing is drawn
  const cv::Scalar colour(0, 255, 0, 255);
  guint drawn = 0;
  for (int k : r.keep) {
    if (drawn++ >= s.results)
      break;
    const cv::Rect &b = r.boxes[k];
    cv::rectangle(canvas, b, colour, 2);
    const int id = r.class_ids[k];
    std::string name = id >= 0 && (size_t)id < priv->label_names.size() ? priv->label_names[id] : std::to_string(id);
    char text[160];
    g_snprintf(text, sizeof text, "%s %.0f%%", name.c_str(), r.scores[k] * 100.0f);
    cv::putText(canvas, text, cv::Point(b.x, std::max(b.y - 4, 12)), cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1);
  }
  gst_video_frame_unmap(&frame);
  return GST_FLOW_OK;
}

static void gst_nmx_soft_vmldetection_set_property(GObject *object, guint prop_id, const GValue *value,
                                                   GParamSpec *pspec)
{
  NmxVMlDetectionPrivate *priv = NMX_VMLDETECTION(object)->priv;
  std::lock_guard<std::mutex> g(priv->lock);
  switch (prop_id) {
    case PROP_THRESHOLD:
      priv->settings.threshold = g_value_get_double(value);
      break;
    case PROP_RESULTS:
      priv->settings.results = g_value_get_uint(value);
      break;
    case PROP_MODULE: {
      const gchar *v = g_value_get_string(value);
      priv->settings.module = v ? v : "";
      break;
    }
    case PROP_LABELS: {
      const gchar *v = g_value_get_string(value);
      priv->settings.labels = v ? v : "";
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_vmldetection_get_property(GObject *object, guint prop_id, GValue *value,
                                                   GParamSpec *pspec)
{
  NmxVMlDetectionPrivate *priv = NMX_VMLDETECTION(object)->priv;
  std::lock_guard<std::mutex> g(priv->lock);
  switch (prop_id) {
    case PROP_THRESHOLD:
      g_value_set_double(value, priv->settings.threshold);
      break;
    case PROP_RESULTS:
      g_value_set_uint(value, priv->settings.results);
      break;
    case PROP_MODULE:
      g_value_set_string(value, priv->settings.module.c_str());
      break;
    case PROP_LABELS:
      g_value_set_string(value, priv->settings.labels.c_str());
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_vmldetection_finalize(GObject *object)
{
  delete NMX_VMLDETECTION(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_vmldetection_parent_class)->finalize(object);
}

static void gst_nmx_soft_vmldetection_class_init(GstNmxSoftVMlDetectionClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *bt_class = GST_BASE_TRANSFORM_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_vmldetection_debug, "qtimlvdetection", 0, "Soft detection post-processor");
  gobject_class->set_property = gst_nmx_soft_vmldetection_set_property;
  gobject_class->get_property = gst_nmx_soft_vmldetection_get_property;
  gobject_class->finalize = gst_nmx_soft_vmldetection_finalize;
  const GParamFlags flags = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(gobject_class, PROP_THRESHOLD,
                                  g_param_spec_double("threshold", "Threshold", "Lowest confidence drawn, in percent",
                                                      0.0, 100.0, DEFAULT_THRESHOLD,
                                                      (GParamFlags)(flags | GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(gobject_class, PROP_RESULTS,
                                  g_param_spec_uint("results", "Results", "Most boxes drawn per frame", 0, G_MAXUINT,
                                                    DEFAULT_RESULTS, (GParamFlags)(flags | GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(gobject_class, PROP_MODULE,
                                  g_param_spec_string("module", "Module", "Output layout of the model (yolov8)",
                                                      DEFAULT_MODULE, (GParamFlags)(flags | GST_PARAM_MUTABLE_READY)));
  g_object_class_install_property(gobject_class, PROP_LABELS,
                                  g_param_spec_string("labels", "Labels", "File of class names, one per line",
                                                      DEFAULT_LABELS, (GParamFlags)(flags | GST_PARAM_MUTABLE_READY)));
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ML video detection (soft)", "Filter/Effect/Video",
                                        "Draws detections into a transparent overlay frame", "Nimbra");
  bt_class->start = gst_nmx_soft_vmldetection_start;
  bt_class->transform_caps = gst_nmx_soft_vmldetection_transform_caps;
  bt_class->set_caps = gst_nmx_soft_vmldetection_set_caps;
  bt_class->transform_size = gst_nmx_soft_vmldetection_transform_size;
  bt_class->transform = gst_nmx_soft_vmldetection_transform;
  bt_class->passthrough_on_same_caps = FALSE;
}

static void gst_nmx_soft_vmldetection_init(GstNmxSoftVMlDetection *self)
{
  self->priv = new NmxVMlDetectionPrivate();
}
