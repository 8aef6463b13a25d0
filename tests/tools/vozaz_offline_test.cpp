// vozaz render: WAV, MP3 and 44.1 kHz stereo input become MP4s whose audio
// and video last equally long, with the input sample under each frame that
// frame's own (after any skipped frames); bad input is one sentence, a
// non-zero exit and no file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "audio/a2x_support.h"
#include "support/fixtures.h"
#include "tools/media_support.h"

namespace {

const std::string kVozaz = LE_TEST_VOZAZ;

std::string render(const std::string& args, const std::string& log) {
  return std::to_string(lt::run("VELOMARK_ENGINE_QUIET=1 " + kVozaz + " render " + lt::fixture("bundle_director") +
                                " " + args + " --w2v " + lt::fixture("w2v/w2v8.onnx") + " --threads 2 > " + log +
                                " 2>&1"));
}

// speech_b (5.08 s, 127 frames) as `name`, which names the format.
std::string input(const std::string& dir, const std::string& name, const std::string& flags = "") {
  EXPECT_EQ(lt::run("ffmpeg -nostdin -loglevel error -y -f f32le -ar 16000 -ac 1 -i " + lt::fixture("speech_b.f32") +
                    " " + flags + " " + dir + "/" + name),
            0);
  return dir + "/" + name;
}

TEST(VozazOffline, AnyAudioBecomesAnMp4OfEqualLengthsInLipSync) {
  const std::string dir = lt::scratchDir(), log = dir + "/log";
  const struct {
    std::string input, flags, streams;
    int skip;
  } cases[] = {
      {input(dir, "in.wav"), "", "h264,5.080000,127\naac,5.080000\n", 0},
      {input(dir, "in.mp3"), "", "h264,5.080000,127\naac,5.080000\n", 0},
      {input(dir, "in44.wav", "-ar 44100 -ac 2"), "--skip 25 --gain 0.5", "h264,4.080000,102\naac,4.080000\n", 25},
  };
  const std::vector<float> speech = at::speech("speech_b.f32");
  for (const auto& c : cases) {
    const std::string out = c.input + ".mp4";
    ASSERT_EQ(render(c.input + " " + c.flags + " --out " + out, log), "0") << lt::slurp(log);
    EXPECT_NE(lt::slurp(log).find(std::to_string(127 - c.skip) + " frames of 96x80 in "), std::string::npos);
    const std::string probe = "ffprobe -v error -of csv=p=0 -show_entries stream=codec_name,duration";
    lt::run(probe + ",nb_read_frames -count_frames -select_streams v " + out + " > " + log + "; " + probe +
            " -select_streams a " + out + " >> " + log);
    EXPECT_EQ(lt::slurp(log), c.streams) << c.input;
    // Frame r plays with input sample 640 (r + skip): the track holds the
    // input from there on, to within a millisecond of AAC.
    const long want = -640L * c.skip;
    EXPECT_LE(std::labs(lt::bestLag(lt::decodedAudio(out), speech, want, 800) - want), 16) << c.input;
  }
}

TEST(VozazOffline, BadInputIsOneSentenceAndLeavesNoFile) {
  const std::string dir = lt::scratchDir(), out = " --out " + dir + "/o.mp4";
  lt::spit(dir + "/noise.wav", "RIFF but not really");
  const struct {
    std::string args, sentence;
  } cases[] = {
      {dir + "/missing.wav" + out, "vozaz render: cannot open audio file " + dir + "/missing.wav\n"},
      {dir + "/noise.wav" + out, "vozaz render: cannot open audio file " + dir + "/noise.wav\n"},
      {input(dir, "in.wav") + " --out /nonexistent/dir/o.mp4",
       "vozaz render: cannot write the output file /nonexistent/dir/o.mp4\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(render(c.args, dir + "/log"), "1") << c.args;
    EXPECT_NE(lt::slurp(dir + "/log").find(c.sentence), std::string::npos) << lt::slurp(dir + "/log");
    EXPECT_NE(lt::run("ls " + dir + " | grep -q mp4"), 0) << c.args;
  }
}

}  // namespace
