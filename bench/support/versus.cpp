#include "support/versus.h"

#include <chrono>
#include <cstdio>

#include "support/summary.h"

namespace lb {

void versusAnchor(benchmark::State& state, const std::string& label, const std::function<void()>& ours,
                  const std::function<void()>& anchor) {
  ours(), anchor();  // first runs settle both sessions
  struct Cost {
    double wallMs = 0, cpuMs = 0;
  } o, a;
  const auto timed = [](const std::function<void()>& f, Cost& c) {
    const double cpu0 = processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    f();
    c.wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    c.cpuMs += (processCpuSeconds() - cpu0) * 1e3;
  };
  for (auto _ : state) timed(ours, o), timed(anchor, a);
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = o.wallMs / n;
  state.counters["anchor_ms"] = a.wallMs / n;
  state.counters["speedup"] = a.wallMs / o.wallMs;
  // On a shared machine the wall clock also counts the neighbours; CPU time does not.
  state.counters["ours_cpu_ms"] = o.cpuMs / n;
  state.counters["anchor_cpu_ms"] = a.cpuMs / n;
  state.counters["cpu_speedup"] = a.cpuMs / o.cpuMs;
  char text[192];
  std::snprintf(text, sizeof text, "%.2f ms vs anchor %.2f ms (%.1fx faster; CPU %.2f vs %.2f ms, %.1fx)",
                o.wallMs / n, a.wallMs / n, a.wallMs / o.wallMs, o.cpuMs / n, a.cpuMs / n, a.cpuMs / o.cpuMs);
  note(label + "@" + std::to_string(state.range(0)) + "t", text);
}

}  // namespace lb
