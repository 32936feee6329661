// SPDX-License-Identifier: LGPL-2.1-or-later
// Decoder stand-ins: real encoders feed them, an appsink counts and inspects
// what comes out.
#include "soft_test_util.h"

#include <glib/gstdio.h>
#include <gst/video/gstvideodecoder.h>

#include <atomic>

#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

using namespace softtest;

namespace {

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { gst_init(nullptr, nullptr); }
};
::testing::Environment *const gst_env = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

struct DecCase {
  const char *decoder;
  const char *codec;  // "h264" or "h265"
};

std::string encoder_chain(const std::string &codec, const std::string &enc_opts = "")
{
  if (codec == "h264")
    return "x264enc speed-preset=ultrafast key-int-max=15 bframes=2 " + enc_opts + " ! h264parse";
  return "x265enc speed-preset=ultrafast key-int-max=15 " + enc_opts + " ! h265parse";
}

class DecoderTest : public ::testing::TestWithParam<DecCase> {};

TEST_P(DecoderTest, EveryFrameComesOutInOrderAsNV12)
{
  const DecCase &c = GetParam();
  const int n = 40;
  RunResult r = run_pipeline("videotestsrc num-buffers=" + std::to_string(n) +
                             " ! video/x-raw,format=I420,width=176,height=144,framerate=30/1 ! " +
                             encoder_chain(c.codec) + " ! " + c.decoder + " ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error << " " << r.error_debug;
  const auto &out = r.out();
  ASSERT_EQ((int)out.size(), n);
  GstClockTime last = GST_CLOCK_TIME_NONE;
  /* The encoders shift timestamps by a constant to keep DTS positive. */
  const GstClockTime base = GST_BUFFER_PTS(gst_sample_get_buffer(out[0].get()));
  for (int i = 0; i < n; i++) {
    Caps caps = caps_of(out[i]);
    EXPECT_EQ(caps.format, "NV12");
    EXPECT_EQ(caps.width, 176);
    EXPECT_EQ(caps.height, 144);
    EXPECT_FALSE(caps.gbm);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&caps.info), 30);
    GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(out[i].get()));
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(pts));
    /* videotestsrc stamps frame i at i/30 s: reordering must not mix them up. */
    EXPECT_EQ(pts - base, gst_util_uint64_scale(i, GST_SECOND, 30)) << "frame " << i;
    if (GST_CLOCK_TIME_IS_VALID(last)) {
      EXPECT_GT(pts, last);
    }
    last = pts;
  }
}

TEST_P(DecoderTest, SolidColourSurvivesAsNV12)
{
  const DecCase &c = GetParam();
  /* Pure blue: in BT.601 limited range Y=41, U=240, V=110, so a U/V swap or
   * a plane mix-up is obvious. */
  RunResult r = run_pipeline(
      std::string("videotestsrc num-buffers=5 pattern=solid-color foreground-color=0xff0000ff ! "
                  "video/x-raw,format=I420,width=128,height=96,framerate=30/1 ! ") +
      encoder_chain(c.codec) + " ! " + c.decoder + " ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 5u);
  FrameView v(r.out().back());
  ASSERT_TRUE(v.ok());
  for (int y : {0, 47, 95}) {
    for (int x : {0, 64, 127})
      EXPECT_NEAR(v.row(0, y)[x], 41, 4) << x << "," << y;
    const uint8_t *uv = v.row(1, y / 2);
    for (int x : {0, 32, 63}) {
      EXPECT_NEAR(uv[2 * x], 240, 4);
      EXPECT_NEAR(uv[2 * x + 1], 110, 4);
    }
  }
}

TEST_P(DecoderTest, GbmFeatureOnlyWhenDownstreamAsks)
{
  const DecCase &c = GetParam();
  std::string head = "videotestsrc num-buffers=3 ! video/x-raw,format=I420,width=64,height=64 ! " + encoder_chain(c.codec) +
                     " ! " + c.decoder;
  RunResult gbm = run_pipeline(head + " ! video/x-raw(memory:GBM),format=NV12 ! appsink name=out");
  ASSERT_TRUE(gbm.eos) << gbm.error;
  ASSERT_EQ(gbm.out().size(), 3u);
  EXPECT_TRUE(caps_of(gbm.out()[0]).gbm);
  EXPECT_EQ(caps_of(gbm.out()[0]).format, "NV12");

  RunResult sys = run_pipeline(head + " ! video/x-raw,format=NV12 ! appsink name=out");
  ASSERT_TRUE(sys.eos) << sys.error;
  ASSERT_EQ(sys.out().size(), 3u);
  EXPECT_FALSE(caps_of(sys.out()[0]).gbm);
}

INSTANTIATE_TEST_SUITE_P(AllDecoders, DecoderTest,
                         ::testing::Values(DecCase{"v4l2h264dec", "h264"}, DecCase{"qtivdec", "h264"},
                                           DecCase{"qtic2vdec", "h264"}, DecCase{"v4l2h265dec", "h265"},
                                           DecCase{"qtivdec", "h265"}, DecCase{"qtic2vdec", "h265"}),
                         [](const ::testing::TestParamInfo<DecCase> &i) {
                           return std::string(i.param.decoder) + "_" + i.param.codec;
                         });

class TempDir {
 public:
  TempDir() { path_ = g_dir_make_tmp("nmxsoft-XXXXXX", nullptr); }
  ~TempDir()
  {
    for (const auto &f : files_)
      g_unlink(f.c_str());
    g_rmdir(path_.c_str());
  }
  std::string file(const std::string &name)
  {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string read_file(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::string &data)
{
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), (std::streamsize)data.size());
}

bool encode_to_file(const std::string &path, int n, int w, int h, const std::string &codec = "h264")
{
  RunResult r = run_pipeline("videotestsrc num-buffers=" + std::to_string(n) + " ! video/x-raw,format=I420,width=" +
                             std::to_string(w) + ",height=" + std::to_string(h) + ",framerate=30/1 ! " +
                             encoder_chain(codec) + " ! video/x-" + codec +
                             ",stream-format=byte-stream,alignment=au ! filesink location=" + path);
  return r.eos;
}

TEST(DecoderStream, ResolutionChangeUpdatesOutputCaps)
{
  TempDir dir;
  std::string a = dir.file("a.h264"), b = dir.file("b.h264"), ab = dir.file("ab.h264");
  ASSERT_TRUE(encode_to_file(a, 10, 176, 144));
  ASSERT_TRUE(encode_to_file(b, 12, 320, 240));
  write_file(ab, read_file(a) + read_file(b));
  RunResult r = run_pipeline("filesrc location=" + ab + " ! h264parse ! v4l2h264dec ! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  ASSERT_EQ(r.out().size(), 22u);
  EXPECT_EQ(caps_of(r.out().front()).width, 176);
  EXPECT_EQ(caps_of(r.out()[9]).height, 144);
  EXPECT_EQ(caps_of(r.out()[10]).width, 320);
  EXPECT_EQ(caps_of(r.out().back()).height, 240);
  for (const auto &s : r.out()) {
    Caps c = caps_of(s);
    EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s.get())) >= (gsize)(c.width * c.height * 3 / 2), true);
  }
}

// rtph264pay with config-interval=-1 repeats the parameter sets before every slice of a
// key frame, so the parser cuts a multi-slice key frame into two buffers (what a
// GStreamer RTSP server sends). Every picture must still come out whole: the same
// frames as the stock libav decoder gives for the same bitstream sent without RTP.
TEST(DecoderStream, PicturesSplitOverBuffersDecodeWhole)
{
  RunResult r = run_pipeline(
      "videotestsrc num-buffers=45 pattern=ball ! video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! "
      "x264enc tune=zerolatency key-int-max=15 ! tee name=t "
      "t. ! queue ! rtph264pay config-interval=-1 ! rtph264depay ! h264parse ! v4l2h264dec ! "
      "video/x-raw,format=NV12 ! appsink name=out "
      "t. ! queue ! h264parse ! avdec_h264 ! videoconvert ! video/x-raw,format=NV12 ! appsink name=out_ref");
  ASSERT_TRUE(r.eos) << r.error << " " << r.error_debug;
  const auto &ours = r.out(), &ref = r.out("out_ref");
  ASSERT_EQ(ref.size(), 45u);
  ASSERT_EQ(ours.size(), ref.size());
  for (size_t i = 0; i < ours.size(); i++) {
    FrameView a(ours[i]), b(ref[i]);
    ASSERT_TRUE(a.ok() && b.ok());
    double diff = 0;
    for (int y = 0; y < 240; y++)
      for (int x = 0; x < 320; x++)
        diff += std::abs((int)a.row(0, y)[x] - (int)b.row(0, y)[x]);
    EXPECT_LT(diff / (320 * 240), 1.0) << "frame " << i;
  }
}

TEST(DecoderStream, TruncatedAccessUnitsNeverCrash)
{
  TempDir dir;
  for (const char *codec : {"h264", "h265"}) {
    std::string clean = dir.file(std::string("clean.") + codec), bad = dir.file(std::string("bad.") + codec);
    ASSERT_TRUE(encode_to_file(clean, 30, 176, 144, codec));
    std::string data = read_file(clean);
    ASSERT_GT(data.size(), 2000u);
    /* Cut holes into the stream and flip bytes: NAL units lose their tails
     * and headers, slices reference pictures that never arrived. */
    std::mt19937 rng(1234);
    std::string broken;
    for (size_t pos = 0; pos < data.size();) {
      size_t keep = 200 + rng() % 800;
      broken += data.substr(pos, keep);
      pos += keep + rng() % 300;
    }
    for (int i = 0; i < 50; i++)
      broken[rng() % broken.size()] ^= (char)(1 + rng() % 255);
    write_file(bad, broken);
    std::string dec = std::string(codec) == "h264" ? "v4l2h264dec" : "v4l2h265dec";
    for (const std::string &d : {dec, std::string("qtic2vdec")}) {
      RunResult r = run_pipeline("filesrc location=" + bad + " ! " + codec + "parse ! " + d +
                                 " ! video/x-raw,format=NV12 ! appsink name=out");
      EXPECT_FALSE(r.timed_out) << d;
      EXPECT_TRUE(r.eos || !r.error.empty()) << d;
      for (const auto &s : r.out())
        EXPECT_EQ(caps_of(s).format, "NV12");
    }
  }
}

TEST(DecoderStream, RandomBytesNeverCrash)
{
  for (const char *caps : {"video/x-h264", "video/x-h265"}) {
    std::mt19937 rng(99);
    std::vector<GstBuffer *> bufs;
    for (int i = 0; i < 60; i++) {
      size_t size = 1 + rng() % 4000;
      GstBuffer *b = gst_buffer_new_allocate(nullptr, size, nullptr);
      GstMapInfo m;
      gst_buffer_map(b, &m, GST_MAP_WRITE);
      for (size_t k = 0; k < size; k++)
        m.data[k] = (uint8_t)rng();
      /* Start codes so the decoder actually parses NAL headers. */
      if (size > 8 && i % 2 == 0) {
        m.data[0] = m.data[1] = m.data[2] = 0;
        m.data[3] = 1;
      }
      gst_buffer_unmap(b, &m);
      GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, 30);
      bufs.push_back(b);
    }
    RunOptions o;
    o.push = bufs;
    std::string dec = std::string(caps) == "video/x-h264" ? "v4l2h264dec" : "v4l2h265dec";
    RunResult r = run_pipeline(std::string("appsrc name=src format=time caps=\"") + caps +
                                   ",stream-format=byte-stream,alignment=au\" ! " + dec + " ! appsink name=out",
                               o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.eos || !r.error.empty());
  }
}

TEST(DecoderStream, FramesLibavNeverOutputsDoNotPileUp)
{
  /* 120 access units holding only an access unit delimiter: libav takes
   * them and never outputs a picture. Then a valid stream follows. */
  RunResult enc = run_pipeline("videotestsrc num-buffers=30 ! video/x-raw,format=I420,width=96,height=64,framerate=30/1 ! " +
                               encoder_chain("h264") + " ! video/x-h264,stream-format=byte-stream,alignment=au ! "
                               "appsink name=out");
  ASSERT_TRUE(enc.eos) << enc.error;
  ASSERT_EQ(enc.out().size(), 30u);
  gchar *caps = gst_caps_to_string(gst_sample_get_caps(enc.out()[0].get()));
  std::string caps_str = caps;
  g_free(caps);

  RunOptions o;
  const int n_aud = 120;
  for (int i = 0; i < n_aud; i++) {
    static const guint8 aud[] = {0, 0, 0, 1, 0x09, 0xf0};
    GstBuffer *b = gst_buffer_new_memdup(aud, sizeof(aud));
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, 30);
    o.push.push_back(b);
  }
  for (size_t i = 0; i < enc.out().size(); i++) {
    GstBuffer *b = gst_buffer_copy(gst_sample_get_buffer(enc.out()[i].get()));
    GST_BUFFER_PTS(b) = gst_util_uint64_scale(n_aud + i, GST_SECOND, 30);
    GST_BUFFER_DTS(b) = GST_CLOCK_TIME_NONE;
    o.push.push_back(b);
  }
  static std::atomic<guint> max_pending;
  max_pending = 0;
  o.setup = [](GstElement *pipe) {
    GstElement *dec = gst_bin_get_by_name(GST_BIN(pipe), "dec");
    GstPad *src = gst_element_get_static_pad(dec, "src");
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER,
                      [](GstPad *pad, GstPadProbeInfo *, gpointer) -> GstPadProbeReturn {
                        GstVideoDecoder *d = GST_VIDEO_DECODER(gst_pad_get_parent_element(pad));
                        GList *frames = gst_video_decoder_get_frames(d);
                        guint n = g_list_length(frames);
                        g_list_free_full(frames, (GDestroyNotify)gst_video_codec_frame_unref);
                        if (n > max_pending)
                          max_pending = n;
                        gst_object_unref(d);
                        return GST_PAD_PROBE_OK;
                      },
                      nullptr, nullptr);
    gst_object_unref(src);
    gst_object_unref(dec);
  };
  RunResult r = run_pipeline("appsrc name=src format=time caps=\"" + caps_str + "\" ! v4l2h264dec name=dec ! "
                             "appsink name=out", o);
  ASSERT_TRUE(r.eos) << r.error;
  EXPECT_EQ(r.out().size(), 30u);
  /* Bounded by the reorder depth plus frame threads, not by the 120 swallowed. */
  EXPECT_GT(max_pending.load(), 0u);
  EXPECT_LT(max_pending.load(), 60u);
}

TEST(DecoderErrors, DecodeErrorsAreNotFatalWithUnlimitedMaxErrors)
{
  /* Slice NAL units full of noise after a start code: libav rejects them. */
  auto garbage = [] {
    std::mt19937 rng(5);
    std::vector<GstBuffer *> bufs;
    for (int i = 0; i < 40; i++) {
      GstBuffer *b = gst_buffer_new_allocate(nullptr, 600, nullptr);
      GstMapInfo m;
      gst_buffer_map(b, &m, GST_MAP_WRITE);
      for (gsize k = 0; k < m.size; k++)
        m.data[k] = (uint8_t)rng();
      m.data[0] = m.data[1] = m.data[2] = 0;
      m.data[3] = 1;
      m.data[4] = 0x65;  // IDR slice header byte
      gst_buffer_unmap(b, &m);
      GST_BUFFER_PTS(b) = gst_util_uint64_scale(i, GST_SECOND, 30);
      bufs.push_back(b);
    }
    return bufs;
  };
  const std::string head = "appsrc name=src format=time caps=\"video/x-h264,stream-format=byte-stream,alignment=au\" ! ";
  /* libav's frame threads report such errors late or not at all, so only
   * the lenient side is deterministic: whatever libav says, max-errors=-1
   * must not turn it into a fatal decode error. The base class may still
   * complain that nothing decodable arrived. */
  RunOptions lenient;
  lenient.push = garbage();
  RunResult l = run_pipeline(head + "v4l2h264dec max-errors=-1 ! appsink name=out", lenient);
  EXPECT_FALSE(l.timed_out);
  EXPECT_EQ(l.error.find("Decoding failed"), std::string::npos) << l.error;
  EXPECT_TRUE(l.eos || l.error.find("No valid frames") != std::string::npos) << l.error;
}

TEST(DecoderErrors, FailAfterBuffersPostsBusError)
{
  RunResult r = run_pipeline("videotestsrc num-buffers=30 ! video/x-raw,format=I420,width=64,height=64 ! " +
                             encoder_chain("h264") + " ! v4l2h264dec fail-after-buffers=5 ! appsink name=out");
  EXPECT_FALSE(r.eos);
  EXPECT_NE(r.error.find("injected failure"), std::string::npos) << r.error;
  EXPECT_LE(r.out().size(), 5u);
}

TEST(DecoderErrors, FailAfterBuffersDefaultsFromEnvironment)
{
  g_setenv("NMXSOFT_FAIL_AFTER_BUFFERS", "3", TRUE);
  GstElement *dec = gst_element_factory_make("qtivdec", nullptr);
  g_unsetenv("NMXSOFT_FAIL_AFTER_BUFFERS");
  ASSERT_TRUE(dec);
  int v = 0;
  g_object_get(dec, "fail-after-buffers", &v, NULL);
  EXPECT_EQ(v, 3);
  gst_object_unref(dec);

  g_setenv("NMXSOFT_FAIL_AFTER_BUFFERS", "4", TRUE);
  RunResult r = run_pipeline("videotestsrc num-buffers=30 ! video/x-raw,format=I420,width=64,height=64 ! " +
                             encoder_chain("h265") + " ! qtic2vdec ! appsink name=out");
  g_unsetenv("NMXSOFT_FAIL_AFTER_BUFFERS");
  EXPECT_NE(r.error.find("injected failure"), std::string::npos) << r.error;

  GstElement *plain = gst_element_factory_make("qtivdec", nullptr);
  g_object_get(plain, "fail-after-buffers", &v, NULL);
  EXPECT_EQ(v, 0);
  gst_object_unref(plain);
}

TEST(DecoderErrors, TenBitStreamIsAClearError)
{
  RunResult r = run_pipeline("videotestsrc num-buffers=5 ! video/x-raw,format=I420_10LE,width=64,height=64 ! "
                             "x264enc ! h264parse ! v4l2h264dec ! appsink name=out");
  EXPECT_FALSE(r.eos);
  EXPECT_NE(r.error.find("unsupported pixel format"), std::string::npos) << r.error;
  EXPECT_TRUE(r.out().empty());
}

TEST(DecoderErrors, WrongCodecForDecoderDoesNotLink)
{
  RunResult r = run_pipeline("videotestsrc num-buffers=5 ! video/x-raw,format=I420,width=64,height=64 ! " +
                             encoder_chain("h265") + " ! v4l2h264dec ! appsink name=out");
  EXPECT_FALSE(r.eos);
  EXPECT_FALSE(r.error.empty());
}

TEST(DecoderProperties, IoModesAcceptNumbersAndNicks)
{
  GstElement *dec = gst_element_factory_make("v4l2h264dec", nullptr);
  ASSERT_TRUE(dec);
  g_object_set(dec, "capture-io-mode", 4, "output-io-mode", 2, "discard-corrupted-frames", TRUE, NULL);
  int cap = -1, outm = -1;
  gboolean discard = FALSE;
  g_object_get(dec, "capture-io-mode", &cap, "output-io-mode", &outm, "discard-corrupted-frames", &discard, NULL);
  EXPECT_EQ(cap, 4);
  EXPECT_EQ(outm, 2);
  EXPECT_TRUE(discard);
  gst_util_set_object_arg(G_OBJECT(dec), "capture-io-mode", "dmabuf-import");
  g_object_get(dec, "capture-io-mode", &cap, NULL);
  EXPECT_EQ(cap, 5);
  gst_object_unref(dec);

  /* qti decoders have no V4L2 knobs. */
  GstElement *q = gst_element_factory_make("qtivdec", nullptr);
  EXPECT_EQ(g_object_class_find_property(G_OBJECT_GET_CLASS(q), "capture-io-mode"), nullptr);
  gst_object_unref(q);

  RunResult r = run_pipeline("videotestsrc num-buffers=10 ! video/x-raw,format=I420,width=64,height=64 ! " +
                             encoder_chain("h264") +
                             " ! v4l2h264dec capture-io-mode=dmabuf output-io-mode=3 discard-corrupted-frames=true "
                             "! appsink name=out");
  ASSERT_TRUE(r.eos) << r.error;
  EXPECT_EQ(r.out().size(), 10u);
}

TEST(DecoderConcurrency, ParallelPipelinesStayIndependent)
{
  std::vector<RunResult> results(3);
  std::vector<std::thread> threads;
  const char *decs[] = {"v4l2h264dec", "qtivdec", "v4l2h265dec"};
  const char *codecs[] = {"h264", "h264", "h265"};
  for (int i = 0; i < 3; i++) {
    threads.emplace_back([&, i] {
      results[i] = run_pipeline("videotestsrc num-buffers=" + std::to_string(20 + i) +
                                " ! video/x-raw,format=I420,width=96,height=64 ! " + encoder_chain(codecs[i]) + " ! " +
                                decs[i] + " ! appsink name=out");
    });
  }
  for (auto &t : threads)
    t.join();
  for (int i = 0; i < 3; i++) {
    EXPECT_TRUE(results[i].eos) << results[i].error;
    EXPECT_EQ((int)results[i].out().size(), 20 + i);
  }
}

TEST(DecoderStream, SeekFlushesAndRestarts)
{
  TempDir dir;
  std::string f = dir.file("seek.mp4");
  RunResult enc = run_pipeline("videotestsrc num-buffers=60 ! video/x-raw,format=I420,width=128,height=96,framerate=30/1 ! " +
                               encoder_chain("h264") + " ! mp4mux ! filesink location=" + f);
  ASSERT_TRUE(enc.eos) << enc.error;

  GstElement *pipe = gst_parse_launch(("filesrc location=" + f +
                                       " ! qtdemux ! h264parse ! v4l2h264dec ! appsink name=out sync=false")
                                          .c_str(),
                                      nullptr);
  ASSERT_TRUE(pipe);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipe), "out");
  gst_element_set_state(pipe, GST_STATE_PAUSED);
  ASSERT_EQ(gst_element_get_state(pipe, nullptr, nullptr, 30 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
  ASSERT_TRUE(gst_element_seek_simple(pipe, GST_FORMAT_TIME,
                                      (GstSeekFlags)(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), GST_SECOND));
  gst_element_set_state(pipe, GST_STATE_PLAYING);
  int count = 0;
  GstClockTime first = GST_CLOCK_TIME_NONE;
  while (GstSample *s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 30 * GST_SECOND)) {
    if (!GST_CLOCK_TIME_IS_VALID(first))
      first = GST_BUFFER_PTS(gst_sample_get_buffer(s));
    count++;
    gst_sample_unref(s);
  }
  EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink)));
  /* Key-unit seek to 1 s with an IDR every 15 frames lands on the IDR at
   * 1 s; the container's B-frame edit list may clip its first picture. */
  EXPECT_GE(first, GST_SECOND - GST_SECOND / 10);
  EXPECT_LE(first, GST_SECOND + GST_SECOND / 10);
  EXPECT_GE(count, 28);
  EXPECT_LE(count, 30);
  gst_element_set_state(pipe, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipe);
}

}  // namespace
