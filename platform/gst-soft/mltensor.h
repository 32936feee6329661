// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * The tensor stream between the soft ML elements (qtimlvconverter ->
 * qtimlqnn -> qtimlvdetection). Caps carry the size of the frame the tensor
 * was made from, so the detection layer is drawn at the picture's size:
 *
 *   neural-network/tensors, source-width=(int)1280, source-height=(int)720,
 *       framerate=(fraction)25/1
 *
 * Model input: one letterboxed 640x640 RGB frame, float32 HWC in 0..1.
 * Model output: YOLOv8 detection boxes [4][8400] followed by class scores
 * [80][8400], float32, in one buffer.
 */
#pragma once

#include <cstddef>

#define NMX_SOFT_TENSOR_CAPS_NAME "neural-network/tensors"

namespace nmxsoft {

constexpr int kModelSize = 640;
constexpr size_t kModelInputElements = (size_t)kModelSize * kModelSize * 3;
constexpr size_t kAnchors = 8400;
constexpr size_t kBoxElements = 4 * kAnchors;
constexpr size_t kClassElements = 80 * kAnchors;
constexpr size_t kModelOutputElements = kBoxElements + kClassElements;

}  // namespace nmxsoft
