#define NIMBRA_MODULE "modules/origin/src/nimbra"
#include "nimbra.h"

#include "StreamLog.h"

namespace Velkor {
namespace Nimbra {

void set_log_level(GSTLogLevel level) {
  Quilog::LogLevel q;
  switch (level) {
    case SINFO: q = static_cast<Quilog::LogLevel>(0); break;
    case SWARNING: q = static_cast<Quilog::LogLevel>(1); break;
    case SERROR: q = static_cast<Quilog::LogLevel>(2); break;
    case SDEBUG: q = static_cast<Quilog::LogLevel>(5); break;
    case SOFF: q = static_cast<Quilog::LogLevel>(4); break;
    default: q = static_cast<Quilog::LogLevel>(0); break;
  }
  Quilog::clog_set_log_level("nimbra", q);
}

void clogger(const char* destinationPath) { Quilog::clogger("nimbra", destinationPath, 2); }

}  // namespace Nimbra
}  // namespace Velkor
