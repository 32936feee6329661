// SPDX-License-Identifier: BSD-3-Clause
/**
 * SECTION:element-nmx-tarkin
 *
 * Runs a YOLOv5 or YOLOv8 detection model on packed BGR frames and pushes one
 * serialized detection text per frame, or with output-format=json one line of JSON
 * per frame.
 *
 *   gst-launch-1.0 filesrc location=clip.mp4 ! qtdemux ! h264parse ! qtivdec ! \
 *       qtivtransform ! video/x-raw,format=BGR ! nmx-tarkin model=yolov5.onnx ! fakesink
 *
 * A frame the engine fails on is dropped with a warning on the bus; 25 failed
 * frames in a row end the stream with an error.
 */
#include "nmx-tarkin.h"

#include "nmx-tarkin-engine.h"

#include <cstdio>
#include <cstring>

#include "nmx-tarkin-props.h"

GST_DEBUG_CATEGORY_EXTERN (gst_nmx_tarkin_debug);
#define GST_CAT_DEFAULT gst_nmx_tarkin_debug

/* After the category: the shared element code logs in this element's category. */
#include "nmx-tarkin-element.h"

#define DEFAULT_MODEL_TYPE "yolov5"

#define DEFAULT_TEXT_BUF_SIZE (4 * 1024 * 1024)
#define MAX_TEXT_SIZE (8 * 1024 * 1024)
#define PERIODIC_LOG_FRAMES 250

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE ("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS ("video/x-raw, format=(string)BGR, width=(int)[1,MAX], height=(int)[1,MAX]; "
        "video/x-raw(memory:GBM), format=(string)BGR, width=(int)[1,MAX], height=(int)[1,MAX]"));

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE ("src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS ("text/x-raw, format=(string)utf8"));

G_DEFINE_TYPE (GstNmxTarkin, gst_nmx_tarkin, GST_TYPE_BASE_TRANSFORM);

GType
gst_nmx_tarkin_output_format_get_type (void)
{
  static gsize type = 0;
  static const GEnumValue values[] = {
    {GST_NMX_TARKIN_OUTPUT_STRUCTURE, "Serialized GStreamer structure text", "structure"},
    {GST_NMX_TARKIN_OUTPUT_JSON, "One JSON object per frame, one line each", "json"},
    {0, NULL, NULL},
  };
  if (g_once_init_enter (&type)) {
    GType t = g_enum_register_static ("GstNmxTarkinOutputFormat", values);
    g_once_init_leave (&type, t);
  }
  return (GType) type;
}

GST_ELEMENT_REGISTER_DEFINE (nmx_tarkin, "nmx-tarkin", GST_RANK_NONE, GST_TYPE_NMX_TARKIN);

static GstCaps *
gst_nmx_tarkin_transform_caps (GstBaseTransform * trans, GstPadDirection direction, GstCaps * caps,
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

static gboolean
gst_nmx_tarkin_set_caps (GstBaseTransform * trans, GstCaps * incaps, GstCaps * outcaps)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (trans);
  if (!gst_video_info_from_caps (&self->info, incaps)) {
    GST_ERROR_OBJECT (self, "Failed to parse input video caps: %" GST_PTR_FORMAT, incaps);
    self->info_valid = FALSE;
    return FALSE;
  }
  self->info_valid = TRUE;
  GST_INFO_OBJECT (self, "Configured input: %dx%d stride=%d format=%s", GST_VIDEO_INFO_WIDTH (&self->info),
      GST_VIDEO_INFO_HEIGHT (&self->info), GST_VIDEO_INFO_PLANE_STRIDE (&self->info, 0),
      gst_video_format_to_string (GST_VIDEO_INFO_FORMAT (&self->info)));
  return TRUE;
}

static gboolean
gst_nmx_tarkin_sink_event (GstBaseTransform * trans, GstEvent * event)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (trans);
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
  return GST_BASE_TRANSFORM_CLASS (gst_nmx_tarkin_parent_class)->sink_event (trans, event);
}

static GstFlowReturn
gst_nmx_tarkin_prepare_output_buffer (GstBaseTransform * trans, GstBuffer * input, GstBuffer ** outbuf)
{
  *outbuf = gst_buffer_new_allocate (NULL, DEFAULT_TEXT_BUF_SIZE, NULL);
  if (!*outbuf) {
    GST_ERROR_OBJECT (trans, "Failed to allocate output buffer");
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

/* A failed frame gives no text: it is dropped with a warning, and the stream goes on
 * until 25 frames in a row have failed. */
static GstFlowReturn
gst_nmx_tarkin_frame_failed (GstNmxTarkin * self, guint64 frame, const char *reason)
{
  if (nmx_tarkin_frame_failed (self, frame, "dropped", reason))
    return GST_FLOW_ERROR;
  return GST_BASE_TRANSFORM_FLOW_DROPPED;
}

static GstFlowReturn
gst_nmx_tarkin_transform (GstBaseTransform * trans, GstBuffer * inbuf, GstBuffer * outbuf)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (trans);

  if (g_atomic_int_get (&self->flushing))
    return GST_FLOW_FLUSHING;
  if (!self->engine || !self->info_valid) {
    GST_ERROR_OBJECT (self, "Engine or video info not ready");
    return GST_FLOW_NOT_NEGOTIATED;
  }

  GstVideoFrame frame;
  if (!gst_video_frame_map (&frame, &self->info, inbuf, GST_MAP_READ)) {
    GST_ERROR_OBJECT (self, "Failed to map input video frame");
    return gst_nmx_tarkin_frame_failed (self, self->frame_count + 1, "cannot map the input video frame");
  }

  const gint64 now = g_get_monotonic_time ();
  const double interval_ms = self->last_call_us != 0 ? (now - self->last_call_us) / 1000.0 : 0.0;
  self->last_call_us = now;

  double pts_interval_ms = -1.0;
  const GstClockTime pts = GST_BUFFER_PTS (inbuf);
  if (GST_CLOCK_TIME_IS_VALID (pts)) {
    if (self->have_last_pts && self->last_pts <= pts)
      pts_interval_ms = (pts - self->last_pts) / 1000000.0;
    self->last_pts = pts;
    self->have_last_pts = TRUE;
  }

  self->frame_count++;
  char *text = NULL;
  gsize text_len = 0;
  const guint8 *data = (const guint8 *) GST_VIDEO_FRAME_PLANE_DATA (&frame, 0);
  const int width = GST_VIDEO_FRAME_WIDTH (&frame), height = GST_VIDEO_FRAME_HEIGHT (&frame);
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE (&frame, 0);
  const gint64 t0 = g_get_monotonic_time ();
  gboolean ok = self->active_output_format == GST_NMX_TARKIN_OUTPUT_JSON
      ? gst_nmx_tarkin_engine_execute_json (self->engine, data, width, height, stride, self->frame_count, pts,
          &text, &text_len)
      : gst_nmx_tarkin_engine_execute_video (self->engine, data, width, height, stride,
          (guint) (self->frame_count & 0xffffffffu), &text, &text_len);
  const double infer_ms = (g_get_monotonic_time () - t0) / 1000.0;
  gst_video_frame_unmap (&frame);

  if (gchar *warning = gst_nmx_tarkin_engine_take_warning (self->engine)) {
    GST_ELEMENT_WARNING (self, STREAM, FORMAT, ("%s", warning), (NULL));
    g_free (warning);
  }
  if (!ok || !text) {
    g_free (text);
    GST_ERROR_OBJECT (self, "Engine execute failed");
    return gst_nmx_tarkin_frame_failed (self, self->frame_count, gst_nmx_tarkin_engine_last_error ());
  }
  if (text_len == 0 || text_len > MAX_TEXT_SIZE) {
    GST_ERROR_OBJECT (self, "Invalid serialized text size: %zu", (size_t) text_len);
    g_free (text);
    return gst_nmx_tarkin_frame_failed (self, self->frame_count, "invalid serialized text size");
  }

  GstMapInfo map;
  if (!gst_buffer_map (outbuf, &map, GST_MAP_WRITE)) {
    g_free (text);
    GST_ERROR_OBJECT (self, "Failed to map output buffer");
    return gst_nmx_tarkin_frame_failed (self, self->frame_count, "cannot map the output buffer");
  }
  if (map.size < text_len) {
    gst_buffer_unmap (outbuf, &map);
    g_free (text);
    GST_ERROR_OBJECT (self, "Output buffer too small: need=%zu have=%zu; increase DEFAULT_TEXT_BUF_SIZE",
        (size_t) text_len, (size_t) map.size);
    return gst_nmx_tarkin_frame_failed (self, self->frame_count, "output buffer too small");
  }
  memcpy (map.data, text, text_len);
  gst_buffer_unmap (outbuf, &map);
  gst_buffer_set_size (outbuf, text_len);
  GST_BUFFER_PTS (outbuf) = GST_BUFFER_PTS (inbuf);
  GST_BUFFER_DTS (outbuf) = GST_BUFFER_DTS (inbuf);
  GST_BUFFER_DURATION (outbuf) = GST_BUFFER_DURATION (inbuf);
  GST_BUFFER_OFFSET (outbuf) = GST_BUFFER_OFFSET (inbuf);
  GST_BUFFER_OFFSET_END (outbuf) = GST_BUFFER_OFFSET_END (inbuf);

  if (self->frame_count % PERIODIC_LOG_FRAMES == 0) {
    g_printerr ("[nmx-tarkin] frame=%" G_GUINT64_FORMAT " text_bytes=%zu roi=%ux%u infer_ms=%.3f "
        "interval_ms=%.3f pts_interval_ms=%.3f\n", self->frame_count, (size_t) text_len, self->roi_width,
        self->roi_height, infer_ms, interval_ms, pts_interval_ms);
    fflush (stderr);
  }
  g_free (text);
  nmx_tarkin_frame_succeeded (self);
  return GST_FLOW_OK;
}

static GstStateChangeReturn
gst_nmx_tarkin_change_state (GstElement * element, GstStateChange transition)
{
  static const NmxTarkinEngineOps<GstNmxTarkinEngine> ops = {
    "nmx-tarkin-settings", DEFAULT_MODEL_TYPE, "Failed to create nmx-tarkin engine",
    gst_nmx_tarkin_engine_new, gst_nmx_tarkin_engine_free, gst_nmx_tarkin_engine_last_error,
  };
  /* The output format too is taken with the engine: it holds until the next one. */
  return nmx_tarkin_change_state (GST_NMX_TARKIN (element), transition,
      GST_ELEMENT_CLASS (gst_nmx_tarkin_parent_class), ops, [](GstNmxTarkin * self, GstStructure * settings) {
        if (self->channel_order)
          gst_structure_set (settings, "channel-order", G_TYPE_STRING, self->channel_order, NULL);
        self->active_output_format = self->output_format;
      });
}

static void
gst_nmx_tarkin_set_property (GObject * object, guint prop_id, const GValue * value, GParamSpec * pspec)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (object);
  if (nmx_tarkin_set_property (self, prop_id, value, pspec))
    return;
  GST_OBJECT_LOCK (self);
  switch (prop_id) {
    case NMX_TARKIN_PROP_OUTPUT_FORMAT:
      self->output_format = g_value_get_enum (value);
      break;
    case NMX_TARKIN_PROP_CHANNEL_ORDER:
      g_free (self->channel_order);
      self->channel_order = g_value_dup_string (value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK (self);
}

static void
gst_nmx_tarkin_get_property (GObject * object, guint prop_id, GValue * value, GParamSpec * pspec)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (object);
  if (nmx_tarkin_get_property (self, prop_id, value, pspec))
    return;
  GST_OBJECT_LOCK (self);
  switch (prop_id) {
    case NMX_TARKIN_PROP_OUTPUT_FORMAT:
      g_value_set_enum (value, self->output_format);
      break;
    case NMX_TARKIN_PROP_CHANNEL_ORDER:
      g_value_set_string (value, self->channel_order);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK (self);
}

static void
gst_nmx_tarkin_finalize (GObject * object)
{
  GstNmxTarkin *self = GST_NMX_TARKIN (object);
  gst_nmx_tarkin_engine_free (self->engine);
  self->engine = NULL;
  g_free (self->model);
  g_free (self->model_type);
  g_free (self->channel_order);
  G_OBJECT_CLASS (gst_nmx_tarkin_parent_class)->finalize (object);
}

static void
gst_nmx_tarkin_class_init (GstNmxTarkinClass * klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS (klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS (klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS (klass);

  gobject_class->set_property = gst_nmx_tarkin_set_property;
  gobject_class->get_property = gst_nmx_tarkin_get_property;
  gobject_class->finalize = gst_nmx_tarkin_finalize;

  nmx_tarkin_install_properties (gobject_class, DEFAULT_MODEL_TYPE,
      "Inference logic type (e.g. yolov5, yolov8-detection)");
  const GParamFlags flags = (GParamFlags) (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property (gobject_class, NMX_TARKIN_PROP_OUTPUT_FORMAT,
      g_param_spec_enum ("output-format", "Output Format",
          "Text of each frame: the serialized structure, or one JSON object per line",
          GST_TYPE_NMX_TARKIN_OUTPUT_FORMAT, GST_NMX_TARKIN_OUTPUT_STRUCTURE, flags));
  g_object_class_install_property (gobject_class, NMX_TARKIN_PROP_CHANNEL_ORDER,
      g_param_spec_string ("channel-order", "Channel Order",
          "Colour order the model takes, bgr or rgb (unset: bgr for yolov5, rgb for yolov8-detection)",
          NULL, flags));

  gst_element_class_set_static_metadata (element_class, "Tarkin YOLOv5 BGR->text plugin", "ML/Video",
      "Read BGR frame, internally preprocess to 640x640 for Tarkin YOLOv5, output serialized structure text",
      "NMX");
  gst_element_class_add_static_pad_template (element_class, &sink_template);
  gst_element_class_add_static_pad_template (element_class, &src_template);
  element_class->change_state = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_change_state);

  trans_class->transform_caps = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_transform_caps);
  trans_class->set_caps = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_set_caps);
  trans_class->sink_event = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_sink_event);
  trans_class->prepare_output_buffer = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_prepare_output_buffer);
  trans_class->transform = GST_DEBUG_FUNCPTR (gst_nmx_tarkin_transform);
  trans_class->passthrough_on_same_caps = FALSE;
}

static void
gst_nmx_tarkin_init (GstNmxTarkin * self)
{
  self->flushing = FALSE;
  self->engine = NULL;
  gst_video_info_init (&self->info);
  self->info_valid = FALSE;
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
  self->last_call_us = 0;
  self->last_pts = GST_CLOCK_TIME_NONE;
  self->have_last_pts = FALSE;
  self->model_size = NMX_TARKIN_DEFAULT_MODEL_SIZE;
  self->output_format = GST_NMX_TARKIN_OUTPUT_STRUCTURE;
  self->active_output_format = GST_NMX_TARKIN_OUTPUT_STRUCTURE;
  self->channel_order = NULL;
  self->consecutive_failures = 0;
  gst_base_transform_set_passthrough (GST_BASE_TRANSFORM (self), FALSE);
  gst_base_transform_set_in_place (GST_BASE_TRANSFORM (self), FALSE);
}
