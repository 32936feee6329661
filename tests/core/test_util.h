// Small helpers shared by the core library tests.
#pragma once

#include <dirent.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "StreamCommon.h"
#include "nimbra.h"

namespace nimbra_test_util {

inline void gst_init_once() {
  static bool done = [] {
    gst_init(nullptr, nullptr);
    return true;
  }();
  (void)done;
}

inline std::string make_temp_dir() {
  char tmpl[] = "/tmp/nimbra-test-XXXXXX";
  char* d = mkdtemp(tmpl);
  return d ? std::string(d) : std::string();
}

inline void remove_tree(const std::string& dir) {
  if (dir.empty() || dir.rfind("/tmp/", 0) != 0) return;
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

// Sends the library's log to a private file so a test can look for its messages.
class LogCapture {
 public:
  LogCapture() : dir_(make_temp_dir()), path_(dir_ + "/nimbra.log") {
    Velkor::Nimbra::clogger(path_.c_str());
    Velkor::Nimbra::set_log_level(Velkor::Nimbra::SINFO);
  }
  ~LogCapture() {
    Velkor::Nimbra::clogger("");
    remove_tree(dir_);
  }
  std::string text() const { return read_file(path_); }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
  // Lines holding `s`, with their level tag, e.g. "[ERROR]".
  bool contains_at(const std::string& level, const std::string& s) const {
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
      if (line.find(s) != std::string::npos && line.find("[" + level + "]") != std::string::npos)
        return true;
    return false;
  }
  size_t count(const std::string& s) const {
    std::string t = text();
    size_t n = 0;
    for (size_t pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + 1)) ++n;
    return n;
  }
  void clear() { write_file(path_, ""); }

 private:
  std::string dir_;
  std::string path_;
};

// A configuration file in a temp dir, installed as the library's configuration.
// One stream object of a configuration file, and the file around such objects.
inline std::string entry(const std::string& id, const std::string& props, const std::string& parent = "") {
  return "{\"streamsId\":\"" + id + "\"" + (parent.empty() ? "" : ",\"pStreamId\":\"" + parent + "\"") +
         ",\"properties\":{" + props + "}}";
}

inline std::string config(std::initializer_list<std::string> entries) {
  std::string out = "{\"streams\":[";
  bool first = true;
  for (const auto& e : entries) {
    out += (first ? "" : ",") + e;
    first = false;
  }
  return out + "]}";
}

class ConfigFile {
 public:
  explicit ConfigFile(const std::string& json) : dir_(make_temp_dir()), path_(dir_ + "/nimbra-gst.conf") {
    write_file(path_, json);
    g_stream_conf_file = path_.c_str();
    stream_conf_file = path_.c_str();
  }
  ~ConfigFile() {
    g_stream_conf_file = "/nonexistent/nimbra-gst.conf";
    stream_conf_file = "/nonexistent/nimbra-gst.conf";
    remove_tree(dir_);
  }
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }
  void rewrite(const std::string& json) { write_file(path_, json); }

 private:
  std::string dir_;
  std::string path_;
};

inline std::string media_dir() {
  const char* d = getenv("NIMBRA_MEDIA_DIR");
  return d ? d : "media";
}

inline std::string media(const std::string& name) { return media_dir() + "/" + name; }

// Polls `pred` every 10 ms until it holds or `timeout` passes (a guard against hangs,
// never a performance assertion).
inline bool wait_until(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

// Encoded access units of a generated clip, in decode order, with their PTS.
struct AccessUnit {
  std::vector<uint8_t> bytes;
  int64_t pts = -1;
};

// Runs a launch description ending in "appsink name=sink" and returns every buffer.
inline std::vector<AccessUnit> collect_buffers(const std::string& description) {
  gst_init_once();
  std::vector<AccessUnit> out;
  GError* err = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &err);
  if (!pipeline) {
    if (err) g_error_free(err);
    return out;
  }
  if (err) g_error_free(err);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_object_set(sink, "sync", FALSE, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstBuffer* b = gst_sample_get_buffer(s);
    GstMapInfo m;
    if (gst_buffer_map(b, &m, GST_MAP_READ)) {
      AccessUnit au;
      au.bytes.assign(m.data, m.data + m.size);
      au.pts = GST_BUFFER_PTS_IS_VALID(b) ? (int64_t)GST_BUFFER_PTS(b) : -1;
      out.push_back(std::move(au));
      gst_buffer_unmap(b, &m);
    }
    gst_sample_unref(s);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return out;
}

// H.265 access units (byte-stream, one AU per buffer) of a test-pattern clip.
inline std::vector<AccessUnit> hevc_access_units(int frames, int width, int height, int keyint) {
  std::ostringstream d;
  d << "videotestsrc num-buffers=" << frames << " pattern=ball ! video/x-raw,format=I420,width=" << width
    << ",height=" << height << ",framerate=25/1 ! x265enc speed-preset=ultrafast key-int-max=" << keyint
    << " ! h265parse config-interval=-1 ! video/x-h265,stream-format=byte-stream,alignment=au ! "
       "appsink name=sink";
  return collect_buffers(d.str());
}

// Decoded RGB frames of a media file (any container/codec decodebin handles).
struct RgbFrames {
  int width = 0;
  int height = 0;
  int fps_n = 0, fps_d = 1;
  size_t count = 0;                          // every frame decoded
  std::vector<std::vector<uint8_t>> frames;  // the first `keep` frames, packed RGB
  const uint8_t* pixel(size_t frame, int x, int y) const { return &frames[frame][((size_t)y * width + x) * 3]; }
};

inline RgbFrames decode_rgb(const std::string& path, size_t keep = 1000000) {
  gst_init_once();
  RgbFrames out;
  gchar* loc = g_strescape(path.c_str(), nullptr);
  std::string desc = std::string("filesrc location=\"") + loc +
                     "\" ! decodebin ! videoconvert ! video/x-raw,format=RGB ! appsink name=sink sync=false";
  g_free(loc);
  GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
  if (!p) return out;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
  gst_element_set_state(p, GST_STATE_PLAYING);
  while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
    GstCaps* caps = gst_sample_get_caps(s);
    GstStructure* st = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(st, "width", &out.width);
    gst_structure_get_int(st, "height", &out.height);
    gst_structure_get_fraction(st, "framerate", &out.fps_n, &out.fps_d);
    if (out.frames.size() < keep) {
      GstBuffer* b = gst_sample_get_buffer(s);
      GstMapInfo m;
      gst_buffer_map(b, &m, GST_MAP_READ);
      // Rows may be padded to 4 bytes; repack them.
      const size_t row = (size_t)out.width * 3, stride = (row + 3) & ~(size_t)3;
      std::vector<uint8_t> f(row * out.height);
      for (int y = 0; y < out.height && (size_t)y * stride + row <= m.size; ++y)
        memcpy(&f[(size_t)y * row], m.data + (size_t)y * stride, row);
      out.frames.push_back(std::move(f));
      gst_buffer_unmap(b, &m);
    }
    ++out.count;
    gst_sample_unref(s);
  }
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(p);
  return out;
}

// Runs a launch description to its end (e.g. to encode a clip); false on error.
inline bool run_to_end(const std::string& description) {
  gst_init_once();
  GError* err = nullptr;
  GstElement* p = gst_parse_launch(description.c_str(), &err);
  if (!p) {
    if (err) g_error_free(err);
    return false;
  }
  gst_element_set_state(p, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(p);
  GstMessage* m = gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND,
                                             (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
  if (m) gst_message_unref(m);
  gst_object_unref(bus);
  gst_element_set_state(p, GST_STATE_NULL);
  gst_object_unref(p);
  return ok;
}

// The *.mp4 files directly inside `dir`, sorted by name.
inline std::vector<std::string> segments(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mp4") == 0) out.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

inline bool near(const uint8_t* px, int r, int g, int b, int tol = 40) {
  return std::abs(px[0] - r) <= tol && std::abs(px[1] - g) <= tol && std::abs(px[2] - b) <= tol;
}

}  // namespace nimbra_test_util
