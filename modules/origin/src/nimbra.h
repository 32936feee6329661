// Public stream API of libnimbra-gst.
//
//   #include <nimbra.h>
//   using namespace Velkor::Nimbra;
//   std::function<int8_t(const Image&)> cb = [](const Image& f) {
//     // f.data: f.height rows of f.width RGB pixels, valid only during this call
//     return 0;
//   };
//   start_stream("cam1", cb);   // blocks until the stream ends; stop it from another
//                                // thread with gstreamer_pipeline_shutdown("cam1")
#pragma once

#include <functional>
#include <string>

#include "StreamBuildSplice.h"
#include "StreamTypes.h"

namespace Velkor {
namespace Nimbra {

// Logging of the library (threshold and destination file of the "nimbra" tag).
void set_log_level(GSTLogLevel level);
void clogger(const char* destinationPath);

}  // namespace Nimbra
}  // namespace Velkor
