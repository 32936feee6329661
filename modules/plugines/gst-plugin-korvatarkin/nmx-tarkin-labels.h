// SPDX-License-Identifier: BSD-3-Clause
// COCO class names, index 0..79.
#pragma once

extern const char *const nmx_tarkin_coco80[80];
