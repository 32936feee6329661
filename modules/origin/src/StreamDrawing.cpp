// Drawing helpers for frame callbacks.
#define NIMBRA_MODULE "modules/origin/src/StreamDrawing"
#include <chrono>
#include <ctime>
#include <opencv2/imgproc.hpp>

#include "StreamBuild.h"

void draw_timestamp(uint8_t* rgb, int width, int height) {
  if (!rgb || width <= 0 || height <= 0) return;
  cv::Mat frame(height, width, CV_8UC3, rgb);
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  long ms = (long)(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm tmv;
  localtime_r(&secs, &tmv);
  char text[64];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tmv);
  snprintf(text + n, sizeof text - n, ".%03ld", ms);
  cv::putText(frame, text, cv::Point(20, 50), cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(255, 0, 0), 2,
              cv::LINE_AA);
}

void draw_picture(uint8_t* frame, uint8_t* picture, int width, int height) {
  if (!frame || !picture || width <= 0 || height <= 0) return;
  const size_t pixels = (size_t)width * height;
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = picture + i * 3;
    if (p[0] <= 240 && p[1] <= 240 && p[2] <= 240) {
      uint8_t* f = frame + i * 3;
      f[0] = p[0];
      f[1] = p[1];
      f[2] = p[2];
    }
  }
}
