#include "pool/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool/budget.h"
#include "pool/worker_pool.h"
#include "support/fixtures.h"

namespace {

using Chunks = std::vector<std::pair<size_t, size_t>>;
using le::pool::parallelRange;
using std::this_thread::get_id;

TEST(PoolBudget, BudgetAndParts) {
  // LE_CORE_THREADS wins over LE_PASTE_THREADS; empty counts as unset; 0 hardware is unknown.
  const struct {
    const char *core, *paste;
    unsigned hw;
    int want;
  } budgets[] = {{"0", nullptr, 8, 1},     {"-3", nullptr, 8, 1},    {"64", nullptr, 8, 8},
                 {"3", "6", 8, 3},         {"", "6", 8, 6},          {nullptr, "0", 8, 1},
                 {nullptr, nullptr, 8, 4}, {nullptr, nullptr, 2, 2}, {"16", nullptr, 0, 16}};
  for (const auto& b : budgets)
    EXPECT_EQ(le::pool::budgetFrom(b.core, b.paste, b.hw), b.want) << (b.core ? b.core : "-") << " " << b.hw;
  const int parts[][4] = {
      {100, 10, 4, 4}, {15, 10, 4, 1}, {3, 0, 4, 3}, {100, 10, 1, 1}, {0, 1, 4, 1}};  // grain 0 is 1
  for (auto [n, grain, budget, want] : parts)
    EXPECT_EQ(le::pool::partsFor(n, grain, budget), want) << n << " " << grain;
}

// Child half of ThreadsFollowEnvironmentOncePerProcess; runs only when the parent sets the expectation.
TEST(PoolBudget, ChildReport) {
  const char* want = std::getenv("LE_TEST_EXPECT_THREADS");
  if (!want) GTEST_SKIP() << "runs in a child process";
  const int first = le::pool::threads();
  EXPECT_EQ(first, std::atoi(want));
  setenv("LE_CORE_THREADS", "2", 1);
  EXPECT_EQ(le::pool::threads(), first) << "the budget is fixed at the first call";
  std::atomic<int> whole{0};
  parallelRange(100, 1, [&, self = get_id()](size_t b, size_t e) { whole += b == 0 && e == 100 && get_id() == self; });
  EXPECT_TRUE(first > 1 || whole == 1) << "a budget of one runs the whole range once, on the caller";
}

TEST(PoolBudget, ThreadsFollowEnvironmentOncePerProcess) {
  const unsigned hw = std::thread::hardware_concurrency();
  auto child = [&](const std::string& env, int want) {
    return lt::run("env " + env + " LE_TEST_EXPECT_THREADS=" + std::to_string(want) +
                   " " LE_TEST_SELF " --gtest_filter=PoolBudget.ChildReport >/dev/null 2>&1");
  };
  EXPECT_NE(child("LE_CORE_THREADS=1", 2), 0) << "the child must really check";
  EXPECT_EQ(child("-u LE_PASTE_THREADS LE_CORE_THREADS=-3", 1), 0);
  EXPECT_EQ(child("-u LE_CORE_THREADS LE_PASTE_THREADS=0", 1), 0);
  EXPECT_EQ(child("LE_CORE_THREADS=64 LE_PASTE_THREADS=1", le::pool::budgetFrom("64", nullptr, hw)), 0);
  EXPECT_EQ(child("-u LE_CORE_THREADS -u LE_PASTE_THREADS", le::pool::budgetFrom(nullptr, nullptr, hw)), 0);
}

TEST(WorkerPool, EqualCeilingChunks) {
  le::pool::WorkerPool pool(3), none(0);
  auto chunks = [](le::pool::WorkerPool& p, size_t n, int parts) {
    std::mutex mu;
    Chunks seen;
    p.run(n, parts, [&](size_t b, size_t e) {
      std::scoped_lock lock(mu);
      seen.emplace_back(b, e);
    });
    std::sort(seen.begin(), seen.end());
    return seen;
  };
  EXPECT_EQ(chunks(pool, 10, 4), (Chunks{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  EXPECT_EQ(chunks(pool, 9, 4), (Chunks{{0, 3}, {3, 6}, {6, 9}}));  // the idle worker still reports, or run hangs
  EXPECT_EQ(chunks(pool, 5, 2), (Chunks{{0, 3}, {3, 5}}));
  EXPECT_EQ(chunks(pool, 0, 4), Chunks{});
  EXPECT_EQ(chunks(none, 7, 1), (Chunks{{0, 7}}));  // no workers: the caller runs it
  for (int job = 0; job < 200; ++job) ASSERT_EQ(chunks(pool, 4, 4).size(), 4u);
}

TEST(PoolParallelRange, CoversEveryItemOnceNestsInlineAndRunsFromManyThreads) {
  for (size_t n : {0, 1, 2, 17, 1000}) {
    std::vector<std::atomic<int>> hits(n);
    parallelRange(n, 1, [&](size_t b, size_t e) {
      while (b < e) hits[b++]++;
    });
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
  }
  std::atomic<int> inner{0}, outer{0};
  parallelRange(64, 1, [&](size_t, size_t) {
    outer++;
    parallelRange(1000, 1, [&, self = get_id()](size_t b, size_t e) { inner += get_id() == self && e - b == 1000; });
  });
  EXPECT_EQ(inner.load(), outer.load());
  EXPECT_EQ(outer.load(), le::pool::parts(64, 1));
  std::atomic<long> total{0};  // threads keep separate pools and join at exit
  auto work = [&] {
    for (int rep = 0; rep < 50; ++rep) parallelRange(256, 8, [&](size_t b, size_t e) { total += long(e - b); });
  };
  std::thread a(work), b(work);
  work(), a.join(), b.join();
  EXPECT_EQ(total.load(), 3L * 50 * 256);
}

}  // namespace

// A band that throws, on a worker or on the caller, reaches the caller
// after every band has finished, and the pool serves the next range.
TEST(WorkerPool, AThrowingBandReachesTheCallerAndThePoolServesOn) {
  le::pool::WorkerPool pool(3);
  for (size_t thrower : {size_t{0}, size_t{7}}) {
    std::atomic<int> ran{0};
    EXPECT_THROW(pool.run(8, 4,
                          [&](size_t b, size_t e) {
                            ran += static_cast<int>(e - b);
                            if (b <= thrower && thrower < e) throw std::runtime_error("band failed");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 8) << "band with item " << thrower;
  }
  std::atomic<int> ran{0};
  pool.run(8, 4, [&](size_t b, size_t e) { ran += static_cast<int>(e - b); });
  EXPECT_EQ(ran.load(), 8);
}
