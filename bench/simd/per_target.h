// Registers a benchmark once on the best SIMD target and once on the
// baseline target, so the gain of dispatch shows side by side.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <utility>

#include "simd/targets.h"

namespace lb {

template <class Fn>
void registerPerTarget(const std::string& name, Fn fn) {
  const auto targets = le::simd::runnableTargets();
  if (targets.empty()) return;
  std::vector<int64_t> picks{targets.front()};
  if (targets.size() > 1) picks.push_back(targets.back());
  for (int64_t t : picks) {
    benchmark::RegisterBenchmark((name + "/" + le::simd::targetName(t)).c_str(),
                                 [fn, t](benchmark::State& state) {
                                   le::simd::ScopedTarget pin(t);
                                   fn(state);
                                 });
  }
}

}  // namespace lb
