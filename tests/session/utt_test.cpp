// The utterance session as a host sees it: idle frames walk the driver,
// speech frames are what a second context renders from the rows le_a2x
// gives for the same audio, and the ease back to idle after the end of
// speech or an interrupt.
#include "session/utt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <regex>
#include <thread>

#include "audio/a2x_support.h"
#include "le/le_a2x.h"
#include "session/session_support.h"
#include "support/fixtures.h"

namespace {

constexpr size_t kKp = 63;

struct Reference {
  st::Ctx ctx = st::openCtx();
  size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;

  std::vector<uint8_t> driver(int si) {
    const uint8_t* f = le_target_frame(ctx.get(), si);
    EXPECT_NE(f, nullptr) << le_last_error();
    return f ? std::vector<uint8_t>(f, f + bytes) : std::vector<uint8_t>(bytes);
  }
  std::vector<uint8_t> rendered(int si, const float* xs, const float* xd) {
    std::vector<uint8_t> out(bytes);
    const float* crop = le_render_kp_crop(ctx.get(), si, xs, xd);
    EXPECT_NE(crop, nullptr) << le_last_error();
    if (crop) {
      EXPECT_EQ(le_paste_crop(ctx.get(), si, crop, out.data(), out.size()), 1) << le_last_error();
    }
    return out;
  }
};

// The largest per-byte difference of two frames.
int worst(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int w = 0;
  for (size_t i = 0; i < a.size(); ++i) w = std::max(w, std::abs(int(a[i]) - int(b[i])));
  return w;
}

std::vector<float> sourceTable() { return at::loadF32(st::motionBundle() + "/xs_target.bin"); }

bool isIdleAfterRamp(const st::Pulled& p, bool& sawRamp) {
  if (p.info.kind == 2) sawRamp = true;
  return sawRamp && p.info.kind == 0;
}

TEST(UttSession, IdleFramesWalkTheUntouchedDriverVideo) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  Reference ref;
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  int n = 0;
  const auto frames = st::pullUntil(utt.get(), ref.bytes, [&](const st::Pulled&) { return ++n == 10; });
  for (size_t i = 0; i < frames.size(); ++i) {
    const le_utt_frame_info& f = frames[i].info;
    EXPECT_EQ(f.kind, 0);
    EXPECT_EQ(f.utt_frame, -1);
    if (i > 0) {
      EXPECT_EQ(f.seq, frames[i - 1].info.seq + 1);
    }
    if (i > 0) {
      EXPECT_EQ(f.si, (frames[i - 1].info.si + 1) % st::kNt);
    }
    EXPECT_EQ(frames[i].rgb, ref.driver(f.si)) << "idle frame " << i;
  }
  le_utt_stats s{};
  le_utt_get_stats(utt.get(), &s);
  EXPECT_EQ(s.state, 0u);
  EXPECT_EQ(s.frames_delivered, 10u);
  EXPECT_EQ(s.speech_frames_delivered, 0u);
}

TEST(UttSession, WithoutAPullingHostOneIdleFrameWaitsAndSpeechStopsAtEight) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  EXPECT_EQ(st::waitAvailable(utt.get(), 1, 10), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(le_utt_frames_available(utt.get()), 1);  // idle frames only into an empty ring
  const std::vector<int16_t> pcm = st::speech16();
  st::pushAll(utt.get(), pcm);
  le_utt_end_utterance(utt.get());
  EXPECT_EQ(st::waitAvailable(utt.get(), 8, 60), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(le_utt_frames_available(utt.get()), 8);
  std::vector<uint8_t> rgb(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3);
  le_utt_frame_info info{};
  for (uint64_t want = 0; want < 8; ++want) {
    ASSERT_EQ(le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info), 1);
    EXPECT_EQ(info.seq, want);  // nothing was made and dropped while the ring was full
  }
}

// The whole utterance, frame by frame, against a second context rendering
// the rows an le_a2x object gives for the same audio.
TEST(UttSession, SpeechFramesAreTheRowsOfLeA2xRenderedAndPasted) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  Reference ref;
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  const std::vector<int16_t> pcm = st::speech16();
  st::pushAll(utt.get(), pcm);
  le_utt_end_utterance(utt.get());
  bool sawRamp = false;
  const auto frames =
      st::pullUntil(utt.get(), ref.bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
  std::vector<st::Pulled> speech, ramp;
  for (const auto& f : frames) {
    if (f.info.kind == 1) speech.push_back(f);
    if (f.info.kind == 2) ramp.push_back(f);
  }
  const int want = static_cast<int>((pcm.size() + 639) / 640);
  ASSERT_EQ(static_cast<int>(speech.size()), want) << st::kindRuns(frames);
  ASSERT_EQ(ramp.size(), 6u) << st::kindRuns(frames);
  for (int k = 0; k < want; ++k) EXPECT_EQ(speech[k].info.utt_frame, k);

  le_a2x* a = le_a2x_create(st::motionBundle().c_str(), 1);
  ASSERT_NE(a, nullptr) << le_a2x_last_error();
  le_a2x_reset(a, speech[0].info.si, 1, 1);
  const std::vector<float> audio = st::asFloat(pcm);
  le_a2x_push(a, audio.data(), static_cast<int>(audio.size()));
  le_a2x_finish(a);
  std::vector<int> idx(want);
  std::vector<float> xs(want * kKp), xd(want * kKp);
  int got = 0;
  while (got < want) {
    const int n = le_a2x_pull(a, idx.data() + got, xs.data() + got * kKp, xd.data() + got * kKp, want - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  le_a2x_destroy(a);
  int worstSpeech = 0;
  // Under ThreadSanitizer every eighth frame is rendered again, to stay in the test's time.
  const int stride = st::kSlow > 1 ? 8 : 1;
  for (int k = 0; k < want; k += stride) {
    EXPECT_EQ(speech[k].info.si, idx[k]) << "speech frame " << k;
    worstSpeech = std::max(worstSpeech, worst(speech[k].rgb, ref.rendered(idx[k], &xs[k * kKp], &xd[k * kKp])));
  }
  EXPECT_LE(worstSpeech, 1);
  RecordProperty("speech_worst_byte_diff", worstSpeech);
  std::printf("speech frames: worst byte difference %d against the second context\n", worstSpeech);

  // The ease back: ramp frame r carries (1 - r/6) of the last delta, from
  // the driver index after the last speech frame.
  const std::vector<float> table = sourceTable();
  const int last = idx[want - 1];
  for (int r = 0; r < 6; ++r) {
    const int si = (last + 1 + r) % st::kNt;
    EXPECT_EQ(ramp[r].info.si, si);
    EXPECT_EQ(ramp[r].info.utt_frame, -1);
    const float f = 1.0f - static_cast<float>(r + 1) / 6.0f;
    std::vector<float> kp(kKp);
    for (size_t j = 0; j < kKp; ++j)
      kp[j] = table[si * kKp + j] + f * (xd[(want - 1) * kKp + j] - table[last * kKp + j]);
    EXPECT_LE(worst(ramp[r].rgb, ref.rendered(si, &table[si * kKp], kp.data())), 1) << "ramp frame " << r;
  }
  EXPECT_EQ(frames.back().info.si, (last + 7) % st::kNt);  // idle continues at the next index
  EXPECT_EQ(frames.back().rgb, ref.driver(frames.back().info.si));

  le_utt_stats s{};
  le_utt_get_stats(utt.get(), &s);
  EXPECT_EQ(s.onsets, 1u);
  EXPECT_EQ(s.speech_frames_delivered, static_cast<uint64_t>(want));
  EXPECT_GT(s.last_onset_ms, 0.0);
  EXPECT_GT(s.render_ms_ema, 0.0);
}

// The second back-end behind the same calls: a whole utterance of speech
// frames, one per 640 samples, then the ease back to idle.
TEST(UttSession, TheMotionPipelineServesTheSameLoop) {
  st::Ctx ctx = st::openCtx();
  le_utt_opts o = st::defaults();
  o.motion_dir = st::motionPipelineBundle().c_str();
  st::Utt utt = st::openReady(ctx.get(), o);
  ASSERT_NE(utt, nullptr);
  EXPECT_FALSE(utt->options().pipelinePaste);
  const std::vector<int16_t> pcm = st::speech16("speech_b.f32");
  st::pushAll(utt.get(), pcm);
  le_utt_end_utterance(utt.get());
  const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
  bool sawRamp = false;
  const auto frames = st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
  const std::string runs = st::kindRuns(frames);
  const std::string want = "1x" + std::to_string((pcm.size() + 639) / 640) + " 2x6 0x1";
  EXPECT_NE(runs.find(want), std::string::npos) << runs;
  int k = 0;
  for (const auto& f : frames)
    if (f.info.kind == 1) {
      EXPECT_EQ(f.info.utt_frame, k++);
    }
  char text[256];
  uint64_t failures = 0;
  le_utt_render_status(utt.get(), text, sizeof text, &failures);
  EXPECT_EQ(failures, 0u) << text;
}

TEST(UttSession, InterruptEmptiesTheRingThenRampsFromTheLastPulledFrame) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  Reference ref;
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  st::pushAll(utt.get(), st::speech16());
  int speech = 0;
  const auto before =
      st::pullUntil(utt.get(), ref.bytes, [&](const st::Pulled& p) { return p.info.kind == 1 && ++speech == 5; });
  ASSERT_EQ(st::waitAvailable(utt.get(), 8, 30), 8);
  le_utt_interrupt(utt.get());
  EXPECT_EQ(le_utt_frames_available(utt.get()), 0);
  bool sawRamp = false;
  const auto after =
      st::pullUntil(utt.get(), ref.bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
  ASSERT_EQ(st::kindRuns(after), "2x4 0x1");
  const int last = before.back().info.si;
  for (int r = 0; r < 4; ++r) EXPECT_EQ(after[r].info.si, (last + 1 + r) % st::kNt);
  EXPECT_GT(after[0].info.seq, before.back().info.seq + 8);  // the dropped frames kept their numbers
  // The last ramp frame carries no delta.
  const std::vector<float> table = sourceTable();
  const int si = after[3].info.si;
  EXPECT_LE(worst(after[3].rgb, ref.rendered(si, &table[si * kKp], &table[si * kKp])), 1);
  EXPECT_EQ(after[4].info.si, (last + 5) % st::kNt);
  uint64_t failures = 0;
  le_utt_render_status(utt.get(), nullptr, 0, &failures);
  EXPECT_EQ(failures, 0u);  // a render the interrupt cut short is no failure
}

TEST(UttSession, AnUtteranceEndsAfterSilenceUnlessTheSilenceEndIsOff) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  const std::vector<int16_t> pcm = st::speech16("speech_b.f32");
  for (const double silence : {0.0, -1.0}) {
    st::Ctx ctx = st::openCtx();
    le_utt_opts o = st::defaults();
    o.end_silence_s = silence;
    st::Utt utt = st::openReady(ctx.get(), o);
    st::pushAll(utt.get(), pcm);
    const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
    bool sawRamp = false;
    if (silence == 0.0) {
      const auto frames =
          st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
      EXPECT_NE(st::kindRuns(frames).find("2x6 0x1"), std::string::npos) << st::kindRuns(frames);
    } else {
      // Without an end the look-ahead holds the last rows back for good.
      le_utt_stats s{};
      std::vector<uint8_t> rgb(bytes);
      le_utt_frame_info info{};
      const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(60 * st::kSlow);
      auto quietSince = std::chrono::steady_clock::now();
      // Pull until no frame has come for 1.5 s while speaking.
      while (std::chrono::steady_clock::now() < until &&
             (s.state != 2 || std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(1500))) {
        if (le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info) == 1) {
          EXPECT_NE(info.kind, 2);
          quietSince = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        le_utt_get_stats(utt.get(), &s);
      }
      EXPECT_EQ(s.state, 2u);
      le_utt_end_utterance(utt.get());
      const auto frames =
          st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
      EXPECT_NE(st::kindRuns(frames).find("2x6 0x1"), std::string::npos) << st::kindRuns(frames);
    }
  }
}

TEST(UttSession, OnsetIndexSwitchStartsEveryUtteranceThere) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  lt::ScopedEnv onset("LE_UTT_ONSET_SI", "7");  // 7 mod 4 frames
  st::Ctx ctx = st::openCtx();
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
  const std::vector<int16_t> pcm = st::speech16("speech_b.f32");
  for (int round = 0; round < 2; ++round) {
    st::pushAll(utt.get(), pcm);
    le_utt_end_utterance(utt.get());
    bool sawRamp = false;
    const auto frames =
        st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) { return isIdleAfterRamp(p, sawRamp); });
    const auto first = std::find_if(frames.begin(), frames.end(), [](const st::Pulled& p) { return p.info.kind == 1; });
    ASSERT_NE(first, frames.end());
    EXPECT_EQ(first->info.si, 3) << "round " << round;
    EXPECT_EQ(first->info.utt_frame, 0);
  }
}

TEST(UttSession, AudioPushedDuringARampWaitsForItsLastFrame) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  st::Ctx ctx = st::openCtx();
  st::Utt utt = st::openReady(ctx.get(), st::defaults());
  const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
  const std::vector<int16_t> pcm = st::speech16("speech_b.f32");
  st::pushAll(utt.get(), pcm);
  le_utt_end_utterance(utt.get());
  bool pushed = false;
  bool sawSecond = false;
  const auto frames = st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) {
    if (p.info.kind == 2 && !pushed) {
      st::pushAll(utt.get(), pcm);
      le_utt_end_utterance(utt.get());
      pushed = true;
    }
    if (pushed && p.info.kind == 1) {
      sawSecond = true;
    }
    return sawSecond && p.info.kind == 0;
  });
  // Every ramp frame of the first utterance comes before the second one.
  const std::string runs = st::kindRuns(frames);
  EXPECT_TRUE(std::regex_search(runs, std::regex(R"(1x\d+ 2x6( 0x\d+)? 1x\d+ 2x6 0x1$)"))) << runs;
  le_utt_stats s{};
  le_utt_get_stats(utt.get(), &s);
  EXPECT_EQ(s.onsets, 2u);
}

TEST(UttSession, AFailedWarmUpServesIdleFramesAndSaysWhy) {
  lt::ScopedEnv w2v("W2V_ONNX", nullptr);
  st::Ctx ctx = st::openCtx();
  st::Utt utt(le_utt_open(ctx.get(), st::motionBundle().c_str()));
  ASSERT_NE(utt, nullptr) << le_utt_last_error();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (le_utt_ready(utt.get()) == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(le_utt_ready(utt.get()), -1);
  EXPECT_EQ(std::string(le_utt_last_error()), "le_a2x_create: $W2V_ONNX not set");
  st::pushAll(utt.get(), st::speech16("speech_b.f32"));
  le_utt_end_utterance(utt.get());
  const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
  int n = 0;
  for (const auto& f : st::pullUntil(utt.get(), bytes, [&](const st::Pulled&) { return ++n == 20; }))
    EXPECT_EQ(f.info.kind, 0);
}

TEST(UttSession, StageReportSaysWhatItMeasured) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  lt::ScopedEnv report("LE_UTT_STAGE_REPORT", "1");
  const struct {
    const char* pipeline;
    const char* line;
  } cases[] = {
      {"0",
       "[le_utt-stage] MEASURED NOTHING — the stage report was asked for and the paste-job counter never advanced "
       "(pipe=0 jobsB=0 jobsC=0, 0 speech frames delivered). stageA/stageB/stageC and the deliver latency are NOT "
       "reported rather than reported as zero: on this path the paste does not run through the counted queue.\n"},
      {"1", "[le_utt-stage] pipe=0 jobsB=0 jobsC="},
  };
  for (const auto& c : cases) {
    lt::ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", c.pipeline);
    st::Ctx ctx = st::openCtx();
    st::Utt utt = st::openReady(ctx.get(), st::defaults());
    EXPECT_EQ(st::waitAvailable(utt.get(), 1, 10), 1);
    const std::string log = lt::stderrOf([&] { utt.reset(); });
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }
}

}  // namespace
