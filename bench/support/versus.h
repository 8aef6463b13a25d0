// Times two runs of the same work back to back, call by call, and reports
// ours against the anchor as counters and one summary note.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>

namespace lb {

void versusAnchor(benchmark::State& state, const std::string& label, const std::function<void()>& ours,
                  const std::function<void()>& anchor);

}  // namespace lb
