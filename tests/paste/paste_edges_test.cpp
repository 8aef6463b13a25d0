// The compositor's edge cases: identity, singular and off-frame transforms,
// zero masks, refusals and switches.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "paste/paste.h"
#include "support/fixtures.h"

namespace {

const le::Unsharp kUnsharp{0.5f, 1.0f, 5};
const float kIdentity[6] = {1, 0, 0, 0, 1, 0};

std::vector<uint8_t> randomFrame(int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> frame(3 * W * H);
  for (uint8_t& v : frame) v = uint8_t(rng());
  return frame;
}
std::vector<float> randomCrop(int side, unsigned seed) {
  std::vector<float> crop;
  for (uint8_t v : randomFrame(side, side, seed)) crop.push_back(v / 255.f);
  return crop;
}

std::string refusal(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(PasteEdges, IdentityReproducesSharpenedCropTruncated) {
  const int side = 512;
  const auto crop = randomCrop(side, 1);
  le::Paste paste(std::vector<uint8_t>(side * side, 255), side, kUnsharp);
  std::vector<uint8_t> frame(side * side * 3, 9);
  paste.composite(crop.data(), 255.f, kIdentity, frame.data(), side, side);
  int wrong = 0;
  for (int i = 0; i < side * side; ++i)
    for (int c = 0; c < 3; ++c) wrong += frame[3 * i + c] != static_cast<uint8_t>(paste.plane(c)[i]);
  EXPECT_EQ(wrong, 0);
  // A flat 0.5 crop is 127.5 everywhere, which truncates to 127.
  const std::vector<float> half(3 * side * side, 0.5f);
  paste.composite(half.data(), 255.f, kIdentity, frame.data(), side, side);
  EXPECT_EQ(frame, std::vector<uint8_t>(side * side * 3, 127));
}

TEST(PasteEdges, NothingChangesWhereTheMaskIsZeroOrOutOfReach) {
  const int side = 64, W = 120, H = 90;
  const auto crop = randomCrop(side, 3);
  const auto original = randomFrame(W, H, 4);
  // Left half of this mask is 0: pixels mapping there (all four samples 0)
  // keep their bytes exactly; the right half is pasted.
  std::vector<uint8_t> halfMask(side * side, 0);
  for (int y = 0; y < side; ++y) std::fill_n(halfMask.begin() + y * side + side / 2, side / 2, 200);
  const float shifted[6] = {1.f, 0.f, 0.4f, 0.f, 1.f, 0.3f};
  const float unreachable[][6] = {{1.f, 2.f, 30.f, 2.f, 4.f, 20.f},      // det = 0
                                  {1.f, 0.f, 5000.f, 0.f, 1.f, 10.f},    // far right
                                  {1.f, 0.f, 10.f, 0.f, 1.f, -5000.f}};  // far above
  for (const char* mode : {"0", "1", "2"}) {
    lt::ScopedEnv fast("LE_PASTE_FAST", mode);
    le::Paste zeroMask(std::vector<uint8_t>(side * side, 0), side, kUnsharp), half(halfMask, side, kUnsharp),
        full(std::vector<uint8_t>(side * side, 255), side, kUnsharp);
    auto frame = original;
    zeroMask.composite(crop.data(), 255.f, shifted, frame.data(), W, H);
    EXPECT_EQ(frame, original) << "zero mask, mode " << mode;
    for (const float* M : unreachable) {
      full.composite(crop.data(), 255.f, M, frame.data(), W, H);
      EXPECT_EQ(frame, original) << "mode " << mode << " M[2] " << M[2];
    }
    half.composite(crop.data(), 255.f, shifted, frame.data(), W, H);
    for (int y = 0; y < H; ++y)
      for (int i = 0; i < (side / 2 - 1) * 3; ++i) ASSERT_EQ(frame[y * W * 3 + i], original[y * W * 3 + i]) << mode;
    EXPECT_NE(frame, original) << "mode " << mode;
  }
}

TEST(PasteEdges, RefusalsNameTheCause) {
  EXPECT_EQ(refusal([] { le::Paste(std::vector<uint8_t>(15), 4, kUnsharp); }), "paste: mask size");
  EXPECT_EQ(refusal([] { le::Paste(std::vector<uint8_t>(16), 4, {0.5f, 1.f, 4}); }), "paste: ksize must be odd");
  const int side = 1025;
  le::Paste big(std::vector<uint8_t>(side * side, 255), side, {0.5f, 1.f, 3});
  const std::vector<float> crop(3 * static_cast<size_t>(side) * side, 0.5f);
  const auto original = randomFrame(40, 30, 7);
  auto frame = original;
  EXPECT_EQ(refusal([&] { big.composite(crop.data(), 255.f, kIdentity, frame.data(), 40, 30); }), "paste: side > 1024");
  EXPECT_EQ(frame, original);
}

TEST(PasteSwitches, FastModeFallsBackToLanczosOutsideRange) {
  const struct { const char* value; int mode; } cases[] = {{"0", 0}, {"1", 1},  {"2", 2},        {"7", 0},
                                                           {"-1", 0}, {"", 0}, {"bilinear", 0}};
  for (const auto& c : cases) {
    lt::ScopedEnv fast("LE_PASTE_FAST", c.value);
    EXPECT_EQ(le::Paste(std::vector<uint8_t>(16, 255), 4, kUnsharp).mode(), c.mode) << "'" << c.value << "'";
  }
}

TEST(PasteSwitches, KsizeOverrideOnlyShrinksToOddSizesKeepingSigma) {
  const std::vector<uint8_t> mask(64 * 64, 255);
  const struct { const char* value; int ksize; } cases[] = {{"3", 3}, {"5", 5}, {"7", 7}, {"4", 7},
                                                            {"9", 7}, {"1", 7}, {"x", 7}};
  for (const auto& c : cases) {
    lt::ScopedEnv k("LE_PASTE_KSIZE", c.value);
    le::Paste paste(mask, 64, {0.7f, 1.2f, 7});
    EXPECT_EQ(paste.ksize(), c.ksize) << c.value;
    ASSERT_EQ(paste.gaussian().size(), static_cast<size_t>(c.ksize));
    // The outer taps next to the centre weigh exp(-1 / (2 sigma^2)) relative to it.
    const size_t r = paste.gaussian().size() / 2;
    EXPECT_NEAR(paste.gaussian()[r - 1] / paste.gaussian()[r], std::exp(-1.0 / (2 * 1.2 * 1.2)), 1e-6) << c.value;
  }
}

}  // namespace
