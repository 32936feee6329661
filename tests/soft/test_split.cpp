// SPDX-License-Identifier: LGPL-2.1-or-later
// qtivsplit: per-branch negotiation, independence of branch buffers, request
// pads and flow combination.
#include "soft_test_util.h"

using namespace softtest;

namespace {

const int kW = 160, kH = 120;

/* Solid colour source: Y=81 U=90 V=240 BT.601 (a saturated red). */
std::string solid_src(int n)
{
  return "videotestsrc num-buffers=" + std::to_string(n) +
         " pattern=solid-color foreground-color=0xffff0000 ! video/x-raw,format=NV12,width=" + std::to_string(kW) +
         ",height=" + std::to_string(kH) + ",framerate=30/1,colorimetry=bt601";
}

TEST(Split, TwoBranchesEachGetEveryFrameInTheirOwnFormat)
{
  const int n = 12;
  RunResult r = run_pipeline(solid_src(n) + " ! qtivsplit name=s "
                             "s.src_0 ! queue ! video/x-raw,format=RGB ! appsink name=out0 "
                             "s.src_1 ! queue ! video/x-raw,format=BGRA,width=80,height=60 ! appsink name=out1");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ((int)r.out("out0").size(), n);
  ASSERT_EQ((int)r.out("out1").size(), n);
  Caps c0 = caps_of(r.out("out0")[0]), c1 = caps_of(r.out("out1")[0]);
  EXPECT_EQ(c0.format, "RGB");
  EXPECT_EQ(c0.width, kW);
  EXPECT_EQ(c0.height, kH);
  EXPECT_EQ(c1.format, "BGRA");
  EXPECT_EQ(c1.width, 80);
  EXPECT_EQ(c1.height, 60);
  for (int i = 0; i < n; i++) {
    EXPECT_EQ(GST_BUFFER_PTS(gst_sample_get_buffer(r.out("out0")[i].get())),
              GST_BUFFER_PTS(gst_sample_get_buffer(r.out("out1")[i].get())));
  }
  /* videotestsrc's red is RGB(255,0,0) converted with BT.601; converting
   * back must land near it in both branches. */
  FrameView v0(r.out("out0")[n - 1]), v1(r.out("out1")[n - 1]);
  ASSERT_TRUE(v0.ok() && v1.ok());
  const uint8_t *p0 = v0.row(0, 50) + 3 * 70;
  const uint8_t *p1 = v1.row(0, 25) + 4 * 35;
  EXPECT_NEAR(p0[0], 255, 4);
  EXPECT_NEAR(p0[1], 0, 4);
  EXPECT_NEAR(p0[2], 0, 4);
  EXPECT_NEAR(p1[2], 255, 4);
  EXPECT_NEAR(p1[1], 0, 4);
  EXPECT_NEAR(p1[0], 0, 4);
  EXPECT_EQ(p1[3], 255);
}

GstPadProbeReturn scribble(GstPad *, GstPadProbeInfo *info, gpointer)
{
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  buf = gst_buffer_make_writable(buf);
  GstMapInfo m;
  if (gst_buffer_map(buf, &m, GST_MAP_WRITE)) {
    memset(m.data, 0x5A, m.size);
    gst_buffer_unmap(buf, &m);
  }
  GST_PAD_PROBE_INFO_DATA(info) = buf;
  return GST_PAD_PROBE_OK;
}

TEST(Split, DrawingIntoOneBranchLeavesTheOtherAlone)
{
  const int n = 8;
  RunOptions o;
  o.setup = [](GstElement *pipe) {
    GstElement *id = gst_bin_get_by_name(GST_BIN(pipe), "draw");
    GstPad *pad = gst_element_get_static_pad(id, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, scribble, nullptr, nullptr);
    gst_object_unref(pad);
    gst_object_unref(id);
  };
  /* Same format on both branches, so sharing one buffer would be tempting. */
  RunResult r = run_pipeline(solid_src(n) + " ! qtivsplit name=s "
                             "s.src_0 ! video/x-raw,format=RGB ! identity name=draw ! queue ! appsink name=out0 "
                             "s.src_1 ! video/x-raw,format=RGB ! queue ! appsink name=out1",
                             o);
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ((int)r.out("out0").size(), n);
  ASSERT_EQ((int)r.out("out1").size(), n);
  for (int i = 0; i < n; i++) {
    FrameView drawn(r.out("out0")[i]), clean(r.out("out1")[i]);
    ASSERT_TRUE(drawn.ok() && clean.ok());
    EXPECT_EQ(drawn.row(0, 10)[30], 0x5A);
    EXPECT_NEAR(clean.row(0, 10)[30], 255, 4) << "frame " << i;
    EXPECT_NEAR(clean.row(0, 10)[31], 0, 4) << "frame " << i;
  }
}

TEST(Split, UnlinkedBranchDoesNotStopTheOthers)
{
  const int n = 10;
  RunOptions o;
  o.setup = [](GstElement *pipe) {
    GstElement *s = gst_bin_get_by_name(GST_BIN(pipe), "s");
    GstPad *extra = gst_element_request_pad_simple(s, "src_%u");
    ASSERT_TRUE(extra);
    gst_object_unref(extra);
    gst_object_unref(s);
  };
  RunResult r = run_pipeline(solid_src(n) + " ! qtivsplit name=s s.src_0 ! video/x-raw,format=BGR ! appsink name=out", o);
  ASSERT_TRUE(r.eos) << r.error;
  EXPECT_EQ((int)r.out().size(), n);
}

TEST(Split, AllBranchesUnlinkedIsNotLinked)
{
  RunOptions o;
  o.setup = [](GstElement *pipe) {
    GstElement *s = gst_bin_get_by_name(GST_BIN(pipe), "s");
    for (int i = 0; i < 2; i++) {
      GstPad *p = gst_element_request_pad_simple(s, "src_%u");
      gst_object_unref(p);
    }
    gst_object_unref(s);
  };
  RunResult r = run_pipeline(solid_src(10) + " ! qtivsplit name=s", o);
  EXPECT_FALSE(r.eos);
  EXPECT_NE(r.error_debug.find("not-linked"), std::string::npos) << r.error << " / " << r.error_debug;
}

TEST(Split, DownstreamErrorWins)
{
  /* A branch that cannot take the format at all fails negotiation, even though
   * the other branch is fine. */
  RunResult r = run_pipeline(solid_src(10) + " ! qtivsplit name=s s.src_0 ! video/x-raw,format=RGB ! appsink name=out0 "
                             "s.src_1 ! video/x-raw,format=YUY2 ! appsink name=out1");
  EXPECT_FALSE(r.eos);
  EXPECT_FALSE(r.error.empty());
}

TEST(Split, RequestAndReleasePads)
{
  GstElement *s = gst_element_factory_make("qtivsplit", nullptr);
  ASSERT_TRUE(s);
  GstPad *a = gst_element_request_pad_simple(s, "src_%u");
  GstPad *b = gst_element_request_pad_simple(s, "src_%u");
  ASSERT_TRUE(a && b);
  EXPECT_STREQ(GST_PAD_NAME(a), "src_0");
  EXPECT_STREQ(GST_PAD_NAME(b), "src_1");
  GstPad *named = gst_element_request_pad_simple(s, "src_5");
  ASSERT_TRUE(named);
  EXPECT_STREQ(GST_PAD_NAME(named), "src_5");
  EXPECT_EQ(gst_element_request_pad_simple(s, "src_5"), nullptr);
  GstPad *next = gst_element_request_pad_simple(s, "src_%u");
  EXPECT_STREQ(GST_PAD_NAME(next), "src_6");
  gst_element_release_request_pad(s, a);
  gst_object_unref(a);
  EXPECT_EQ(gst_element_get_static_pad(s, "src_0"), nullptr);
  GstPad *again = gst_element_request_pad_simple(s, "src_0");
  ASSERT_TRUE(again);
  for (GstPad *p : {b, named, next, again}) {
    gst_element_release_request_pad(s, p);
    gst_object_unref(p);
  }
  EXPECT_EQ(GST_ELEMENT(s)->numsrcpads, 0);
  gst_object_unref(s);
}

TEST(Split, BranchAddedWhilePlayingGetsFrames)
{
  GstElement *pipe = gst_parse_launch(("videotestsrc is-live=true ! video/x-raw,format=NV12,width=64,height=48,"
                                       "framerate=100/1 ! qtivsplit name=s s.src_0 ! fakesink sync=false"),
                                      nullptr);
  ASSERT_TRUE(pipe);
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  ASSERT_NE(gst_element_get_state(pipe, nullptr, nullptr, 10 * GST_SECOND), GST_STATE_CHANGE_FAILURE);
  GstElement *s = gst_bin_get_by_name(GST_BIN(pipe), "s");
  GstElement *caps = gst_element_factory_make("capsfilter", nullptr);
  GstCaps *filter = gst_caps_from_string("video/x-raw,format=RGBA,width=32,height=24");
  g_object_set(caps, "caps", filter, NULL);
  gst_caps_unref(filter);
  GstElement *sink = gst_element_factory_make("appsink", nullptr);
  g_object_set(sink, "sync", FALSE, "max-buffers", 4u, "drop", TRUE, NULL);
  gst_bin_add_many(GST_BIN(pipe), caps, sink, NULL);
  gst_element_link(caps, sink);
  gst_element_sync_state_with_parent(sink);
  gst_element_sync_state_with_parent(caps);
  GstPad *src = gst_element_request_pad_simple(s, "src_%u");
  GstPad *sinkpad = gst_element_get_static_pad(caps, "sink");
  ASSERT_EQ(gst_pad_link(src, sinkpad), GST_PAD_LINK_OK);
  int got = 0;
  for (int i = 0; i < 5; i++) {
    GstSample *smp = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
    if (!smp)
      break;
    SamplePtr sp(smp, gst_sample_unref);
    Caps c = caps_of(sp);
    EXPECT_EQ(c.format, "RGBA");
    EXPECT_EQ(c.width, 32);
    got++;
  }
  EXPECT_EQ(got, 5);
  /* Unlink and release while frames flow. */
  gst_pad_unlink(src, sinkpad);
  gst_element_release_request_pad(s, src);
  gst_object_unref(src);
  gst_object_unref(sinkpad);
  GstBus *bus = gst_element_get_bus(pipe);
  GstMessage *err = gst_bus_timed_pop_filtered(bus, GST_SECOND / 5, GST_MESSAGE_ERROR);
  EXPECT_EQ(err, nullptr);
  if (err)
    gst_message_unref(err);
  gst_object_unref(bus);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(s);
  gst_object_unref(pipe);
}

}  // namespace
