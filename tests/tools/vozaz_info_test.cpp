// vozaz info is what a user runs first on a bundle: it must show the
// manifest as the library read it and each member under the name on disk.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"

namespace {

std::string info(const std::string& bundle, int* status) {
  // One output file per test: ctest runs tests in parallel processes.
  const std::string out = std::string(LE_TEST_FIXTURES) + "/../vozaz_info." +
                          testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  *status = lt::run(std::string(LE_TEST_VOZAZ) + " info " + bundle + " >" + out + " 2>&1");
  return lt::slurp(out);
}

TEST(VozazInfo, DescribesCanonicalBundleAndContainer) {
  int status = 0;
  const std::string canon = info(lt::fixture("bundle_canonical"), &status);
  EXPECT_EQ(status, 0) << canon;
  for (const char* line :
       {"NT          4", "canvas      80x48 (W x H)", "paste space 160x96", "crop        16",
        "pooled64.f16           present as pooled_features.f16",
        "drive/si.i32           present as idle_loop/source_index.i32", "fs_red.f16             absent"})
    EXPECT_NE(canon.find(line), std::string::npos) << line << "\n" << canon;

  const std::string c = lt::scratchDir() + "/b.imx";
  lt::spit(c, lt::slurp(lt::fixture("bundle_legacy.imx")));
  const std::string packed = info(c, &status);
  EXPECT_EQ(status, 0) << packed;
  EXPECT_NE(packed.find("(unwrapped container)"), std::string::npos) << packed;
  EXPECT_NE(packed.find("mask_512.u8            present\n"), std::string::npos) << packed;
}

TEST(VozazInfo, ThreadCensusNamesEveryThreadOfAFrame) {
  lt::ScopedEnv two("LE_CORE_THREADS", "2");  // a pool and an intra-op thread even on one core
  int status = 0;
  const std::string out = info(lt::fixture("bundle_director") + " --threads", &status);
  EXPECT_EQ(status, 0) << out;
  for (const char* role : {"\n  cursor decode ", "\n  ort intra-op ", "\n  pool worker ", "\n  total "})
    EXPECT_NE(out.find(role), std::string::npos) << role << "\n" << out;
}

TEST(VozazInfo, RefusalIsOneSentenceAndExitStatusOne) {
  int status = 0;
  const std::string dir = lt::scratchDir();
  lt::spit(dir + "/manifest.json", R"({"format": "le-bundle-v1"})");
  EXPECT_EQ(info(dir, &status), "vozaz info: not an le-bundle-v0: " + dir + "\n");
  EXPECT_EQ(status, 1);
}

}  // namespace
