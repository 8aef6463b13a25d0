#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "each_target.h"
#include "half_reference.h"
#include "simd/kernels.h"

namespace {

struct Planes {
  size_t n;
  std::vector<uint16_t> a, b, wHalf;
  std::vector<float> w;
};

Planes randomPlanes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> px(-0.2f, 1.2f), wt(0.f, 3.f);
  Planes p{n, std::vector<uint16_t>(3 * n), std::vector<uint16_t>(3 * n), std::vector<uint16_t>(n),
           std::vector<float>(n)};
  for (size_t i = 0; i < 3 * n; ++i) {
    p.a[i] = lt::refHalf(px(rng));
    p.b[i] = lt::refHalf(px(rng));
  }
  for (size_t i = 0; i < n; ++i) {
    p.w[i] = (i % 5 == 0) ? 0.f : wt(rng);
    p.wHalf[i] = lt::refHalf(p.w[i]);
  }
  return p;
}

float refMean(const Planes& p, size_t i) {
  float d[3];
  for (size_t c = 0; c < 3; ++c) {
    const float diff = static_cast<float>(lt::refWiden(p.a[c * p.n + i])) -
                       static_cast<float>(lt::refWiden(p.b[c * p.n + i]));
    d[c] = std::fabs(lt::refRound(diff));
  }
  return lt::refRound((d[0] + d[1] + d[2]) / 3.f);
}

float refPooled(const Planes& p) {
  float sum = 0.f;
  for (size_t i = 0; i < p.n; ++i) {
    const float t = lt::refRound(static_cast<float>(lt::refWiden(p.wHalf[i])) * refMean(p, i));
    sum += t;
  }
  return sum;
}

float refExact(const Planes& p, size_t begin, size_t end) {
  float sum = 0.f;
  for (size_t i = begin; i < end; ++i) {
    if (p.w[i] == 0.f) continue;
    const float t = p.w[i] * refMean(p, i);
    sum += t;
  }
  return sum;
}

TEST(RetrieveTerms, BitExactAgainstHalfReference) {
  lt::forEachTarget([] {
    for (size_t n : {size_t{1}, size_t{7}, size_t{64}, size_t{513}, size_t{3001}}) {
      const Planes p = randomPlanes(n, static_cast<uint32_t>(n));
      EXPECT_EQ(le::simd::retrieveTermPooled(p.a.data(), p.b.data(), p.wHalf.data(), n),
                refPooled(p)) << n;
      EXPECT_EQ(le::simd::retrieveTermExact(p.a.data(), p.b.data(), p.w.data(), n),
                refExact(p, 0, n)) << n;
      const size_t begin = n / 3, end = n - n / 4;
      EXPECT_EQ(le::simd::retrieveTermExactRange(p.a.data(), p.b.data(), p.w.data(), n, begin, end),
                refExact(p, begin, end)) << n;
    }
  });
}

TEST(RetrieveTerms, IdenticalPatchesCostNothing) {
  lt::forEachTarget([] {
    const Planes p = randomPlanes(777, 5);
    EXPECT_EQ(le::simd::retrieveTermPooled(p.a.data(), p.a.data(), p.wHalf.data(), p.n), 0.f);
    EXPECT_EQ(le::simd::retrieveTermExact(p.a.data(), p.a.data(), p.w.data(), p.n), 0.f);
  });
}

TEST(RetrieveTerms, ZeroWeightSkipsInfiniteDistanceAndEmptyRangeIsZero) {
  lt::forEachTarget([] {
    Planes p = randomPlanes(40, 9);
    p.w[17] = 0.f;
    p.a[17] = 0x7C00;  // +inf against a finite b
    EXPECT_TRUE(std::isfinite(le::simd::retrieveTermExact(p.a.data(), p.b.data(), p.w.data(), p.n)));
    EXPECT_EQ(le::simd::retrieveTermExactRange(p.a.data(), p.b.data(), p.w.data(), p.n, 9, 9), 0.f);
  });
}

TEST(RetrieveTerms, DifferencesRoundInHalfBeforeAveraging) {
  // 1024 - 0.25 ties to 1024 in half; (1024 + 0.5 + 0.5) / 3 = 341.67 rounds to
  // 341.75. Without the first rounding the mean would round to 341.5.
  Planes p{1,
           {lt::refHalf(1024.f), lt::refHalf(0.5f), lt::refHalf(0.5f)},
           {lt::refHalf(0.25f), 0, 0},
           {lt::refHalf(1.f)},
           {1.f}};
  lt::forEachTarget([&] {
    EXPECT_EQ(le::simd::retrieveTermExact(p.a.data(), p.b.data(), p.w.data(), 1), 341.75f);
    EXPECT_EQ(le::simd::retrieveTermPooled(p.a.data(), p.b.data(), p.wHalf.data(), 1), 341.75f);
  });
}

}  // namespace
