// SPDX-License-Identifier: BSD-3-Clause
/**
 * SECTION:element-nmx-tarkin-video
 *
 * Runs a YOLOv8 instance-segmentation model on BGR frames in GBM memory and pushes,
 * for every frame, an overlay frame of the same size (masks, boxes and tags on a
 * cleared background) for a compositor to lay over the video.
 *
 *   gst-launch-1.0 filesrc location=clip.mp4 ! qtdemux ! h264parse ! qtivdec ! \
 *       qtivtransform ! "video/x-raw(memory:GBM),format=BGR" ! \
 *       nmx-tarkin-video model=yolov8-seg.onnx ! video/x-raw,format=BGRA ! fakesink
 *
 * A frame the engine fails on passes with an empty overlay and a warning on the
 * bus; 25 failed frames in a row end the stream with an error.
 */
#include "nmx-tarkin-video.h"

#include "nmx-tarkin-video-engine.h"

#include <cstdio>
#include <cstring>

#include "nmx-tarkin-props.h"

GST_DEBUG_CATEGORY_EXTERN (gst_nmx_tarkin_video_debug);
#define GST_CAT_DEFAULT gst_nmx_tarkin_video_debug

/* After the category: the shared element code logs in this element's category. */
#include "nmx-tarkin-element.h"

#define DEFAULT_MODEL_TYPE "yolov8-segmentation"

#define PERIODIC_LOG_FRAMES 25

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE ("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS ("video/x-raw(memory:GBM), format=(string)BGR, width=(int)[1,MAX], height=(int)[1,MAX]"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE ("src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS ("video/x-raw, format=(string){ BGR, BGRA }, width=(int)[1,MAX], height=(int)[1,MAX]; "
        "video/x-raw(memory:GBM), format=(string){ BGR, BGRA }, width=(int)[1,MAX], height=(int)[1,MAX]"));

G_DEFINE_TYPE (GstNmxTarkinVideo, gst_nmx_tarkin_video, GST_TYPE_BASE_TRANSFORM);

GST_ELEMENT_REGISTER_DEFINE (nmx_tarkin_video, "nmx-tarkin-video", GST_RANK_NONE, GST_TYPE_NMX_TARKIN_VIDEO);

static GstCaps *
gst_nmx_tarkin_video_transform_caps (GstBaseTransform * trans, GstPadDirection direction, GstCaps * caps,
    GstCaps * filter)
{
  GstCaps *res = direction == GST_PAD_SINK ? gst_static_pad_template_get_caps (&src_template)
      : gst_static_pad_template_get_caps (&sink_template);
  if (filter) {
    GstCaps *tmp = gst_caps_intersect_full (filter, res, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref (res);
    res = tmp;
  }
  return res;
}

/* The output must have the input's size; left to the default, an open width and
 * height would fixate to 1x1 and negotiation would then be refused. */
static GstCaps *
gst_nmx_tarkin_video_fixate_caps (GstBaseTransform * trans, GstPadDirection direction, GstCaps * caps,
    GstCaps * othercaps)
{
  othercaps = gst_caps_truncate (gst_caps_make_writable (othercaps));
  GstStructure *out = gst_caps_get_structure (othercaps, 0);
  const GstStructure *in = gst_caps_get_structure (caps, 0);
  gint width = 0, height = 0, num = 0, den = 1;
  if (gst_structure_get_int (in, "width", &width))
    gst_structure_fixate_field_nearest_int (out, "width", width);
  if (gst_structure_get_int (in, "height", &height))
    gst_structure_fixate_field_nearest_int (out, "height", height);
  if (gst_structure_get_fraction (in, "framerate", &num, &den)) {
    if (gst_structure_has_field (out, "framerate"))
      gst_structure_fixate_field_nearest_fraction (out, "framerate", num, den);
    else
      gst_structure_set (out, "framerate", GST_TYPE_FRACTION, num, den, NULL);
  }
  return gst_caps_fixate (othercaps);
}

static gboolean
gst_nmx_tarkin_video_get_unit_size (GstBaseTransform * trans, GstCaps * caps, gsize * size)
{
  GstVideoInfo info;
  if (!gst_video_info_from_caps (&info, caps))
    return FALSE;
  *size = GST_VIDEO_INFO_SIZE (&info);
  return TRUE;
}

static gboolean
gst_nmx_tarkin_video_transform_size (GstBaseTransform * trans, GstPadDirection direction, GstCaps * caps,
    gsize size, GstCaps * othercaps, gsize * othersize)
{
  GstVideoInfo info;
  if (!othercaps || !gst_video_info_from_caps (&info, othercaps))
    return FALSE;
  *othersize = GST_VIDEO_INFO_SIZE (&info);
  return TRUE;
}

static gboolean
gst_nmx_tarkin_video_set_caps (GstBaseTransform * trans, GstCaps * incaps, GstCaps * outcaps)
{
  GstNmxTarkinVideo *self = GST_NMX_TARKIN_VIDEO (trans);
  if (!gst_video_info_from_caps (&self->in_info, incaps)) {
    GST_ERROR_OBJECT (self, "Failed to parse input video caps: %" GST_PTR_FORMAT, incaps);
    self->in_info_valid = self->out_info_valid = FALSE;
    return FALSE;
  }
  if (!gst_video_info_from_caps (&self->out_info, outcaps)) {
    GST_ERROR_OBJECT (self, "Failed to parse output video caps: %" GST_PTR_FORMAT, outcaps);
    self->in_info_valid = self->out_info_valid = FALSE;
    return FALSE;
  }
  if (GST_VIDEO_INFO_WIDTH (&self->in_info) != GST_VIDEO_INFO_WIDTH (&self->out_info) ||
      GST_VIDEO_INFO_HEIGHT (&self->in_info) != GST_VIDEO_INFO_HEIGHT (&self->out_info)) {
    GST_ERROR_OBJECT (self, "Input/output resolution mismatch: in=%dx%d out=%dx%d. This plugin requires "
        "matching dimensions.", GST_VIDEO_INFO_WIDTH (&self->in_info), GST_VIDEO_INFO_HEIGHT (&self->in_info),
        GST_VIDEO_INFO_WIDTH (&self->out_info), GST_VIDEO_INFO_HEIGHT (&self->out_info));
    self->in_info_valid = self->out_info_valid = FALSE;
    return FALSE;
  }
  self->in_info_valid = self->out_info_valid = TRUE;
  return TRUE;
}

static gboolean
gst_nmx_tarkin_video_sink_event (GstBaseTransform * trans, GstEvent * event)
{
  GstNmxTarkinVideo *self = GST_NMX_TARKIN_VIDEO (trans);
  switch (GST_EVENT_TYPE (event)) {
    case GST_EVENT_FLUSH_START:
      g_atomic_int_set (&self->flushing, TRUE);
      break;
    case GST_EVENT_FLUSH_STOP:
      g_atomic_int_set (&self->flushing, FALSE);
      break;
    default:
      break;
  }
  return GST_BASE_TRANSFORM_CLASS (gst_nmx_tarkin_video_parent_class)->sink_event (trans, event);
}

static GstFlowReturn
gst_nmx_tarkin_video_prepare_output_buffer (GstBaseTransform * trans, GstBuffer * input, GstBuffer ** outbuf)
{
  GstFlowReturn ret =
      GST_BASE_TRANSFORM_CLASS (gst_nmx_tarkin_video_parent_class)->prepare_output_buffer (trans, input, outbuf);
  if (ret != GST_FLOW_OK)
    return ret;
  if (!*outbuf)
    return GST_FLOW_ERROR;
  gst_buffer_copy_into (*outbuf, input, (GstBufferCopyFlags) (GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS), 0,
      -1);
  return GST_FLOW_OK;
}

/* Every pixel of a mapped BGR or BGRA overlay frame to 0: nothing drawn, fully
 * transparent in BGRA. */
static void
gst_nmx_tarkin_video_clear (GstVideoFrame * frame)
{
  const gsize row = (gsize) GST_VIDEO_FRAME_WIDTH (frame) * GST_VIDEO_FRAME_COMP_PSTRIDE (frame, 0);
  guint8 *data = (guint8 *) GST_VIDEO_FRAME_PLANE_DATA (frame, 0);
  for (int y = 0; y < GST_VIDEO_FRAME_HEIGHT (frame); y++)
    memset (data + (gsize) y * GST_VIDEO_FRAME_PLANE_STRIDE (frame, 0), 0, row);
}

/* A failed frame still gives an overlay frame, an empty one, so the video it is laid
 * over goes on; the stream ends only after 25 failed frames in a row. */
static GstFlowReturn
gst_nmx_tarkin_video_frame_failed (GstNmxTarkinVideo * self, guint64 frame, const char *reason)
{
  if (nmx_tarkin_frame_failed (self, frame, "passed with an empty overlay", reason))
    return GST_FLOW_ERROR;
  return GST_FLOW_OK;
}

static GstFlowReturn
gst_nmx_tarkin_video_transform (GstBaseTransform * trans, GstBuffer * inbuf, GstBuffer * outbuf)
{
  GstNmxTarkinVideo *self = GST_NMX_TARKIN_VIDEO (trans);

  if (g_atomic_int_get (&self->flushing))
    return GST_FLOW_FLUSHING;
  if (!self->engine || !self->in_info_valid || !self->out_info_valid) {
    GST_ERROR_OBJECT (self, "Engine or video info not ready");
    return GST_FLOW_NOT_NEGOTIATED;
  }

  GstVideoFrame in_frame, out_frame;
  if (!gst_video_frame_map (&out_frame, &self->out_info, outbuf, GST_MAP_WRITE)) {
    GST_ERROR_OBJECT (self, "Failed to map output video frame");
    return GST_FLOW_ERROR;
  }
  if (!gst_video_frame_map (&in_frame, &self->in_info, inbuf, GST_MAP_READ)) {
    GST_ERROR_OBJECT (self, "Failed to map input video frame");
    gst_nmx_tarkin_video_clear (&out_frame);
    gst_video_frame_unmap (&out_frame);
    return gst_nmx_tarkin_video_frame_failed (self, self->frame_count + 1, "cannot map the input video frame");
  }

  self->frame_count++;
  const gint64 t0 = g_get_monotonic_time ();
  gboolean ok = gst_nmx_tarkin_video_engine_process_frame (self->engine,
      (const guint8 *) GST_VIDEO_FRAME_PLANE_DATA (&in_frame, 0), GST_VIDEO_FRAME_WIDTH (&in_frame),
      GST_VIDEO_FRAME_HEIGHT (&in_frame), GST_VIDEO_FRAME_PLANE_STRIDE (&in_frame, 0),
      GST_VIDEO_FRAME_FORMAT (&out_frame), (guint8 *) GST_VIDEO_FRAME_PLANE_DATA (&out_frame, 0),
      GST_VIDEO_FRAME_WIDTH (&out_frame), GST_VIDEO_FRAME_HEIGHT (&out_frame),
      GST_VIDEO_FRAME_PLANE_STRIDE (&out_frame, 0), (guint) (self->frame_count & 0xffffffffu));
  const double infer_ms = (g_get_monotonic_time () - t0) / 1000.0;
  if (!ok)
    gst_nmx_tarkin_video_clear (&out_frame);  /* whatever a failed stage left in it */
  gst_video_frame_unmap (&out_frame);
  gst_video_frame_unmap (&in_frame);

  if (self->frame_count % PERIODIC_LOG_FRAMES == 0) {
    g_printerr ("[nmx-tarkin-video] frame=%" G_GUINT64_FORMAT " whole engine process infer_ms=%.3f",
        self->frame_count, infer_ms);
    fflush (stderr);
  }
  if (!ok) {
    GST_ERROR_OBJECT (self, "Video engine process failed");
    return gst_nmx_tarkin_video_frame_failed (self, self->frame_count, gst_nmx_tarkin_video_engine_last_error ());
  }
  nmx_tarkin_frame_succeeded (self);
  return GST_FLOW_OK;
}

static GstStateChangeReturn
gst_nmx_tarkin_video_change_state (GstElement * element, GstStateChange transition)
{
  static const NmxTarkinEngineOps<GstNmxTarkinVideoEngine> ops = {
    "nmx-tarkin-video-settings", DEFAULT_MODEL_TYPE, "Failed to create nmx-tarkin-video engine",
    gst_nmx_tarkin_video_engine_new, gst_nmx_tarkin_video_engine_free, gst_nmx_tarkin_video_engine_last_error,
  };
  return nmx_tarkin_change_state (GST_NMX_TARKIN_VIDEO (element), transition,
      GST_ELEMENT_CLASS (gst_nmx_tarkin_video_parent_class), ops, [](GstNmxTarkinVideo *, GstStructure *) {
      });
}

static void
gst_nmx_tarkin_video_set_property (GObject * object, guint prop_id, const GValue * value, GParamSpec * pspec)
{
  if (!nmx_tarkin_set_property (GST_NMX_TARKIN_VIDEO (object), prop_id, value, pspec))
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
gst_nmx_tarkin_video_get_property (GObject * object, guint prop_id, GValue * value, GParamSpec * pspec)
{
  if (!nmx_tarkin_get_property (GST_NMX_TARKIN_VIDEO (object), prop_id, value, pspec))
    G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
}

static void
gst_nmx_tarkin_video_finalize (GObject * object)
{
  GstNmxTarkinVideo *self = GST_NMX_TARKIN_VIDEO (object);
  gst_nmx_tarkin_video_engine_free (self->engine);
  self->engine = NULL;
  g_free (self->model);
  g_free (self->model_type);
  G_OBJECT_CLASS (gst_nmx_tarkin_video_parent_class)->finalize (object);
}

static void
gst_nmx_tarkin_video_class_init (GstNmxTarkinVideoClass * klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS (klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS (klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS (klass);

  gobject_class->set_property = gst_nmx_tarkin_video_set_property;
  gobject_class->get_property = gst_nmx_tarkin_video_get_property;
  gobject_class->finalize = gst_nmx_tarkin_video_finalize;

  nmx_tarkin_install_properties (gobject_class, DEFAULT_MODEL_TYPE,
      "Inference logic type (currently only yolov8-segmentation is supported)");

  gst_element_class_set_static_metadata (element_class, "Tarkin segmentation overlay video plugin", "ML/Video",
      "Read GBM BGR video frames, run segmentation inference, and output overlay video for qtivcomposer", "NMX");
  gst_element_class_add_static_pad_template (element_class, &sink_template);
  gst_element_class_add_static_pad_template (element_class, &src_template);
  element_class->change_state = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_change_state);

  trans_class->transform_caps = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_transform_caps);
  trans_class->fixate_caps = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_fixate_caps);
  trans_class->get_unit_size = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_get_unit_size);
  trans_class->transform_size = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_transform_size);
  trans_class->set_caps = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_set_caps);
  trans_class->sink_event = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_sink_event);
  trans_class->prepare_output_buffer = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_prepare_output_buffer);
  trans_class->transform = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_video_transform);
  trans_class->passthrough_on_same_caps = FALSE;
}

static void
gst_nmx_tarkin_video_init (GstNmxTarkinVideo * self)
{
  self->flushing = FALSE;
  self->engine = NULL;
  gst_video_info_init (&self->in_info);
  gst_video_info_init (&self->out_info);
  self->in_info_valid = FALSE;
  self->out_info_valid = FALSE;
  self->model = NULL;
  self->model_type = g_strdup (DEFAULT_MODEL_TYPE);
  self->roi_width = NMX_TARKIN_DEFAULT_ROI_WIDTH;
  self->roi_height = NMX_TARKIN_DEFAULT_ROI_HEIGHT;
  self->box_thresh = NMX_TARKIN_DEFAULT_BOX_THRESH;
  self->nms_thresh = NMX_TARKIN_DEFAULT_NMS_THRESH;
  self->print_valid_boxes = NMX_TARKIN_DEFAULT_PRINT_VALID_BOXES;
  self->box_thresh_set = FALSE;
  self->nms_thresh_set = FALSE;
  self->frame_count = 0;
  self->model_size = NMX_TARKIN_DEFAULT_MODEL_SIZE;
  self->consecutive_failures = 0;
  gst_base_transform_set_passthrough (GST_BASE_TRANSFORM (self), FALSE);
  gst_base_transform_set_in_place (GST_BASE_TRANSFORM (self), FALSE);
}
