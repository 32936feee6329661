// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtivsplit: one video stream in, any number of request src pads out, each
 * converted and scaled to whatever its own downstream negotiates.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=30 ! video/x-raw,format=NV12,width=640,height=480 ! \
 *       qtivsplit name=s  s.src_0 ! queue ! video/x-raw,format=RGB ! fakesink \
 *       s.src_1 ! queue ! video/x-raw,format=BGRA,width=320,height=240 ! fakesink
 *
 * Like tee, every branch needs its own queue: branches are fed one after
 * the other from the upstream streaming thread.
 */
#include "qtivsplit.h"

#include "common.h"
#include "convert.h"

#include <gst/base/gstflowcombiner.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_vsplit_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_vsplit_debug

#define VSPLIT_CAPS NMX_SOFT_RAW_CAPS(NMX_SOFT_CONVERT_FORMATS)

#define OUTPUT_POOL_MIN_BUFFERS 2

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VSPLIT_CAPS));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src_%u", GST_PAD_SRC, GST_PAD_REQUEST, GST_STATIC_CAPS(VSPLIT_CAPS));

/* ---- src pad: carries the branch's own negotiated state ---- */

struct SplitPadState {
  // Only touched from the streaming thread, or with the pad deactivated.
  bool negotiated = false;
  GstVideoInfo out_info{};
  nmxsoft::Converter converter;
  GstBufferPool *pool = nullptr;

  void reset()
  {
    negotiated = false;
    if (pool) {
      gst_buffer_pool_set_active(pool, FALSE);
      gst_object_unref(pool);
      pool = nullptr;
    }
  }
  ~SplitPadState() { reset(); }
};

typedef struct {
  GstPad parent;
  SplitPadState *state;
} GstNmxSoftSplitPad;

typedef struct {
  GstPadClass parent_class;
} GstNmxSoftSplitPadClass;

G_DEFINE_TYPE(GstNmxSoftSplitPad, gst_nmx_soft_split_pad, GST_TYPE_PAD)

static void gst_nmx_soft_split_pad_finalize(GObject *object)
{
  delete ((GstNmxSoftSplitPad *)object)->state;
  G_OBJECT_CLASS(gst_nmx_soft_split_pad_parent_class)->finalize(object);
}

static void gst_nmx_soft_split_pad_class_init(GstNmxSoftSplitPadClass *klass)
{
  G_OBJECT_CLASS(klass)->finalize = gst_nmx_soft_split_pad_finalize;
}

static void gst_nmx_soft_split_pad_init(GstNmxSoftSplitPad *pad) { pad->state = new SplitPadState(); }

#define SPLIT_PAD_STATE(pad) (((GstNmxSoftSplitPad *)(pad))->state)

/* ---- element ---- */

struct NmxSplitPrivate {
  std::mutex lock;  // guards srcpads, combiner, next_index
  std::vector<GstPad *> srcpads;  // owned by the element, listed here while requested
  GstFlowCombiner *combiner = gst_flow_combiner_new();
  guint next_index = 0;

  // Input format, set by the caps event on the streaming thread.
  bool have_input = false;
  GstVideoInfo in_info{};
  GstCaps *in_caps = nullptr;

  ~NmxSplitPrivate()
  {
    gst_flow_combiner_free(combiner);
    gst_clear_caps(&in_caps);
  }
};

typedef struct {
  GstElement parent;
  GstPad *sinkpad;
  NmxSplitPrivate *priv;
} GstNmxSoftVSplit;

typedef struct {
  GstElementClass parent_class;
} GstNmxSoftVSplitClass;

#define NMX_VSPLIT(obj) ((GstNmxSoftVSplit *)(obj))

G_DEFINE_TYPE(GstNmxSoftVSplit, gst_nmx_soft_vsplit, GST_TYPE_ELEMENT)

static std::vector<GstPad *> snapshot_pads(GstNmxSoftVSplit *self)
{
  std::lock_guard<std::mutex> l(self->priv->lock);
  std::vector<GstPad *> pads;
  for (GstPad *p : self->priv->srcpads)
    pads.push_back((GstPad *)gst_object_ref(p));
  return pads;
}

static bool negotiate_pad(GstNmxSoftVSplit *self, GstPad *pad)
{
  NmxSplitPrivate *priv = self->priv;
  SplitPadState *st = SPLIT_PAD_STATE(pad);
  st->reset();

  GstCaps *tmpl = gst_pad_get_pad_template_caps(pad);
  GstCaps *peer = gst_pad_peer_query_caps(pad, tmpl);
  gst_caps_unref(tmpl);
  if (gst_caps_is_empty(peer)) {
    gst_caps_unref(peer);
    GST_DEBUG_OBJECT(pad, "downstream accepts nothing we produce");
    return false;
  }
  GstCaps *caps = nmx_soft_fixate_raw_caps(priv->in_caps, peer);
  if (!gst_video_info_from_caps(&st->out_info, caps) || !st->converter.configure(&priv->in_info, &st->out_info)) {
    GST_WARNING_OBJECT(pad, "cannot output %" GST_PTR_FORMAT, caps);
    gst_caps_unref(caps);
    return false;
  }
  GST_DEBUG_OBJECT(pad, "negotiated %" GST_PTR_FORMAT, caps);
  if (!gst_pad_push_event(pad, gst_event_new_caps(caps))) {
    gst_caps_unref(caps);
    return false;
  }

  /* Each branch has its own buffers: a branch drawing into its frames must
   * never show up in another one. */
  st->pool = gst_video_buffer_pool_new();
  GstStructure *config = gst_buffer_pool_get_config(st->pool);
  gst_buffer_pool_config_set_params(config, caps, (guint)GST_VIDEO_INFO_SIZE(&st->out_info),
                                    OUTPUT_POOL_MIN_BUFFERS, 0);
  gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
  gst_caps_unref(caps);
  if (!gst_buffer_pool_set_config(st->pool, config) || !gst_buffer_pool_set_active(st->pool, TRUE)) {
    GST_ERROR_OBJECT(pad, "failed to set up the output pool");
    st->reset();
    return false;
  }
  st->negotiated = true;
  /* Segments are held back from branches without caps (sticky order). */
  GstEvent *segment = gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0);
  if (segment)
    gst_pad_push_event(pad, segment);
  return true;
}

static GstFlowReturn push_to_pad(GstNmxSoftVSplit *self, GstPad *pad, GstVideoFrame *in, GstBuffer *inbuf)
{
  SplitPadState *st = SPLIT_PAD_STATE(pad);
  if (!gst_pad_is_linked(pad))
    return GST_FLOW_NOT_LINKED;
  if (gst_pad_check_reconfigure(pad) || !st->negotiated) {
    if (!negotiate_pad(self, pad)) {
      gst_pad_mark_reconfigure(pad);
      if (!gst_pad_is_linked(pad))
        return GST_FLOW_NOT_LINKED;
      return GST_PAD_IS_FLUSHING(pad) ? GST_FLOW_FLUSHING : GST_FLOW_NOT_NEGOTIATED;
    }
  }

  GstBuffer *outbuf = nullptr;
  GstFlowReturn flow = gst_buffer_pool_acquire_buffer(st->pool, &outbuf, nullptr);
  if (flow != GST_FLOW_OK)
    return flow;
  GstVideoFrame out;
  if (!gst_video_frame_map(&out, &st->out_info, outbuf, GST_MAP_WRITE)) {
    gst_buffer_unref(outbuf);
    GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Failed to map an output buffer"), (NULL));
    return GST_FLOW_ERROR;
  }
  bool ok = st->converter.convert_frames(in, &out);
  gst_video_frame_unmap(&out);
  if (!ok) {
    gst_buffer_unref(outbuf);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Conversion not configured"), (NULL));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  gst_buffer_copy_into(outbuf, inbuf, (GstBufferCopyFlags)(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS), 0,
                       (gsize)-1);
  return gst_pad_push(pad, outbuf);
}

static GstFlowReturn gst_nmx_soft_vsplit_chain(GstPad *sinkpad, GstObject *parent, GstBuffer *buf)
{
  GstNmxSoftVSplit *self = NMX_VSPLIT(parent);
  NmxSplitPrivate *priv = self->priv;
  if (!priv->have_input) {
    gst_buffer_unref(buf);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("buffer before caps"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  std::vector<GstPad *> pads = snapshot_pads(self);
  if (pads.empty()) {
    gst_buffer_unref(buf);
    return GST_FLOW_OK;
  }
  GstVideoFrame in;
  if (!gst_video_frame_map(&in, &priv->in_info, buf, GST_MAP_READ)) {
    gst_buffer_unref(buf);
    for (GstPad *p : pads)
      gst_object_unref(p);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Failed to map an input buffer"), (NULL));
    return GST_FLOW_ERROR;
  }

  GstFlowReturn combined = GST_FLOW_OK;
  for (GstPad *pad : pads) {
    GstFlowReturn flow = push_to_pad(self, pad, &in, buf);
    std::lock_guard<std::mutex> l(priv->lock);
    /* A pad released meanwhile reports flushing; that is not the stream's fate. */
    if (std::find(priv->srcpads.begin(), priv->srcpads.end(), pad) != priv->srcpads.end())
      combined = gst_flow_combiner_update_pad_flow(priv->combiner, pad, flow);
    gst_object_unref(pad);
  }
  gst_video_frame_unmap(&in);
  gst_buffer_unref(buf);
  if (combined != GST_FLOW_OK)
    GST_LOG_OBJECT(self, "combined flow %s", gst_flow_get_name(combined));
  return combined;
}

static gboolean gst_nmx_soft_vsplit_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstNmxSoftVSplit *self = NMX_VSPLIT(parent);
  NmxSplitPrivate *priv = self->priv;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps *caps;
      gst_event_parse_caps(event, &caps);
      GstVideoInfo info;
      if (!gst_video_info_from_caps(&info, caps) || !nmxsoft::convert_format_supported(GST_VIDEO_INFO_FORMAT(&info))) {
        GST_ERROR_OBJECT(self, "unsupported input %" GST_PTR_FORMAT, caps);
        gst_event_unref(event);
        return FALSE;
      }
      priv->in_info = info;
      gst_caps_replace(&priv->in_caps, caps);
      priv->have_input = true;
      /* Every branch negotiates its own caps from the new input; linked ones
       * right away, so their caps precede the segment. */
      for (GstPad *p : snapshot_pads(self)) {
        SPLIT_PAD_STATE(p)->negotiated = false;
        if (gst_pad_is_linked(p) && !negotiate_pad(self, p))
          gst_pad_mark_reconfigure(p);
        gst_object_unref(p);
      }
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_SEGMENT:
    case GST_EVENT_GAP: {
      /* Branches that have no caps yet get the segment once negotiated. */
      for (GstPad *p : snapshot_pads(self)) {
        if (SPLIT_PAD_STATE(p)->negotiated)
          gst_pad_push_event(p, gst_event_ref(event));
        gst_object_unref(p);
      }
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_FLUSH_STOP: {
      std::lock_guard<std::mutex> l(priv->lock);
      gst_flow_combiner_reset(priv->combiner);
      break;
    }
    default:
      break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean gst_nmx_soft_vsplit_sink_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS:
    case GST_QUERY_ACCEPT_CAPS:
      /* Any input we can convert; the branches' caps do not restrict it. */
      return nmx_soft_answer_caps_from_template(pad, query);
    case GST_QUERY_ALLOCATION:
      /* We map input with GstVideoFrame, so padded upstream buffers are fine. */
      gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL);
      return TRUE;
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

static gboolean gst_nmx_soft_vsplit_src_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  if (GST_QUERY_TYPE(query) == GST_QUERY_CAPS)
    return nmx_soft_answer_caps_from_template(pad, query);
  return gst_pad_query_default(pad, parent, query);
}

static gboolean copy_sticky_event(GstPad *sinkpad, GstEvent **event, gpointer user_data)
{
  GstPad *srcpad = GST_PAD(user_data);
  /* Caps are negotiated per branch and the segment follows them. */
  if (GST_EVENT_TYPE(*event) != GST_EVENT_CAPS && GST_EVENT_TYPE(*event) != GST_EVENT_SEGMENT)
    gst_pad_store_sticky_event(srcpad, *event);
  return TRUE;
}

static GstPad *gst_nmx_soft_vsplit_request_new_pad(GstElement *element, GstPadTemplate *templ, const gchar *name,
                                                   const GstCaps *caps)
{
  GstNmxSoftVSplit *self = NMX_VSPLIT(element);
  NmxSplitPrivate *priv = self->priv;
  gchar *pad_name;
  {
    std::lock_guard<std::mutex> l(priv->lock);
    guint index;
    if (name && sscanf(name, "src_%u", &index) == 1) {
      for (GstPad *p : priv->srcpads) {
        if (g_strcmp0(GST_PAD_NAME(p), name) == 0) {
          GST_WARNING_OBJECT(self, "pad %s already exists", name);
          return nullptr;
        }
      }
      priv->next_index = std::max(priv->next_index, index + 1);
    } else if (name) {
      GST_WARNING_OBJECT(self, "invalid pad name %s", name);
      return nullptr;
    } else {
      index = priv->next_index++;
    }
    pad_name = g_strdup_printf("src_%u", index);
  }
  GstPad *pad = GST_PAD(g_object_new(gst_nmx_soft_split_pad_get_type(), "name", pad_name, "direction", GST_PAD_SRC,
                                     "template", templ, NULL));
  g_free(pad_name);
  gst_pad_set_query_function(pad, gst_nmx_soft_vsplit_src_query);

  {
    std::lock_guard<std::mutex> l(priv->lock);
    priv->srcpads.push_back(pad);
    gst_flow_combiner_add_pad(priv->combiner, pad);
  }
  if (!gst_element_add_pad(element, pad)) {
    std::lock_guard<std::mutex> l(priv->lock);
    priv->srcpads.erase(std::find(priv->srcpads.begin(), priv->srcpads.end(), pad));
    gst_flow_combiner_remove_pad(priv->combiner, pad);
    gst_object_unref(pad);
    return nullptr;
  }
  /* Joining mid-stream: give the branch the stream-start and segment it missed. */
  if (GST_PAD_IS_ACTIVE(pad))
    gst_pad_sticky_events_foreach(self->sinkpad, copy_sticky_event, pad);
  GST_DEBUG_OBJECT(self, "requested %s", GST_PAD_NAME(pad));
  return pad;
}

static void gst_nmx_soft_vsplit_release_pad(GstElement *element, GstPad *pad)
{
  GstNmxSoftVSplit *self = NMX_VSPLIT(element);
  NmxSplitPrivate *priv = self->priv;
  {
    std::lock_guard<std::mutex> l(priv->lock);
    auto it = std::find(priv->srcpads.begin(), priv->srcpads.end(), pad);
    if (it == priv->srcpads.end())
      return;
    priv->srcpads.erase(it);
    gst_flow_combiner_remove_pad(priv->combiner, pad);
  }
  GST_DEBUG_OBJECT(self, "releasing %s", GST_PAD_NAME(pad));
  gst_object_ref(pad);
  gst_pad_set_active(pad, FALSE);
  gst_element_remove_pad(element, pad);
  gst_object_unref(pad);
}

static GstStateChangeReturn gst_nmx_soft_vsplit_change_state(GstElement *element, GstStateChange transition)
{
  GstNmxSoftVSplit *self = NMX_VSPLIT(element);
  NmxSplitPrivate *priv = self->priv;
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    std::lock_guard<std::mutex> l(priv->lock);
    gst_flow_combiner_reset(priv->combiner);
  }
  GstStateChangeReturn ret = GST_ELEMENT_CLASS(gst_nmx_soft_vsplit_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    /* Pads are deactivated now, so no chain call is using the branch state. */
    priv->have_input = false;
    gst_clear_caps(&priv->in_caps);
    for (GstPad *p : snapshot_pads(self)) {
      SPLIT_PAD_STATE(p)->reset();
      gst_object_unref(p);
    }
  }
  return ret;
}

static void gst_nmx_soft_vsplit_finalize(GObject *object)
{
  delete NMX_VSPLIT(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_vsplit_parent_class)->finalize(object);
}

static void gst_nmx_soft_vsplit_class_init(GstNmxSoftVSplitClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_vsplit_debug, "qtivsplit", 0, "Soft video splitter");

  gobject_class->finalize = gst_nmx_soft_vsplit_finalize;
  element_class->request_new_pad = GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_request_new_pad);
  element_class->release_pad = GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_release_pad);
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_change_state);

  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template_with_gtype(element_class, &src_template,
                                                       gst_nmx_soft_split_pad_get_type());
  gst_element_class_set_static_metadata(element_class, "Video splitter (soft)", "Generic/Converter/Video",
                                        "Sends each frame to every src pad, converted and scaled per pad",
                                        "Nimbra");
}

static void gst_nmx_soft_vsplit_init(GstNmxSoftVSplit *self)
{
  self->priv = new NmxSplitPrivate();
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_chain));
  gst_pad_set_event_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_sink_event));
  gst_pad_set_query_function(self->sinkpad, GST_DEBUG_FUNCPTR(gst_nmx_soft_vsplit_sink_query));
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
}
