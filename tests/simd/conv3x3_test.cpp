#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "each_target.h"
#include "pool/pool.h"
#include "simd/kernels.h"

namespace {

struct ConvCase {
  int N, Cin, H, W, Cout;
  std::vector<float> in, w, bias;
};

ConvCase randomCase(int N, int Cin, int H, int W, int Cout, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  ConvCase c{N, Cin, H, W, Cout, std::vector<float>(size_t(N) * Cin * H * W),
             std::vector<float>(size_t(Cout) * Cin * 9), std::vector<float>(Cout)};
  for (auto* v : {&c.in, &c.w, &c.bias})
    for (float& x : *v) x = u(rng);
  return c;
}

// Double-precision direct convolution of one output plane.
double refAt(const ConvCase& c, int image, int oc, int y, int x) {
  double s = c.bias[oc];
  for (int ic = 0; ic < c.Cin; ++ic)
    for (int ky = 0; ky < 3; ++ky)
      for (int kx = 0; kx < 3; ++kx) {
        const int yy = y + ky - 1, xx = x + kx - 1;
        if (yy < 0 || yy >= c.H || xx < 0 || xx >= c.W) continue;
        s += double(c.w[((size_t(oc) * c.Cin + ic) * 3 + ky) * 3 + kx]) *
             c.in[((size_t(image) * c.Cin + ic) * c.H + yy) * c.W + xx];
      }
  return s;
}

void expectRange(const ConvCase& c, const std::vector<float>& out, int j0, int j1) {
  const size_t plane = size_t(c.H) * c.W;
  for (int j = 0; j < c.N * c.Cout; ++j)
    for (int y = 0; y < c.H; ++y)
      for (int x = 0; x < c.W; ++x) {
        const float got = out[j * plane + y * c.W + x];
        if (j < j0 || j >= j1) {
          ASSERT_EQ(got, -7.f) << "item " << j << " outside the range was written";
        } else {
          ASSERT_NEAR(got, refAt(c, j / c.Cout, j % c.Cout, y, x), 1e-4)
              << "item " << j << " y " << y << " x " << x;
        }
      }
}

TEST(Conv3x3Range, MatchesDirectConvolutionOnEveryTarget) {
  // Widths around the lane counts and the 16-float row padding; Cout not a
  // multiple of four so groups of four and single channels both run.
  lt::forEachTarget([] {
    for (int W : {1, 5, 16, 17, 33}) {
      const ConvCase c = randomCase(2, 3, 7, W, 6, W);
      const size_t total = size_t(c.N) * c.Cout * c.H * W;
      for (auto [j0, j1] : {std::pair{0, 12}, std::pair{1, 11}, std::pair{5, 7}}) {
        std::vector<float> out(total, -7.f);
        le::simd::conv3x3Range(c.in.data(), c.N, c.Cin, c.H, c.W, c.w.data(), c.bias.data(),
                               c.Cout, out.data(), j0, j1);
        expectRange(c, out, j0, j1);
      }
    }
  });
}

TEST(Conv3x3Range, EmptyRangeWritesNothing) {
  const ConvCase c = randomCase(1, 2, 4, 4, 4, 1);
  std::vector<float> out(size_t(c.Cout) * 16, -7.f);
  le::simd::conv3x3Range(c.in.data(), 1, 2, 4, 4, c.w.data(), c.bias.data(), 4, out.data(), 2, 2);
  expectRange(c, out, 2, 2);
}

TEST(Conv3x3Range, SplitOverThePoolMatchesOneCall) {
  // Each thread keeps its own padded image; images alternate between items.
  const ConvCase c = randomCase(3, 7, 12, 20, 16, 4);
  const size_t total = size_t(c.N) * c.Cout * c.H * c.W;
  std::vector<float> whole(total), split(total);
  le::simd::conv3x3Range(c.in.data(), c.N, c.Cin, c.H, c.W, c.w.data(), c.bias.data(), c.Cout,
                         whole.data(), 0, c.N * c.Cout);
  le::pool::parallelRange(size_t(c.N) * c.Cout, 1, [&](size_t b, size_t e) {
    le::simd::conv3x3Range(c.in.data(), c.N, c.Cin, c.H, c.W, c.w.data(), c.bias.data(), c.Cout,
                           split.data(), int(b), int(e));
  });
  EXPECT_EQ(whole, split);
}

}  // namespace
