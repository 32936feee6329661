// Element choices, properties and log lines of every input and output group for every
// platform tag, built (not run) on this host with the soft platform elements.
#include <gtest/gtest.h>

#include <map>

#include "StreamBuild.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtmpsink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamPlatform.h"
#include "test_util.h"

using namespace nimbra_test_util;

namespace {

const char* kConf = R"({"streams":[
  {"streamsId":"h264","properties":{"inputType":"file","inputAddr":"/a.mp4","decodeType":"H264","encodeType":"H264",
                                    "width":1920,"height":1080}},
  {"streamsId":"h265","properties":{"inputType":"file","inputAddr":"/a.mp4","decodeType":"H265","encodeType":"H265",
                                    "width":1280,"height":720}},
  {"streamsId":"lower","properties":{"inputType":"file","inputAddr":"/a.mp4","decodeType":"h265","encodeType":"h265",
                                    "width":640,"height":480}},
  {"streamsId":"nosize","properties":{"inputType":"file","inputAddr":"/a.mp4"}}
]})";

std::string factory_of(GstElement* e) {
  GstElementFactory* f = gst_element_get_factory(e);
  return f ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)) : "";
}

// Factory names of the bin's children, each with its element.
std::multimap<std::string, GstElement*> children(GstElement* bin) {
  std::multimap<std::string, GstElement*> out;
  for (GList* l = GST_BIN_CHILDREN(GST_BIN(bin)); l; l = l->next)
    out.emplace(factory_of(GST_ELEMENT(l->data)), GST_ELEMENT(l->data));
  return out;
}

GstElement* child(GstElement* bin, const std::string& factory) {
  auto c = children(bin);
  auto it = c.find(factory);
  return it == c.end() ? nullptr : it->second;
}


int enum_prop(GstElement* e, const char* name) {
  GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(e), name);
  if (!spec) return -1000;
  GValue v = G_VALUE_INIT;
  g_value_init(&v, spec->value_type);
  g_object_get_property(G_OBJECT(e), name, &v);
  int out = -999;
  if (G_VALUE_HOLDS_ENUM(&v)) out = g_value_get_enum(&v);
  else if (G_VALUE_HOLDS_INT(&v)) out = g_value_get_int(&v);
  else if (G_VALUE_HOLDS_UINT(&v)) out = (int)g_value_get_uint(&v);
  else if (G_VALUE_HOLDS_FLAGS(&v)) out = (int)g_value_get_flags(&v);
  else if (G_VALUE_HOLDS_BOOLEAN(&v)) out = g_value_get_boolean(&v);
  g_value_unset(&v);
  return out;
}

std::string caps_of(GstElement* capsfilter) {
  GstCaps* caps = nullptr;
  g_object_get(capsfilter, "caps", &caps, nullptr);
  gchar* s = gst_caps_to_string(caps);
  std::string out = s;
  g_free(s);
  gst_caps_unref(caps);
  return out;
}

class Groups : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    gst_init_once();
    nimbra_internal::set_platform_tag_override(GetParam());
  }
  void TearDown() override { nimbra_internal::set_platform_tag_override(""); }
  ConfigFile conf{kConf};
  LogCapture log;

  static GstElement* keep(GstElement* bin) {
    if (bin) gst_object_ref_sink(bin);
    return bin;
  }
};

}  // namespace

TEST_P(Groups, InputDecodersAndProperties) {
  const std::string tag = GetParam();
  for (const std::string id : {"h264", "h265", "lower"}) {
    const bool h265 = id == "h265";
    std::string expected_dec = tag == "8550" ? "qtic2vdec"
                               : (tag == "v4l2" || tag == "ub2404") ? (h265 ? "v4l2h265dec" : "v4l2h264dec")
                                                                    : "qtivdec";
    StreamInputFile file("/a.mp4", id);
    GstElement* fb = keep(file.build());
    ASSERT_NE(fb, nullptr) << tag << " " << id;
    EXPECT_STREQ(GST_ELEMENT_NAME(fb), ("nimbra_input_file_" + id).c_str());
    EXPECT_NE(child(fb, h265 ? "h265parse" : "h264parse"), nullptr);
    EXPECT_EQ(child(fb, h265 ? "h264parse" : "h265parse"), nullptr);
    GstElement* dec = child(fb, expected_dec);
    ASSERT_NE(dec, nullptr) << tag << " " << id;
    if (tag == "v4l2" || tag == "ub2404") {
      EXPECT_EQ(enum_prop(dec, "capture-io-mode"), tag == "v4l2" ? 5 : 4);
      EXPECT_EQ(enum_prop(dec, "output-io-mode"), tag == "v4l2" ? 5 : 4);
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(fb), "queue_input_src");
    ASSERT_NE(src, nullptr);
    gchar* loc = nullptr;
    g_object_get(src, "location", &loc, nullptr);
    EXPECT_STREQ(loc, "/a.mp4");
    g_free(loc);
    gst_object_unref(src);
    GstPad* ghost = gst_element_get_static_pad(fb, "src");
    EXPECT_NE(ghost, nullptr);
    if (ghost) gst_object_unref(ghost);
    gst_object_unref(fb);
    EXPECT_EQ(g_stream_id, id);

    StreamInputRtmp rtmp("rtmp://127.0.0.1/live/x live=1", id);
    GstElement* rb = keep(rtmp.build());
    ASSERT_NE(rb, nullptr);
    EXPECT_STREQ(GST_ELEMENT_NAME(rb), ("nimbra_input_file_" + id).c_str());
    // GStreamer's own RTMP client; librtmp's only where that one is missing. Its
    // address loses librtmp's options.
    GstElement* rtmp_client = child(rb, "rtmp2src");
    ASSERT_NE(rtmp_client, nullptr);
    gchar* rloc = nullptr;
    g_object_get(rtmp_client, "location", &rloc, nullptr);
    EXPECT_STREQ(rloc, "rtmp://127.0.0.1/live/x");
    g_free(rloc);
    EXPECT_NE(child(rb, "flvdemux"), nullptr);
    EXPECT_NE(child(rb, expected_dec), nullptr);
    gst_object_unref(rb);

    StreamInputRtsp rtsp("rtsp://127.0.0.1/x", id);
    GstElement* sb = keep(rtsp.build());
    ASSERT_NE(sb, nullptr);
    EXPECT_STREQ(GST_ELEMENT_NAME(sb), ("nimbra_input_file_" + id).c_str());
    EXPECT_NE(child(sb, h265 ? "rtph265depay" : "rtph264depay"), nullptr);
    GstElement* rdec = child(sb, expected_dec);
    ASSERT_NE(rdec, nullptr);
    GstElement* rsrc = gst_bin_get_by_name(GST_BIN(sb), "queue_input_src");
    ASSERT_NE(rsrc, nullptr);
    guint latency = 0;
    g_object_get(rsrc, "latency", &latency, nullptr);
    if (tag == "ub2404") {
      EXPECT_EQ(latency, 200u);
      EXPECT_EQ(enum_prop(rsrc, "protocols"), 4);
      EXPECT_EQ(enum_prop(rdec, "capture-io-mode"), 4);
      EXPECT_EQ(enum_prop(rdec, "output-io-mode"), 4);
      EXPECT_EQ(enum_prop(rdec, "discard-corrupted-frames"), 1);
    } else {
      EXPECT_EQ(latency, 1000u);
      EXPECT_EQ(enum_prop(rsrc, "protocols"), 1);
      EXPECT_EQ(enum_prop(rsrc, "drop-on-latency"), 1);
      EXPECT_EQ(enum_prop(rsrc, "do-rtsp-keep-alive"), 1);
      EXPECT_EQ(enum_prop(rsrc, "udp-reconnect"), 1);
      EXPECT_EQ(enum_prop(rsrc, "udp-buffer-size"), 2097152);
      guint64 timeout = 0;
      g_object_get(rsrc, "timeout", &timeout, nullptr);
      EXPECT_EQ(timeout, 30000000u);
      if (tag == "v4l2") {
        EXPECT_EQ(enum_prop(rdec, "capture-io-mode"), 5);
        EXPECT_EQ(enum_prop(rdec, "output-io-mode"), 2);
        EXPECT_EQ(enum_prop(rdec, "discard-corrupted-frames"), 1);
      }
    }
    gst_object_unref(rsrc);
    gst_object_unref(sb);
  }
  if (tag == "8550") {
    EXPECT_TRUE(log.contains("Platform is 8550, will use qtic2vdec plugin."));
    EXPECT_TRUE(log.contains("Platform is 8550 (pure ubuntu), will use qtic2vdec plugin."));
  } else if (tag == "6490") {
    EXPECT_TRUE(log.contains("Platform is 6490, will use qtivdec plugin."));
    EXPECT_TRUE(log.contains("Platform is 6490 (velkor / pure ubuntu), will use qtivdec plugin."));
  } else if (tag == "v4l2" || tag == "ub2404") {
    EXPECT_TRUE(log.contains("Platform is 6490 Qualcomm Linux, will use v4l2h264dec / v4l2h265dec plugin."));
    EXPECT_TRUE(log.contains("Platform is 6490 Qualcomm Linux, will use related v4l2h264/5dec plugin."));
  } else {
    EXPECT_TRUE(log.contains("Platform is default setting(not 6490/8550), will use qtivdec plugin."));
  }
  EXPECT_TRUE(log.contains("Input rtsp is h265. Including rtph265depay and h265parse."));
  EXPECT_TRUE(log.contains("Input rtsp is h264. Including h265parse."));
}

TEST_P(Groups, Mp4Output) {
  const std::string tag = GetParam();
  const bool ql = tag == "v4l2" || tag == "ub2404";
  struct Case {
    const char* id;
    int bottom;
  } cases[] = {{"h264", -8}, {"h265", -16}, {"lower", 0}};
  for (const Case& c : cases) {
    StreamOutputMp4sink out("/tmp/x.mp4", 10, 10);
    out.set_stream_id(c.id);
    GstElement* bin = keep(out.build());
    ASSERT_NE(bin, nullptr);
    EXPECT_STREQ(GST_ELEMENT_NAME(bin), "nimbra-output-mp4sink");
    EXPECT_NE(child(bin, "mp4mux"), nullptr);
    GstElement* parser = child(bin, "h264parse");
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(enum_prop(parser, "config-interval"), 1);
    if (ql) {
      GstElement* box = gst_bin_get_by_name(GST_BIN(bin), "videobox");
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(enum_prop(box, "bottom"), c.bottom) << c.id;
      gst_object_unref(box);
      GstElement* enc = child(bin, "v4l2h264enc");
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(enum_prop(enc, "capture-io-mode"), tag == "v4l2" ? 2 : 4);
      EXPECT_EQ(enum_prop(enc, "output-io-mode"), tag == "v4l2" ? 5 : 4);
      EXPECT_EQ(enum_prop(enc, "b-frames"), 4);
      EXPECT_EQ(enum_prop(enc, "target-bitrate"), 2000000);
      for (const char* name : {"qtivtransformNV12", "capsfilter_nv12", "videoconvert_NV12", "capsfilter_I420",
                               "videoconvert_I420"}) {
        GstElement* e = gst_bin_get_by_name(GST_BIN(bin), name);
        EXPECT_NE(e, nullptr) << name;
        if (e) gst_object_unref(e);
      }
      // The ghost pad leads into the converter, not the encoder.
      GstPad* ghost = gst_element_get_static_pad(bin, "sink");
      GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(ghost));
      GstElement* owner = gst_pad_get_parent_element(target);
      EXPECT_STREQ(GST_ELEMENT_NAME(owner), "qtivtransformNV12");
      gst_object_unref(owner);
      gst_object_unref(target);
      gst_object_unref(ghost);
    } else {
      GstElement* enc = child(bin, "qtic2venc");
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(enum_prop(enc, "b-frames"), 4);
      EXPECT_EQ(enum_prop(enc, "target-bitrate"), 2000000);
    }
    gst_object_unref(bin);
  }
  if (ql) {
    EXPECT_TRUE(log.contains("Configure video bottom: -8"));
    log.clear();
    StreamOutputMp4sink out("/tmp/x.mp4");
    out.set_stream_id("nosize");
    GstElement* bin = keep(out.build());
    ASSERT_NE(bin, nullptr);
    EXPECT_TRUE(log.contains_at("WARN", "Output width and height not specified."));
    gst_object_unref(bin);
  }
}

TEST_P(Groups, RtspAndRtmpOutputs) {
  const std::string tag = GetParam();
  const bool ql = tag == "v4l2" || tag == "ub2404";
  for (const std::string id : {"h264", "h265", "lower"}) {
    const bool h265 = id == "h265";
    StreamOutputRtspsink out("rtsp://127.0.0.1:1/record/x", 1, 1);
    out.set_stream_id(id);
    GstElement* bin = keep(out.build());
    ASSERT_NE(bin, nullptr);
    GstElement* sink = child(bin, "rtspclientsink");
    ASSERT_NE(sink, nullptr);
    if (ql) {
      EXPECT_STREQ(GST_ELEMENT_NAME(bin), ("nimbra-output-rtspsink-" + id).c_str());
      GstElement* enc = child(bin, h265 ? "v4l2h265enc" : "v4l2h264enc");
      ASSERT_NE(enc, nullptr);
      EXPECT_NE(gst_bin_get_by_name(GST_BIN(bin), h265 ? "h265-parser2" : "h264-parser2"), nullptr);
      const int cap = tag == "v4l2" ? (h265 ? 5 : 2) : 4;
      EXPECT_EQ(enum_prop(enc, "capture-io-mode"), cap);
      EXPECT_EQ(enum_prop(enc, "output-io-mode"), tag == "v4l2" ? 5 : 4);
    } else {
      EXPECT_STREQ(GST_ELEMENT_NAME(bin), "nimbra-output-rtspsink");
      GstElement* enc = child(bin, "qtic2venc");
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(enum_prop(enc, "target-bitrate"), 5000000);
      EXPECT_EQ(enum_prop(enc, "idr-interval"), 30);
      EXPECT_EQ(enum_prop(enc, "b-frames"), 0);
      EXPECT_EQ(enum_prop(sink, "protocols"), 4);
      EXPECT_EQ(enum_prop(sink, "do-rtsp-keep-alive"), 0);
      std::string caps = caps_of(child(bin, "capsfilter"));
      if (h265)
        EXPECT_EQ(caps, "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au");
      else
        EXPECT_EQ(caps, "video/x-h264, profile=(string)baseline");  // "h265" in lower case is H.264
    }
    EXPECT_NE(child(bin, h265 ? "h265parse" : "h264parse"), nullptr);
    gst_object_unref(bin);
  }

  // The RTMP group's codec follows the input group created last in the process, not
  // its own stream id.
  StreamInputFile last("/a.mp4", "h264");
  StreamOutputRtmpsink rtmp("rtmp://127.0.0.1:1/live/x");
  rtmp.set_stream_id("h265");
  GstElement* bin = keep(rtmp.build());
  ASSERT_NE(bin, nullptr);
  EXPECT_STREQ(GST_ELEMENT_NAME(bin), "nimbra-output-rtmpsink");
  EXPECT_NE(child(bin, "qtic2venc"), nullptr);
  EXPECT_NE(child(bin, "h264parse"), nullptr);
  EXPECT_EQ(caps_of(child(bin, "capsfilter")), "video/x-h264, profile=(string)baseline");
  gst_object_unref(bin);

  // FLV has no H.265 (and H.265 no baseline profile): such a group cannot be built and
  // says so once.
  StreamInputFile last265("/a.mp4", "h265");
  StreamOutputRtmpsink rtmp265("rtmp://127.0.0.1:1/live/x");
  log.clear();
  EXPECT_EQ(rtmp265.build(), nullptr);
  EXPECT_TRUE(log.contains_at("ERROR", "Failed to link"));
  EXPECT_EQ(log.count("[ERROR]"), 1u);
}

TEST_P(Groups, WaylandOutputNeverWarnsAboutProperties) {
  // Upstream waylandsink has no x/y/width/height: the group must not set them blindly.
  static int criticals = 0;
  criticals = 0;
  guint h = g_log_set_handler("GLib-GObject", (GLogLevelFlags)(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
                              [](const gchar*, GLogLevelFlags, const gchar*, gpointer) { ++criticals; }, nullptr);
  StreamOutputWaylandsink out(10, 20, 320, 240);
  GstElement* bin = keep(out.build());
  g_log_remove_handler("GLib-GObject", h);
  ASSERT_NE(bin, nullptr);
  EXPECT_STREQ(GST_ELEMENT_NAME(bin), "nimbra-output-waylandsink");
  EXPECT_NE(child(bin, "waylandsink"), nullptr);
  EXPECT_EQ(criticals, 0);
  gst_object_unref(bin);
}

INSTANTIATE_TEST_SUITE_P(Tags, Groups, ::testing::Values("8550", "6490", "v4l2", "ub2404", "other"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return "tag_" + i.param; });

TEST(AlignUp, Values) {
  EXPECT_EQ(align_up(1080, 32), 1088);
  EXPECT_EQ(align_up(720, 32), 736);
  EXPECT_EQ(align_up(480, 32), 480);
  EXPECT_EQ(align_up(1920, 128), 1920);
  EXPECT_EQ(align_up(5, 0), 0);
  EXPECT_EQ(align_up(0, 32), 0);
}

TEST(MissingElements, BuildersReturnNullAfterOneLine) {
  // A factory that does not exist makes every builder report once and return null;
  // here the RTMP sink exists, so a bogus tag cannot break it, but a missing plug-in
  // for the decoder can be simulated by hiding the factory from the registry.
  gst_init_once();
  LogCapture log;
  ConfigFile conf(kConf);
  GstRegistry* reg = gst_registry_get();
  GstPluginFeature* f = gst_registry_lookup_feature(reg, "qtivdec");
  ASSERT_NE(f, nullptr);
  gst_registry_remove_feature(reg, f);
  nimbra_internal::set_platform_tag_override("6490");
  StreamInputFile file("/a.mp4", "h264");
  EXPECT_EQ(file.build(), nullptr);
  EXPECT_EQ(log.count("Not all elements could be created."), 1u);
  nimbra_internal::set_platform_tag_override("");
  gst_registry_add_feature(reg, f);
  gst_object_unref(f);
}

TEST(SharedRecords, ShareMemInitialisesOnce) {
  // Nothing in this binary pushes frames, so the process state is fresh: the first size
  // wins, later sizes change nothing.
  ASSERT_NE(g_share_memory_mp4.state, 2);
  Velkor::Nimbra::StreamIns a;
  a.width = 4;
  a.height = 2;
  Velkor::Nimbra::init_share_mem_mp4(a);
  EXPECT_EQ(g_share_memory_mp4.data.size(), 24u);
  EXPECT_EQ(g_share_memory_mp4.data[5], 128);
  EXPECT_EQ(g_share_memory_mp4.fps, 25);
  Velkor::Nimbra::StreamIns b;
  b.width = 100;
  b.height = 100;
  Velkor::Nimbra::init_share_mem_mp4(b);
  EXPECT_EQ(g_share_memory_mp4.width, 4);
  EXPECT_EQ(g_share_memory_mp4.data.size(), 24u);
}

TEST(SharedRecords, Defaults) {
  Velkor::Nimbra::StreamIns ins;
  EXPECT_EQ(ins.streamId, "empty");
  EXPECT_EQ(ins.pStreamId, "empty_p");
  EXPECT_EQ(ins.decodeType, "H264");
  EXPECT_EQ(ins.encodeType, "H264");
  EXPECT_EQ(ins.outputFile, "/tmp/saved_output.mp4");
  EXPECT_TRUE(ins.manualRebuild);
  EXPECT_FALSE(ins.audio || ins.saveMp4 || ins.networkPush || ins.rollingsave);
  EXPECT_EQ(ins.width + ins.height + ins.fps, 0);
  StreamProperty prop;
  EXPECT_EQ(prop.rollingFps, 30);
  EXPECT_TRUE(prop.inputStreams.empty() && prop.outputStreams.empty());
  prop.rollingFps = 7;
  ins.streamId = "x";
  ins.fps = 12;
  Velkor::Nimbra::sync_data(ins, prop);
  EXPECT_EQ(prop.rollingFps, 7);  // not part of the public record
  EXPECT_EQ(prop.streamId, "x");
  EXPECT_EQ(prop.fps, 12);
  Velkor::Nimbra::Image img;
  EXPECT_EQ(img.pts, -1);
  EXPECT_EQ(img.data, nullptr);
}
