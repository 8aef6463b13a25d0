// The stored drive track: exact-size members under either name, index range.
#include "bundle/drive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "support/fixtures.h"

namespace {

std::string loadError(const std::string& dir) {
  return lt::errorOf([&] { le::loadDrive(le::loadManifest(dir)); });
}

TEST(Drive, ReadsRowsUnderLegacyAndCanonicalNames) {
  for (const auto& [name, xs, si] :
       {std::tuple{"driver_jpg", "drive/xs.f32", "drive/si.i32"},
        {"driver_canonical", "idle_loop/source_keypoints.f32", "idle_loop/source_index.i32"}}) {
    const le::Drive d = le::loadDrive(le::loadManifest(lt::fixture(name)));
    const std::string rawXs = lt::slurp(lt::fixture(name) + "/" + xs), rawSi = lt::slurp(lt::fixture(name) + "/" + si);
    ASSERT_EQ(d.xs.size() * 4, rawXs.size()) << name;
    ASSERT_EQ(d.si.size() * 4, rawSi.size()) << name;
    EXPECT_EQ(d.xd.size(), d.xs.size());
    EXPECT_EQ(d.n * 63u, d.xs.size());
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
  lt::editManifest(dir, "\"frames\": 4", "\"frames\": 0");  // zero frames need empty members
  for (const char* f : {"/drive/xs.f32", "/drive/xd.f32", "/drive/si.i32"}) lt::spit(dir + f, "");
  const le::Drive d = le::loadDrive(le::loadManifest(dir));
  EXPECT_TRUE(d.n == 0 && d.xs.empty() && d.xd.empty() && d.si.empty());
}

}  // namespace
