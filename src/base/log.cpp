#include "base/log.h"

#include <mutex>
#include <string>
#include <utility>

#include "base/env.h"

namespace le::log {
namespace {

// One mutex orders the lines of all threads and guards the sink.
std::mutex g_mutex;
Sink g_sink;

bool debugOn() { return env::equals("VELOMARK_DEBUG", "1"); }

FILE* defaultStream(Level level, bool quietable) {
  switch (level) {
    case Level::Debug:
      return debugOn() ? stderr : nullptr;
    case Level::Info:
      return quietable ? diag_stream() : stderr;
    default:
      return stderr;
  }
}

void emit(Level level, bool quietable, const char* fmt, va_list args);

}  // namespace

void setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_sink = std::move(sink);
}

void vwrite(Level level, const char* fmt, va_list args) { emit(level, true, fmt, args); }

namespace {

void emit(Level level, bool quietable, const char* fmt, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, fmt, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  std::string line;
  if (static_cast<size_t>(n) < sizeof small) {
    line.assign(small, static_cast<size_t>(n));
  } else {
    line.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(line.data(), line.size(), fmt, again);
    line.resize(static_cast<size_t>(n));
  }
  va_end(again);
  if (line.empty() || line.back() != '\n') line += '\n';

  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sink) {
    g_sink(level, line.c_str());
    return;
  }
  if (FILE* f = defaultStream(level, quietable)) {
    std::fputs(line.c_str(), f);
    std::fflush(f);
  }
}

}  // namespace

void write(Level level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vwrite(level, fmt, args);
  va_end(args);
}

#define LE_LOG_AT(name, level)      \
  void name(const char* fmt, ...) { \
    va_list args;                   \
    va_start(args, fmt);            \
    vwrite(level, fmt, args);       \
    va_end(args);                   \
  }
LE_LOG_AT(info, Level::Info)
LE_LOG_AT(warn, Level::Warn)
LE_LOG_AT(debug, Level::Debug)
#undef LE_LOG_AT

void report(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  emit(Level::Info, false, fmt, args);
  va_end(args);
}

bool engineQuiet() { return env::equals("VELOMARK_ENGINE_QUIET", "1") && !debugOn(); }

}  // namespace le::log

namespace le {

FILE* diag_stream() {
  if (!log::engineQuiet()) return stderr;
  // Opened once and kept for the life of the process: lines go to it from any thread.
  static FILE* const sink = [] {
    FILE* f = std::fopen("/dev/null", "w");
    return f ? f : stderr;
  }();
  return sink;
}

}  // namespace le
