// Identity and drive members: the warp prior's sources, paste-matrix
// rescaling, drive rows under either name, and every refusal of members that
// disagree with the manifest or of a bundle without a prior. The members'
// strides show in the render and frame tests, which read them independently.
#include "bundle/identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <thread>

#include "bundle/drive.h"
#include "driver/cursor.h"
#include "support/fixtures.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string identityError(const std::string& dir) {
  return lt::errorOf([&] { le::Identity id(le::loadManifest(dir), le::openPriorStream); });
}

TEST(Identity, ChoosesThePriorSource) {
  const struct {
    const char* fixture;
    std::string backend;
    bool hasP, hasFs;
  } cases[] = {{"driver_jpg", "mmap P.f16", true, true},
               {"driver_fs_red_only", "none", false, true},
               {"driver_canonical", "hevc444/libavcodec ", true, false}};  // source_frames.hevc
  for (const auto& c : cases) {
    le::Identity id(le::loadManifest(lt::fixture(c.fixture)), le::openPriorStream);
    lt::stderrOf([&] { EXPECT_EQ(id.P(2) != nullptr, c.hasP) << c.fixture; });
    EXPECT_THAT(id.priorBackend(), StartsWith(c.backend)) << c.fixture;
    EXPECT_EQ(id.fsRed(0) != nullptr, c.hasFs) << c.fixture;
  }
}

TEST(Identity, PlaysAnHevcPriorThroughOneCursor) {
  const std::string dir = lt::fixture("driver_mp4");
  le::Identity id(le::loadManifest(dir), le::openPriorStream);
  std::vector<le::PriorStream*> seen(4);
  lt::stderrOf([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { seen[t] = id.prior(); });
    for (auto& t : threads) t.join();
  });
  for (auto* c : seen) EXPECT_EQ(c, seen[0]);  // opened once
  auto direct = le::driver::openPriorHevc(dir + "/P_hevc.mov", 8, 32);
  std::vector<uint8_t> frame(direct->frameBytes());
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(direct->next(frame.data()));
    id.walkP(i);
    ASSERT_EQ(std::memcmp(id.P(i), frame.data(), frame.size()), 0) << "frame " << i;
  }
  EXPECT_EQ(id.priorSeeks(), 0u);  // in order: no seek, the P after walkP is a history hit
  EXPECT_EQ(id.priorResidentBytes(), id.prior()->residentBytes());
}

TEST(Identity, RescalesPasteMatricesToTheCanvas) {
  const std::string dir = lt::fixture("driver_canonical");  // M authored on 128x96, canvas 64x48
  le::Identity id(le::loadManifest(dir), le::openPriorStream);
  const std::vector<float> raw = lt::arrayOf(dir + "/paste_transform.f32");
  for (int k = 0; k < 5 * 6; ++k) EXPECT_EQ(id.M(k / 6)[k % 6], static_cast<float>(raw[k] * 0.5)) << k;

  le::Manifest m = le::loadManifest(lt::fixture("driver_jpg"));
  m.W = 1280, m.H = 720, m.M_src_w = 1920, m.M_src_h = 1080;
  const std::vector<float> legacy = lt::arrayOf(lt::fixture("driver_jpg/M.f32"));
  le::Identity scaled(m, le::openPriorStream);
  EXPECT_FLOAT_EQ(scaled.M(1)[0], legacy[6] * 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(scaled.M(1)[4], legacy[10] * 2.0f / 3.0f);
  m.M_src_w = 0;
  EXPECT_EQ(lt::errorOf([&] { le::Identity bad(m, le::openPriorStream); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
            "knowing the space it was authored in");
}

TEST(Drive, ReadsRowsUnderLegacyAndCanonicalNames) {
  for (const auto& [name, xs, si] :
       {std::tuple{"driver_jpg", "drive/xs.f32", "drive/si.i32"},
        {"driver_canonical", "idle_loop/source_keypoints.f32", "idle_loop/source_index.i32"}}) {
    const le::Drive d = le::loadDrive(le::loadManifest(lt::fixture(name)));
    EXPECT_EQ(d.xs, lt::arrayOf(lt::fixture(name) + "/" + xs)) << name;
    EXPECT_EQ(d.si, lt::arrayOf<int32_t>(lt::fixture(name) + "/" + si)) << name;
    EXPECT_EQ(d.xd.size(), d.xs.size());
    EXPECT_EQ(d.n * 63u, d.xs.size());
  }
}

TEST(Identity, RefusesMembersThatDisagreeWithTheManifest) {
  const std::string dir = lt::copyFixture("driver_jpg");  // NT 6, 4 drive frames
  const auto driveError = [&] {
    return lt::errorOf([&] {
      const le::Manifest m = le::loadManifest(dir);
      le::Identity id(m, le::openPriorStream);
      le::loadDrive(m);
    });
  };
  const auto siWith = [si = lt::slurp(dir + "/drive/si.i32")](int32_t third) {
    std::string edited = si;
    std::memcpy(edited.data() + 8, &third, 4);
    return edited;
  };
  const std::string pooled = lt::slurp(dir + "/pooled64.f16"), si = lt::slurp(dir + "/drive/si.i32");
  const struct {
    const char* member;
    std::string bytes, want;  // bytes "-" removes the member; each step keeps the last one's edits
  } steps[] = {
      {"/pooled64.f16", pooled.substr(1), "size mismatch " + dir + "/pooled64.f16"},
      {"/pooled64.f16", pooled, "(no error)"},
      {"/P.f16", lt::slurp(dir + "/P.f16") + "xx", "size mismatch " + dir + "/P.f16"},
      {"/P.f16", "-", "(no error)"},
      {"/drive/si.i32", siWith(6), "drive: si out of range"},
      {"/drive/si.i32", siWith(-1), "drive: si out of range"},
      {"/drive/si.i32", si, "(no error)"},
      {"/drive/xd.f32", lt::slurp(dir + "/drive/xd.f32") + std::string(4, '\0'), "size mismatch " + dir + "/drive/xd.f32"},
      {"/drive/xs.f32", "-", "cannot open " + dir + "/drive/xs.f32"},
      {"/M.f32", lt::slurp(dir + "/M.f32").substr(4), "size mismatch " + dir + "/M.f32"},
      {"/M.f32", "-", "cannot open " + dir + "/M.f32"},
      {"/pooled64.f16", "-", "cannot open " + dir + "/pooled64.f16"},
  };
  for (const auto& s : steps) {
    if (s.bytes == "-") {
      std::remove((dir + s.member).c_str());
    } else {
      lt::spit(dir + s.member, s.bytes);
    }
    EXPECT_EQ(driveError(), s.want) << s.member;
  }
  lt::editManifest(dir, "\"frames\": 4", "\"frames\": 0");  // zero drive frames need empty members
  for (const char* f : {"/drive/xs.f32", "/drive/xd.f32", "/drive/si.i32"}) lt::spit(dir + f, "");
  const le::Drive d = le::loadDrive(le::loadManifest(dir));
  EXPECT_TRUE(d.n == 0 && d.xs.empty() && d.xd.empty() && d.si.empty());
}

TEST(Identity, RefusesBundlesWithoutAWarpPrior) {
  const std::string dir = lt::copyFixture("driver_fs_red_only");
  std::remove((dir + "/fs_red.f16").c_str());
  EXPECT_EQ(identityError(dir),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from — the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to create "
            "a session.");
  lt::editManifest(dir, "{", "{\"P_rgb\": \"P_rgb.f16\", ");
  lt::spit(dir + "/P_rgb.f16", "");
  EXPECT_EQ(identityError(dir),
            "this bundle's manifest names its raw warp prior 'P_rgb.f16' (P_rgb) but le::Identity maps the welded "
            "name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from "
            "a null pointer. REFUSING rather than rendering off a prior nothing will read.");
  std::remove((dir + "/P_rgb.f16").c_str());
  EXPECT_THAT(identityError(dir), StartsWith("this bundle carries neither P_rgb.f16 nor fs_red.f16,"));
  lt::editManifest(dir, "{", "{\"P_hevc\": \"gone.mov\", ");
  EXPECT_EQ(identityError(dir), "this bundle's manifest names P_hevc 'gone.mov' and the file is not there (" + dir +
                                "/gone.mov) — the renderer has no warp prior. REFUSING to create a session.");
  // a prior that fails to decode surfaces from the first pull
  le::Identity id(le::loadManifest(lt::fixture("prior_420")), le::openPriorStream);
  lt::stderrOf(
      [&] { EXPECT_THAT(lt::errorOf([&] { id.P(0); }), HasSubstr("not the yuv444p a warp prior is authored in")); });
}

}  // namespace
