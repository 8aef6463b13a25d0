// le_utt_*: the option record's layout seen from C, every refusal text and
// return convention, the defaults of le_utt_open and the answers of a
// session without a teeth pass.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "le/le_utt.h"
#include "session/session_support.h"
#include "session/utt.h"
#include "support/fixtures.h"

extern "C" int le_test_utt_layout_from_c(long* out, int n);
extern "C" int le_test_utt_null_from_c(void);

namespace {

TEST(UttApi, TheOptionRecordIsLaidOutTheSameInC) {
  long v[32];
  ASSERT_EQ(le_test_utt_layout_from_c(v, 32), 16);
  const long want[] = {56, 0, 8, 16, 24, 32, 40, 48, 52, 24, 8, 12, 16, 24, 32, 40};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(v[i], want[i]) << "entry " << i;
  EXPECT_EQ(sizeof(le_utt_opts), 56u);
}

TEST(UttApi, NullHandlesGetTheirAnswersFromC) { EXPECT_EQ(le_test_utt_null_from_c(), 0); }

TEST(UttApi, CreationRefusalsAreOneSentence) {
  st::Ctx ctx = st::openCtx();
  le_utt_opts o{};
  EXPECT_EQ(le_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  EXPECT_EQ(le_utt_create(ctx.get(), nullptr), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  for (const char* dir : {static_cast<const char*>(nullptr), ""}) {
    o.motion_dir = dir;
    EXPECT_EQ(le_utt_create(ctx.get(), &o), nullptr);
    EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
  }
}

// Every resolved field in one line, so a row states the whole outcome.
std::string summary(const le::session::Options& o) {
  return "eager " + std::to_string(o.eager) + (o.hybrid ? " hybrid" : "") + " silence " +
         std::to_string(static_cast<int>(o.endSilenceMs)) + " ramps " + std::to_string(o.endRampFrames) + "/" +
         std::to_string(o.interruptRampFrames) + " steady " + o.steadyModel + (o.pipelinePaste ? " pipe" : "") +
         " onset " + std::to_string(o.onsetIndex) + (o.stageReport ? " report" : "");
}

TEST(UttApi, OpenTakesTheDefaults) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  st::Utt utt(le_utt_open(ctx.get(), st::motionBundle().c_str()));
  ASSERT_NE(utt, nullptr) << le_utt_last_error();
  EXPECT_STREQ(le_utt_last_error(), "");
  EXPECT_EQ(summary(utt->options()), "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1");
  EXPECT_TRUE(utt->hasSourceTable());
}

// What a host writes and switches on, and what the session runs with (5 frames).
TEST(UttApi, OptionsAndSwitchesResolve) {
  const struct {
    le::session::RawOptions raw;
    const char* envName;
    const char* envValue;
    bool streaming;
    const char* want;
  } cases[] = {
      // clang-format off
      {{"m", 0, nullptr, nullptr, -2}, nullptr, nullptr, true, "eager -1 hybrid silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m", 0, nullptr, nullptr, 0}, "LE_UTT_HYBRID", "1", true, "eager -1 hybrid silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m", 0, nullptr, nullptr, 0}, "LE_UTT_HYBRID", "0", true, "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m", 0, nullptr, nullptr, 5}, "LE_UTT_HYBRID", "1", true, "eager 5 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m", 0, nullptr, nullptr, 0, -1.0}, nullptr, nullptr, true, "eager -1 silence -1 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m", 0, nullptr, "b4", 0, 1.5, 3, 2}, nullptr, nullptr, true, "eager -1 silence 1500 ramps 3/2 steady b4 pipe onset -1"},
      {{"m", 0, nullptr, "b4"}, "LE_STEADY_MODEL", "-", true, "eager -1 silence 600 ramps 6/4 steady - pipe onset -1"},
      {{"m"}, "LE_UTT_PIPELINE_PASTE", "0", true, "eager -1 silence 600 ramps 6/4 steady b24_fp32 onset -1"},
      {{"m"}, "LE_UTT_PIPELINE_PASTE", "2", false, "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m"}, nullptr, nullptr, false, "eager -1 silence 600 ramps 6/4 steady b24_fp32 onset -1"},
      {{"m"}, "LE_UTT_ONSET_SI", "7", true, "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset 2"},
      {{"m"}, "LE_UTT_ONSET_SI", "-3", true, "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1"},
      {{"m"}, "LE_UTT_STAGE_REPORT", "", true, "eager -1 silence 600 ramps 6/4 steady b24_fp32 pipe onset -1 report"},
      // clang-format on
  };
  for (const auto& c : cases) {
    lt::ScopedEnv env(c.envName ? c.envName : "LE_UTT_HYBRID", c.envName ? c.envValue : nullptr);
    EXPECT_EQ(summary(le::session::resolveOptions(c.raw, c.streaming, 5)), c.want)
        << (c.envName ? c.envName : "no switch");
  }
  // No frames: the onset switch is ignored.
  lt::ScopedEnv env("LE_UTT_ONSET_SI", "7");
  EXPECT_EQ(le::session::resolveOptions({"m"}, true, 0).onsetIndex, -1);
}

TEST(UttApi, CallsAnswerWithTheirConventions) {
  st::Session s;
  le_utt* u = s.utt.get();
  ASSERT_EQ(st::waitAvailable(u, 1, 10), 1);
  const int16_t one = 0;
  std::vector<uint8_t> rgb(s.bytes);
  le_utt_frame_info info{};
  const struct {
    std::function<int()> call;
    const char* error;
  } refusals[] = {
      {[&] { return le_utt_push_audio(u, nullptr, 1); }, "le_utt_push_audio: bad args"},
      {[&] { return le_utt_push_audio(u, &one, -1); }, "le_utt_push_audio: bad args"},
      {[&] { return le_utt_pull_frame(u, rgb.data(), s.bytes - 1, &info); }, "le_utt_pull_frame: buffer too small"},
      {[&] { return le_utt_pull_frame(u, nullptr, s.bytes, &info); }, "le_utt_pull_frame: bad args"},
  };
  for (const auto& r : refusals) {
    EXPECT_EQ(r.call(), 0);
    EXPECT_STREQ(le_utt_last_error(), r.error);
  }
  EXPECT_EQ(le_utt_push_audio(u, &one, 0), 1);  // only stamps the push time
  EXPECT_EQ(le_utt_frames_available(u), 1);      // the refused pulls left the frame queued
  EXPECT_EQ(le_utt_pull_frame(u, rgb.data(), s.bytes, &info), 1);
  EXPECT_EQ(info.seq, 0u);
  ASSERT_EQ(st::waitAvailable(u, 1, 10), 1);
  EXPECT_EQ(le_utt_pull_frame(u, rgb.data(), s.bytes, nullptr), 1);  // info may be null

  char text[8] = "garbage";
  uint64_t failures = 99;
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_EQ(failures, 0u);  // the forged bundle has the chunk model
  EXPECT_STREQ(text, "");

  // No teeth pass: zero counters and empty texts.
  uint64_t a = 5, b = 5, count = 1;
  double mean = 1, last = 1;
  char tess[4] = "abc";
  EXPECT_EQ(le_utt_tessera_stats(u, &a, &b, tess, 4), 0);
  EXPECT_EQ(a + b, 0u);
  EXPECT_STREQ(tess, "");
  EXPECT_EQ(le_utt_tessera_synth_w(u, &mean, &last, &count), 0);
  std::strcpy(tess, "abc");
  EXPECT_EQ(le_utt_tessera_geometry(u, tess, 4), 0);
  EXPECT_STREQ(tess, "");
  EXPECT_EQ(le_utt_tessera_geometry(u, tess, 0), 0);
}

TEST(UttApi, AMissingChunkModelIsAWarmUpFailureThatTruncatesSafely) {
  le_utt_opts o = st::defaults();
  o.steady_model = "b99";
  st::Session s(o);
  char text[512];
  uint64_t failures = 0;
  EXPECT_EQ(le_utt_render_status(s.utt.get(), text, sizeof text, &failures), 0);  // not fatal
  EXPECT_EQ(failures, 1u);
  EXPECT_EQ(std::string(text).rfind("ep=", 0), 0u) << text;
  EXPECT_NE(std::string(text).find(" warm-up: "), std::string::npos) << text;
  char small[6];
  le_utt_render_status(s.utt.get(), small, sizeof small, nullptr);
  EXPECT_EQ(std::string(small), std::string(text).substr(0, 5));
  EXPECT_EQ(le_utt_render_status(s.utt.get(), nullptr, 0, nullptr), 0);
}

}  // namespace
