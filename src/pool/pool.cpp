#include "pool/pool.h"

#include <cstdlib>
#include <memory>
#include <thread>

#include "base/env.h"
#include "pool/budget.h"
#include "pool/worker_pool.h"

namespace le::pool {

thread_local bool g_inRegion = false;

namespace {

// Created on this thread's first parallel call, joined at its exit.
thread_local std::unique_ptr<WorkerPool> t_pool;

struct RegionGuard {
  RegionGuard() { g_inRegion = true; }
  ~RegionGuard() { g_inRegion = false; }
};

}  // namespace

int threads() {
  static const int budget =
      budgetFrom(env::raw("LE_CORE_THREADS"), env::raw("LE_PASTE_THREADS"), std::thread::hardware_concurrency());
  return budget;
}

bool available() { return true; }

int parts(size_t n, size_t grain) { return partsFor(n, grain, threads()); }

void parallelRange(size_t n, size_t grain, const RangeFn& fn) {
  if (g_inRegion) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  if (!t_pool) t_pool = std::make_unique<WorkerPool>(threads() - 1);
  RegionGuard region;
  t_pool->run(n, p, fn);
}

SerialScope::SerialScope() : outer_(g_inRegion) { g_inRegion = true; }

SerialScope::~SerialScope() { g_inRegion = outer_; }

}  // namespace le::pool
