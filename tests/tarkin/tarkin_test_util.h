// SPDX-License-Identifier: BSD-3-Clause
// Helpers for the detection tests: generated model paths, captured GStreamer log
// lines, and the detection text parsed back with gst_value_deserialize.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace tarkintest {

inline std::string models_dir()
{
  const char *d = std::getenv("NIMBRA_TARKIN_MODELS");
  return d ? d : "";
}

inline std::string model_path(const std::string &rel)
{
  return models_dir() + "/" + rel;
}

inline Json::Value load_cases()
{
  std::ifstream in(model_path("cases.json"));
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string errs;
  if (!Json::parseFromStream(b, in, &root, &errs))
    ADD_FAILURE() << "cannot read cases.json: " << errs;
  return root;
}

inline std::vector<float> read_floats(const std::string &path)
{
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in)
    return {};
  std::vector<float> v((size_t)in.tellg() / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char *>(v.data()), (std::streamsize)(v.size() * sizeof(float)));
  return v;
}

// Collects every log line of the "default" and "nmx-tarkin" categories.
class LogCapture {
 public:
  LogCapture()
  {
    gst_debug_set_active(TRUE);
    gst_debug_set_threshold_for_name("default", GST_LEVEL_INFO);
    gst_debug_set_threshold_for_name("nmx-tarkin", GST_LEVEL_INFO);
    gst_debug_add_log_function(&LogCapture::on_log, this, nullptr);
  }
  ~LogCapture() { gst_debug_remove_log_function_by_data(this); }

  bool contains(const std::string &needle)
  {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto &l : lines_)
      if (l.find(needle) != std::string::npos)
        return true;
    return false;
  }
  std::string all()
  {
    std::lock_guard<std::mutex> g(lock_);
    std::string s;
    for (const auto &l : lines_)
      s += l + "\n";
    return s;
  }

 private:
  static void on_log(GstDebugCategory *cat, GstDebugLevel, const gchar *, const gchar *, gint, GObject *,
                     GstDebugMessage *message, gpointer user_data)
  {
    const char *name = gst_debug_category_get_name(cat);
    if (g_strcmp0(name, "default") != 0 && g_strcmp0(name, "nmx-tarkin") != 0)
      return;
    auto *self = static_cast<LogCapture *>(user_data);
    const gchar *text = gst_debug_message_get(message);
    std::lock_guard<std::mutex> g(self->lock_);
    self->lines_.push_back(text ? text : "");
  }
  std::mutex lock_;
  std::vector<std::string> lines_;
};

struct ParsedBox {
  std::string label;
  guint id = 0;
  double confidence = 0;
  guint color = 0;
  float rect[4] = {0, 0, 0, 0};
};

struct ParsedText {
  bool ok = false;
  guint64 timestamp = 0;
  std::vector<ParsedBox> boxes;
};

// Reads the text the way a downstream consumer would.
inline ParsedText parse_text(const std::string &text)
{
  ParsedText r;
  GValue v = G_VALUE_INIT;
  g_value_init(&v, GST_TYPE_LIST);
  if (!gst_value_deserialize(&v, text.c_str())) {
    g_value_unset(&v);
    return r;
  }
  if (gst_value_list_get_size(&v) != 1) {
    g_value_unset(&v);
    return r;
  }
  const GstStructure *top = gst_value_get_structure(gst_value_list_get_value(&v, 0));
  guint u = 99;
  if (!top || !gst_structure_has_name(top, "ObjectDetection") ||
      !gst_structure_get_uint(top, "batch-index", &u) || u != 0 ||
      !gst_structure_get_uint64(top, "timestamp", &r.timestamp) ||
      !gst_structure_get_uint(top, "sequence-index", &u) || u != 1 ||
      !gst_structure_get_uint(top, "sequence-num-entries", &u) || u != 1) {
    g_value_unset(&v);
    return r;
  }
  const GValue *arr = gst_structure_get_value(top, "bounding-boxes");
  if (!arr || !GST_VALUE_HOLDS_ARRAY(arr)) {
    g_value_unset(&v);
    return r;
  }
  for (guint i = 0; i < gst_value_array_get_size(arr); i++) {
    const GstStructure *s = gst_value_get_structure(gst_value_array_get_value(arr, i));
    ParsedBox b;
    b.label = gst_structure_get_name(s);
    gst_structure_get_uint(s, "id", &b.id);
    gst_structure_get_double(s, "confidence", &b.confidence);
    gst_structure_get_uint(s, "color", &b.color);
    const GValue *rect = gst_structure_get_value(s, "rectangle");
    if (rect && GST_VALUE_HOLDS_ARRAY(rect) && gst_value_array_get_size(rect) == 4)
      for (guint k = 0; k < 4; k++)
        b.rect[k] = g_value_get_float(gst_value_array_get_value(rect, k));
    r.boxes.push_back(b);
  }
  g_value_unset(&v);
  r.ok = true;
  return r;
}

// Captures what the runtime writes to stderr while f runs.
template <typename Fn>
inline std::string capture_stderr(Fn f)
{
  fflush(stderr);
  FILE *tmp = tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string s;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
    s.append(buf, n);
  fclose(tmp);
  return s;
}


inline GstStructure *settings_for(const std::string &model, const std::string &type, double box = -1,
                                  double nms = -1, int model_size = 0)
{
  GstStructure *s = gst_structure_new("nmx-tarkin-settings", "model", G_TYPE_STRING, model.c_str(), "model-type",
                                      G_TYPE_STRING, type.c_str(), "print-valid-boxes", G_TYPE_BOOLEAN, TRUE, NULL);
  if (box >= 0)
    gst_structure_set(s, "box-thresh", G_TYPE_DOUBLE, box, NULL);
  if (nms >= 0)
    gst_structure_set(s, "nms-thresh", G_TYPE_DOUBLE, nms, NULL);
  if (model_size > 0)
    gst_structure_set(s, "model-size", G_TYPE_UINT, (guint)model_size, NULL);
  return s;
}

// One JSON detection record: exactly one line, parsed with jsoncpp (an independent
// reader); a null value when the text is not that.
inline Json::Value parse_json_line(const std::string &text)
{
  Json::Value v;
  if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) {
    ADD_FAILURE() << "not one line: " << text.substr(0, 300);
    return Json::Value();
  }
  Json::CharReaderBuilder b;
  std::string errs;
  std::istringstream in(text);
  if (!Json::parseFromStream(b, in, &v, &errs) || !v.isObject()) {
    ADD_FAILURE() << "not a JSON object (" << errs << "): " << text.substr(0, 300);
    return Json::Value();
  }
  return v;
}

// Messages the element posts on its bus (warnings and errors), in order.
class BusMessages {
 public:
  explicit BusMessages(GstElement *element) : bus_(gst_bus_new()) { gst_element_set_bus(element, bus_); }
  ~BusMessages() { gst_object_unref(bus_); }
  // Drains the bus; returns the texts of messages of the given type.
  std::vector<std::string> take(GstMessageType type)
  {
    drain();
    std::vector<std::string> r;
    for (const auto &m : seen_)
      if (m.first == type)
        r.push_back(m.second);
    return r;
  }

 private:
  void drain()
  {
    while (GstMessage *m = gst_bus_pop_filtered(bus_, (GstMessageType)(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR))) {
      GError *err = nullptr;
      gchar *dbg = nullptr;
      if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING)
        gst_message_parse_warning(m, &err, &dbg);
      else
        gst_message_parse_error(m, &err, &dbg);
      seen_.emplace_back(GST_MESSAGE_TYPE(m), err ? err->message : "");
      g_clear_error(&err);
      g_free(dbg);
      gst_message_unref(m);
    }
  }
  GstBus *bus_;
  std::vector<std::pair<GstMessageType, std::string>> seen_;
};

}  // namespace tarkintest
