#define NIMBRA_MODULE "modules/origin/src/StreamCommon"
#include "StreamCommon.h"

#include <json/json.h>

#include <algorithm>
#include <exception>
#include <fstream>

#include "StreamLog.h"
#include "StreamMetrics.h"

const char* g_stream_conf_file = "/usr/local/share/nimbra-gst/conf/nimbra-gst.conf";
const char* stream_conf_file = "/usr/local/share/nimbra-gst/conf/nimbra-gst.conf";

namespace {

// Opens and parses `path`. false when it cannot be opened (after the level-2 message);
// a parse failure throws Json::RuntimeError from operator>>, as the readers promise.
bool load_config(const char* path, Json::Value& root) {
  std::ifstream in(path ? path : "");
  if (!in.is_open()) {
    NLOG_ERROR("Unable to open configuration file: %s", path ? path : "(null)");
    return false;
  }
  in >> root;
  return true;
}

// First element of "streams" whose "streamsId" equals id byte for byte, or null.
const Json::Value* find_stream(const Json::Value& root, const std::string& id) {
  const Json::Value& streams = root["streams"];
  if (streams.isNull()) return nullptr;
  for (Json::ArrayIndex i = 0; i < streams.size(); ++i) {
    const Json::Value& s = streams[i];
    if (s["streamsId"].asString() == id) return &s;
  }
  return nullptr;
}

}  // namespace

namespace Velkor {
namespace Nimbra {

int get_properties(std::string id, StreamIns& ins) {
  ins.width = 0;
  ins.height = 0;
  ins.outputType.clear();
  ins.outputAddr.clear();
  ins.pStreamId.clear();
  ins.decodeType = "H264";
  ins.encodeType = "H264";
  ins.audio = false;
  ins.fps = 0;

  Json::Value root;
  if (!load_config(g_stream_conf_file, root)) return -1;
  const Json::Value* stream = find_stream(root, id);
  if (!stream) {
    NLOG_INFO("Specified stream id: %s not defined in configuration file nimbra-gst.conf.", id.c_str());
    return -1;
  }
  const Json::Value& p = (*stream)["properties"];

  if (p.isMember("saveMp4") && p.isMember("width") && p.isMember("height")) {
    ins.saveMp4 = p["saveMp4"].asBool();
    if (ins.saveMp4) {
      ins.width = p["width"].asInt();
      ins.height = p["height"].asInt();
      return 0;
    }
  }
  if (p.isMember("networkPush") && p.isMember("width") && p.isMember("height")) {
    ins.networkPush = p["networkPush"].asBool();
    if (ins.networkPush) {
      ins.width = p["width"].asInt();
      ins.height = p["height"].asInt();
      ins.fps = p.isMember("fps") ? p["fps"].asInt() : 0;
      return 0;
    }
  }

  if (stream->isMember("pStreamId")) ins.pStreamId = (*stream)["pStreamId"].asString();
  ins.streamId = (*stream)["streamsId"].asString();

  if (!p.isMember("inputType")) {
    NLOG_ERROR("inputType is not defined.");
    return -1;
  }
  ins.inputType = p["inputType"].asString();
  if (ins.inputType == "usbcam" && p.isMember("width") && p.isMember("height")) {
    ins.width = p["width"].asInt();
    ins.height = p["height"].asInt();
  }
  if (ins.inputType == "splice") return 0;

  if (!p.isMember("inputAddr")) {
    NLOG_ERROR("inputAddr is not defined.");
    return -1;
  }
  ins.inputAddr = p["inputAddr"].asString();
  if (p.isMember("decodeType")) ins.decodeType = p["decodeType"].asString();
  if (p.isMember("encodeType")) ins.encodeType = p["encodeType"].asString();

  if (p.isMember("audio"))
    ins.audio = p["audio"].asBool();
  else
    NLOG_INFO("Audio switch is not defined. Uses false by default.");
  if (p.isMember("rollingsave"))
    ins.rollingsave = p["rollingsave"].asBool();
  else
    NLOG_INFO("Rolling save is not defined. Uses false by default.");

  if (p.isMember("outputType") && p.isMember("outputAddr")) {
    ins.outputType = p["outputType"].asString();
    ins.outputAddr = p["outputAddr"].asString();
  } else {
    ins.streamId = id;
  }
  return 0;
}

}  // namespace Nimbra
}  // namespace Velkor

int get_configuration_properties(std::string id, StreamProperty& prop) {
  NLOG_INFO("Start to get configuration properties for stream id: %s.", id.c_str());
  prop.width = 0;
  prop.height = 0;
  prop.outputType.clear();
  prop.outputAddr.clear();
  prop.fps = 0;

  Json::Value root;
  if (!load_config(stream_conf_file, root)) return -1;
  const Json::Value* stream = find_stream(root, id);
  if (!stream) return -1;
  const Json::Value& p = (*stream)["properties"];

  prop.streamId = (*stream)["streamsId"].asString();
  if (p.isMember("width") && p.isMember("height")) {
    prop.width = p["width"].asInt();
    prop.height = p["height"].asInt();
  } else {
    NLOG_INFO("width or height is not defined.");
  }
  if (!p.isMember("inputType")) {
    NLOG_ERROR("inputType is not defined.");
    return -1;
  }
  prop.inputType = p["inputType"].asString();
  if (!p.isMember("inputAddr")) {
    NLOG_ERROR("inputAddr is not defined.");
    return -1;
  }
  prop.inputAddr = p["inputAddr"].asString();

  if (p.isMember("decodeType"))
    prop.decodeType = p["decodeType"].asString();
  else
    NLOG_INFO("Decode type is not defined. It's h264 by default.");
  if (p.isMember("encodeType"))
    prop.encodeType = p["encodeType"].asString();
  else
    NLOG_INFO("Encode type is not defined. It's h264 by default.");
  if (p.isMember("audio"))
    prop.audio = p["audio"].asBool();
  else
    NLOG_INFO("Audio switch is not defined.");
  if (p.isMember("rollingsave"))
    prop.rollingsave = p["rollingsave"].asBool();
  else
    NLOG_INFO("Rolling save is not defined. Uses false by default.");
  if (p.isMember("rollingFps")) {
    prop.rollingFps = p["rollingFps"].asInt();
  } else {
    prop.rollingFps = 30;
    NLOG_INFO("Rolling save mp4 fps is not defined. Uses 30 by default.");
  }
  // Without the key the record keeps its default (true: no automatic rebuild).
  if (p.isMember("manualRebuild"))
    prop.manualRebuild = p["manualRebuild"].asBool();
  else
    NLOG_INFO("manualRebuild switch is not defined. Default value is false.");
  if (p.isMember("outputType") && p.isMember("outputAddr")) {
    prop.outputType = p["outputType"].asString();
    prop.outputAddr = p["outputAddr"].asString();
  }
  if (p.isMember("fps")) prop.fps = p["fps"].asInt();
  return 0;
}

int get_config_properties_mp4(std::string id, StreamProperty& prop) {
  NLOG_INFO("[MP4 Saving] Start to get configuration properties for stream id: %s.", id.c_str());
  prop.outputFile = "/var/tmp/saved_output.mp4";
  prop.width = 0;
  prop.height = 0;
  prop.fps = 25;

  Json::Value root;
  if (!load_config(stream_conf_file, root)) return -1;
  const Json::Value* stream = find_stream(root, id);
  if (!stream) {
    NLOG_ERROR("For stream id: %s missing related configuration.", id.c_str());
    return -1;
  }
  const Json::Value& p = (*stream)["properties"];
  if (!p.isMember("saveMp4") && !(p.isMember("networkPush") && p["networkPush"].asBool())) {
    NLOG_ERROR("For stream id: %s missing mandatory parameter saveMp4.", id.c_str());
    return -1;
  }
  prop.streamId = (*stream)["streamsId"].asString();
  if (!p.isMember("width") || !p.isMember("height")) {
    NLOG_ERROR("For stream id: %s missing mandatory parameter width/height.", id.c_str());
    return -1;
  }
  prop.width = p["width"].asInt();
  prop.height = p["height"].asInt();
  if (p.isMember("outputFile")) prop.outputFile = p["outputFile"].asString();
  if (p.isMember("outputAddr")) prop.outputAddr = p["outputAddr"].asString();
  if (p.isMember("fps")) prop.fps = p["fps"].asInt();
  NLOG_INFO("Get saving mp4 configuration completed.");
  return 0;
}

namespace {
// Runs the full reader for one getter; nothing may escape, as getters run on streaming
// threads too.
StreamProperty read_for_getter(const std::string& id) {
  StreamProperty prop;
  try {
    get_configuration_properties(id, prop);
  } catch (const std::exception& e) {
    NLOG_ERROR("Configuration of stream id: %s could not be read (%s), using defaults.", id.c_str(),
               e.what());
    prop = StreamProperty();
  }
  return prop;
}
}  // namespace

std::string get_decode_type(std::string id) { return read_for_getter(id).decodeType; }
std::string get_encode_type(std::string id) { return read_for_getter(id).encodeType; }
int get_output_fps(std::string id) { return read_for_getter(id).fps; }
bool get_manual_rebuild(std::string id) { return read_for_getter(id).manualRebuild; }
bool output_mp4(std::string id) { return read_for_getter(id).outputType == "mp4"; }
int get_stream_width(std::string id) { return read_for_getter(id).width; }
int get_stream_height(std::string id) { return read_for_getter(id).height; }

namespace nimbra_internal {

uint64_t configured_stall_timeout_ns(const std::string& id) {
  // Quiet: streams started from records have no entry, and a broken file is reported by
  // the reader that starts the stream.
  try {
    std::ifstream in(stream_conf_file ? stream_conf_file : "");
    if (!in.is_open()) return 0;
    Json::Value root;
    in >> root;
    const Json::Value* stream = find_stream(root, id);
    if (!stream) return 0;
    const Json::Value& v = (*stream)["properties"]["stallTimeout"];
    if (!v.isNumeric() || v.asDouble() <= 0) return 0;
    return (uint64_t)(std::max(0.2, v.asDouble()) * 1e9);
  } catch (const std::exception&) {
    return 0;
  }
}

bool configured_slow_callback_blocks(const std::string& id) {
  try {
    std::ifstream in(stream_conf_file ? stream_conf_file : "");
    if (!in.is_open()) return false;
    Json::Value root;
    in >> root;
    const Json::Value* stream = find_stream(root, id);
    if (!stream) return false;
    const Json::Value& v = (*stream)["properties"]["slowCallback"];
    return v.isString() && v.asString() == "block";
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace nimbra_internal
