// Dry runs: the builders run as for a start, and the pipeline they reach is turned into
// a gst-launch-1.0-like text instead of being played.
#define NIMBRA_MODULE "modules/origin/src/StreamDryRun"
#include "StreamDryRun.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <map>
#include <set>
#include <vector>

#include "StreamLog.h"
#include "StreamRegistry.h"
#include "nimbra.h"

namespace {


// A plain bin or pipeline only groups elements; an element built as a bin (rtspclientsink,
// splitmuxsink) is one element of the description.
bool plain_bin(GstElement* e) { return G_OBJECT_TYPE(e) == GST_TYPE_BIN || GST_IS_PIPELINE(e); }

// Leaf elements in the order they were added (a bin keeps its newest child first).
void collect_leaves(GstElement* bin, std::vector<GstElement*>& out) {
  std::vector<GstElement*> children;
  GST_OBJECT_LOCK(bin);
  for (GList* l = GST_BIN_CHILDREN(GST_BIN(bin)); l; l = l->next) children.push_back(GST_ELEMENT(l->data));
  GST_OBJECT_UNLOCK(bin);
  std::reverse(children.begin(), children.end());
  for (GstElement* c : children) {
    if (plain_bin(c))
      collect_leaves(c, out);
    else
      out.push_back(c);
  }
}

// The pad of a leaf element that data leaving `src` reaches, through ghost pads of plain
// bins; null when it leads nowhere.
GstPad* downstream_leaf_pad(GstPad* src) {
  GstPad* pad = gst_pad_get_peer(src);
  for (int guard = 0; pad && guard < 64; ++guard) {
    if (GST_IS_GHOST_PAD(pad)) {
      GstObject* parent = gst_object_get_parent(GST_OBJECT(pad));
      const bool group = parent && GST_IS_ELEMENT(parent) && plain_bin(GST_ELEMENT(parent));
      if (parent) gst_object_unref(parent);
      if (!group) return pad;  // the sink pad of an element built as a bin
      GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(pad));
      gst_object_unref(pad);
      pad = target;
      continue;
    }
    if (GST_IS_PROXY_PAD(pad)) {
      // The inner side of a source ghost pad: the data goes on where the ghost pad leads.
      GstProxyPad* ghost = gst_proxy_pad_get_internal(GST_PROXY_PAD(pad));
      gst_object_unref(pad);
      if (!ghost) return nullptr;
      pad = gst_pad_get_peer(GST_PAD(ghost));
      gst_object_unref(ghost);
      continue;
    }
    return pad;
  }
  if (pad) gst_object_unref(pad);
  return nullptr;
}

std::string factory_name(GstElement* e) {
  GstElementFactory* f = gst_element_get_factory(e);
  return f ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)) : G_OBJECT_TYPE_NAME(e);
}

// Whether GStreamer gave the element its name: its type name (or factory name) and a
// number.
bool auto_named(GstElement* e) {
  const std::string name = GST_ELEMENT_NAME(e);
  std::string type = G_OBJECT_TYPE_NAME(e);
  if (type.compare(0, 3, "Gst") == 0) type = type.substr(3);
  for (char& c : type) c = (char)tolower((unsigned char)c);
  for (const std::string& base : {factory_name(e), type}) {
    if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0) continue;
    bool digits = true;
    for (size_t i = base.size(); i < name.size(); ++i)
      if (!isdigit((unsigned char)name[i])) digits = false;
    if (digits) return true;
  }
  return false;
}

std::string quoted(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text)
    if (!(isalnum((unsigned char)c) || c == '_' || c == '-' || c == '.' || c == '/' || c == ':' || c == '+'))
      plain = false;
  if (plain) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool skipped_type(GType type) {
  return g_type_is_a(type, G_TYPE_OBJECT) || g_type_is_a(type, G_TYPE_POINTER) || g_type_is_a(type, G_TYPE_PARAM) ||
         type == G_TYPE_GTYPE;
}

std::string caps_text(GstElement* filter) {
  GstCaps* caps = nullptr;
  g_object_get(filter, "caps", &caps, nullptr);
  std::string text = "ANY";
  if (caps) {
    gchar* s = gst_caps_to_string(caps);
    text = s;
    g_free(s);
    gst_caps_unref(caps);
  }
  return text;
}

std::string value_text(const GValue* value) {
  const GType type = G_VALUE_TYPE(value);
  if (G_VALUE_HOLDS_STRING(value)) {
    const char* s = g_value_get_string(value);
    return quoted(s ? s : "");
  }
  if (G_TYPE_IS_ENUM(type)) {
    GEnumClass* k = G_ENUM_CLASS(g_type_class_ref(type));
    GEnumValue* v = g_enum_get_value(k, g_value_get_enum(value));
    std::string text = v ? v->value_nick : std::to_string(g_value_get_enum(value));
    g_type_class_unref(k);
    return text;
  }
  if (G_TYPE_IS_FLAGS(type)) {
    GFlagsClass* k = G_FLAGS_CLASS(g_type_class_ref(type));
    guint left = g_value_get_flags(value);
    std::string text;
    for (guint i = 0; i < k->n_values && left; ++i) {
      const GFlagsValue& v = k->values[i];
      if (v.value && (left & v.value) == v.value) {
        text += (text.empty() ? "" : "+") + std::string(v.value_nick);
        left &= ~v.value;
      }
    }
    g_type_class_unref(k);
    return text.empty() ? "0" : text;
  }
  if (type == GST_TYPE_CAPS) {
    const GstCaps* caps = gst_value_get_caps(value);
    if (!caps) return "";
    gchar* s = gst_caps_to_string(caps);
    std::string text = quoted(s);
    g_free(s);
    return text;
  }
  if (type == GST_TYPE_STRUCTURE) {
    const GstStructure* st = gst_value_get_structure(value);
    if (!st) return "";
    gchar* s = gst_structure_to_string(st);
    std::string text = quoted(s);
    g_free(s);
    return text;
  }
  gchar* s = gst_value_serialize(value);
  std::string text = s ? s : "";
  g_free(s);
  return text;
}

bool same_value(GParamSpec* p, const GValue* a, const GValue* b) {
  if (G_VALUE_HOLDS_STRING(a)) {
    const char* x = g_value_get_string(a);
    const char* y = g_value_get_string(b);
    return g_strcmp0(x && *x ? x : nullptr, y && *y ? y : nullptr) == 0;
  }
  if (G_VALUE_TYPE(a) == GST_TYPE_CAPS || G_VALUE_TYPE(a) == GST_TYPE_STRUCTURE) return value_text(a) == value_text(b);
  return g_param_values_cmp(p, a, b) == 0;
}

// Fresh elements of each factory: what an element sets up itself is its default.
class Defaults {
 public:
  ~Defaults() {
    for (auto& kv : fresh_)
      if (kv.second) gst_object_unref(kv.second);
  }
  GstElement* of(GstElement* e) {
    GstElementFactory* f = gst_element_get_factory(e);
    if (!f) return nullptr;
    auto it = fresh_.find(f);
    if (it != fresh_.end()) return it->second;
    GstElement* made = gst_element_factory_create(f, nullptr);
    if (made) gst_object_ref_sink(made);
    fresh_[f] = made;
    return made;
  }

 private:
  std::map<GstElementFactory*, GstElement*> fresh_;
};

// Properties whose default is made up per instance (a temporary file name).
bool per_instance(const std::string& name) { return name == "faststart-file"; }

// "factory name=... prop=value" with the properties that differ from their defaults.
std::string element_text(GstElement* e, bool need_name, Defaults& defaults) {
  const std::string factory = factory_name(e);
  const bool show_name = need_name || !auto_named(e);
  GstElement* fresh = defaults.of(e);
  std::string props;
  guint n = 0;
  GParamSpec** specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(e), &n);
  for (guint i = 0; i < n; ++i) {
    GParamSpec* p = specs[i];
    const std::string pname = p->name;
    if (pname == "name" || pname == "parent" || per_instance(pname)) continue;
    if (!(p->flags & G_PARAM_READABLE) || !(p->flags & G_PARAM_WRITABLE)) continue;
    if (p->flags & G_PARAM_DEPRECATED) continue;
    if (skipped_type(p->value_type)) continue;
    if (factory == "capsfilter" && pname == "caps") continue;
    GValue value = G_VALUE_INIT, def = G_VALUE_INIT;
    g_value_init(&value, p->value_type);
    g_value_init(&def, p->value_type);
    g_object_get_property(G_OBJECT(e), p->name, &value);
    if (fresh)
      g_object_get_property(G_OBJECT(fresh), p->name, &def);
    else
      g_param_value_set_default(p, &def);
    if (!same_value(p, &value, &def)) {
      const std::string text = value_text(&value);
      if (!text.empty()) props += " " + pname + "=" + text;
    }
    g_value_unset(&value);
    g_value_unset(&def);
  }
  g_free(specs);
  if (factory == "capsfilter") {
    const std::string caps = caps_text(e);
    // A bare caps string makes gst-launch create an unnamed filter.
    if (!show_name && props.empty()) return caps;
    props = " caps=" + quoted(caps) + props;
  }
  return factory + (show_name ? " name=" + quoted(GST_ELEMENT_NAME(e)) : "") + props;
}

bool has_sometimes_src_template(GstElement* e) {
  for (const GList* l = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(e)); l; l = l->next) {
    GstPadTemplate* t = GST_PAD_TEMPLATE(l->data);
    if (GST_PAD_TEMPLATE_DIRECTION(t) == GST_PAD_SRC && GST_PAD_TEMPLATE_PRESENCE(t) == GST_PAD_SOMETIMES) return true;
  }
  return false;
}

struct Graph {
  std::vector<GstElement*> leaves;
  std::map<GstElement*, std::vector<GstElement*>> out;  // downstream leaves, pad order
  std::map<GstElement*, int> in;                        // incoming links
  std::map<GstElement*, bool> unlinked_sink;            // has a sink pad nothing feeds
};

template <typename F>
void for_pads(GstIterator* it, F f) {
  GValue v = G_VALUE_INIT;
  while (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    f(GST_PAD(g_value_get_object(&v)));
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
}

Graph build_graph(GstElement* pipeline) {
  Graph g;
  collect_leaves(pipeline, g.leaves);
  std::set<GstElement*> known(g.leaves.begin(), g.leaves.end());
  for (GstElement* e : g.leaves) {
    g.in[e];
    g.out[e];
    bool unlinked = false;
    for_pads(gst_element_iterate_sink_pads(e), [&](GstPad* pad) {
      GstPad* peer = gst_pad_get_peer(pad);
      if (!peer) unlinked = true;
      if (peer) gst_object_unref(peer);
    });
    g.unlinked_sink[e] = unlinked;
  }
  for (GstElement* e : g.leaves) {
    for_pads(gst_element_iterate_src_pads(e), [&](GstPad* pad) {
      GstPad* sink = downstream_leaf_pad(pad);
      if (!sink) return;
      GstElement* target = gst_pad_get_parent_element(sink);
      gst_object_unref(sink);
      if (!target) return;
      if (known.count(target)) {
        g.out[e].push_back(target);
        ++g.in[target];
      }
      gst_object_unref(target);
    });
  }
  // A source whose pads come once data flows (rtspsrc, a demuxer) is joined to the
  // element of its bin that waits for them, as gst-launch does with its delayed links.
  std::set<GstElement*> taken;
  for (GstElement* e : g.leaves) {
    if (!g.out[e].empty() || !has_sometimes_src_template(e)) continue;
    GstObject* bin = gst_object_get_parent(GST_OBJECT(e));
    for (GstElement* t : g.leaves) {
      if (t == e || taken.count(t) || !g.unlinked_sink[t] || g.in[t] > 0) continue;
      GstObject* tbin = gst_object_get_parent(GST_OBJECT(t));
      const bool same = tbin == bin;
      if (tbin) gst_object_unref(tbin);
      if (!same) continue;
      g.out[e].push_back(t);
      ++g.in[t];
      taken.insert(t);
      break;
    }
    if (bin) gst_object_unref(bin);
  }
  return g;
}

class Writer {
 public:
  explicit Writer(Graph& g) : g_(g) {
    for (GstElement* e : g_.leaves)
      if (g_.out[e].size() > 1 || g_.in[e] > 1) named_.insert(e);
  }

  std::string run() {
    std::vector<GstElement*> starts;
    // True sources first, then elements that wait for a pad nothing in the pipeline gives.
    for (int pass = 0; pass < 2; ++pass)
      for (GstElement* e : g_.leaves) {
        if (g_.in[e] != 0) continue;
        const bool source = e->numsinkpads == 0;
        if ((pass == 0) == source) starts.push_back(e);
      }
    for (GstElement* e : starts) chain(e);
    // Cycles or leftovers: anything not reached yet still gets described.
    for (GstElement* e : g_.leaves)
      if (!done_.count(e)) chain(e);
    std::string text;
    for (const std::string& c : chains_) text += (text.empty() ? "" : "  ") + c;
    return text;
  }

 private:
  void chain(GstElement* start) {
    std::string text;
    std::vector<std::pair<GstElement*, GstElement*>> branches;
    walk(start, text, branches);
    chains_.push_back(text);
    for (size_t i = 0; i < branches.size(); ++i) {
      std::string b = quoted(GST_ELEMENT_NAME(branches[i].first)) + ". ! ";
      walk(branches[i].second, b, branches);
      chains_.push_back(b);
    }
  }

  void walk(GstElement* e, std::string& text, std::vector<std::pair<GstElement*, GstElement*>>& branches) {
    for (;;) {
      if (done_.count(e)) {
        text += quoted(GST_ELEMENT_NAME(e)) + ".";
        return;
      }
      done_.insert(e);
      text += element_text(e, named_.count(e) > 0, defaults_);
      const std::vector<GstElement*>& next = g_.out[e];
      if (next.empty()) return;
      for (size_t i = 1; i < next.size(); ++i) branches.push_back({e, next[i]});
      text += " ! ";
      e = next[0];
    }
  }

  Graph& g_;
  Defaults defaults_;
  std::set<GstElement*> named_, done_;
  std::vector<std::string> chains_;
};

}  // namespace

namespace nimbra_internal {

std::string describe_pipeline(GstElement* pipeline) {
  if (!pipeline) return std::string();
  if (!GST_IS_BIN(pipeline)) {
    Defaults defaults;
    return element_text(pipeline, false, defaults);
  }
  Graph g = build_graph(pipeline);
  return Writer(g).run();
}

}  // namespace nimbra_internal

namespace Velkor {
namespace Nimbra {

int describe_stream_pipeline(const std::string& stream_id, std::string& description) {
  // The start runs as usual; its stream is registered as one that is only described, and
  // where it would play, the pipeline's description is recorded instead (may_play).
  std::string captured;
  std::function<int8_t(const Image&)> callback = [](const Image&) -> int8_t { return 0; };
  int rc = -1;
  {
    nimbra_internal::DescribeClaims describe(&captured);
    try {
      rc = start_stream(stream_id, callback);
    } catch (const std::exception& e) {
      NLOG_ERROR("Stream id: %s cannot be described: %s", stream_id.c_str(), e.what());
      rc = -1;
    }
  }
  if (rc != 0 || captured.empty()) {
    if (rc == 0) NLOG_ERROR("Stream id: %s built no pipeline to describe.", stream_id.c_str());
    return -1;
  }
  description = captured;
  return 0;
}

}  // namespace Nimbra
}  // namespace Velkor
