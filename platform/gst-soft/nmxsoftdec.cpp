// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtivdec, qtic2vdec, v4l2h264dec, v4l2h265dec: H.264/H.265 decoders over
 * libavcodec, outputting NV12 like the board's hardware decoders.
 *
 *   gst-launch-1.0 videotestsrc num-buffers=60 ! video/x-raw,format=I420 ! x264enc ! h264parse ! \
 *       v4l2h264dec ! video/x-raw,format=NV12 ! fakesink
 *
 * Only 8-bit 4:2:0 streams decode (as on the board); others post an error.
 */
#include "nmxsoftdec.h"

#include "common.h"

#include <gst/video/video.h>
#include <libyuv.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_dec_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_dec_debug

enum {
  PROP_0,
  PROP_CAPTURE_IO_MODE,
  PROP_OUTPUT_IO_MODE,
  PROP_DISCARD_CORRUPTED_FRAMES,
  PROP_FAIL_AFTER_BUFFERS,
  PROP_STALL_AFTER_BUFFERS,
};

#define DEFAULT_IO_MODE NMX_SOFT_IO_MODE_AUTO
#define DEFAULT_DISCARD_CORRUPTED_FRAMES FALSE
#define FAIL_AFTER_BUFFERS_ENV "NMXSOFT_FAIL_AFTER_BUFFERS"
/* Testing aid: the decoder takes this many buffers, then holds the next one
 * until it leaves PAUSED, so whatever feeds it backs up as behind a hung
 * hardware decoder. */
#define STALL_AFTER_BUFFERS_ENV "NMXSOFT_STALL_AFTER_BUFFERS"

/* H.264/H.265 reorder at most 16 frames; frame threading delays output by one
 * frame per thread. A pending frame further behind the current output than
 * this was swallowed by libav (corrupt input) and is released. */
#define REORDER_SLACK 16


#define H264_SINK_CAPS "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au"
#define H265_SINK_CAPS "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au"
#define DEC_SRC_CAPS NMX_SOFT_RAW_CAPS("NV12")

struct DecClassData {
  const char *type_name;
  guint codecs;
  bool v4l2_props;
  const char *long_name;
};

static const DecClassData qtivdec_data = {"GstNmxSoftQtiVDec", NMX_SOFT_CODEC_H264 | NMX_SOFT_CODEC_H265, false,
                                          "Video decoder (soft qtivdec)"};
static const DecClassData qtic2vdec_data = {"GstNmxSoftQtiC2VDec", NMX_SOFT_CODEC_H264 | NMX_SOFT_CODEC_H265, false,
                                            "Codec2 video decoder (soft qtic2vdec)"};
static const DecClassData v4l2h264dec_data = {"GstNmxSoftV4l2H264Dec", NMX_SOFT_CODEC_H264, true,
                                              "V4L2 H.264 decoder (soft)"};
static const DecClassData v4l2h265dec_data = {"GstNmxSoftV4l2H265Dec", NMX_SOFT_CODEC_H265, true,
                                              "V4L2 H.265 decoder (soft)"};

struct DecSettings {
  int capture_io_mode = DEFAULT_IO_MODE;
  int output_io_mode = DEFAULT_IO_MODE;
  bool discard_corrupted = DEFAULT_DISCARD_CORRUPTED_FRAMES;
  int fail_after_buffers = 0;
  int stall_after_buffers = 0;
};

struct NmxDecPrivate {
  std::mutex lock;  // guards settings
  DecSettings settings;

  // Streaming state: created in set_format, dropped in stop.
  AVCodecContext *ctx = nullptr;
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  AVPacket *pkt = nullptr;
  AVFrame *frame = nullptr;
  GstVideoCodecState *input_state = nullptr;
  int reorder_depth = REORDER_SLACK;
  guint64 buffers_in = 0;
  bool counted = false;  // in running_decoders (between start and stop)
  bool frame_discard = false;  // snapshot of the setting for the frame being output

  // Pictures that arrive split over several buffers (a payloader that repeats the
  // parameter sets before every slice makes the parser cut a picture into pieces) are
  // decoded in chunks: libav then finishes a picture once all its slices are in, but
  // only with slice threads. Until the first piece shows up, the last packet is kept so
  // the picture it began can be sent again in whole.
  bool chunked = false;
  std::vector<uint8_t> last_packet;
  guint32 last_sfn = 0;

  // A stalled handle_frame waits here until the element leaves PAUSED.
  std::mutex stall_lock;
  std::condition_variable stall_cv;
  bool stall_released = false;

  // Output description last negotiated, to detect stream changes.
  int out_w = 0, out_h = 0, out_par_n = 0, out_par_d = 0;
  AVColorSpace out_space = AVCOL_SPC_UNSPECIFIED;
  AVColorRange out_range = AVCOL_RANGE_UNSPECIFIED;
};

typedef struct {
  GstVideoDecoder parent;
  NmxDecPrivate *priv;
} GstNmxSoftDec;

typedef struct {
  GstVideoDecoderClass parent_class;
  const DecClassData *data;
} GstNmxSoftDecClass;

#define NMX_DEC(obj) ((GstNmxSoftDec *)(obj))
#define NMX_DEC_GET_CLASS(obj) ((GstNmxSoftDecClass *)G_OBJECT_GET_CLASS(obj))

static GstVideoDecoderClass *parent_class = nullptr;

static void av_log_to_gst(void *avcl, int level, const char *fmt, va_list vl)
{
  if (level > AV_LOG_VERBOSE)
    return;
  /* Bad input is expected here; libav's complaints are debug output. */
  GstDebugLevel gl = level <= AV_LOG_WARNING ? GST_LEVEL_DEBUG : GST_LEVEL_LOG;
  if (gl > gst_debug_category_get_threshold(gst_nmx_soft_dec_debug))
    return;
  gchar *msg = g_strdup_vprintf(fmt, vl);
  g_strchomp(msg);
  GST_CAT_LEVEL_LOG(gst_nmx_soft_dec_debug, gl, NULL, "libav: %s", msg);
  g_free(msg);
}

static std::string av_error_string(int err)
{
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof(buf));
  return buf;
}

/* Decoders running in this process. Each frame thread of libav holds a picture of
 * its own (and its motion tables) on top of the reference frames, and with more
 * decoders than cores the decoders themselves keep the cores busy: the cores are
 * shared out among the running decoders, at least one thread each. A hardware
 * decoder's capture buffers do not grow with the number of streams either. */
static std::atomic<int> running_decoders{0};

/* NIMBRA_STREAM_SIZES=legacy: as many threads as cores in every decoder, as before. */
static bool legacy_threads()
{
#ifdef NIMBRA_LEGACY_STREAM_SIZES
  return true;
#else
  const char *v = getenv("NIMBRA_STREAM_SIZES");
  return v && strcmp(v, "legacy") == 0;
#endif
}

static int decode_threads()
{
  const int cores = (int)std::min<guint>(std::max<guint>(g_get_num_processors(), 1), 16);
  if (legacy_threads())
    return cores;
  return std::max(1, cores / std::max(1, running_decoders.load()));
}

static void close_codec(NmxDecPrivate *priv)
{
  if (priv->ctx)
    avcodec_free_context(&priv->ctx);
  priv->codec_id = AV_CODEC_ID_NONE;
  priv->out_w = priv->out_h = 0;
}

static bool open_codec(GstNmxSoftDec *self, AVCodecID id, bool discard_corrupted, bool chunked = false)
{
  NmxDecPrivate *priv = self->priv;
  close_codec(priv);
  const AVCodec *codec = avcodec_find_decoder(id);
  if (!codec) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("libavcodec has no %s decoder", avcodec_get_name(id)), (NULL));
    return false;
  }
  priv->ctx = avcodec_alloc_context3(codec);
  if (!priv->ctx)
    return false;
  int threads = decode_threads();
  priv->ctx->thread_count = threads;
  priv->ctx->thread_type = chunked ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (chunked)
    priv->ctx->flags2 |= AV_CODEC_FLAG2_CHUNKS;
  priv->chunked = chunked;
  priv->last_packet.clear();
  /* Keep frames with concealed errors unless told to discard them; the
   * board's decoders show them too. */
  if (!discard_corrupted)
    priv->ctx->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
  int ret = avcodec_open2(priv->ctx, codec, nullptr);
  if (ret < 0) {
    GST_ELEMENT_ERROR(self, LIBRARY, INIT, ("Failed to open the %s decoder", codec->name),
                      ("avcodec_open2: %s", av_error_string(ret).c_str()));
    avcodec_free_context(&priv->ctx);
    return false;
  }
  priv->codec_id = id;
  priv->reorder_depth = REORDER_SLACK + threads + 2;
  GST_DEBUG_OBJECT(self, "opened %s with %d threads", codec->name, threads);
  return true;
}

static DecSettings snapshot_settings(GstNmxSoftDec *self)
{
  std::lock_guard<std::mutex> l(self->priv->lock);
  return self->priv->settings;
}

static gboolean gst_nmx_soft_dec_start(GstVideoDecoder *decoder)
{
  NmxDecPrivate *priv = NMX_DEC(decoder)->priv;
  priv->buffers_in = 0;
  if (!priv->pkt)
    priv->pkt = av_packet_alloc();
  if (!priv->frame)
    priv->frame = av_frame_alloc();
  if (!priv->pkt || !priv->frame)
    return FALSE;
  if (!priv->counted) {
    priv->counted = true;
    running_decoders++;
  }
  return TRUE;
}

static gboolean gst_nmx_soft_dec_stop(GstVideoDecoder *decoder)
{
  NmxDecPrivate *priv = NMX_DEC(decoder)->priv;
  if (priv->counted) {
    priv->counted = false;
    running_decoders--;
  }
  close_codec(priv);
  av_packet_free(&priv->pkt);
  av_frame_free(&priv->frame);
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  return TRUE;
}

static GstFlowReturn gst_nmx_soft_dec_drain(GstVideoDecoder *decoder);

static gboolean gst_nmx_soft_dec_set_format(GstVideoDecoder *decoder, GstVideoCodecState *state)
{
  GstNmxSoftDec *self = NMX_DEC(decoder);
  NmxDecPrivate *priv = self->priv;
  const DecClassData *data = NMX_DEC_GET_CLASS(self)->data;

  const GstStructure *s = gst_caps_get_structure(state->caps, 0);
  AVCodecID id;
  if (gst_structure_has_name(s, "video/x-h264") && (data->codecs & NMX_SOFT_CODEC_H264))
    id = AV_CODEC_ID_H264;
  else if (gst_structure_has_name(s, "video/x-h265") && (data->codecs & NMX_SOFT_CODEC_H265))
    id = AV_CODEC_ID_HEVC;
  else {
    GST_ERROR_OBJECT(self, "unsupported caps %" GST_PTR_FORMAT, state->caps);
    return FALSE;
  }

  /* In-band parameter sets: a caps update with the same codec needs no new
   * context, and keeping it keeps the reference frames. */
  if (!priv->ctx || priv->codec_id != id) {
    if (priv->ctx)
      gst_nmx_soft_dec_drain(decoder);
    if (!open_codec(self, id, snapshot_settings(self).discard_corrupted))
      return FALSE;
  }
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  priv->input_state = gst_video_codec_state_ref(state);
  priv->out_w = priv->out_h = 0;  // renegotiate with the new input caps on the next frame
  return TRUE;
}

static void apply_colorimetry(GstVideoInfo *info, const AVFrame *av)
{
  GstVideoColorimetry *c = &info->colorimetry;
  switch (av->colorspace) {
    case AVCOL_SPC_BT709:
      c->matrix = GST_VIDEO_COLOR_MATRIX_BT709;
      c->primaries = GST_VIDEO_COLOR_PRIMARIES_BT709;
      c->transfer = GST_VIDEO_TRANSFER_BT709;
      break;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      c->matrix = GST_VIDEO_COLOR_MATRIX_BT601;
      c->primaries = av->colorspace == AVCOL_SPC_BT470BG ? GST_VIDEO_COLOR_PRIMARIES_BT470BG
                                                         : GST_VIDEO_COLOR_PRIMARIES_SMPTE170M;
      c->transfer = GST_VIDEO_TRANSFER_BT601;
      break;
    case AVCOL_SPC_BT2020_NCL:
      c->matrix = GST_VIDEO_COLOR_MATRIX_BT2020;
      c->primaries = GST_VIDEO_COLOR_PRIMARIES_BT2020;
      c->transfer = GST_VIDEO_TRANSFER_BT2020_10;
      break;
    default:
      break;
  }
  if (av->color_range == AVCOL_RANGE_JPEG || av->format == AV_PIX_FMT_YUVJ420P)
    c->range = GST_VIDEO_COLOR_RANGE_0_255;
  else if (av->color_range == AVCOL_RANGE_MPEG)
    c->range = GST_VIDEO_COLOR_RANGE_16_235;
}

/* Sets (or keeps) the output state for the stream as libav now describes it. */
static bool ensure_output_state(GstNmxSoftDec *self, const AVFrame *av)
{
  NmxDecPrivate *priv = self->priv;
  GstVideoDecoder *dec = GST_VIDEO_DECODER(self);
  int par_n = av->sample_aspect_ratio.num, par_d = av->sample_aspect_ratio.den;
  bool changed = av->width != priv->out_w || av->height != priv->out_h || par_n != priv->out_par_n ||
                 par_d != priv->out_par_d || av->colorspace != priv->out_space || av->color_range != priv->out_range;
  if (!changed && !gst_pad_needs_reconfigure(GST_VIDEO_DECODER_SRC_PAD(dec)))
    return true;

  GstVideoCodecState *st =
      gst_video_decoder_set_output_state(dec, GST_VIDEO_FORMAT_NV12, av->width, av->height, priv->input_state);
  if (!st)
    return false;
  const GstVideoInfo *in_info = priv->input_state ? &priv->input_state->info : nullptr;
  const GstStructure *in_s = priv->input_state ? gst_caps_get_structure(priv->input_state->caps, 0) : nullptr;
  if (par_n > 0 && par_d > 0 && !(in_s && gst_structure_has_field(in_s, "pixel-aspect-ratio"))) {
    GST_VIDEO_INFO_PAR_N(&st->info) = par_n;
    GST_VIDEO_INFO_PAR_D(&st->info) = par_d;
  }
  if ((!in_info || GST_VIDEO_INFO_FPS_N(in_info) == 0) && priv->ctx->framerate.num > 0 &&
      priv->ctx->framerate.den > 0) {
    GST_VIDEO_INFO_FPS_N(&st->info) = priv->ctx->framerate.num;
    GST_VIDEO_INFO_FPS_D(&st->info) = priv->ctx->framerate.den;
  }
  if (!(in_s && gst_structure_has_field(in_s, "colorimetry")))
    apply_colorimetry(&st->info, av);

  GstCaps *peer = gst_pad_peer_query_caps(GST_VIDEO_DECODER_SRC_PAD(dec), nullptr);
  bool gbm = nmx_soft_caps_want_gbm(peer);
  gst_clear_caps(&peer);
  if (gbm) {
    st->caps = gst_video_info_to_caps(&st->info);
    gst_caps_set_features(st->caps, 0, gst_caps_features_new(NMX_SOFT_CAPS_FEATURE_GBM, NULL));
  }
  const int fps_n = GST_VIDEO_INFO_FPS_N(&st->info), fps_d = GST_VIDEO_INFO_FPS_D(&st->info);
  gst_video_codec_state_unref(st);

  if (!gst_video_decoder_negotiate(dec)) {
    GST_WARNING_OBJECT(self, "negotiation failed");
    priv->out_w = priv->out_h = 0;
    return false;
  }
  /* Frame threads hold back one picture per thread, reordering adds the
   * stream's own delay: live pipelines must know. */
  if (fps_n > 0 && fps_d > 0) {
    int frames = priv->ctx->thread_count + priv->ctx->has_b_frames;
    GstClockTime lat = gst_util_uint64_scale(frames, GST_SECOND * fps_d, fps_n);
    gst_video_decoder_set_latency(dec, lat, lat);
  }
  priv->out_w = av->width;
  priv->out_h = av->height;
  priv->out_par_n = par_n;
  priv->out_par_d = par_d;
  priv->out_space = av->colorspace;
  priv->out_range = av->color_range;
  GST_DEBUG_OBJECT(self, "output %dx%d%s", av->width, av->height, gbm ? " (GBM)" : "");
  return true;
}

/* Releases pending frames libav will never output (it skipped them). */
static void release_stale_frames(GstNmxSoftDec *self, guint32 current)
{
  GList *frames = gst_video_decoder_get_frames(GST_VIDEO_DECODER(self));
  for (GList *l = frames; l; l = l->next) {
    GstVideoCodecFrame *f = (GstVideoCodecFrame *)l->data;
    if (f->system_frame_number + (guint32)self->priv->reorder_depth < current) {
      GST_DEBUG_OBJECT(self, "releasing frame %u, never decoded", f->system_frame_number);
      gst_video_decoder_release_frame(GST_VIDEO_DECODER(self), f);
    } else {
      gst_video_codec_frame_unref(f);
    }
  }
  g_list_free(frames);
}

static GstFlowReturn output_frame(GstNmxSoftDec *self, const AVFrame *av)
{
  NmxDecPrivate *priv = self->priv;
  GstVideoDecoder *dec = GST_VIDEO_DECODER(self);
  int64_t sfn = av->pts != AV_NOPTS_VALUE ? av->pts : av->best_effort_timestamp;
  GstVideoCodecFrame *frame = sfn >= 0 ? gst_video_decoder_get_frame(dec, (int)sfn) : nullptr;
  if (!frame) {
    GST_DEBUG_OBJECT(self, "decoded picture %" G_GINT64_FORMAT " has no pending frame", sfn);
    return GST_FLOW_OK;
  }

  if (priv->frame_discard && ((av->flags & AV_FRAME_FLAG_CORRUPT) || av->decode_error_flags)) {
    GST_DEBUG_OBJECT(self, "dropping corrupted frame %u", frame->system_frame_number);
    release_stale_frames(self, frame->system_frame_number);
    return gst_video_decoder_drop_frame(dec, frame);
  }

  if (av->format != AV_PIX_FMT_YUV420P && av->format != AV_PIX_FMT_YUVJ420P) {
    const char *name = av_get_pix_fmt_name((AVPixelFormat)av->format);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("unsupported pixel format %s", name ? name : "(unknown)"),
                      ("only 8-bit 4:2:0 streams can be decoded to NV12"));
    gst_video_decoder_release_frame(dec, frame);
    return GST_FLOW_ERROR;
  }

  if (!ensure_output_state(self, av)) {
    gst_video_decoder_release_frame(dec, frame);
    return GST_FLOW_NOT_NEGOTIATED;
  }

  GstFlowReturn flow = gst_video_decoder_allocate_output_frame(dec, frame);
  if (flow != GST_FLOW_OK) {
    gst_video_decoder_release_frame(dec, frame);
    return flow;
  }
  GstVideoCodecState *st = gst_video_decoder_get_output_state(dec);
  GstVideoFrame vf;
  bool mapped = gst_video_frame_map(&vf, &st->info, frame->output_buffer, GST_MAP_WRITE);
  gst_video_codec_state_unref(st);
  if (!mapped) {
    GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Failed to map an output buffer"), (NULL));
    gst_video_decoder_release_frame(dec, frame);
    return GST_FLOW_ERROR;
  }
  libyuv::I420ToNV12(av->data[0], av->linesize[0], av->data[1], av->linesize[1], av->data[2], av->linesize[2],
                     (uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vf, 0), GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 0),
                     (uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vf, 1), GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 1),
                     std::min(av->width, GST_VIDEO_FRAME_WIDTH(&vf)),
                     std::min(av->height, GST_VIDEO_FRAME_HEIGHT(&vf)));
  gst_video_frame_unmap(&vf);

  release_stale_frames(self, frame->system_frame_number);
  return gst_video_decoder_finish_frame(dec, frame);
}

static GstFlowReturn receive_frames(GstNmxSoftDec *self)
{
  NmxDecPrivate *priv = self->priv;
  for (;;) {
    int ret = avcodec_receive_frame(priv->ctx, priv->frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
      return GST_FLOW_OK;
    if (ret < 0) {
      GstFlowReturn flow = GST_FLOW_OK;
      GST_VIDEO_DECODER_ERROR(self, 1, STREAM, DECODE, ("Decoding failed"),
                              ("avcodec_receive_frame: %s", av_error_string(ret).c_str()), flow);
      return flow;
    }
    GstFlowReturn flow = output_frame(self, priv->frame);
    av_frame_unref(priv->frame);
    if (flow != GST_FLOW_OK)
      return flow;
  }
}

/* Whether the first slice in an Annex B buffer begins a picture: 1 yes, 0 it continues
 * one, -1 no slice in the buffer. H.264: first_mb_in_slice is ue(v), 0 exactly when its
 * first bit is set; H.265: first_slice_segment_in_pic_flag is the first bit. */
static int first_slice_begins_picture(const uint8_t *d, size_t n, AVCodecID id)
{
  for (size_t i = 0; i + 3 < n; ++i) {
    if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1)
      continue;
    const size_t h = i + 3;
    if (id == AV_CODEC_ID_H264) {
      const int type = d[h] & 0x1f;
      if (type >= 1 && type <= 5 && h + 1 < n)
        return (d[h + 1] & 0x80) ? 1 : 0;
    } else {
      const int type = (d[h] >> 1) & 0x3f;
      if (type <= 31 && h + 2 < n)
        return (d[h + 2] & 0x80) ? 1 : 0;
    }
    i = h - 1;
  }
  return -1;
}

static GstFlowReturn gst_nmx_soft_dec_handle_frame(GstVideoDecoder *decoder, GstVideoCodecFrame *frame)
{
  GstNmxSoftDec *self = NMX_DEC(decoder);
  NmxDecPrivate *priv = self->priv;
  DecSettings settings = snapshot_settings(self);
  priv->frame_discard = settings.discard_corrupted;

  priv->buffers_in++;
  if (settings.fail_after_buffers > 0 && priv->buffers_in > (guint64)settings.fail_after_buffers) {
    GST_ELEMENT_ERROR(self, STREAM, DECODE, ("injected failure"),
                      ("fail-after-buffers=%d reached", settings.fail_after_buffers));
    gst_video_decoder_release_frame(decoder, frame);
    return GST_FLOW_ERROR;
  }
  if (settings.stall_after_buffers > 0 && priv->buffers_in > (guint64)settings.stall_after_buffers) {
    GST_INFO_OBJECT(self, "stall-after-buffers=%d reached: holding the input", settings.stall_after_buffers);
    std::unique_lock<std::mutex> l(priv->stall_lock);
    priv->stall_cv.wait(l, [priv] { return priv->stall_released; });
    l.unlock();
    gst_video_decoder_release_frame(decoder, frame);
    return GST_FLOW_FLUSHING;
  }
  if (!priv->ctx) {
    gst_video_decoder_release_frame(decoder, frame);
    return GST_FLOW_NOT_NEGOTIATED;
  }

  GstMapInfo map;
  if (!gst_buffer_map(frame->input_buffer, &map, GST_MAP_READ)) {
    gst_video_decoder_release_frame(decoder, frame);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Failed to map an input buffer"), (NULL));
    return GST_FLOW_ERROR;
  }
  const guint32 sfn = frame->system_frame_number;
  bool resend = false;
  if (!priv->chunked) {
    const int begins = first_slice_begins_picture(map.data, map.size, priv->codec_id);
    if (begins == 0 && !priv->last_packet.empty()) {
      GST_INFO_OBJECT(self, "pictures arrive split over buffers: decoding in chunks from here");
      std::vector<uint8_t> first = std::move(priv->last_packet);
      const guint32 first_sfn = priv->last_sfn;
      if (!open_codec(self, priv->codec_id, settings.discard_corrupted, true)) {
        gst_buffer_unmap(frame->input_buffer, &map);
        gst_video_codec_frame_unref(frame);
        return GST_FLOW_ERROR;
      }
      priv->last_packet = std::move(first);
      priv->last_sfn = first_sfn;
      resend = true;
    } else if (begins == 1) {
      priv->last_packet.assign(map.data, map.data + map.size);
      priv->last_sfn = sfn;
    }
  }
  if (resend) {
    /* The picture's first piece again, to the new context, under its own frame. */
    if (av_new_packet(priv->pkt, (int)priv->last_packet.size()) == 0) {
      memcpy(priv->pkt->data, priv->last_packet.data(), priv->last_packet.size());
      priv->pkt->pts = priv->last_sfn;
      avcodec_send_packet(priv->ctx, priv->pkt);
      av_packet_unref(priv->pkt);
    }
    priv->last_packet.clear();
  }
  /* libav reads past the end with SIMD, so the packet gets its own padded copy. */
  int ret = av_new_packet(priv->pkt, (int)map.size);
  if (ret == 0)
    memcpy(priv->pkt->data, map.data, map.size);
  gst_buffer_unmap(frame->input_buffer, &map);
  /* The base class keeps the frame in its pending list; we find it again by
   * number when libav outputs the picture, possibly reordered. */
  gst_video_codec_frame_unref(frame);
  if (ret < 0)
    return GST_FLOW_ERROR;
  priv->pkt->pts = sfn;

  GstFlowReturn flow = GST_FLOW_OK;
  for (;;) {
    ret = avcodec_send_packet(priv->ctx, priv->pkt);
    if (ret == AVERROR(EAGAIN)) {
      /* Output queue full: take pictures out, then retry the same packet. */
      flow = receive_frames(self);
      if (flow != GST_FLOW_OK)
        break;
      continue;
    }
    if (ret < 0) {
      /* With frame threads the error may belong to an earlier packet, so no
       * frame is dropped here; ones that never decode are released as stale. */
      GST_VIDEO_DECODER_ERROR(self, 1, STREAM, DECODE, ("Decoding failed"),
                              ("avcodec_send_packet: %s", av_error_string(ret).c_str()), flow);
      break;
    }
    flow = receive_frames(self);
    break;
  }
  av_packet_unref(priv->pkt);
  return flow;
}

static GstFlowReturn gst_nmx_soft_dec_drain(GstVideoDecoder *decoder)
{
  GstNmxSoftDec *self = NMX_DEC(decoder);
  NmxDecPrivate *priv = self->priv;
  if (!priv->ctx)
    return GST_FLOW_OK;
  GstFlowReturn flow = GST_FLOW_OK;
  if (avcodec_send_packet(priv->ctx, nullptr) == 0)
    flow = receive_frames(self);
  /* After end of stream libav only accepts new packets once flushed. */
  avcodec_flush_buffers(priv->ctx);
  return flow;
}

static gboolean gst_nmx_soft_dec_flush(GstVideoDecoder *decoder)
{
  NmxDecPrivate *priv = NMX_DEC(decoder)->priv;
  if (priv->ctx)
    avcodec_flush_buffers(priv->ctx);
  return TRUE;
}

static gboolean gst_nmx_soft_dec_decide_allocation(GstVideoDecoder *decoder, GstQuery *query)
{
  if (!parent_class->decide_allocation(decoder, query))
    return FALSE;
  GstBufferPool *pool = nullptr;
  if (gst_query_get_n_allocation_pools(query) > 0)
    gst_query_parse_nth_allocation_pool(query, 0, &pool, nullptr, nullptr, nullptr);
  if (pool && gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL)) {
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    gst_buffer_pool_set_config(pool, config);
  }
  if (pool)
    gst_object_unref(pool);
  return TRUE;
}

static void gst_nmx_soft_dec_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  NmxDecPrivate *priv = NMX_DEC(object)->priv;
  std::lock_guard<std::mutex> l(priv->lock);
  switch (prop_id) {
    case PROP_CAPTURE_IO_MODE:
      priv->settings.capture_io_mode = g_value_get_enum(value);
      break;
    case PROP_OUTPUT_IO_MODE:
      priv->settings.output_io_mode = g_value_get_enum(value);
      break;
    case PROP_DISCARD_CORRUPTED_FRAMES:
      priv->settings.discard_corrupted = g_value_get_boolean(value);
      break;
    case PROP_FAIL_AFTER_BUFFERS:
      priv->settings.fail_after_buffers = g_value_get_int(value);
      break;
    case PROP_STALL_AFTER_BUFFERS:
      priv->settings.stall_after_buffers = g_value_get_int(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_dec_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  NmxDecPrivate *priv = NMX_DEC(object)->priv;
  std::lock_guard<std::mutex> l(priv->lock);
  switch (prop_id) {
    case PROP_CAPTURE_IO_MODE:
      g_value_set_enum(value, priv->settings.capture_io_mode);
      break;
    case PROP_OUTPUT_IO_MODE:
      g_value_set_enum(value, priv->settings.output_io_mode);
      break;
    case PROP_DISCARD_CORRUPTED_FRAMES:
      g_value_set_boolean(value, priv->settings.discard_corrupted);
      break;
    case PROP_FAIL_AFTER_BUFFERS:
      g_value_set_int(value, priv->settings.fail_after_buffers);
      break;
    case PROP_STALL_AFTER_BUFFERS:
      g_value_set_int(value, priv->settings.stall_after_buffers);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_dec_finalize(GObject *object)
{
  NmxDecPrivate *priv = NMX_DEC(object)->priv;
  close_codec(priv);
  av_packet_free(&priv->pkt);
  av_frame_free(&priv->frame);
  g_clear_pointer(&priv->input_state, gst_video_codec_state_unref);
  delete priv;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static int env_count(const char *name)
{
  const char *env = g_getenv(name);
  if (!env || !*env)
    return 0;
  long v = strtol(env, nullptr, 10);
  return v > 0 && v < G_MAXINT ? (int)v : 0;
}

static GstStateChangeReturn gst_nmx_soft_dec_change_state(GstElement *element, GstStateChange transition)
{
  NmxDecPrivate *priv = NMX_DEC(element)->priv;
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED || transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    /* Leaving PAUSED deactivates the sink pad, which waits for a stalled
     * handle_frame: let it go first. */
    {
      std::lock_guard<std::mutex> l(priv->stall_lock);
      priv->stall_released = transition == GST_STATE_CHANGE_PAUSED_TO_READY;
    }
    priv->stall_cv.notify_all();
  }
  return GST_ELEMENT_CLASS(parent_class)->change_state(element, transition);
}

static void gst_nmx_soft_dec_class_init(gpointer g_class, gpointer class_data)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(g_class);
  GstElementClass *element_class = GST_ELEMENT_CLASS(g_class);
  GstVideoDecoderClass *dec_class = GST_VIDEO_DECODER_CLASS(g_class);
  GstNmxSoftDecClass *klass = (GstNmxSoftDecClass *)g_class;
  const DecClassData *data = (const DecClassData *)class_data;
  klass->data = data;
  parent_class = (GstVideoDecoderClass *)g_type_class_peek_parent(g_class);

  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_dec_debug, "nmxsoftdec", 0, "Soft H.264/H.265 decoders");
    av_log_set_callback(av_log_to_gst);
    g_once_init_leave(&once, 1);
  }

  gobject_class->set_property = gst_nmx_soft_dec_set_property;
  gobject_class->get_property = gst_nmx_soft_dec_get_property;
  gobject_class->finalize = gst_nmx_soft_dec_finalize;

  const GParamFlags rw = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  if (data->v4l2_props) {
    nmx_soft_install_io_mode_properties(gobject_class, PROP_CAPTURE_IO_MODE,
                                        "I/O mode of the capture (decoded) queue", PROP_OUTPUT_IO_MODE,
                                        "I/O mode of the output (bitstream) queue");
    g_object_class_install_property(
        gobject_class, PROP_DISCARD_CORRUPTED_FRAMES,
        g_param_spec_boolean("discard-corrupted-frames", "Discard corrupted frames",
                             "Drop frames the decoder flags as corrupted", DEFAULT_DISCARD_CORRUPTED_FRAMES, rw));
  }
  g_object_class_install_property(
      gobject_class, PROP_FAIL_AFTER_BUFFERS,
      g_param_spec_int("fail-after-buffers", "Fail after buffers",
                       "Testing aid: post a decode error after this many input buffers (0 = never; default "
                       "from the " FAIL_AFTER_BUFFERS_ENV " environment variable)",
                       0, G_MAXINT, 0, rw));
  g_object_class_install_property(
      gobject_class, PROP_STALL_AFTER_BUFFERS,
      g_param_spec_int("stall-after-buffers", "Stall after buffers",
                       "Testing aid: hold the input buffer after this many until the element leaves PAUSED "
                       "(0 = never; default from the " STALL_AFTER_BUFFERS_ENV " environment variable)",
                       0, G_MAXINT, 0, rw));

  nmx_soft_add_pad_template(element_class, "sink", GST_PAD_SINK,
                            nmx_soft_codec_caps(data->codecs, H264_SINK_CAPS, H265_SINK_CAPS));
  nmx_soft_add_pad_template(element_class, "src", GST_PAD_SRC, gst_caps_from_string(DEC_SRC_CAPS));

  const char *desc = data->codecs == (NMX_SOFT_CODEC_H264 | NMX_SOFT_CODEC_H265)
                         ? "Decodes H.264 and H.265 to NV12 on the CPU (libavcodec)"
                         : (data->codecs & NMX_SOFT_CODEC_H264 ? "Decodes H.264 to NV12 on the CPU (libavcodec)"
                                                      : "Decodes H.265 to NV12 on the CPU (libavcodec)");
  gst_element_class_set_metadata(element_class, data->long_name, "Codec/Decoder/Video/Hardware", desc, "Nimbra");

  element_class->change_state = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_change_state);
  dec_class->start = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_start);
  dec_class->stop = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_stop);
  dec_class->set_format = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_set_format);
  dec_class->handle_frame = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_handle_frame);
  dec_class->drain = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_drain);
  dec_class->finish = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_drain);
  dec_class->flush = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_flush);
  dec_class->decide_allocation = GST_DEBUG_FUNCPTR(gst_nmx_soft_dec_decide_allocation);
}

static void gst_nmx_soft_dec_init(GTypeInstance *instance, gpointer g_class)
{
  GstNmxSoftDec *self = NMX_DEC(instance);
  self->priv = new NmxDecPrivate();
  self->priv->settings.fail_after_buffers = env_count(FAIL_AFTER_BUFFERS_ENV);
  self->priv->settings.stall_after_buffers = env_count(STALL_AFTER_BUFFERS_ENV);
  gst_video_decoder_set_packetized(GST_VIDEO_DECODER(self), TRUE);
  gst_video_decoder_set_needs_format(GST_VIDEO_DECODER(self), TRUE);
  gst_video_decoder_set_use_default_pad_acceptcaps(GST_VIDEO_DECODER(self), TRUE);
  GST_PAD_SET_ACCEPT_TEMPLATE(GST_VIDEO_DECODER_SINK_PAD(self));
}

#define NMX_DEC_GET_TYPE(fn, data)                                                                           \
  NMX_SOFT_DEFINE_GET_TYPE(fn, nmx_soft_register_type(GST_TYPE_VIDEO_DECODER, (data).type_name,                    \
                                                      sizeof(GstNmxSoftDecClass), gst_nmx_soft_dec_class_init,     \
                                                      sizeof(GstNmxSoftDec), gst_nmx_soft_dec_init, &(data)))

NMX_DEC_GET_TYPE(gst_nmx_soft_qtivdec_get_type, qtivdec_data)
NMX_DEC_GET_TYPE(gst_nmx_soft_qtic2vdec_get_type, qtic2vdec_data)
NMX_DEC_GET_TYPE(gst_nmx_soft_v4l2h264dec_get_type, v4l2h264dec_data)
NMX_DEC_GET_TYPE(gst_nmx_soft_v4l2h265dec_get_type, v4l2h265dec_data)
