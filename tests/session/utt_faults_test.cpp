// Faults on purpose: a motion bundle made for another avatar, a driver video
// shorter than its manifest says, a director that fails on one identity
// frame and a streaming encoder that fails part way through an utterance.
// Each is refused with its sentence or served around; the process lives and
// the render status says what failed.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "session/session_support.h"

namespace {

struct Fault {
  const char* name;
  std::string (*avatar)();
  std::string (*motion)();
  const char* createError;  // the refusal's start, or null when the session is made
  const char* status;       // what the render status names
  bool fatal;               // the session ends instead of serving on
  bool speaks;              // speech frames still come out
};

std::string plainAvatar() { return st::directorBundle(); }
std::string plainMotion() { return st::motionBundle(); }
std::string otherAvatarsMotion() { return st::forged("motion_nt50", "motion-bundle --nt 50"); }
std::string shortDriver() { return st::forged("short_driver", "fault short-driver"); }
std::string poisonedDirector() { return st::forged("poisoned_director", "fault director --from " + st::directorBundle()); }
// Idle row 2 carries the director's marker: every render of frame 2 fails.
std::string poisonedRow() {
  return st::forged("poisoned_row", "fault source-row --at 2 --from " + st::motionBundle());
}
// Any encoder band holding frame 30 fails: the utterance stops there.
std::string poisonedEncoder() { return st::forged("poisoned_encoder", "fault encoder --at 30 --from " + st::motionBundle()); }

const Fault kFaults[] = {
    {"motion bundle of another avatar", plainAvatar, otherAvatarsMotion,
     "le_utt_create: the motion bundle ", nullptr, false, false},
    {"driver shorter than its manifest", shortDriver, plainMotion, nullptr, "paste: le_driver: ", true, false},
    {"director failing on one frame", poisonedDirector, poisonedRow, nullptr, "out of data bounds", false, true},
    {"encoder failing mid-utterance", plainAvatar, poisonedEncoder, nullptr, "motion: ", false, true},
};

TEST(UttFaults, EachFaultIsRefusedOrServedAroundAndSaid) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  // The first 48 frames of speech: past the encoder's poisoned frame 30.
  std::vector<int16_t> speech = st::speech16();
  speech.resize(48 * 640);
  for (const Fault& f : kFaults) {
    SCOPED_TRACE(f.name);
    const std::string avatar = f.avatar(), motion = f.motion();
    st::Ctx ctx(le_create(avatar.c_str(), "render", 0, ""));
    ASSERT_NE(ctx, nullptr) << le_last_error();
    le_utt_opts opts = st::defaults();
    opts.motion_dir = motion.c_str();
    opts.steady_model = "-";
    if (f.createError) {
      EXPECT_EQ(le_utt_create(ctx.get(), &opts), nullptr);
      const std::string err = le_utt_last_error();
      EXPECT_EQ(err.rfind(f.createError, 0), 0u) << err;
      EXPECT_NE(err.find(motion), std::string::npos) << err;
      EXPECT_NE(err.find(avatar), std::string::npos) << err;
      EXPECT_NE(err.find(" 50 "), std::string::npos) << err;
      continue;
    }
    st::Utt utt = st::openReady(ctx.get(), opts);
    ASSERT_NE(utt, nullptr);
    const size_t bytes = static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3;
    st::pushAll(utt.get(), speech);
    le_utt_end_utterance(utt.get());
    std::vector<st::Pulled> frames;
    if (f.fatal) {
      // Once the driver has failed the ring drains and nothing more is made.
      st::waitFor([&] { return le_utt_render_status(utt.get(), nullptr, 0, nullptr) != 0; }, 30);
      st::Pulled p;
      p.rgb.resize(bytes);
      while (le_utt_pull_frame(utt.get(), p.rgb.data(), bytes, &p.info) == 1) frames.push_back(p);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(le_utt_frames_available(utt.get()), 0);
    } else {
      bool spoke = false;
      frames = st::pullUntil(utt.get(), bytes, [&](const st::Pulled& p) {
        spoke = spoke || p.info.kind != 0;
        return spoke && p.info.kind == 0;  // back to idle after the utterance
      });
    }
    char text[512] = "";
    uint64_t failures = 0;
    EXPECT_EQ(le_utt_render_status(utt.get(), text, sizeof text, &failures), f.fatal ? -1 : 0);
    EXPECT_GE(failures, 1u);
    EXPECT_NE(std::string(text).find(f.status), std::string::npos) << text;
    le_utt_stats stats{};
    le_utt_get_stats(utt.get(), &stats);
    EXPECT_EQ(stats.speech_frames_delivered > 0, f.speaks) << st::kindRuns(frames);
  }
}

}  // namespace
