/* SPDX-License-Identifier: BSD-3-Clause */
/* The example application's own inference: an ONNX model run with OpenCV DNN,
 * its outputs rearranged into the layouts libnmx_customize decodes. */
#ifndef NMX_CUSTOMIZE_EXAMPLE_DNN_RUNNER_H
#define NMX_CUSTOMIZE_EXAMPLE_DNN_RUNNER_H

#include <stddef.h>
#include <stdint.h>

#include "nmx_customize.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ExampleNet ExampleNet;

#define EXAMPLE_NET_MAX_OUTPUTS 8

/* NULL on failure, with a one-line reason in err. */
ExampleNet *example_net_load(const char *onnx_path, char *err, size_t err_len);

/* input: width x height x 3 floats, HWC, as the preprocess wrote it. For YOLOv5 the
 * views are the anchor heads as [row][column][anchor][85]; for YOLOv8 the [4][N]
 * box and [80][N] class tensors (N = 8400 for a 640 x 640 input). The views stay valid until the next run or the
 * free. Returns 1, or 0 with a reason in err. */
int example_net_run(ExampleNet *net, const float *input, int width, int height, int yolov8,
                    NmxCustomizeTensorView *views, uint32_t *view_count, char *err, size_t err_len);

void example_net_free(ExampleNet *net);

#ifdef __cplusplus
}
#endif

#endif
