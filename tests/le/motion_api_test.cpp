// le_motion_*: creation refusals with their sentences, the return
// conventions and texts of every call, the idle cursor, and eager mode.
#include <gtest/gtest.h>

#include <memory>

#include "audio/a2x_support.h"
#include "support/fixtures.h"

extern "C" int le_test_motion_header_from_c(void);

namespace {

using Motion = std::unique_ptr<le_motion, decltype(&le_motion_destroy)>;

Motion open(const char* name = "ok", const char* ep = nullptr) {
  return Motion(le_motion_create(mt::dir(name).c_str(), 1, ep), le_motion_destroy);
}

std::string err() { return le_motion_last_error(); }

TEST(MotionApi, CreationRefusesEachBrokenDirectoryWithItsSentence) {
  const std::string d = mt::dir("");
  const struct {
    const char* dir;
    const char* ep;
    std::string error;  // exact, or a prefix when it ends in "..."
  } cases[] = {
      {"ok", "cuda", "le_motion_create: le_motion: unknown ep 'cuda'"},
      {"ok", "xnnpack", "le_motion_create: le_motion: unknown ep 'xnnpack'"},
      {"no_s_bridge", "", "le_motion_create: meta.json: missing s_bridge"},
      {"no_nt", "", "le_motion_create: meta.json: missing nt"},
      {"bad_s_bridge", "", "le_motion_create: meta.json: bad s_bridge"},
      {"nsrc_mismatch", "", "le_motion_create: le_motion: n_src != nt unsupported"},
      {"no_meta", "", "le_motion_create: cannot open " + d + "no_meta/meta.json"},
      {"no_window", "", "le_motion_create: cannot open " + d + "no_window/hubert_stft_window.bin"},
      {"short_emo", "", "le_motion_create: " + d + "short_emo/emo.bin floats, expected 24"},
      {"short_xs", "", "le_motion_create: " + d + "short_xs/xs_target.bin floats, expected 252"},
      {"stitch_one_input", "",
       "le_motion_create: stitch.onnx declares 1 input(s), expected 2: xs_la [1, 63] and xd_la [1, 63]."},
      {"lmdm_short_seed", "",
       "le_motion_create: lmdm.onnx: input 1 (the seed) holds 264 values [1, 264], expected [1, 265]."},
      {"bad_student", "", "le_motion_create: ..."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(open(c.dir, c.ep), nullptr) << c.dir;
    if (c.error.size() > 3 && c.error.compare(c.error.size() - 3, 3, "...") == 0)
      EXPECT_EQ(err().rfind(c.error.substr(0, c.error.size() - 3), 0), 0u) << err();
    else
      EXPECT_EQ(err(), c.error) << c.dir;
  }
  EXPECT_EQ(le_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_EQ(err(), "le_motion_create: NULL motion_dir");
  // Without delta_pitch the directory loads; creation clears the last error.
  const Motion m = open("no_delta_pitch");
  ASSERT_NE(m, nullptr) << err();
  EXPECT_EQ(err(), "");
}

TEST(MotionApi, ReturnConventionsAndTexts) {
  EXPECT_EQ(le_test_motion_header_from_c(), 1);
  const Motion m = open();
  ASSERT_NE(m, nullptr) << err();
  float buf[63 * 4], xd[63 * 4];
  int idx[4];
  EXPECT_EQ(le_motion_nt(m.get()), 4);
  EXPECT_EQ(le_motion_total(m.get()), -1);
  // Every call clears the text on entry, so each result carries its own.
  const auto check = [&](const char* what, int got, int want, const char* error) {
    EXPECT_EQ(got, want) << what;
    EXPECT_EQ(err(), error) << what;
  };
  check("push null object", le_motion_push(nullptr, buf, 1), 0, "le_motion_push: bad args / already finished");
  check("push null buffer", le_motion_push(m.get(), nullptr, 1), 0, "le_motion_push: bad args / already finished");
  check("push negative n", le_motion_push(m.get(), buf, -1), 0, "le_motion_push: bad args / already finished");
  check("push nothing", le_motion_push(m.get(), buf, 0), 1, "");
  check("pull null object", le_motion_pull(nullptr, idx, buf, buf, 1), 0, "le_motion_pull: bad args");
  check("pull null xs", le_motion_pull(m.get(), idx, nullptr, buf, 1), 0, "le_motion_pull: bad args");
  check("pull null xd", le_motion_pull(m.get(), idx, buf, nullptr, 1), 0, "le_motion_pull: bad args");
  check("pull max 0", le_motion_pull(m.get(), idx, buf, buf, 0), 0, "le_motion_pull: bad args");
  check("pull before audio", le_motion_pull(m.get(), nullptr, buf, buf, 4), 0, "");
  check("avail null", le_motion_avail(nullptr), 0, "");
  check("total null", le_motion_total(nullptr), -1, "");

  // 1000 samples: two frames, both after finish.
  std::vector<float> audio(1000, 0.01f);
  check("push", le_motion_push(m.get(), audio.data(), 1000), 1, "");
  le_motion_finish(m.get());
  check("total", le_motion_total(m.get()), 2, "");
  check("push after finish", le_motion_push(m.get(), audio.data(), 1), 0,
        "le_motion_push: bad args / already finished");
  check("avail after finish", le_motion_avail(m.get()), 2, "");
  check("pull after finish", le_motion_pull(m.get(), idx, buf, xd, 2), 2, "");
  check("avail drained", le_motion_avail(m.get()), 0, "");

  // A reset drops the stream; start is clamped to nt - 1, direction to -1.
  le_motion_reset(m.get(), 99, -7, 1);
  EXPECT_EQ(le_motion_total(m.get()), -1);
  EXPECT_EQ(le_motion_push(m.get(), audio.data(), 1000), 1);
  le_motion_push(m.get(), audio.data(), 1000);
  le_motion_finish(m.get());
  EXPECT_EQ(le_motion_total(m.get()), 4);
  ASSERT_EQ(le_motion_pull(m.get(), idx, buf, xd, 4), 4);
  EXPECT_EQ(std::vector<int>(idx, idx + 4), (std::vector<int>{3, 2, 1, 0}));
  le_motion_reset(m.get(), -5, 1, 1);
  le_motion_push(m.get(), audio.data(), 1000);
  le_motion_finish(m.get());
  ASSERT_EQ(le_motion_pull(m.get(), idx, buf, xd, 2), 2);
  EXPECT_EQ(idx[0], 0);
  // A finish with no audio: nothing to pull.
  le_motion_reset(m.get(), 0, 1, 1);
  le_motion_finish(m.get());
  EXPECT_EQ(le_motion_total(m.get()), 0);
  EXPECT_EQ(le_motion_avail(m.get()), 0);
}

// Pushes speech in 1600-sample pieces, pulling all that is ready each time.
mt::Run speak(bool eager, const std::string& dump, std::vector<int>& firstPulls) {
  lt::ScopedEnv env("LE_MOTION_DUMP", dump.c_str());
  const Motion m = open();
  EXPECT_NE(m, nullptr) << err();
  if (!m) return {};
  le_motion_set_eager(m.get(), eager);
  std::vector<float> audio = at::speech();
  audio.erase(audio.begin(), audio.begin() + 6400);  // speech from the first frames on
  return mt::stream(m.get(), audio, 1600, [&](le_motion* mm, int64_t pushed, int pulled) {
    // Never a frame past the audio heard, nor the newest frame made.
    EXPECT_LE(pulled, std::max<int64_t>(0, pushed / 640 - 1)) << pushed;
    EXPECT_EQ(le_motion_avail(mm), 0);
    if (pulled > 0 && firstPulls.empty()) firstPulls.push_back(static_cast<int>(pushed));
  });
}

TEST(MotionApi, EagerModeServesEarlierAndRealChunksAreUnchanged) {
  const std::string scratch = lt::scratchDir();
  lt::run("mkdir -p " + scratch + "/off " + scratch + "/on");
  std::vector<int> firstOff, firstOn;
  const mt::Run off = speak(false, scratch + "/off", firstOff);
  const mt::Run on = speak(true, scratch + "/on", firstOn);
  ASSERT_FALSE(firstOff.empty());
  ASSERT_FALSE(firstOn.empty());
  EXPECT_LT(firstOn[0], firstOff[0] / 4);  // frames come out long before a whole chunk of audio
  for (const char* file : {"/res_post.bin", "/final.bin", "/cond.bin", "/lmdm0_pred.bin"})
    EXPECT_EQ(at::loadF32(scratch + "/off" + file), at::loadF32(scratch + "/on" + file)) << file;
  EXPECT_EQ(on.total, off.total);
  ASSERT_EQ(on.idx.size(), off.idx.size());
  EXPECT_EQ(on.idx, off.idx);
  EXPECT_GT(on.pulledBeforeFinish, off.pulledBeforeFinish);
}

}  // namespace
