// The motion pipeline on the full forged directory (a 512-wide student,
// a 4-block 512-wide generator, a two-layer stitch), one intra-op thread:
//   - ms per conditioning window (front end, student model, rows: 5 frames),
//     per generator chunk (80 frames predicted, 70 new) and per emitted frame
//     (pose, stitch, bridge);
//   - CPU ms per second of speech of a whole stream pushed 40 ms at a time
//     and pulled as it comes, against the streaming back-end (le_a2x on the
//     full speech encoders and motion bundle) on the same speech in the same
//     process, with the ratio.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/a2x_stream.h"
#include "audio/log_mel.h"
#include "audio/motion_net.h"
#include "audio/motion_pipeline.h"
#include "audio/motion_sequence.h"
#include "audio/motion_tables.h"
#include "ort/options.h"
#include "audio/shared_encoders.h"
#include "support/bench_forge.h"
#include "support/summary.h"

namespace {

namespace motion = le::motion;
constexpr int kRate = 16000;
constexpr int kStreamSeconds = 30;

struct Inputs {
  Inputs() {
    dir = lb::forged("motion-pipeline", "motion_pipeline_full", "--size full", "/stitch.onnx");
    const std::vector<float> once =
        lb::forgedSpeech("speech_motion.f32",
                         "Speech goes in and frames come out. The quick brown fox jumps over the lazy dog, then "
                         "rests a while before it speaks again.");
    while (speech.size() < static_cast<size_t>(kStreamSeconds) * kRate)
      speech.insert(speech.end(), once.begin(), once.end());
    speech.resize(static_cast<size_t>(kStreamSeconds) * kRate);
  }
  std::string dir;
  std::vector<float> speech;
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

struct Nets {
  Nets()
      : tables(motion::loadTables(inputs().dir)),
        options(le::ort::motionOptions(1, "", inputs().dir)),
        student(inputs().dir, "hubert_student.onnx", options, {{"the log-mel", {1, 80, 21}}}, 20 * 1024),
        lmdm(inputs().dir, "lmdm.onnx", options, {{"the conditioning", {1, 80, 1103}}, {"the seed", {1, 265}}},
             80 * 265) {}
  motion::Tables tables;
  Ort::SessionOptions options;
  motion::Net student, lmdm;
};

// One window: 6480 samples to 5 conditioning rows' worth of features.
void BM_MotionWindow(benchmark::State& state) {
  Nets n;
  motion::LogMel front(n.tables.window, n.tables.filters);
  const std::vector<float>& s = inputs().speech;
  std::vector<float> mel(80 * 21), feat(20 * 1024);
  size_t at = 0;
  for (auto _ : state) {
    front.compute(&s[at], mel.data());
    n.student.run({mel.data()}, feat.data());
    at = (at + 3200) % (s.size() - motion::kSegment);
  }
  state.counters["frames_per_window"] = 5;
}
BENCHMARK(BM_MotionWindow)->Unit(benchmark::kMillisecond)->Iterations(50)->UseRealTime();

// One chunk: the generator over 80 rows and the overlap blend into the sequence.
void BM_MotionChunk(benchmark::State& state) {
  Nets n;
  std::vector<float> cond(80 * 1103, 0.1f), seed(265, 0.0f), pred(80 * 265), seq;
  for (auto _ : state) {
    n.lmdm.run({cond.data(), seed.data()}, pred.data());
    motion::addChunk(seq, pred.data());
  }
  state.counters["new_frames_per_chunk"] = 70;
}
BENCHMARK(BM_MotionChunk)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

// Emitted frames of a finished 30 s utterance, timed through whole pull calls.
void BM_MotionEmitFrame(benchmark::State& state) {
  motion::Pipeline p(inputs().dir, 1, "");
  const std::vector<float>& s = inputs().speech;
  std::vector<int> idx(1);
  std::vector<float> xs(63), xd(63);
  for (auto _ : state) {
    state.PauseTiming();
    if (p.finished() && p.pulled() >= p.total()) p.reset(0, 1, 1);
    if (!p.finished()) {
      p.push(s.data(), static_cast<int>(s.size()));
      p.finish();
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(p.pull(idx.data(), xs.data(), xd.data(), 1));
  }
}
BENCHMARK(BM_MotionEmitFrame)->Unit(benchmark::kMicrosecond)->Iterations(500)->UseRealTime();

// A host pushing 40 ms at a time and pulling all it can; CPU ms per second of speech.
template <class Push, class Pull, class Finish>
double streamCpuMsPerSecond(Push&& push, Pull&& pull, Finish&& finish) {
  const std::vector<float>& s = inputs().speech;
  const double c0 = lb::processCpuSeconds();
  for (size_t at = 0; at < s.size(); at += 640) {
    push(&s[at], static_cast<int>(std::min<size_t>(640, s.size() - at)));
    while (pull() > 0) {
    }
  }
  finish();
  while (pull() > 0) {
  }
  return (lb::processCpuSeconds() - c0) * 1e3 / kStreamSeconds;
}

void BM_StreamCpuVersusA2x(benchmark::State& state) {
  const std::string encoders =
      lb::forged("speech-encoders", "speech_full", "--size full", "/audio_encoder_fp16_window_head.onnx");
  const std::string bundle = lb::forged("motion-bundle", "motion_full", "--size full", "/a2x_dec.onnx");
  ::setenv("W2V_ONNX", (encoders + "/w2v8.onnx").c_str(), 1);
  std::vector<int> idx(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  for (auto _ : state) {
    motion::Pipeline p(inputs().dir, 1, "");
    const double ours =
        streamCpuMsPerSecond([&](const float* a, int n) { p.push(a, n); },
                             [&] { return p.pull(idx.data(), xs.data(), xd.data(), 64); }, [&] { p.finish(); });
    le::a2x::Stream a(bundle, 1);
    const double anchor = streamCpuMsPerSecond([&](const float* x, int n) { a.push(x, n); },
                                               [&] { return a.pull(idx.data(), xs.data(), xd.data(), 64); },
                                               [&] { a.finish(); });
    state.counters["motion_cpu_ms_per_speech_s"] = ours;
    state.counters["a2x_cpu_ms_per_speech_s"] = anchor;
    char text[200];
    std::snprintf(text, sizeof text, "%.1f vs %.1f CPU ms per s of speech (le_motion / le_a2x %s path): %.2fx", ours,
                  anchor, a.shortWindow() ? "short-window" : "8 s", ours / anchor);
    lb::note("motion pipeline vs streaming back-end:", text);
  }
}
BENCHMARK(BM_StreamCpuVersusA2x)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
