#define NIMBRA_MODULE "modules/origin/src/StreamBuildMultiMerge"
#include "StreamBuildMultiMerge.h"

#include "StreamLog.h"

namespace {

// The composition always reads exactly this many cameras.
constexpr size_t kCameraCount = 4;

// The board's QNN HTP back-end the detection stage runs on.
const char* const kQnnBackend = "/opt/qcom/qirp-sdk/lib/aarch64-oe-linux-gcc11.2/libQnnHtp.so";

// Rounded toward zero to an even number: NV12 needs even frame sizes.
int even(int x) { return x - x % 2; }

// One logo and one text overlay; values go in as they are, the overlay parses them.
std::string overlay(const char* image, const char* text, const OutputStreamProperty& out) {
  std::string s;
  s += " ! qtivoverlay images=\"{(structure)\\\"";
  s += image;
  s += ",path=" + out.logoPath + ",resolution=<" + std::to_string(out.logoWidth) + "," +
       std::to_string(out.logoHeight) + ">";
  s += ",destination=<" + std::to_string(out.logoLocX) + "," + std::to_string(out.logoLocY) + "," +
       std::to_string(out.logoLocWidth) + "," + std::to_string(out.logoLocHeight);
  s += ">;\\\"}\" ";
  s += "strings=\"{(structure)\\\"";
  s += text;
  s += ",contents=\\\\\\\"" + out.textStr + "\\\\\\\"";
  s += ",fontsize=" + std::to_string(out.textFontSize) + ",position=<" + std::to_string(out.textLocX) + "," +
       std::to_string(out.textLocY) + ">";
  s += ",color=" + out.textColor + ";\\\"}\" ";
  return s;
}

std::string push_tail(const OutputStreamProperty& push) {
  return " ! rtspclientsink protocols=tcp location=" + push.outputAddr + " " +
         " tcp-timeout=5000000 do-rtsp-keep-alive=true async-handling=false timeout=5000000 ";
}

}  // namespace

std::string build_sink_properties(const StreamProperty& prop, int index) {
  if (index < 0 || static_cast<size_t>(index) >= prop.inputStreams.size()) return std::string();
  const InputStreamProperty& in = prop.inputStreams[index];
  const std::string pad = "sink_" + std::to_string(index);
  std::string s;
  if (!in.crop.empty()) s += pad + "::crop=\"" + in.crop + "\" ";
  if (!in.flipHorizontal.empty()) s += pad + "::flip-horizontal=" + in.flipHorizontal + " ";
  if (!in.flipVertical.empty()) s += pad + "::flip-vertical=" + in.flipVertical + " ";
  return s;
}

std::string get_4_cameras_launch_command(const StreamProperty& prop, bool split_outputs, int push_mode) {
  // Refused before anything is built: the description names four cameras and their
  // compositor pads, and a shorter list would leave pads without a source.
  if (prop.inputStreams.size() < kCameraCount) {
    NLOG_ERROR("Multi-camera composition needs %zu inputs, the task list has %zu.", kCameraCount,
               prop.inputStreams.size());
    return std::string();
  }
  const InputStreamProperty& first = prop.inputStreams[0];
  const bool h265 = first.decodeType == "H265";
  const std::string depay_parse = h265 ? " rtph265depay ! h265parse " : " rtph264depay ! h264parse ";
  const std::string enc_parse = h265 ? " ! queue ! h265parse " : " ! queue ! h264parse  ";

  // The last output of each role wins.
  OutputStreamProperty record;
  OutputStreamProperty push;
  for (const OutputStreamProperty& out : prop.outputStreams) {
    NLOG_INFO("Output type: %s", out.outputType.c_str());
    if (out.outputType == "File")
      record = out;
    else
      push = out;
  }
  if (record.outputAddr.empty())
    NLOG_WARN("Output file address is empty. Please check filling outputType value.");

  std::string d = "qtivcomposer name=mixer engine=2 ";
  for (size_t n = 0; n < kCameraCount; ++n) {
    const InputStreamProperty& in = prop.inputStreams[n];
    const std::string pad = "sink_" + std::to_string(n);
    d += pad + "::position=\"" + in.position + "\" ";
    d += " " + pad + "::dimensions=\"" + in.dimensions + "\" ";
    d += build_sink_properties(prop, static_cast<int>(n));
    d += " ";
  }
  d += " ! video/x-raw(memory:GBM),format=NV12,width=" + std::to_string(even(first.width)) +
       ",height=" + std::to_string(even(first.height));
  d += " ! qtivtransform engine=2 name=qtiv_main_transform  ! queue ";

  if (!split_outputs) {
    d += "! qtic2venc target-bitrate=2000000 " + enc_parse;
    d += " ! mp4mux name=mp4mux_0 faststart=true fragment-duration=1000 ! filesink location=" + record.outputAddr +
         " sync=false ";
  } else {
    d += "! tee name=split ";
    if (push_mode == 0) {
      d += " split. ! queue name=save_queue leaky=2 max-size-buffers=1 ! qtivcomposer name=mixer1  ";
      d += overlay("Image1", "text1", record);
      d += " ! qtic2venc  " + enc_parse + " ! mp4mux name=mp4mux_0 " + " ! filesink location=" + record.outputAddr +
           " sync=false async=false ";
    } else if (push_mode == 1) {
      d += " split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing ";
      d += " pushing. ! queue " + overlay("Image1", "text1", record);
      d += " ! qtic2venc " + enc_parse +
           " ! mp4mux name=mp4mux_0 fragment-duration=1000 fragment-mode=first-moov-then-finalise "
           "moov-recovery-file=/tmp/moov_recover.moov ";
      d += " ! filesink location=" + record.outputAddr + " sync=false  async=false  ";
      d += " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
           overlay("Image2", "text2", push);
      d += std::string(" ! video/x-raw(memory:GBM),width=1920,height=1080 ") + " ! qtic2venc " + enc_parse;
      d += push_tail(push);
    } else if (push_mode == 2) {
      d += "split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing ";
      d += " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
           overlay("Image1", "text1", push);
      d += std::string(" ! video/x-raw(memory:GBM),width=1920,height=1080 ") + " ! qtic2venc " + enc_parse + " ";
      d += push_tail(push);
    }
    d += " split. ! queue ! qtimlvconverter name=qmlconvert_1 ";
    d += "! qtimlqnn name=qtimlqnn_1 model=" + prop.model + " backend=" + kQnnBackend + " ";
    d += std::string("! qtimlvdetection threshold=75 results=10 ") + "module=" + prop.mlModule +
         " labels=" + prop.labels;
    d += std::string(" ! video/x-raw(memory:GBM) ") + "! capsfilter name=ml_capsfilter ! mixer1. ";
  }

  for (size_t n = 0; n < kCameraCount; ++n) {
    d += "rtspsrc location=" + prop.inputStreams[n].inputAddr + " latency=100 ! " + depay_parse +
         " config-interval=-1 ! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. ";
  }
  return d;
}
