// Configuration readers: early returns, first match, defaults, bad files and values,
// and the getters' promise never to throw.
#include <gtest/gtest.h>
#include <json/json.h>

#include <thread>

#include "StreamCommon.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;

namespace {
const char* kConfig = R"json(
// comments are allowed
{
  "streams": [
    { "streamsId": "mp4only", "properties": { "saveMp4": true, "width": 640, "height": 480, "fps": 30 } },
    { "streamsId": "pushonly", "properties": { "saveMp4": false, "networkPush": true, "width": 320,
                                              "height": 240, "fps": 15, "outputAddr": "rtsp://x/y" } },
    { "streamsId": "pushnofps", "properties": { "networkPush": true, "width": 320, "height": 240 } },
    { "streamsId": "cam1", "pStreamId": "parent",
      "properties": { "inputType": "rtsp", "inputAddr": "rtsp://127.0.0.1/a", "decodeType": "H265",
                      "encodeType": "H265", "audio": true, "rollingsave": true, "rollingFps": 12,
                      "manualRebuild": false, "outputType": "mp4", "outputAddr": "/tmp/out.mp4",
                      "width": 1280, "height": 720, "fps": 20 } },
    { "streamsId": "cam1", "properties": { "inputType": "file", "inputAddr": "/second.mp4" } },
    { "streamsId": "Cam1", "properties": { "inputType": "file", "inputAddr": "/upper.mp4" } },
    { "streamsId": "bare", "properties": { "inputType": "file", "inputAddr": "/bare.mp4" } },
    { "streamsId": "halfout", "properties": { "inputType": "file", "inputAddr": "/h.mp4", "outputType": "rtsp" } },
    { "streamsId": "upper", "properties": { "inputType": "file", "inputAddr": "/u.mp4", "outputType": "MP4",
                                            "outputAddr": "/u-out.mp4" } },
    { "streamsId": "splice1", "properties": { "inputType": "splice" } },
    { "streamsId": "noinput", "properties": { "inputAddr": "/x.mp4" } },
    { "streamsId": "noaddr", "properties": { "inputType": "rtsp" } },
    { "streamsId": "usb", "properties": { "inputType": "usbcam", "inputAddr": "/dev/video9", "width": 640,
                                          "height": 480 } },
    { "streamsId": "mp4cfg", "properties": { "saveMp4": true, "width": 800, "height": 600,
                                             "outputFile": "/tmp/x.mp4", "fps": 10 } },
    { "streamsId": "mp4nosize", "properties": { "saveMp4": true, "width": 800 } },
    { "streamsId": "badtype", "properties": { "inputType": "file", "inputAddr": "/b.mp4", "width": "wide",
                                              "height": 10, "decodeType": "H265" } }
  ]
})json";
}  // namespace

class Config : public ::testing::Test {
 protected:
  ConfigFile file{kConfig};
  LogCapture log;
};

TEST_F(Config, SaveMp4EarlyReturnTakesOnlyThreeFields) {
  StreamIns ins;
  ins.inputType = "kept";
  ASSERT_EQ(get_properties("mp4only", ins), 0);
  EXPECT_TRUE(ins.saveMp4);
  EXPECT_EQ(ins.width, 640);
  EXPECT_EQ(ins.height, 480);
  EXPECT_EQ(ins.fps, 0);  // reset, not read
  EXPECT_EQ(ins.inputType, "kept");
  EXPECT_EQ(ins.streamId, "empty");
  EXPECT_EQ(ins.pStreamId, "");
}

TEST_F(Config, NetworkPushEarlyReturnAfterSaveMp4False) {
  StreamIns ins;
  ASSERT_EQ(get_properties("pushonly", ins), 0);
  EXPECT_FALSE(ins.saveMp4);
  EXPECT_TRUE(ins.networkPush);
  EXPECT_EQ(ins.width, 320);
  EXPECT_EQ(ins.fps, 15);
  EXPECT_EQ(ins.outputAddr, "");
  StreamIns nofps;
  nofps.fps = 99;
  ASSERT_EQ(get_properties("pushnofps", nofps), 0);
  EXPECT_EQ(nofps.fps, 0);
}

TEST_F(Config, FullEntryFirstMatchWinsAndCaseMatters) {
  StreamIns ins;
  ASSERT_EQ(get_properties("cam1", ins), 0);
  EXPECT_EQ(ins.streamId, "cam1");
  EXPECT_EQ(ins.pStreamId, "parent");
  EXPECT_EQ(ins.inputType, "rtsp");
  EXPECT_EQ(ins.inputAddr, "rtsp://127.0.0.1/a");
  EXPECT_EQ(ins.decodeType, "H265");
  EXPECT_EQ(ins.encodeType, "H265");
  EXPECT_TRUE(ins.audio);
  EXPECT_TRUE(ins.rollingsave);
  EXPECT_EQ(ins.outputType, "mp4");
  EXPECT_EQ(ins.outputAddr, "/tmp/out.mp4");
  EXPECT_EQ(ins.width, 0);  // only read for frame-push and USB streams
  EXPECT_EQ(ins.fps, 0);

  StreamIns upper;
  ASSERT_EQ(get_properties("Cam1", upper), 0);
  EXPECT_EQ(upper.inputAddr, "/upper.mp4");

  StreamProperty prop;
  prop.rollingFps = 1;
  ASSERT_EQ(get_configuration_properties("cam1", prop), 0);
  EXPECT_EQ(prop.inputType, "rtsp");
  EXPECT_EQ(prop.width, 1280);
  EXPECT_EQ(prop.height, 720);
  EXPECT_EQ(prop.fps, 20);
  EXPECT_EQ(prop.rollingFps, 12);
  EXPECT_FALSE(prop.manualRebuild);
  EXPECT_TRUE(prop.audio);
}

TEST_F(Config, DefaultsAndMessagesOfABareEntry) {
  StreamIns ins;
  ins.decodeType = "junk";
  ins.audio = true;
  ASSERT_EQ(get_properties("bare", ins), 0);
  EXPECT_EQ(ins.decodeType, "H264");
  EXPECT_FALSE(ins.audio);
  EXPECT_EQ(ins.outputType, "");
  EXPECT_EQ(ins.streamId, "bare");
  EXPECT_TRUE(log.contains_at("INFO", "Audio switch is not defined. Uses false by default."));
  EXPECT_TRUE(log.contains_at("INFO", "Rolling save is not defined. Uses false by default."));

  log.clear();
  StreamProperty prop;
  prop.rollingFps = 5;
  prop.manualRebuild = true;
  ASSERT_EQ(get_configuration_properties("bare", prop), 0);
  EXPECT_EQ(prop.rollingFps, 30);
  EXPECT_TRUE(prop.manualRebuild);
  EXPECT_EQ(prop.width, 0);
  EXPECT_TRUE(log.contains("Start to get configuration properties for stream id: bare."));
  EXPECT_TRUE(log.contains("width or height is not defined."));
  EXPECT_TRUE(log.contains("Decode type is not defined. It's h264 by default."));
  EXPECT_TRUE(log.contains("Encode type is not defined. It's h264 by default."));
  EXPECT_TRUE(log.contains("Audio switch is not defined."));
  EXPECT_TRUE(log.contains("Rolling save mp4 fps is not defined. Uses 30 by default."));
  EXPECT_TRUE(log.contains("manualRebuild switch is not defined. Default value is false."));
}

TEST_F(Config, OutputNeedsBothKeys) {
  StreamIns ins;
  ASSERT_EQ(get_properties("halfout", ins), 0);
  EXPECT_EQ(ins.outputType, "");
  EXPECT_EQ(ins.outputAddr, "");
  EXPECT_EQ(ins.streamId, "halfout");
}

TEST_F(Config, MissingKeysFail) {
  StreamIns ins;
  EXPECT_EQ(get_properties("noinput", ins), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "inputType is not defined."));
  EXPECT_EQ(get_properties("noaddr", ins), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "inputAddr is not defined."));
  StreamProperty prop;
  EXPECT_EQ(get_configuration_properties("noaddr", prop), -1);
  EXPECT_EQ(prop.inputType, "rtsp");  // what was read before the failure stays

  StreamIns splice;
  EXPECT_EQ(get_properties("splice1", splice), 0);
  EXPECT_EQ(splice.inputType, "splice");
  EXPECT_EQ(splice.inputAddr, "");

  StreamIns usb;
  ASSERT_EQ(get_properties("usb", usb), 0);
  EXPECT_EQ(usb.width, 640);
  EXPECT_EQ(usb.height, 480);
}

TEST_F(Config, UnknownIdAndMissingFile) {
  StreamIns ins;
  EXPECT_EQ(get_properties("nope", ins), -1);
  EXPECT_TRUE(log.contains_at("INFO", "Specified stream id: nope not defined in configuration file nimbra-gst.conf."));
  StreamProperty prop;
  log.clear();
  EXPECT_EQ(get_configuration_properties("nope", prop), -1);
  EXPECT_FALSE(log.contains("ERROR"));

  EXPECT_EQ(get_decode_type("nope"), "H264");
  EXPECT_EQ(get_encode_type("nope"), "H264");
  EXPECT_EQ(get_output_fps("nope"), 0);
  EXPECT_TRUE(get_manual_rebuild("nope"));
  EXPECT_FALSE(output_mp4("nope"));
  EXPECT_EQ(get_stream_width("nope"), 0);
  EXPECT_EQ(get_stream_height("nope"), 0);

  const char* saved = g_stream_conf_file;
  g_stream_conf_file = "/nonexistent/dir/nimbra.conf";
  stream_conf_file = "/nonexistent/dir/nimbra.conf";
  StreamIns missing;
  missing.width = 7;
  EXPECT_EQ(get_properties("cam1", missing), -1);
  EXPECT_EQ(missing.width, 0);  // resets happen before the file is opened
  EXPECT_TRUE(log.contains_at("ERROR", "Unable to open configuration file: /nonexistent/dir/nimbra.conf"));
  EXPECT_EQ(get_decode_type("cam1"), "H264");
  EXPECT_TRUE(get_manual_rebuild("cam1"));
  g_stream_conf_file = saved;
  stream_conf_file = saved;
}

TEST_F(Config, Getters) {
  EXPECT_EQ(get_decode_type("cam1"), "H265");
  EXPECT_EQ(get_encode_type("cam1"), "H265");
  EXPECT_EQ(get_output_fps("cam1"), 20);
  EXPECT_FALSE(get_manual_rebuild("cam1"));
  EXPECT_TRUE(output_mp4("cam1"));
  EXPECT_FALSE(output_mp4("upper"));  // "MP4": case matters
  EXPECT_EQ(get_stream_width("cam1"), 1280);
  EXPECT_EQ(get_stream_height("cam1"), 720);
}

TEST_F(Config, Mp4Reader) {
  StreamProperty prop;
  ASSERT_EQ(get_config_properties_mp4("mp4only", prop), 0);
  EXPECT_EQ(prop.outputFile, "/var/tmp/saved_output.mp4");
  EXPECT_EQ(prop.fps, 30);
  ASSERT_EQ(get_config_properties_mp4("pushnofps", prop), 0);
  EXPECT_EQ(prop.fps, 25);
  ASSERT_EQ(get_config_properties_mp4("mp4cfg", prop), 0);
  EXPECT_EQ(prop.outputFile, "/tmp/x.mp4");
  EXPECT_EQ(prop.width, 800);
  EXPECT_EQ(prop.fps, 10);
  EXPECT_TRUE(log.contains("Get saving mp4 configuration completed."));

  EXPECT_EQ(get_config_properties_mp4("bare", prop), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "For stream id: bare missing mandatory parameter saveMp4."));
  EXPECT_EQ(get_config_properties_mp4("mp4nosize", prop), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "For stream id: mp4nosize missing mandatory parameter width/height."));
  EXPECT_EQ(get_config_properties_mp4("nope", prop), -1);
  EXPECT_TRUE(log.contains_at("ERROR", "For stream id: nope missing related configuration."));
}

TEST_F(Config, EditedFileTakesEffectAtNextRead) {
  EXPECT_EQ(get_decode_type("bare"), "H264");
  file.rewrite(R"({"streams":[{"streamsId":"bare","properties":{"inputType":"file","inputAddr":"/b","decodeType":"H265"}}]})");
  EXPECT_EQ(get_decode_type("bare"), "H265");
}

TEST_F(Config, MalformedJsonThrowsFromReadersButNotFromGetters) {
  file.rewrite("{ \"streams\": [ { \"streamsId\": \"cam1\", ");
  StreamIns ins;
  EXPECT_THROW(get_properties("cam1", ins), Json::Exception);
  StreamProperty prop;
  EXPECT_THROW(get_configuration_properties("cam1", prop), Json::Exception);
  log.clear();
  EXPECT_EQ(get_decode_type("cam1"), "H264");
  EXPECT_TRUE(get_manual_rebuild("cam1"));
  EXPECT_EQ(log.count("[ERROR]"), 2u);  // one message per getter call
}

TEST_F(Config, WrongValueTypes) {
  // "width": "wide" cannot become an int.
  StreamProperty prop;
  EXPECT_THROW(get_configuration_properties("badtype", prop), Json::Exception);
  log.clear();
  EXPECT_EQ(get_stream_width("badtype"), 0);
  EXPECT_EQ(get_decode_type("badtype"), "H264");  // whole record falls back to defaults
  EXPECT_EQ(log.count("[ERROR]"), 2u);

  // A number where a string is expected is converted by the JSON rules.
  file.rewrite(R"({"streams":[{"streamsId":"n","properties":{"inputType":"file","inputAddr":42}}]})");
  StreamIns ins;
  ASSERT_EQ(get_properties("n", ins), 0);
  EXPECT_EQ(ins.inputAddr, "42");

  // "streams" that is not an array holds no stream; an entry that is not an object throws.
  file.rewrite(R"({"streams": 5})");
  EXPECT_EQ(get_properties("n", ins), -1);
  file.rewrite(R"({"streams": [5]})");
  EXPECT_THROW(get_properties("n", ins), Json::Exception);
  file.rewrite(R"({})");
  EXPECT_EQ(get_properties("n", ins), -1);  // no "streams": nothing to find
}

TEST_F(Config, GettersFromManyThreads) {
  // Getters run on streaming threads while the caller reads: no shared parse state.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 50; ++k)
        if (get_decode_type("cam1") != "H265" || get_stream_width("cam1") != 1280) ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// The public setter: both readers follow it, an unreadable path is refused with a line
// and changes nothing, and the exported pointers still work beside it.
TEST_F(Config, SetConfigPathMovesBothReadersAndRefusesUnreadablePaths) {
  ConfigFile other(config({entry("elsewhere", "\"inputType\":\"file\",\"inputAddr\":\"/e.mp4\","
                                              "\"decodeType\":\"H265\"")}));
  // ConfigFile points the globals at its own file; start from the first one again.
  ASSERT_EQ(set_config_path(file.path()), 0);
  EXPECT_EQ(get_config_path(), file.path());
  StreamIns ins;
  EXPECT_EQ(get_properties("elsewhere", ins), -1);

  ASSERT_EQ(set_config_path(other.path()), 0);
  EXPECT_EQ(get_config_path(), other.path());
  EXPECT_EQ(get_properties("elsewhere", ins), 0);
  EXPECT_EQ(get_decode_type("elsewhere"), "H265");  // the other reader follows too

  log.clear();
  for (const std::string& bad : {other.dir() + "/typo.conf", other.dir(), std::string()}) {
    EXPECT_EQ(set_config_path(bad), -1) << bad;
    EXPECT_EQ(get_config_path(), other.path());
  }
  EXPECT_EQ(log.count("cannot be opened for reading"), 3u);
  EXPECT_TRUE(log.contains_at("ERROR", other.dir() + "/typo.conf cannot be opened for reading; still using " +
                                           other.path()));

  // The exported pointers are what the setter sets, and still set the path themselves.
  g_stream_conf_file = stream_conf_file = file.path().c_str();
  EXPECT_EQ(get_config_path(), file.path());
  EXPECT_EQ(get_decode_type("elsewhere"), "H264");
}
