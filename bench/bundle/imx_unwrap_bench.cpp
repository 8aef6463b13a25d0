// Unwrapping a large container streams it through one buffer: throughput and
// peak RSS of a 1 GiB unwrap, and the cost of reopening an unchanged one.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bundle/imx.h"
#include "bundle/paths.h"

namespace {

constexpr uint64_t kMember = 128ull << 20;
constexpr int kMembers = 8;  // 1 GiB of payload

// A sparse container: the header is real, the payloads are holes, so making
// it costs no disk time and reading it is pure unwrap work.
std::string makeContainer() {
  const std::string dir = std::string(LE_BENCH_SCRATCH) + "/imx";
  le::mkdirs(dir);
  const std::string path = dir + "/big.imx";
  std::string head = std::string("IMX\0", 4);
  auto put = [&head](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) head.push_back(static_cast<char>(v >> (8 * i)));
  };
  put(2, 2);
  put(kMembers, 2);
  uint64_t at = 4096;
  for (int i = 0; i < kMembers; ++i) {
    const std::string name = "payload/" + std::to_string(i) + ".bin";
    put(name.size(), 2);
    head += name;
    put(at, 8);
    put(kMember, 8);
    at += kMember;
  }
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0 || ::write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size()) ||
      ::ftruncate(fd, static_cast<off_t>(at)) != 0)
    std::abort();
  ::close(fd);
  return path;
}

double peakRssMiB() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024.0;
}

void BM_ImxUnwrap1GiB(benchmark::State& state) {
  const std::string c = makeContainer();
  std::FILE* quiet = std::freopen("/dev/null", "w", stderr);
  for (auto _ : state) {
    state.PauseTiming();
    le::rmTree(c.substr(0, c.size() - 4) + ".lebundle.imx_unwrapped");
    state.ResumeTiming();
    benchmark::DoNotOptimize(le::unwrapOnce(c));
  }
  (void)quiet;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMember * kMembers));
  state.counters["peak_rss_MiB"] = peakRssMiB();
  le::rmTree(c.substr(0, c.size() - 4) + ".lebundle");
}
BENCHMARK(BM_ImxUnwrap1GiB)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ImxReopenUnchanged(benchmark::State& state) {
  const std::string dir = std::string(LE_BENCH_SCRATCH) + "/imx-small";
  le::mkdirs(dir);
  const std::string c = dir + "/small.imx";
  std::string bytes = std::string("IMX\0\2\0\1\0\1\0a", 11) + std::string(16, '\0');
  bytes[11] = 27;  // payload offset: right after the entry
  bytes[19] = 1;   // one byte
  bytes += "x";
  std::FILE* f = std::fopen(c.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  le::resolveBundlePath(c);
  for (auto _ : state) benchmark::DoNotOptimize(le::resolveBundlePath(c));
}
BENCHMARK(BM_ImxReopenUnchanged)->Unit(benchmark::kMicrosecond);

}  // namespace
