#include "pool/budget.h"

#include <algorithm>
#include <cstdlib>

namespace le::pool {
namespace {

int requestedFrom(const char* value) {
  const long r = std::strtol(value, nullptr, 10);
  return r > 0 ? static_cast<int>(std::min<long>(r, 1L << 20)) : 1;
}

}  // namespace

int budgetFrom(const char* coreThreads, const char* pasteThreads,
               unsigned hardware) {
  int requested = 4;
  if (coreThreads && *coreThreads)
    requested = requestedFrom(coreThreads);
  else if (pasteThreads && *pasteThreads)
    requested = requestedFrom(pasteThreads);
  const int h = static_cast<int>(std::min(hardware, 1u << 20));
  return (h > 0 && requested > h) ? h : requested;
}

int partsFor(size_t n, size_t grain, int budget) {
  if (budget < 2) return 1;
  const size_t q = n / std::max<size_t>(grain, 1);
  return q > 1 ? static_cast<int>(std::min<size_t>(q, budget)) : 1;
}

}  // namespace le::pool
