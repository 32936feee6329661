// SPDX-License-Identifier: BSD-3-Clause
// Overlay rendering of a 1080p frame with 10 and 50 kept objects: every mask from one
// (kept x 32) . (32 x 25,600) product, against a loop computing each object's mask
// with its own (1 x 32) . (32 x 25,600) product. Both sides share the rest of the
// renderer (crop, resize, binarise, blend, outlines, tags), measured side by side.
//   bench_tarkinvideo [rounds]
#include "nmx-tarkin-video-engine-private.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using nmx_tarkin_video::KeptObject;

double ms_since(Clock::time_point t0)
{
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The per-object way: one small product per mask, each into its own matrix.
void per_object_masks(const float *coeff, const std::vector<KeptObject> &kept, const cv::Mat &proto_t, cv::Mat &masks)
{
  masks.create((int)kept.size(), proto_t.cols, CV_32F);
  for (size_t i = 0; i < kept.size(); i++) {
    cv::Mat row(1, 32, CV_32F);
    for (int k = 0; k < 32; k++)
      row.at<float>(0, k) = coeff[(size_t)k * 8400 + kept[i].column];
    cv::Mat m = row * proto_t;
    m.copyTo(masks.row((int)i));
  }
}

}  // namespace

int main(int argc, char **argv)
{
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  if (rounds < 1) {
    std::fprintf(stderr, "bench_tarkinvideo: rounds must be a positive number, not '%s'\n", argv[1]);
    return 1;
  }
  gst_init(nullptr, nullptr);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uni(-1.f, 1.f);
  std::vector<float> coeff(32 * 8400), proto(160 * 160 * 32);
  for (float &v : coeff)
    v = uni(rng) * 0.3f;
  for (float &v : proto)
    v = uni(rng) + 0.2f;
  const float scale = 3.0f;  // 1920x1080 into 640x640
  cv::Mat frame(1080, 1920, CV_8UC4);

  std::printf("%-10s %14s %14s %8s %16s %16s %8s\n", "objects", "product ms", "per-object ms", "ratio",
              "render ms", "render loop ms", "ratio");
  for (int n : {10, 50}) {
    std::vector<KeptObject> kept;
    for (int i = 0; i < n; i++)
      kept.push_back(KeptObject{i * 160, cv::Rect(40 + (i % 10) * 185, 40 + (i / 10) * 200, 180, 190), i % 80,
                                0.9f - i * 0.001f});
    cv::Mat proto_t, masks_a, masks_b;
    nmx_tarkin_video::build_proto_matrix(proto.data(), proto_t);
    // Both ways must agree before their times mean anything.
    nmx_tarkin_video::mask_product(coeff.data(), kept, proto_t, masks_a);
    per_object_masks(coeff.data(), kept, proto_t, masks_b);
    if (cv::norm(masks_a, masks_b, cv::NORM_INF) > 1e-4) {
      std::fprintf(stderr, "bench_tarkinvideo: the two mask computations disagree\n");
      return 1;
    }
    std::vector<double> prod, loop, render, render_loop;
    for (int r = 0; r < rounds; r++) {
      auto t0 = Clock::now();
      nmx_tarkin_video::mask_product(coeff.data(), kept, proto_t, masks_a);
      prod.push_back(ms_since(t0));
      t0 = Clock::now();
      per_object_masks(coeff.data(), kept, proto_t, masks_b);
      loop.push_back(ms_since(t0));

      t0 = Clock::now();
      nmx_tarkin_video::build_proto_matrix(proto.data(), proto_t);
      nmx_tarkin_video::mask_product(coeff.data(), kept, proto_t, masks_a);
      nmx_tarkin_video::render_overlay(frame, masks_a, kept, scale, false, 1);
      render.push_back(ms_since(t0));
      t0 = Clock::now();
      nmx_tarkin_video::build_proto_matrix(proto.data(), proto_t);
      per_object_masks(coeff.data(), kept, proto_t, masks_b);
      nmx_tarkin_video::render_overlay(frame, masks_b, kept, scale, false, 1);
      render_loop.push_back(ms_since(t0));
    }
    const double p = median(prod), l = median(loop), rr = median(render), rl = median(render_loop);
    std::printf("%-10d %14.3f %14.3f %7.2fx %16.3f %16.3f %7.2fx\n", n, p, l, l / p, rr, rl, rl / rr);
  }
  return 0;
}
