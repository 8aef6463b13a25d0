// vozaz tried as a new user would, with bad input: each refusal is one
// sentence on standard error, a non-zero exit and no file written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/fixtures.h"

namespace {

const std::string kLastUsageLine =
    "      speak an audio file through an utterance session into an MP4 with sound; --w2v names the speech encoder "
    "(default: $W2V_ONNX)";

TEST(VozazCli, BadInputIsOneSentenceAndANonZeroExit) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  std::filesystem::create_directories(dir + "/empty");
  lt::spit(dir + "/short.f32", std::string(251, '\0'));
  const std::string out = dir + "/out.png";
  const struct {
    std::string args;
    int status;
    std::string lastLine;  // what the user reads last
  } cases[] = {
      {"", 2, kLastUsageLine},
      {"bogus", 2, kLastUsageLine},
      {"speak a b c --out x.mp4 --voice x", 1, "vozaz speak: unknown option --voice; --help lists this command's options"},
      {"drive " + bundle + " --out " + out + " --frames", 1, "vozaz drive: --frames needs a value"},
      {"info", 2, "usage: vozaz info <bundle> [--threads]"},
      {"pack " + dir + "/empty " + dir + "/e.imx", 1,
       "vozaz pack: " + dir + "/empty has no manifest.json, so it is not a bundle; nothing was written"},
      {"frame " + bundle + " --si 99 --drive 0 --out " + out, 1,
       "vozaz frame: --si 99 is out of range: this bundle has 3 identity frames (0..2)"},
      {"frame " + bundle + " --drive 8 --out " + out, 1,
       "vozaz frame: --drive 8 is out of range: this bundle has 8 drive frames (0..7)"},
      {"frame " + bundle + " --si x --drive 0 --out " + out, 1, "vozaz frame: --si takes a whole number, not 'x'"},
      {"frame " + bundle + " --xs " + dir + "/short.f32 --xd " + dir + "/short.f32 --out " + out, 1,
       "vozaz frame: " + dir + "/short.f32 does not hold 63 little-endian floats"},
  };
  for (const auto& c : cases) {
    const std::string log = dir + "/log";
    EXPECT_EQ(lt::run(std::string(LE_TEST_VOZAZ) + " " + c.args + " >/dev/null 2>" + log), c.status) << c.args;
    std::string text = lt::slurp(log);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), c.lastLine) << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(dir + "/e.imx"));
}

TEST(VozazCli, HelpOnEveryCommandPrintsItsUsageAndSucceeds) {
  const std::string log = lt::scratchDir() + "/help";
  for (const char* command : {"pack", "info", "frame", "drive", "speak"}) {
    EXPECT_EQ(lt::run(std::string(LE_TEST_VOZAZ) + " " + command + " --help >" + log), 0) << command;
    EXPECT_EQ(lt::slurp(log).rfind(std::string("usage: vozaz ") + command + " ", 0), 0u) << lt::slurp(log);
  }
  EXPECT_EQ(lt::run(std::string(LE_TEST_VOZAZ) + " --help >" + log), 0);
}

}  // namespace
