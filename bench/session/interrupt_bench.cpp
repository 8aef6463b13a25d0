// Barge-in on the demo avatar (1280x720, crop 512) with the full streaming
// motion models: a host interrupts a session while speech is being rendered
// and we time
//   - adopt: le_utt_interrupt returning -> the main loop runs on the new
//     generation (waits for ring space recheck every 2 ms; a render already
//     in flight finishes first);
//   - first ramp frame: le_utt_interrupt returning -> the first frame of the
//     ease back to idle waits in the ring, which is what the viewer sees.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_cpp.h"
#include "le/le_utt.h"
#include "session/utt.h"
#include "support/bench_forge.h"
#include "support/env_default.h"
#include "support/summary.h"

namespace {

using clock = std::chrono::steady_clock;

struct UttCloser {
  void operator()(le_utt* u) const { le_utt_destroy(u); }
};

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

void BM_InterruptDuringSpeech(benchmark::State& state) {
  const std::string bundle = lb::forgedBundle("demo-bundle", "demo_ada", "--frames 8");
  const std::string encoders = lb::forged("speech-encoders", "speech_full", "--size full",
                                          "/audio_encoder_fp16_window_head.onnx");
  const std::string motion = lb::forged("motion-bundle", "motion_full", "--size full", "/a2x_dec.onnx");
  ::setenv("W2V_ONNX", (encoders + "/w2v8.onnx").c_str(), 1);
  const lb::EnvDefault warpNode("LE_WARP_NODE", "1");
  const std::vector<int16_t> pcm =
      lb::forgedPcm16("barge_in_speech.f32", "Please keep talking for a while, so that somebody can interrupt you.");

  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", 2, nullptr));
  if (!ctx) return state.SkipWithError(le_last_error());
  le_utt_opts opts{};
  opts.motion_dir = motion.c_str();
  opts.threads = 2;
  std::unique_ptr<le_utt, UttCloser> utt(le_utt_create(ctx.get(), &opts));
  if (!utt) return state.SkipWithError(le_utt_last_error());
  const auto loadBy = clock::now() + std::chrono::minutes(2);
  while (le_utt_ready(utt.get()) == 0 && clock::now() < loadBy) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (le_utt_ready(utt.get()) != 1) return state.SkipWithError("the session did not become ready");

  std::vector<uint8_t> rgb(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3);
  std::vector<double> adopt, firstRamp;
  for (auto _ : state) {
    le_utt_push_audio(utt.get(), pcm.data(), static_cast<int>(pcm.size()));
    le_utt_end_utterance(utt.get());
    // Pull as a host would until a few speech frames have been shown.
    le_utt_frame_info info{};
    int shown = 0;
    const auto giveUp = clock::now() + std::chrono::seconds(60);
    while (shown < 5 && clock::now() < giveUp)
      if (le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info) == 1)
        shown += info.kind == LE_UTT_FRAME_SPEECH;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (shown < 5) return state.SkipWithError("no speech frames within 60 s");

    le_utt_interrupt(utt.get());
    const auto t0 = clock::now();
    const uint64_t gen = utt->generation();
    bool adopted = false;
    for (;;) {
      if (!adopted && utt->adoptedGeneration() >= gen) {
        adopt.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count());
        adopted = true;
      }
      if (le_utt_frames_available(utt.get()) > 0) break;
      std::this_thread::yield();
    }
    firstRamp.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count());
    // Drain the ramp back to idle before the next utterance.
    while (le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info) != 1 || info.kind != LE_UTT_FRAME_IDLE)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  le_utt_stats s{};
  le_utt_get_stats(utt.get(), &s);
  state.counters["adopt_p50_ms"] = percentile(adopt, 0.5);
  state.counters["adopt_max_ms"] = percentile(adopt, 1.0);
  state.counters["first_ramp_p50_ms"] = percentile(firstRamp, 0.5);
  state.counters["first_ramp_max_ms"] = percentile(firstRamp, 1.0);
  state.counters["render_ms_ema"] = s.render_ms_ema;
  char line[200];
  std::snprintf(line, sizeof line,
                "interrupt adopted p50 %.1f ms, max %.1f ms; first ramp frame p50 %.1f ms, max %.1f ms (render %.1f "
                "ms per frame)",
                percentile(adopt, 0.5), percentile(adopt, 1.0), percentile(firstRamp, 0.5),
                percentile(firstRamp, 1.0), s.render_ms_ema);
  lb::note("barge-in", line);
}
BENCHMARK(BM_InterruptDuringSpeech)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
