// The engine's task keys as a user writes them: spellings and aliases that are taken,
// one error line per missing key, unknown key and wrong value, the checks start() makes
// before anything is built; and what the description holds for the optional parts (no
// model: no inference; no logo or text: no overlay part, and no GStreamer warning; a
// canvas size named by the main output).
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "StreamBuildMultiMerge.h"
#include "StreamRegistry.h"
#include "nimbra.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using Params = std::unordered_map<std::string, std::string>;

namespace {

Params camera(int n) {
  return {{"subStreamId", "cam" + std::to_string(n)}, {"inputType", "rtsp"},
          {"inputAddr", "rtsp://127.0.0.1:1/cam" + std::to_string(n)}, {"decodeType", "H264"},
          {"width", "640"}, {"height", "360"}, {"position", "<0, 0>"}, {"dimensions", "<320, 180>"}};
}

Params recording(const std::string& path) {
  return {{"subStreamId", "rec"}, {"outputType", "File"}, {"outputAddr", path}, {"encodeType", "H264"},
          {"width", "640"}, {"height", "360"}};
}

class EngineTasks : public ::testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir(); }
  void TearDown() override { remove_tree(dir); }
  std::string dir;
  LogCapture log;
};

}  // namespace

TEST_F(EngineTasks, AliasesAndOtherSpellingsAreTaken) {
  NimbraEngine engine(MergeToFile);
  // Keys in other spellings, codecs and the input type in other cases.
  Params cam = {{"sub_stream_id", "c0"}, {"InputType", "RTSP"}, {"input-addr", "rtsp://h/c0"},
                {"decodeType", "h265"}, {"width", "640"}, {"height", "360"}, {"flip_horizontal", "true"},
                {"Position", "<10, 20>"}};
  EXPECT_EQ(0, engine.add_task(MultiVideoDecode, cam));
  // The recording output's type as users write it.
  for (const char* type : {"mp4", "MP4", "file", "File", "fIlE"}) {
    Params out = recording(dir + "/rec.mp4");
    out["outputType"] = type;
    EXPECT_EQ(0, engine.add_task(MultiVideoEncode, out)) << type;
  }
  Params push = {{"subStreamId", "p"}, {"outputType", "RTSP"}, {"outputAddr", "rtsp://h/live"},
                 {"encode_type", "h264"}, {"width", "1920"}, {"height", "1080"}, {"logoPath", ""},
                 {"textStr", "Gate"}, {"text-color", "0x00FF00FF"}};
  EXPECT_EQ(0, engine.add_task(MultiVideoEncode, push));
  Params ml = {{"model", dir}, {"ml_module", "yolov8"}, {"labels", dir}};
  write_file(dir + "/m.onnx", "x");
  write_file(dir + "/l.txt", "person\n");
  ml["model"] = dir + "/m.onnx";
  ml["labels"] = dir + "/l.txt";
  EXPECT_EQ(0, engine.add_task(MlInference, ml));
  // The caller's map is left as it was.
  EXPECT_EQ(ml.count("Model"), 0u);
  EXPECT_EQ(log.count("[ERROR]"), 0u) << log.text();
}

TEST_F(EngineTasks, EveryMissingKeyUnknownKeyAndWrongValueHasItsLine) {
  NimbraEngine engine(MergeToFile);
  Params cam = camera(0);
  cam.erase("subStreamId");
  cam.erase("width");
  cam["inputAdr"] = "x";          // misspelt, so inputAddr is missing as well
  cam.erase("inputAddr");
  cam["colour"] = "blue";
  EXPECT_EQ(-1, engine.add_task(MultiVideoDecode, cam));
  EXPECT_TRUE(log.contains_at("ERROR", "Missing required config key: subStreamId"));
  EXPECT_TRUE(log.contains_at("ERROR", "Missing required config key: width"));
  EXPECT_TRUE(log.contains_at("ERROR", "Missing required config key: inputAddr"));
  EXPECT_TRUE(log.contains_at("ERROR", "MultiVideoDecode task: unknown key \"inputAdr\" (did you mean \"inputAddr\"?)"));
  EXPECT_TRUE(log.contains_at("ERROR", "MultiVideoDecode task: unknown key \"colour\""));
  EXPECT_EQ(log.count("[ERROR]"), 5u) << log.text();

  // Wrong values, each named.
  log.clear();
  Params wrong = camera(1);
  wrong["inputType"] = "file";
  wrong["inputAddr"] = "/videos/cam1.mp4";
  wrong["decodeType"] = "VP9";
  wrong["height"] = "0";
  wrong["position"] = "10, 20";
  wrong["dimensions"] = "<320, 0>";
  wrong["crop"] = "<0, 0, 10>";
  wrong["flip-vertical"] = "upside-down";
  EXPECT_EQ(-1, engine.add_task(MultiVideoDecode, wrong));
  for (const char* key : {"\"inputType\" is \"file\"", "\"inputAddr\" is \"/videos/cam1.mp4\"", "\"decodeType\" is \"VP9\"",
                          "\"height\" is \"0\"", "\"position\" is \"10, 20\"", "\"dimensions\" is \"<320, 0>\"",
                          "\"crop\" is \"<0, 0, 10>\"", "\"flip-vertical\" is \"upside-down\""})
    EXPECT_TRUE(log.contains_at("ERROR", std::string("MultiVideoDecode task: ") + key)) << key << "\n" << log.text();
  EXPECT_EQ(log.count("[ERROR]"), 8u) << log.text();

  log.clear();
  Params out = recording(dir + "/rec.mp4");
  out["outputType"] = "hls";
  out["logo_path"] = dir + "/no-logo.png";
  out["text_color"] = "red";
  out["logo_loc_x"] = "-4";
  out["encodeType"] = "AV1";
  EXPECT_EQ(-1, engine.add_task(MultiVideoEncode, out));
  for (const char* key : {"\"outputType\" is \"hls\"", "\"logo_path\" is", "\"text_color\" is \"red\"",
                          "\"logo_loc_x\" is \"-4\"", "\"encodeType\" is \"AV1\""})
    EXPECT_TRUE(log.contains_at("ERROR", std::string("MultiVideoEncode task: ") + key)) << key << "\n" << log.text();
  // A push needs an rtsp:// address, a recording a path; keys given twice are refused.
  log.clear();
  Params push = recording("/tmp/x.mp4");
  push["outputType"] = "rtsp";
  EXPECT_EQ(-1, engine.add_task(MultiVideoEncode, push));
  EXPECT_TRUE(log.contains_at("ERROR", "a push needs an rtsp:// address"));
  Params twice = recording(dir + "/rec.mp4");
  twice["output_addr"] = dir + "/other.mp4";
  EXPECT_EQ(-1, engine.add_task(MultiVideoEncode, twice));
  EXPECT_TRUE(log.contains_at("ERROR", "key \"outputAddr\" is given twice"));

  log.clear();
  Params ml = {{"Model", dir + "/missing.onnx"}, {"MlModule", "yolov8"}, {"Labels", dir + "/missing.txt"}};
  EXPECT_EQ(-1, engine.add_task(MlInference, ml));
  EXPECT_TRUE(log.contains_at("ERROR", "MlInference task: \"Model\" is \"" + dir + "/missing.onnx\": no such model file"));
  EXPECT_TRUE(log.contains_at("ERROR", "MlInference task: \"Labels\""));

  // Nothing refused was stored: four good cameras make a full set, not more.
  for (int n = 0; n < 4; ++n) {
    Params c = camera(n);
    ASSERT_EQ(0, engine.add_task(MultiVideoDecode, c));
  }
  log.clear();
  EXPECT_EQ(-1, engine.start());  // no recording output was taken
  EXPECT_TRUE(log.contains_at("ERROR", "no MultiVideoEncode task has outputType \"File\""));
  EXPECT_EQ(log.count("Multi-camera composition needs 4 inputs"), 0u);
}

TEST_F(EngineTasks, StartSaysWhatTheScenarioLacks) {
  {
    NimbraEngine engine(MergeToFileAndRtsp);
    for (int n = 0; n < 3; ++n) {
      Params c = camera(n);
      ASSERT_EQ(0, engine.add_task(MultiVideoDecode, c));
    }
    Params rec = recording("/nonexistent-dir/rec.mp4");
    ASSERT_EQ(0, engine.add_task(MultiVideoEncode, rec));
    EXPECT_EQ(-1, engine.start());
    EXPECT_TRUE(log.contains_at("ERROR", "Multi-camera composition needs 4 inputs, the task list has 3."));
    EXPECT_TRUE(log.contains_at("ERROR", "no MultiVideoEncode task has outputType \"rtsp\""));
    EXPECT_TRUE(log.contains_at("ERROR", "its directory /nonexistent-dir does not exist"));
    EXPECT_TRUE(nimbra_internal::find_entry(kMultiMergeStreamId) == nullptr);
  }
  log.clear();
  {
    // Push only: a recording output is not needed (and is said to be unused).
    NimbraEngine engine(MergeToRtsp);
    for (int n = 0; n < 4; ++n) {
      Params c = camera(n);
      ASSERT_EQ(0, engine.add_task(MultiVideoDecode, c));
    }
    Params rec = recording(dir + "/rec.mp4");
    ASSERT_EQ(0, engine.add_task(MultiVideoEncode, rec));
    EXPECT_EQ(-1, engine.start());
    EXPECT_TRUE(log.contains_at("ERROR", "no MultiVideoEncode task has outputType \"rtsp\""));
    EXPECT_TRUE(log.contains_at("WARN", "This scenario records nothing"));
    EXPECT_EQ(log.count("no MultiVideoEncode task has outputType \"File\""), 0u);
  }
}

namespace {

StreamProperty four_cameras(const std::string& rec) {
  StreamProperty p;
  for (int n = 0; n < 4; ++n) {
    InputStreamProperty in;
    in.inputType = "rtsp";
    in.inputAddr = "rtsp://10.0.0.9:8554/cam" + std::to_string(n);
    in.width = 1920;
    in.height = 1080;
    in.dimensions = "<960, 540>";
    p.inputStreams.push_back(in);
  }
  OutputStreamProperty out;
  out.outputType = "File";
  out.outputAddr = rec;
  p.outputStreams.push_back(out);
  OutputStreamProperty push;
  push.outputType = "rtsp";
  push.outputAddr = "rtsp://10.0.0.5:8554/live";
  p.outputStreams.push_back(push);
  return p;
}

// GStreamer's own warnings while `description` is parsed (where the overlay reads its
// properties).
struct GstWarnings {
  static void handler(const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
    auto* self = static_cast<GstWarnings*>(data);
    std::lock_guard<std::mutex> g(self->lock);
    self->seen.push_back(message);
  }
  explicit GstWarnings(const std::string& description) {
    const guint id = g_log_set_handler("GStreamer", (GLogLevelFlags)(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
                                       handler, this);
    GError* err = nullptr;
    GstElement* pipe = gst_parse_launch(description.c_str(), &err);
    parsed = pipe && !err;
    if (err) g_error_free(err);
    if (pipe) gst_object_unref(pipe);
    g_log_remove_handler("GStreamer", id);
  }
  std::mutex lock;
  std::vector<std::string> seen;
  bool parsed = false;
};

}  // namespace

TEST_F(EngineTasks, OptionalPartsLeaveNothingBehindInTheDescription) {
  gst_init_once();
  StreamProperty p = four_cameras("/data/rec.mp4");
  // No model, no logos, no texts: no inference, no overlay, in every layout.
  for (int mode : {0, 1, 2}) {
    const std::string d = get_4_cameras_launch_command(p, true, mode);
    EXPECT_EQ(d.find("qtiml"), std::string::npos) << d;
    EXPECT_EQ(d.find("ml_capsfilter"), std::string::npos) << d;
    EXPECT_EQ(d.find("qtivoverlay"), std::string::npos) << d;
    GstWarnings w(d);
    EXPECT_TRUE(w.parsed) << d;
    EXPECT_TRUE(w.seen.empty()) << w.seen.front();
  }
  // Only a text: a strings part and no images part; only a logo: the other way round.
  p.outputStreams[0].textStr = "Gate A";
  p.outputStreams[1].logoPath = "/data/logo.png";
  const std::string d = get_4_cameras_launch_command(p, true, 1);
  const size_t first = d.find("qtivoverlay"), second = d.find("qtivoverlay", first + 1);
  ASSERT_NE(second, std::string::npos) << d;
  const std::string rec_overlay = d.substr(first, second - first), push_overlay = d.substr(second);
  EXPECT_NE(rec_overlay.find("strings="), std::string::npos);
  EXPECT_EQ(rec_overlay.find("images="), std::string::npos);
  EXPECT_NE(push_overlay.find("images="), std::string::npos);
  EXPECT_EQ(push_overlay.substr(0, push_overlay.find("qtic2venc")).find("strings="), std::string::npos);
  GstWarnings w(d);
  EXPECT_TRUE(w.parsed) << d;
  EXPECT_TRUE(w.seen.empty()) << w.seen.front();
  // With a model the branch is there.
  p.model = "/models/det.bin";
  EXPECT_NE(get_4_cameras_launch_command(p, true, 0).find("qtimlqnn name=qtimlqnn_1 model=/models/det.bin"),
            std::string::npos);
}

TEST_F(EngineTasks, CanvasSizeFromTheMainOutputElseTheFirstCamera) {
  StreamProperty p = four_cameras("/data/rec.mp4");
  EXPECT_NE(get_4_cameras_launch_command(p, false, 0).find("format=NV12,width=1920,height=1080 "), std::string::npos);
  p.width = 1281;  // rounded down to even, as the first camera's size is
  p.height = 720;
  EXPECT_NE(get_4_cameras_launch_command(p, false, 0).find("format=NV12,width=1280,height=720 "), std::string::npos);
  p.height = 0;  // only both count
  EXPECT_NE(get_4_cameras_launch_command(p, true, 2).find("format=NV12,width=1920,height=1080 "), std::string::npos);
}
