// Identity members: exact-size mappings, the warp prior's three sources,
// paste-matrix rescaling and every refusal of a bundle without a prior.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bundle/identity.h"
#include "driver/cursor.h"
#include "driver/driver_support.h"
#include "support/fixtures.h"

namespace {

using ::testing::StartsWith;

std::string loadError(const std::string& dir) {
  try {
    le::Identity id(le::loadManifest(dir));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(loaded)";
}

TEST(Identity, MapsEveryMemberAtItsStride) {
  const std::string dir = lt::fixture("driver_jpg");
  le::Identity id(le::loadManifest(dir));
  EXPECT_EQ(id.NT, 6);
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  EXPECT_EQ(id.priorSeeks(), 0u);
  const std::string P = lt::slurp(dir + "/P.f16"), fs = lt::slurp(dir + "/fs_red.f16"), M = lt::slurp(dir + "/M.f32");
  const size_t pFrame = 32 * 32 * 6;
  EXPECT_EQ(std::memcmp(id.P(4), P.data() + 4 * pFrame, pFrame), 0);
  EXPECT_EQ(std::memcmp(id.fsRed(5), fs.data() + 5 * 524288, 524288), 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(id.pooled64(3)) - reinterpret_cast<const uint8_t*>(id.pooled64(0)),
            3 * 131072);
  EXPECT_EQ(std::memcmp(id.M(2), M.data() + 2 * 24, 24), 0);  // stamp equals the canvas: untouched
  id.walkP(3);                                                // nothing to walk
}

TEST(Identity, FsRedAloneHasNoPrior) {
  le::Identity id(le::loadManifest(lt::fixture("driver_fs_red_only")));
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.P(0), nullptr);
  EXPECT_NE(id.fsRed(0), nullptr);
}

TEST(Identity, PlaysAnHevcPriorThroughOneCursor) {
  const std::string dir = lt::fixture("driver_mp4");
  le::Identity id(le::loadManifest(dir));
  EXPECT_EQ(id.fsRed(0), nullptr);
  ::testing::internal::CaptureStderr();
  std::vector<le::DriverCursor*> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { seen[t] = id.prior(); });
  for (auto& t : threads) t.join();
  ::testing::internal::GetCapturedStderr();
  for (auto* c : seen) EXPECT_EQ(c, seen[0]);  // opened once
  EXPECT_THAT(id.priorBackend(), StartsWith("hevc444/libavcodec "));

  auto direct = le::driver::openPriorHevc(dir + "/P_hevc.mov", 8, 32);
  std::vector<uint8_t> frame(direct->frameBytes());
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(direct->next(frame.data()));
    id.walkP(i);
    ASSERT_EQ(std::memcmp(id.P(i), frame.data(), frame.size()), 0) << "frame " << i;
  }
  EXPECT_EQ(id.priorSeeks(), 0u);  // in order: no seek, the P after walkP is a history hit
  EXPECT_EQ(id.priorResidentBytes(), id.prior()->residentBytes());
  EXPECT_GE(id.priorResidentBytes(), 14u * 32 * 32 * 6);
}

TEST(Identity, CanonicalMembersAndRescaledPasteMatrices) {
  const std::string dir = lt::fixture("driver_canonical");  // M authored on 128x96, canvas 64x48
  le::Identity id(le::loadManifest(dir));
  const std::string raw = lt::slurp(dir + "/paste_transform.f32");
  for (int f = 0; f < 5; ++f)
    for (int k = 0; k < 6; ++k) {
      float m;
      std::memcpy(&m, raw.data() + (f * 6 + k) * 4, 4);
      EXPECT_EQ(id.M(f)[k], static_cast<float>(m * 0.5)) << f << "," << k;
    }
  ::testing::internal::CaptureStderr();
  EXPECT_NE(id.P(2), nullptr);  // played from source_frames.hevc
  ::testing::internal::GetCapturedStderr();

  le::Manifest m = le::loadManifest(lt::fixture("driver_jpg"));
  m.W = 1280, m.H = 720, m.M_src_w = 1920, m.M_src_h = 1080;
  le::Identity scaled(m);
  const std::string legacy = lt::slurp(lt::fixture("driver_jpg/M.f32"));
  float m0, m4;
  std::memcpy(&m0, legacy.data() + 24, 4);
  std::memcpy(&m4, legacy.data() + 24 + 16, 4);
  EXPECT_FLOAT_EQ(scaled.M(1)[0], m0 * 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(scaled.M(1)[4], m4 * 2.0f / 3.0f);
  m.M_src_w = 0;
  EXPECT_THAT([&] { le::Identity bad(m); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M "
                  "without knowing the space it was authored in"));
}

TEST(Identity, RefusesMembersOfTheWrongSize) {
  std::string dir = lt::copyFixture("driver_jpg");
  std::string pooled = lt::slurp(dir + "/pooled64.f16");
  lt::spit(dir + "/pooled64.f16", pooled.substr(1));
  EXPECT_EQ(loadError(dir), "size mismatch " + dir + "/pooled64.f16");
  lt::spit(dir + "/pooled64.f16", pooled);
  lt::spit(dir + "/P.f16", lt::slurp(dir + "/P.f16") + "xx");
  EXPECT_EQ(loadError(dir), "size mismatch " + dir + "/P.f16");
  std::remove((dir + "/P.f16").c_str());
  lt::spit(dir + "/M.f32", lt::slurp(dir + "/M.f32").substr(4));
  EXPECT_EQ(loadError(dir), "size mismatch " + dir + "/M.f32");
  std::remove((dir + "/M.f32").c_str());
  EXPECT_EQ(loadError(dir), "cannot open " + dir + "/M.f32");
  std::remove((dir + "/pooled64.f16").c_str());
  EXPECT_EQ(loadError(dir), "cannot open " + dir + "/pooled64.f16");
}

TEST(Identity, RefusesBundlesWithoutAWarpPrior) {
  const std::string dir = lt::copyFixture("driver_fs_red_only");
  std::remove((dir + "/fs_red.f16").c_str());
  EXPECT_EQ(loadError(dir),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from — the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to create "
            "a session.");
  lt::addManifestKeys(dir, "\"P_rgb\": \"P_rgb.f16\", ");
  lt::spit(dir + "/P_rgb.f16", "");
  EXPECT_EQ(loadError(dir),
            "this bundle's manifest names its raw warp prior 'P_rgb.f16' (P_rgb) but le::Identity maps the welded "
            "name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from "
            "a null pointer. REFUSING rather than rendering off a prior nothing will read.");
  std::remove((dir + "/P_rgb.f16").c_str());
  EXPECT_THAT(loadError(dir), StartsWith("this bundle carries neither P_rgb.f16 nor fs_red.f16,"));
  lt::addManifestKeys(dir, "\"P_hevc\": \"gone.mov\", ");
  EXPECT_EQ(loadError(dir), "this bundle's manifest names P_hevc 'gone.mov' and the file is not there (" + dir +
                                "/gone.mov) — the renderer has no warp prior. REFUSING to create a session.");
}

TEST(Identity, PriorFailuresSurfaceFromTheFirstPull) {
  le::Identity id(le::loadManifest(lt::fixture("prior_420")));
  ::testing::internal::CaptureStderr();
  EXPECT_THAT([&] { id.P(0); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(
                                    "not the yuv444p a warp prior is authored in")));
  ::testing::internal::GetCapturedStderr();
}

TEST(Identity, HalfToFloatWidensExactly) {
  const uint16_t h[] = {0x0000, 0x8000, 0x3C00, 0xC000, 0x7BFF, 0x0001, 0x3555, 0x7C00};
  float f[8];
  le::halfToFloat(h, f, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(static_cast<double>(f[i]), lt::halfValue(h[i])) << i;
  EXPECT_TRUE(std::signbit(f[1]));
}

}  // namespace
