// The stored drive track: exact-size members under either name, index range.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "bundle/drive.h"
#include "driver/driver_support.h"
#include "support/fixtures.h"

namespace {

std::string loadError(const std::string& dir) {
  return lt::errorOf([&] { le::loadDrive(le::loadManifest(dir)); });
}

TEST(Drive, ReadsRowsUnderLegacyAndCanonicalNames) {
  for (const auto& [name, xs, si] :
       {std::tuple{"driver_jpg", "drive/xs.f32", "drive/si.i32"},
        std::tuple{"driver_canonical", "idle_loop/source_keypoints.f32", "idle_loop/source_index.i32"}}) {
    const std::string dir = lt::fixture(name);
    const le::Manifest m = le::loadManifest(dir);
    const le::Drive d = le::loadDrive(m);
    EXPECT_EQ(d.n, m.frames);
    ASSERT_EQ(d.xs.size(), static_cast<size_t>(m.frames) * 63);
    ASSERT_EQ(d.xd.size(), d.xs.size());
    ASSERT_EQ(d.si.size(), static_cast<size_t>(m.frames));
    const std::string rawXs = lt::slurp(dir + "/" + xs), rawSi = lt::slurp(dir + "/" + si);
    EXPECT_EQ(std::memcmp(d.xs.data(), rawXs.data(), rawXs.size()), 0) << name;
    EXPECT_EQ(std::memcmp(d.si.data(), rawSi.data(), rawSi.size()), 0) << name;
  }
}

TEST(Drive, RefusesIndicesAndSizesThatDisagree) {
  const std::string dir = lt::copyFixture("driver_jpg");  // NT 6, 4 drive frames
  const std::string si = lt::slurp(dir + "/drive/si.i32");
  for (const int32_t bad : {6, -1}) {
    std::string edited = si;
    std::memcpy(edited.data() + 8, &bad, 4);
    lt::spit(dir + "/drive/si.i32", edited);
    EXPECT_EQ(loadError(dir), "drive: si out of range") << bad;
  }
  lt::spit(dir + "/drive/si.i32", si);
  lt::spit(dir + "/drive/xd.f32", lt::slurp(dir + "/drive/xd.f32") + std::string(4, '\0'));
  EXPECT_EQ(loadError(dir), "size mismatch " + dir + "/drive/xd.f32");
  std::remove((dir + "/drive/xs.f32").c_str());
  EXPECT_EQ(loadError(dir), "cannot open " + dir + "/drive/xs.f32");
}

TEST(Drive, ZeroFramesNeedEmptyMembers) {
  const std::string dir = lt::copyFixture("driver_jpg");
  lt::editManifest(dir, "\"frames\": 4", "\"frames\": 0");
  EXPECT_EQ(loadError(dir), "size mismatch " + dir + "/drive/xs.f32");
  for (const char* f : {"/drive/xs.f32", "/drive/xd.f32", "/drive/si.i32"}) lt::spit(dir + f, "");
  const le::Drive d = le::loadDrive(le::loadManifest(dir));
  EXPECT_EQ(d.n, 0);
  EXPECT_TRUE(d.xs.empty() && d.xd.empty() && d.si.empty());
}

}  // namespace
