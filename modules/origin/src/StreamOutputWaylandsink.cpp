#define NIMBRA_MODULE "modules/origin/src/StreamOutputWaylandsink"
#include "StreamOutputWaylandsink.h"

#include <gst/video/videooverlay.h>

#include "StreamLog.h"

StreamOutputWaylandsink::StreamOutputWaylandsink(int x_, int y_, int width_, int height_)
    : x(x_), y(y_), width(width_), height(height_) {}

namespace {

struct RenderRect {
  int x, y, width, height;
};

// Upstream waylandsink has no placement properties and ignores a render rectangle until
// its window exists, which happens when it shows the first frame; so the rectangle is
// applied from the second buffer on, once.
GstPadProbeReturn apply_render_rect(GstPad* pad, GstPadProbeInfo*, gpointer data) {
  auto* rect = static_cast<RenderRect*>(data);
  GstElement* sink = gst_pad_get_parent_element(pad);
  if (!sink) return GST_PAD_PROBE_OK;
  bool shown = false;
  if (GstSample* last = nullptr; g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "last-sample")) {
    g_object_get(sink, "last-sample", &last, nullptr);
    shown = last != nullptr;
    if (last) gst_sample_unref(last);
  }
  GstPadProbeReturn ret = GST_PAD_PROBE_OK;
  if (shown) {
    gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(sink), rect->x, rect->y, rect->width, rect->height);
    ret = GST_PAD_PROBE_REMOVE;
  }
  gst_object_unref(sink);
  return ret;
}

bool has_property(GstElement* e, const char* name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(e), name) != nullptr;
}

}  // namespace

GstElement* StreamOutputWaylandsink::build() {
  GstElement* bin = gst_bin_new("nimbra-output-waylandsink");
  GstElement* sink = gst_element_factory_make("waylandsink", nullptr);
  if (!bin || !sink) {
    NLOG_ERROR("Not all elements could be created.");
    nimbra_internal::drop_all({bin, sink});
    return nullptr;
  }
  if (has_property(sink, "x") && has_property(sink, "y") && has_property(sink, "width") &&
      has_property(sink, "height")) {
    g_object_set(sink, "x", x, "y", y, "width", width, "height", height, nullptr);
  } else if (GST_IS_VIDEO_OVERLAY(sink) && width > 0 && height > 0) {
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, apply_render_rect, new RenderRect{x, y, width, height},
                      [](gpointer p) { delete static_cast<RenderRect*>(p); });
    gst_object_unref(pad);
  }
  gst_bin_add(GST_BIN(bin), sink);
  createSinkPad(bin, sink);
  return bin;
}
