// The compositor against the double-precision oracle on random transforms,
// crops, masks and unsharp settings, in each resampler mode.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "paste/paste.h"
#include "paste/paste_reference.h"
#include "support/fixtures.h"

namespace {

struct Scene {
  int side, W, H;
  le::Unsharp unsharp;
  std::vector<float> crop;
  std::vector<uint8_t> mask, frame;
  float M[6];
};

Scene randomScene(std::mt19937& rng, int side, int W, int H) {
  std::uniform_real_distribution<double> unit(0, 1);
  Scene s{side, W, H, {float(unit(rng) * 1.5), float(0.5 + unit(rng) * 2), 3 + 2 * int(rng() % 3)}, {}, {}, {}, {}};
  s.crop.resize(3 * static_cast<size_t>(side) * side);
  for (float& v : s.crop) v = float(-0.05 + 1.1 * unit(rng));  // slightly outside 0..1: the clamps run
  // A soft disc mask with a noisy rim and a hole, so alpha takes all values
  // including exact zeros inside the crop.
  const double c = (side - 1) / 2.0;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const double v = std::hypot(x - side * 0.3, y - side * 0.6) < side * 0.08
                           ? 0
                           : (1.0 - std::hypot(x - c, y - c) / (side / 2.0)) * 600 + (unit(rng) - 0.5) * 80;
      s.mask.push_back(uint8_t(std::clamp(v, 0.0, 255.0)));
    }
  s.frame.resize(static_cast<size_t>(W) * H * 3);
  for (uint8_t& v : s.frame) v = uint8_t(rng());
  const double scale = 0.6 + unit(rng), angle = (unit(rng) - 0.5) * 2 * std::numbers::pi;
  const double a = scale * std::cos(angle), b = -scale * std::sin(angle) + (unit(rng) - 0.5) * 0.3;
  const double d = scale * std::sin(angle), e = a;
  // The crop centre lands inside the frame; large crops hang over its edges.
  const double cx = unit(rng) * W, cy = unit(rng) * H, h = side / 2.0;
  const double vals[6] = {a, b, cx - a * h - b * h, d, e, cy - d * h - e * h};
  for (int i = 0; i < 6; ++i) s.M[i] = float(vals[i]);
  return s;
}

// Runs the compositor on a copy of the scene's frame and checks every pixel
// of the frame (not only the footprint) against the oracle.
void expectMatchesOracle(const Scene& s, int mode, const std::string& label) {
  lt::ScopedEnv fast("LE_PASTE_FAST", std::to_string(mode).c_str());
  le::Paste paste(s.mask, s.side, s.unsharp);
  ASSERT_EQ(paste.mode(), mode);
  std::vector<uint8_t> got = s.frame;
  paste.composite(s.crop.data(), 255.f, s.M, got.data(), s.W, s.H);

  const auto planes = lt::refSharpen(s.crop.data(), s.side, 255.0, {s.unsharp.amount, s.unsharp.sigma, s.unsharp.ksize});
  const size_t area = static_cast<size_t>(s.side) * s.side;
  for (int c = 0; c < 3; ++c)
    for (size_t i = 0; i < area; i += 7) ASSERT_NEAR(paste.plane(c)[i], planes[c * area + i], 2e-3) << label;

  const int taps = mode == le::Paste::kLanczos8 ? 8 : mode == le::Paste::kBicubic ? 4 : 2;
  int bad = 0, changed = 0;
  for (int Y = 0; Y < s.H; ++Y)
    for (int X = 0; X < s.W; ++X) {
      const size_t at = (static_cast<size_t>(Y) * s.W + X) * 3;
      const auto accept = lt::refPastePixel(planes, s.side, s.mask, taps, s.M, X, Y, s.frame.data() + at, 0.05);
      bool ok = false;
      for (const auto& px : accept)
        ok = ok || (std::abs(px.rgb[0] - got[at]) <= 1 && std::abs(px.rgb[1] - got[at + 1]) <= 1 &&
                    std::abs(px.rgb[2] - got[at + 2]) <= 1);
      changed += got[at] != s.frame[at];
      if (!ok && ++bad <= 3)
        ADD_FAILURE() << label << " pixel (" << X << "," << Y << ") got red " << int(got[at]) << " want "
                      << int(accept[0].rgb[0]);
    }
  EXPECT_EQ(bad, 0) << label;
  EXPECT_GT(changed, 0) << label << ": nothing was pasted";
}

TEST(PasteOracle, RandomAffinesMatchDoubleReferenceInEveryMode) {
  std::mt19937 rng(20261205);
  const int sides[] = {64, 37, 90};
  for (int trial = 0; trial < 6; ++trial) {
    const Scene s = randomScene(rng, sides[trial % 3], 150, 110);
    for (int mode : {le::Paste::kLanczos8, le::Paste::kBicubic, le::Paste::kBilinear})
      expectMatchesOracle(s, mode, "trial " + std::to_string(trial) + " mode " + std::to_string(mode));
  }
  // Tiny crops, at or below the Gaussian radius, reflect repeatedly.
  for (int side : {2, 3, 5}) {
    Scene s = randomScene(rng, side, 24, 20);
    s.unsharp = {0.8f, 1.3f, 7};
    const float M[6] = {2.5f, 0.3f, 6.f, -0.2f, 2.2f, 5.f};
    std::copy(M, M + 6, s.M);
    expectMatchesOracle(s, le::Paste::kLanczos8, "side " + std::to_string(side));
  }
}

}  // namespace
