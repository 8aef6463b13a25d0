// Speech in, on the full forged models (a 12-layer 768-wide 8 s encoder, the
// short-window trunk/head pair, a full motion bundle), one intra-op thread:
//   - CPU ms per second of speech of the 8 s encoder (one window per 4 s) and
//     of the pair (one 2 s trunk window and one head run per 8 frames), and
//     their ratio;
//   - the wall latency of one avail call that decodes a block (8 frames on
//     the short-window path, a band of up to 64 on the 8 s path);
//   - for a host pushing 40 ms at a time and pulling all it can: the frames
//     held back before finish, RSS at 1, 5 and 10 minutes, and the whole
//     stream's CPU ms per second of speech.
// The stream figures are for the path this process serves: the pair, which
// ships beside the encoder, or with LE_BENCH_A2X_PATH=8s the 8 s path (the
// encoder alone in its directory). The pair is searched once per process, so
// one run serves one path. Streamed 40 ms at a time, the 8 s path runs its
// unfinished window again for every new 8-frame block, so its 10-minute
// stream takes about a quarter of an hour of CPU.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/a2x_stream.h"
#include "audio/shared_encoders.h"
#include "ort/options.h"
#include "support/bench_forge.h"
#include "support/summary.h"

namespace {

namespace a2x = le::a2x;
namespace fs = std::filesystem;

constexpr int kRate = 16000;
const char kTrunk[] = "/audio_encoder_fp16_window_trunk.onnx";
const char kHead[] = "/audio_encoder_fp16_window_head.onnx";

struct Models {
  Models() {
    pairDir = lb::forged("speech-encoders", "speech_full", "--size full", kHead);  // the head is written last
    encoders = pairDir;
    if (const char* path = std::getenv("LE_BENCH_A2X_PATH"); path && std::string(path) == "8s") {
      encoders = std::string(LE_BENCH_SCRATCH) + "/speech_full_8s";
      fs::create_directories(encoders);
      if (!fs::exists(fs::symlink_status(encoders + "/w2v8.onnx")))
        fs::create_symlink(pairDir + "/w2v8.onnx", encoders + "/w2v8.onnx");
    }
    motion = lb::forged("motion-bundle", "motion_full", "--size full", "/a2x_dec.onnx");
    speech = lb::forgedSpeech("speech.f32",
                              "Speech goes in and frames come out. The quick brown fox jumps over the lazy dog, then "
                              "rests a while before it speaks again.");
    ::setenv("W2V_ONNX", (encoders + "/w2v8.onnx").c_str(), 1);
  }
  // The speech repeated to at least `seconds`.
  std::vector<float> speechFor(int seconds) const {
    std::vector<float> v;
    while (v.size() < static_cast<size_t>(seconds) * kRate) v.insert(v.end(), speech.begin(), speech.end());
    return v;
  }
  std::string pairDir, encoders, motion;
  std::vector<float> speech;
};

Models& models() {
  static Models m;
  return m;
}

std::vector<float> noise(size_t n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> d;
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

std::vector<Ort::Value> runOnce(Ort::Session& s, const char* in, std::vector<float>& x,
                                std::vector<int64_t> shape, const char* out) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value v = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), shape.data(), shape.size());
  return s.Run(Ort::RunOptions{nullptr}, &in, &v, 1, &out, 1);
}

double g_w2v8MsPerSecond = 0, g_pairMsPerSecond = 0;

void noteRatio() {
  if (g_w2v8MsPerSecond > 0 && g_pairMsPerSecond > 0) {
    char text[160];
    std::snprintf(text, sizeof text, "%.2fx (8 s encoder %.1f, pair %.1f CPU ms per s of speech)",
                  g_w2v8MsPerSecond / g_pairMsPerSecond, g_w2v8MsPerSecond, g_pairMsPerSecond);
    lb::note("pair vs 8 s encoder:", text);
  }
}

const char* pathName(const a2x::Stream& s) { return s.shortWindow() ? "short-window" : "8 s"; }

// One 8 s window: 100 frames (4 s) of new speech.
void BM_W2v8Window(benchmark::State& state) {
  Models& m = models();
  Ort::Session* w2v = a2x::get_shared_w2v((m.encoders + "/w2v8.onnx").c_str(), 1);
  std::vector<float> x = noise(a2x::kWin8Samples);
  runOnce(*w2v, "input_values", x, {1, a2x::kWin8Samples}, "audio_emb");
  double cpu = 0;
  for (auto _ : state) {
    const double c0 = lb::processCpuSeconds();
    benchmark::DoNotOptimize(runOnce(*w2v, "input_values", x, {1, a2x::kWin8Samples}, "audio_emb"));
    cpu += lb::processCpuSeconds() - c0;
  }
  g_w2v8MsPerSecond = cpu * 1e3 / static_cast<double>(state.iterations()) / 4.0;
  state.counters["cpu_ms_per_speech_s"] = g_w2v8MsPerSecond;
  noteRatio();
}
BENCHMARK(BM_W2v8Window)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// One trunk window and one head run: 8 frames (0.32 s) of new speech. The
// benchmark opens the pair itself, so it runs whichever path the process serves.
void BM_PairBlock(benchmark::State& state) {
  Models& m = models();
  Ort::SessionOptions options = le::ort::speechOptions(1, "w2v");
  const std::unique_ptr<Ort::Session> trunk = a2x::le_a2x_open_session((m.pairDir + kTrunk).c_str(), options);
  const std::unique_ptr<Ort::Session> head = a2x::le_a2x_open_session((m.pairDir + kHead).c_str(), options);
  Ort::AllocatorWithDefaultOptions alloc;
  const std::string trunkOut = trunk->GetOutputNameAllocated(0, alloc).get();
  std::vector<float> x = noise(a2x::kWin2Samples), hx = noise(a2x::kBlockFrames * a2x::kTrunkChannels);
  const auto block = [&] {
    benchmark::DoNotOptimize(runOnce(*trunk, "input_values", x, {1, a2x::kWin2Samples}, trunkOut.c_str()));
    benchmark::DoNotOptimize(runOnce(*head, "x", hx, {a2x::kBlockFrames, a2x::kTrunkChannels}, "emb"));
  };
  block();
  double cpu = 0;
  for (auto _ : state) {
    const double c0 = lb::processCpuSeconds();
    block();
    cpu += lb::processCpuSeconds() - c0;
  }
  const double blockSeconds = static_cast<double>(a2x::kBlockSamples) / kRate;
  g_pairMsPerSecond = cpu * 1e3 / static_cast<double>(state.iterations()) / blockSeconds;
  state.counters["cpu_ms_per_speech_s"] = g_pairMsPerSecond;
  noteRatio();
}
BENCHMARK(BM_PairBlock)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// Wall time of one avail call, with 90 s of speech pushed and not finished,
// after a first call that also made the features of the look-ahead.
void BM_AvailDecodesABlock(benchmark::State& state) {
  Models& m = models();
  a2x::Stream s(m.motion, 1);
  const std::vector<float> audio = m.speechFor(90);
  s.push(audio.data(), static_cast<int>(audio.size()));
  s.avail();
  double sum = 0, worst = 0, cpu = 0;
  const int first = s.decoded();
  for (auto _ : state) {
    const int before = s.decoded();
    const double c0 = lb::processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(s.avail());
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    cpu += lb::processCpuSeconds() - c0;
    if (s.decoded() == before) {
      state.SkipWithError("avail decoded nothing: the pushed speech is used up");
      return;
    }
    sum += ms;
    worst = std::max(worst, ms);
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["latency_ms"] = sum / calls;
  state.counters["cpu_ms"] = cpu * 1e3 / calls;
  state.counters["frames_per_call"] = (s.decoded() - first) / calls;
  char text[200];
  std::snprintf(text, sizeof text, "%.1f ms mean, %.1f ms worst, %.1f CPU ms (%s path, %.0f frames a call)",
                sum / calls, worst, cpu * 1e3 / calls, pathName(s), (s.decoded() - first) / calls);
  lb::note("avail decoding a block:", text);
}
BENCHMARK(BM_AvailDecodesABlock)->Unit(benchmark::kMillisecond)->Iterations(24)->UseRealTime();

// Ten minutes of speech pushed 40 ms at a time and pulled as it comes.
void BM_TenMinuteStream(benchmark::State& state) {
  Models& m = models();
  for (auto _ : state) {
    a2x::Stream s(m.motion, 1);
    const int max = 64;
    std::vector<int> idx(max);
    std::vector<float> xs(max * a2x::kKpFloats), xd(max * a2x::kKpFloats);
    const double rss0 = lb::rssMiB();
    double rss[3] = {0, 0, 0};
    size_t kept[3] = {0, 0, 0};
    const int64_t marks[3] = {60LL * kRate, 300LL * kRate, 600LL * kRate};
    int heldMin = INT_MAX, heldMax = 0;
    int64_t pushed = 0;
    size_t at = 0;
    const double c0 = lb::processCpuSeconds();
    for (int mark = 0; mark < 3;) {
      const int n = static_cast<int>(std::min<size_t>(le::audio::kFrameSamples, m.speech.size() - at));
      s.push(&m.speech[at], n);
      at = (at + n) % m.speech.size();
      pushed += n;
      while (s.pull(idx.data(), xs.data(), xd.data(), max) > 0) {
      }
      if (pushed >= 10LL * kRate) {  // past the start-up
        const int held = static_cast<int>((pushed + le::audio::kFrameSamples - 1) / le::audio::kFrameSamples) - s.pulled();
        heldMin = std::min(heldMin, held);
        heldMax = std::max(heldMax, held);
      }
      if (pushed >= marks[mark]) {
        rss[mark] = lb::rssMiB();
        kept[mark] = s.retainedBytes();
        ++mark;
      }
    }
    const double cpuMsPerSecond = (lb::processCpuSeconds() - c0) * 1e3 / 600.0;
    state.counters["rss_1min_MiB"] = rss[0];
    state.counters["rss_5min_MiB"] = rss[1];
    state.counters["rss_10min_MiB"] = rss[2];
    state.counters["cpu_ms_per_speech_s"] = cpuMsPerSecond;
    state.counters["held_min_frames"] = heldMin;
    state.counters["held_max_frames"] = heldMax;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%.0f / %.0f / %.0f MiB at 1 / 5 / 10 min (%.0f MiB after creation; stream buffers %.1f / %.1f / "
                  "%.1f MiB), %.1f CPU ms per s of speech (%s path)",
                  rss[0], rss[1], rss[2], rss0, kept[0] / 1048576.0, kept[1] / 1048576.0, kept[2] / 1048576.0,
                  cpuMsPerSecond, pathName(s));
    lb::note("10-minute stream:", text);
    std::snprintf(text, sizeof text,
                  "%d-%d frames = %d-%d ms, pushing 40 ms at a time (%s path: look-ahead span %d, right %d)", heldMin,
                  heldMax, heldMin * 40, heldMax * 40, pathName(s), s.lookAheadSpan(), s.right());
    lb::note("held back before finish:", text);
  }
}
BENCHMARK(BM_TenMinuteStream)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
