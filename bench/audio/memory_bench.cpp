// One continuous utterance of 30 minutes of speech into each motion back-end
// (the streaming object on the full speech encoders and motion bundle, the
// motion pipeline on its full directory), as a host that never ends its
// utterance streams it: pushed a second at a time, pulled as it comes,
// faster than real time. Prints the process RSS and the back-end's retained
// buffers at 1, 10 and 30 minutes; flat is the goal.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/a2x_stream.h"
#include "audio/motion_pipeline.h"
#include "support/bench_forge.h"
#include "support/summary.h"

namespace {

constexpr int kRate = 16000;
constexpr int kMinutes = 30;
const int kCheckpoints[] = {1, 10, 30};

const std::vector<float>& oneMinute() {
  static const std::vector<float> minute = [] {
    const std::vector<float> once = lb::forgedSpeech(
        "speech_memory.f32",
        "A host that never ends its utterance streams speech for as long as the call lasts. Memory must stay flat.");
    std::vector<float> m;
    while (m.size() < 60u * kRate) m.insert(m.end(), once.begin(), once.end());
    m.resize(60u * kRate);
    return m;
  }();
  return minute;
}

// Streams kMinutes minutes; `retained` gives the back-end's own buffers in MiB.
template <class Backend, class Retained>
void streamAndMeasure(benchmark::State& state, Backend& b, Retained&& retained, const char* name) {
  const std::vector<float>& minute = oneMinute();
  std::vector<int> idx(256);
  std::vector<float> xs(256 * 63), xd(256 * 63);
  const bool progress = ::isatty(2);
  std::string line;
  long frames = 0;
  for (int m = 1; m <= kMinutes; ++m) {
    for (size_t at = 0; at < minute.size(); at += kRate) {
      b.push(&minute[at], kRate);
      int n;
      while ((n = b.pull(idx.data(), xs.data(), xd.data(), 256)) > 0) frames += n;
    }
    if (progress) std::fprintf(stderr, "\r[memory] %s: minute %d of %d, %ld frames", name, m, kMinutes, frames);
    for (int at : kCheckpoints)
      if (at == m) {
        state.counters["rss_MiB_at_" + std::to_string(m) + "min"] = lb::rssMiB();
        state.counters["retained_MiB_at_" + std::to_string(m) + "min"] = retained();
        char text[120];
        std::snprintf(text, sizeof text, "%s%d min: RSS %.0f MiB, retained %.1f MiB", line.empty() ? "" : "; ", m,
                      lb::rssMiB(), retained());
        line += text;
      }
  }
  if (progress) std::fputs("\n", stderr);
  lb::note(std::string("memory of one ") + std::to_string(kMinutes) + "-minute utterance, " + name + ":", line);
}

void BM_LongUtteranceMemory_A2x(benchmark::State& state) {
  const std::string encoders =
      lb::forged("speech-encoders", "speech_full", "--size full", "/audio_encoder_fp16_window_head.onnx");
  const std::string bundle = lb::forged("motion-bundle", "motion_full", "--size full", "/a2x_dec.onnx");
  ::setenv("W2V_ONNX", (encoders + "/w2v8.onnx").c_str(), 1);
  for (auto _ : state) {
    le::a2x::Stream s(bundle, 1);
    streamAndMeasure(state, s, [&] { return s.retainedBytes() / 1048576.0; }, "le_a2x");
  }
}
BENCHMARK(BM_LongUtteranceMemory_A2x)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_LongUtteranceMemory_Pipeline(benchmark::State& state) {
  const std::string dir = lb::forged("motion-pipeline", "motion_pipeline_full", "--size full", "/stitch.onnx");
  for (auto _ : state) {
    le::motion::Pipeline p(dir, 1, "");
    streamAndMeasure(state, p, [&] { return p.retainedFloats() * 4.0 / 1048576.0; }, "le_motion");
  }
}
BENCHMARK(BM_LongUtteranceMemory_Pipeline)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
