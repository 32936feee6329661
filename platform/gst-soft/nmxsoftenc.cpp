// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtic2venc, v4l2h264enc, v4l2h265enc: H.264 (libx264) and H.265 (libx265)
 * encoders standing in for the board's hardware encoders. qtic2venc picks the
 * codec from what downstream accepts.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=60 ! video/x-raw,format=NV12 ! \
 *       qtic2venc target-bitrate=2000000 ! video/x-h265 ! h265parse ! fakesink
 */
#include "nmxsoftenc.h"

#include "common.h"

#include <gst/video/video.h>
#include <libyuv.h>
#include <x264.h>
#include <x265.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_enc_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_enc_debug

enum {
  PROP_0,
  PROP_TARGET_BITRATE,
  PROP_B_FRAMES,
  PROP_IDR_INTERVAL,
  PROP_CAPTURE_IO_MODE,
  PROP_OUTPUT_IO_MODE,
  PROP_CROP_BOTTOM,
};

#define DEFAULT_TARGET_BITRATE 4000000u
#define DEFAULT_B_FRAMES 0u
#define MAX_B_FRAMES 16u
#define DEFAULT_IDR_INTERVAL 30u
#define DEFAULT_IO_MODE NMX_SOFT_IO_MODE_AUTO
/* The v4l2 encoders have no IDR property; the board's driver default. */
#define V4L2_GOP 30u
/* Lets the base class shift timestamps so DTS never goes below zero with B-frames. */
#define MIN_PTS (GST_SECOND * 60 * 60 * 1000)


#define ENC_SINK_CAPS NMX_SOFT_RAW_CAPS("{ NV12, I420 }")
#define H264_SRC_CAPS                                                                 \
  "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au, "           \
  "width=(int)[16,8192], height=(int)[16,8192], framerate=(fraction)[0/1,2147483647/1], " \
  "profile=(string){ constrained-baseline, baseline, main, high }"
#define H265_SRC_CAPS                                                                 \
  "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au, "           \
  "width=(int)[16,8192], height=(int)[16,8192], framerate=(fraction)[0/1,2147483647/1], " \
  "profile=(string)main"

struct EncClassData {
  const char *type_name;
  guint codecs;
  bool qti;  // qtic2venc property set (idr-interval) vs v4l2 (io modes)
  const char *long_name;
};

static const EncClassData qtic2venc_data = {"GstNmxSoftQtiC2VEnc", NMX_SOFT_CODEC_H264 | NMX_SOFT_CODEC_H265, true,
                                            "Codec2 video encoder (soft qtic2venc)"};
static const EncClassData v4l2h264enc_data = {"GstNmxSoftV4l2H264Enc", NMX_SOFT_CODEC_H264, false,
                                              "V4L2 H.264 encoder (soft)"};
static const EncClassData v4l2h265enc_data = {"GstNmxSoftV4l2H265Enc", NMX_SOFT_CODEC_H265, false,
                                              "V4L2 H.265 encoder (soft)"};

struct EncSettings {
  guint bitrate = DEFAULT_TARGET_BITRATE;
  guint b_frames = DEFAULT_B_FRAMES;
  guint idr_interval = DEFAULT_IDR_INTERVAL;
  int capture_io_mode = DEFAULT_IO_MODE;
  int output_io_mode = DEFAULT_IO_MODE;
  guint crop_bottom = 0;
};

struct NmxEncPrivate {
  std::mutex lock;  // guards settings
  EncSettings settings;

  // Negotiated in set_format, dropped in stop.
  GstVideoCodecState *input_state = nullptr;
  guint codec = 0;
  std::string profile;  // as written in the output caps
  guint b_frames = 0;   // fixed for the life of an encoder instance
  guint crop_bottom = 0;  // padding rows below the picture, fixed per caps
  bool reopen = false;  // after drain or flush the libraries need a fresh encoder
  guint64 pictures_out = 0;  // encoded pictures handed downstream

  x264_t *x264 = nullptr;
  x264_param_t x264_param{};
  x265_encoder *x265 = nullptr;
  x265_param *x265p = nullptr;
  x265_picture *x265_pic = nullptr;
  std::vector<uint8_t> i420;  // x265 takes planar input only
  guint current_bitrate = 0;

  // Input timestamps by system_frame_number, to turn the libraries' DTS
  // (counted in input frames) back into times.
  std::map<int64_t, GstClockTime> pts_of;
};

typedef struct {
  GstVideoEncoder parent;
  NmxEncPrivate *priv;
} GstNmxSoftEnc;

typedef struct {
  GstVideoEncoderClass parent_class;
  const EncClassData *data;
} GstNmxSoftEncClass;

#define NMX_ENC(obj) ((GstNmxSoftEnc *)(obj))
#define NMX_ENC_GET_CLASS(obj) ((GstNmxSoftEncClass *)G_OBJECT_GET_CLASS(obj))

static GstVideoEncoderClass *parent_class = nullptr;

static EncSettings snapshot_settings(GstNmxSoftEnc *self)
{
  std::lock_guard<std::mutex> l(self->priv->lock);
  return self->priv->settings;
}

static void close_encoder(NmxEncPrivate *priv)
{
  if (priv->x264) {
    x264_encoder_close(priv->x264);
    priv->x264 = nullptr;
  }
  if (priv->x265) {
    x265_encoder_close(priv->x265);
    priv->x265 = nullptr;
  }
  if (priv->x265_pic) {
    x265_picture_free(priv->x265_pic);
    priv->x265_pic = nullptr;
  }
  if (priv->x265p) {
    x265_param_free(priv->x265p);
    priv->x265p = nullptr;
  }
  priv->pts_of.clear();
}

static int thread_count() { return (int)std::min<guint>(std::max<guint>(g_get_num_processors(), 1), 16); }

static guint gop_length(GstNmxSoftEnc *self, const EncSettings &s)
{
  if (!NMX_ENC_GET_CLASS(self)->data->qti)
    return V4L2_GOP;
  return s.idr_interval;
}

/* Rows of padding below the picture that the stream marks as cropped:
 * whole chroma rows (4:2:0), and never the whole picture. */
static guint usable_crop_bottom(GstNmxSoftEnc *self, guint crop, int height)
{
  if (crop == 0)
    return 0;
  guint even = crop & ~1u;
  if (height - (int)even < 16) {
    GST_WARNING_OBJECT(self, "crop-bottom %u leaves less than 16 of %d rows; not cropping", crop, height);
    return 0;
  }
  if (even != crop)
    GST_WARNING_OBJECT(self, "crop-bottom %u rounded down to %u (whole chroma rows)", crop, even);
  return even;
}

/* The colour description written into the stream: what the input caps say,
 * so that a player converts back with the matrix and range the frames were
 * made with. Codes of H.273. */
struct ColourVui {
  int primaries = 2, transfer = 2, matrix = 2;  // 2: unspecified
  bool full_range = false;
  bool described = false;
};

static ColourVui colour_vui(const GstVideoInfo *info)
{
  ColourVui v;
  const GstVideoColorimetry *c = &info->colorimetry;
  v.full_range = c->range == GST_VIDEO_COLOR_RANGE_0_255;
  v.matrix = (int)gst_video_color_matrix_to_iso(c->matrix);
  v.transfer = (int)gst_video_transfer_function_to_iso(c->transfer);
  v.primaries = (int)gst_video_color_primaries_to_iso(c->primaries);
  /* Unknown parts stay unspecified (2); 0 is not a valid code for them. */
  if (v.matrix <= 0)
    v.matrix = 2;
  if (v.transfer <= 0)
    v.transfer = 2;
  if (v.primaries <= 0)
    v.primaries = 2;
  v.described = v.matrix != 2 || v.transfer != 2 || v.primaries != 2;
  return v;
}

static bool open_x264(GstNmxSoftEnc *self, const EncSettings &s)
{
  NmxEncPrivate *priv = self->priv;
  const GstVideoInfo *info = &priv->input_state->info;
  x264_param_t *p = &priv->x264_param;
  /* zerolatency drops lookahead and frame reordering latency; frame threads
   * are put back because sliced threads scale worse on 1080p. */
  x264_param_default_preset(p, "superfast", "zerolatency");
  p->b_sliced_threads = 0;
  p->i_threads = thread_count();
  p->i_log_level = X264_LOG_ERROR;
  p->i_width = GST_VIDEO_INFO_WIDTH(info);
  p->i_height = GST_VIDEO_INFO_HEIGHT(info);
  p->i_csp = GST_VIDEO_INFO_FORMAT(info) == GST_VIDEO_FORMAT_NV12 ? X264_CSP_NV12 : X264_CSP_I420;
  p->i_fps_num = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_N(info) : 30;
  p->i_fps_den = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_D(info) : 1;
  p->b_vfr_input = 0;
  p->i_bframe = (int)priv->b_frames;
  p->i_bframe_adaptive = X264_B_ADAPT_NONE;
  p->i_bframe_pyramid = X264_B_PYRAMID_NONE;
  guint gop = gop_length(self, s);
  p->i_keyint_max = gop > 0 ? (int)gop : X264_KEYINT_MAX_INFINITE;
  p->i_scenecut_threshold = 0;
  p->b_open_gop = 0;
  p->rc.i_rc_method = X264_RC_ABR;
  p->rc.i_bitrate = std::max<int>(1, (int)(s.bitrate / 1000));
  p->rc.i_vbv_max_bitrate = p->rc.i_bitrate;
  p->rc.i_vbv_buffer_size = p->rc.i_bitrate;
  p->b_repeat_headers = 1;
  p->b_annexb = 1;
  p->b_aud = 0;
  const ColourVui vui = colour_vui(info);
  if (vui.described) {
    p->vui.i_colorprim = vui.primaries;
    p->vui.i_transfer = vui.transfer;
    p->vui.i_colmatrix = vui.matrix;
  }
  p->vui.b_fullrange = vui.full_range;
  /* Padding rows (added for encoders that need aligned rows) are cropped
   * away in the stream: players show the picture's own size. */
  p->crop_rect.i_bottom = (int)priv->crop_bottom;
  const char *x264_profile = priv->profile == "constrained-baseline" ? "baseline" : priv->profile.c_str();
  if (x264_param_apply_profile(p, x264_profile) < 0) {
    GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, ("Unsupported H.264 profile %s", priv->profile.c_str()), (NULL));
    return false;
  }
  priv->x264 = x264_encoder_open(p);
  if (!priv->x264) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("Failed to open the H.264 encoder"),
                      ("x264_encoder_open failed for %dx%d", p->i_width, p->i_height));
    return false;
  }
  priv->current_bitrate = s.bitrate;
  return true;
}

static bool open_x265(GstNmxSoftEnc *self, const EncSettings &s)
{
  NmxEncPrivate *priv = self->priv;
  const GstVideoInfo *info = &priv->input_state->info;
  x265_param *p = x265_param_alloc();
  priv->x265p = p;
  if (x265_param_default_preset(p, "ultrafast", "zerolatency") < 0)
    return false;
  p->logLevel = X265_LOG_ERROR;
  p->frameNumThreads = thread_count();
  p->sourceWidth = GST_VIDEO_INFO_WIDTH(info);
  /* x265 takes the picture without the padding rows below it and writes the
   * conformance window for its own alignment: the stream shows the picture's
   * own size. The rows below are simply not read. */
  p->sourceHeight = GST_VIDEO_INFO_HEIGHT(info) - (int)priv->crop_bottom;
  p->internalCsp = X265_CSP_I420;
  p->fpsNum = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_N(info) : 30;
  p->fpsDenom = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_D(info) : 1;
  p->bframes = (int)priv->b_frames;
  p->bBPyramid = 0;
  /* x265 wants the lookahead strictly longer than a run of B-frames. */
  p->lookaheadDepth = priv->b_frames > 0 ? (int)priv->b_frames + 1 : 0;
  guint gop = gop_length(self, s);
  p->keyframeMax = gop > 0 ? (int)gop : (1 << 30);
  p->bOpenGOP = 0;
  p->scenecutThreshold = 0;
  p->rc.rateControlMode = X265_RC_ABR;
  p->rc.bitrate = std::max<int>(1, (int)(s.bitrate / 1000));
  p->rc.vbvMaxBitrate = p->rc.bitrate;
  p->rc.vbvBufferSize = p->rc.bitrate;
  p->bRepeatHeaders = 1;
  p->bAnnexB = 1;
  p->bEmitInfoSEI = 0;
  const ColourVui vui = colour_vui(info);
  p->vui.bEnableVideoSignalTypePresentFlag = 1;
  p->vui.videoFormat = 5;  // unspecified
  p->vui.bEnableVideoFullRangeFlag = vui.full_range;
  if (vui.described) {
    p->vui.bEnableColorDescriptionPresentFlag = 1;
    p->vui.colorPrimaries = vui.primaries;
    p->vui.transferCharacteristics = vui.transfer;
    p->vui.matrixCoeffs = vui.matrix;
  }
  if (x265_param_apply_profile(p, "main") < 0)
    return false;
  priv->x265 = x265_encoder_open(p);
  if (!priv->x265) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("Failed to open the H.265 encoder"),
                      ("x265_encoder_open failed for %dx%d", p->sourceWidth, p->sourceHeight));
    return false;
  }
  priv->x265_pic = x265_picture_alloc();
  x265_picture_init(p, priv->x265_pic);
  priv->current_bitrate = s.bitrate;
  return true;
}

static bool open_encoder(GstNmxSoftEnc *self, const EncSettings &s)
{
  close_encoder(self->priv);
  self->priv->reopen = false;
  return self->priv->codec == NMX_SOFT_CODEC_H264 ? open_x264(self, s) : open_x265(self, s);
}

/* Picks the first value of a "profile" field we can produce, or the default
 * when downstream does not care. Empty result: nothing acceptable. */
static std::string choose_profile(const GstStructure *s, guint codec)
{
  static const char *h264[] = {"constrained-baseline", "baseline", "main", "high"};
  auto supported = [codec](const char *p) {
    if (codec == NMX_SOFT_CODEC_H265)
      return g_strcmp0(p, "main") == 0;
    for (const char *q : h264)
      if (g_strcmp0(p, q) == 0)
        return true;
    return false;
  };
  const GValue *v = gst_structure_get_value(s, "profile");
  if (!v)
    return codec == NMX_SOFT_CODEC_H264 ? "high" : "main";
  if (G_VALUE_HOLDS_STRING(v))
    return supported(g_value_get_string(v)) ? g_value_get_string(v) : "";
  if (GST_VALUE_HOLDS_LIST(v)) {
    /* A list is downstream leaving the choice to us: our default if allowed. */
    const char *def = codec == NMX_SOFT_CODEC_H264 ? "high" : "main";
    for (guint i = 0; i < gst_value_list_get_size(v); i++) {
      const GValue *item = gst_value_list_get_value(v, i);
      if (G_VALUE_HOLDS_STRING(item) && g_strcmp0(g_value_get_string(item), def) == 0)
        return def;
    }
    for (guint i = 0; i < gst_value_list_get_size(v); i++) {
      const GValue *item = gst_value_list_get_value(v, i);
      if (G_VALUE_HOLDS_STRING(item) && supported(g_value_get_string(item)))
        return g_value_get_string(item);
    }
  }
  return "";
}

static GstFlowReturn gst_nmx_soft_enc_finish(GstVideoEncoder *encoder);

static gboolean gst_nmx_soft_enc_set_format(GstVideoEncoder *encoder, GstVideoCodecState *state)
{
  GstNmxSoftEnc *self = NMX_ENC(encoder);
  NmxEncPrivate *priv = self->priv;
  const EncClassData *data = NMX_ENC_GET_CLASS(self)->data;

  GstCaps *allowed = gst_pad_get_allowed_caps(GST_VIDEO_ENCODER_SRC_PAD(encoder));
  if (!allowed || gst_caps_is_empty(allowed)) {
    gst_clear_caps(&allowed);
    GST_ERROR_OBJECT(self, "downstream accepts none of our formats");
    return FALSE;
  }
  /* H.264 whenever downstream takes it, H.265 otherwise. */
  guint codec = 0;
  const GstStructure *chosen = nullptr;
  for (guint want : {NMX_SOFT_CODEC_H264, NMX_SOFT_CODEC_H265}) {
    if (!(data->codecs & want))
      continue;
    const char *name = want == NMX_SOFT_CODEC_H264 ? "video/x-h264" : "video/x-h265";
    for (guint i = 0; i < gst_caps_get_size(allowed) && !chosen; i++) {
      if (gst_structure_has_name(gst_caps_get_structure(allowed, i), name))
        chosen = gst_caps_get_structure(allowed, i);
    }
    if (chosen) {
      codec = want;
      break;
    }
  }
  if (!chosen) {
    gst_caps_unref(allowed);
    GST_ERROR_OBJECT(self, "downstream accepts neither H.264 nor H.265");
    return FALSE;
  }
  std::string profile = choose_profile(chosen, codec);
  gst_caps_unref(allowed);
  if (profile.empty()) {
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Downstream asks for a profile this encoder cannot produce"),
                      (NULL));
    return FALSE;
  }
  int w = GST_VIDEO_INFO_WIDTH(&state->info), h = GST_VIDEO_INFO_HEIGHT(&state->info);
  if (w % 2 || h % 2) {
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Frame size %dx%d is not even", w, h),
                      ("4:2:0 encoding needs even dimensions"));
    return FALSE;
  }

  /* New caps mid-stream: what the old encoder still holds goes out first,
   * under the old caps. */
  if (priv->x264 || priv->x265)
    gst_nmx_soft_enc_finish(encoder);
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  priv->input_state = gst_video_codec_state_ref(state);
  priv->codec = codec;
  priv->profile = profile;
  EncSettings s = snapshot_settings(self);
  /* Baseline has no B-frames; x264 would drop them anyway, but DTS handling
   * must know. */
  priv->b_frames = (codec == NMX_SOFT_CODEC_H264 && profile.find("baseline") != std::string::npos) ? 0 : s.b_frames;
  priv->crop_bottom = usable_crop_bottom(self, s.crop_bottom, h);
  if (!open_encoder(self, s))
    return FALSE;

  GstCaps *caps = gst_caps_new_simple(codec == NMX_SOFT_CODEC_H264 ? "video/x-h264" : "video/x-h265", "stream-format",
                                      G_TYPE_STRING, "byte-stream", "alignment", G_TYPE_STRING, "au", "profile",
                                      G_TYPE_STRING, profile.c_str(), NULL);
  GstVideoCodecState *out = gst_video_encoder_set_output_state(encoder, caps, state);
  /* The stream's size is the cropped picture. */
  GST_VIDEO_INFO_HEIGHT(&out->info) = h - (int)priv->crop_bottom;
  gst_video_codec_state_unref(out);

  int fps_n = GST_VIDEO_INFO_FPS_N(&state->info) > 0 ? GST_VIDEO_INFO_FPS_N(&state->info) : 30;
  int fps_d = GST_VIDEO_INFO_FPS_N(&state->info) > 0 ? GST_VIDEO_INFO_FPS_D(&state->info) : 1;
  GstClockTime latency = gst_util_uint64_scale(thread_count() + priv->b_frames, GST_SECOND * fps_d, fps_n);
  gst_video_encoder_set_latency(encoder, latency, latency);
  GST_INFO_OBJECT(self, "encoding %dx%d (%u rows cropped) as %s profile %s, %u b-frames", w, h, priv->crop_bottom,
                  codec == NMX_SOFT_CODEC_H264 ? "H.264" : "H.265", profile.c_str(), priv->b_frames);
  return gst_video_encoder_negotiate(encoder);
}

static GstClockTime time_of(NmxEncPrivate *priv, int64_t n)
{
  auto it = priv->pts_of.find(n);
  if (it != priv->pts_of.end())
    return it->second;
  if (priv->pts_of.empty())
    return GST_CLOCK_TIME_NONE;
  /* Before the first frame (B-frame lead-in): extrapolate at the frame rate. */
  auto first = priv->pts_of.begin();
  if (n < first->first && GST_CLOCK_TIME_IS_VALID(first->second)) {
    const GstVideoInfo *info = &priv->input_state->info;
    int fps_n = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_N(info) : 30;
    int fps_d = GST_VIDEO_INFO_FPS_N(info) > 0 ? GST_VIDEO_INFO_FPS_D(info) : 1;
    GstClockTime back = gst_util_uint64_scale((guint64)(first->first - n), GST_SECOND * fps_d, fps_n);
    return first->second >= back ? first->second - back : 0;
  }
  return GST_CLOCK_TIME_NONE;
}

static GstFlowReturn push_output(GstNmxSoftEnc *self, int64_t sfn, int64_t dts_n, bool keyframe,
                                 const uint8_t *data, size_t size)
{
  NmxEncPrivate *priv = self->priv;
  GstVideoEncoder *encoder = GST_VIDEO_ENCODER(self);
  GstVideoCodecFrame *frame = gst_video_encoder_get_frame(encoder, (int)sfn);
  if (!frame) {
    GST_WARNING_OBJECT(self, "encoded picture %" G_GINT64_FORMAT " has no pending frame", sfn);
    return GST_FLOW_OK;
  }
  priv->pictures_out++;
  frame->output_buffer = gst_video_encoder_allocate_output_buffer(encoder, size);
  gst_buffer_fill(frame->output_buffer, 0, data, size);
  if (keyframe)
    GST_VIDEO_CODEC_FRAME_SET_SYNC_POINT(frame);
  else
    GST_VIDEO_CODEC_FRAME_UNSET_SYNC_POINT(frame);
  frame->dts = priv->b_frames > 0 ? time_of(priv, dts_n) : frame->pts;
  if (!GST_CLOCK_TIME_IS_VALID(frame->dts) || frame->dts > frame->pts)
    frame->dts = frame->pts;
  /* Keep enough history for the DTS lag of the reorder buffer. */
  while (!priv->pts_of.empty() && priv->pts_of.begin()->first < std::min(sfn, dts_n) - 64)
    priv->pts_of.erase(priv->pts_of.begin());
  return gst_video_encoder_finish_frame(encoder, frame);
}

static GstFlowReturn encode_x264(GstNmxSoftEnc *self, x264_picture_t *pic_in)
{
  NmxEncPrivate *priv = self->priv;
  x264_nal_t *nals = nullptr;
  int n_nals = 0;
  x264_picture_t pic_out;
  x264_picture_init(&pic_out);
  int size = x264_encoder_encode(priv->x264, &nals, &n_nals, pic_in, &pic_out);
  if (size < 0) {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, ("Encoding failed"), ("x264_encoder_encode returned %d", size));
    return GST_FLOW_ERROR;
  }
  if (size == 0)
    return GST_FLOW_OK;
  /* x264 guarantees the payloads of one call are contiguous. */
  return push_output(self, pic_out.i_pts, pic_out.i_dts, pic_out.b_keyframe, nals[0].p_payload, (size_t)size);
}

static GstFlowReturn encode_x265(GstNmxSoftEnc *self, x265_picture *pic_in)
{
  NmxEncPrivate *priv = self->priv;
  x265_nal *nals = nullptr;
  uint32_t n_nals = 0;
  x265_picture pic_out;
  x265_picture_init(priv->x265p, &pic_out);
  int ret = x265_encoder_encode(priv->x265, &nals, &n_nals, pic_in, &pic_out);
  if (ret < 0) {
    GST_ELEMENT_ERROR(self, STREAM, ENCODE, ("Encoding failed"), ("x265_encoder_encode returned %d", ret));
    return GST_FLOW_ERROR;
  }
  if (ret == 0 || n_nals == 0)
    return GST_FLOW_OK;
  size_t size = 0;
  for (uint32_t i = 0; i < n_nals; i++)
    size += nals[i].sizeBytes;
  bool key = pic_out.sliceType == X265_TYPE_IDR || pic_out.sliceType == X265_TYPE_I;
  return push_output(self, pic_out.pts, pic_out.dts, key, nals[0].payload, size);
}

static void maybe_update_bitrate(GstNmxSoftEnc *self, guint bitrate)
{
  NmxEncPrivate *priv = self->priv;
  if (bitrate == priv->current_bitrate)
    return;
  int kbps = std::max<int>(1, (int)(bitrate / 1000));
  int ret = -1;
  if (priv->x264) {
    priv->x264_param.rc.i_bitrate = priv->x264_param.rc.i_vbv_max_bitrate = priv->x264_param.rc.i_vbv_buffer_size =
        kbps;
    ret = x264_encoder_reconfig(priv->x264, &priv->x264_param);
  } else if (priv->x265) {
    priv->x265p->rc.bitrate = priv->x265p->rc.vbvMaxBitrate = kbps;
    ret = x265_encoder_reconfig(priv->x265, priv->x265p);
  }
  GST_DEBUG_OBJECT(self, "bitrate %u -> %u: %s", priv->current_bitrate, bitrate, ret < 0 ? "rejected" : "applied");
  priv->current_bitrate = bitrate;
}

static GstFlowReturn gst_nmx_soft_enc_handle_frame(GstVideoEncoder *encoder, GstVideoCodecFrame *frame)
{
  GstNmxSoftEnc *self = NMX_ENC(encoder);
  NmxEncPrivate *priv = self->priv;
  EncSettings s = snapshot_settings(self);
  if (!priv->input_state) {
    gst_video_codec_frame_unref(frame);
    return GST_FLOW_NOT_NEGOTIATED;
  }
  if ((priv->reopen || (!priv->x264 && !priv->x265)) && !open_encoder(self, s)) {
    gst_video_codec_frame_unref(frame);
    return GST_FLOW_ERROR;
  }
  maybe_update_bitrate(self, s.bitrate);

  GstVideoFrame vf;
  if (!gst_video_frame_map(&vf, &priv->input_state->info, frame->input_buffer, GST_MAP_READ)) {
    gst_video_codec_frame_unref(frame);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Failed to map an input frame"), (NULL));
    return GST_FLOW_ERROR;
  }
  const int64_t sfn = frame->system_frame_number;
  const bool force_key = GST_VIDEO_CODEC_FRAME_IS_FORCE_KEYFRAME(frame);
  priv->pts_of[sfn] = frame->pts;
  /* The base class keeps the frame pending; the output is matched by number. */
  gst_video_codec_frame_unref(frame);

  GstFlowReturn flow;
  if (priv->codec == NMX_SOFT_CODEC_H264) {
    x264_picture_t pic;
    x264_picture_init(&pic);
    const bool nv12 = GST_VIDEO_FRAME_FORMAT(&vf) == GST_VIDEO_FORMAT_NV12;
    pic.img.i_csp = nv12 ? X264_CSP_NV12 : X264_CSP_I420;
    pic.img.i_plane = nv12 ? 2 : 3;
    for (int i = 0; i < pic.img.i_plane; i++) {
      pic.img.plane[i] = (uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vf, i);
      pic.img.i_stride[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&vf, i);
    }
    pic.i_pts = sfn;
    pic.i_type = force_key ? X264_TYPE_IDR : X264_TYPE_AUTO;
    flow = encode_x264(self, &pic);
  } else {
    x265_picture *pic = priv->x265_pic;
    const int w = GST_VIDEO_FRAME_WIDTH(&vf), h = GST_VIDEO_FRAME_HEIGHT(&vf);
    if (GST_VIDEO_FRAME_FORMAT(&vf) == GST_VIDEO_FORMAT_NV12) {
      const int cw = (w + 1) / 2, ch = (h + 1) / 2;
      priv->i420.resize((size_t)w * h + 2 * (size_t)cw * ch);
      uint8_t *y = priv->i420.data(), *u = y + (size_t)w * h, *v = u + (size_t)cw * ch;
      libyuv::NV12ToI420((const uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vf, 0), GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 0),
                         (const uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vf, 1), GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 1), y,
                         w, u, cw, v, cw, w, h);
      pic->planes[0] = y;
      pic->planes[1] = u;
      pic->planes[2] = v;
      pic->stride[0] = w;
      pic->stride[1] = pic->stride[2] = cw;
    } else {
      for (int i = 0; i < 3; i++) {
        pic->planes[i] = GST_VIDEO_FRAME_PLANE_DATA(&vf, i);
        pic->stride[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&vf, i);
      }
    }
    pic->bitDepth = 8;
    pic->colorSpace = X265_CSP_I420;
    pic->pts = sfn;
    pic->sliceType = force_key ? X265_TYPE_IDR : X265_TYPE_AUTO;
    flow = encode_x265(self, pic);
  }
  gst_video_frame_unmap(&vf);
  return flow;
}

static GstFlowReturn gst_nmx_soft_enc_finish(GstVideoEncoder *encoder)
{
  GstNmxSoftEnc *self = NMX_ENC(encoder);
  NmxEncPrivate *priv = self->priv;
  GstFlowReturn flow = GST_FLOW_OK;
  if (priv->x264) {
    /* With frame threads a flushing call may hand nothing back while a thread still
     * encodes (the count stays as it was): that is no reason to stop, or the last
     * pictures of a recording are lost under load. Only a long run of calls that neither
     * output nor shrink the count ends the drain. */
    int idle = 0;
    while (flow == GST_FLOW_OK && x264_encoder_delayed_frames(priv->x264) > 0 && idle < 256) {
      const int before = x264_encoder_delayed_frames(priv->x264);
      const guint64 pushed_before = priv->pictures_out;
      flow = encode_x264(self, nullptr);
      const bool progress = priv->pictures_out != pushed_before || x264_encoder_delayed_frames(priv->x264) < before;
      idle = progress ? 0 : idle + 1;
    }
    if (x264_encoder_delayed_frames(priv->x264) > 0)
      GST_WARNING_OBJECT(self, "%d pictures never came out of the encoder at the end of the stream",
                         x264_encoder_delayed_frames(priv->x264));
  } else if (priv->x265) {
    for (;;) {
      x265_nal *nals = nullptr;
      uint32_t n = 0;
      x265_picture pic_out;
      x265_picture_init(priv->x265p, &pic_out);
      int ret = x265_encoder_encode(priv->x265, &nals, &n, nullptr, &pic_out);
      if (ret <= 0 || n == 0)
        break;
      size_t size = 0;
      for (uint32_t i = 0; i < n; i++)
        size += nals[i].sizeBytes;
      bool key = pic_out.sliceType == X265_TYPE_IDR || pic_out.sliceType == X265_TYPE_I;
      flow = push_output(self, pic_out.pts, pic_out.dts, key, nals[0].payload, size);
      if (flow != GST_FLOW_OK)
        break;
    }
  }
  /* A drained x264/x265 encoder takes no more pictures. */
  priv->reopen = true;
  return flow;
}

static gboolean gst_nmx_soft_enc_flush(GstVideoEncoder *encoder)
{
  NmxEncPrivate *priv = NMX_ENC(encoder)->priv;
  close_encoder(priv);
  priv->reopen = true;
  return TRUE;
}

static gboolean gst_nmx_soft_enc_start(GstVideoEncoder *encoder)
{
  GstNmxSoftEnc *self = NMX_ENC(encoder);
  if (snapshot_settings(self).b_frames > 0)
    gst_video_encoder_set_min_pts(encoder, MIN_PTS);
  return TRUE;
}

static gboolean gst_nmx_soft_enc_stop(GstVideoEncoder *encoder)
{
  NmxEncPrivate *priv = NMX_ENC(encoder)->priv;
  close_encoder(priv);
  priv->reopen = false;
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  return TRUE;
}

static gboolean gst_nmx_soft_enc_propose_allocation(GstVideoEncoder *encoder, GstQuery *query)
{
  gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL);
  return parent_class->propose_allocation(encoder, query);
}

static void gst_nmx_soft_enc_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  NmxEncPrivate *priv = NMX_ENC(object)->priv;
  std::lock_guard<std::mutex> l(priv->lock);
  switch (prop_id) {
    case PROP_TARGET_BITRATE:
      priv->settings.bitrate = g_value_get_uint(value);
      break;
    case PROP_B_FRAMES:
      priv->settings.b_frames = g_value_get_uint(value);
      break;
    case PROP_IDR_INTERVAL:
      priv->settings.idr_interval = g_value_get_uint(value);
      break;
    case PROP_CAPTURE_IO_MODE:
      priv->settings.capture_io_mode = g_value_get_enum(value);
      break;
    case PROP_OUTPUT_IO_MODE:
      priv->settings.output_io_mode = g_value_get_enum(value);
      break;
    case PROP_CROP_BOTTOM:
      priv->settings.crop_bottom = g_value_get_uint(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_enc_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  NmxEncPrivate *priv = NMX_ENC(object)->priv;
  std::lock_guard<std::mutex> l(priv->lock);
  switch (prop_id) {
    case PROP_TARGET_BITRATE:
      g_value_set_uint(value, priv->settings.bitrate);
      break;
    case PROP_B_FRAMES:
      g_value_set_uint(value, priv->settings.b_frames);
      break;
    case PROP_IDR_INTERVAL:
      g_value_set_uint(value, priv->settings.idr_interval);
      break;
    case PROP_CAPTURE_IO_MODE:
      g_value_set_enum(value, priv->settings.capture_io_mode);
      break;
    case PROP_OUTPUT_IO_MODE:
      g_value_set_enum(value, priv->settings.output_io_mode);
      break;
    case PROP_CROP_BOTTOM:
      g_value_set_uint(value, priv->settings.crop_bottom);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_enc_finalize(GObject *object)
{
  NmxEncPrivate *priv = NMX_ENC(object)->priv;
  close_encoder(priv);
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  delete priv;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static void gst_nmx_soft_enc_class_init(gpointer g_class, gpointer class_data)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(g_class);
  GstElementClass *element_class = GST_ELEMENT_CLASS(g_class);
  GstVideoEncoderClass *enc_class = GST_VIDEO_ENCODER_CLASS(g_class);
  const EncClassData *data = (const EncClassData *)class_data;
  ((GstNmxSoftEncClass *)g_class)->data = data;
  parent_class = (GstVideoEncoderClass *)g_type_class_peek_parent(g_class);

  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_enc_debug, "nmxsoftenc", 0, "Soft H.264/H.265 encoders");
    g_once_init_leave(&once, 1);
  }

  gobject_class->set_property = gst_nmx_soft_enc_set_property;
  gobject_class->get_property = gst_nmx_soft_enc_get_property;
  gobject_class->finalize = gst_nmx_soft_enc_finalize;

  const GParamFlags rw = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const GParamFlags rw_ready = (GParamFlags)(rw | GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      gobject_class, PROP_TARGET_BITRATE,
      g_param_spec_uint("target-bitrate", "Target bitrate", "Target bitrate in bits per second (changes apply "
                        "while playing)", 1000, G_MAXUINT, DEFAULT_TARGET_BITRATE,
                        (GParamFlags)(rw | GST_PARAM_MUTABLE_PLAYING)));
  g_object_class_install_property(
      gobject_class, PROP_B_FRAMES,
      g_param_spec_uint("b-frames", "B-frames", "Number of B-frames between reference frames", 0, MAX_B_FRAMES,
                        DEFAULT_B_FRAMES, rw_ready));
  if (data->qti) {
    g_object_class_install_property(
        gobject_class, PROP_IDR_INTERVAL,
        g_param_spec_uint("idr-interval", "IDR interval", "Frames between IDR frames (0 = first frame only)", 0,
                          G_MAXINT, DEFAULT_IDR_INTERVAL, rw_ready));
  } else {
    nmx_soft_install_io_mode_properties(gobject_class, PROP_CAPTURE_IO_MODE,
                                        "I/O mode of the capture (bitstream) queue", PROP_OUTPUT_IO_MODE,
                                        "I/O mode of the output (raw) queue");
  }

  g_object_class_install_property(
      gobject_class, PROP_CROP_BOTTOM,
      g_param_spec_uint("crop-bottom", "Crop bottom",
                        "Rows of padding below the picture: the stream carries frame cropping, so decoders show "
                        "the picture without them (taken when the caps are set)",
                        0, 8192, 0, rw_ready));

  nmx_soft_add_pad_template(element_class, "sink", GST_PAD_SINK, gst_caps_from_string(ENC_SINK_CAPS));
  nmx_soft_add_pad_template(element_class, "src", GST_PAD_SRC,
                            nmx_soft_codec_caps(data->codecs, H264_SRC_CAPS, H265_SRC_CAPS));

  const char *desc = data->codecs == (NMX_SOFT_CODEC_H264 | NMX_SOFT_CODEC_H265)
                         ? "Encodes NV12/I420 to H.264 (libx264) or H.265 (libx265), as downstream accepts"
                         : (data->codecs & NMX_SOFT_CODEC_H264 ? "Encodes NV12/I420 to H.264 with libx264"
                                                      : "Encodes NV12/I420 to H.265 with libx265");
  gst_element_class_set_metadata(element_class, data->long_name, "Codec/Encoder/Video/Hardware", desc, "Nimbra");

  enc_class->start = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_start);
  enc_class->stop = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_stop);
  enc_class->set_format = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_set_format);
  enc_class->handle_frame = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_handle_frame);
  enc_class->finish = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_finish);
  enc_class->flush = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_flush);
  enc_class->propose_allocation = GST_DEBUG_FUNCPTR(gst_nmx_soft_enc_propose_allocation);
}

static void gst_nmx_soft_enc_init(GTypeInstance *instance, gpointer g_class)
{
  GstNmxSoftEnc *self = NMX_ENC(instance);
  self->priv = new NmxEncPrivate();
  GST_PAD_SET_ACCEPT_TEMPLATE(GST_VIDEO_ENCODER_SINK_PAD(self));
}

#define NMX_ENC_GET_TYPE(fn, data)                                                                           \
  NMX_SOFT_DEFINE_GET_TYPE(fn, nmx_soft_register_type(GST_TYPE_VIDEO_ENCODER, (data).type_name,                    \
                                                      sizeof(GstNmxSoftEncClass), gst_nmx_soft_enc_class_init,     \
                                                      sizeof(GstNmxSoftEnc), gst_nmx_soft_enc_init, &(data)))

NMX_ENC_GET_TYPE(gst_nmx_soft_qtic2venc_get_type, qtic2venc_data)
NMX_ENC_GET_TYPE(gst_nmx_soft_v4l2h264enc_get_type, v4l2h264enc_data)
NMX_ENC_GET_TYPE(gst_nmx_soft_v4l2h265enc_get_type, v4l2h265enc_data)
