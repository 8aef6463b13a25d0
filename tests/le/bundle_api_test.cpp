// le_bundle_resolve_*: what a host sees through the C entry points.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "support/fixtures.h"

extern "C" int le_test_header_from_c(void);

namespace {

TEST(CApi, ResolveHandleBufferSizesAndErrors) {
  EXPECT_EQ(le_test_header_from_c(), 21);  // the header works from C and reports the keypoint rows
  const std::string dir = lt::fixture("bundle_legacy");
  std::vector<char> out(dir.size() + 1, 'x');
  EXPECT_EQ(le_bundle_resolve_handle(dir.c_str(), out.data(), out.size()), 1);
  EXPECT_EQ(std::string(out.data()), dir);
  EXPECT_STREQ(le_last_error(), "");

  EXPECT_EQ(le_bundle_resolve_handle(dir.c_str(), out.data(), out.size() - 1), -1);
  EXPECT_STREQ(out.data(), "");
  std::string other = "unset";  // one last-error string per thread
  std::thread([&other] { other = le_last_error(); }).join();
  EXPECT_EQ(other, "");
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");

  // NULL or zero arguments fail without a text (and clear the old one).
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, out.data(), out.size()), -1);
  EXPECT_EQ(le_bundle_resolve_handle(dir.c_str(), nullptr, 4), -1);
  EXPECT_EQ(le_bundle_resolve_handle(dir.c_str(), out.data(), 0), -1);
  EXPECT_STREQ(le_last_error(), "");

  // A thrown error: a container that cannot be unwrapped.
  const std::string bad = lt::scratchDir() + "/bad.imx";
  lt::spit(bad, std::string("IMX\0\2\0\1\0\5\0", 10));
  char buf[512];
  EXPECT_EQ(le_bundle_resolve_handle(bad.c_str(), buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(std::string(le_last_error()), "le_bundle_resolve_handle: " + bad + ": truncated member name at 0");
}

TEST(CApi, ResolveMemberFindsEitherSpellingAndNeverTouchesLastError) {
  char path[1024];
  le_bundle_resolve_handle(nullptr, path, 0);  // clears
  const std::string canonical = lt::fixture("bundle_canonical");
  EXPECT_EQ(le_bundle_resolve_member(canonical.c_str(), "pooled64.f16", path, sizeof path), 1);
  EXPECT_EQ(std::string(path), canonical + "/pooled_features.f16");
  EXPECT_EQ(le_bundle_resolve_member((canonical + "/").c_str(), "fs_red.f16", path, sizeof path), 0);
  EXPECT_EQ(std::string(path), canonical + "/fs_red.f16");

  // Through a container: the member path lies in the unwrap directory.
  const std::string c = lt::scratchDir() + "/b.imx";
  lt::spit(c, lt::slurp(lt::fixture("bundle_legacy.imx")));
  lt::stderrOf([&] { EXPECT_EQ(le_bundle_resolve_member(c.c_str(), "drive/si.i32", path, sizeof path), 1); });
  EXPECT_EQ(std::string(path), c.substr(0, c.size() - 4) + ".lebundle/drive/si.i32");

  const size_t need = std::strlen(path) + 1;
  EXPECT_EQ(le_bundle_resolve_member(c.c_str(), "drive/si.i32", path, need - 1), -1);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(le_bundle_resolve_member(nullptr, "x", path, sizeof path), -1);
  EXPECT_EQ(le_bundle_resolve_member(c.c_str(), "x", path, 0), -1);
  EXPECT_STREQ(le_last_error(), "");
}

}  // namespace
