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
