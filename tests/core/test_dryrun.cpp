// Dry runs: the description names the elements the builders made, in the order data
// flows, nothing plays, no file is made and nothing of the stream stays registered.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "StreamDryRun.h"
#include "StreamPlatform.h"
#include "StreamRegistry.h"
#include "test_util.h"

using namespace Velkor::Nimbra;

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// The factory of every "!"-separated element of the first chain, in order.
std::vector<std::string> factories(const std::string& description) {
  std::vector<std::string> out;
  const std::string first_chain = description.substr(0, description.find("  "));
  size_t pos = 0;
  while (pos <= first_chain.size()) {
    size_t end = first_chain.find(" ! ", pos);
    if (end == std::string::npos) end = first_chain.size();
    const std::string part = first_chain.substr(pos, end - pos);
    out.push_back(part.substr(0, part.find_first_of(" ,")));
    pos = end + 3;
  }
  return out;
}

// Whether `want` appears in `have` in this order (other elements may come between).
bool in_order(const std::vector<std::string>& have, const std::vector<std::string>& want) {
  size_t i = 0;
  for (const std::string& f : have)
    if (i < want.size() && f == want[i]) ++i;
  return i == want.size();
}

class DryRun : public ::testing::Test {
 protected:
  void SetUp() override {
    nimbra_test_util::gst_init_once();
    dir_ = nimbra_test_util::make_temp_dir();
    ASSERT_FALSE(dir_.empty());
    const char* media = getenv("NIMBRA_MEDIA_DIR");
    const std::string clip = std::string(media ? media : ".") + "/sample_h265.mp4";
    ASSERT_TRUE(exists(clip)) << clip;
    conf_ = dir_ + "/dry.conf";
    const std::string text = R"({ "streams": [
      { "streamsId": "dry_file_mp4", "properties": { "inputType": "file", "inputAddr": ")" + clip +
                             R"(", "decodeType": "H265", "width": 640, "height": 360, "outputType": "mp4",
                             "outputAddr": ")" + dir_ + R"(/file.mp4" } },
      { "streamsId": "dry_drawn", "properties": { "saveMp4": true, "width": 320, "height": 240, "fps": 10,
                             "outputFile": ")" + dir_ + R"(/drawn.mp4" } },
      { "streamsId": "dry_splice", "properties": { "inputType": "splice" } },
      { "streamsId": "dry_rtsp", "properties": { "inputType": "rtsp", "inputAddr": "rtsp://127.0.0.1:9/none",
                             "decodeType": "H264", "manualRebuild": false } }
    ] })";
    FILE* f = fopen(conf_.c_str(), "w");
    ASSERT_TRUE(f);
    fputs(text.c_str(), f);
    fclose(f);
    g_stream_conf_file = conf_.c_str();
    stream_conf_file = conf_.c_str();
  }
  void TearDown() override { nimbra_test_util::remove_tree(dir_); }
  std::string dir_, conf_;
};

// Whether a stream claimed on this thread after a description would still only be
// described: the describing mode must end with the call.
bool describing_after() {
  auto claim = nimbra_internal::claim_stream("after_dry_run", nimbra_internal::StreamKind::Classic);
  return !claim || claim->describing();
}

TEST_F(DryRun, FileStreamWithMp4OutputMakesNoFile) {
  std::string d;
  ASSERT_EQ(describe_stream_pipeline("dry_file_mp4", d), 0);
  EXPECT_TRUE(in_order(factories(d), {"filesrc", "qtdemux", "queue", "h265parse", "v4l2h265dec", "qtivtransform",
                                      "v4l2h264enc", "h264parse", "mp4mux", "filesink"}))
      << d;
  EXPECT_NE(d.find("location=" + dir_ + "/file.mp4"), std::string::npos) << d;
  EXPECT_FALSE(exists(dir_ + "/file.mp4"));
  EXPECT_FALSE(describing_after());
  // Nothing stayed claimed: a second description of the id works as well.
  std::string again;
  ASSERT_EQ(describe_stream_pipeline("dry_file_mp4", again), 0);
  EXPECT_EQ(again, d);
}

// A file has no queues between decoder, converter and callback (the chain reads it as
// fast as it goes), a camera three pictures in each; the environment switch puts
// them back at GStreamer's default sizes.
TEST_F(DryRun, QueuesAreSizedByWhatTheyHold) {
  ASSERT_EQ(nimbra_internal::platform_tag(), "ub2404");
  const std::string one = " max-size-buffers=1 max-size-bytes=0 max-size-time=0 ! ";
  const std::string three = " max-size-buffers=3 max-size-bytes=0 max-size-time=0 ! ";
  std::string file, rtsp, legacy;
  ASSERT_EQ(describe_stream_pipeline("dry_file_mp4", file), 0);
  EXPECT_NE(file.find("qtdemux ! queue max-size-buffers=8 max-size-bytes=0 max-size-time=0 ! "), std::string::npos)
      << file;
  // A file needs no frame queues in front of the callback: the compressed queue gives the
  // decoder its thread, and the converter runs the callback.
  for (const char* q : {"queue_input_ub2024", "queue_mid_ub2024"})
    EXPECT_EQ(file.find(std::string("queue name=") + q), std::string::npos) << q << "\n" << file;
  EXPECT_NE(file.find(std::string("queue name=queue_output_ub2024") + one), std::string::npos) << file;
  ASSERT_EQ(describe_stream_pipeline("dry_rtsp", rtsp), 0);
  for (const char* q : {"queue_input_ub2024", "queue_mid_ub2024"})
    EXPECT_NE(rtsp.find(std::string("queue name=") + q + three), std::string::npos) << q << "\n" << rtsp;
  setenv("NIMBRA_STREAM_SIZES", "legacy", 1);
  const int rc = describe_stream_pipeline("dry_file_mp4", legacy);
  unsetenv("NIMBRA_STREAM_SIZES");
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(legacy.find("max-size-"), std::string::npos) << legacy;
  EXPECT_NE(legacy.find("queue name=queue_mid_ub2024 ! "), std::string::npos) << legacy;
}

TEST_F(DryRun, FramePushDescriptionParses) {
  std::string d;
  ASSERT_EQ(describe_stream_pipeline("dry_drawn", d), 0);
  EXPECT_EQ(factories(d), (std::vector<std::string>{"appsrc", "videobox", "videoconvert", "v4l2h264enc", "h264parse",
                                                     "mp4mux", "filesink"}))
      << d;
  EXPECT_NE(d.find("width=(int)320"), std::string::npos) << d;  // the appsrc's caps
  EXPECT_FALSE(exists(dir_ + "/drawn.mp4"));
  GError* err = nullptr;
  GstElement* p = gst_parse_launch(d.c_str(), &err);
  ASSERT_TRUE(p) << (err ? err->message : "");
  EXPECT_EQ(err, nullptr) << err->message;
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "mysrc");
  EXPECT_TRUE(src);
  if (src) gst_object_unref(src);
  gst_object_unref(p);
}

TEST_F(DryRun, SpliceLeavesNoStreamBehind) {
  std::string d;
  ASSERT_EQ(describe_stream_pipeline("dry_splice", d), 0);
  EXPECT_TRUE(in_order(factories(d), {"appsrc", "h265parse", "qtic2vdec", "appsink"})) << d;
  // Not registered: no stream of the id accepts data, and a second description works.
  const uint8_t au[] = {0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01, 0xff, 0xff};
  EXPECT_NE(decode_put_frame_splice(au, sizeof au, "dry_splice", 0, true), 0);
  ASSERT_EQ(describe_stream_pipeline("dry_splice", d), 0);
}

TEST_F(DryRun, UnknownIdAndUnreadableConfiguration) {
  std::string d = "unchanged";
  EXPECT_EQ(describe_stream_pipeline("no_such_stream", d), -1);
  EXPECT_EQ(d, "unchanged");
  const std::string broken = dir_ + "/broken.conf";
  FILE* f = fopen(broken.c_str(), "w");
  ASSERT_TRUE(f);
  fputs("{ \"streams\": [ { \"streamsId\": ", f);
  fclose(f);
  g_stream_conf_file = broken.c_str();
  stream_conf_file = broken.c_str();
  EXPECT_EQ(describe_stream_pipeline("dry_drawn", d), -1);
  EXPECT_FALSE(describing_after());
}

}  // namespace
