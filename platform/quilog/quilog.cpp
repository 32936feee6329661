#include "quilog.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace Velkor {
namespace Quilog {
namespace {

struct Sink {
  std::mutex lock;
  std::string tag = "nimbra";
  LogLevel threshold = LOG_INFO;
  FILE* file = nullptr;
  bool to_stderr = true;
};

Sink& sink() {
  // Never destroyed: threads may still log while static destructors run at exit.
  static Sink* s = new Sink();
  return *s;
}

// Severity rank: debug < info < warning < error < fatal; off silences everything.
int rank(int level) {
  switch (level) {
    case LOG_DEBUG: return 0;
    case LOG_INFO: return 1;
    case LOG_WARNING: return 2;
    case LOG_ERROR: return 3;
    case LOG_FATAL: return 4;
    case LOG_OFF: return 5;
    default: return 1;
  }
}

const char* level_name(int level) {
  switch (level) {
    case LOG_INFO: return "INFO";
    case LOG_WARNING: return "WARN";
    case LOG_ERROR: return "ERROR";
    case LOG_FATAL: return "FATAL";
    case LOG_DEBUG: return "DEBUG";
    default: return "INFO";
  }
}

}  // namespace

void clog_printf(int level, const char* file, int line, const char* format, ...) {
  Sink& s = sink();
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.threshold == LOG_OFF || rank(level) < rank(s.threshold)) return;
  }
  char msg[2048];
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg, sizeof msg, format ? format : "", ap);
  va_end(ap);
  // Keep one message on one line even when a caller's text carries newlines.
  size_t n = strlen(msg);
  while (n > 0 && (msg[n - 1] == '\n' || msg[n - 1] == '\r')) msg[--n] = '\0';
  for (size_t i = 0; i < n; ++i)
    if (msg[i] == '\n' || msg[i] == '\r') msg[i] = ' ';

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  localtime_r(&tv.tv_sec, &tmv);
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);

  std::lock_guard<std::mutex> g(s.lock);
  auto emit = [&](FILE* out) {
    fprintf(out, "%s.%03ld [%s] [%s] %s:%d %s\n", when, (long)(tv.tv_usec / 1000),
            level_name(level), s.tag.c_str(), file ? file : "?", line, msg);
    fflush(out);
  };
  if (s.file) emit(s.file);
  if (s.to_stderr || !s.file) emit(stderr);
}

void clog_set_log_level(const char* tag, LogLevel level) {
  Sink& s = sink();
  std::lock_guard<std::mutex> g(s.lock);
  if (tag && *tag) s.tag = tag;
  s.threshold = level;
}

void clogger(const char* tag, const char* destination, int mode) {
  Sink& s = sink();
  std::lock_guard<std::mutex> g(s.lock);
  if (tag && *tag) s.tag = tag;
  if (s.file) {
    fclose(s.file);
    s.file = nullptr;
  }
  s.to_stderr = true;
  if (mode == 0 || !destination || !*destination) return;
  s.file = fopen(destination, "a");
  if (!s.file) {
    fprintf(stderr, "quilog: cannot open %s, logging to standard error\n", destination);
    return;
  }
  s.to_stderr = (mode != 2);
}

}  // namespace Quilog
}  // namespace Velkor
