// Owning holders for GStreamer and GLib references, so every return path releases.
//
//   nimbra_internal::ElementRef p(gst_pipeline_new("x"));   // sinks the floating ref
//   nimbra_internal::BusRef bus(gst_element_get_bus(p.get()));
#pragma once

#include <gst/gst.h>

#include <memory>

namespace nimbra_internal {

struct GstObjectUnref {
  void operator()(gpointer p) const {
    if (p) gst_object_unref(p);
  }
};
struct GstMessageUnref {
  void operator()(GstMessage* m) const {
    if (m) gst_message_unref(m);
  }
};
struct GstCapsUnref {
  void operator()(GstCaps* c) const {
    if (c) gst_caps_unref(c);
  }
};

// An element reference that this code owns. A floating element is sunk on adoption, so
// releasing it never unrefs a floating reference. A reference that is already owned (what
// gst_bin_get_by_name and gst_element_get_parent return) is taken over with adopt();
// sinking it would add a second reference that nothing drops.
class ElementRef {
 public:
  ElementRef() = default;
  explicit ElementRef(GstElement* e) : p_(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr) {}
  static ElementRef adopt(GstElement* owned) {
    ElementRef r;
    r.p_.reset(owned);
    return r;
  }
  GstElement* get() const { return p_.get(); }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  GstElement* release() { return p_.release(); }
  void reset(GstElement* e = nullptr) { p_.reset(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr); }

 private:
  std::unique_ptr<GstElement, GstObjectUnref> p_;
};

using BusRef = std::unique_ptr<GstBus, GstObjectUnref>;
using PadRef = std::unique_ptr<GstPad, GstObjectUnref>;
using MessageRef = std::unique_ptr<GstMessage, GstMessageUnref>;
using CapsRef = std::unique_ptr<GstCaps, GstCapsUnref>;

}  // namespace nimbra_internal
