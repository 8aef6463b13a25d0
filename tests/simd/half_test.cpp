#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <iterator>
#include <random>
#include <vector>

#include "each_target.h"
#include "simd/half.h"
#include "simd/kernels.h"

namespace {

// Double-precision reference for binary16 rounding, independent of the
// library's bit tricks.
// binary16 of x, nearest even. NaN becomes a quiet NaN keeping its top
// mantissa bits, or a signed infinity when nanToInf.
uint16_t refHalf(float x, bool nanToInf = false) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | (nanToInf ? 0x7C00 : 0x7E00 | ((std::bit_cast<uint32_t>(x) >> 13) & 0x3FF));
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return sign | 0x7C00;
  if (a == 0.0) return sign;
  int e;
  std::frexp(a, &e);
  int q = e - 11 < -24 ? -24 : e - 11;  // exponent of one unit in the last place
  double k = std::nearbyint(std::ldexp(a, -q));
  if (k >= 2048) k /= 2, ++q;
  if (q == -24 && k < 1024) return sign | static_cast<uint16_t>(k);
  return sign | static_cast<uint16_t>(((q + 25) << 10) | (static_cast<int>(k) - 1024));
}

// The exact value of h; a NaN comes back quiet, keeping its payload.
float refWiden(uint16_t h) {
  const uint32_t e = (h >> 10) & 31, m = h & 0x3FF, sign = (h & 0x8000u) << 16;
  if (e == 31) return std::bit_cast<float>(sign | (m ? 0x7FC00000u | (m << 13) : 0x7F800000u));
  const double v = e ? std::ldexp(1024 + m, int(e) - 25) : std::ldexp(m, -24);
  return static_cast<float>(sign ? -v : v);
}

// h(x): round to half, widen back.
float refRound(float x) { return refWiden(refHalf(x)); }

using std::bit_cast;

// Every finite half, the midpoints between neighbours (ties), one float ulp
// either side of each midpoint, special values and random bit patterns.
std::vector<float> probeFloats() {
  std::vector<float> v;
  for (uint32_t h = 0; h < 0x7C00; ++h)
    for (uint32_t sign : {0u, 0x8000u}) {
      const double lo = refWiden(uint16_t(h | sign)), hi = refWiden(uint16_t((h + 1) | sign));
      const float mid = static_cast<float>((lo + hi) / 2);
      v.insert(v.end(), {float(lo), mid, std::nextafter(mid, 0.f), std::nextafter(mid, 2 * mid)});
    }
  for (float s : {1.f, -1.f})
    v.insert(v.end(), {s * 65504.f, s * 65519.99f, s * 65520.f, s * 1e9f, s * INFINITY, s * 0x1p-25f,
                       s * std::nextafter(0x1p-25f, 1.f), s * 0x1p-126f, s * 0x1p-149f, s * 0.f, s * 3 * 0x1p-26f});
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) v.push_back(bit_cast<float>(uint32_t(rng())));
  v.push_back(bit_cast<float>(0x7F800001u));  // signalling NaN
  v.push_back(bit_cast<float>(0xFFC12345u));
  return v;
}

TEST(SimdDispatch, TargetNamesTheBestRunnableOneAndFollowsAPin) {
  const auto targets = le::simd::runnableTargets();
  ASSERT_FALSE(targets.empty());
  for (int64_t t : {targets.front(), targets.back()}) {
    le::simd::ScopedTarget pin(t);
    EXPECT_STREQ(le::simd::target(), le::simd::targetName(t));
  }
  EXPECT_STREQ(le::simd::target(), le::simd::targetName(targets.front()));
}

TEST(HalfKernels, F32ToF16AndRoundF16MulMatchReferenceScalarAndOnEveryTarget) {
  std::vector<float> in = probeFloats(), b(in.size());
  in[0] = 0.1f;  // roundF16Mul(0.1, 1) is h(0.1) = 0.0999755859375
  b[0] = 1.f;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-4.f, 4.f);
  for (size_t i = 1; i < b.size(); ++i) b[i] = u(rng);
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    want[i] = refHalf(in[i]);
    ASSERT_EQ(le::f32ToF16(in[i]), refHalf(in[i], /*nanToInf=*/true)) << std::hexfloat << in[i];
    ASSERT_EQ(le::simd::roundToF16Bits(in[i]), want[i]) << std::hexfloat << in[i];
  }
  lt::forEachTarget([&] {
    // Odd length and offset so both the vector body and the tail run.
    for (size_t off : {0, 3}) {
      std::vector<uint16_t> out(in.size() - off, 0xDEAD);
      le::simd::f32ToF16(in.data() + off, out.data(), out.size());
      for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], want[i + off]) << std::hexfloat << in[i + off];
    }
    std::vector<float> prod(in.size());
    le::simd::roundF16Mul(in.data(), b.data(), prod.data(), in.size());
    EXPECT_EQ(prod[0], 0.0999755859375f);
    for (size_t i = 0; i < in.size(); ++i) {
      const float p = b[i] * refWiden(want[i]);
      if (std::isnan(p))
        ASSERT_TRUE(std::isnan(prod[i]));
      else
        ASSERT_EQ(bit_cast<uint32_t>(prod[i]), bit_cast<uint32_t>(p)) << std::hexfloat << in[i];
    }
  });
}

TEST(HalfKernels, EdgeValuesScalarAndOnEveryTarget) {
  // The scalar conversion sends NaN to infinity; the kernels keep a quiet NaN.
  const struct { float x; uint16_t scalar, kernel; } cases[] = {
      {65520.f, 0x7C00, 0x7C00}, {-65520.f, 0xFC00, 0xFC00}, {65504.f, 0x7BFF, 0x7BFF},
      {0x1p-25f, 0, 0},          {-0x1p-25f, 0x8000, 0x8000}, {3 * 0x1p-26f, 1, 1},
      {-INFINITY, 0xFC00, 0xFC00}, {NAN, 0x7C00, 0x7E00},   {-NAN, 0xFC00, 0xFE00}};
  constexpr size_t N = std::size(cases);
  float in[N];
  for (size_t i = 0; i < N; ++i) {
    in[i] = cases[i].x;
    EXPECT_EQ(le::f32ToF16(in[i]), cases[i].scalar) << in[i];
  }
  lt::forEachTarget([&] {
    for (size_t n = 1; n <= N; ++n) {
      uint16_t out[N] = {};
      le::simd::f32ToF16(in, out, n);
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], cases[i].kernel) << in[i];
    }
  });
}

TEST(HalfKernels, WideningIsExactForEveryPatternScalarAndOnEveryTarget) {
  std::vector<uint16_t> in(0x10000 + 5);  // odd length: the tail runs too
  std::vector<uint32_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<uint16_t>(i);
    want[i] = bit_cast<uint32_t>(refWiden(in[i]));
    ASSERT_EQ(bit_cast<uint32_t>(le::f16ToF32(in[i])), want[i]) << i;
  }
  lt::forEachTarget([&] {
    std::vector<float> out(in.size());
    le::simd::f16ToF32(in.data(), out.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(bit_cast<uint32_t>(out[i]), want[i]) << i;
  });
}

TEST(HalfKernels, Rgb8ToPlanarF16SplitsAndScales) {
  const size_t count = 301, stride = 311;
  std::vector<uint8_t> rgb(3 * count);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 37 + i / 256);
  lt::forEachTarget([&] {
    std::vector<uint16_t> dst(3 * stride, 0xBEEF);
    le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), stride, count);
    for (size_t c = 0; c < 3; ++c)
      for (size_t i = 0; i < stride; ++i)
        ASSERT_EQ(dst[c * stride + i], i < count ? refHalf(rgb[3 * i + c] / 255.0f) : 0xBEEF) << c << " " << i;
  });
}

struct Planes {
  size_t n;
  std::vector<uint16_t> a, b, wHalf;
  std::vector<float> w;

  float pooled() const { return le::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n); }
  float exact() const { return le::simd::retrieveTermExact(a.data(), b.data(), w.data(), n); }
  float exact(size_t begin, size_t end) const {
    return le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), n, begin, end);
  }
  // h(mean |h(a - b)|) at pixel i.
  float refMean(size_t i) const {
    float sum = 0.f;
    for (size_t c = 0; c < 3; ++c) sum += std::fabs(refRound(refWiden(a[c * n + i]) - refWiden(b[c * n + i])));
    return refRound(sum / 3.f);
  }
  float refPooled() const {
    float sum = 0.f;
    for (size_t i = 0; i < n; ++i) sum += refRound(refWiden(wHalf[i]) * refMean(i));
    return sum;
  }
  float refExact(size_t begin, size_t end) const {
    float sum = 0.f;
    for (size_t i = begin; i < end; ++i)
      if (w[i] != 0.f) sum += w[i] * refMean(i);
    return sum;
  }
};

Planes randomPlanes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> px(-0.2f, 1.2f), wt(0.f, 3.f);
  Planes p{n, std::vector<uint16_t>(3 * n), std::vector<uint16_t>(3 * n), std::vector<uint16_t>(n), std::vector<float>(n)};
  for (size_t i = 0; i < 3 * n; ++i) p.a[i] = refHalf(px(rng)), p.b[i] = refHalf(px(rng));
  for (size_t i = 0; i < n; ++i) p.wHalf[i] = refHalf(p.w[i] = (i % 5 == 0) ? 0.f : wt(rng));
  return p;
}

TEST(RetrieveTerms, BitExactAgainstHalfReference) {
  lt::forEachTarget([] {
    for (size_t n : {1, 7, 64, 513, 3001}) {
      const Planes p = randomPlanes(n, uint32_t(n));
      EXPECT_EQ(p.pooled(), p.refPooled()) << n;
      EXPECT_EQ(p.exact(), p.refExact(0, n)) << n;
      EXPECT_EQ(p.exact(n / 3, n - n / 4), p.refExact(n / 3, n - n / 4)) << n;
    }
    // A zero weight skips even an infinite distance; an empty range is zero.
    Planes p = randomPlanes(40, 9);
    p.a[17] = 0x7C00;
    p.w[17] = 0.f;
    EXPECT_TRUE(std::isfinite(p.exact()));
    EXPECT_EQ(p.exact(9, 9), 0.f);
  });
}

TEST(RetrieveTerms, DifferencesRoundInHalfBeforeAveraging) {
  // 1024 - 0.25 ties to 1024 in half; (1024 + 0.5 + 0.5) / 3 = 341.67 rounds to
  // 341.75. Without the first rounding the mean would round to 341.5.
  const Planes p{1, {refHalf(1024.f), refHalf(0.5f), refHalf(0.5f)}, {refHalf(0.25f), 0, 0},
                 {refHalf(1.f)}, {1.f}};
  lt::forEachTarget([&] {
    EXPECT_EQ(p.exact(), 341.75f);
    EXPECT_EQ(p.pooled(), 341.75f);
  });
}

}  // namespace
