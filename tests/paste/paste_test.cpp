// The compositor against the double-precision oracle in each resampler mode, then its edge cases.
#include "paste/paste.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "paste/paste_reference.h"
#include "support/fixtures.h"

namespace {

using ::testing::ThrowsMessage;
using u8s = std::vector<uint8_t>;
const le::Unsharp kUnsharp{0.5f, 1.0f, 5};
const float kIdentity[6] = {1, 0, 0, 0, 1, 0};

u8s randomBytes(size_t n, unsigned seed) {
  u8s v(n);
  for (std::mt19937 rng(seed); uint8_t & x : v) x = uint8_t(rng());
  return v;
}
std::vector<float> randomCrop(int side, unsigned seed) {
  std::vector<float> crop;
  for (uint8_t v : randomBytes(3 * side * side, seed)) crop.push_back(v / 255.f);
  return crop;
}

struct Scene {
  int side, W, H;
  le::Unsharp unsharp;
  std::vector<float> crop;
  u8s mask, frame;
  std::array<float, 6> M;
};

Scene randomScene(std::mt19937& rng, int side, int W, int H) {
  std::uniform_real_distribution<double> unit(0, 1);
  Scene s{side, W, H, {float(unit(rng) * 1.5), float(0.5 + unit(rng) * 2), 3 + 2 * int(rng() % 3)}, {}, {}, {}, {}};
  // The crop slightly outside 0..1 (the clamps run); the mask a soft disc with a noisy rim and a
  // hole, so alpha takes all values, exact zeros inside the crop included.
  for (int i = 0; i < 3 * side * side; ++i) s.crop.push_back(float(-0.05 + 1.1 * unit(rng)));
  for (int i = 0; i < side * side; ++i) {
    const double c = (side - 1) / 2.0, r = std::hypot(i % side - c, i / side - c) / (side / 2.0);
    const bool hole = std::hypot(i % side - side * 0.3, i / side - side * 0.6) < side * 0.08;
    s.mask.push_back(uint8_t(hole ? 0 : std::clamp((1.0 - r) * 600 + (unit(rng) - 0.5) * 80, 0.0, 255.0)));
  }
  s.frame = randomBytes(size_t(W) * H * 3, rng());
  const double scale = 0.6 + unit(rng), angle = (unit(rng) - 0.5) * 2 * std::numbers::pi;
  const double a = scale * std::cos(angle), b = -scale * std::sin(angle) + (unit(rng) - 0.5) * 0.3,
               d = scale * std::sin(angle);
  // The crop centre lands inside the frame; large crops hang over its edges.
  const double cx = unit(rng) * W, cy = unit(rng) * H, h = side / 2.0;
  s.M = {float(a), float(b), float(cx - a * h - b * h), float(d), float(a), float(cy - d * h - a * h)};
  return s;
}

// Every pixel of the frame, not only the footprint, against the oracle.
void expectMatchesOracle(const Scene& s, int mode, const std::string& label) {
  lt::ScopedEnv fast("LE_PASTE_FAST", std::to_string(mode).c_str());
  le::Paste paste(s.mask, s.side, s.unsharp);
  ASSERT_EQ(paste.mode(), mode);
  u8s got = s.frame;
  paste.composite(s.crop.data(), 255.f, s.M.data(), got.data(), s.W, s.H);
  const auto planes =
      lt::refSharpen(s.crop.data(), s.side, 255.0, {s.unsharp.amount, s.unsharp.sigma, s.unsharp.ksize});
  for (size_t i = 0, area = size_t(s.side) * s.side; i < planes.size(); i += 7)
    ASSERT_NEAR(paste.plane(int(i / area))[i % area], planes[i], 2e-3) << label;
  const int taps = mode == le::Paste::kLanczos8 ? 8 : mode == le::Paste::kBicubic ? 4 : 2;
  int changed = 0;
  const int bad =
      lt::refFrameMismatches(planes, s.side, s.mask, taps, s.M.data(), s.W, s.H, s.frame.data(), got.data(), &changed);
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
  for (int side : {2, 3, 5}) {  // tiny crops, at or below the Gaussian radius, reflect repeatedly
    Scene s = randomScene(rng, side, 24, 20);
    s.unsharp = {0.8f, 1.3f, 7};
    s.M = {2.5f, 0.3f, 6.f, -0.2f, 2.2f, 5.f};
    expectMatchesOracle(s, le::Paste::kLanczos8, "side " + std::to_string(side));
  }
}

TEST(PasteEdges, IdentityReproducesSharpenedCropTruncated) {
  const int side = 512;
  const auto crop = randomCrop(side, 1);
  le::Paste paste(u8s(side * side, 255), side, kUnsharp);
  u8s frame(side * side * 3, 9);
  paste.composite(crop.data(), 255.f, kIdentity, frame.data(), side, side);
  int wrong = 0;
  for (int i = 0; i < 3 * side * side; ++i) wrong += frame[i] != uint8_t(paste.plane(i % 3)[i / 3]);
  EXPECT_EQ(wrong, 0);
  const std::vector<float> half(3 * side * side, 0.5f);  // 127.5 everywhere truncates to 127
  paste.composite(half.data(), 255.f, kIdentity, frame.data(), side, side);
  EXPECT_EQ(frame, u8s(side * side * 3, 127));
}

// Bytes the oracle allows to move by one stay exact: a zero mask, a singular matrix, a crop out of reach.
TEST(PasteEdges, NothingChangesWhereTheMaskIsZeroOrOutOfReach) {
  const int side = 64, W = 120, H = 90;
  const auto crop = randomCrop(side, 3);
  const auto original = randomBytes(3 * W * H, 4);
  const float shifted[6] = {1.f, 0.f, 0.4f, 0.f, 1.f, 0.3f};
  const float unreachable[][6] = {{1.f, 2.f, 30.f, 2.f, 4.f, 20.f},
                                  {1.f, 0.f, 5000.f, 0.f, 1.f, 10.f},    // det = 0, far right
                                  {1.f, 0.f, 10.f, 0.f, 1.f, -5000.f}};  // far above
  for (const char* mode : {"0", "1", "2"}) {
    lt::ScopedEnv fast("LE_PASTE_FAST", mode);
    le::Paste zeroMask(u8s(side * side, 0), side, kUnsharp), full(u8s(side * side, 255), side, kUnsharp);
    auto frame = original;
    zeroMask.composite(crop.data(), 255.f, shifted, frame.data(), W, H);
    EXPECT_EQ(frame, original) << "zero mask, mode " << mode;
    for (const float* M : unreachable) {
      full.composite(crop.data(), 255.f, M, frame.data(), W, H);
      EXPECT_EQ(frame, original) << "mode " << mode << " M[2] " << M[2];
    }
    full.composite(crop.data(), 255.f, shifted, frame.data(), W, H);
    EXPECT_NE(frame, original) << "mode " << mode;
  }
}

TEST(PasteEdges, RefusalsNameTheCauseAndSwitchesFallBack) {
  using Refusal = std::runtime_error;
  EXPECT_THAT([] { le::Paste(u8s(15), 4, kUnsharp); }, ThrowsMessage<Refusal>("paste: mask size"));
  EXPECT_THAT([] { le::Paste(u8s(16), 4, {0.5f, 1.f, 4}); }, ThrowsMessage<Refusal>("paste: ksize must be odd"));
  const int side = 1025;
  le::Paste big(u8s(side * side, 255), side, {0.5f, 1.f, 3});
  const std::vector<float> crop(3 * size_t(side) * side, 0.5f);
  const auto original = randomBytes(3 * 40 * 30, 7);
  auto frame = original;
  EXPECT_THAT([&] { big.composite(crop.data(), 255.f, kIdentity, frame.data(), 40, 30); },
              ThrowsMessage<Refusal>("paste: side > 1024"));
  EXPECT_EQ(frame, original);
  // LE_PASTE_FAST falls back to Lanczos outside 0..2.
  const struct {
    const char* value;
    int mode;
  } modes[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"7", 0}, {"-1", 0}, {"", 0}, {"bilinear", 0}};
  for (const auto& c : modes) {
    lt::ScopedEnv fast("LE_PASTE_FAST", c.value);
    EXPECT_EQ(le::Paste(u8s(16, 255), 4, kUnsharp).mode(), c.mode) << "'" << c.value << "'";
  }
  // LE_PASTE_KSIZE only shrinks, to odd sizes, keeping sigma: the taps beside the centre weigh exp(-1 / (2 sigma^2)).
  const struct {
    const char* value;
    int ksize;
  } sizes[] = {{"3", 3}, {"5", 5}, {"7", 7}, {"4", 7}, {"9", 7}, {"1", 7}, {"x", 7}};
  for (const auto& c : sizes) {
    lt::ScopedEnv k("LE_PASTE_KSIZE", c.value);
    le::Paste paste(u8s(64 * 64, 255), 64, {0.7f, 1.2f, 7});
    const auto& g = paste.gaussian();
    EXPECT_EQ(paste.ksize(), c.ksize) << c.value;
    ASSERT_EQ(g.size(), size_t(c.ksize));
    EXPECT_NEAR(g[g.size() / 2 - 1] / g[g.size() / 2], std::exp(-1.0 / (2 * 1.2 * 1.2)), 1e-6) << c.value;
  }
}

}  // namespace
