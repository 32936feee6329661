// Internal logging helpers. Every source module defines NIMBRA_MODULE (its path as shown
// in log lines) before including this header.
#pragma once

#include "quilog.h"

#ifndef NIMBRA_MODULE
#error "define NIMBRA_MODULE before including StreamLog.h"
#endif

#define NLOG(level, ...) ::Velkor::Quilog::clog_printf((level), NIMBRA_MODULE, __LINE__, __VA_ARGS__)
#define NLOG_INFO(...) NLOG(0, __VA_ARGS__)
#define NLOG_WARN(...) NLOG(1, __VA_ARGS__)
#define NLOG_ERROR(...) NLOG(2, __VA_ARGS__)

#include <atomic>

namespace nimbra_internal {
// Threshold last given to set_log_level; per-frame lines are only formatted at SDEBUG,
// so a stream pays nothing for them otherwise.
extern std::atomic<int> g_log_level;
inline bool frame_logging() { return g_log_level.load(std::memory_order_relaxed) == 3; }
}  // namespace nimbra_internal

// Per-frame progress lines: level 0, emitted only when the library logs at SDEBUG.
#define NLOG_FRAME(...)                                      \
  do {                                                       \
    if (::nimbra_internal::frame_logging()) NLOG(0, __VA_ARGS__); \
  } while (0)
