// Stand-in for the board's logging library (libquilog.so). Only the three calls the
// streaming library makes exist here; the board's library replaces this one there.
#pragma once

namespace Velkor {
namespace Quilog {

// Numbering follows the board library: 0..2 are the message levels the streaming
// library logs at, 4 switches a tag off and 5 is its most verbose (debug) threshold.
enum LogLevel : int {
  LOG_INFO = 0,
  LOG_WARNING = 1,
  LOG_ERROR = 2,
  LOG_FATAL = 3,
  LOG_OFF = 4,
  LOG_DEBUG = 5,
};

// One message, printf style. `file` is the caller's source module path, `line` its line.
void clog_printf(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Messages less severe than `level` are dropped for `tag`.
void clog_set_log_level(const char* tag, LogLevel level);

// Sends `tag` to `destination`. mode 0: standard error only; 1: standard error and the
// file; 2: the file only (appended). An unopenable file falls back to standard error.
void clogger(const char* tag, const char* destination, int mode);

}  // namespace Quilog
}  // namespace Velkor
