// vozaz tried as a new user would: info shows the manifest as the library read
// it, frame and drive write what they say as ffprobe reads it back, and bad
// input is one sentence on standard error, a non-zero exit and no file written.
#include <gtest/gtest.h>

#include <string>

#include "bundle/paths.h"
#include "support/fixtures.h"

namespace {

const std::string kVozaz = LE_TEST_VOZAZ;

// Standard output and error of `vozaz args`; its exit status in *status.
std::string vozaz(const std::string& args, int* status) {
  const std::string out = lt::scratchDir() + "/vozaz.out";
  *status = lt::run(kVozaz + " " + args + " >" + out + " 2>&1");
  return lt::slurp(out);
}

// ffprobe's `entries` of the first video stream, joined by 'x'.
std::string probe(const std::string& path, const std::string& entries) {
  std::string s = lt::capture("ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=" + entries +
                              " -of csv=p=0:s=x " + path);
  while (!s.empty() && (s.back() == '\n' || s.back() == 'x')) s.pop_back();
  return s;
}

TEST(VozazCli, BadInputIsOneSentenceAndANonZeroExit) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  le::mkdirs(dir + "/empty");
  lt::spit(dir + "/short.f32", std::string(251, '\0'));
  le::mkdirs(dir + "/v1");
  lt::spit(dir + "/v1/manifest.json", R"({"format": "le-bundle-v1"})");
  const std::string out = dir + "/out.png";
  const std::string usage =
      "      a web page on which the avatar talks live, from a microphone or an audio file, one utterance session per "
      "browser connection; --w2v names the speech encoder (default: $W2V_ONNX)";
  const struct {
    std::string args;
    int status;
    std::string lastLine;  // what the user reads last
  } cases[] = {
      {"", 2, usage},
      {"bogus", 2, usage},
      {"speak a b c --out x.mp4 --voice x", 1, "vozaz speak: unknown option --voice; --help lists this command's options"},
      {"drive " + bundle + " --out " + out + " --frames", 1, "vozaz drive: --frames needs a value"},
      {"info", 2, "usage: vozaz info <bundle> [--threads]"},
      {"serve " + bundle + " " + dir + " --port 70000", 1,
       "vozaz serve: --port takes 0 to 65535 (0: any free port), not 70000"},
      {"serve " + bundle + " " + dir + " --max-sessions 0", 1, "vozaz serve: --max-sessions takes 1 or more, not 0"},
      {"info " + dir + "/v1", 1, "vozaz info: not an le-bundle-v0: " + dir + "/v1"},
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
    int status = 0;
    std::string text = vozaz(c.args, &status);
    EXPECT_EQ(status, c.status) << c.args;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_EQ(text.substr(text.rfind('\n') + 1), c.lastLine) << c.args;
  }
  EXPECT_FALSE(le::pathExists(out));
  EXPECT_FALSE(le::pathExists(dir + "/e.imx"));
}

TEST(VozazCli, HelpOnEveryCommandPrintsItsUsageAndSucceeds) {
  for (const char* command : {"pack", "info", "frame", "drive", "speak", "serve"}) {
    int status = -1;
    const std::string text = vozaz(std::string(command) + " --help", &status);
    EXPECT_EQ(status, 0) << command;
    EXPECT_EQ(text.rfind(std::string("usage: vozaz ") + command + " ", 0), 0u) << text;
  }
  int status = -1;
  vozaz("--help", &status);
  EXPECT_EQ(status, 0);
}

TEST(VozazInfo, DescribesCanonicalBundleContainerAndThreads) {
  int status = 0;
  const std::string canon = vozaz("info " + lt::fixture("bundle_canonical"), &status);
  EXPECT_EQ(status, 0) << canon;
  for (const char* line :
       {"NT          4", "canvas      80x48 (W x H)", "paste space 160x96", "crop        16",
        "pooled64.f16           present as pooled_features.f16",
        "drive/si.i32           present as idle_loop/source_index.i32", "fs_red.f16             absent"})
    EXPECT_NE(canon.find(line), std::string::npos) << line << "\n" << canon;

  const std::string c = lt::scratchDir() + "/b.imx";
  lt::spit(c, lt::slurp(lt::fixture("bundle_legacy.imx")));
  const std::string packed = vozaz("info " + c, &status);
  EXPECT_EQ(status, 0) << packed;
  EXPECT_NE(packed.find("(unwrapped container)"), std::string::npos) << packed;
  EXPECT_NE(packed.find("mask_512.u8            present\n"), std::string::npos) << packed;

  // The thread census names every thread of a frame.
  lt::ScopedEnv two("LE_CORE_THREADS", "2");  // a pool and an intra-op thread even on one core
  const std::string out = vozaz("info " + lt::fixture("bundle_director") + " --threads", &status);
  EXPECT_EQ(status, 0) << out;
  for (const char* role : {"\n  cursor decode ", "\n  ort intra-op ", "\n  pool worker ", "\n  total "})
    EXPECT_NE(out.find(role), std::string::npos) << role << "\n" << out;
}

TEST(VozazRender, FrameWritesCanvasOrCropSizedImages) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  const struct {
    std::string args, file, entries, want;
  } cases[] = {
      {"--si 1 --drive 3", "f.png", "width,height", "96x80"},
      {"--drive 3 --crop-only", "c.png", "width,height", "64x64"},
      {"--si 2 --drive 0 --rgba", "a.png", "pix_fmt", "rgba"},
  };
  for (const auto& c : cases) {
    int status = 0;
    const std::string log = vozaz("frame " + bundle + " " + c.args + " --out " + dir + "/" + c.file, &status);
    ASSERT_EQ(status, 0) << log;
    EXPECT_EQ(probe(dir + "/" + c.file, c.entries), c.want) << c.args;
  }
}

TEST(VozazRender, DriveWritesAVideoOfTheRequestedFrames) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  int status = 0;
  const std::string log = vozaz("drive " + bundle + " --frames 5 --threads 1 --out " + dir + "/d.mp4", &status);
  ASSERT_EQ(status, 0) << log;
  EXPECT_EQ(probe(dir + "/d.mp4", "width,height,nb_read_frames"), "96x80x5");
  EXPECT_NE(log.find("5 frames of 96x80"), std::string::npos) << log;
  EXPECT_FALSE(le::pathExists(dir + "/d.mp4.part"));

  ASSERT_EQ((vozaz("drive " + bundle + " --frames 2 --out " + dir + "/png", &status), status), 0);
  EXPECT_TRUE(le::pathExists(dir + "/png/frame_000001.png"));
  EXPECT_FALSE(le::pathExists(dir + "/png/frame_000002.png"));
}

}  // namespace
