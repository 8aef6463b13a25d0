// Driver cursor throughput: 1080p H.264 next to the ffmpeg command line,
// history hits next to a plain frame copy, HEVC 4:4:4 prior rows, and RSS
// while a driver loops.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/cursor.h"
#include "support/summary.h"

namespace {

constexpr int kNT = 50;
constexpr int kW = 1920, kH = 1080, kCrop = 512;

// Forged once per scratch dir: 1080p H.264 driver and a 512x512 HEVC 4:4:4 prior.
const std::string& benchBundle() {
  static const std::string dir = [] {
    const std::string d = std::string(LE_BENCH_SCRATCH) + "/driver_1080p";
    struct stat st;
    if (::stat((d + "/P_hevc.mov").c_str(), &st) != 0) {
      const std::string cmd = std::string(LE_BENCH_PYTHON) + " " + LE_BENCH_FORGE + " driver-bundle " + d +
                              " --nt " + std::to_string(kNT) + " --w " + std::to_string(kW) + " --h " +
                              std::to_string(kH) + " --crop " + std::to_string(kCrop) + " --driver mp4 --prior hevc";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "forge failed: %s\n", cmd.c_str());
    }
    return d;
  }();
  return dir;
}

std::string driverPath() { return benchBundle() + "/target_frames.mp4"; }
std::string priorPath() { return benchBundle() + "/P_hevc.mov"; }

std::unique_ptr<le::DriverCursor> driverCursor() {
  return le::DriverCursor::over(le::driver::openMp4(driverPath(), kNT, kW, kH), 2, 11);
}

double childCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

struct CliFigures {
  double fps = 0, cpuMsPerFrame = 0;
};

// `ffmpeg -i driver -f rawvideo -pix_fmt rgb24`, run once: frames per second
// of wall time and CPU milliseconds per frame of the child.
const CliFigures& ffmpegCli() {
  static const CliFigures figures = [] {
    CliFigures f;
    // five passes over the file so process start-up weighs little
    const std::string cmd = "ffmpeg -nostdin -v error -stream_loop 4 -i '" + driverPath() +
                            "' -f rawvideo -pix_fmt rgb24 -y /dev/null";
    const double cpu0 = childCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) return f;
    f.fps = 5 * kNT / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    f.cpuMsPerFrame = (childCpuSeconds() - cpu0) * 1e3 / (5 * kNT);
    return f;
  }();
  return figures;
}

size_t rssBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

void BM_Driver1080pCursor(benchmark::State& state) {
  auto cursor = driverCursor();
  std::vector<uint8_t> out(cursor->frameBytes);
  for (int i = 0; i < 3; ++i) cursor->pull(out.data());
  const double cpu0 = lb::processCpuSeconds();
  for (auto _ : state) benchmark::DoNotOptimize(cursor->pull(out.data()));
  const double cpuMs = (lb::processCpuSeconds() - cpu0) * 1e3 / state.iterations();
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = cpuMs;
  state.counters["ffmpeg_cli_cpu_ms_per_frame"] = ffmpegCli().cpuMsPerFrame;
  state.counters["cpu_ratio_vs_ffmpeg"] = cpuMs / ffmpegCli().cpuMsPerFrame;
}
BENCHMARK(BM_Driver1080pCursor)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_Driver1080pVsFfmpegCli(benchmark::State& state) {
  auto cursor = driverCursor();
  std::vector<uint8_t> out(cursor->frameBytes);
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kNT; ++i) cursor->pull(out.data());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  const double fps = state.iterations() * kNT / seconds;
  state.counters["cursor_fps"] = fps;
  state.counters["ffmpeg_cli_fps"] = ffmpegCli().fps;
  state.counters["fps_ratio_vs_ffmpeg"] = fps / ffmpegCli().fps;
}
BENCHMARK(BM_Driver1080pVsFfmpegCli)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Four retained frames visited in turn; arg 1 copies them out, arg 0 takes
// them in place.
void BM_HistoryHit1080p(benchmark::State& state) {
  auto cursor = driverCursor();
  std::vector<uint8_t> out(cursor->frameBytes);
  for (int i = 0; i < 10; ++i) cursor->pull(out.data());
  int k = 0, index = 0;
  for (auto _ : state) {
    const int i = 5 + (k++ & 3);
    if (state.range(0))
      benchmark::DoNotOptimize(cursor->pullAt(i, out.data()));
    else
      benchmark::DoNotOptimize(cursor->pullAt(i, &index));
  }
  if (cursor->seeks() != 0) state.SkipWithError("history hit issued a seek");
}
BENCHMARK(BM_HistoryHit1080p)->Arg(0)->Arg(1);

// The same four-frame working set copied with memcpy alone.
void BM_FrameCopy1080p(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(kW) * kH * 3;
  std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(bytes, 1));
  std::vector<uint8_t> out(bytes);
  int k = 0;
  for (auto _ : state) {
    std::memcpy(out.data(), frames[k++ & 3].data(), bytes);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_FrameCopy1080p);

void BM_PriorRows512Hevc444(benchmark::State& state) {
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(priorPath(), kNT, kCrop), 2, 11);
  std::vector<uint8_t> out(cursor->frameBytes);
  for (auto _ : state) benchmark::DoNotOptimize(cursor->pull(out.data()));
  state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PriorRows512Hevc444)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Ten loops over the driver: RSS after the first loop and after the tenth.
void BM_Driver1080pTenLoopsRss(benchmark::State& state) {
  for (auto _ : state) {
    auto cursor = driverCursor();
    std::vector<uint8_t> out(cursor->frameBytes);
    size_t first = 0, peak = 0, last = 0;
    for (int loop = 0; loop < 10; ++loop) {
      for (int i = 0; i < kNT; ++i) cursor->pull(out.data());
      last = rssBytes();
      if (loop == 0) first = last;
      peak = std::max(peak, last);
    }
    state.counters["rss_loop1_MiB"] = first / 1048576.0;
    state.counters["rss_loop10_MiB"] = last / 1048576.0;
    state.counters["rss_peak_MiB"] = peak / 1048576.0;
    state.counters["resident_bytes_MiB"] = cursor->residentBytes() / 1048576.0;
  }
}
BENCHMARK(BM_Driver1080pTenLoopsRss)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
