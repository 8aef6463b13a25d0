#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "each_target.h"
#include "half_reference.h"
#include "simd/half.h"
#include "simd/kernels.h"

namespace {

using lt::bitsFloat;
using lt::floatBits;

// Every half value, the midpoints between neighbours (ties), one float ulp
// either side of each midpoint, special values and random bit patterns.
std::vector<float> probeFloats() {
  std::vector<float> v;
  for (uint32_t h = 0; h < 0x7C00; ++h) {
    for (uint32_t sign : {0u, 0x8000u}) {
      const double lo = lt::refWiden(static_cast<uint16_t>(h | sign));
      const double hi = lt::refWiden(static_cast<uint16_t>((h + 1) | sign));
      const float mid = static_cast<float>((lo + hi) / 2);
      v.insert(v.end(), {static_cast<float>(lo), mid, std::nextafter(mid, 0.f),
                         std::nextafter(mid, 2 * mid)});
    }
  }
  for (float s : {1.f, -1.f})
    v.insert(v.end(), {s * 65504.f, s * 65519.99f, s * 65520.f, s * 1e9f, s * INFINITY,
                       s * 0x1p-25f, s * std::nextafter(0x1p-25f, 1.f), s * 0x1p-126f,
                       s * 0x1p-149f, s * 0.f, s * 3 * 0x1p-26f});
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) v.push_back(bitsFloat(static_cast<uint32_t>(rng())));
  v.push_back(bitsFloat(0x7F800001u));  // signalling NaN
  v.push_back(bitsFloat(0xFFC12345u));
  return v;
}

TEST(ScalarHalf, RoundsLikeTheDoubleReference) {
  for (float x : probeFloats()) {
    ASSERT_EQ(le::f32ToF16(x), lt::refHalf(x, /*nanToInf=*/true)) << std::hexfloat << x;
    ASSERT_EQ(le::simd::roundToF16Bits(x), lt::refHalf(x)) << std::hexfloat << x;
  }
}

TEST(ScalarHalf, EdgeValues) {
  EXPECT_EQ(le::f32ToF16(65520.0f), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-65520.0f), 0xFC00);
  EXPECT_EQ(le::f32ToF16(65504.0f), 0x7BFF);
  EXPECT_EQ(le::f32ToF16(0x1p-25f), 0);
  EXPECT_EQ(le::f32ToF16(-0x1p-25f), 0x8000);
  EXPECT_EQ(le::f32ToF16(3 * 0x1p-26f), 1);
  EXPECT_EQ(le::f32ToF16(NAN), 0x7C00);
  EXPECT_EQ(le::f32ToF16(-NAN), 0xFC00);
  EXPECT_EQ(le::f32ToF16(-INFINITY), 0xFC00);
}

TEST(ScalarHalf, WideningIsExactForEveryPattern) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const float got = le::f16ToF32(static_cast<uint16_t>(h));
    const double want = lt::refWiden(static_cast<uint16_t>(h));
    if (std::isnan(want)) {
      ASSERT_EQ(floatBits(got), ((h & 0x8000u) << 16) | 0x7FC00000u | ((h & 0x3FFu) << 13));
    } else {
      ASSERT_EQ(floatBits(got), floatBits(static_cast<float>(want))) << h;
    }
  }
}

TEST(HalfKernels, F32ToF16MatchesReferenceOnEveryTarget) {
  const std::vector<float> in = probeFloats();
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) want[i] = lt::refHalf(in[i]);
  lt::forEachTarget([&] {
    // Odd length and offset so both the vector body and the tail run.
    for (size_t off : {size_t{0}, size_t{3}}) {
      std::vector<uint16_t> out(in.size() - off, 0xDEAD);
      le::simd::f32ToF16(in.data() + off, out.data(), out.size());
      for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], want[i + off]) << std::hexfloat << in[i + off];
    }
  });
}

TEST(HalfKernels, SpecialValuesOnEveryTarget) {
  const float in[] = {65520.0f, 65504.0f, 0x1p-25f, 3 * 0x1p-26f, -NAN, NAN};
  lt::forEachTarget([&] {
    for (size_t n = 1; n <= 6; ++n) {
      uint16_t out[6] = {};
      le::simd::f32ToF16(in, out, n);
      const uint16_t want[] = {0x7C00, 0x7BFF, 0, 1, 0xFE00, 0x7E00};
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], want[i]) << i;
    }
  });
}

TEST(HalfKernels, F16ToF32WidensEveryPatternOnEveryTarget) {
  std::vector<uint16_t> in(0x10000 + 5);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i);
  lt::forEachTarget([&] {
    std::vector<float> out(in.size());
    le::simd::f16ToF32(in.data(), out.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_EQ(floatBits(out[i]), floatBits(le::f16ToF32(in[i]))) << i;
  });
}

TEST(HalfKernels, RoundF16MulRoundsTheFirstOperand) {
  std::vector<float> a = probeFloats(), b(a.size());
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-4.f, 4.f);
  for (float& x : b) x = u(rng);
  a[0] = 0.1f;
  b[0] = 1.0f;
  lt::forEachTarget([&] {
    std::vector<float> out(a.size());
    le::simd::roundF16Mul(a.data(), b.data(), out.data(), a.size());
    EXPECT_EQ(out[0], 0.0999755859375f);
    for (size_t i = 0; i < a.size(); ++i) {
      const float want = b[i] * lt::refRound(a[i]);
      if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(out[i]));
      } else {
        ASSERT_EQ(floatBits(out[i]), floatBits(want)) << std::hexfloat << a[i];
      }
    }
  });
}

TEST(HalfKernels, Rgb8ToPlanarF16SplitsAndScales) {
  const size_t count = 301, stride = 311;
  std::vector<uint8_t> rgb(3 * count);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 37 + i / 256);
  lt::forEachTarget([&] {
    std::vector<uint16_t> dst(3 * stride, 0xBEEF);
    le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), stride, count);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(dst[c * stride + i], lt::refHalf(rgb[3 * i + c] / 255.0f)) << c << " " << i;
      for (size_t i = count; i < stride; ++i) ASSERT_EQ(dst[c * stride + i], 0xBEEF);
    }
  });
}

}  // namespace
