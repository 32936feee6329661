// Splice streams: H.265 access units supplied by the caller, decoded by the platform
// decoder, every frame handed to the caller's callback as NV12.
//
//   auto cb = FrameCallback([](const Image& f) { ...; return 0; });
//   start_splice_stream("cam", cb);                       // returns once PLAYING
//   decode_put_frame_splice(au, au_size, "cam", pts_ns, false);  // any thread
//   stop_splice_stream("cam");
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "StreamTypes.h"

namespace Velkor {
namespace Nimbra {

// Which NAL unit kinds one access unit holds.
struct HevcAuInfo {
  bool has_vps = false;
  bool has_sps = false;
  bool has_pps = false;
  bool has_irap = false;
  bool has_vcl = false;
};

// Result codes of the splice functions.
enum SpliceResult : int {
  SPLICE_OK = 0,
  SPLICE_BAD_ARGUMENT = -1,
  SPLICE_ALREADY_REGISTERED = -2,
  SPLICE_NOT_FOUND = -3,
  SPLICE_PIPELINE_FAILED = -4,
  SPLICE_NOT_RUNNING = -5,
  SPLICE_DROPPED_WAITING = -6,
  SPLICE_PUSH_REFUSED = -7,
  SPLICE_INTERNAL = -8,
};

int start_splice_stream(std::string stream_id, std::function<int8_t(const Image&)>& callback);
int decode_put_frame_splice(const uint8_t* data, size_t size, const std::string& stream_id,
                            int64_t pts, bool is_key_frame);
int stop_splice_stream(std::string stream_id);
HevcAuInfo parse_hevc_au_info_splice(const uint8_t* data, size_t size);

}  // namespace Nimbra
}  // namespace Velkor
