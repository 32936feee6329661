/* SPDX-License-Identifier: BSD-3-Clause */
/*
 * Detects objects in one frame of a video file with the application's own
 * inference and libnmx_customize's pre- and post-processing.
 *
 *   nmx_customize_detect [--save-frame FILE] [--size N] MODEL.onnx yolov5|yolov8-detection VIDEO
 *                        [FRAME [BOX_THRESH [NMS_THRESH]]]
 *
 * FRAME counts from 1 (default 1). --size gives the model's input size when it was
 * exported at another size than 640 (320, 416, ...). --save-frame writes the decoded frame as packed
 * BGR rows without padding, for feeding the same picture to another pipeline. Prints the frame geometry, the letterbox and one
 * line per detection in frame pixels:
 *   detection class=<id> score=<0..1> x=<px> y=<px> width=<px> height=<px>
 */
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dnn_runner.h"
#include "nmx_customize.h"

#define PROG "nmx_customize_detect"
/* Safety limit for a stalled decoder only; a healthy pipeline answers at once. */
#define PULL_TIMEOUT (30 * GST_SECOND)

static int fail(const char *what, const char *detail)
{
  fprintf(stderr, PROG ": %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  return 1;
}

/* Decodes up to frame `index` (1-based) of `path` into packed BGR. Returns the
 * sample (caller unrefs) or NULL with a reason in err. */
static GstSample *read_frame(const char *path, int index, char *err, size_t err_len)
{
  GError *error = NULL;
  GstElement *pipeline = gst_parse_launch(
      "filesrc name=src ! decodebin ! videoconvert ! video/x-raw,format=BGR ! "
      "appsink name=sink sync=false max-buffers=2",
      &error);
  if (!pipeline) {
    snprintf(err, err_len, "cannot build the decode pipeline: %s", error ? error->message : "?");
    g_clear_error(&error);
    return NULL;
  }
  g_clear_error(&error); /* a warning about a missing optional element */
  GstElement *src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_object_set(src, "location", path, NULL);
  gst_object_unref(src);

  GstSample *sample = NULL;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    snprintf(err, err_len, "cannot play %s", path);
  } else {
    for (int i = 1; i <= index; i++) {
      if (sample)
        gst_sample_unref(sample);
      sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), PULL_TIMEOUT);
      if (!sample) {
        /* End of stream, or an error the bus explains. */
        GstBus *bus = gst_element_get_bus(pipeline);
        GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
        if (msg) {
          GError *e = NULL;
          gst_message_parse_error(msg, &e, NULL);
          snprintf(err, err_len, "cannot decode %s: %s", path, e->message);
          g_error_free(e);
          gst_message_unref(msg);
        } else {
          snprintf(err, err_len, "%s has no frame %d", path, index);
        }
        gst_object_unref(bus);
        break;
      }
    }
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return sample;
}

static int save_frame(const char *path, const NmxCustomizeImageFrame *f)
{
  FILE *out = fopen(path, "wb");
  if (!out)
    return 0;
  int ok = 1;
  for (int y = 0; y < f->height && ok; y++)
    ok = fwrite(f->data + (size_t)y * f->stride, 3, (size_t)f->width, out) == (size_t)f->width;
  return fclose(out) == 0 && ok;
}

int main(int argc, char **argv)
{
  const char *save_path = NULL;
  int size = NMX_CUSTOMIZE_MODEL_SIZE;
  for (;;) {
    if (argc > 2 && strcmp(argv[1], "--save-frame") == 0) {
      save_path = argv[2];
    } else if (argc > 2 && strcmp(argv[1], "--size") == 0) {
      size = atoi(argv[2]);
      if (size < 32 || size % 32 != 0)
        return fail("the model size is a multiple of 32", argv[2]);
    } else {
      break;
    }
    argv += 2;
    argc -= 2;
  }
  if (argc < 4 || argc > 7) {
    fprintf(stderr, "usage: " PROG " [--save-frame FILE] [--size N] MODEL.onnx yolov5|yolov8-detection VIDEO "
                    "[FRAME [BOX_THRESH [NMS_THRESH]]]\n");
    return 2;
  }
  const char *model = argv[1], *kind = argv[2], *video = argv[3];
  int yolov8;
  if (strcmp(kind, "yolov5") == 0)
    yolov8 = 0;
  else if (strcmp(kind, "yolov8-detection") == 0)
    yolov8 = 1;
  else
    return fail("unknown model type", kind);
  const int index = argc > 4 ? atoi(argv[4]) : 1;
  const float box_thresh = argc > 5 ? (float)atof(argv[5]) : 0.5f;
  const float nms_thresh = argc > 6 ? (float)atof(argv[6]) : 0.45f;
  if (index < 1)
    return fail("frame numbers start at 1", argv[4]);
  if (nmx_customize_get_api_version() != NMX_CUSTOMIZE_API_VERSION)
    return fail("libnmx_customize API version mismatch", NULL);

  char err[512] = "";
  ExampleNet *net = example_net_load(model, err, sizeof err);
  if (!net)
    return fail(err, NULL);

  gst_init(NULL, NULL);
  GstSample *sample = read_frame(video, index, err, sizeof err);
  if (!sample) {
    example_net_free(net);
    return fail(err, NULL);
  }
  GstVideoInfo vinfo;
  GstVideoFrame vframe;
  if (!gst_video_info_from_caps(&vinfo, gst_sample_get_caps(sample)) ||
      !gst_video_frame_map(&vframe, &vinfo, gst_sample_get_buffer(sample), GST_MAP_READ)) {
    gst_sample_unref(sample);
    example_net_free(net);
    return fail("cannot map the decoded frame", NULL);
  }
  const NmxCustomizeImageFrame frame = {
      (const uint8_t *)GST_VIDEO_FRAME_PLANE_DATA(&vframe, 0),
      GST_VIDEO_FRAME_WIDTH(&vframe),
      GST_VIDEO_FRAME_HEIGHT(&vframe),
      GST_VIDEO_FRAME_PLANE_STRIDE(&vframe, 0),
  };
  printf("frame %d of %s: %dx%d stride %d\n", index, video, frame.width, frame.height, frame.stride);
  if (save_path && !save_frame(save_path, &frame)) {
    gst_video_frame_unmap(&vframe);
    gst_sample_unref(sample);
    example_net_free(net);
    return fail("cannot write the frame to", save_path);
  }

  const size_t count = (size_t)size * size * 3;
  float *input = malloc(count * sizeof(float));
  NmxCustomizeLetterboxInfo lb;
  int ok = input != NULL;
  if (ok)
    ok = yolov8 ? nmx_customize_preprocess_yolov8_detection(&frame, input, count, size, size, &lb)
                : nmx_customize_preprocess_yolov5(&frame, input, count, size, size, &lb);
  gst_video_frame_unmap(&vframe);
  gst_sample_unref(sample);
  if (!ok) {
    free(input);
    example_net_free(net);
    return fail("preprocess failed", NULL);
  }
  printf("letterbox scale=%.6f picture=%dx%d\n", lb.scale, lb.resized_width, lb.resized_height);

  NmxCustomizeTensorView views[EXAMPLE_NET_MAX_OUTPUTS];
  uint32_t nviews = 0;
  if (!example_net_run(net, input, size, size, yolov8, views, &nviews, err, sizeof err)) {
    free(input);
    example_net_free(net);
    return fail(err, NULL);
  }
  free(input);

  NmxCustomizeDetectionList list = {0};
  ok = yolov8 ? nmx_customize_postprocess_yolov8_detection_at_size(views, nviews, &list, box_thresh, nms_thresh,
                                                                   lb.scale, size)
              : nmx_customize_postprocess_yolov5_at_size(views, nviews, &list, box_thresh, nms_thresh, lb.scale, size);
  example_net_free(net);
  if (!ok) {
    nmx_customize_detection_list_release(&list);
    return fail("postprocess failed", NULL);
  }
  printf("detections %u\n", list.count);
  for (uint32_t i = 0; i < list.count; i++) {
    const NmxCustomizeDetection *d = &list.items[i];
    printf("detection class=%d score=%.6f x=%.3f y=%.3f width=%.3f height=%.3f\n", d->class_id, d->score, d->x,
           d->y, d->width, d->height);
  }
  nmx_customize_detection_list_release(&list);
  return 0;
}
