// Four host threads call one session at random under a watchdog: every
// pulled frame must be whole, sequence numbers must only grow, and the
// session must shut down while its own threads are busy. Without a teeth
// pass, and with one inline and on its own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "audio/a2x_support.h"
#include "le/bundle_teeth.h"
#include "session/session_support.h"
#include "support/fixtures.h"

namespace {

constexpr int kThreads = 4;
constexpr int kCallsPerThread = 2600;

// The frame pixels a paste at identity frame si can touch: the crop's
// corners through M, widened by the resampler's reach.
struct Box {
  int x0, y0, x1, y1;
};

Box footprint(const float* M, int crop, int W, int H) {
  float xs[4], ys[4];
  const float u[4] = {0, static_cast<float>(crop), 0, static_cast<float>(crop)};
  const float v[4] = {0, 0, static_cast<float>(crop), static_cast<float>(crop)};
  for (int k = 0; k < 4; ++k) {
    xs[k] = M[0] * u[k] + M[1] * v[k] + M[2];
    ys[k] = M[3] * u[k] + M[4] * v[k] + M[5];
  }
  const int reach = 6;
  return {std::max(0, static_cast<int>(std::floor(*std::min_element(xs, xs + 4))) - reach),
          std::max(0, static_cast<int>(std::floor(*std::min_element(ys, ys + 4))) - reach),
          std::min(W, static_cast<int>(std::ceil(*std::max_element(xs, xs + 4))) + reach),
          std::min(H, static_cast<int>(std::ceil(*std::max_element(ys, ys + 4))) + reach)};
}

struct Checker {
  int W, H, crop;
  std::vector<std::vector<uint8_t>> driver;
  std::vector<float> M;

  // Empty when the frame is whole, else what is wrong with it.
  std::string check(const st::Pulled& p) const {
    const le_utt_frame_info& f = p.info;
    if (f.si < 0 || f.si >= st::kNt) return "index " + std::to_string(f.si);
    const std::vector<uint8_t>& d = driver[f.si];
    if (f.kind == 0) return p.rgb == d ? "" : "idle frame differs from its driver frame";
    if (f.kind != 1 && f.kind != 2) return "kind " + std::to_string(f.kind);
    const Box b = footprint(&M[f.si * 6], crop, W, H);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1) continue;
        const size_t i = (static_cast<size_t>(y) * W + x) * 3;
        if (std::memcmp(&p.rgb[i], &d[i], 3) != 0)
          return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") outside the paste differs";
      }
    return "";
  }
};

enum Teeth { kNoTeeth, kTeethInline, kTeethThread };

class UttStress : public ::testing::TestWithParam<Teeth> {};

TEST_P(UttStress, FourHostThreadsCallAtRandomAndEveryFrameIsWhole) {
  lt::ScopedEnv w2v("W2V_ONNX", st::w2vPath().c_str());
  lt::ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", GetParam() == kTeethInline ? "0" : "1");
  const std::string bundle = GetParam() == kNoTeeth ? st::directorBundle() : st::teethBundle();
  st::Ctx ctx(le_create(bundle.c_str(), "render", 0, ""));
  ASSERT_NE(ctx, nullptr) << le_last_error();
  Checker checker{le_width(ctx.get()), le_height(ctx.get()), le_crop(ctx.get()), {}, lt::arrayOf(bundle + "/M.f32")};
  const size_t bytes = static_cast<size_t>(checker.W) * checker.H * 3;
  for (int si = 0; si < st::kNt; ++si) {
    const uint8_t* f = le_target_frame(ctx.get(), si);
    ASSERT_NE(f, nullptr);
    checker.driver.emplace_back(f, f + bytes);
  }
  ASSERT_EQ(checker.M.size(), static_cast<size_t>(st::kNt) * 6);
  le_utt_opts o = st::defaults();
  o.end_silence_s = 0.05;  // many short utterances
  st::Utt utt = st::openReady(ctx.get(), o);
  if (GetParam() != kNoTeeth) le::attachBundleTeeth(utt.get(), bundle);
  const std::vector<int16_t> pcm = st::speech16();

  std::atomic<int> calls{0}, frames{0};
  std::vector<std::string> failures(kThreads);
  std::vector<std::vector<uint64_t>> seqs(kThreads);
  auto host = [&](int t) {
    std::mt19937 rng(1234 + t);
    st::Pulled p;
    p.rgb.resize(bytes);
    for (int i = 0; i < kCallsPerThread; ++i, ++calls) {
      const int r = static_cast<int>(rng() % 100);
      if (r < 40) {
        const size_t at = (rng() % (pcm.size() / 320)) * 320;
        le_utt_push_audio(utt.get(), pcm.data() + at, 320);
      } else if (r < 80) {
        if (le_utt_pull_frame(utt.get(), p.rgb.data(), p.rgb.size(), &p.info) == 1) {
          ++frames;
          if (!seqs[t].empty() && p.info.seq <= seqs[t].back() && failures[t].empty())
            failures[t] = "seq " + std::to_string(p.info.seq) + " after " + std::to_string(seqs[t].back());
          seqs[t].push_back(p.info.seq);
          const std::string bad = checker.check(p);
          if (!bad.empty() && failures[t].empty()) failures[t] = "frame " + std::to_string(p.info.seq) + ": " + bad;
        }
      } else if (r < 84) {
        le_utt_interrupt(utt.get());
      } else if (r < 88) {
        le_utt_end_utterance(utt.get());
      } else {
        le_utt_stats s{};
        le_utt_get_stats(utt.get(), &s);
        char text[64];
        le_utt_render_status(utt.get(), text, sizeof text, nullptr);
        if (le_utt_frames_available(utt.get()) > 8 && failures[t].empty()) failures[t] = "more than 8 frames wait";
      }
      if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
    }
  };
  auto all = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(host, t);
    for (auto& th : threads) th.join();
    // Leave the session busy: a fresh utterance is being rendered while it goes.
    st::pushAll(utt.get(), pcm);
    le_utt_end_utterance(utt.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    utt.reset();
  });
  if (all.wait_for(std::chrono::seconds(300)) != std::future_status::ready) {
    std::fprintf(stderr, "UttStress: watchdog fired after %d calls, a call or the shutdown hangs\n", calls.load());
    std::abort();
  }
  all.get();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "host thread " << t;
  std::set<uint64_t> unique;
  size_t total = 0;
  for (const auto& s : seqs) {
    unique.insert(s.begin(), s.end());
    total += s.size();
  }
  EXPECT_EQ(unique.size(), total);  // no frame was handed out twice
  EXPECT_GE(calls.load(), 10000);
  EXPECT_GT(frames.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Teeth, UttStress, ::testing::Values(kNoTeeth, kTeethInline, kTeethThread),
                         [](const auto& p) {
                           return p.param == kNoTeeth ? "None" : p.param == kTeethInline ? "Inline" : "OwnThread";
                         });

}  // namespace
