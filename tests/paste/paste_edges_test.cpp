// The compositor's edge cases: identity, singular and off-frame transforms,
// zero masks, refusals, switches and the executor line.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "paste/paste.h"
#include "support/fixtures.h"

namespace {

const le::Unsharp kUnsharp{0.5f, 1.0f, 5};
const float kIdentity[6] = {1, 0, 0, 0, 1, 0};

std::vector<float> randomCrop(int side, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  std::vector<float> crop(3 * static_cast<size_t>(side) * side);
  for (float& v : crop) v = unit(rng);
  return crop;
}

std::vector<uint8_t> randomFrame(int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> frame(static_cast<size_t>(W) * H * 3);
  for (uint8_t& v : frame) v = static_cast<uint8_t>(rng());
  return frame;
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

TEST(PasteEdges, ZeroAmountKeepsScaledCropClamped) {
  const int side = 40;
  auto crop = randomCrop(side, 2);
  crop[0] = -0.3f;
  crop[5] = 1.7f;
  le::Paste paste(std::vector<uint8_t>(side * side, 255), side, {0.f, 1.5f, 7});
  paste.fillPlanes(crop.data(), 255.f);
  for (int c = 0; c < 3; ++c) paste.unsharpPlane(paste.plane(c));
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < side * side; ++i)
      ASSERT_EQ(paste.plane(c)[i], std::clamp(crop[c * side * side + i] * 255.f, 0.f, 255.f)) << c << " " << i;
}

TEST(PasteEdges, NothingChangesWithoutAReachableMask) {
  const int side = 48, W = 120, H = 90;
  const auto crop = randomCrop(side, 3);
  const auto original = randomFrame(W, H, 4);
  const float inside[6] = {1.1f, 0.2f, 30.f, -0.2f, 1.1f, 20.f};
  const float singular[6] = {1.f, 2.f, 30.f, 2.f, 4.f, 20.f};
  const float farRight[6] = {1.f, 0.f, 5000.f, 0.f, 1.f, 10.f};
  const float farAbove[6] = {1.f, 0.f, 10.f, 0.f, 1.f, -5000.f};
  for (const char* mode : {"0", "1", "2"}) {
    lt::ScopedEnv fast("LE_PASTE_FAST", mode);
    le::Paste zeroMask(std::vector<uint8_t>(side * side, 0), side, kUnsharp);
    le::Paste fullMask(std::vector<uint8_t>(side * side, 255), side, kUnsharp);
    auto frame = original;
    zeroMask.composite(crop.data(), 255.f, inside, frame.data(), W, H);
    EXPECT_EQ(frame, original) << "zero mask, mode " << mode;
    for (const float* M : {singular, farRight, farAbove}) {
      fullMask.composite(crop.data(), 255.f, M, frame.data(), W, H);
      EXPECT_EQ(frame, original) << "mode " << mode;
    }
    fullMask.composite(crop.data(), 255.f, inside, frame.data(), W, H);
    EXPECT_NE(frame, original) << "mode " << mode;
  }
}

TEST(PasteEdges, MaskZeroRegionKeepsBytesExactly) {
  // Left half of the mask is 0: pixels mapping there (all four samples 0)
  // keep their bytes; the right half is pasted.
  const int side = 64, W = 64, H = 64;
  std::vector<uint8_t> mask(side * side, 0);
  for (int y = 0; y < side; ++y)
    for (int x = side / 2; x < side; ++x) mask[y * side + x] = 200;
  le::Paste paste(std::move(mask), side, kUnsharp);
  const auto crop = randomCrop(side, 5);
  const auto original = randomFrame(W, H, 6);
  auto frame = original;
  const float shifted[6] = {1.f, 0.f, 0.4f, 0.f, 1.f, 0.3f};
  paste.composite(crop.data(), 255.f, shifted, frame.data(), W, H);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < side / 2 - 1; ++x)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(frame[(y * W + x) * 3 + c], original[(y * W + x) * 3 + c]);
  }
  EXPECT_NE(frame, original);
}

TEST(PasteEdges, RefusalsNameTheCause) {
  EXPECT_EQ(refusal([] { le::Paste(std::vector<uint8_t>(15), 4, kUnsharp); }), "paste: mask size");
  EXPECT_EQ(refusal([] { le::Paste(std::vector<uint8_t>(16), 4, {0.5f, 1.f, 4}); }), "paste: ksize must be odd");

  const int side = 1025, W = 40, H = 30;
  le::Paste big(std::vector<uint8_t>(side * side, 255), side, {0.5f, 1.f, 3});
  const std::vector<float> crop(3 * static_cast<size_t>(side) * side, 0.5f);
  const auto original = randomFrame(W, H, 7);
  auto frame = original;
  EXPECT_EQ(refusal([&] { big.composite(crop.data(), 255.f, kIdentity, frame.data(), W, H); }),
            "paste: side > 1024");
  EXPECT_EQ(frame, original);
}

TEST(PasteEdges, GpuHookDeclines) {
  le::Paste paste(std::vector<uint8_t>(16, 255), 4, kUnsharp);
  const std::vector<float> crop(48, 0.5f);
  std::vector<uint8_t> src(8 * 8 * 3, 1), dst(8 * 8 * 4, 2);
  EXPECT_FALSE(paste.compositeGpuRgba(crop.data(), 255.f, kIdentity, src.data(), 8, 8, dst.data(), 32));
  EXPECT_EQ(dst, std::vector<uint8_t>(8 * 8 * 4, 2));
}

TEST(PasteSwitches, FastModeFallsBackToLanczosOutsideRange) {
  const std::vector<uint8_t> mask(16, 255);
  const struct {
    const char* value;
    int mode;
  } cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"7", 0}, {"-1", 0}, {"", 0}, {"bilinear", 0}};
  for (const auto& c : cases) {
    lt::ScopedEnv fast("LE_PASTE_FAST", c.value);
    EXPECT_EQ(le::Paste(mask, 4, kUnsharp).mode(), c.mode) << "'" << c.value << "'";
  }
}

TEST(PasteSwitches, KsizeOverrideOnlyShrinksToOddSizes) {
  const std::vector<uint8_t> mask(64 * 64, 255);
  const le::Unsharp bundle{0.7f, 1.2f, 7};
  const struct {
    const char* value;
    int ksize;
  } cases[] = {{"3", 3}, {"5", 5}, {"7", 7}, {"4", 7}, {"9", 7}, {"1", 7}, {"x", 7}};
  for (const auto& c : cases) {
    lt::ScopedEnv k("LE_PASTE_KSIZE", c.value);
    le::Paste paste(mask, 64, bundle);
    EXPECT_EQ(paste.ksize(), c.ksize) << c.value;
    ASSERT_EQ(paste.gaussian().size(), static_cast<size_t>(c.ksize));
  }
  // The smaller kernel keeps the bundle's sigma: for 3 taps the outer ones
  // weigh exp(-1 / (2 sigma^2)) relative to the centre.
  lt::ScopedEnv k("LE_PASTE_KSIZE", "3");
  le::Paste paste(mask, 64, bundle);
  EXPECT_NEAR(paste.gaussian()[0] / paste.gaussian()[1], std::exp(-1.0 / (2 * 1.2 * 1.2)), 1e-6);
}

TEST(PasteTables, PhaseZeroIsExactAndEveryPhaseSumsToOne) {
  le::Paste paste(std::vector<uint8_t>(16, 255), 4, kUnsharp);
  const auto& t = paste.taps();
  EXPECT_EQ(std::vector<float>(t.lanczos[0], t.lanczos[0] + 8), (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 0}));
  for (int i = 0; i < le::kPastePhases; ++i) {
    double l = 0, c = 0;
    for (float w : t.lanczos[i]) l += w;
    for (float w : t.cubic[i]) c += w;
    EXPECT_NEAR(l, 1.0, 1e-6) << i;
    EXPECT_NEAR(c, 1.0, 1e-6) << i;
    EXPECT_NEAR(t.bilinear[i][0] + t.bilinear[i][1], 1.0, 1e-7) << i;
  }
}

void compositeThriceAndExit() {
  le::Paste paste(std::vector<uint8_t>(64, 255), 8, {0.5f, 1.f, 3});
  const std::vector<float> crop(3 * 64, 0.5f);
  std::vector<uint8_t> frame(20 * 20 * 3, 0);
  const float singular[6] = {0, 0, 0, 0, 0, 0};
  paste.composite(crop.data(), 255.f, singular, frame.data(), 20, 20);
  for (int i = 0; i < 2; ++i) paste.composite(crop.data(), 255.f, kIdentity, frame.data(), 20, 20);
  std::exit(0);
}

// The executor line is printed once per process, by the first composite that
// gets past the transform checks; a re-executed child has a fresh process.
TEST(PasteExecutorLine, PrintedOnceByFirstComposite) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(compositeThriceAndExit(), ::testing::ExitedWithCode(0),
              "^\\[le-paste\\] executor=cpu \\(side=8, ksize=3, threads=[0-9]+\\) \xE2\x80\x94 1080p frame\n$");
}

}  // namespace
