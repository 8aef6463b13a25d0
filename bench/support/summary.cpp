#include "support/summary.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace lb {

namespace {

std::map<std::string, std::string>& notes() {
  static std::map<std::string, std::string> n;
  return n;
}

void printSummary() {
  std::string line;
  for (const auto& [key, text] : notes()) line += (line.empty() ? "" : "; ") + key + " " + text;
  if (!line.empty()) std::printf("summary: %s\n", line.c_str());
}

}  // namespace

void note(const std::string& key, const std::string& text) {
  static std::once_flag once;
  // The map first, so it is destroyed only after the summary has printed.
  std::call_once(once, [] { notes(), std::atexit(printSummary); });
  notes()[key] = text;
}

double rssMiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

}  // namespace lb
