// Configuration checks of nimbra-run validate: each broken file gives its problem at the
// line (and column) where it is, with the right kind of message; clean files give none.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "StreamPlatform.h"
#include "nimbra-validate.h"
#include "test_util.h"

using nimbra_validate::Problem;
using nimbra_validate::validate_text;

namespace {

std::string dump(const std::vector<Problem>& ps) {
  std::string out;
  for (const Problem& p : ps) out += std::to_string(p.line) + ":" + std::to_string(p.col) + ": " + p.message + "\n";
  return out;
}

// The one problem whose message contains `needle`; fails the test when there is not
// exactly one.
Problem only(const std::vector<Problem>& ps, const std::string& needle) {
  std::vector<Problem> hits;
  for (const Problem& p : ps)
    if (p.message.find(needle) != std::string::npos) hits.push_back(p);
  EXPECT_EQ(hits.size(), 1u) << "looking for \"" << needle << "\" in:\n" << dump(ps);
  return hits.empty() ? Problem{0, 0, ""} : hits[0];
}

std::string media(const char* name) {
  const char* dir = getenv("NIMBRA_MEDIA_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

class Validate : public ::testing::Test {
 protected:
  void SetUp() override { nimbra_test_util::gst_init_once(); }
};

TEST_F(Validate, MissingCommaIsASyntaxErrorAtItsPosition) {
  const std::string text =
      "{\n"
      "  \"streams\": [\n"
      "    { \"streamsId\": \"a\" \"properties\": { \"inputType\": \"splice\" } }\n"
      "  ]\n"
      "}\n";
  auto ps = validate_text(text);
  ASSERT_EQ(ps.size(), 1u) << dump(ps);
  EXPECT_EQ(ps[0].line, 3);
  EXPECT_EQ(ps[0].col, 24);  // the key that should have had a comma before it
  EXPECT_NE(ps[0].message.find("syntax error"), std::string::npos);
}

TEST_F(Validate, UnterminatedStringIsASyntaxError) {
  const std::string text = "{ \"streams\": [\n  { \"streamsId\": \"abc\n";
  auto ps = validate_text(text);
  ASSERT_EQ(ps.size(), 1u) << dump(ps);
  EXPECT_EQ(ps[0].line, 2);
  EXPECT_EQ(ps[0].col, 18);  // the opening quote of the string that never ends
  EXPECT_NE(ps[0].message.find("syntax error"), std::string::npos);
}

TEST_F(Validate, TrailingGarbageIsASyntaxError) {
  const std::string text = "// sample\n{ \"streams\": [] }\n/* fine */\n  }x\n";
  auto ps = validate_text(text);
  ASSERT_EQ(ps.size(), 1u) << dump(ps);
  EXPECT_EQ(ps[0].line, 4);
  EXPECT_EQ(ps[0].col, 3);
  EXPECT_NE(ps[0].message.find("after the end"), std::string::npos);
}

TEST_F(Validate, CommentsAreAllowed) {
  const std::string text =
      "// leading\n{ /* inline */ \"streams\": [ // trailing\n"
      "  { \"streamsId\": \"s\", \"properties\": { \"inputType\": \"splice\" } } ] }\n";
  auto ps = validate_text(text);
  EXPECT_TRUE(ps.empty()) << dump(ps);
}

const char* kBroken = R"json({
  "streams": [
    { "streamsId": "typo",
      "properties": { "inputType": "file", "inputAdr": "/x.mp4" } },
    { "streamsId": "types",
      "properties": { "inputType": "splice", "width": "640",
                      "audio": "true", "stallTimeout": 0 } },
    { "streamsId": "noinput", "properties": { "inputAddr": "rtsp://h/x" } },
    { "streamsId": "noaddr",
      "properties": { "inputType": "rtsp" } },
    { "streamsId": "splice_ok", "properties": { "inputType": "splice" } },
    { "streamsId": "mp4nowidth", "properties": { "saveMp4": true, "height": 720 } },
    { "streamsId": "badout", "properties": { "inputType": "rtsp", "inputAddr": "rtsp://h/x",
                                             "outputType": "hls", "outputAddr": "x" } },
    { "streamsId": "typo", "properties": { "inputType": "splice" } },
    { "streamsId": "badvalues", "properties": { "inputType": "webcam", "inputAddr": "x",
      "decodeType": "h264", "height": -5, "slowCallback": "drop" } },
    { "streamsId": "half", "properties": { "inputType": "splice", "outputType": "rtsp" } }
  ],
  "stream": []
})json";

TEST_F(Validate, EveryProblemOfABrokenFileAtItsLine) {
  auto ps = validate_text(kBroken);
  // Unknown key, with the key it was meant to be, at the key itself.
  Problem p = only(ps, "unknown key \"inputAdr\"");
  EXPECT_EQ(p.line, 4);
  EXPECT_EQ(p.col, 44);
  EXPECT_NE(p.message.find("did you mean \"inputAddr\"?"), std::string::npos);
  // ... which leaves the stream without its address.
  p = only(ps, "stream \"typo\": missing required key \"inputAddr\"");
  EXPECT_EQ(p.line, 4);
  // Wrong types: a quoted number, a quoted boolean.
  p = only(ps, "\"width\" must be an integer, not a string");
  EXPECT_EQ(p.line, 6);
  EXPECT_EQ(p.col, 46);
  p = only(ps, "\"audio\" must be a boolean");
  EXPECT_EQ(p.line, 7);
  EXPECT_NE(p.message.find("write true without quotes"), std::string::npos);
  EXPECT_EQ(only(ps, "\"stallTimeout\" must be").line, 7);
  // Missing keys are reported at the properties object.
  p = only(ps, "stream \"noinput\": missing required key \"inputType\"");
  EXPECT_EQ(p.line, 8);
  EXPECT_EQ(p.col, 45);
  EXPECT_EQ(only(ps, "stream \"noaddr\": missing required key \"inputAddr\"").line, 10);
  // A splice stream needs no address.
  for (const Problem& q : ps) EXPECT_EQ(q.message.find("splice_ok"), std::string::npos) << q.message;
  EXPECT_EQ(only(ps, "stream \"mp4nowidth\": missing required key \"width\"").line, 12);
  p = only(ps, "unknown outputType \"hls\"");
  EXPECT_EQ(p.line, 14);
  // The second "typo" is ignored by the library: a problem at its id.
  p = only(ps, "duplicate stream id \"typo\"");
  EXPECT_EQ(p.line, 15);
  EXPECT_EQ(p.col, 7);
  EXPECT_NE(p.message.find("line 3"), std::string::npos);
  EXPECT_EQ(only(ps, "unknown inputType \"webcam\"").line, 16);
  EXPECT_EQ(only(ps, "\"decodeType\" must be \"H264\" or \"H265\"").line, 17);
  EXPECT_EQ(only(ps, "\"height\" must be greater than 0").line, 17);
  EXPECT_EQ(only(ps, "\"slowCallback\" must be \"newest\" or \"block\", not \"drop\"").line, 17);
  p = only(ps, "\"outputType\" without \"outputAddr\"");
  EXPECT_EQ(p.line, 18);
  EXPECT_EQ(p.message.rfind("warning:", 0), 0u);
  p = only(ps, "unknown key \"stream\"");
  EXPECT_EQ(p.line, 20);
  EXPECT_NE(p.message.find("did you mean \"streams\"?"), std::string::npos);
  EXPECT_EQ(ps.size(), 16u) << dump(ps);
  // Sorted by position.
  for (size_t i = 1; i < ps.size(); ++i)
    EXPECT_TRUE(ps[i - 1].line < ps[i].line || (ps[i - 1].line == ps[i].line && ps[i - 1].col <= ps[i].col));
}

TEST_F(Validate, OnlyTheStreamsAskedForAndUnknownIds) {
  auto ps = validate_text(kBroken, {"noaddr", "ghost"});
  ASSERT_EQ(ps.size(), 2u) << dump(ps);
  EXPECT_EQ(only(ps, "stream \"noaddr\": missing required key \"inputAddr\"").line, 10);
  EXPECT_EQ(only(ps, "stream id \"ghost\" is not in the configuration").line, 2);
  EXPECT_TRUE(validate_text(kBroken, {"splice_ok"}).empty());
}

TEST_F(Validate, NoSuggestionForAKeyFarFromEveryKnownOne) {
  auto ps = validate_text(R"({ "streams": [ { "streamsId": "s", "properties": { "inputType": "splice",
                                  "colour": "blue" } } ] })");
  Problem p = only(ps, "unknown key \"colour\"");
  EXPECT_EQ(p.message.find("did you mean"), std::string::npos) << p.message;
}

TEST_F(Validate, WrongShapesAreReportedNotThrown) {
  EXPECT_EQ(only(validate_text("[1, 2]"), "must be an object").line, 1);
  EXPECT_EQ(only(validate_text("{ \"streams\": {} }"), "\"streams\" must be an array").col, 3);
  auto ps = validate_text("{ \"streams\": [ 3, { \"streamsId\": 7, \"properties\": [] } ] }");
  only(ps, "a stream entry must be an object");
  only(ps, "\"streamsId\" must be a string");
  only(ps, "\"properties\" must be an object");
  EXPECT_FALSE(validate_text("").empty());
}

// A rolling recording's id names a directory: validate refuses what the start refuses,
// and only for rolling recordings.
TEST_F(Validate, RollingIdsTheRecorderRefuses) {
  auto rolling = [](const std::string& id) {
    return R"({ "streams": [ { "streamsId": ")" + id +
           R"(", "properties": { "inputType": "rtsp", "inputAddr": "rtsp://h/x", "rollingsave": true } } ] })";
  };
  for (const char* bad : {"../x", "a/b", "50%d", ""}) only(validate_text(rolling(bad)), "rolling recording's id");
  EXPECT_TRUE(validate_text(rolling("cam_1.front")).empty()) << dump(validate_text(rolling("cam_1.front")));
  // The same id on a stream that is not a rolling recording names no directory.
  EXPECT_TRUE(validate_text(R"({ "streams": [ { "streamsId": "a/b", "properties": { "inputType": "splice" } } ] })")
                  .empty());
}

// "detect": the files as the stream would read them, the type, the labels' count, the
// class names and the numbers, each at its own line.
TEST_F(Validate, DetectEntries) {
  const std::string dir = nimbra_test_util::make_temp_dir();
  nimbra_test_util::write_file(dir + "/model.onnx", "not read here");
  nimbra_test_util::write_file(dir + "/three.names", "person\ncar\ndog\n");
  std::string names;
  for (int i = 0; i < 80; ++i) names += (i == 7 ? std::string("forklift") : "class" + std::to_string(i)) + "\n";
  nimbra_test_util::write_file(dir + "/eighty.names", names);
  auto stream = [&](const std::string& id, const std::string& detect) {
    return "    { \"streamsId\": \"" + id + "\", \"properties\": { \"inputType\": \"splice\",\n      \"detect\": {" +
           detect + "} } }";
  };
  const std::string text = "{ \"streams\": [\n" +
                           stream("ok", "\"model\": \"" + dir + "/model.onnx\", \"labels\": \"" + dir +
                                            "/eighty.names\", \"classes\": [\"forklift\"], \"every\": 3") +
                           ",\n" + stream("nofile", "\"model\": \"" + dir + "/missing.onnx\"") + ",\n" +
                           stream("type", "\"model\": \"" + dir + "/model.onnx\", \"modelType\": \"yolov9\"") +
                           ",\n" +
                           stream("labels", "\"model\": \"" + dir + "/model.onnx\", \"labels\": \"" + dir +
                                                "/three.names\"") +
                           ",\n" +
                           stream("class", "\"model\": \"" + dir + "/model.onnx\", \"classes\": [\"unicorn\"]") +
                           ",\n" + stream("every", "\"model\": \"" + dir + "/model.onnx\", \"every\": 0") + "\n] }\n";
  auto ps = validate_text(text);
  for (const Problem& p : ps) EXPECT_EQ(p.message.find("stream \"ok\""), std::string::npos) << p.message;
  EXPECT_EQ(only(ps, "stream \"nofile\": detect: cannot read model file '" + dir + "/missing.onnx'").line, 5);
  EXPECT_EQ(only(ps, "stream \"type\": detect: unknown \"modelType\" 'yolov9'").line, 7);
  EXPECT_EQ(only(ps, "stream \"labels\": detect: labels file '" + dir + "/three.names' has 3 names").line, 9);
  EXPECT_EQ(only(ps, "stream \"class\": detect: class 'unicorn' is not one of the model's labels").line, 11);
  EXPECT_EQ(only(ps, "stream \"every\": detect: \"every\" must be a whole number from 1").line, 13);
  nimbra_test_util::remove_tree(dir);
}

TEST_F(Validate, SampleConfigurationIsClean) {
  const std::string path = std::string(NIMBRA_BUILD_CONF_PATH);
  std::vector<Problem> ps;
  std::string error;
  ASSERT_TRUE(nimbra_validate::validate_file(path, {}, ps, error)) << error;
  EXPECT_TRUE(ps.empty()) << dump(ps);
}

TEST_F(Validate, FactoriesFollowThePlatformTag) {
  auto has = [](const std::vector<nimbra_validate::Need>& ns, const std::string& f) {
    for (const auto& n : ns)
      if (n.factory == f) return true;
    return false;
  };
  const std::string file_mp4 = R"({ "inputType": "file", "inputAddr": "/x", "decodeType": "H265",
                                   "outputType": "mp4", "outputAddr": "/y.mp4" })";
  auto ub = nimbra_validate::needed_factories(file_mp4, "ub2404");
  EXPECT_TRUE(has(ub, "v4l2h265dec") && has(ub, "v4l2h264enc") && has(ub, "mp4mux") && has(ub, "qtdemux"));
  auto s8550 = nimbra_validate::needed_factories(file_mp4, "8550");
  EXPECT_TRUE(has(s8550, "qtic2vdec") && has(s8550, "qtic2venc"));
  EXPECT_FALSE(has(s8550, "v4l2h265dec"));
  auto splice = nimbra_validate::needed_factories(R"({ "inputType": "splice" })", "ub2404");
  EXPECT_TRUE(has(splice, "qtic2vdec") && has(splice, "appsink"));
}

// With the transform gone from this process's registry, every stream that converts
// frames reports it; run in a child so the other tests keep their registry. The child is
// a fresh run of this program, not a fork: the file probe has started GStreamer's
// streaming threads here, which a forked child would not have.
TEST_F(Validate, MissingElementIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string text = std::string("{ \"streams\": [\n  { \"streamsId\": \"cam\", \"properties\": {\n") +
                           "    \"inputType\": \"file\", \"inputAddr\": \"" + media("sample_h265.mp4") +
                           "\", \"decodeType\": \"H265\" } } ] }\n";
  ASSERT_TRUE(validate_text(text).empty()) << dump(validate_text(text));
  EXPECT_EXIT(
      {
        GstPluginFeature* f = gst_registry_lookup_feature(gst_registry_get(), "qtivtransform");
        if (!f) _exit(3);
        gst_registry_remove_feature(gst_registry_get(), f);
        gst_object_unref(f);
        auto ps = validate_text(text);
        for (const Problem& p : ps) fprintf(stderr, "%d:%d: %s\n", p.line, p.col, p.message.c_str());
        _exit(ps.size() == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "2:5: stream \"cam\": GStreamer element \"qtivtransform\" \\(frame conversion\\) is not installed");
}

// The command itself: exit status and "FILE:LINE:COL: message" lines.
std::string run(const std::string& args, int& status) {
  std::string out;
  FILE* p = popen((std::string(NIMBRA_RUN_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  const int rc = pclose(p);
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

TEST_F(Validate, CommandLine) {
  const std::string dir = nimbra_test_util::make_temp_dir();
  ASSERT_FALSE(dir.empty());
  const std::string bad = dir + "/bad.conf";
  {
    FILE* f = fopen(bad.c_str(), "w");
    ASSERT_TRUE(f);
    fputs(kBroken, f);
    fclose(f);
  }
  int status = -1;
  std::string out = run("validate --config " + bad, status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find(bad + ":4:44: unknown key \"inputAdr\" in \"properties\" (did you mean \"inputAddr\"?)\n"),
            std::string::npos)
      << out;
  int lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 16) << out;

  out = run("validate --config " + bad + " splice_ok", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "");
  out = run("validate --config " + bad + " nosuch", status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find(bad + ":2:3: stream id \"nosuch\" is not in the configuration"), std::string::npos) << out;

  out = run(std::string("validate --config ") + NIMBRA_BUILD_CONF_PATH, status);
  EXPECT_EQ(status, 0) << out;
  out = run("validate --config " + dir + "/missing.conf", status);
  EXPECT_EQ(status, 2);
  out = run("validate --config", status);
  EXPECT_EQ(status, 2);
  out = run("validate --bogus", status);
  EXPECT_EQ(status, 2);
  nimbra_test_util::remove_tree(dir);
}

// File inputs: what the stream would meet only once it runs ("Resource not found", a
// demuxer's "not-linked") is found by validate, at the input's address.
TEST_F(Validate, FileInputsMustExistAndHoldTheCodecTheyName) {
  const std::string dir = nimbra_test_util::make_temp_dir();
  nimbra_test_util::write_file(dir + "/notes.txt", "not a video\n");
  auto file_stream = [](const std::string& id, const std::string& path, const std::string& codec) {
    return "    { \"streamsId\": \"" + id + "\", \"properties\": { \"inputType\": \"file\", \"inputAddr\": \"" + path +
           "\"" + (codec.empty() ? "" : ", \"decodeType\": \"" + codec + "\"") + " } }";
  };
  const std::string text = "{ \"streams\": [\n" + file_stream("gone", dir + "/gone.mp4", "H264") + ",\n" +
                           file_stream("h265_as_default", media("h265_small.mp4"), "") + ",\n" +
                           file_stream("h264_as_h265", media("h264_small.mp4"), "H265") + ",\n" +
                           file_stream("text", dir + "/notes.txt", "H264") + ",\n" +
                           file_stream("folder", dir, "H264") + ",\n" +
                           file_stream("relative", "no/such/clip.mp4", "H264") + ",\n" +
                           file_stream("good264", media("h264_small.mp4"), "H264") + ",\n" +
                           file_stream("good265", media("h265_small.mp4"), "H265") + ",\n" +
                           // A frame-push stream reads no input, whatever its inputAddr says.
                           "    { \"streamsId\": \"drawn\", \"properties\": { \"saveMp4\": true, \"width\": 64, "
                           "\"height\": 48, \"inputType\": \"file\", \"inputAddr\": \"/nowhere.mp4\" } }\n] }\n";
  size_t checked = 0;
  auto ps = validate_text(text, {}, &checked);
  EXPECT_EQ(checked, 9u);
  EXPECT_EQ(only(ps, "stream \"gone\": input file \"" + dir + "/gone.mp4\" does not exist").line, 2);
  Problem p = only(ps, "stream \"h265_as_default\"");
  EXPECT_EQ(p.line, 3);
  EXPECT_NE(p.message.find("holds H.265 video, but \"decodeType\" is \"H264\" (the default when it is absent); "
                           "write \"decodeType\": \"H265\""),
            std::string::npos)
      << p.message;
  p = only(ps, "stream \"h264_as_h265\"");
  EXPECT_NE(p.message.find("holds H.264 video, but \"decodeType\" is \"H265\"; write \"decodeType\": \"H264\""),
            std::string::npos)
      << p.message;
  EXPECT_GT(p.col, (int)text.substr(text.find("h264_as_h265")).find("decodeType"));  // at the key it names
  EXPECT_NE(only(ps, "stream \"text\"").message.find("the file input reads MP4/MOV files"), std::string::npos);
  EXPECT_NE(only(ps, "stream \"folder\"").message.find("is a directory"), std::string::npos);
  EXPECT_NE(only(ps, "stream \"relative\"").message.find("relative path is taken from the current directory"),
            std::string::npos);
  for (const char* id : {"good264", "good265", "drawn"})
    for (const Problem& q : ps) EXPECT_EQ(q.message.find(std::string("\"") + id + "\""), std::string::npos) << q.message;
  EXPECT_EQ(ps.size(), 6u) << dump(ps);
  nimbra_test_util::remove_tree(dir);
}

}  // namespace

namespace {

// Standard error too, for the summary lines.
std::string run_all(const std::string& args, int& status) {
  std::string out;
  FILE* p = popen((std::string(NIMBRA_RUN_PATH) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  const int rc = pclose(p);
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// A clean file is said to be clean, with the number of streams checked; --dry-run checks
// the stream before it describes anything.
TEST(RunCommands, ValidateSummaryAndDryRunChecksFirst) {
  const std::string dir = nimbra_test_util::make_temp_dir();
  const std::string conf = dir + "/n.conf";
  nimbra_test_util::write_file(
      conf, nimbra_test_util::config({nimbra_test_util::entry("a", "\"inputType\":\"splice\""),
                                      nimbra_test_util::entry("b", "\"inputType\":\"file\",\"decodeType\":\"H265\","
                                                                   "\"inputAddr\":\"" + media("h264_small.mp4") + "\""),
                                      nimbra_test_util::entry("c", "\"inputType\":\"file\",\"decodeType\":\"H264\","
                                                                   "\"inputAddr\":\"" + media("h264_small.mp4") + "\"")}));
  int status = -1;
  std::string out = run_all("validate --config " + conf + " a c", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "OK: 2 streams checked\n");
  out = run_all("validate --config " + conf + " c", status);
  EXPECT_EQ(out, "OK: 1 stream checked\n");

  // The mismatched codec: validate finds it, and the dry run refuses to describe the
  // stream (nothing on standard output), naming the problem.
  out = run_all("validate --config " + conf, status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find(conf + ":1:"), std::string::npos) << out;
  EXPECT_EQ(out.find("OK:"), std::string::npos) << out;
  std::string described = run("--config " + conf + " --dry-run b", status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(described, "");
  out = run_all("--config " + conf + " --dry-run b", status);
  EXPECT_NE(out.find("holds H.264 video, but \"decodeType\" is \"H265\""), std::string::npos) << out;
  described = run("--config " + conf + " --dry-run c", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(described.rfind("filesrc ", 0), 0u) << described;
  nimbra_test_util::remove_tree(dir);
}

// The other commands of the program on the sample clip, which ends by itself.
TEST(RunCommands, JsonStatusAndDryRun) {
  int status = -1;
  std::string out = run(std::string("--config ") + NIMBRA_BUILD_CONF_PATH + " --json sample", status);
  EXPECT_EQ(status, 0) << out;
  std::vector<Json::Value> records;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t end = out.find('\n', pos);
    const std::string line = out.substr(pos, end - pos);
    pos = end == std::string::npos ? out.size() : end + 1;
    Json::Value v;
    Json::Reader r;
    ASSERT_TRUE(r.parse(line, v) && v.isObject()) << "not a JSON object: " << line;
    records.push_back(v);
  }
  ASSERT_FALSE(records.empty());
  for (const char* key : {"time", "stream_id", "kind", "state", "running", "fps", "fps_avg", "frames_decoded",
                          "frames_delivered", "frames_skipped", "frames_dropped", "callback_p50_ms", "callback_p99_ms",
                          "reconnects", "reconnect_attempts", "last_frame_age_s", "last_error", "inferences",
                          "inference_failures", "inference_fps", "inference_p50_ms", "inference_p99_ms",
                          "inference_skipped", "objects"})
    EXPECT_TRUE(records.back().isMember(key)) << key;
  EXPECT_EQ(records.back()["inferences"].asUInt64(), 0u);  // the sample stream does not detect
  EXPECT_EQ(records.back()["stream_id"].asString(), "sample");
  EXPECT_EQ(records.back()["state"].asString(), "stopped");
  EXPECT_FALSE(records.back()["running"].asBool());
  EXPECT_GT(records.back()["frames_delivered"].asUInt64(), 0u);

  out = run(std::string("--config ") + NIMBRA_BUILD_CONF_PATH + " --status sample", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.rfind("STREAM ", 0), 0u) << out;
  EXPECT_NE(out.find(" SKIPS "), std::string::npos) << out;
  EXPECT_NE(out.find("\nsample "), std::string::npos) << out;
  EXPECT_NE(out.find(" stopped "), std::string::npos) << out;
  EXPECT_NE(out.find(" INF/s "), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b["), std::string::npos) << "no cursor movement into a pipe";

  out = run(std::string("--config ") + NIMBRA_BUILD_CONF_PATH + " --dry-run sample", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.rfind("filesrc ", 0), 0u) << out;
  // A file's queues hold what keeps the chain busy, not GStreamer's 10 MB default.
  EXPECT_NE(out.find(" ! qtdemux ! queue max-size-buffers=8 max-size-bytes=0 max-size-time=0 ! h265parse ! v4l2h265dec"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("queue name=queue_mid_ub2024"), std::string::npos) << out;
  out = run(std::string("--config ") + NIMBRA_BUILD_CONF_PATH + " --dry-run no_such_stream", status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(out, "");
  run("--dry-run", status);
  EXPECT_EQ(status, 2);
}

}  // namespace
