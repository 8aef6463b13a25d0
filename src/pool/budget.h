// Thread budget and work split arithmetic of the worker pool.
#pragma once

#include <cstddef>

namespace le::pool {

// Budget from the two switch values (null when unset) and the hardware
// concurrency (0 when unknown).
int budgetFrom(const char* coreThreads, const char* pasteThreads,
               unsigned hardware);

// parts() for an explicit budget.
int partsFor(size_t n, size_t grain, int budget);

}  // namespace le::pool
