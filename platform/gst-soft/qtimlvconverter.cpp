// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtimlvconverter: turns each video frame into the model's input tensor (a
 * letterboxed 640x640 RGB frame, float32 in 0..1); the soft stand-in of the
 * board's ML pre-processor.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=10 ! video/x-raw,format=NV12,width=1280,height=720 ! \
 *       qtimlvconverter ! qtimlqnn model=yolov8.onnx ! qtimlvdetection module=yolov8 ! fakesink
 */
#include "qtimlvconverter.h"

#include "common.h"
#include "mltensor.h"
#include "nmx-yolo-common.h"

#include <gst/base/gstbasetransform.h>
#include <gst/video/video.h>

#include <opencv2/imgproc.hpp>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_vmlconverter_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_vmlconverter_debug

#define VMLCONVERTER_FORMATS "{ NV12, NV21, RGB, BGR }"
#define VMLCONVERTER_SINK_CAPS                                                  \
  GST_VIDEO_CAPS_MAKE(VMLCONVERTER_FORMATS) ";"                                  \
  GST_VIDEO_CAPS_MAKE_WITH_FEATURES(NMX_SOFT_CAPS_FEATURE_GBM, VMLCONVERTER_FORMATS)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VMLCONVERTER_SINK_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(NMX_SOFT_TENSOR_CAPS_NAME));

struct NmxVMlConverterPrivate {
  // Negotiated state, only touched from the streaming thread.
  GstVideoInfo info{};
  bool negotiated = false;
  cv::Mat bgr;
};

typedef struct {
  GstBaseTransform parent;
  NmxVMlConverterPrivate *priv;
} GstNmxSoftVMlConverter;

typedef struct {
  GstBaseTransformClass parent_class;
} GstNmxSoftVMlConverterClass;

#define NMX_VMLCONVERTER(obj) ((GstNmxSoftVMlConverter *)(obj))

G_DEFINE_TYPE(GstNmxSoftVMlConverter, gst_nmx_soft_vmlconverter, GST_TYPE_BASE_TRANSFORM)

static GstCaps *gst_nmx_soft_vmlconverter_transform_caps(GstBaseTransform *trans, GstPadDirection direction,
                                                         GstCaps *caps, GstCaps *filter)
{
  GstCaps *out;
  if (direction == GST_PAD_SINK) {
    out = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); i++) {
      const GstStructure *s = gst_caps_get_structure(caps, i);
      GstStructure *t = gst_structure_new_empty(NMX_SOFT_TENSOR_CAPS_NAME);
      const char *fields[][2] = {{"width", "source-width"}, {"height", "source-height"}, {"framerate", "framerate"}};
      for (auto &f : fields)
        if (const GValue *v = gst_structure_get_value(s, f[0]))
          gst_structure_set_value(t, f[1], v);
      out = gst_caps_merge_structure(out, t);
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

static gboolean gst_nmx_soft_vmlconverter_set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps *)
{
  NmxVMlConverterPrivate *priv = NMX_VMLCONVERTER(trans)->priv;
  priv->negotiated = gst_video_info_from_caps(&priv->info, incaps);
  if (!priv->negotiated)
    GST_ERROR_OBJECT(trans, "cannot read video caps %" GST_PTR_FORMAT, incaps);
  return priv->negotiated;
}

static gboolean gst_nmx_soft_vmlconverter_transform_size(GstBaseTransform *, GstPadDirection direction, GstCaps *,
                                                         gsize, GstCaps *, gsize *othersize)
{
  if (direction != GST_PAD_SINK)
    return FALSE;
  *othersize = nmxsoft::kModelInputElements * sizeof(float);
  return TRUE;
}

static GstFlowReturn gst_nmx_soft_vmlconverter_transform(GstBaseTransform *trans, GstBuffer *inbuf,
                                                         GstBuffer *outbuf)
{
  NmxVMlConverterPrivate *priv = NMX_VMLCONVERTER(trans)->priv;
  if (!priv->negotiated)
    return GST_FLOW_NOT_NEGOTIATED;
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &priv->info, inbuf, GST_MAP_READ)) {
    GST_ERROR_OBJECT(trans, "cannot map the input frame");
    return GST_FLOW_ERROR;
  }
  const int w = GST_VIDEO_FRAME_WIDTH(&frame), h = GST_VIDEO_FRAME_HEIGHT(&frame);
  auto plane = [&](int p, int rows, int type) {
    return cv::Mat(rows, w, type,
                   GST_VIDEO_FRAME_PLANE_DATA(&frame, p), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p));
  };
  switch (GST_VIDEO_FRAME_FORMAT(&frame)) {
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21: {
      /* Planes need not be contiguous (memory:GBM), so each gets its own view. */
      cv::Mat y = plane(0, h, CV_8UC1);
      cv::Mat uv(h / 2, w / 2, CV_8UC2, GST_VIDEO_FRAME_PLANE_DATA(&frame, 1), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1));
      cv::cvtColorTwoPlane(y, uv, priv->bgr,
                           GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_NV12 ? cv::COLOR_YUV2BGR_NV12
                                                                                  : cv::COLOR_YUV2BGR_NV21);
      break;
    }
    case GST_VIDEO_FORMAT_RGB:
      cv::cvtColor(plane(0, h, CV_8UC3), priv->bgr, cv::COLOR_RGB2BGR);
      break;
    default:
      plane(0, h, CV_8UC3).copyTo(priv->bgr);
      break;
  }
  gst_video_frame_unmap(&frame);

  GstMapInfo out;
  if (!gst_buffer_map(outbuf, &out, GST_MAP_WRITE)) {
    GST_ERROR_OBJECT(trans, "cannot map the output tensor");
    return GST_FLOW_ERROR;
  }
  float scale;
  int new_w, new_h;
  bool ok = out.size >= nmxsoft::kModelInputElements * sizeof(float) &&
            nmx::yolo::letterbox_yolov8(priv->bgr.data, w, h, (int)priv->bgr.step, (float *)out.data,
                                        nmxsoft::kModelSize, nmxsoft::kModelSize, &scale, &new_w, &new_h);
  gst_buffer_unmap(outbuf, &out);
  if (!ok) {
    GST_ERROR_OBJECT(trans, "cannot letterbox a %dx%d frame", w, h);
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

static void gst_nmx_soft_vmlconverter_finalize(GObject *object)
{
  delete NMX_VMLCONVERTER(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_vmlconverter_parent_class)->finalize(object);
}

static void gst_nmx_soft_vmlconverter_class_init(GstNmxSoftVMlConverterClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *bt_class = GST_BASE_TRANSFORM_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_vmlconverter_debug, "qtimlvconverter", 0, "Soft ML pre-processor");
  gobject_class->finalize = gst_nmx_soft_vmlconverter_finalize;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ML video converter (soft)", "Filter/Converter/Video",
                                        "Video frame to letterboxed model input tensor", "Nimbra");
  bt_class->transform_caps = gst_nmx_soft_vmlconverter_transform_caps;
  bt_class->set_caps = gst_nmx_soft_vmlconverter_set_caps;
  bt_class->transform_size = gst_nmx_soft_vmlconverter_transform_size;
  bt_class->transform = gst_nmx_soft_vmlconverter_transform;
  bt_class->passthrough_on_same_caps = FALSE;
}

static void gst_nmx_soft_vmlconverter_init(GstNmxSoftVMlConverter *self)
{
  self->priv = new NmxVMlConverterPrivate();
}
