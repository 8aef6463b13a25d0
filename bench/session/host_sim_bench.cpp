// A host application embedding le_utt in real time, on the demo bundle
// (1280x720 driver, crop 512) with the full forged motion models, two
// threads for the director and two for the motion models:
//   - a pusher thread sends 20 ms packets of espeak-ng speech at the wall
//     clock's pace, then ends the utterance: ten utterances of 3-5 s, each
//     once the previous one is back to idle and a second has passed, then
//     one of 60 s;
//   - a puller thread takes one frame per 40 ms tick (25 fps). A tick with
//     no frame while the host shows an utterance (its first speech frame up
//     to the first idle frame after it) is a late frame; misses while the
//     host waits for an onset, and while idle, are counted apart.
// Per back-end (HostSim/A2x: streaming audio-to-expression, HostSim/Motion:
// the motion pipeline) it reports the onset p50/p95 twice: the session's
// last_onset_ms (first push to the first speech frame queued) and what the
// host sees (first push to the first speech frame pulled); late frames,
// fps while talking, render_ms_ema, CPU ms per frame and RSS.
// The director runs as in the demo (LE_WARP_NODE=1 unless set).
// Both run without a steady chunk renderer ("-"); HostSim/A2xChunk24 runs
// the first four short utterances of HostSim/A2x on a copy of the demo
// bundle that has model_b24_fp32.onnx, and HostSim/A2xDirector1t the same
// four with the director on one thread (one avatar in one core: a second
// director thread buys wall time with CPU). HostSim/A2xTeeth and
// HostSim/A2xTeethInline arm the teeth pass on the demo bundle's own bank
// over the same four, on its own thread (with the paste on another, as
// HostSim/A2x runs) and inline on the main thread (the paste inline too).
// Each compares with the same four of HostSim/A2x when that ran in the same
// process.
// Nothing is asserted: on a small machine the real-time goals (onset within
// 150 ms, no late frame) are not met, and the figures say by how much.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "le/bundle_teeth.h"
#include "le/le.h"
#include "le/le_utt.h"
#include "support/bench_forge.h"
#include "support/env_default.h"
#include "support/summary.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kRate = 16000;
constexpr int kPacket = 320;  // 20 ms
constexpr auto kPacketTime = std::chrono::milliseconds(20);
constexpr auto kTick = std::chrono::milliseconds(40);  // 25 fps
constexpr int kThreads = 2;
constexpr int kShortUtterances = 10;
constexpr int kChunkUtterances = 4;
constexpr double kLongSeconds = 60;
constexpr auto kGap = std::chrono::seconds(1);
constexpr auto kReadyWithin = std::chrono::minutes(5);

// The text of the speech benchmarks, so the forged file is shared with them.
const char kText[] =
    "Speech goes in and frames come out. The quick brown fox jumps over the lazy dog, then rests a while before it "
    "speaks again.";

enum class Backend { kStreaming, kPipeline };

struct Variant {
  const char* name;
  Backend backend;
  bool chunk;  // the demo bundle copy with the batch-24 director, steady model "b24_fp32"
  int directorThreads;
  int shortUtterances;
  bool withLong;
  enum Teeth { kNone, kOwnThread, kInline } teeth = kNone;
};

const std::vector<int16_t>& speech() {
  static const std::vector<int16_t> pcm = lb::forgedPcm16("speech.f32", kText);
  return pcm;
}

std::string demoBundle(bool chunk) {
  if (!chunk) return lb::forgedBundle("demo-bundle", "demo8", "--frames 8");
  const std::string dir = lb::forgedBundle("demo-bundle", "demo8_b24", "--frames 8");
  lb::forged("director", "demo8_b24/model_b24_fp32.onnx", "--crop 512 --batch 24", "");
  return dir;
}

// The source-keypoint table is kept only at the context's frame count, so
// the motion models are forged for it.
std::string motionDir(Backend backend, int nt) {
  const std::string args = "--size full --nt " + std::to_string(nt);
  if (backend == Backend::kPipeline)
    return lb::forged("motion-pipeline", "motion_pipeline_full_nt" + std::to_string(nt), args, "/stitch.onnx");
  ::setenv("W2V_ONNX", lb::fullSpeechEncoder().c_str(), 1);  // the short-window pair beside it is used
  return lb::forged("motion-bundle", "motion_full_nt" + std::to_string(nt), args, "/a2x_dec.onnx");
}

struct Utterance {
  double seconds = 0;
  size_t from = 0;  // first sample in the looped speech
  Clock::time_point firstPush, lastPush, firstShown, idleAgain;
  bool done = false;
  double sessionOnsetMs = -1, renderEma = 0;
  long talkTicks = 0, late = 0, onsetMisses = 0, talkFrames = 0;  // talking: first speech frame to idle again
  double cpuShown = 0, cpuIdle = 0;
  double hostOnsetMs() const { return std::chrono::duration<double, std::milli>(firstShown - firstPush).count(); }
  double talkSeconds() const { return Seconds(idleAgain - firstShown).count(); }
};

std::vector<Utterance> plan(const Variant& v) {
  std::vector<Utterance> p;
  size_t from = 0;
  for (int i = 0; i < v.shortUtterances; ++i) {
    Utterance u;
    u.seconds = 3.0 + 0.5 * (i % 5);
    u.from = from;
    from += static_cast<size_t>(u.seconds * kRate);
    p.push_back(u);
  }
  if (v.withLong) {
    Utterance u;
    u.seconds = kLongSeconds;
    u.from = 0;
    p.push_back(u);
  }
  return p;
}

// The pusher and the puller over one session. The puller's phase says what
// the host expects at each tick.
class Host {
 public:
  Host(le_utt* utt, size_t frameBytes, std::vector<Utterance>& utts, const char* name)
      : utt_(utt), frameBytes_(frameBytes), utts_(utts), name_(name), progress_(::isatty(2)) {}

  // Runs the whole plan; an error text when an utterance never came back to idle.
  std::optional<std::string> run() {
    cpu0_ = lb::processCpuSeconds();
    start_ = Clock::now();
    std::thread puller([this] { pullLoop(); });
    std::optional<std::string> failed;
    std::this_thread::sleep_for(kGap);  // idle first, as a host would be
    for (size_t i = 0; i < utts_.size() && !failed; ++i) {
      failed = pushOne(i);
      if (!failed) std::this_thread::sleep_for(kGap);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    puller.join();
    wall_ = Seconds(Clock::now() - start_).count();
    cpu_ = lb::processCpuSeconds() - cpu0_;
    return failed;
  }

  double wall() const { return wall_; }
  double cpu() const { return cpu_; }
  long frames() const { return frames_; }
  long idleMisses() const { return idleMisses_; }

 private:
  enum class Phase { kQuiet, kOnset, kTalking };

  std::optional<std::string> pushOne(size_t i) {
    Utterance& u = utts_[i];
    const std::vector<int16_t>& pcm = speech();
    const size_t total = static_cast<size_t>(u.seconds * kRate);
    std::vector<int16_t> packet(kPacket);
    if (progress_) std::fprintf(stderr, "%s: utterance %zu/%zu, %.1f s\n", name_, i + 1, utts_.size(), u.seconds);
    const Clock::time_point t0 = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mu_);
      current_ = i;
      phase_ = Phase::kOnset;
      u.firstPush = t0;
    }
    for (size_t at = 0, k = 0; at < total; at += kPacket, ++k) {
      std::this_thread::sleep_until(t0 + k * kPacketTime);
      const int n = static_cast<int>(std::min<size_t>(kPacket, total - at));
      for (int j = 0; j < n; ++j) packet[j] = pcm[(u.from + at + j) % pcm.size()];
      le_utt_push_audio(utt_, packet.data(), n);
      if (progress_ && k > 0 && k % 500 == 0) std::fprintf(stderr, "%s:   pushed %zu s\n", name_, k / 50);
    }
    le_utt_end_utterance(utt_);
    u.lastPush = Clock::now();
    // A session slower than real time drains long after the last push.
    const Clock::time_point bound =
        u.lastPush + std::chrono::duration_cast<Clock::duration>(Seconds(30 + 20 * u.seconds));
    std::unique_lock<std::mutex> lock(mu_);
    while (!u.done) {
      if (cv_.wait_until(lock, std::min(bound, Clock::now() + std::chrono::seconds(10))) == std::cv_status::timeout &&
          !u.done) {
        if (Clock::now() >= bound) {
          char text[200];
          std::snprintf(text, sizeof text, "utterance %zu (%.1f s) did not return to idle within %.0f s of its end",
                        i + 1, u.seconds, 30 + 20 * u.seconds);
          return std::string(text);
        }
        if (progress_) std::fprintf(stderr, "%s:   draining, %ld talking frames shown so far\n", name_, u.talkFrames);
      }
    }
    if (progress_)
      std::fprintf(
          stderr,
          "%s:   onset %.0f ms (host %.0f ms), late %ld of %ld ticks, %.1f fps, CPU %.0f ms per frame, back to "
          "idle %.1f s after the last push\n",
          name_, u.sessionOnsetMs, u.hostOnsetMs(), u.late, u.talkTicks, u.talkFrames / u.talkSeconds(),
          (u.cpuIdle - u.cpuShown) * 1e3 / u.talkFrames, Seconds(u.idleAgain - u.lastPush).count());
    return std::nullopt;
  }

  void pullLoop() {
    std::vector<uint8_t> rgb(frameBytes_);
    le_utt_frame_info info{};
    le_utt_stats stats{};
    Clock::time_point tick = Clock::now();
    for (;;) {
      tick += kTick;
      std::this_thread::sleep_until(tick);
      const bool got = le_utt_pull_frame(utt_, rgb.data(), rgb.size(), &info) == 1;
      const Clock::time_point now = Clock::now();
      le_utt_get_stats(utt_, &stats);  // an onset is stamped when its first frame is queued, before this pull
      const double cpu = lb::processCpuSeconds();
      std::unique_lock<std::mutex> lock(mu_);
      if (stop_) return;
      frames_ += got;
      if (phase_ == Phase::kQuiet) {
        idleMisses_ += !got;
        continue;
      }
      Utterance& u = utts_[current_];
      if (phase_ == Phase::kOnset) {
        if (!got) ++u.onsetMisses;
        if (!got || info.kind == LE_UTT_FRAME_IDLE) continue;  // idle frames queued before the push
        phase_ = Phase::kTalking;
        u.firstShown = now;
        u.sessionOnsetMs = stats.last_onset_ms;
        u.cpuShown = cpu;
        u.talkTicks = 1;
        u.talkFrames = 1;
        continue;
      }
      if (got && info.kind == LE_UTT_FRAME_IDLE) {
        phase_ = Phase::kQuiet;
        u.idleAgain = now;
        u.cpuIdle = cpu;
        u.renderEma = stats.render_ms_ema;
        u.done = true;
        lock.unlock();
        cv_.notify_all();
        continue;
      }
      ++u.talkTicks;
      if (!got) {
        ++u.late;
        continue;
      }
      ++u.talkFrames;
    }
  }

  le_utt* utt_;
  size_t frameBytes_;
  std::vector<Utterance>& utts_;
  const char* name_;
  bool progress_;
  std::mutex mu_;
  std::condition_variable cv_;
  Phase phase_ = Phase::kQuiet;
  size_t current_ = 0;
  bool stop_ = false;
  long frames_ = 0, idleMisses_ = 0;
  Clock::time_point start_;
  double cpu0_ = 0, wall_ = 0, cpu_ = 0;
};

// Nearest rank.
double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

struct Totals {
  long ticks = 0, late = 0, frames = 0, onsetMisses = 0;
  double seconds = 0, cpu = 0;
  double latePercent() const { return ticks ? 100.0 * late / ticks : 0; }
  double fps() const { return seconds > 0 ? frames / seconds : 0; }
  double cpuMsPerFrame() const { return frames ? cpu * 1e3 / frames : 0; }
};

// Talking windows of utterances [from, to).
Totals totals(const std::vector<Utterance>& utts, size_t from, size_t to) {
  Totals t;
  for (size_t i = from; i < std::min(to, utts.size()); ++i) {
    const Utterance& u = utts[i];
    t.ticks += u.talkTicks;
    t.late += u.late;
    t.frames += u.talkFrames;
    t.onsetMisses += u.onsetMisses;
    t.seconds += u.talkSeconds();
    t.cpu += u.cpuIdle - u.cpuShown;
  }
  return t;
}

// The streaming back-end's first short utterances, for the chunk variant.
std::optional<Totals> g_plainFirst;

using Ctx = std::unique_ptr<le_ctx, decltype(&le_destroy)>;
using Utt = std::unique_ptr<le_utt, decltype(&le_utt_destroy)>;

void hostSim(benchmark::State& state, const Variant& v) {
  const lb::EnvDefault warpNode("LE_WARP_NODE", "1");  // the demo's director path, the fastest on two cores
  // The teeth stage runs on its own thread when the paste does.
  const lb::EnvDefault pipe("LE_UTT_PIPELINE_PASTE", v.teeth == Variant::kInline ? "0" : "1");
  for (auto _ : state) {
    const double rssBefore = lb::rssMiB();
    Ctx ctx(nullptr, le_destroy);
    std::string motion;
    try {
      const std::string bundle = demoBundle(v.chunk);
      speech();
      ctx.reset(le_create(bundle.c_str(), "render", v.directorThreads, nullptr));
      if (!ctx) {
        state.SkipWithError((std::string("le_create: ") + le_last_error()).c_str());
        break;
      }
      motion = motionDir(v.backend, le_nt(ctx.get()));
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    le_utt_opts opts{};
    opts.motion_dir = motion.c_str();
    opts.threads = kThreads;
    opts.steady_model = v.chunk ? "b24_fp32" : "-";
    const Clock::time_point created = Clock::now();
    Utt utt(le_utt_create(ctx.get(), &opts), le_utt_destroy);
    if (!utt) {
      state.SkipWithError(le_utt_last_error());
      break;
    }
    int ready = 0;
    while ((ready = le_utt_ready(utt.get())) == 0 && Clock::now() < created + kReadyWithin)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ready != 1) {
      state.SkipWithError(ready < 0 ? le_utt_last_error() : "the session was not ready within 5 minutes");
      break;
    }
    if (v.teeth != Variant::kNone) {
      try {
        le::attachBundleTeeth(utt.get(), demoBundle(false));
      } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        break;
      }
    }
    const double readyS = Seconds(Clock::now() - created).count();
    const double rssStart = lb::rssMiB();

    std::vector<Utterance> utts = plan(v);
    Host host(utt.get(), static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3, utts, v.name);
    if (const std::optional<std::string> failed = host.run()) {
      state.SkipWithError(failed->c_str());
      break;
    }
    const double rssEnd = lb::rssMiB();
    char status[256] = "";
    uint64_t failures = 0;
    le_utt_render_status(utt.get(), status, sizeof status, &failures);
    char teeth[256] = "";
    if (v.teeth != Variant::kNone) le_utt_tessera_stats(utt.get(), nullptr, nullptr, teeth, sizeof teeth);
    state.SetIterationTime(host.wall());

    std::vector<double> sessionOnset, hostOnset, emas;
    for (const Utterance& u : utts) {
      sessionOnset.push_back(u.sessionOnsetMs);
      hostOnset.push_back(u.hostOnsetMs());
      emas.push_back(u.renderEma);
    }
    const size_t shorts = static_cast<size_t>(v.shortUtterances);
    const Totals all = totals(utts, 0, utts.size()), brief = totals(utts, 0, shorts);
    const double cpuPerFrame = host.frames() ? host.cpu() * 1e3 / host.frames() : 0;
    const double ema = percentile(emas, 50);

    state.counters["onset_p50_ms"] = percentile(sessionOnset, 50);
    state.counters["onset_p95_ms"] = percentile(sessionOnset, 95);
    state.counters["host_onset_p50_ms"] = percentile(hostOnset, 50);
    state.counters["host_onset_p95_ms"] = percentile(hostOnset, 95);
    state.counters["late_pct"] = all.latePercent();
    state.counters["talk_fps"] = all.fps();
    state.counters["render_ms_ema"] = ema;
    state.counters["cpu_ms_per_frame"] = all.cpuMsPerFrame();
    state.counters["rss_start_MiB"] = rssStart;
    state.counters["rss_end_MiB"] = rssEnd;

    char longPart[160] = "";
    if (v.withLong) {
      const Totals l = totals(utts, shorts, shorts + 1);
      std::snprintf(longPart, sizeof longPart,
                    " (short %.1f%%, %.0f s %.1f%%; the %.0f s one back to idle %.1f s after its end)",
                    brief.latePercent(), kLongSeconds, l.latePercent(), kLongSeconds,
                    Seconds(utts.back().idleAgain - utts.back().lastPush).count());
    }
    char text[1024];
    std::snprintf(text, sizeof text,
                  "onset p50 %.0f / p95 %.0f ms (session last_onset_ms; host, first push to first speech frame "
                  "pulled: %.0f / %.0f ms), late %.1f%% of %ld talking ticks%s, onset-wait misses %ld, idle misses "
                  "%ld, %.1f fps talking (%.1f overall), render_ms_ema %.0f (median at the returns to idle), CPU %.0f "
                  "ms per talking frame (%.0f per "
                  "frame overall), RSS %.0f -> %.0f MiB (%.0f before the context), ready in %.1f s, %zu utterances, "
                  "render failures %llu%s%s%s%s",
                  percentile(sessionOnset, 50), percentile(sessionOnset, 95), percentile(hostOnset, 50),
                  percentile(hostOnset, 95), all.latePercent(), all.ticks, longPart, all.onsetMisses, host.idleMisses(),
                  all.fps(), host.frames() / host.wall(), ema, all.cpuMsPerFrame(), cpuPerFrame, rssStart, rssEnd,
                  rssBefore, readyS, utts.size(), static_cast<unsigned long long>(failures), *status ? ": " : "",
                  status, *teeth ? "; teeth: " : "", teeth);
    std::printf("%s: %s\n", v.name, text);
    std::fflush(stdout);
    lb::note(std::string(v.name) + ":", text);

    const bool plain = !v.chunk && v.directorThreads == kThreads && v.teeth == Variant::kNone;
    if (plain && v.backend == Backend::kStreaming) g_plainFirst = totals(utts, 0, kChunkUtterances);
    if (!plain) {
      const std::string what = v.chunk                                 ? "batch-24 chunks vs steady model \"-\""
                               : v.teeth == Variant::kOwnThread ? "teeth on their own thread vs none"
                               : v.teeth == Variant::kInline    ? "teeth inline vs none"
                                                                : "director on 1 thread vs 2";
      const std::string label = std::string(v.name) + " vs A2x:";
      if (g_plainFirst) {
        std::snprintf(text, sizeof text,
                      "CPU %.1f vs %.1f ms per talking frame, late %.1f%% vs %.1f%%, %.1f vs %.1f fps talking "
                      "(%s, first %d short utterances, %d cores)",
                      brief.cpuMsPerFrame(), g_plainFirst->cpuMsPerFrame(), brief.latePercent(),
                      g_plainFirst->latePercent(), brief.fps(), g_plainFirst->fps(), what.c_str(), kChunkUtterances,
                      kThreads);
        lb::note(label, text);
      } else {
        lb::note(label, "run HostSim/A2x in the same process to compare");
      }
    }
  }
}

const Variant kA2x{"HostSim/A2x", Backend::kStreaming, false, kThreads, kShortUtterances, true};
const Variant kMotion{"HostSim/Motion", Backend::kPipeline, false, kThreads, kShortUtterances, true};
const Variant kA2xChunk{"HostSim/A2xChunk24", Backend::kStreaming, true, kThreads, kChunkUtterances, false};
const Variant kA2xDirector1t{"HostSim/A2xDirector1t", Backend::kStreaming, false, 1, kChunkUtterances, false};
const Variant kA2xTeeth{"HostSim/A2xTeeth", Backend::kStreaming, false, kThreads, kChunkUtterances, false,
                        Variant::kOwnThread};
const Variant kA2xTeethInline{"HostSim/A2xTeethInline", Backend::kStreaming, false, kThreads, kChunkUtterances, false,
                              Variant::kInline};

BENCHMARK_CAPTURE(hostSim, A2x, kA2x)->Name("HostSim/A2x")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(hostSim, Motion, kMotion)
    ->Name("HostSim/Motion")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(hostSim, A2xChunk24, kA2xChunk)
    ->Name("HostSim/A2xChunk24")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(hostSim, A2xDirector1t, kA2xDirector1t)
    ->Name("HostSim/A2xDirector1t")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_CAPTURE(hostSim, A2xTeeth, kA2xTeeth)
    ->Name("HostSim/A2xTeeth")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(hostSim, A2xTeethInline, kA2xTeethInline)
    ->Name("HostSim/A2xTeethInline")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
