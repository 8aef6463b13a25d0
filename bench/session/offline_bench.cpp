// The offline path on the demo avatar (1280x720 driver, crop 512) with the
// full forged speech encoder, two threads:
//   - OfflineVsSession: 60 s of espeak-ng speech through le_stream_run, then,
//     in the same process, through the real-time session (le_utt, streaming
//     back-end with the full motion bundle) fed all of it at once and pulled
//     as fast as it delivers. Frames per second of each, their speed against
//     real time (seconds of video per second of wall time) and the process's
//     CPU milliseconds per frame, which a shared machine disturbs far less.
//     Both are timed from creation: the session builds its director in its
//     warm-up, the stream in its first render, so timing only the runs would
//     charge the construction to the stream alone.
//   - FcaDeltas: le_fca_deltas on the same 60 s, milliseconds per second of
//     speech.
//   - PriorRowApiVsFfmpegCli: le_prior_row over a 512x512 HEVC 4:4:4 prior,
//     five passes in playback order from a fresh handle, next to the ffmpeg
//     command line decoding the same prior five times to raw planar RGB:
//     frames per second.
// The director runs as in the demo (LE_WARP_NODE=1 unless set).
// LE_BENCH_SPEECH_SECONDS shortens the speech where a shared machine cannot
// spare the half hour two 60 s runs at crop 512 take; the ratios hold.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_cpp.h"
#include "le/le_utt.h"
#include "support/bench_forge.h"
#include "support/env_default.h"
#include "support/summary.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kThreads = 2;
constexpr int kFps = 25;
constexpr auto kGiveUp = std::chrono::minutes(30);

// The host-simulator's text, so the forged file is shared with it.
const char kText[] =
    "Speech goes in and frames come out. The quick brown fox jumps over the lazy dog, then rests a while before it "
    "speaks again.";

double speechSeconds() {
  const char* text = std::getenv("LE_BENCH_SPEECH_SECONDS");
  const double s = text ? std::atof(text) : 0;
  return s > 0 ? s : 60;
}

const std::vector<float>& speech() {
  static const std::vector<float> audio = [] {
    const std::vector<float> once = lb::forgedSpeech("speech.f32", kText);
    std::vector<float> a(static_cast<size_t>(speechSeconds() * 16000));
    for (size_t i = 0; i < a.size(); ++i) a[i] = once[i % once.size()];
    return a;
  }();
  return audio;
}

std::string demoBundle() { return lb::forged("demo-bundle", "demo8", "--frames 8", "/fca_stream.onnx"); }

std::string w2vPath() {
  return lb::forged("speech-encoders", "speech_full", "--size full", "/audio_encoder_fp16_window_head.onnx") +
         "/w2v8.onnx";
}

std::string motionDir() {
  return lb::forged("motion-bundle", "motion_full_nt50", "--size full --nt 50", "/a2x_dec.onnx");
}

// Frames per second of wall time, and CPU milliseconds of the whole process
// per frame: on a shared machine the second is what the neighbours leave alone.
struct Pace {
  double fps = 0, cpuMs = 0;
};

// Speech frames of the real-time session given all the audio at once; fps 0
// with `error` set when it cannot run.
Pace sessionPace(const std::string& bundle, const std::vector<float>& audio, std::string& error) {
  const auto fail = [&](const char* text) {
    error = text;
    return Pace{};
  };
  const lb::EnvDefault w2v("W2V_ONNX", w2vPath().c_str());
  const auto t0 = Clock::now();
  const double cpu0 = lb::processCpuSeconds();
  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", kThreads, nullptr));
  if (!ctx) return fail(le_last_error());
  le_utt_opts opts{};
  const std::string motion = motionDir();
  opts.motion_dir = motion.c_str();
  opts.threads = kThreads;
  opts.steady_model = "-";
  std::unique_ptr<le_utt, void (*)(le_utt*)> utt(le_utt_create(ctx.get(), &opts), le_utt_destroy);
  if (!utt) return fail(le_utt_last_error());
  int ready = 0;
  while ((ready = le_utt_ready(utt.get())) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (ready != 1) return fail(le_utt_last_error());
  std::vector<int16_t> pcm(audio.size());
  for (size_t i = 0; i < audio.size(); ++i) pcm[i] = static_cast<int16_t>(audio[i] * 32767.0f);
  std::vector<uint8_t> rgb(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3);
  const long want = static_cast<long>((audio.size() + 639) / 640);
  long speech = 0;
  le_utt_frame_info info{};
  le_utt_push_audio(utt.get(), pcm.data(), static_cast<int>(pcm.size()));
  le_utt_end_utterance(utt.get());
  while (speech < want) {
    if (Clock::now() - t0 > kGiveUp) return fail("the session stopped delivering speech frames");
    if (le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info) != 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    else if (info.kind == LE_UTT_FRAME_SPEECH)
      ++speech;
  }
  return {speech / Seconds(Clock::now() - t0).count(), (lb::processCpuSeconds() - cpu0) * 1e3 / speech};
}

void BM_OfflineVsSession(benchmark::State& state) {
  const lb::EnvDefault warpNode("LE_WARP_NODE", "1");
  const lb::EnvDefault quiet("VELOMARK_ENGINE_QUIET", "1");
  const std::string bundle = demoBundle(), w2v = w2vPath();
  const std::vector<float>& audio = speech();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const double cpu0 = lb::processCpuSeconds();
    le_stream_ptr stream(le_stream_create(bundle.c_str(), w2v.c_str(), kThreads, 0, 1));
    if (!stream) return state.SkipWithError(le_stream_last_error());
    const int frames = le_stream_run(stream.get(), audio.data(), static_cast<int>(audio.size()), nullptr, nullptr);
    if (frames <= 0) return state.SkipWithError(le_stream_last_error());
    const Pace offline{frames / Seconds(Clock::now() - t0).count(), (lb::processCpuSeconds() - cpu0) * 1e3 / frames};
    stream.reset();
    std::string error;
    const Pace session = sessionPace(bundle, audio, error);
    if (session.fps <= 0) return state.SkipWithError(error.c_str());
    state.counters["offline_fps"] = offline.fps;
    state.counters["offline_x_realtime"] = offline.fps / kFps;
    state.counters["offline_cpu_ms_per_frame"] = offline.cpuMs;
    state.counters["session_fps"] = session.fps;
    state.counters["session_x_realtime"] = session.fps / kFps;
    state.counters["session_cpu_ms_per_frame"] = session.cpuMs;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%.0f s of speech, %d threads: offline %.1f fps (%.2fx real time, CPU %.0f ms per frame) vs the "
                  "real-time session fed at once %.1f fps (%.2fx, CPU %.0f ms per frame): offline %.2fx the session's "
                  "fps, %.2fx its CPU per frame",
                  speechSeconds(), kThreads, offline.fps, offline.fps / kFps, offline.cpuMs, session.fps,
                  session.fps / kFps, session.cpuMs, offline.fps / session.fps, offline.cpuMs / session.cpuMs);
    lb::note("OfflineVsSession", text);
  }
}
BENCHMARK(BM_OfflineVsSession)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_FcaDeltas(benchmark::State& state) {
  const std::vector<float>& audio = speech();
  const std::string model = demoBundle() + "/fca_stream.onnx";
  le_fca_ptr fca(le_fca_create(w2vPath().c_str(), model.c_str(), kThreads));
  if (!fca) return state.SkipWithError(le_fca_last_error());
  const int frames = static_cast<int>((audio.size() + 639) / 640);
  std::vector<float> out(static_cast<size_t>(frames) * 63);
  const double cpu0 = lb::processCpuSeconds();
  const auto t0 = Clock::now();
  for (auto _ : state)
    if (le_fca_deltas(fca.get(), audio.data(), static_cast<int>(audio.size()), out.data(), frames) != frames)
      return state.SkipWithError(le_fca_last_error());
  const double speechS = speechSeconds() * static_cast<double>(state.iterations());
  const double ms = Seconds(Clock::now() - t0).count() * 1e3 / speechS;
  state.counters["ms_per_speech_s"] = ms;
  state.counters["cpu_ms_per_speech_s"] = (lb::processCpuSeconds() - cpu0) * 1e3 / speechS;
  char text[128];
  std::snprintf(text, sizeof text, "%.1f ms per second of speech (%.0fx real time), %d threads", ms, 1e3 / ms,
                kThreads);
  lb::note("FcaDeltas", text);
}
BENCHMARK(BM_FcaDeltas)->Iterations(2)->UseRealTime()->Unit(benchmark::kSecond);

void BM_PriorRowApiVsFfmpegCli(benchmark::State& state) {
  constexpr int kNT = 50, kPasses = 5;
  const std::string bundle =
      lb::forgedBundle("driver-bundle", "prior512", "--nt 50 --w 64 --h 48 --crop 512 --driver mp4 --prior hevc");
  const std::string cli = "ffmpeg -nostdin -v error -stream_loop " + std::to_string(kPasses - 1) + " -i '" + bundle +
                          "/P_hevc.mov' -f rawvideo -pix_fmt gbrp -y /dev/null";
  double ours = 0, anchor = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    le_prior_ptr prior(le_prior_open(bundle.c_str(), 2, 0));
    if (!prior) return state.SkipWithError(le_last_error());
    std::vector<uint8_t> row(le_prior_row_bytes(prior.get()));
    for (int k = 0; k < kPasses * kNT; ++k) le_prior_row(prior.get(), k % kNT, row.data(), row.size());
    prior.reset();
    ours += Seconds(Clock::now() - t0).count();
    t0 = Clock::now();
    if (std::system(cli.c_str()) != 0) return state.SkipWithError("the ffmpeg command line failed");
    anchor += Seconds(Clock::now() - t0).count();
  }
  const double frames = static_cast<double>(state.iterations()) * kPasses * kNT;
  state.counters["rows_per_s"] = frames / ours;
  state.counters["ffmpeg_cli_fps"] = frames / anchor;
  state.counters["ratio_vs_ffmpeg"] = anchor / ours;
  char text[160];
  std::snprintf(text, sizeof text, "512x512 HEVC 4:4:4 rows: %.0f per s vs the ffmpeg CLI %.0f frames per s (%.2fx)",
                frames / ours, frames / anchor, anchor / ours);
  lb::note("PriorRowApiVsFfmpegCli", text);
}
BENCHMARK(BM_PriorRowApiVsFfmpegCli)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
