#include "support/versus.h"

#include <chrono>
#include <cstdio>

#include "support/summary.h"

namespace lb {

void versusAnchor(benchmark::State& state, const std::string& label, const std::function<void()>& ours,
                  const std::function<void()>& anchor) {
  ours(), anchor();  // first runs settle both sessions
  double oursMs = 0, anchorMs = 0;
  const auto ms = [](const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) oursMs += ms(ours), anchorMs += ms(anchor);
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = oursMs / n;
  state.counters["anchor_ms"] = anchorMs / n;
  state.counters["speedup"] = anchorMs / oursMs;
  char text[128];
  std::snprintf(text, sizeof text, "%.2f ms vs anchor %.2f ms (%.1fx faster)", oursMs / n, anchorMs / n,
                anchorMs / oursMs);
  note(label + "@" + std::to_string(state.range(0)) + "t", text);
}

}  // namespace lb
