#include "render/diag.h"

#include <cstdlib>
#include <cstring>

namespace le {

namespace env {

bool equals(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

bool beginsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

bool nonEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] != '\0';
}

}  // namespace env

bool engineQuiet() { return env::equals("VELOMARK_ENGINE_QUIET", "1") && !env::equals("VELOMARK_DEBUG", "1"); }

FILE* diag_stream() {
  if (!engineQuiet()) return stderr;
  // Opened once and kept for the life of the process: lines go to it from any thread.
  static FILE* const sink = [] {
    FILE* f = std::fopen("/dev/null", "w");
    return f ? f : stderr;
  }();
  return sink;
}

}  // namespace le
