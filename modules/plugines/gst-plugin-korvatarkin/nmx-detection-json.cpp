// SPDX-License-Identifier: BSD-3-Clause
// Writer of the JSON detection record (see nmx-detection-json.h).
#include "nmx-detection-json.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace nmx {
namespace detection {

namespace {

void clip_axis(float *a, float *b, int extent)
{
  if (extent >= 1) {
    *a = std::min(std::max(*a, 0.0f), (float)extent);
    *b = std::min(std::max(*b, 0.0f), (float)extent);
  } else {
    *a = *b = 0.0f;
  }
  if (*b < *a)
    std::swap(*a, *b);
}

void put_string(std::string *out, const std::string &s)
{
  static const char hex[] = "0123456789abcdef";
  out->push_back('"');
  for (char ch : s) {
    const unsigned char c = (unsigned char)ch;
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          out->append("\\u00");
          out->push_back(hex[c >> 4]);
          out->push_back(hex[c & 15]);
        } else {
          out->push_back(ch);
        }
    }
  }
  out->push_back('"');
}

// Shortest text that reads back as the same float, whatever the process locale.
void put_float(std::string *out, float v)
{
  if (!std::isfinite(v)) {
    out->append("null");
    return;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, r.ptr);
}

template <typename Int>
void put_int(std::string *out, Int v)
{
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out->append(buf, r.ptr);
}

void put_box(std::string *out, float x, float y, float w, float h)
{
  out->append("{\"x\":");
  put_float(out, x);
  out->append(",\"y\":");
  put_float(out, y);
  out->append(",\"width\":");
  put_float(out, w);
  out->append(",\"height\":");
  put_float(out, h);
  out->push_back('}');
}

}  // namespace

void clip_box(float *x, float *y, float *w, float *h, int width, int height)
{
  float x1 = *x, y1 = *y, x2 = *x + *w, y2 = *y + *h;
  clip_axis(&x1, &x2, width);
  clip_axis(&y1, &y2, height);
  *x = x1;
  *y = y1;
  *w = x2 - x1;
  *h = y2 - y1;
}

void append_json_line(const Frame &f, std::string *out)
{
  out->reserve(out->size() + 96 + f.detections.size() * 230);
  out->append("{\"frame\":");
  put_int(out, f.frame);
  out->append(",\"pts\":");
  if (f.has_pts)
    put_int(out, f.pts_ns);
  else
    out->append("null");
  out->append(",\"width\":");
  put_int(out, f.width);
  out->append(",\"height\":");
  put_int(out, f.height);
  out->append(",\"detections\":[");
  bool first = true;
  for (const Detection &d : f.detections) {
    float x = d.x, y = d.y, w = d.width, h = d.height;
    clip_box(&x, &y, &w, &h, f.width, f.height);
    if (!first)
      out->push_back(',');
    first = false;
    out->append("{\"label\":");
    put_string(out, d.label);
    out->append(",\"class_id\":");
    put_int(out, d.class_id);
    out->append(",\"confidence\":");
    put_float(out, d.confidence);
    out->append(",\"box\":");
    put_box(out, x, y, w, h);
    out->append(",\"box_normalized\":");
    const float fw = f.width >= 1 ? (float)f.width : 0.0f, fh = f.height >= 1 ? (float)f.height : 0.0f;
    put_box(out, fw > 0 ? x / fw : 0.0f, fh > 0 ? y / fh : 0.0f, fw > 0 ? w / fw : 0.0f, fh > 0 ? h / fh : 0.0f);
    if (d.track_id >= 0) {
      out->append(",\"track_id\":");
      put_int(out, d.track_id);
    }
    if (d.age >= 0) {
      out->append(",\"age\":");
      put_int(out, d.age);
    }
    out->push_back('}');
  }
  out->append("]}\n");
}

}  // namespace detection
}  // namespace nmx
