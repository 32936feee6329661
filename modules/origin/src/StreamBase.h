// Element groups: bins with one ghost pad that the runners put at the head (inputs,
// ghost "src") or the tail (outputs, ghost "sink") of a stream's pipeline.
//
//   StreamInputRtsp in("rtsp://127.0.0.1:8554/cam", "cam1");
//   StreamOutputMp4sink out("/tmp/cam1.mp4", 1920, 1080);
//   out.set_stream_id("cam1");
//   GstElement* head = in.build();   // floating bin, or null after one log line
//   GstElement* tail = out.build();
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

// Stream id most recently given to an input group; the RTSP codec check and the RTMP
// output group read it.
extern std::string g_stream_id;

class StreamBase {
 public:
  virtual GstElement* build() = 0;
  ~StreamBase() = default;

  void set_stream_id(std::string id) { stream_id = std::move(id); }
  // Ghost pad "src" (or "sink") on `bin` targeting `element`'s static pad of that name.
  void createSrcPad(GstElement* bin, GstElement* element);
  void createSinkPad(GstElement* bin, GstElement* element);

  std::string stream_id = "empty";
};

class StreamInput : public StreamBase {
 public:
  GstElement* build() override = 0;
  virtual ~StreamInput() = default;
};

class StreamOutput : public StreamBase {
 public:
  GstElement* build() override = 0;
  virtual ~StreamOutput() = default;
};

// Rounds value up to a multiple of alignment (0 alignment gives 0).
int align_up(int value, int alignment);

namespace nimbra_internal {

enum class InputKind { File, Rtmp, Rtsp };

// The platform decoder for a stream's codec, with its properties and log line. Null when
// the factory is missing (the caller reports it).
GstElement* make_input_decoder(InputKind kind, const std::string& decode_type);

// Adds every non-null element to `bin`, so one unref of the bin releases them all.
void add_all(GstElement* bin, std::initializer_list<GstElement*> elements);

// Unrefs the floating elements that were never added to a bin.
void drop_all(std::initializer_list<GstElement*> elements);

// A capsfilter with caps parsed from `caps_text`, or null when the factory is missing.
GstElement* make_caps_filter(const char* name, const char* caps_text);
// A fakesink that keeps no reference to the last frame it dropped (a basesink holds one
// by default: a whole 1080p RGB picture per stream, for nobody).
GstElement* make_fakesink(const char* name);

// `value` quoted for a launch description, so blanks, quotes and "!" stay inside it.
std::string launch_quoted(const std::string& value);

// Monotonic clock in nanoseconds (frame-rate windows, deadlines).
uint64_t now_ns();

// End-of-stream into `pipeline` (or into `pad`) from a short-lived thread of its own. The
// push that carries it runs downstream on the sending thread and waits wherever the data
// waits (a sink that has not prerolled, a full queue behind a slow callback): neither a
// stop nor a runner may wait with it. The pipeline going to NULL releases such a push.
void send_eos_async(GstElement* pipeline);
void send_eos_async(GstPad* pad);

}  // namespace nimbra_internal
