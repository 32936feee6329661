/* RTSP server the tests start and stop themselves.
 *
 *   rtsp-test-server [--port N] [--record-dir DIR] [--width W --height H --fps F] [--file PATH]
 *                    [--stamp]
 *
 * Listens on 127.0.0.1 only. Once the socket is bound (and, with --file, the clip's first
 * picture is ready to serve) it prints "PORT <n>" on stdout; every later line on stdout
 * is an event a test may wait for:
 *
 *   RECORD <mount> START <file>      a client ANNOUNCEd to <mount>; <file> will hold it
 *   RECORD <mount> STREAM <caps>     one elementary stream found in what is received
 *   RECORD <mount> VIDEO <n>         the n-th video frame went into the file (per track)
 *   RECORD <mount> ERROR <message>   the recording pipeline failed
 *   RECORD <mount> EOS               the recording pipeline drained (client left)
 *   RECORD <mount> CLOSED <file>     the recording pipeline is stopped, <file> is final
 *
 * Play mounts (live, shared between clients): /h264 /h265 /h264aac /h265aac (moving
 * SMPTE bars with the running time), and /cam0 /cam1 /cam2 /cam3: H.264 without audio,
 * each one flat colour (red, green, blue, white) so composed pictures can be told apart.
 * All play mounts take the --width/--height/--fps of the server.
 *
 * With --stamp, every frame of the play mounts carries its number and wall-clock send
 * time as a row of black and white blocks along its top edge (tools/frame-stamp.h), so a
 * client can measure glass-to-screen latency and tell which frames it got; each stamped
 * frame is also an event line "STAMP <mount> <n>" (n from 0, per media).
 *
 * With --file PATH, /file serves that clip (anything GStreamer decodes) re-encoded as
 * H.264 at its own size and the server's --fps, from its start again whenever it ends;
 * each restart is an event line "FILE LOOP <n>". The clip plays in real time whether or
 * not a client is connected, like a camera.
 *
 * Record mounts: any /record/<name> (nested names allowed, '/' becomes '_'). What arrives
 * is depayloaded and parsed, never re-encoded, and every elementary stream becomes a
 * track of one Matroska file; MPEG-TS over RTP is demuxed the same way, so its H.264 and
 * AAC become two tracks. The file is <record-dir>/<name>.mkv; if that exists already
 * (an earlier client, or an earlier server run), <name>-1.mkv, <name>-2.mkv, ... is
 * used, so no recording ever overwrites another one.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <gst/sdp/gstsdpmessage.h>
#include <gst/video/video.h>

#include "frame-stamp.h"

static GMutex out_lock;

static void
emit (const gchar * fmt, ...)
{
  va_list ap;
  g_mutex_lock (&out_lock);
  va_start (ap, fmt);
  vfprintf (stdout, fmt, ap);
  va_end (ap);
  fputc ('\n', stdout);
  fflush (stdout);
  g_mutex_unlock (&out_lock);
}

static gchar *record_dir = NULL;
static GstRTSPMountPoints *mounts = NULL;
static GMainLoop *loop = NULL;
/* Record media that have not been unprepared yet; shutdown waits for them so the files
 * get finalized. Touched from the media threads, hence atomic. */
static gint active_recordings = 0;

/* ------------------------------------------------------------------------------------ */
/* Recorder: the element tree behind one RECORD session. */

typedef struct
{
  GMutex lock;
  gchar *mount;
  gchar *file;
  guint n_expected;             /* RTP streams in the ANNOUNCEd SDP */
  guint n_flowing;              /* parsebins that have exposed all their pads */
  GPtrArray *pending;           /* parsebin pads held back until the muxer is set up */
  GArray *probe_ids;
  gboolean linked;
  guint timeout_id;
  GstElement *bin;              /* not a reference: the recorder lives as long as the bin */
  GstElement *mux;
} Recorder;

static void
recorder_free (gpointer data)
{
  Recorder *rec = data;
  if (rec->timeout_id)
    g_source_remove (rec->timeout_id);
  g_ptr_array_unref (rec->pending);
  g_array_unref (rec->probe_ids);
  g_free (rec->mount);
  g_free (rec->file);
  g_mutex_clear (&rec->lock);
  g_free (rec);
}

static GstElement *
add_element (GstElement * bin, const gchar * factory)
{
  GstElement *e = gst_element_factory_make (factory, NULL);
  if (e)
    gst_bin_add (GST_BIN (bin), e);
  else
    g_printerr ("rtsp-test-server: missing element %s\n", factory);
  return e;
}

/* Called with rec->lock held. */
static void
ensure_mux (Recorder * rec)
{
  GstElement *sink;
  if (rec->mux)
    return;
  rec->mux = add_element (rec->bin, "matroskamux");
  sink = add_element (rec->bin, "filesink");
  g_object_set (sink, "location", rec->file, "async", FALSE, NULL);
  gst_element_link (rec->mux, sink);
  gst_element_sync_state_with_parent (sink);
  gst_element_sync_state_with_parent (rec->mux);
}

/* Counts what reaches the file, so a client can tell that all it sent has arrived
 * without waiting on its own end-of-stream (which rtspclientsink does not always post). */
static GstPadProbeReturn
video_frame_probe (GstPad * pad, GstPadProbeInfo * info, gpointer data)
{
  Recorder *rec = data;
  guint n = GPOINTER_TO_UINT (g_object_get_data (G_OBJECT (pad), "frames")) + 1;
  g_object_set_data (G_OBJECT (pad), "frames", GUINT_TO_POINTER (n));
  emit ("RECORD %s VIDEO %u", rec->mount, n);
  return GST_PAD_PROBE_OK;
}

/* Called with rec->lock held. Links one parsed elementary stream into the muxer through
 * a queue (the muxer blocks a stream until every track has data; a single demuxer thread
 * feeding several tracks would otherwise deadlock) and a parser that converts to the
 * packetised form Matroska wants. */
static void
link_stream (Recorder * rec, GstPad * pad)
{
  GstCaps *caps = gst_pad_get_current_caps (pad);
  const gchar *name;
  GstElement *queue, *parser = NULL, *filter = NULL, *last;
  GstPad *muxpad = NULL, *srcpad;
  const gchar *templ = NULL;

  if (!caps)
    caps = gst_pad_query_caps (pad, NULL);
  name = gst_structure_get_name (gst_caps_get_structure (caps, 0));

  ensure_mux (rec);
  queue = add_element (rec->bin, "queue");
  g_object_set (queue, "max-size-buffers", 0, "max-size-bytes", 0,
      "max-size-time", (guint64) 10 * GST_SECOND, NULL);
  last = queue;

  if (g_str_equal (name, "video/x-h264") || g_str_equal (name, "video/x-h265")) {
    gboolean h264 = g_str_equal (name, "video/x-h264");
    GstCaps *want = gst_caps_from_string (h264 ?
        "video/x-h264,stream-format=avc,alignment=au" :
        "video/x-h265,stream-format=hvc1,alignment=au");
    parser = add_element (rec->bin, h264 ? "h264parse" : "h265parse");
    filter = add_element (rec->bin, "capsfilter");
    g_object_set (filter, "caps", want, NULL);
    gst_caps_unref (want);
    gst_element_link_many (queue, parser, filter, NULL);
    last = filter;
    templ = "video_%u";
  } else if (g_str_equal (name, "audio/mpeg")) {
    gint version = 0;
    gst_structure_get_int (gst_caps_get_structure (caps, 0), "mpegversion", &version);
    parser = add_element (rec->bin, version == 1 ? "mpegaudioparse" : "aacparse");
    gst_element_link (queue, parser);
    last = parser;
    templ = "audio_%u";
  } else if (g_str_has_prefix (name, "video/")) {
    templ = "video_%u";
  } else if (g_str_has_prefix (name, "audio/")) {
    templ = "audio_%u";
  } else if (g_str_has_prefix (name, "text/") || g_str_has_prefix (name, "subpicture/")) {
    templ = "subtitle_%u";
  }

  srcpad = gst_element_get_static_pad (last, "src");
  if (templ)
    muxpad = gst_element_request_pad_simple (rec->mux, templ);
  if (!muxpad || gst_pad_link (srcpad, muxpad) != GST_PAD_LINK_OK) {
    /* Not something Matroska stores (or the muxer refused a track after it started):
     * drop it rather than stall the other streams on not-linked. */
    GstElement *fake = add_element (rec->bin, "fakesink");
    GstPad *fpad = gst_element_get_static_pad (fake, "sink");
    g_object_set (fake, "async", FALSE, "sync", FALSE, NULL);
    if (muxpad) {
      gst_element_release_request_pad (rec->mux, muxpad);
      gst_object_unref (muxpad);
      muxpad = NULL;
    }
    gst_pad_link (srcpad, fpad);
    gst_object_unref (fpad);
    gst_element_sync_state_with_parent (fake);
    emit ("RECORD %s ERROR stream %s not stored", rec->mount, name);
  }
  if (muxpad && g_str_has_prefix (templ, "video"))
    gst_pad_add_probe (muxpad, GST_PAD_PROBE_TYPE_BUFFER, video_frame_probe, rec, NULL);
  if (muxpad)
    gst_object_unref (muxpad);
  gst_object_unref (srcpad);

  if (filter)
    gst_element_sync_state_with_parent (filter);
  if (parser)
    gst_element_sync_state_with_parent (parser);
  gst_element_sync_state_with_parent (queue);

  {
    GstPad *qsink = gst_element_get_static_pad (queue, "sink");
    gst_pad_link (pad, qsink);
    gst_object_unref (qsink);
  }
  gst_caps_unref (caps);
}

/* Called with rec->lock held. */
static void
link_pending (Recorder * rec)
{
  guint i;
  if (rec->linked)
    return;
  rec->linked = TRUE;
  /* All muxer pads are requested before any data is let through: Matroska refuses
   * tracks once it has written its header. */
  for (i = 0; i < rec->pending->len; i++)
    link_stream (rec, g_ptr_array_index (rec->pending, i));
  for (i = 0; i < rec->pending->len; i++)
    gst_pad_remove_probe (g_ptr_array_index (rec->pending, i),
        g_array_index (rec->probe_ids, gulong, i));
  g_ptr_array_set_size (rec->pending, 0);
  g_array_set_size (rec->probe_ids, 0);
}

static gboolean
link_timeout (gpointer data)
{
  GstElement *bin = data;
  Recorder *rec = g_object_get_data (G_OBJECT (bin), "recorder");
  g_mutex_lock (&rec->lock);
  rec->timeout_id = 0;
  /* A stream announced in the SDP never delivered anything: record what did. */
  link_pending (rec);
  g_mutex_unlock (&rec->lock);
  return G_SOURCE_REMOVE;
}

/* parsebin exposes all pads of a group before it lets data through, so the first buffer
 * (or EOS) on any of its pads means that parsebin will add no more pads; parsebin 1.22
 * does not emit no-more-pads. Once every announced stream got there the muxer can be
 * set up with all its tracks at once. */
static GstPadProbeReturn
hold_probe (GstPad * pad, GstPadProbeInfo * info, gpointer data)
{
  Recorder *rec = data;
  GstObject *parsebin;

  if ((info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM)
      && GST_EVENT_TYPE (GST_PAD_PROBE_INFO_EVENT (info)) != GST_EVENT_EOS)
    return GST_PAD_PROBE_PASS;

  parsebin = gst_object_get_parent (GST_OBJECT (pad));
  g_mutex_lock (&rec->lock);
  if (parsebin && !g_object_get_data (G_OBJECT (parsebin), "flowing")) {
    g_object_set_data (G_OBJECT (parsebin), "flowing", GINT_TO_POINTER (1));
    if (++rec->n_flowing >= rec->n_expected)
      link_pending (rec);
  }
  g_mutex_unlock (&rec->lock);
  if (parsebin)
    gst_object_unref (parsebin);
  /* If link_pending() removed this probe, the data goes on; otherwise it waits here. */
  return GST_PAD_PROBE_OK;
}

static void
emit_stream (Recorder * rec, GstCaps * caps)
{
  gchar *s = gst_caps_to_string (caps);
  emit ("RECORD %s STREAM %s", rec->mount, s);
  g_free (s);
}

static GstPadProbeReturn
caps_probe (GstPad * pad, GstPadProbeInfo * info, gpointer data)
{
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT (info);
  GstCaps *caps;
  if (GST_EVENT_TYPE (event) != GST_EVENT_CAPS)
    return GST_PAD_PROBE_OK;
  gst_event_parse_caps (event, &caps);
  emit_stream (data, caps);
  return GST_PAD_PROBE_REMOVE;
}

static void
on_pad_added (GstElement * parsebin, GstPad * pad, gpointer data)
{
  Recorder *rec = data;
  GstCaps *caps = gst_pad_get_current_caps (pad);

  /* Streams behind a demuxer are exposed before their caps are final. */
  if (caps) {
    emit_stream (rec, caps);
    gst_caps_unref (caps);
  } else {
    gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, caps_probe, rec, NULL);
  }

  g_mutex_lock (&rec->lock);
  if (rec->linked) {
    link_stream (rec, pad);
  } else {
    gulong id = gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER |
        GST_PAD_PROBE_TYPE_BUFFER_LIST | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, hold_probe,
        rec, NULL);
    g_ptr_array_add (rec->pending, gst_object_ref (pad));
    g_array_append_val (rec->probe_ids, id);
    if (!rec->timeout_id)
      rec->timeout_id = g_timeout_add_full (G_PRIORITY_DEFAULT, 3000, link_timeout,
          gst_object_ref (rec->bin), gst_object_unref);
  }
  g_mutex_unlock (&rec->lock);
}

/* Picks <name>.mkv, else <name>-1.mkv, ... and creates it so a concurrent recording
 * cannot take the same name. */
static gchar *
reserve_file (const gchar * name)
{
  guint i;
  for (i = 0; i < 10000; i++) {
    gchar *base = i ? g_strdup_printf ("%s-%u.mkv", name, i) : g_strdup_printf ("%s.mkv",
        name);
    gchar *path = g_build_filename (record_dir, base, NULL);
    int fd = open (path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    g_free (base);
    if (fd >= 0) {
      close (fd);
      return path;
    }
    g_free (path);
    if (errno != EEXIST)
      return NULL;
  }
  return NULL;
}

/* ------------------------------------------------------------------------------------ */
/* RecordMedia: reports the end of the pipeline. */

typedef GstRTSPMedia RecordMedia;
typedef GstRTSPMediaClass RecordMediaClass;
G_DEFINE_TYPE (RecordMedia, record_media, GST_TYPE_RTSP_MEDIA);

static Recorder *
media_recorder (GstRTSPMedia * media)
{
  GstElement *element = gst_rtsp_media_get_element (media);
  Recorder *rec = g_object_get_data (G_OBJECT (element), "recorder");
  gst_object_unref (element);
  return rec;
}

static gboolean
record_media_handle_message (GstRTSPMedia * media, GstMessage * message)
{
  Recorder *rec = media_recorder (media);
  if (rec && GST_MESSAGE_TYPE (message) == GST_MESSAGE_EOS) {
    emit ("RECORD %s EOS", rec->mount);
  } else if (rec && GST_MESSAGE_TYPE (message) == GST_MESSAGE_ERROR) {
    GError *err = NULL;
    gst_message_parse_error (message, &err, NULL);
    emit ("RECORD %s ERROR %s", rec->mount, err ? err->message : "unknown");
    g_clear_error (&err);
  }
  return GST_RTSP_MEDIA_CLASS (record_media_parent_class)->handle_message (media, message);
}

static void
record_media_unprepared (GstRTSPMedia * media, gpointer data)
{
  Recorder *rec = media_recorder (media);
  if (rec)
    emit ("RECORD %s CLOSED %s", rec->mount, rec->file);
  g_atomic_int_add (&active_recordings, -1);
}

static void
record_media_init (RecordMedia * media)
{
  g_signal_connect (media, "unprepared", G_CALLBACK (record_media_unprepared), NULL);
}

/* A recording keeps every frame it receives, however the sender is paced. In its default
 * (slave) mode the jitterbuffer estimates the sender's clock skew from arrival times; a
 * client that stalls for over a second (an encoder starved of CPU) makes it reset the
 * skew, and the packets around the reset come out with timestamps behind the ones
 * already pushed and are dropped: whole frames went missing from recordings. Over
 * RTSP-interleaved TCP nothing arrives out of order or late, so the RTP timestamps alone
 * are the right clock. */
static gboolean
record_media_setup_rtpbin (GstRTSPMedia * media, GstElement * rtpbin)
{
  g_object_set (rtpbin, "buffer-mode", 0 /* none */ , NULL);
  if (GST_RTSP_MEDIA_CLASS (record_media_parent_class)->setup_rtpbin)
    return GST_RTSP_MEDIA_CLASS (record_media_parent_class)->setup_rtpbin (media, rtpbin);
  return TRUE;
}

static void
record_media_class_init (RecordMediaClass * klass)
{
  klass->handle_message = record_media_handle_message;
  klass->setup_rtpbin = record_media_setup_rtpbin;
}

/* ------------------------------------------------------------------------------------ */
/* RecordFactory: one per ANNOUNCE, sized to the streams the SDP carries. */

typedef struct
{
  GstRTSPMediaFactory parent;
  gchar *mount;
  gchar *name;
  guint n_streams;
} RecordFactory;
typedef GstRTSPMediaFactoryClass RecordFactoryClass;
G_DEFINE_TYPE (RecordFactory, record_factory, GST_TYPE_RTSP_MEDIA_FACTORY);

static GstElement *
record_factory_create_element (GstRTSPMediaFactory * factory, const GstRTSPUrl * url)
{
  RecordFactory *self = (RecordFactory *) factory;
  GstElement *bin;
  Recorder *rec;
  gchar *file;
  guint i;

  file = reserve_file (self->name);
  if (!file) {
    g_printerr ("rtsp-test-server: cannot create a file in %s: %s\n", record_dir,
        g_strerror (errno));
    return NULL;
  }

  bin = gst_bin_new (NULL);
  rec = g_new0 (Recorder, 1);
  g_mutex_init (&rec->lock);
  rec->mount = g_strdup (self->mount);
  rec->file = file;
  rec->n_expected = self->n_streams;
  rec->pending = g_ptr_array_new_with_free_func (gst_object_unref);
  rec->probe_ids = g_array_new (FALSE, FALSE, sizeof (gulong));
  rec->bin = bin;
  g_object_set_data_full (G_OBJECT (bin), "recorder", rec, recorder_free);

  for (i = 0; i < self->n_streams; i++) {
    gchar *depay = g_strdup_printf ("depay%u", i);
    GstElement *pb = gst_element_factory_make ("parsebin", depay);
    g_free (depay);
    g_signal_connect (pb, "pad-added", G_CALLBACK (on_pad_added), rec);
    gst_bin_add (GST_BIN (bin), pb);
  }
  g_atomic_int_inc (&active_recordings);
  emit ("RECORD %s START %s", rec->mount, rec->file);
  return bin;
}

static void
record_factory_finalize (GObject * object)
{
  RecordFactory *self = (RecordFactory *) object;
  g_free (self->mount);
  g_free (self->name);
  G_OBJECT_CLASS (record_factory_parent_class)->finalize (object);
}

static void
record_factory_init (RecordFactory * self)
{
}

static void
record_factory_class_init (RecordFactoryClass * klass)
{
  G_OBJECT_CLASS (klass)->finalize = record_factory_finalize;
  klass->create_element = record_factory_create_element;
}

static GstRTSPMediaFactory *
record_factory_new (const gchar * mount, guint n_streams)
{
  RecordFactory *self = g_object_new (record_factory_get_type (), NULL);
  GstRTSPMediaFactory *f = GST_RTSP_MEDIA_FACTORY (self);
  self->mount = g_strdup (mount);
  self->name = g_strdup (mount + strlen ("/record/"));
  g_strdelimit (self->name, "/", '_');
  self->n_streams = n_streams;
  gst_rtsp_media_factory_set_transport_mode (f, GST_RTSP_TRANSPORT_MODE_RECORD);
  gst_rtsp_media_factory_set_shared (f, FALSE);
  /* EOS on teardown lets the muxer write its index; the media waits for it. */
  gst_rtsp_media_factory_set_eos_shutdown (f, TRUE);
  gst_rtsp_media_factory_set_latency (f, 100);
  gst_rtsp_media_factory_set_media_gtype (f, record_media_get_type ());
  return f;
}

/* Record mounts are created on ANNOUNCE: the mount table only matches whole paths and
 * the number of depayloaders has to match the SDP, which is only known then. The client
 * turns the request URI into a path (this vfunc) right before it looks the factory up,
 * and no signal runs earlier in ANNOUNCE, so the factory is installed from here. */
typedef GstRTSPMountPoints RecordMounts;
typedef GstRTSPMountPointsClass RecordMountsClass;
G_DEFINE_TYPE (RecordMounts, record_mounts, GST_TYPE_RTSP_MOUNT_POINTS);

static void
install_record_factory (GstRTSPMountPoints * self, GstRTSPContext * ctx, const gchar * path)
{
  guint8 *body = NULL;
  guint size = 0;
  GstSDPMessage *sdp = NULL;
  guint n = 0;

  if (gst_rtsp_message_get_body (ctx->request, &body, &size) != GST_RTSP_OK || !size)
    return;
  gst_sdp_message_new (&sdp);
  if (gst_sdp_message_parse_buffer (body, size, sdp) == GST_SDP_OK)
    n = gst_sdp_message_medias_len (sdp);
  gst_sdp_message_free (sdp);
  if (n == 0)
    return;                     /* no factory: the client answers 404 */
  gst_rtsp_mount_points_add_factory (self, path, record_factory_new (path, n));
}

static gchar *
record_mounts_make_path (GstRTSPMountPoints * self, const GstRTSPUrl * url)
{
  gchar *path = GST_RTSP_MOUNT_POINTS_CLASS (record_mounts_parent_class)->make_path (self,
      url);
  GstRTSPContext *ctx = gst_rtsp_context_get_current ();

  if (path && ctx && ctx->request && ctx->method == GST_RTSP_ANNOUNCE
      && g_str_has_prefix (path, "/record/") && path[strlen ("/record/")] != '\0')
    install_record_factory (self, ctx, path);
  return path;
}

static void
record_mounts_init (RecordMounts * self)
{
}

static void
record_mounts_class_init (RecordMountsClass * klass)
{
  klass->make_path = record_mounts_make_path;
}

/* ------------------------------------------------------------------------------------ */

static gint width = 640, height = 360, fps = 25;
static gboolean stamp = FALSE;

/* ------------------------------------------------------------------------------------ */
/* --stamp: frame number and send time drawn into each raw frame before it is encoded. */

typedef struct
{
  gchar *mount;
  guint32 frames;
  GstVideoInfo info;
  gboolean have_info;
} Stamper;

static void
stamper_free (gpointer data)
{
  Stamper *s = data;
  g_free (s->mount);
  g_free (s);
}

static GstPadProbeReturn
stamp_frame (GstPad * pad, GstPadProbeInfo * info, gpointer data)
{
  Stamper *s = data;
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER (info);
  GstVideoFrame frame;
  if (!s->have_info) {
    GstCaps *caps = gst_pad_get_current_caps (pad);
    s->have_info = caps && gst_video_info_from_caps (&s->info, caps);
    if (caps)
      gst_caps_unref (caps);
    if (!s->have_info)
      return GST_PAD_PROBE_OK;
  }
  buf = gst_buffer_make_writable (buf);
  GST_PAD_PROBE_INFO_DATA (info) = buf;
  if (gst_video_frame_map (&frame, &s->info, buf, GST_MAP_WRITE)) {
    const guint32 n = s->frames++;
    /* The send time: the frame leaves for the encoder now. */
    frame_stamp_write_planar (GST_VIDEO_FRAME_PLANE_DATA (&frame, 0),
        GST_VIDEO_FRAME_PLANE_STRIDE (&frame, 0), GST_VIDEO_FRAME_PLANE_DATA (&frame, 1),
        GST_VIDEO_FRAME_PLANE_STRIDE (&frame, 1), GST_VIDEO_FRAME_PLANE_DATA (&frame, 2),
        GST_VIDEO_FRAME_PLANE_STRIDE (&frame, 2), GST_VIDEO_INFO_WIDTH (&s->info),
        GST_VIDEO_INFO_HEIGHT (&s->info), n, (guint64) (g_get_real_time () / 1000));
    gst_video_frame_unmap (&frame);
    emit ("STAMP %s %u", s->mount, n);
  }
  return GST_PAD_PROBE_OK;
}

static void
stamp_media_configure (GstRTSPMediaFactory * factory, GstRTSPMedia * media, gpointer data)
{
  GstElement *top = gst_rtsp_media_get_element (media);
  GstElement *stamper = top ? gst_bin_get_by_name (GST_BIN (top), "stamp") : NULL;
  GstPad *pad = stamper ? gst_element_get_static_pad (stamper, "src") : NULL;
  if (pad) {
    Stamper *s = g_new0 (Stamper, 1);
    s->mount = g_strdup (data);
    gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BUFFER, stamp_frame, s, stamper_free);
    gst_object_unref (pad);
  }
  if (stamper)
    gst_object_unref (stamper);
  if (top)
    gst_object_unref (top);
}

/* `source` is the videotestsrc pattern part; `clock` stamps the running time on it. */
static void
add_mount (const gchar * path, const gchar * source, gboolean clock, const gchar * venc,
    const gchar * vpay, gboolean aac)
{
  GstRTSPMediaFactory *f = gst_rtsp_media_factory_new ();
  /* Stamped frames are coded as one slice each by one thread: x264's sliced threads
   * with in-band parameter sets on every key frame are more than the soft platform's
   * decoder reassembles correctly from RTP, and a mangled stamp measures nothing. */
  const gchar *one_slice = stamp && g_str_has_prefix (venc, "x264enc") ?
      " sliced-threads=false threads=1" : "";
  gchar *launch = g_strdup_printf ("( videotestsrc is-live=true %s ! "
      "video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1 ! %s ! %s ! %s%s key-int-max=%d ! "
      "%s name=pay0 pt=96 config-interval=-1 %s )",
      source, width, height, fps, clock ? "timeoverlay" : "identity",
      stamp ? "identity name=stamp" : "identity", venc, one_slice, fps, vpay,
      aac ? "audiotestsrc is-live=true wave=sine freq=440 ! "
      "audio/x-raw,rate=44100,channels=2 ! audioconvert ! avenc_aac ! "
      "rtpmp4gpay name=pay1 pt=97" : "");
  gst_rtsp_media_factory_set_launch (f, launch);
  gst_rtsp_media_factory_set_shared (f, TRUE);
  if (stamp)
    g_signal_connect_data (f, "media-configure", G_CALLBACK (stamp_media_configure),
        g_strdup (path), (GClosureNotify) (void (*)(void)) g_free, 0);
  gst_rtsp_mount_points_add_factory (mounts, path, f);
  g_free (launch);
}

static void
add_play_mount (const gchar * path, const gchar * venc, const gchar * vpay, gboolean aac)
{
  add_mount (path, "pattern=smpte horizontal-speed=2",
      gst_element_factory_find ("timeoverlay") != NULL, venc, vpay, aac);
}

/* One flat colour (0xAARRGGBB) and nothing drawn on it, so a client that composes
 * several cameras can tell by colour alone which picture landed where. */
static void
add_colour_mount (const gchar * path, guint32 argb)
{
  gchar *source = g_strdup_printf ("pattern=solid-color foreground-color=0x%08x", argb);
  add_mount (path, source, FALSE, "x264enc tune=zerolatency speed-preset=ultrafast",
      "rtph264pay", FALSE);
  g_free (source);
}

/* ------------------------------------------------------------------------------------ */
/* /file: a clip played in a loop, like a camera that never stops. */

static gchar *serve_file = NULL;
static GstElement *file_reader = NULL;
static guint file_loops = 0;
static gboolean announced = FALSE;
static GstRTSPServer *server = NULL;
static int exit_code = 0;
static int ready_fd = -1;

/* "PORT <n>" and, with --background, the byte the parent waits for. With --file this
 * waits for the clip's first picture, so no client ever sees the channel empty. */
static gboolean
announce (gpointer data)
{
  if (announced)
    return G_SOURCE_REMOVE;
  announced = TRUE;
  emit ("PORT %d", gst_rtsp_server_get_bound_port (server));
  if (ready_fd >= 0) {
    const char byte = 1;
    if (write (ready_fd, &byte, 1) != 1) {
      exit_code = 1;
      g_main_loop_quit (loop);
    }
    close (ready_fd);
    ready_fd = -1;
  }
  return G_SOURCE_REMOVE;
}

/* The sink takes a picture into the channel after this probe returns; the second
 * picture reaching the probe means the first one is there. */
static GstPadProbeReturn
file_picture_probe (GstPad * pad, GstPadProbeInfo * info, gpointer data)
{
  static guint pictures = 0;
  if (++pictures < 2)
    return GST_PAD_PROBE_OK;
  g_idle_add (announce, NULL);
  return GST_PAD_PROBE_REMOVE;
}

static gboolean
file_reader_bus (GstBus * bus, GstMessage * msg, gpointer data)
{
  switch (GST_MESSAGE_TYPE (msg)) {
    case GST_MESSAGE_EOS:
      emit ("FILE LOOP %u", ++file_loops);
      if (!gst_element_seek_simple (file_reader, GST_FORMAT_TIME,
              GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT, 0))
        g_printerr ("rtsp-test-server: cannot restart %s\n", serve_file);
      break;
    case GST_MESSAGE_ERROR:{
      GError *err = NULL;
      gst_message_parse_error (msg, &err, NULL);
      g_printerr ("rtsp-test-server: cannot play %s: %s\n", serve_file,
          err ? err->message : "unknown error");
      emit ("FILE ERROR %s", err ? err->message : "unknown error");
      g_clear_error (&err);
      if (!announced) {         /* never ready: the caller hears why and an exit code */
        exit_code = 1;
        g_main_loop_quit (loop);
      }
      break;
    }
    default:
      break;
  }
  return TRUE;
}

/* The clip is decoded by its own pipeline into an inter-pipeline channel that the mount
 * reads; between loops, and before the first frame, the mount repeats the last picture. */
static gboolean
start_file_reader (void)
{
  GError *err = NULL;
  GstBus *bus;
  GstElement *src;
  gchar *desc = g_strdup_printf ("filesrc name=src ! decodebin ! videoconvert ! videorate ! "
      "video/x-raw,format=I420,framerate=%d/1 ! intervideosink name=sink channel=nimbra-file", fps);

  if (!g_file_test (serve_file, G_FILE_TEST_IS_REGULAR)) {
    g_printerr ("rtsp-test-server: --file %s: no such file\n", serve_file);
    g_free (desc);
    return FALSE;
  }
  file_reader = gst_parse_launch (desc, &err);
  g_free (desc);
  if (!file_reader || err) {
    g_printerr ("rtsp-test-server: --file needs decodebin and intervideosink: %s\n",
        err ? err->message : "unknown error");
    g_clear_error (&err);
    return FALSE;
  }
  src = gst_bin_get_by_name (GST_BIN (file_reader), "src");
  g_object_set (src, "location", serve_file, NULL);
  gst_object_unref (src);
  {
    GstElement *sink = gst_bin_get_by_name (GST_BIN (file_reader), "sink");
    GstPad *pad = gst_element_get_static_pad (sink, "sink");
    gst_pad_add_probe (pad, GST_PAD_PROBE_TYPE_BUFFER, file_picture_probe, NULL, NULL);
    gst_object_unref (pad);
    gst_object_unref (sink);
  }
  bus = gst_element_get_bus (file_reader);
  gst_bus_add_watch (bus, file_reader_bus, NULL);
  gst_object_unref (bus);
  if (gst_element_set_state (file_reader, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    g_printerr ("rtsp-test-server: cannot play %s\n", serve_file);
    return FALSE;
  }
  return TRUE;
}

static void
add_file_mount (void)
{
  GstRTSPMediaFactory *f = gst_rtsp_media_factory_new ();
  /* The channel's source shows black once its last picture is older than its timeout; a
   * reader slowed down by a loaded machine or restarting the clip must not do that. */
  gchar *launch = g_strdup_printf ("( intervideosrc channel=nimbra-file "
      "timeout=18446744073709551615 ! "
      "video/x-raw,format=I420,framerate=%d/1 ! x264enc tune=zerolatency "
      "speed-preset=ultrafast key-int-max=%d ! rtph264pay name=pay0 pt=96 config-interval=-1 )",
      fps, fps);
  gst_rtsp_media_factory_set_launch (f, launch);
  gst_rtsp_media_factory_set_shared (f, TRUE);
  gst_rtsp_mount_points_add_factory (mounts, "/file", f);
  g_free (launch);
}

static GstRTSPFilterResult
remove_session (GstRTSPSessionPool * pool, GstRTSPSession * session, gpointer data)
{
  return GST_RTSP_FILTER_REMOVE;
}

static GstRTSPFilterResult
remove_client (GstRTSPServer * server, GstRTSPClient * client, gpointer data)
{
  return GST_RTSP_FILTER_REMOVE;
}

static gboolean stopping = FALSE;

static gboolean
wait_recordings (gpointer data)
{
  static guint ticks = 0;
  /* Give teardown-triggered EOS up to 5 s to reach the files. */
  if (g_atomic_int_get (&active_recordings) <= 0 || ++ticks > 100) {
    g_main_loop_quit (loop);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

static gboolean
on_signal (gpointer data)
{
  if (stopping) {
    g_main_loop_quit (loop);
    return G_SOURCE_CONTINUE;
  }
  stopping = TRUE;
  gst_rtsp_server_client_filter (server, remove_client, NULL);
  {
    GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool (server);
    gst_rtsp_session_pool_filter (pool, remove_session, NULL);
    g_object_unref (pool);
  }
  g_timeout_add (50, wait_recordings, NULL);
  return G_SOURCE_CONTINUE;
}

static gboolean
cleanup_sessions (gpointer data)
{
  GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool (server);
  gst_rtsp_session_pool_cleanup (pool);
  g_object_unref (pool);
  return G_SOURCE_CONTINUE;
}

/* --background: the server runs in a child of its own session; the parent returns once
 * the child listens (a byte on this pipe), printing the child's PID for a later kill. The
 * child is made before GStreamer starts any thread. */
static gboolean background = FALSE;

static int
go_to_background (void)
{
  int fds[2];
  pid_t pid;
  char byte;
  if (pipe (fds) != 0)
    return -1;
  pid = fork ();
  if (pid < 0)
    return -1;
  if (pid > 0) {
    int status;
    close (fds[1]);
    if (read (fds[0], &byte, 1) == 1) {
      printf ("%d\n", (int) pid);
      fflush (stdout);
      _exit (0);
    }
    waitpid (pid, &status, 0);   /* it said why on standard error */
    _exit (WIFEXITED (status) && WEXITSTATUS (status) ? WEXITSTATUS (status) : 1);
  }
  close (fds[0]);
  ready_fd = fds[1];
  setsid ();
  {
    int null = open ("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2 (null, STDOUT_FILENO);
      close (null);
    }
  }
  return 0;
}

int
main (int argc, char **argv)
{
  gint port = 0;
  gchar *service;
  GError *error = NULL;
  GOptionContext *ctx;
  GOptionEntry entries[] = {
    {"port", 'p', 0, G_OPTION_ARG_INT, &port, "TCP port on 127.0.0.1 (0: any free)", "N"},
    {"record-dir", 'r', 0, G_OPTION_ARG_FILENAME, &record_dir,
        "Where /record/<name> is written (default: current directory)", "DIR"},
    {"width", 0, 0, G_OPTION_ARG_INT, &width, "Play mounts' width (640)", "W"},
    {"height", 0, 0, G_OPTION_ARG_INT, &height, "Play mounts' height (360)", "H"},
    {"fps", 0, 0, G_OPTION_ARG_INT, &fps, "Play mounts' frame rate (25)", "F"},
    {"stamp", 0, 0, G_OPTION_ARG_NONE, &stamp,
        "Stamp each frame of the play mounts with its number and send time", NULL},
    {"file", 'f', 0, G_OPTION_ARG_FILENAME, &serve_file,
        "Serve this clip at /file, in a loop (H.264 at the clip's size)", "PATH"},
    {"background", 0, 0, G_OPTION_ARG_NONE, &background,
        "Return once listening, printing the server's PID (event lines are dropped)", NULL},
    {NULL}
  };

  for (int i = 1; i < argc; ++i)
    if (strcmp (argv[i], "--background") == 0 && go_to_background () != 0) {
      g_printerr ("rtsp-test-server: cannot go to the background: %s\n", g_strerror (errno));
      return 1;
    }

  ctx = g_option_context_new ("- RTSP server for tests and examples");
  g_option_context_set_description (ctx,
      "Listens on 127.0.0.1 and prints \"PORT <n>\" once it does; then one line per event.\n"
      "\n"
      "Mounts (rtsp://127.0.0.1:<port><mount>):\n"
      "  /h264, /h265          moving SMPTE bars with the running time, live\n"
      "  /h264aac, /h265aac    the same with a 440 Hz AAC tone\n"
      "  /cam0 ... /cam3       H.264 in one flat colour each: red, green, blue, white\n"
      "  /file                 the --file clip, from its start again whenever it ends\n"
      "  /record/<name>        RECORD target (ANNOUNCE): written to <record-dir>/<name>.mkv\n"
      "\n"
      "The play mounts take --width, --height and --fps; /file keeps the clip's size.\n"
      "--stamp draws a row of blocks (frame number, send time) on the play mounts' frames\n"
      "and prints \"STAMP <mount> <n>\" per frame.\n"
      "Example: CAMERA=$(rtsp-test-server --port 8554 --file clip.mp4 --background), then read\n"
      "rtsp://127.0.0.1:8554/file; kill $CAMERA ends the server.");
  g_option_context_add_main_entries (ctx, entries, NULL);
  g_option_context_add_group (ctx, gst_init_get_option_group ());
  if (!g_option_context_parse (ctx, &argc, &argv, &error)) {
    g_printerr ("rtsp-test-server: %s\n", error->message);
    return 2;
  }
  g_option_context_free (ctx);
  if (port < 0 || port > 65535 || width <= 0 || height <= 0 || fps <= 0) {
    g_printerr ("rtsp-test-server: bad --port/--width/--height/--fps\n");
    return 2;
  }
  {
    /* Absolute, so the file names in the event lines do not depend on our cwd. */
    gchar *cwd = g_get_current_dir ();
    gchar *abs = g_canonicalize_filename (record_dir ? record_dir : ".", cwd);
    g_free (cwd);
    g_free (record_dir);
    record_dir = abs;
  }
  if (g_mkdir_with_parents (record_dir, 0755) != 0) {
    g_printerr ("rtsp-test-server: cannot create %s: %s\n", record_dir, g_strerror (errno));
    return 1;
  }

  loop = g_main_loop_new (NULL, FALSE);
  server = gst_rtsp_server_new ();
  gst_rtsp_server_set_address (server, "127.0.0.1");
  service = g_strdup_printf ("%d", port);
  gst_rtsp_server_set_service (server, service);
  g_free (service);

  mounts = g_object_new (record_mounts_get_type (), NULL);
  gst_rtsp_server_set_mount_points (server, mounts);
  add_play_mount ("/h264", "x264enc tune=zerolatency speed-preset=ultrafast", "rtph264pay",
      FALSE);
  add_play_mount ("/h265", "x265enc tune=zerolatency speed-preset=ultrafast", "rtph265pay",
      FALSE);
  add_play_mount ("/h264aac", "x264enc tune=zerolatency speed-preset=ultrafast",
      "rtph264pay", TRUE);
  add_play_mount ("/h265aac", "x265enc tune=zerolatency speed-preset=ultrafast",
      "rtph265pay", TRUE);
  add_colour_mount ("/cam0", 0xffff0000);
  add_colour_mount ("/cam1", 0xff00ff00);
  add_colour_mount ("/cam2", 0xff0000ff);
  add_colour_mount ("/cam3", 0xffffffff);
  if (serve_file) {
    if (!start_file_reader ())
      return 1;
    add_file_mount ();
  }

  if (gst_rtsp_server_attach (server, NULL) == 0) {
    g_printerr ("rtsp-test-server: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  if (!serve_file)
    announce (NULL);

  g_unix_signal_add (SIGTERM, on_signal, NULL);
  g_unix_signal_add (SIGINT, on_signal, NULL);
  g_timeout_add_seconds (2, cleanup_sessions, NULL);
  g_main_loop_run (loop);
  return exit_code;
}
