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

  void run(float* out, int j0, int j1) const {
    le::simd::conv3x3Range(in.data(), N, Cin, H, W, w.data(), bias.data(), Cout, out, j0, j1);
  }
  // Double-precision direct convolution at one output position.
  double ref(int image, int oc, int y, int x) const {
    double s = bias[oc];
    for (int ic = 0; ic < Cin; ++ic)
      for (int ky = 0; ky < 3; ++ky)
        for (int kx = 0; kx < 3; ++kx) {
          const int yy = y + ky - 1, xx = x + kx - 1;
          if (yy >= 0 && yy < H && xx >= 0 && xx < W)
            s += double(w[((size_t(oc) * Cin + ic) * 3 + ky) * 3 + kx]) * in[((size_t(image) * Cin + ic) * H + yy) * W + xx];
        }
    return s;
  }
};

ConvCase randomCase(int N, int Cin, int H, int W, int Cout, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  ConvCase c{N, Cin, H, W, Cout, std::vector<float>(size_t(N) * Cin * H * W), std::vector<float>(size_t(Cout) * Cin * 9),
             std::vector<float>(Cout)};
  for (auto* v : {&c.in, &c.w, &c.bias})
    for (float& x : *v) x = u(rng);
  return c;
}

TEST(Conv3x3Range, MatchesDirectConvolutionOnEveryTarget) {
  // Widths around the lane counts and the 16-float row padding; Cout not a
  // multiple of four so groups of four and single channels both run.
  lt::forEachTarget([] {
    for (int W : {1, 5, 16, 17, 33}) {
      const ConvCase c = randomCase(2, 3, 7, W, 6, W);
      const int plane = c.H * W;
      for (auto [j0, j1] : {std::pair{0, 12}, std::pair{1, 11}, std::pair{5, 7}, std::pair{2, 2}}) {
        std::vector<float> out(size_t(c.N) * c.Cout * plane, -7.f);
        c.run(out.data(), j0, j1);
        for (int j = 0; j < c.N * c.Cout; ++j)
          for (int i = 0; i < plane; ++i) {
            if (j < j0 || j >= j1)
              ASSERT_EQ(out[j * plane + i], -7.f) << "item " << j << " outside the range was written";
            else
              ASSERT_NEAR(out[j * plane + i], c.ref(j / c.Cout, j % c.Cout, i / W, i % W), 1e-4) << j << " " << i;
          }
      }
    }
  });
}

TEST(Conv3x3Range, SplitOverThePoolMatchesOneCall) {
  // Each thread keeps its own padded image; images alternate between items.
  const ConvCase c = randomCase(3, 7, 12, 20, 16, 4);
  std::vector<float> whole(size_t(c.N) * c.Cout * c.H * c.W), split(whole.size());
  c.run(whole.data(), 0, c.N * c.Cout);
  le::pool::parallelRange(size_t(c.N) * c.Cout, 1, [&](size_t b, size_t e) { c.run(split.data(), int(b), int(e)); });
  EXPECT_EQ(whole, split);
}

}  // namespace
