#include "bundle/imx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "bundle/paths.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace {

// Every regular file below dir, by relative name.
std::map<std::string, std::string> treeOf(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).generic_string()] = lt::slurp(e.path());
  return files;
}

// A hand-laid container for the malformed cases: payloads follow the table
// back to back, and any field can be bent.
struct RawImx {
  uint16_t version = 2;
  std::vector<std::pair<std::string, std::string>> members;
  uint64_t extra_size = 0;  // added to the last member's declared size

  std::string bytes() const {
    std::string out = std::string("IMX\0", 4);
    auto put = [&out](uint64_t v, int n) {
      for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    };
    put(version, 2);
    put(members.size(), 2);
    uint64_t at = 8;
    for (const auto& m : members) at += 2 + m.first.size() + 16;
    for (size_t i = 0; i < members.size(); ++i) {
      put(members[i].first.size(), 2);
      out += members[i].first;
      put(at, 8);
      put(members[i].second.size() + (i + 1 == members.size() ? extra_size : 0), 8);
      at += members[i].second.size();
    }
    for (const auto& m : members) out += m.second;
    return out;
  }
};

std::string expectedMarker(const std::string& c) {
  struct stat st;
  ::lstat(c.c_str(), &st);
  return "imx-unwrapped.v2 " + le::baseName(c) + " " + std::to_string(st.st_size) + " " +
         std::to_string(static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec) + " " +
         std::to_string(st.st_ino);
}

class Imx : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = lt::scratchDir();
    reference_ = treeOf(lt::fixture("bundle_legacy"));
  }
  // A copy of a forged container inside this test's scratch directory.
  std::string copyFixture(const std::string& fixture, const std::string& as) {
    const std::string path = dir_ + "/" + as;
    le::mkdirs(le::dirName(path));
    fs::copy_file(lt::fixture(fixture), path, fs::copy_options::overwrite_existing);
    return path;
  }
  // resolveBundlePath without its "[le] unwrapped" line in the test output.
  static std::string resolveQuietly(const std::string& path) {
    std::string d;
    lt::stderrOf([&] { d = le::resolveBundlePath(path); });
    return d;
  }
  std::string dir_;
  std::map<std::string, std::string> reference_;
};

TEST_F(Imx, ForgedContainersUnwrapByteExactAndAreReusedUntilTouched) {
  for (const char* fixture : {"bundle_legacy.imx", "bundle_scattered.imx"}) {
    const std::string c = copyFixture(fixture, "b.imx");
    ASSERT_TRUE(le::isImxV2File(c));
    const std::string d = dir_ + "/b.lebundle";
    EXPECT_EQ(lt::stderrOf([&] { EXPECT_EQ(le::resolveBundlePath(c), d); }), "[le] unwrapped " + c + " -> " + d + "\n");
    EXPECT_EQ(treeOf(d), reference_) << fixture;
    EXPECT_EQ(lt::slurp(d + ".imx_unwrapped"), expectedMarker(c));

    // Unchanged: reused silently, even a stray file inside stays.
    lt::spit(d + "/stray", "x");
    EXPECT_EQ(lt::stderrOf([&] {
                EXPECT_EQ(le::resolveBundlePath(c), d);
                EXPECT_EQ(le::resolveBundlePath(d), d);  // an unwrap directory checks its container too
              }),
              "");
    EXPECT_TRUE(le::pathExists(d + "/stray"));

    // A new modification time rebuilds from scratch.
    struct timespec times[2] = {{0, UTIME_NOW}, {12345, 678}};
    ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
    EXPECT_NE(lt::stderrOf([&] { EXPECT_EQ(le::resolveBundlePath(c), d); }), "");
    EXPECT_FALSE(le::pathExists(d + "/stray"));
    EXPECT_EQ(treeOf(d), reference_);
    EXPECT_EQ(lt::slurp(d + ".imx_unwrapped"), expectedMarker(c));
  }
}

TEST_F(Imx, VozazPackMatchesTheForgeByteForByte) {
  const std::string out = dir_ + "/packed.imx";
  ASSERT_EQ(lt::run(std::string(LE_TEST_VOZAZ) + " pack " + lt::fixture("bundle_legacy") + " " + out + " >/dev/null"),
            0);
  EXPECT_EQ(lt::slurp(out), lt::slurp(lt::fixture("bundle_legacy.imx")));
  EXPECT_FALSE(le::pathExists(out + ".part"));
  EXPECT_EQ(treeOf(resolveQuietly(out)), reference_);
}

TEST_F(Imx, WhereTheUnwrapDirectoryGoes) {
  const std::string a = copyFixture("bundle_legacy.imx", "a/b.imx");
  const std::pair<std::string, std::string> cases[] = {
      {a, dir_ + "/a/b.lebundle"},
      {dir_ + "/a/b", dir_ + "/a/b.lebundle"},  // finds its sibling container
      {copyFixture("bundle_legacy.imx", "l/b.lebundle.imx"), dir_ + "/l/b.lebundle"},
      {copyFixture("bundle_legacy.imx", "o/container.bin"), dir_ + "/o/container.bin.lebundle"},
      // A plain directory comes back exactly as given.
      {lt::fixture("bundle_legacy") + "/", lt::fixture("bundle_legacy") + "/"},
      {"", ""},
      {dir_ + "/nothing-here", dir_ + "/nothing-here"},
  };
  for (const auto& [path, dir] : cases) EXPECT_EQ(resolveQuietly(path), dir) << path;
  EXPECT_TRUE(le::pathExists(dir_ + "/a/b.lebundle.imx_unwrapped"));

  lt::ScopedEnv root("LE_IMX_UNWRAP_ROOT", (dir_ + "/root///").c_str());
  le::mkdirs(dir_ + "/root");
  EXPECT_EQ(resolveQuietly(a), dir_ + "/root/b.lebundle");
}

TEST_F(Imx, RefusalsLeaveNoMarkerAndTheNextGoodContainerUnwraps) {
  const std::string c = dir_ + "/x.imx";
  RawImx v1, ok, cut;
  v1.version = 1;
  ok.members = {{"member", "payload"}};
  cut.members = {{"manifest.json", R"({"_imx_synthetic_manifest": true})"}, {"sub/manifest.json", "kept"},
                 {"a/first", "complete"}, {"b/second", "cut short"}};
  cut.extra_size = 1;
  const std::string good = ok.bytes();
  std::vector<std::pair<std::string, std::string>> cases = {
      {v1.bytes(), c + ": unsupported IMX container version 1"},
      {std::string("IMY\0\2\0\0\0", 8), c + ": not an IMX\\0 container"},
      {"IMX", c + ": not an IMX\\0 container"},
      {good.substr(0, 9), c + ": truncated TOC at member 0"},                // inside the name length
      {good.substr(0, 13), c + ": truncated member name at 0"},              // inside the name
      {good.substr(0, 31), c + ": truncated TOC offsets at member member"},  // inside offset and size
  };
  for (const std::string& name : std::vector<std::string>{"../x", "/etc/x", "\\x", "", "a/../../b", "a..b", std::string("a\0b", 3)}) {
    RawImx raw;
    raw.members = {{"fine", "1"}, {name, "2"}};
    // A NUL inside the name ends the C string of the message there.
    cases.push_back({raw.bytes(), (c + ": refusing unsafe member name '" + name + "'").c_str()});
  }
  cases.push_back({cut.bytes(), c + ": truncated payload for member b/second"});  // last: its leftovers are checked
  for (const auto& [bytes, error] : cases) {
    lt::spit(c, bytes);
    EXPECT_EQ(lt::errorOf([&] { le::unwrapOnce(c); }), error);
    EXPECT_FALSE(le::pathExists(dir_ + "/x.lebundle.imx_unwrapped")) << error;
  }
  EXPECT_FALSE(le::pathExists(dir_ + "/x"));  // where "../x" would have escaped to
  EXPECT_FALSE(le::pathExists(dir_ + "/x.lebundle/b/second.part"));
  EXPECT_FALSE(le::pathExists(dir_ + "/x.lebundle/b/second"));
  EXPECT_EQ(lt::errorOf([&] { le::unwrapOnce(dir_ + "/missing.imx"); }),
            "cannot stat container " + dir_ + "/missing.imx");

  cut.extra_size = 0;  // whole now: unwrapped, the synthetic manifest left out
  lt::spit(c, cut.bytes());
  const std::string d = resolveQuietly(c);
  EXPECT_EQ(lt::slurp(d + "/b/second"), "cut short");
  EXPECT_FALSE(le::pathExists(d + "/manifest.json"));
  EXPECT_EQ(lt::slurp(d + "/sub/manifest.json"), "kept");
  EXPECT_EQ(lt::slurp(d + ".imx_unwrapped"), expectedMarker(c));
  // A version 1 file is no container at all to the resolver.
  lt::spit(c, v1.bytes());
  EXPECT_FALSE(le::isImxV2File(c));
  EXPECT_EQ(le::resolveBundlePath(c), c);
}

TEST_F(Imx, ConcurrentOpenersInThreadsUnwrapOnce) {
  const std::string c = copyFixture("bundle_legacy.imx", "c.imx");
  std::vector<std::string> got(4);
  const std::string log = lt::stderrOf([&] {
    std::vector<std::thread> threads;
    for (auto& g : got) threads.emplace_back([&g, &c] { g = le::resolveBundlePath(c); });
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(log, "[le] unwrapped " + c + " -> " + dir_ + "/c.lebundle\n");
  for (const auto& g : got) EXPECT_EQ(g, dir_ + "/c.lebundle");
  EXPECT_EQ(treeOf(got[0]), reference_);
}

TEST_F(Imx, RacingProcessesBothEndWithTheCompleteBundle) {
  // Big enough that the two unwraps overlap.
  RawImx raw;
  for (int i = 0; i < 8; ++i) raw.members.push_back({"m/" + std::to_string(i), std::string(1 << 20, char('a' + i))});
  const std::string c = dir_ + "/race.imx";
  lt::spit(c, raw.bytes());
  std::vector<pid_t> kids;
  for (int k = 0; k < 2; ++k) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 1;
      try {
        rc = le::resolveBundlePath(c) == dir_ + "/race.lebundle" ? 0 : 2;
      } catch (...) {
      }
      ::_exit(rc);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto tree = treeOf(dir_ + "/race.lebundle");
  ASSERT_EQ(tree.size(), raw.members.size());
  for (const auto& [name, payload] : raw.members) EXPECT_EQ(tree.at(name), payload) << name;
  EXPECT_EQ(lt::slurp(dir_ + "/race.lebundle.imx_unwrapped"), expectedMarker(c));
}

}  // namespace
