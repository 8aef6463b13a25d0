#include <gtest/gtest.h>
#include <unistd.h>

#include "bundle/paths.h"
#include "support/fixtures.h"

namespace {

struct PathCase {
  const char* in;
  const char* strip;
  const char* base;
  const char* dir;
};

TEST(Paths, StripBaseAndDirAgreeOnEdgeShapes) {
  const PathCase cases[] = {
      {"/a/b.imx", "/a/b.imx", "b.imx", "/a"}, {"/a/b/", "/a/b", "b", "/a"}, {"b", "b", "b", "."},
      {"/b", "/b", "b", "/"},                  {"/", "/", "", "/"},          {"//", "/", "", "/"},
      {"a//", "a", "a", "."},                  {"", "", "", "."},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(le::rstripSlash(c.in), c.strip) << c.in;
    EXPECT_EQ(le::baseName(c.in), c.base) << c.in;
    EXPECT_EQ(le::dirName(c.in), c.dir) << c.in;
  }
}

TEST(Paths, MkdirsCreatesParentsAndRmTreeNeverFollowsLinks) {
  const std::string root = lt::scratchDir();
  EXPECT_TRUE(le::mkdirs(root + "/x/y/z/"));
  EXPECT_TRUE(le::isDirectory(root + "/x/y/z"));
  EXPECT_TRUE(le::mkdirs(root + "/x/y"));
  EXPECT_TRUE(le::mkdirs(""));
  EXPECT_TRUE(le::mkdirs("."));
  lt::spit(root + "/file", "x");
  EXPECT_FALSE(le::mkdirs(root + "/file"));
  EXPECT_FALSE(le::mkdirs(root + "/file/sub"));

  le::mkdirs(root + "/keep");
  lt::spit(root + "/keep/precious", "do not delete");
  le::mkdirs(root + "/doomed/deep/er");
  lt::spit(root + "/doomed/deep/er/f", "x");
  lt::spit(root + "/doomed/.hidden", "x");
  ASSERT_EQ(::symlink((root + "/keep").c_str(), (root + "/doomed/link").c_str()), 0);
  le::rmTree(root + "/doomed");
  EXPECT_FALSE(le::pathExists(root + "/doomed"));
  EXPECT_EQ(lt::slurp(root + "/keep/precious"), "do not delete");
  le::rmTree(root + "/never-existed");  // no error
}

}  // namespace
