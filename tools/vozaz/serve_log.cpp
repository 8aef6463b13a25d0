#include "serve_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vozaz::serve {
namespace {

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
std::string& statusLine() {  // guarded by logMutex()
  static std::string s;
  return s;
}
const bool kTerminal = ::isatty(2);

}  // namespace

void logLine(const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  const std::lock_guard<std::mutex> lock(logMutex());
  if (kTerminal)
    std::fprintf(stderr, "\r\033[K%s\n%s", line, statusLine().c_str());
  else
    std::fprintf(stderr, "%s\n", line);
  std::fflush(stderr);
}

void setStatus(const std::string& status) {
  if (!kTerminal) return;
  const std::lock_guard<std::mutex> lock(logMutex());
  statusLine() = status;
  std::fprintf(stderr, "\r\033[K%s", status.c_str());
  std::fflush(stderr);
}

}  // namespace vozaz::serve
