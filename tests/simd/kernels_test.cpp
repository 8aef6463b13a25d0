// Every SIMD kernel on every target this binary and CPU can run against a plain
// scalar reference: bit-exact, or within a tolerance for Lanczos and conv3x3.
#include "simd/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "paste/paste_reference.h"
#include "paste/plane_rows.h"
#include "pool/pool.h"
#include "simd/half.h"
#include "simd/targets.h"
#include "support/fixtures.h"

namespace {

using lt::forEachTarget;
using std::bit_cast;
using u8s = std::vector<uint8_t>;

// LE_TEST_SIMD_TARGETS names the targets a run must cover (CTest sets it under
// qemu); a build or emulator that lost one would otherwise pass on fewer.
TEST(SimdTargets, EveryExpectedTargetRuns) {
  const char* expected = std::getenv("LE_TEST_SIMD_TARGETS");
  if (!expected) GTEST_SKIP() << "LE_TEST_SIMD_TARGETS not set";
  std::string have = " ";
  for (int64_t t : le::simd::runnableTargets()) have += std::string(le::simd::targetName(t)) + " ";
  std::istringstream words(expected);
  for (std::string want; words >> want;)
    EXPECT_NE(have.find(" " + want + " "), std::string::npos) << want << " in" << have;
}

// binary16 of x by double arithmetic, nearest even. NaN becomes a quiet NaN
// keeping its top mantissa bits, or a signed infinity when nanToInf.
uint16_t refHalf(float x, bool nanToInf = false) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  if (std::isnan(x)) return sign | (nanToInf ? 0x7C00 : 0x7E00 | ((bit_cast<uint32_t>(x) >> 13) & 0x3FF));
  const double a = std::fabs(double(x));
  if (a >= 65520.0 || a == 0.0) return sign | (a ? 0x7C00 : 0);
  const int q = std::max(std::ilogb(a) - 10, -24);     // exponent of one unit in the last place
  const double k = std::nearbyint(std::ldexp(a, -q));  // 2048 carries into the exponent
  return sign | uint16_t(q == -24 && k < 1024 ? k : ((q + 25) << 10) + k - 1024);
}

using lt::refWiden;
float refRound(float x) { return refWiden(refHalf(x)); }

// Every finite half, the midpoints between neighbours (ties) and one float ulp
// either side of them, special values and random bit patterns.
std::vector<float> probeFloats() {
  std::vector<float> v;
  for (uint32_t h = 0; h < 0x7C00; ++h)
    for (uint32_t sign : {0u, 0x8000u}) {
      const double lo = refWiden(uint16_t(h | sign)), hi = refWiden(uint16_t((h + 1) | sign));
      const float mid = float((lo + hi) / 2);
      v.insert(v.end(), {float(lo), mid, std::nextafter(mid, 0.f), std::nextafter(mid, 2 * mid)});
    }
  for (float s : {1.f, -1.f})
    v.insert(v.end(), {s * 65504.f, s * 65519.99f, s * 65520.f, s * 1e9f, s * INFINITY, s * 0x1p-25f,
                       s * std::nextafter(0x1p-25f, 1.f), s * 0x1p-126f, s * 0x1p-149f, s * 0.f, s * 3 * 0x1p-26f});
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) v.push_back(bit_cast<float>(uint32_t(rng())));
  v.insert(v.end(), {bit_cast<float>(0x7F800001u), bit_cast<float>(0xFFC12345u)});  // signalling, negative NaN
  return v;
}

TEST(HalfKernels, F32ToF16RoundF16MulAndF16ToF32MatchReference) {
  ASSERT_STREQ(le::simd::target(), le::simd::targetName(le::simd::runnableTargets().at(0)));  // unpinned: the best
  // Edge values first, as the scalar conversion and the kernels must round them; the
  // scalar one sends NaN to infinity, the kernels keep a quiet NaN.
  const float edge[] = {0.1f,         65520.f,  -65520.f,  65504.f, 0x1p-25f, -0x1p-25f,
                        3 * 0x1p-26f, 0x1p-15f, -INFINITY, NAN,     -NAN};
  const uint16_t scalar[] = {0x2E66, 0x7C00, 0xFC00, 0x7BFF, 0, 0x8000, 1, 0x200, 0xFC00, 0x7C00, 0xFC00};
  const uint16_t kernel[] = {0x2E66, 0x7C00, 0xFC00, 0x7BFF, 0, 0x8000, 1, 0x200, 0xFC00, 0x7E00, 0xFE00};
  constexpr size_t N = std::size(edge);
  std::vector<float> in = probeFloats();
  in.insert(in.begin(), edge, edge + N);
  std::vector<float> b = lt::uniform(in.size(), -4.f, 4.f, 3);
  b[0] = 1.f;  // roundF16Mul(0.1, 1) is h(0.1) = 0.0999755859375
  std::vector<uint16_t> want(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    want[i] = refHalf(in[i]);
    ASSERT_EQ(le::f32ToF16(in[i]), i < N ? scalar[i] : refHalf(in[i], /*nanToInf=*/true)) << std::hexfloat << in[i];
    ASSERT_EQ(le::simd::roundToF16Bits(in[i]), i < N ? kernel[i] : want[i]) << std::hexfloat << in[i];
  }
  forEachTarget([&] {
    for (size_t n = 1; n <= N; ++n) {  // short rows: the tail alone
      uint16_t out[N] = {};
      le::simd::f32ToF16(in.data(), out, n);
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], kernel[i]) << in[i];
    }
    for (size_t off : {0, 3}) {  // odd length and offset: the vector body and the tail both run
      std::vector<uint16_t> out(in.size() - off);
      le::simd::f32ToF16(in.data() + off, out.data(), out.size());
      for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], want[i + off]) << std::hexfloat << in[i + off];
    }
    std::vector<float> prod(in.size());
    le::simd::roundF16Mul(in.data(), b.data(), prod.data(), in.size());
    EXPECT_EQ(prod[0], 0.0999755859375f);
    auto bits = [](float x) { return std::isnan(x) ? 1u : bit_cast<uint32_t>(x); };  // any NaN will do
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_EQ(bits(prod[i]), bits(b[i] * refWiden(want[i]))) << std::hexfloat << in[i];
  });
  std::vector<uint16_t> every(0x10000 + 5);  // widening: every pattern exact; odd length, so the tail runs too
  std::vector<uint32_t> wide(every.size());
  for (size_t i = 0; i < every.size(); ++i) {
    wide[i] = bit_cast<uint32_t>(refWiden(every[i] = uint16_t(i)));
    ASSERT_EQ(bit_cast<uint32_t>(le::f16ToF32(every[i])), wide[i]) << i;
  }
  forEachTarget([&] {
    std::vector<float> out(every.size());
    le::simd::f16ToF32(every.data(), out.data(), every.size());
    for (size_t i = 0; i < every.size(); ++i) ASSERT_EQ(bit_cast<uint32_t>(out[i]), wide[i]) << i;
  });
}

TEST(HalfKernels, Rgb8ToPlanarF16SplitsAndScales) {
  const size_t count = 301, stride = 311;
  u8s rgb(3 * count);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 37 + i / 256);
  forEachTarget([&] {
    std::vector<uint16_t> dst(3 * stride, 0xBEEF);
    le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), stride, count);
    for (size_t i = 0; i < dst.size(); ++i)
      ASSERT_EQ(dst[i], i % stride < count ? refHalf(rgb[3 * (i % stride) + i / stride] / 255.0f) : 0xBEEF) << i;
  });
}

struct Planes {
  size_t n;
  std::vector<uint16_t> a, b, wHalf;
  std::vector<float> w;

  float pooled() const { return le::simd::retrieveTermPooled(a.data(), b.data(), wHalf.data(), n); }
  float exact() const { return le::simd::retrieveTermExact(a.data(), b.data(), w.data(), n); }
  float exact(size_t from, size_t to) const {
    return le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), n, from, to);
  }
  // Sum over pixels of m = h(mean |h(a - b)|): pooled, h(wHalf * m); else w * m where w is not 0.
  float ref(size_t from, size_t to, bool pooled = false) const {
    float sum = 0.f;
    for (size_t i = from; i < to; ++i) {
      float m = 0.f;
      for (size_t c = 0; c < 3; ++c) m += std::fabs(refRound(refWiden(a[c * n + i]) - refWiden(b[c * n + i])));
      m = refRound(m / 3.f);
      sum += pooled ? refRound(refWiden(wHalf[i]) * m) : w[i] != 0.f ? w[i] * m : 0.f;
    }
    return sum;
  }
};

Planes randomPlanes(size_t n, uint32_t seed) {
  Planes p{n, {}, {}, {}, {}};
  for (float x : lt::uniform(6 * n, -0.2f, 1.2f, seed)) (p.a.size() < 3 * n ? p.a : p.b).push_back(refHalf(x));
  for (float x : lt::uniform(n, 0.f, 3.f, seed + 1))
    p.w.push_back(p.w.size() % 5 ? x : 0.f), p.wHalf.push_back(refHalf(p.w.back()));
  return p;
}

TEST(RetrieveTerms, BitExactAgainstHalfReference) {
  forEachTarget([] {
    for (size_t n : {1, 7, 64, 513, 3001}) {
      const Planes p = randomPlanes(n, uint32_t(n));
      EXPECT_EQ(p.pooled(), p.ref(0, n, true)) << n;
      EXPECT_EQ(p.exact(), p.ref(0, n)) << n;
      EXPECT_EQ(p.exact(n / 3, n - n / 4), p.ref(n / 3, n - n / 4)) << n;
    }
    Planes p = randomPlanes(40, 9);  // a zero weight skips even an infinite distance; an empty range is zero
    p.a[17] = 0x7C00, p.w[17] = 0.f;
    EXPECT_TRUE(std::isfinite(p.exact()));
    EXPECT_EQ(p.exact(9, 9), 0.f);
    // 1024 - 0.25 ties to 1024 in half, so the mean is h(1025 / 3) = 341.75; unrounded it would be 341.5.
    const Planes q{1, {refHalf(1024.f), refHalf(0.5f), refHalf(0.5f)}, {refHalf(0.25f), 0, 0}, {refHalf(1.f)}, {1.f}};
    EXPECT_EQ(q.exact(), 341.75f);
    EXPECT_EQ(q.pooled(), 341.75f);
  });
}

struct Conv {
  int N, Cin, H, W, Cout;
  uint32_t seed;
  std::vector<float> in = lt::uniform(size_t(N) * Cin * H * W, -1, 1, seed),
                     w = lt::uniform(size_t(Cout) * Cin * 9, -1, 1, seed + 1), bias = lt::uniform(Cout, -1, 1, seed + 2);

  void run(float* out, int j0, int j1) const {
    le::simd::conv3x3Range(in.data(), N, Cin, H, W, w.data(), bias.data(), Cout, out, j0, j1);
  }
  double ref(int item, int y, int x) const {  // item = image * Cout + output channel
    double s = bias[item % Cout];
    for (int ic = 0; ic < Cin; ++ic)
      for (int k = 0; k < 9; ++k) {
        const int yy = y + k / 3 - 1, xx = x + k % 3 - 1;
        if (yy >= 0 && yy < H && xx >= 0 && xx < W)
          s += double(w[(size_t(item % Cout) * Cin + ic) * 9 + k]) *
               in[((size_t(item / Cout) * Cin + ic) * H + yy) * W + xx];
      }
    return s;
  }
};

TEST(Conv3x3Range, MatchesDirectConvolutionAndSplitsOverThePool) {
  // Widths around the lane counts and the 16-float row padding; six output channels run groups of four and single ones.
  forEachTarget([] {
    for (int W : {1, 5, 16, 17, 33}) {
      const Conv c{2, 3, 7, W, 6, uint32_t(W)};
      for (const int plane = c.H * W;
           auto [j0, j1] : {std::pair{0, 12}, std::pair{1, 11}, std::pair{5, 7}, std::pair{2, 2}}) {
        std::vector<float> out(12 * plane, -7.f);
        c.run(out.data(), j0, j1);
        for (int j = 0; j < 12; ++j)
          for (int i = 0; i < plane; ++i) {
            const bool inside = j >= j0 && j < j1;  // items outside the range stay untouched
            ASSERT_NEAR(out[j * plane + i], inside ? c.ref(j, i / W, i % W) : -7., inside ? 1e-4 : 0) << j << " " << i;
          }
      }
    }
  });
  const Conv c{3, 7, 12, 20, 16, 4};  // split over the pool, each thread keeping its own padded image
  std::vector<float> whole(size_t(c.N) * c.Cout * c.H * c.W), split(whole.size());
  c.run(whole.data(), 0, c.N * c.Cout);
  le::pool::parallelRange(size_t(c.N) * c.Cout, 1, [&](size_t b, size_t e) { c.run(split.data(), int(b), int(e)); });
  EXPECT_EQ(whole, split);
}

u8s refYuv(const u8s& y, const uint8_t* u, const uint8_t* v, int step) {
  u8s out;
  for (size_t x = 0; x < y.size(); ++x) {
    const auto rgb = lt::refBt601(y[x], u[x / 2 * step], v[x / 2 * step]);
    out.insert(out.end(), rgb.begin(), rgb.end());
  }
  return out;
}

u8s yuv(const u8s& y, const uint8_t* u, const uint8_t* v, int step) {
  u8s out(3 * y.size() + 16, 0xA5);
  le::simd::yuv420RowToRgb24(y.data(), u, v, int(y.size()), step, out.data());
  EXPECT_EQ(u8s(out.end() - 16, out.end()), u8s(16, 0xA5)) << "wrote past the row";
  out.resize(3 * y.size());
  return out;
}

TEST(Yuv420Row, KnownColoursAndIntegerFormula) {
  // Black, white, red; every luma over a chroma grid; random widths, planar and interleaved chroma in exact-size
  // buffers.
  const uint8_t known[][6] = {{16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255}, {81, 90, 240, 255, 0, 0}};
  std::vector<int> chroma = {1, 127, 128, 254, 255};
  for (int c = 0; c < 256; c += 5) chroma.push_back(c);
  u8s luma(512);
  for (int x = 0; x < 512; ++x) luma[x] = uint8_t(x / 2 ^ (x & 1 ? 0xFF : 0));
  std::mt19937 rng(11);
  forEachTarget([&] {
    for (const auto& c : known)  // y u v -> r g b
      for (int width : {1, 2, 67, 130}) {
        u8s want;
        for (int x = 0; x < width; ++x) want.insert(want.end(), c + 3, c + 6);
        ASSERT_EQ(yuv(u8s(width, c[0]), u8s(width, c[1]).data(), u8s(width, c[2]).data(), 1), want)
            << int(c[0]) << " " << width;
      }
    for (int cu : chroma)
      for (int cv : chroma) {
        const u8s u(256, cu), v(256, cv);
        ASSERT_EQ(yuv(luma, u.data(), v.data(), 1), refYuv(luma, u.data(), v.data(), 1)) << cu << "," << cv;
      }
    for (int width = 1; width < 300; width += 7) {
      const int cw = (width + 1) / 2;
      u8s y(width), u(cw), v(cw), uv(2 * cw);
      for (auto& p : y) p = uint8_t(rng());
      for (int i = 0; i < cw; ++i) uv[2 * i] = u[i] = uint8_t(rng()), uv[2 * i + 1] = v[i] = uint8_t(rng());
      const auto want = refYuv(y, u.data(), v.data(), 1);
      ASSERT_EQ(yuv(y, u.data(), v.data(), 1), want) << width;
      ASSERT_EQ(yuv(y, uv.data(), uv.data() + 1, 2), want) << width;
    }
  });
}

std::vector<float> tapTable(int n) {  // n taps for each of the 32 phases, from the reference formulas
  std::vector<float> t;
  double w[8];
  for (int p = 0; p < 32; ++p) lt::refTaps(n, p / 32.0, w), t.insert(t.end(), w, w + n);
  return t;
}
const std::vector<float> kLanczos = tapTable(8), kBilinear = tapTable(2);

// A crop scaled by about 1.3 onto a row that starts left of it and ends right of it, so complete
// windows, edge windows and misses all occur: column x samples (x - 6) * 790, by + x * 37 in 1/1024 px.
struct Scene {
  int side, width;
  std::vector<float> crop = lt::uniform(size_t(side) * side * 4, 0.f, 255.f, side);
  u8s mask = u8s(size_t(side) * side);
  std::vector<int> colX = std::vector<int>(width), colY = colX;

  Scene(int side_, int width_) : side(side_), width(width_) {
    std::mt19937 rng(side);
    for (int i = 0; i < side * side; ++i)
      mask[i] = i % side < side / 4 ? 0 : i % side > side / 2 ? 255 : uint8_t(rng());
    for (int x = 0; x < width; ++x) colX[x] = (x - 6) * 790, colY[x] = x * 37;
  }
  u8s paste(int by, int first, int last, u8s row) const {
    le::simd::pasteLanczos8Row(crop.data(), side, mask.data(), kLanczos.data(), kBilinear.data(), colX.data(),
                               colY.data(), 0, by, first, last, row.data());
    return row;
  }
};

TEST(PasteLanczos8Row, AgreesWithDoubleReferenceAndTruncates) {
  const Scene s(48, 90);
  u8s base(3 * 90);
  for (size_t i = 0; i < base.size(); ++i) base[i] = uint8_t(i * 29);
  std::vector<double> planes(3 * 48 * 48);  // for the double-precision compositor oracle
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = s.crop[4 * (i % (48 * 48)) + i / (48 * 48)];
  forEachTarget([&] {
    for (int by : {-1500, -900, 0, 5000, 20000, 47800, 50000}) {  // rows above, across and below the crop
      // The oracle's affine map onto the same samples, 1/64 phase past them so the phase is unambiguous.
      const double p = 790 / 1024.0, q = 37 / 1024.0, t0 = (-6 * 790 - 15.5) / 1024, t1 = (by - 15.5) / 1024;
      const float M[6] = {float(1 / p), 0, float(-t0 / p), float(-q / p), 1, float(q * t0 / p - t1)};
      const auto got = s.paste(by, 2, 87, base);
      int off = 0;
      for (int i = 0; i < 3 * 90; ++i) {
        const int x = i / 3,
                  want = x < 2 || x > 87
                             ? base[i]
                             : lt::refPastePixel(planes, 48, s.mask, 8, M, x, 0, &base[3 * x], 0.01)[0].rgb[i % 3];
        ASSERT_LE(std::abs(got[i] - want), 1) << "by " << by << " byte " << i;
        off += got[i] != want;
      }
      EXPECT_LE(off, 3) << "by " << by;  // only truncation-boundary cases may differ
    }
  });
  Scene t(40, 20);  // a zero mask leaves the row untouched; a constant crop of 100.7 truncates to 100
  std::fill(t.mask.begin(), t.mask.end(), 0);
  forEachTarget([&] { EXPECT_EQ(t.paste(4096, 0, 19, u8s(60, 77)), u8s(60, 77)); });
  std::fill(t.crop.begin(), t.crop.end(), 100.7f);
  std::fill(t.mask.begin(), t.mask.end(), 255);
  for (int x = 0; x < 20; ++x)
    t.colX[x] = 8 * 1024 + x * 1100, t.colY[x] = 20 * 1024 + x * 13;  // complete windows only
  u8s want(60, 100);
  std::fill_n(want.begin(), 3, 3), std::fill_n(want.end() - 3, 3, 3);
  forEachTarget([&] { EXPECT_EQ(t.paste(0, 1, 18, u8s(60, 3)), want); });
}

TEST(PlaneRows, EveryKernelMatchesItsFormula) {
  // Odd lengths so the vector body and the tail both run. Scaling and interleaving round once, so
  // exactly; the Gaussian sums within a few ulps, as x86's FMA targets may fuse them.
  constexpr size_t n = 203, stride = 211;
  constexpr int k = 5;
  const std::vector<float> rows = lt::uniform(stride * (k + 2), 0.f, 255.f, 21), g = lt::uniform(k, 0.f, 0.4f, 22);
  const float* in = rows.data();
  auto gauss = [&](size_t step, size_t x) {
    double s = 0;
    for (int t = 0; t < k; ++t) s += double(g[t]) * in[t * step + x];
    return s;
  };
  forEachTarget([&] {
    std::vector<float> out(4 * n + 4, -1.f);
    le::plane_rows::scaleRow(in, 0.75f, out.data(), n);
    for (size_t x = 0; x < n; ++x) ASSERT_EQ(out[x], in[x] * 0.75f) << x;
    le::plane_rows::blurRowH(in, g.data(), k, out.data(), n);
    for (size_t x = 0; x < n; ++x) ASSERT_NEAR(out[x], gauss(1, x), 1e-3) << x;
    le::plane_rows::sharpenRowV(in, stride, g.data(), k, 0.8f, in + 6 * stride, 1.1f, out.data(), n);
    for (size_t x = 0; x < n; ++x)
      ASSERT_NEAR(out[x], std::clamp(1.8 * (in[6 * stride + x] * 1.1f) - 0.8 * gauss(stride, x), 0., 255.), 1e-3) << x;
    EXPECT_TRUE(std::count(&out[0], &out[n], 0.f) && std::count(&out[0], &out[n], 255.f)) << "both clamps ran";
    le::plane_rows::interleaveRgb0(in, in + stride, in + 2 * stride, out.data(), n);
    for (size_t x = 0; x < n; ++x)
      ASSERT_EQ(std::vector(&out[4 * x], &out[4 * x + 4]),
                (std::vector{in[x], in[stride + x], in[2 * stride + x], 0.f}));
    EXPECT_EQ(out[4 * n], -1.f) << "wrote past the row";
  });
}

}  // namespace
