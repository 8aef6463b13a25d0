// vozaz speak: an MP4 the ffmpeg command line reads back with as many video
// frames as the tool says and its input's audio placed under the first
// speech frame; bad input is one sentence, a non-zero exit and no file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "audio/a2x_support.h"
#include "bundle/paths.h"
#include "session/session_support.h"
#include "support/fixtures.h"

namespace {

// The forged speech as a 44.1 kHz stereo WAV, so the tool must resample.
std::string wavInput(const std::string& dir) { return at::speechFile(dir, "in.wav", "-ar 44100 -ac 2"); }

std::string speak(const std::string& args, const std::string& log, const std::string& motion = st::motionBundle()) {
  // As a new user runs it: the speech encoder by --w2v, nothing in the environment.
  const std::string cmd = "VELOMARK_ENGINE_QUIET=1 " LE_TEST_VOZAZ " speak " + st::directorBundle() + " " + motion +
                          " --w2v " + st::w2vPath() + " " + args;
  return std::to_string(lt::run(cmd + " > " + log + " 2>&1"));
}

TEST(VozazSpeak, WritesAVideoWithItsAudioInLipSyncAndAnInterruptCutsIt) {
  const std::string dir = lt::scratchDir(), log = dir + "/log", out = dir + "/s.mp4";
  ASSERT_EQ(speak(wavInput(dir) + " --out " + out, log), "0") << lt::slurp(log);
  const std::string text = lt::slurp(log);
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(text, m, std::regex(R"((\d+) frames \((\d+) speech, utterance frame 0 at frame (\d+)\))")))
      << text;
  const long frames = std::stol(m[1]), speech = std::stol(m[2]), onset = std::stol(m[3]);
  const std::vector<float> input = at::speech("speech_b.f32");
  EXPECT_EQ(speech, static_cast<long>((input.size() + 639) / 640));
  const std::string probe = "ffprobe -v error -of csv=p=0 -select_streams ";
  EXPECT_EQ(lt::capture(probe + "v:0 -count_frames -show_entries stream=codec_name,nb_read_frames " + out),
            "h264," + std::to_string(frames) + "\n");
  EXPECT_EQ(lt::capture(probe + "a:0 -show_entries stream=codec_name,sample_rate,channels " + out), "aac,16000,1\n");
  EXPECT_FALSE(le::pathExists(out + ".part"));
  // Utterance frame k plays with input sample 640 k: the input sits 640 x
  // onset samples into the track, to within a millisecond of AAC.
  const long want = 640 * onset, lag = at::bestLag(at::decodedAudio(out), input, want, 800);
  EXPECT_LE(std::labs(lag - want), 16) << "audio placed at sample " << lag << ", first speech frame at " << want;

  // An interrupt cuts the speech and its sound.
  ASSERT_EQ(speak(wavInput(dir) + " --interrupt-at 1 --out " + dir + "/i.mp4", log), "0") << lt::slurp(log);
  const std::string cut = lt::slurp(log);
  EXPECT_NE(cut.find(", interrupted"), std::string::npos) << cut;
  ASSERT_TRUE(std::regex_search(cut, m, std::regex(R"((\d+) speech)"))) << cut;
  EXPECT_GE(std::stol(m[1]), 25);
  EXPECT_LT(std::stol(m[1]), 40);  // the 3.3 s utterance stopped near 1 s
}

TEST(VozazSpeak, BadInputIsOneSentenceAndLeavesNoFile) {
  const std::string dir = lt::scratchDir(), log = dir + "/log", out = " --out " + dir + "/o.mp4";
  lt::spit(dir + "/noise.wav", "RIFF but not really");
  const std::string wav = wavInput(dir);
  const struct {
    std::string motion, args, sentence;
  } cases[] = {
      {st::motionBundle(), dir + "/noise.wav" + out,
       "vozaz speak: cannot open audio file " + dir + "/noise.wav (Invalid data found when processing input)\n"},
      {st::motionBundle(), wav + " --out /nonexistent/dir/o.mp4",
       "vozaz speak: cannot write the output file /nonexistent/dir/o.mp4\n"},
      // A later --w2v wins over the helper's.
      {st::motionBundle(), wav + out + " --w2v /nonexistent.onnx",
       "vozaz speak: --w2v /nonexistent.onnx: no such readable file\n"},
      {st::motionWithoutEncoder(), wav + out, "vozaz speak: le_motion_create: "},
      {st::forged("motion_nt50", "motion-bundle --nt 50"), wav + out, "vozaz speak: le_utt_create: the motion bundle "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(speak(c.args, log, c.motion), "1") << c.args;
    EXPECT_NE(lt::slurp(log).find(c.sentence), std::string::npos) << lt::slurp(log);
    EXPECT_FALSE(le::pathExists(dir + "/o.mp4"));
    EXPECT_FALSE(le::pathExists(dir + "/o.mp4.part"));
  }
}

}  // namespace
