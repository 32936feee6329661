// Element groups and configured streams against real servers: the RTSP test server
// (play and record mounts), a private nginx RTMP and a headless weston compositor.
#include <gtest/gtest.h>

#include <future>

#include "StreamBuild.h"
#include "StreamInputFile.h"
#include "StreamInputRtmp.h"
#include "StreamInputRtsp.h"
#include "StreamOutputMp4sink.h"
#include "StreamOutputRtmpsink.h"
#include "StreamOutputRtspsink.h"
#include "StreamOutputWaylandsink.h"
#include "StreamPlatform.h"
#include "nimbra_test/media_probe.h"
#include "nimbra_test/nginx_rtmp.h"
#include "nimbra_test/rtsp_test_server.h"
#include "nimbra_test/weston.h"
#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;
using nimbra_test::count_frames;
using nimbra_test::NginxRtmp;
using nimbra_test::RtmpPublisher;
using nimbra_test::RtspTestServer;
using nimbra_test::Weston;

namespace {

// A pipeline of `head` ! [middle] ! `tail`, counting buffers that leave `head`.
struct GroupRun {
  GstElement* pipeline = gst_pipeline_new(nullptr);
  std::atomic<int> frames{0};
  std::string caps;
  std::mutex lock;

  ~GroupRun() {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  void count_on(GstElement* element, const char* pad_name) {
    GstPad* pad = gst_element_get_static_pad(element, pad_name);
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* p, GstPadProbeInfo*, gpointer d) -> GstPadProbeReturn {
          auto* self = static_cast<GroupRun*>(d);
          if (self->frames++ == 0) {
            GstCaps* c = gst_pad_get_current_caps(p);
            gchar* s = c ? gst_caps_to_string(c) : g_strdup("");
            std::lock_guard<std::mutex> g(self->lock);
            self->caps = s;
            g_free(s);
            if (c) gst_caps_unref(c);
          }
          return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    gst_object_unref(pad);
  }
  // EOS (true), error (false) or timeout (false).
  bool run_to_end(std::chrono::seconds limit, std::string* error = nullptr) {
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, limit.count() * GST_SECOND,
                                               (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m && !ok && error) {
      GError* e = nullptr;
      gst_message_parse_error(m, &e, nullptr);
      *error = e ? e->message : "?";
      if (e) g_error_free(e);
    }
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    return ok;
  }
  void stop() { gst_element_set_state(pipeline, GST_STATE_NULL); }
  // Plays until `n` frames were counted (true) or an error / the limit (false).
  std::string error;
  bool run_until(int n, std::chrono::seconds limit) {
    return run_until_true([&] { return frames >= n; }, limit);
  }
  // Plays until `done()` holds (true) or an error / the limit (false).
  bool run_until_true(const std::function<bool()>& done, std::chrono::seconds limit) {
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    auto end = std::chrono::steady_clock::now() + limit;
    bool ok = false;
    while (std::chrono::steady_clock::now() < end) {
      if (done()) {
        ok = true;
        break;
      }
      GstMessage* m = gst_bus_timed_pop_filtered(bus, 50 * GST_MSECOND, GST_MESSAGE_ERROR);
      if (m) {
        GError* e = nullptr;
        gchar* dbg = nullptr;
        gst_message_parse_error(m, &e, &dbg);
        error = std::string(e ? e->message : "?") + " (" + (dbg ? dbg : "") + ")";
        if (e) g_error_free(e);
        g_free(dbg);
        gst_message_unref(m);
        break;
      }
    }
    gst_object_unref(bus);
    return ok;
  }
};

// Becomes true once an end-of-stream has entered every sink pad of the first element made
// by `factory` inside `bin`, pads requested later (when the group is linked) included.
std::shared_ptr<std::atomic<bool>> eos_into_sink_pads(GstElement* bin, const char* factory) {
  struct State {
    std::atomic<int> pads{0}, eos{0};
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
  };
  auto state = std::make_shared<State>();
  GstIterator* it = gst_bin_iterate_recurse(GST_BIN(bin));
  GValue v = G_VALUE_INIT;
  GstElement* target = nullptr;
  while (!target && gst_iterator_next(it, &v) == GST_ITERATOR_OK) {
    GstElement* e = GST_ELEMENT(g_value_get_object(&v));
    GstElementFactory* f = gst_element_get_factory(e);
    if (f && g_strcmp0(GST_OBJECT_NAME(f), factory) == 0) target = GST_ELEMENT(gst_object_ref(e));
    g_value_reset(&v);
  }
  g_value_unset(&v);
  gst_iterator_free(it);
  if (!target) return state->done;
  auto watch_pad = [](GstElement*, GstPad* pad, gpointer data) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SINK) return;
    auto st = *static_cast<std::shared_ptr<State>*>(data);
    ++st->pads;
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer d) -> GstPadProbeReturn {
          auto& s = **static_cast<std::shared_ptr<State>*>(d);
          if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS && ++s.eos >= s.pads) *s.done = true;
          return GST_PAD_PROBE_OK;
        },
        new std::shared_ptr<State>(st), [](gpointer d) { delete static_cast<std::shared_ptr<State>*>(d); });
  };
  auto* held = new std::shared_ptr<State>(state);
  for (GList* l = GST_ELEMENT(target)->sinkpads; l; l = l->next) watch_pad(target, GST_PAD(l->data), held);
  g_signal_connect_data(target, "pad-added", G_CALLBACK(+watch_pad), held,
                        [](gpointer d, GClosure*) { delete static_cast<std::shared_ptr<State>*>(d); },
                        GConnectFlags(0));
  gst_object_unref(target);
  return state->done;
}

// A sink for input groups: fakesink behind the group's ghost pad.
void attach_input(GroupRun& run, GstElement* group) {
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  gst_bin_add_many(GST_BIN(run.pipeline), group, sink, nullptr);
  ASSERT_TRUE(gst_element_link(group, sink));
  run.count_on(group, "src");
}

// Test frames into an output group: videotestsrc ! format caps ! group.
void attach_output(GroupRun& run, GstElement* group, int frames, const std::string& caps, bool live = false) {
  GError* err = nullptr;
  std::string d = "videotestsrc pattern=ball num-buffers=" + std::to_string(frames) +
                  (live ? " is-live=true" : "") + " ! " + caps + " ! queue";
  GstElement* src = gst_parse_bin_from_description(d.c_str(), TRUE, &err);
  ASSERT_NE(src, nullptr) << (err ? err->message : "");
  gst_bin_add_many(GST_BIN(run.pipeline), src, group, nullptr);
  ASSERT_TRUE(gst_element_link(src, group));
}

class Servers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init_once();
    rtsp_ = new RtspTestServer();
  }
  static void TearDownTestSuite() {
    delete rtsp_;
    rtsp_ = nullptr;
  }
  void SetUp() override { tmp_ = make_temp_dir(); }
  void TearDown() override {
    nimbra_internal::set_platform_tag_override("");
    remove_tree(tmp_);
  }

  static RtspTestServer* rtsp_;
  std::string tmp_;
  LogCapture log;
};
RtspTestServer* Servers::rtsp_ = nullptr;

std::string conf_one(const std::string& id, const std::string& props) {
  return "{\"streams\":[{\"streamsId\":\"" + id + "\",\"properties\":{" + props + "}}]}";
}

}  // namespace

// ---- input groups ----

TEST_F(Servers, FileInputGroupDecodes) {
  ConfigFile conf(conf_one("in", "\"inputType\":\"file\",\"inputAddr\":\"x\",\"decodeType\":\"H264\""));
  GroupRun run;
  StreamInputFile in(media("h264_aac_small.mp4"), "in");  // the audio track is ignored
  attach_input(run, in.build());
  ASSERT_TRUE(run.run_to_end(std::chrono::seconds(60)));
  EXPECT_EQ(run.frames.load(), 100);
  EXPECT_NE(run.caps.find("format=(string)NV12"), std::string::npos) << run.caps;
  EXPECT_NE(run.caps.find("width=(int)320"), std::string::npos) << run.caps;
}

TEST_F(Servers, RtspInputGroupDecodesH264AndH265AndIgnoresAudio) {
  struct Case {
    const char* mount;
    const char* codec;
    bool audio;
  } cases[] = {{"/h264", "H264", false}, {"/h265", "H265", false}, {"/h264aac", "H264", true}};
  for (const Case& c : cases) {
    ConfigFile conf(conf_one("rtsp_in", std::string("\"inputType\":\"rtsp\",\"inputAddr\":\"x\",\"decodeType\":\"") +
                                            c.codec + "\""));
    log.clear();
    GroupRun run;
    StreamInputRtsp in(rtsp_->url(c.mount), "rtsp_in");
    attach_input(run, in.build());
    EXPECT_TRUE(run.run_until(15, std::chrono::seconds(30))) << c.mount << " " << run.error;
    EXPECT_NE(run.caps.find("width=(int)640"), std::string::npos) << run.caps;
    EXPECT_TRUE(log.contains("Pad linked successfully.")) << c.mount;
    EXPECT_FALSE(log.contains("doesn't match defined type")) << c.mount;
    if (c.audio) {
      EXPECT_TRUE(log.contains("This is an audio stream."));
      EXPECT_TRUE(log.contains("This stream is not video."));
    }
  }
}

TEST_F(Servers, RtspCodecMismatchIsReportedNotFatal) {
  ConfigFile conf(conf_one("mm", "\"inputType\":\"rtsp\",\"inputAddr\":\"x\",\"decodeType\":\"H264\""));
  GroupRun run;
  StreamInputRtsp in(rtsp_->url("/h265"), "mm");
  attach_input(run, in.build());
  run.run_until(1, std::chrono::seconds(10));  // nothing decodes; the process lives on
  EXPECT_EQ(run.frames.load(), 0);
  EXPECT_TRUE(log.contains_at("ERROR", "Incoming data decode type: H265, doesn't match defined type, Update decode "
                                       "type in file nimbra-gst.conf accordingly please."));
}

TEST_F(Servers, RtmpInputGroupDecodesAndSkipsAudio) {
  if (!NginxRtmp::available()) GTEST_FAIL() << "nginx with the RTMP module is not installed";
  NginxRtmp nginx;
  RtmpPublisher pub(nginx.url("cam"));  // H.264 and AAC
  ConfigFile conf(conf_one("rtmp_in", "\"inputType\":\"rtmp\",\"inputAddr\":\"x\",\"decodeType\":\"H264\""));
  ASSERT_TRUE(nginx.wait_published("cam", std::chrono::seconds(60))) << nginx.error_log();
  GroupRun run;
  StreamInputRtmp in(nginx.url("cam") + " live=1", "rtmp_in");
  attach_input(run, in.build());
  // flvdemux adds the audio pad when audio data arrives, which may be after the first
  // video frames: wait for both.
  const std::string skipped = "Pad added, but type is not video/x-h264 or video/x-h265, skipping.";
  EXPECT_TRUE(run.run_until_true([&] { return run.frames >= 15 && log.count(skipped) >= 1; }, std::chrono::seconds(60)))
      << run.error;
  EXPECT_NE(run.caps.find("NV12"), std::string::npos);
  EXPECT_TRUE(log.contains("Successfully linked new pad (video) to queue."));
  EXPECT_EQ(log.count(skipped), 1u);
}

// ---- output groups ----

TEST_F(Servers, Mp4OutputGroupWritesAFileWithPadding) {
  for (const std::string tag : {"ub2404", "8550"}) {
    nimbra_internal::set_platform_tag_override(tag);
    ConfigFile conf(conf_one("mp4", "\"inputType\":\"file\",\"inputAddr\":\"x\",\"width\":320,\"height\":240"));
    const std::string out = tmp_ + "/" + tag + ".mp4";
    GroupRun run;
    StreamOutputMp4sink group(out, 320, 240);
    group.set_stream_id("mp4");
    attach_output(run, group.build(), 50, "video/x-raw,format=NV12,width=320,height=240,framerate=25/1");
    ASSERT_TRUE(run.run_to_end(std::chrono::seconds(60))) << tag;
    auto info = count_frames(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.frames, 50) << tag;
    EXPECT_EQ(info.width, 320) << tag;
    // On ub2404 the encoder gets 256 rows (videobox padding) and crops them in the stream.
    EXPECT_EQ(info.height, 240) << tag;
    EXPECT_EQ(info.video_codec, "video/x-h264");
  }
}

TEST_F(Servers, RtspOutputGroupPublishesToTheRecordMount) {
  for (const std::string codec : {"H264", "H265"}) {
    ConfigFile conf(conf_one("push", "\"inputType\":\"file\",\"inputAddr\":\"x\",\"encodeType\":\"" + codec + "\""));
    const std::string mount = "/record/group_" + codec;
    const size_t from = rtsp_->line_count();
    GroupRun run;
    StreamOutputRtspsink group(rtsp_->url(mount), 320, 240);
    group.set_stream_id("push");
    GstElement* bin = group.build();
    ASSERT_NE(bin, nullptr);
    auto eos_in = eos_into_sink_pads(bin, "rtspclientsink");
    attach_output(run, bin, 50, "video/x-raw,format=NV12,width=320,height=240,framerate=25/1");
    // rtspclientsink does not always post its own end-of-stream, so that is not waited
    // for: done once the end-of-stream has entered it and the server has every frame but
    // the last in its file (its parsers hand on the last one at the end-of-stream the
    // teardown brings).
    EXPECT_TRUE(run.run_until_true(
        [&] { return *eos_in && rtsp_->wait_video_frames(mount, 49, std::chrono::milliseconds(0), from); },
        std::chrono::seconds(60)))
        << codec << " " << run.error << " (end-of-stream into rtspclientsink: " << (*eos_in ? "yes" : "no")
        << ", frame 49 recorded: " << (rtsp_->wait_video_frames(mount, 49, std::chrono::milliseconds(0), from) ? "yes" : "no")
        << ")";
    run.stop();  // the client's teardown closes the recording
    auto file = rtsp_->wait_record_closed(mount, std::chrono::seconds(60), from);
    ASSERT_TRUE(file) << codec;
    auto info = count_frames(*file);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.frames, 50) << codec;
    EXPECT_EQ(info.video_codec, codec == "H264" ? "video/x-h264" : "video/x-h265");
    EXPECT_EQ(info.width, 320);
  }
}

TEST_F(Servers, RtmpOutputGroupCanBePlayedBackFromNginx) {
  if (!NginxRtmp::available()) GTEST_FAIL() << "nginx with the RTMP module is not installed";
  NginxRtmp nginx;
  ConfigFile conf(conf_one("rtmp_out", "\"inputType\":\"file\",\"inputAddr\":\"x\",\"encodeType\":\"H264\""));
  StreamInputFile codec_source("x", "rtmp_out");  // the RTMP group takes its codec from here
  GroupRun push;
  StreamOutputRtmpsink group(nginx.url("out"));
  attach_output(push, group.build(), 300, "video/x-raw,format=NV12,width=320,height=240,framerate=25/1", true);
  gst_element_set_state(push.pipeline, GST_STATE_PLAYING);
  ASSERT_TRUE(nginx.wait_published("out", std::chrono::seconds(60))) << nginx.error_log();

  GroupRun play;
  GError* err = nullptr;
  GstElement* player = gst_parse_bin_from_description(
      // rtmp2src: librtmp's rtmpsrc may block for its 120 s timeout when stopped.
      ("rtmp2src location=" + nginx.url("out") + " ! flvdemux name=d d.video ! h264parse name=p ! fakesink")
          .c_str(),
      FALSE, &err);
  ASSERT_NE(player, nullptr);
  gst_bin_add(GST_BIN(play.pipeline), player);
  GstElement* p = gst_bin_get_by_name(GST_BIN(player), "p");
  play.count_on(p, "src");
  gst_object_unref(p);
  EXPECT_TRUE(play.run_until(20, std::chrono::seconds(30))) << play.error;
  EXPECT_NE(play.caps.find("video/x-h264"), std::string::npos);
  EXPECT_NE(play.caps.find("profile=(string)constrained-baseline"), std::string::npos) << play.caps;
}

TEST_F(Servers, WaylandOutputGroupShowsFrames) {
  if (!Weston::available()) GTEST_FAIL() << "weston is not installed";
  Weston weston;
  weston.apply_env();
  GroupRun run;
  StreamOutputWaylandsink group(0, 0, 320, 240);
  GstElement* bin = group.build();
  ASSERT_NE(bin, nullptr);
  attach_output(run, bin, 30, "video/x-raw,format=NV12,width=320,height=240,framerate=25/1");
  GstElement* sink = nullptr;
  for (GList* l = GST_BIN_CHILDREN(GST_BIN(bin)); l; l = l->next) sink = GST_ELEMENT(l->data);
  run.count_on(sink, "sink");
  std::string error;
  EXPECT_TRUE(run.run_to_end(std::chrono::seconds(30), &error)) << error << "\n" << weston.log();
  EXPECT_EQ(run.frames.load(), 30);
  GstSample* last = nullptr;
  g_object_get(sink, "last-sample", &last, nullptr);
  EXPECT_NE(last, nullptr);  // the sink rendered
  if (last) gst_sample_unref(last);
}

// ---- configured streams through start_stream ----

TEST_F(Servers, RtspAndRtmpStreamsById) {
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"r\",\"properties\":{\"inputType\":\"rtsp\",\"inputAddr\":\"" +
                  rtsp_->url("/h264aac") + "\",\"decodeType\":\"H264\"}}]}");
  std::atomic<int> frames{0};
  std::atomic<int> width{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    width = img.width;
    if (++frames == 25) std::thread([] { gstreamer_pipeline_shutdown("r"); }).detach();
    return 0;
  };
  auto r = std::async(std::launch::async, [&] { return start_stream("r", cb); });
  ASSERT_EQ(r.wait_for(std::chrono::seconds(40)), std::future_status::ready);
  EXPECT_EQ(r.get(), 0);
  EXPECT_GE(frames.load(), 25);
  EXPECT_EQ(width.load(), 640);

  if (!NginxRtmp::available()) GTEST_FAIL() << "nginx with the RTMP module is not installed";
  NginxRtmp nginx;
  RtmpPublisher pub(nginx.url("cam"));
  ASSERT_TRUE(nginx.wait_published("cam", std::chrono::seconds(60))) << nginx.error_log();
  ConfigFile conf2("{\"streams\":[{\"streamsId\":\"m\",\"properties\":{\"inputType\":\"rtmp\",\"inputAddr\":\"" +
                   nginx.url("cam") + " live=1\",\"decodeType\":\"H264\"}}]}");
  std::atomic<int> mframes{0};
  std::function<int8_t(const Image&)> cb2 = [&](const Image& img) -> int8_t {
    width = img.width;
    if (++mframes == 25) std::thread([] { gstreamer_pipeline_shutdown("m"); }).detach();
    return 0;
  };
  auto m = std::async(std::launch::async, [&] { return start_stream("m", cb2); });
  ASSERT_EQ(m.wait_for(std::chrono::seconds(40)), std::future_status::ready);
  EXPECT_EQ(m.get(), 0);
  EXPECT_GE(mframes.load(), 25);
  EXPECT_EQ(width.load(), 320);
}

TEST_F(Servers, FileStreamPushedToRtspCarriesTheDrawing) {
  const std::string mount = "/record/drawn_classic";
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"d\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" +
                  media("h264_small.mp4") + "\",\"decodeType\":\"H264\",\"outputType\":\"rtsp\",\"outputAddr\":\"" +
                  rtsp_->url(mount) + "\",\"width\":320,\"height\":240}}]}");
  const size_t from = rtsp_->line_count();
  std::function<int8_t(const Image&)> cb = [](const Image& img) -> int8_t {
    for (int y = 40; y < 100; ++y)
      for (int x = 40; x < 100; ++x) {
        uint8_t* p = img.data + ((size_t)y * img.width + x) * 3;
        p[0] = 0, p[1] = 0, p[2] = 255;
      }
    return 0;
  };
  EXPECT_EQ(start_stream("d", cb), 0);
  auto file = rtsp_->wait_record_closed(mount, std::chrono::seconds(60), from);
  ASSERT_TRUE(file);
  auto info = count_frames(*file);
  EXPECT_EQ(info.frames, 100);
  auto frame = nimbra_test::decode_frame_rgb(*file, 50);
  ASSERT_TRUE(frame.ok) << frame.error;
  EXPECT_TRUE(near(frame.pixel(70, 70), 0, 0, 255));
}

TEST_F(Servers, FramePushToTheRecordMount) {
  const std::string mount = "/record/frame_push";
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"np\",\"properties\":{\"networkPush\":true,\"width\":320,"
                  "\"height\":240,\"fps\":25,\"outputAddr\":\"" +
                  rtsp_->url(mount) + "\"}}]}");
  const size_t from = rtsp_->line_count();
  std::atomic<int> calls{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    for (size_t i = 0; i < img.size; i += 3) img.data[i] = 255, img.data[i + 1] = 255, img.data[i + 2] = 0;
    if (++calls == 40) std::thread([] { gstreamer_pipeline_shutdown("np"); }).detach();
    return 0;
  };
  EXPECT_EQ(start_stream("np", cb), 0);
  auto file = rtsp_->wait_record_closed(mount, std::chrono::seconds(60), from);
  ASSERT_TRUE(file);
  auto info = count_frames(*file);
  EXPECT_EQ(info.frames, calls.load()) << (log.contains("does not keep up") ? "the push queue dropped frames" : "");
  EXPECT_EQ(info.width, 320);
  auto frame = nimbra_test::decode_frame_rgb(*file, 10);
  ASSERT_TRUE(frame.ok) << frame.error;
  EXPECT_TRUE(near(frame.pixel(100, 100), 255, 255, 0));
}

TEST_F(Servers, WaylandStreamById) {
  if (!Weston::available()) GTEST_FAIL() << "weston is not installed";
  if (nimbra_internal::platform_tag() == "v4l2")
    GTEST_SKIP() << "the v4l2 runner hands the display GBM memory, which only the board's waylandsink takes";
  Weston weston;
  weston.apply_env();
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"w\",\"properties\":{\"inputType\":\"file\",\"inputAddr\":\"" +
                  media("h264_small.mp4") +
                  "\",\"decodeType\":\"H264\",\"outputType\":\"wayland\",\"outputAddr\":\"0\",\"width\":320,"
                  "\"height\":240}}]}");
  std::atomic<int> frames{0};
  std::function<int8_t(const Image&)> cb = [&](const Image&) -> int8_t {
    ++frames;
    return 0;
  };
  EXPECT_EQ(start_stream("w", cb), 0) << log.text();
  // A display renders against the clock: a frame that is late on a loaded machine may be
  // skipped by the decoder (QoS), and the stream's numbers count it.
  StreamHealth h;
  ASSERT_EQ(get_stream_health("w", h), 0);
  EXPECT_GE(frames.load() + (int)h.frames_dropped, 100);
  EXPECT_GT(frames.load(), 50);
  EXPECT_TRUE(log.contains("FILE - To display file."));
  EXPECT_FALSE(log.contains("start_ub2404: ERROR"));
}

TEST_F(Servers, SplitStreamFeedsBothCallbacks) {
  ConfigFile conf("{\"streams\":[{\"streamsId\":\"left\",\"pStreamId\":\"src\",\"properties\":{\"inputType\":\"rtsp\","
                  "\"inputAddr\":\"" +
                  rtsp_->url("/h264") + "\",\"decodeType\":\"H264\",\"width\":640,\"height\":360}},"
                  "{\"streamsId\":\"right\",\"pStreamId\":\"src\",\"properties\":{\"inputType\":\"rtsp\","
                  "\"inputAddr\":\"" +
                  rtsp_->url("/h264") + "\",\"decodeType\":\"H264\",\"width\":640,\"height\":360}}]}");
  std::atomic<int> left{0}, right{0};
  std::atomic<int> right_width{0};
  std::string left_id, right_id;
  std::function<int8_t(const Image&)> cl = [&](const Image& img) -> int8_t {
    if (left++ == 0) left_id = img.stream_id;
    // Drawing in one branch must not show in the other.
    memset(img.data, 0, img.size);
    return 0;
  };
  std::atomic<int> dark_right{0};
  std::function<int8_t(const Image&)> cr = [&](const Image& img) -> int8_t {
    if (right++ == 0) right_id = img.stream_id;
    right_width = img.width;
    bool all_black = true;
    for (size_t i = 0; i < img.size && all_black; i += 997) all_black = img.data[i] == 0;
    if (all_black) ++dark_right;
    return 0;
  };
  auto r = std::async(std::launch::async, [&] { return start_split_stream("left", cl, "right", cr); });
  ASSERT_TRUE(wait_until([&] { return left > 20 && right > 20; }, std::chrono::seconds(30)));
  gstreamer_pipeline_shutdown("left");
  ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(r.get(), 0);
  EXPECT_EQ(left_id, "left");
  EXPECT_EQ(right_id, "right");
  EXPECT_EQ(right_width.load(), 640);
  EXPECT_EQ(dark_right.load(), 0);
}
