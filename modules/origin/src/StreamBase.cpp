#define NIMBRA_MODULE "modules/origin/src/StreamBase"
#include "StreamBase.h"
#include "StreamSizing.h"

#include <chrono>
#include <thread>

#include "StreamLog.h"
#include "StreamPlatform.h"

std::string g_stream_id;

namespace {
void create_ghost(GstElement* bin, GstElement* element, const char* name) {
  GstPad* target = gst_element_get_static_pad(element, name);
  if (!target) {
    NLOG_ERROR("Element %s has no %s pad for the ghost pad.", GST_ELEMENT_NAME(element), name);
    return;
  }
  GstPad* ghost = gst_ghost_pad_new(name, target);
  gst_pad_set_active(ghost, TRUE);
  gst_element_add_pad(bin, ghost);
  gst_object_unref(target);
}
}  // namespace

void StreamBase::createSrcPad(GstElement* bin, GstElement* element) { create_ghost(bin, element, "src"); }

void StreamBase::createSinkPad(GstElement* bin, GstElement* element) { create_ghost(bin, element, "sink"); }

int align_up(int value, int alignment) {
  if (alignment == 0) return 0;
  return ((value + alignment - 1) / alignment) * alignment;
}

namespace nimbra_internal {

GstElement* make_input_decoder(InputKind kind, const std::string& decode_type) {
  const std::string& tag = platform_tag();
  const bool rtsp = kind == InputKind::Rtsp;
  if (tag == "8550") {
    NLOG_INFO(rtsp ? "Platform is 8550 (pure ubuntu), will use qtic2vdec plugin."
                   : "Platform is 8550, will use qtic2vdec plugin.");
    return gst_element_factory_make("qtic2vdec", nullptr);
  }
  if (tag == "6490") {
    NLOG_INFO(rtsp ? "Platform is 6490 (velkor / pure ubuntu), will use qtivdec plugin."
                   : "Platform is 6490, will use qtivdec plugin.");
    return gst_element_factory_make("qtivdec", nullptr);
  }
  if (tag == "v4l2" || tag == "ub2404") {
    const char* line = rtsp ? "Platform is 6490 Qualcomm Linux, will use related v4l2h264/5dec plugin."
                            : "Platform is 6490 Qualcomm Linux, will use v4l2h264dec / v4l2h265dec plugin.";
    // The Ubuntu 24.04 build shares the Qualcomm Linux decoders; its line says which build it is.
    if (tag == "ub2404")
      NLOG_INFO("%s (platform ub2404: Ubuntu 24.04 uses the same V4L2 decoders)", line);
    else
      NLOG_INFO("%s", line);
    GstElement* dec =
        gst_element_factory_make(decode_type == "H265" ? "v4l2h265dec" : "v4l2h264dec", nullptr);
    if (!dec) return nullptr;
    const bool ql = tag == "v4l2";
    if (!rtsp) {
      g_object_set(dec, "capture-io-mode", ql ? 5 : 4, "output-io-mode", ql ? 5 : 4, nullptr);
    } else if (ql) {
      g_object_set(dec, "capture-io-mode", 5, "output-io-mode", 2, "discard-corrupted-frames", TRUE,
                   nullptr);
    }
    // RTSP on "ub2404": set by the group together with the source properties.
    return dec;
  }
  NLOG_INFO("Platform is default setting(not 6490/8550), will use qtivdec plugin.");
  return gst_element_factory_make("qtivdec", nullptr);
}

void add_all(GstElement* bin, std::initializer_list<GstElement*> elements) {
  for (GstElement* e : elements)
    if (e) gst_bin_add(GST_BIN(bin), e);
}

GstElement* make_caps_filter(const char* name, const char* caps_text) {
  GstElement* f = gst_element_factory_make("capsfilter", name);
  if (!f) return nullptr;
  GstCaps* caps = gst_caps_from_string(caps_text);
  g_object_set(f, "caps", caps, nullptr);
  gst_caps_unref(caps);
  return f;
}

GstElement* make_fakesink(const char* name) {
  GstElement* f = gst_element_factory_make("fakesink", name);
  if (f && !legacy_stream_sizes()) g_object_set(f, "enable-last-sample", FALSE, nullptr);
  return f;
}

std::string launch_quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

uint64_t now_ns() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void send_eos_async(GstElement* pipeline) {
  if (!pipeline) return;
  gst_object_ref(pipeline);
  std::thread([pipeline] {
    gst_element_send_event(pipeline, gst_event_new_eos());
    gst_object_unref(pipeline);
  }).detach();
}

void send_eos_async(GstPad* pad) {
  if (!pad) return;
  gst_object_ref(pad);
  std::thread([pad] {
    gst_pad_send_event(pad, gst_event_new_eos());
    gst_object_unref(pad);
  }).detach();
}

void drop_all(std::initializer_list<GstElement*> elements) {
  for (GstElement* e : elements)
    if (e) gst_object_unref(gst_object_ref_sink(e));
}

}  // namespace nimbra_internal
