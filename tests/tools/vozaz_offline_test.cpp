// vozaz render: WAV, MP3 and 44.1 kHz stereo input become MP4s whose audio
// and video last equally long, each frame over its own input samples (after
// any skipped frames); bad input is one sentence, exit 1 and no file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "audio/a2x_support.h"
#include "support/fixtures.h"

namespace {

TEST(VozazOffline, AudioFilesBecomeMp4sInLipSyncOrOneSentence) {
  const std::string dir = lt::scratchDir(), log = dir + "/log", bad = dir + "/o.mp4";
  const struct {
    std::string input, flags, out;
    int skip;             // -1: a refusal, whose sentence is `outcome`
    std::string outcome;  // else the video and audio streams ffprobe finds
  } cases[] = {
      {at::speechFile(dir, "in.wav"), "", dir + "/a.mp4", 0, "h264,5.080000,127\naac,5.080000\n"},
      {at::speechFile(dir, "in.mp3"), "", dir + "/b.mp4", 0, "h264,5.080000,127\naac,5.080000\n"},
      {at::speechFile(dir, "in44.wav", "-ar 44100 -ac 2"), "--skip 25 --gain 0.5", dir + "/c.mp4", 25,
       "h264,4.080000,102\naac,4.080000\n"},
      {dir + "/missing.wav", "", bad, -1,
       "vozaz render: cannot open audio file " + dir + "/missing.wav (No such file or directory)\n"},
      {dir + "/in.wav", "", "/nonexistent/o.mp4", -1,
       "vozaz render: cannot write the output file /nonexistent/o.mp4\n"},
  };
  const std::string probe = "ffprobe -v error -of csv=p=0 -show_entries stream=codec_name,duration";
  for (const auto& c : cases) {
    const int rc = lt::run("VELOMARK_ENGINE_QUIET=1 " LE_TEST_VOZAZ " render " + lt::fixture("bundle_director") + " " +
                           c.input + " " + c.flags + " --w2v " + lt::fixture("w2v/w2v8.onnx") + " --out " + c.out +
                           " --threads 2 > " + log + " 2>&1");
    if (c.skip < 0) {
      EXPECT_EQ(rc, 1) << c.input;
      EXPECT_NE(lt::slurp(log).find(c.outcome), std::string::npos) << lt::slurp(log);
      EXPECT_NE(lt::run("ls " + dir + " | grep -q '^o.mp4'"), 0) << c.input;  // nor o.mp4.part
      continue;
    }
    ASSERT_EQ(rc, 0) << lt::slurp(log);
    EXPECT_NE(lt::slurp(log).find(std::to_string(127 - c.skip) + " frames of 96x80 in "), std::string::npos);
    lt::run(probe + ",nb_read_frames -count_frames -select_streams v " + c.out + " > " + log + "; " + probe +
            " -select_streams a " + c.out + " >> " + log);
    EXPECT_EQ(lt::slurp(log), c.outcome) << c.input;
    // Frame r plays with input sample 640 (r + skip), to within a millisecond of AAC.
    const long want = -640L * c.skip, lag = at::bestLag(at::decodedAudio(c.out), at::speech("speech_b.f32"), want, 800);
    EXPECT_LE(std::labs(lag - want), 16) << c.input;
  }
}

}  // namespace
