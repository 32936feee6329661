// Launch descriptions of the four-camera composition, compared as whole texts against
// descriptions written out by hand, and the refusal of task lists with fewer than four
// cameras.
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "StreamBuildMultiMerge.h"
#include "test_util.h"

using namespace nimbra_test_util;

namespace {

InputStreamProperty camera(int n, const char* position) {
  InputStreamProperty in;
  in.inputType = "rtsp";
  in.inputAddr = "rtsp://10.0.0.9:8554/cam" + std::to_string(n);
  in.width = 1920;
  in.height = 1080;
  in.position = position;
  in.dimensions = "<960, 540>";
  return in;
}

StreamProperty four_cameras() {
  StreamProperty p;
  p.inputStreams.push_back(camera(0, "<0, 0>"));
  p.inputStreams.push_back(camera(1, "<960, 0>"));
  p.inputStreams.push_back(camera(2, "<0, 540>"));
  p.inputStreams.push_back(camera(3, "<960, 540>"));

  OutputStreamProperty rec;
  rec.outputType = "File";
  rec.outputAddr = "/data/rec.mp4";
  rec.logoPath = "/data/logo.png";
  rec.logoWidth = 200;
  rec.logoHeight = 100;
  rec.logoLocX = 10;
  rec.logoLocY = 20;
  rec.logoLocWidth = 180;
  rec.logoLocHeight = 90;
  rec.textStr = "Gate";
  rec.textLocX = 30;
  rec.textLocY = 40;
  rec.textFontSize = 24;
  p.outputStreams.push_back(rec);

  OutputStreamProperty push;
  push.outputType = "rtsp";
  push.outputAddr = "rtsp://10.0.0.5:8554/live";
  push.logoPath = "/data/logo2.png";
  push.logoWidth = 64;
  push.logoHeight = 32;
  push.logoLocX = 1;
  push.logoLocY = 2;
  push.logoLocWidth = 3;
  push.logoLocHeight = 4;
  push.textStr = "Live";
  push.textLocX = 5;
  push.textLocY = 6;
  push.textFontSize = 12;
  push.textColor = "0x00FF00FF";
  p.outputStreams.push_back(push);

  p.model = "/models/det.bin";
  p.mlModule = "yolov8";
  p.labels = "/models/det.labels";
  return p;
}

// Pieces shared by several layouts, written out by hand.
const std::string kMixer =
    R"(qtivcomposer name=mixer engine=2 )"
    R"(sink_0::position="<0, 0>"  sink_0::dimensions="<960, 540>"  )"
    R"(sink_1::position="<960, 0>"  sink_1::dimensions="<960, 540>"  )"
    R"(sink_2::position="<0, 540>"  sink_2::dimensions="<960, 540>"  )"
    R"(sink_3::position="<960, 540>"  sink_3::dimensions="<960, 540>"  )"
    R"( ! video/x-raw(memory:GBM),format=NV12,width=1920,height=1080)"
    R"( ! qtivtransform engine=2 name=qtiv_main_transform  ! queue )";

const std::string kSources264 =
    "rtspsrc location=rtsp://10.0.0.9:8554/cam0 latency=100 !  rtph264depay ! h264parse  config-interval=-1 "
    "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
    "rtspsrc location=rtsp://10.0.0.9:8554/cam1 latency=100 !  rtph264depay ! h264parse  config-interval=-1 "
    "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
    "rtspsrc location=rtsp://10.0.0.9:8554/cam2 latency=100 !  rtph264depay ! h264parse  config-interval=-1 "
    "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
    "rtspsrc location=rtsp://10.0.0.9:8554/cam3 latency=100 !  rtph264depay ! h264parse  config-interval=-1 "
    "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. ";

const std::string kOverlayRec1 =
    R"( ! qtivoverlay images="{(structure)\"Image1,path=/data/logo.png,resolution=<200,100>,)"
    R"(destination=<10,20,180,90>;\"}" )"
    R"(strings="{(structure)\"text1,contents=\\\"Gate\\\",fontsize=24,position=<30,40>,color=0xFF0000FF;\"}" )";

const std::string kDetection =
    " split. ! queue ! qtimlvconverter name=qmlconvert_1 "
    "! qtimlqnn name=qtimlqnn_1 model=/models/det.bin "
    "backend=/opt/qcom/qirp-sdk/lib/aarch64-oe-linux-gcc11.2/libQnnHtp.so "
    "! qtimlvdetection threshold=75 results=10 module=yolov8 labels=/models/det.labels"
    " ! video/x-raw(memory:GBM) ! capsfilter name=ml_capsfilter ! mixer1. ";

const std::string kPushTail =
    " ! rtspclientsink protocols=tcp location=rtsp://10.0.0.5:8554/live "
    " tcp-timeout=5000000 do-rtsp-keep-alive=true async-handling=false timeout=5000000 ";

}  // namespace

TEST(MultiMergeDesc, DirectRecording) {
  gst_init_once();
  const std::string expected = kMixer +
                               "! qtic2venc target-bitrate=2000000  ! queue ! h264parse   ! mp4mux name=mp4mux_0 "
                               "faststart=true fragment-duration=1000 ! filesink location=/data/rec.mp4 sync=false " +
                               kSources264;
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), false, 0), expected);
  // The push mode does not matter without the split.
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), false, 2), expected);
}

TEST(MultiMergeDesc, RecordingOnly) {
  const std::string expected =
      kMixer + "! tee name=split " +
      " split. ! queue name=save_queue leaky=2 max-size-buffers=1 ! qtivcomposer name=mixer1  " + kOverlayRec1 +
      " ! qtic2venc   ! queue ! h264parse   ! mp4mux name=mp4mux_0  ! filesink location=/data/rec.mp4 sync=false "
      "async=false " +
      kDetection + kSources264;
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), true, 0), expected);
}

TEST(MultiMergeDesc, RecordingAndPush) {
  const std::string expected =
      kMixer + "! tee name=split " +
      " split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing " +
      " pushing. ! queue " + kOverlayRec1 +
      " ! qtic2venc  ! queue ! h264parse   ! mp4mux name=mp4mux_0 fragment-duration=1000 "
      "fragment-mode=first-moov-then-finalise moov-recovery-file=/tmp/moov_recover.moov " +
      " ! filesink location=/data/rec.mp4 sync=false  async=false  " +
      " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
      R"( ! qtivoverlay images="{(structure)\"Image2,path=/data/logo2.png,resolution=<64,32>,)"
      R"(destination=<1,2,3,4>;\"}" )"
      R"(strings="{(structure)\"text2,contents=\\\"Live\\\",fontsize=12,position=<5,6>,color=0x00FF00FF;\"}" )" +
      " ! video/x-raw(memory:GBM),width=1920,height=1080  ! qtic2venc  ! queue ! h264parse  " + kPushTail +
      kDetection + kSources264;
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), true, 1), expected);
}

TEST(MultiMergeDesc, PushOnly) {
  const std::string expected =
      kMixer + "! tee name=split " +
      "split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing " +
      " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
      // The push output carries the first overlay names.
      R"( ! qtivoverlay images="{(structure)\"Image1,path=/data/logo2.png,resolution=<64,32>,)"
      R"(destination=<1,2,3,4>;\"}" )"
      R"(strings="{(structure)\"text1,contents=\\\"Live\\\",fontsize=12,position=<5,6>,color=0x00FF00FF;\"}" )" +
      " ! video/x-raw(memory:GBM),width=1920,height=1080  ! qtic2venc  ! queue ! h264parse   " + kPushTail +
      kDetection + kSources264;
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), true, 2), expected);
}

TEST(MultiMergeDesc, OtherPushModeKeepsOnlyTheDetectionBranch) {
  const std::string expected = kMixer + "! tee name=split " + kDetection + kSources264;
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), true, 3), expected);
  EXPECT_EQ(get_4_cameras_launch_command(four_cameras(), true, -1), expected);
}

TEST(MultiMergeDesc, H265FromTheFirstInput) {
  StreamProperty p = four_cameras();
  p.inputStreams[0].decodeType = "H265";
  const std::string sources =
      "rtspsrc location=rtsp://10.0.0.9:8554/cam0 latency=100 !  rtph265depay ! h265parse  config-interval=-1 "
      "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
      "rtspsrc location=rtsp://10.0.0.9:8554/cam1 latency=100 !  rtph265depay ! h265parse  config-interval=-1 "
      "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
      "rtspsrc location=rtsp://10.0.0.9:8554/cam2 latency=100 !  rtph265depay ! h265parse  config-interval=-1 "
      "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. "
      "rtspsrc location=rtsp://10.0.0.9:8554/cam3 latency=100 !  rtph265depay ! h265parse  config-interval=-1 "
      "! qtic2vdec ! qtivtransform engine=2 ! queue ! mixer. ";
  EXPECT_EQ(get_4_cameras_launch_command(p, false, 0),
            kMixer +
                "! qtic2venc target-bitrate=2000000  ! queue ! h265parse  ! mp4mux name=mp4mux_0 faststart=true "
                "fragment-duration=1000 ! filesink location=/data/rec.mp4 sync=false " +
                sources);
  EXPECT_EQ(get_4_cameras_launch_command(p, true, 2),
            kMixer + "! tee name=split " +
                "split. ! queue ! qtivcomposer name=mixer1 engine=2 ! queue ! qtivsplit name=pushing " +
                " pushing. ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 " +
                R"( ! qtivoverlay images="{(structure)\"Image1,path=/data/logo2.png,resolution=<64,32>,)"
                R"(destination=<1,2,3,4>;\"}" )"
                R"(strings="{(structure)\"text1,contents=\\\"Live\\\",fontsize=12,position=<5,6>,)"
                R"(color=0x00FF00FF;\"}" )" +
                " ! video/x-raw(memory:GBM),width=1920,height=1080  ! qtic2venc  ! queue ! h265parse  " +
                kPushTail + kDetection + sources);
}

TEST(MultiMergeDesc, H265OnALaterInputOnlyStaysOnH264) {
  StreamProperty p = four_cameras();
  p.inputStreams[1].decodeType = "H265";
  p.inputStreams[3].decodeType = "H265";
  p.inputStreams[0].decodeType = "h265";  // exact text only
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  EXPECT_EQ(d.find("265"), std::string::npos) << d;
  EXPECT_NE(d.find("rtph264depay"), std::string::npos);
}

TEST(MultiMergeDesc, PadOptions) {
  StreamProperty p = four_cameras();
  EXPECT_EQ(build_sink_properties(p, 0), "");
  p.inputStreams[1].flipHorizontal = "true";
  p.inputStreams[2].crop = "<0, 0, 640, 480>";
  p.inputStreams[3].crop = "<2, 4, 6, 8>";
  p.inputStreams[3].flipHorizontal = "false";
  p.inputStreams[3].flipVertical = "1";
  EXPECT_EQ(build_sink_properties(p, 1), "sink_1::flip-horizontal=true ");
  EXPECT_EQ(build_sink_properties(p, 2), R"(sink_2::crop="<0, 0, 640, 480>" )");
  EXPECT_EQ(build_sink_properties(p, 3),
            R"(sink_3::crop="<2, 4, 6, 8>" sink_3::flip-horizontal=false sink_3::flip-vertical=1 )");
  // Indexes outside the list give nothing rather than reading past it.
  EXPECT_EQ(build_sink_properties(p, 4), "");
  EXPECT_EQ(build_sink_properties(p, -1), "");

  const std::string mixer =
      R"(qtivcomposer name=mixer engine=2 )"
      R"(sink_0::position="<0, 0>"  sink_0::dimensions="<960, 540>"  )"
      R"(sink_1::position="<960, 0>"  sink_1::dimensions="<960, 540>" sink_1::flip-horizontal=true  )"
      R"(sink_2::position="<0, 540>"  sink_2::dimensions="<960, 540>" sink_2::crop="<0, 0, 640, 480>"  )"
      R"(sink_3::position="<960, 540>"  sink_3::dimensions="<960, 540>" sink_3::crop="<2, 4, 6, 8>" )"
      R"(sink_3::flip-horizontal=false sink_3::flip-vertical=1  )"
      R"( ! video/x-raw(memory:GBM),format=NV12,width=1920,height=1080)"
      R"( ! qtivtransform engine=2 name=qtiv_main_transform  ! queue )";
  EXPECT_EQ(get_4_cameras_launch_command(p, false, 0),
            mixer +
                "! qtic2venc target-bitrate=2000000  ! queue ! h264parse   ! mp4mux name=mp4mux_0 faststart=true "
                "fragment-duration=1000 ! filesink location=/data/rec.mp4 sync=false " +
                kSources264);
}

TEST(MultiMergeDesc, OddSizeRoundsDownToEven) {
  StreamProperty p = four_cameras();
  p.inputStreams[0].width = 1279;
  p.inputStreams[0].height = 721;
  p.inputStreams[1].width = 3;  // only the first input's size counts
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  EXPECT_NE(d.find(",format=NV12,width=1278,height=720 ! qtivtransform"), std::string::npos) << d;
}

TEST(MultiMergeDesc, DefaultPlacementIsCopiedVerbatim) {
  StreamProperty p = four_cameras();
  p.inputStreams[2] = InputStreamProperty();
  p.inputStreams[2].inputAddr = "rtsp://h/x";
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  EXPECT_NE(d.find(R"(sink_2::position="<0, 0>"  sink_2::dimensions="<1920, 1080>"  sink_3)"), std::string::npos)
      << d;
}

TEST(MultiMergeDesc, OutputRolesAndLogLines) {
  LogCapture log;
  StreamProperty p = four_cameras();
  OutputStreamProperty rec2;
  rec2.outputType = "File";
  rec2.outputAddr = "/data/second.mp4";
  p.outputStreams.push_back(rec2);
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  // The last recording output wins.
  EXPECT_NE(d.find("filesink location=/data/second.mp4 sync=false "), std::string::npos) << d;
  EXPECT_EQ(d.find("/data/rec.mp4"), std::string::npos);
  EXPECT_TRUE(log.contains_at("INFO", "Output type: File"));
  EXPECT_TRUE(log.contains_at("INFO", "Output type: rtsp"));
  EXPECT_EQ(log.count("Output type: "), 3u);
  EXPECT_EQ(log.count("Output file address is empty"), 0u);
}

TEST(MultiMergeDesc, EmptyRecordingAddressIsWarnedAndBuilt) {
  LogCapture log;
  StreamProperty p = four_cameras();
  p.outputStreams.clear();
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  EXPECT_TRUE(log.contains_at("WARN", "Output file address is empty. Please check filling outputType value."));
  EXPECT_NE(d.find("! filesink location= sync=false rtspsrc"), std::string::npos) << d;

  // A push-only task has no recording output either.
  log.clear();
  p = four_cameras();
  p.outputStreams.erase(p.outputStreams.begin());
  const std::string push = get_4_cameras_launch_command(p, true, 2);
  EXPECT_EQ(log.count("Output file address is empty"), 1u);
  EXPECT_NE(push.find("location=rtsp://10.0.0.5:8554/live "), std::string::npos);
}

TEST(MultiMergeDesc, FewerThanFourInputsAreRefused) {
  LogCapture log;
  for (size_t n = 0; n < 4; ++n) {
    StreamProperty p = four_cameras();
    p.inputStreams.resize(n);
    for (int mode = 0; mode < 3; ++mode) {
      EXPECT_EQ(get_4_cameras_launch_command(p, true, mode), "") << n << " inputs";
      EXPECT_EQ(get_4_cameras_launch_command(p, false, mode), "") << n << " inputs";
    }
  }
  // One clear line per refusal, and nothing of the description was started.
  EXPECT_EQ(log.count("Multi-camera composition needs 4 inputs"), 24u);
  EXPECT_TRUE(log.contains_at("ERROR", "Multi-camera composition needs 4 inputs, the task list has 3."));
  EXPECT_TRUE(log.contains_at("ERROR", "the task list has 0."));
  EXPECT_EQ(log.count("Output type:"), 0u);

  // More than four: the first four are used.
  StreamProperty p = four_cameras();
  p.inputStreams.push_back(camera(4, "<5, 5>"));
  const std::string d = get_4_cameras_launch_command(p, false, 0);
  EXPECT_EQ(d.find("cam4"), std::string::npos);
  EXPECT_EQ(d.find("sink_4"), std::string::npos);
  EXPECT_NE(d.find("cam3"), std::string::npos);
}

// The compositor part of a real description, cut before the encoder and fed
// by four test sources instead of cameras, runs on the platform elements:
// every camera lands in its tile and the pad options reach their pads.
TEST(MultiMergeDesc, CompositorPartRunsOnThePlatformElements) {
  gst_init_once();
  StreamProperty p = four_cameras();
  const char* positions[4] = {"<0, 0>", "<320, 0>", "<0, 180>", "<320, 180>"};
  for (int i = 0; i < 4; ++i) {
    p.inputStreams[i].position = positions[i];
    p.inputStreams[i].dimensions = "<320, 180>";
  }
  p.inputStreams[0].width = 641;
  p.inputStreams[0].height = 360;
  p.inputStreams[1].flipHorizontal = "true";
  p.inputStreams[2].crop = "<0, 0, 160, 120>";
  p.inputStreams[3].flipVertical = "1";
  const std::string full = get_4_cameras_launch_command(p, false, 0);
  const size_t cut = full.find("! qtic2venc");
  ASSERT_NE(cut, std::string::npos) << full;
  std::string desc = full.substr(0, cut) + "! appsink name=out sync=false ";
  const int grey[4] = {0x20, 0x60, 0xa0, 0xe0};
  for (int i = 0; i < 4; ++i) {
    char src[256];
    snprintf(src, sizeof src,
             "videotestsrc num-buffers=2 pattern=solid-color foreground-color=0xff%02x%02x%02x ! "
             "video/x-raw,format=NV12,width=320,height=240 ! mixer. ",
             grey[i], grey[i], grey[i]);
    desc += src;
  }
  GError* err = nullptr;
  GstElement* pipe = gst_parse_launch(desc.c_str(), &err);
  ASSERT_TRUE(pipe != nullptr && err == nullptr) << (err ? err->message : "") << "\n" << desc;
  GstElement* mixer = gst_bin_get_by_name(GST_BIN(pipe), "mixer");
  GstElement* out = gst_bin_get_by_name(GST_BIN(pipe), "out");
  ASSERT_TRUE(mixer && out);
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out), 60 * GST_SECOND);
  ASSERT_TRUE(sample != nullptr);

  GstVideoInfo info;
  ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_NV12);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 640);  // 641 rounded down to even
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 360);
  EXPECT_TRUE(gst_caps_features_contains(gst_caps_get_features(gst_sample_get_caps(sample), 0), "memory:GBM"));
  GstVideoFrame frame;
  ASSERT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  for (int i = 0; i < 4; ++i) {
    const int x = (i % 2) * 320 + 160, y = (i / 2) * 180 + 90;
    const int luma = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0))
        [y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0) + x];
    EXPECT_NEAR(luma, 16 + grey[i] * 219 / 255, 3) << "camera " << i;
  }
  gst_video_frame_unmap(&frame);
  gst_sample_unref(sample);

  gboolean flip_h = FALSE, flip_v = FALSE;
  GstPad* pad1 = gst_element_get_static_pad(mixer, "sink_1");
  GstPad* pad3 = gst_element_get_static_pad(mixer, "sink_3");
  ASSERT_TRUE(pad1 && pad3);
  g_object_get(pad1, "flip-horizontal", &flip_h, NULL);
  g_object_get(pad3, "flip-vertical", &flip_v, NULL);
  EXPECT_TRUE(flip_h);
  EXPECT_TRUE(flip_v);
  gst_object_unref(pad1);
  gst_object_unref(pad3);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(out);
  gst_object_unref(mixer);
  gst_object_unref(pipe);
}

namespace {
// Elements of `bin` (all levels) made by `factory`, in no particular order; refs held.
std::vector<GstElement*> elements_of(GstElement* bin, const char* factory) {
  std::vector<GstElement*> out;
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(bin));
  GValue v = G_VALUE_INIT;
  while (gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&v));
    GstElementFactory* f = gst_element_get_factory(e);
    if (f && std::string(GST_OBJECT_NAME(f)) == factory) out.push_back(GST_ELEMENT(gst_object_ref(e)));
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
  return out;
}

std::string string_prop(GstElement* e, const char* name) {
  gchar* s = nullptr;
  g_object_get(e, name, &s, nullptr);
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

// The first structure of an overlay property, parsed the way the overlay parses it.
std::string overlay_field(const std::string& list, const char* field) {
  GValue v = G_VALUE_INIT;
  g_value_init(&v, GST_TYPE_LIST);
  std::string out = "<unparsable>";
  if (gst_value_deserialize(&v, list.c_str()) && gst_value_list_get_size(&v) == 1) {
    const GValue* e = gst_value_list_get_value(&v, 0);
    if (GST_VALUE_HOLDS_STRUCTURE(e)) {
      const gchar* s = gst_structure_get_string(gst_value_get_structure(e), field);
      out = s ? s : "<missing>";
    }
  }
  g_value_unset(&v);
  return out;
}
}  // namespace

// Paths and texts with blanks, quotes, commas and backslashes arrive unchanged where they
// belong, and an address cannot add elements to the description.
TEST(MultiMergeDesc, HostValuesStayOneValueEach) {
  gst_init_once();
  StreamProperty p = four_cameras();
  p.inputStreams[1].inputAddr = "rtsp://10.0.0.9:8554/cam1 ! fakesink name=evil";
  p.inputStreams[2].position = "<0, 540\" ! fakesink name=evil2 x=\">";
  OutputStreamProperty& rec = p.outputStreams[0];
  rec.outputAddr = "/tmp/with space/it's \"quoted\".mp4";
  rec.logoPath = "/tmp/logo, v2; \"final\".png";
  rec.textStr = "Gate \"A\", lane\\2; exit";
  rec.textColor = "0xFF0000FF,fontsize=999";
  p.outputStreams[1].outputAddr = "rtsp://10.0.0.5:8554/live now";
  p.model = "/models/my model.onnx";
  for (int mode : {0, 1}) {
    const std::string d = get_4_cameras_launch_command(p, true, mode);
    GError* err = nullptr;
    GstElement* pipe = gst_parse_launch(d.c_str(), &err);
    ASSERT_TRUE(pipe != nullptr) << (err ? err->message : "") << "\n" << d;
    g_clear_error(&err);
    EXPECT_TRUE(elements_of(pipe, "fakesink").empty()) << d;

    std::vector<GstElement*> sources = elements_of(pipe, "rtspsrc");
    ASSERT_EQ(sources.size(), 4u);
    bool injected_found = false;
    for (GstElement* s : sources) {
      injected_found = injected_found || string_prop(s, "location") == p.inputStreams[1].inputAddr;
      gst_object_unref(s);
    }
    EXPECT_TRUE(injected_found);

    std::vector<GstElement*> files = elements_of(pipe, "filesink");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(string_prop(files[0], "location"), rec.outputAddr);
    gst_object_unref(files[0]);

    std::vector<GstElement*> overlays = elements_of(pipe, "qtivoverlay");
    ASSERT_FALSE(overlays.empty());
    bool checked = false;
    for (GstElement* o : overlays) {
      const std::string strings = string_prop(o, "strings");
      if (strings.find("text1") != std::string::npos) {
        EXPECT_EQ(overlay_field(strings, "contents"), rec.textStr) << strings;
        EXPECT_EQ(overlay_field(string_prop(o, "images"), "path"), rec.logoPath);
        checked = true;
      }
      gst_object_unref(o);
    }
    EXPECT_TRUE(checked);

    std::vector<GstElement*> nets = elements_of(pipe, "qtimlqnn");
    ASSERT_EQ(nets.size(), 1u);
    EXPECT_EQ(string_prop(nets[0], "model"), p.model);
    gst_object_unref(nets[0]);
    if (mode == 1) {
      std::vector<GstElement*> pushes = elements_of(pipe, "rtspclientsink");
      ASSERT_EQ(pushes.size(), 1u);
      EXPECT_EQ(string_prop(pushes[0], "location"), p.outputStreams[1].outputAddr);
      gst_object_unref(pushes[0]);
    }
    gst_object_unref(pipe);
  }
}
