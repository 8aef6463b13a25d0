// The streaming audio-to-expression object against an independent reference
// of its arithmetic and model inputs, with ONNX Runtime runs of the forged
// models as the oracle. Every test that creates an object runs in a fresh
// process: the speech encoders it shares are loaded once per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

#include "audio/a2x_stream.h"
#include "audio/a2x_support.h"
#include "support/fixtures.h"

namespace {

using le::a2x::Stream;

struct Rows {
  std::vector<int> idx;
  std::vector<float> xs, xd, wn;
  int size() const { return static_cast<int>(idx.size()); }
  void resize(size_t n) {
    idx.resize(n);
    xs.resize(n * 63);
    xd.resize(n * 63);
    wn.resize(n);
  }
};

// Pulls until nothing comes, up to `max` frames per call.
int pullAll(Stream& s, Rows& rows, int max = 1000) {
  int total = 0;
  for (;;) {
    const size_t n = rows.idx.size();
    rows.resize(n + max);
    const int got = s.pullWn(&rows.idx[n], &rows.xs[n * 63], &rows.xd[n * 63], &rows.wn[n], max);
    rows.resize(n + got);
    total += got;
    if (got == 0) return total;
  }
}

// Decodes the whole finished stream without pulling, so nothing is trimmed.
void decodeAll(Stream& s) {
  while (s.decoded() < s.audioFrames()) ASSERT_GT(s.avail(), 0);
}

// Features went through float16: differences in half-precision steps of the
// value (at least 0.01). The fused graph the object runs and the unfused
// oracle round differently, which flips a value to a neighbouring half now
// and then.
double halfSteps(const float* got, const float* want, size_t n) {
  double worst = 0;
  for (size_t i = 0; i < n; ++i)
    worst = std::max(worst, std::fabs(got[i] - want[i]) / (std::ldexp(1.0, -10) * std::max(1e-2f, std::fabs(want[i]))));
  return worst;
}

// Checks the encoder rows of a fully decoded stream band by band against the
// oracle; returns the deltas the oracle's decoder makes from those rows.
std::vector<float> referenceDeltas(Stream& s) {
  at::Oracle enc(at::bundle("ok") + "/a2x_enc_stream.onnx");
  at::Oracle dec(at::bundle("ok") + "/a2x_dec.onnx");
  const std::vector<float> pos = lt::arrayOf(at::bundle("ok") + "/a2x_pos.f32");
  const int h = s.contextWidth(), p = s.posRows(), a = s.audioFrames();
  EXPECT_LT(p, a) << "the utterance must reach past the pos table";
  for (int e0 = 0; e0 < a;) {
    int e1 = std::min(e0 + 64, a), lo = std::max(0, e0 - s.leftSpan()), hi = std::min(e1 + s.lookAheadSpan(), a);
    if (e0 < p) e1 = std::min(e1, p), hi = std::min(hi, p);
    const std::vector<float> ctx = at::ref::band(enc, pos, h, 2, 4, s.feature(lo), lo, hi);
    for (int f = e0; f < e1; ++f)
      EXPECT_LT(lt::maxAbsDiff(s.encoderRow(f), &ctx[static_cast<size_t>(f - lo) * h], h), 1e-5) << "frame " << f;
    e0 = e1;
  }
  const std::vector<float> norm = lt::arrayOf(at::bundle("ok") + "/a2x_norm.f32");
  std::vector<float> prev(63, 0.f), hidden(h, 0.f), deltas;
  for (int f = 0; f < a; ++f) {
    std::vector<float> ctx(s.encoderRow(f), s.encoderRow(f) + h);
    const std::vector<std::vector<int64_t>> shapes{{1, h}, {1, 63}, {1, 1, h}};
    const std::vector<float> m = dec.run({"ctx_t", "prev", "h"}, {&ctx, &prev, &hidden}, shapes, "m");
    hidden = dec.run({"ctx_t", "prev", "h"}, {&ctx, &prev, &hidden}, shapes, "h_out");
    prev = m;
    for (int k = 0; k < 63; ++k) deltas.push_back(m[k] * norm[63 + k] + norm[k]);
  }
  return deltas;
}

}  // namespace

// The 8 s path finished before the first pull against the reference, then
// the same audio pushed in pieces with pulls in between.
TEST(A2xStream, EightSecondPathMatchesTheReferenceAndInterleavedPullsStayClose) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", at::w2v("w2v").c_str());
    Stream s(at::bundle("ok"), 1);
    ASSERT_FALSE(s.shortWindow());
    const std::vector<float> audio = at::twoSentences();
    s.push(audio.data(), static_cast<int>(audio.size()));
    s.finish();
    decodeAll(s);
    const int frames = s.audioFrames();
    ASSERT_EQ(frames, static_cast<int>((audio.size() + 639) / 640));
    at::Oracle w(at::w2v("w2v"));
    const std::vector<float> feat = at::ref::features8s(w, audio, frames);
    for (int f = 0; f < frames; ++f) ASSERT_LE(halfSteps(s.feature(f), &feat[f * 9216ull], 9216), 2.0) << f;
    const std::vector<float> oracle = referenceDeltas(s);

    Rows rows;
    ASSERT_EQ(pullAll(s, rows, 37), frames);
    std::vector<float> deltas(frames * 63ull);
    ASSERT_EQ(s.deltas(audio.data(), static_cast<int>(audio.size()), deltas.data(), frames), frames);
    std::vector<float> pulled(frames * 63ull);
    for (size_t i = 0; i < pulled.size(); ++i) pulled[i] = rows.xd[i] - rows.xs[i];
    EXPECT_LT(lt::maxAbsDiff(pulled.data(), oracle.data(), pulled.size()), 1e-5);
    // Bands of 64 and of 24 frames see the same features through the same
    // mask; only the length and order of the float sums differ.
    EXPECT_LT(lt::maxAbsDiff(pulled.data(), deltas.data(), pulled.size()), 1e-5);

    Stream t(at::bundle("ok"), 1);
    Rows inter;
    for (size_t at = 0; at < audio.size(); at += 3200) {
      t.push(&audio[at], static_cast<int>(std::min<size_t>(3200, audio.size() - at)));
      pullAll(t, inter, 5);
    }
    t.finish();
    pullAll(t, inter);
    ASSERT_EQ(inter.size(), frames);
    for (size_t i = 0; i < pulled.size(); ++i) pulled[i] = inter.xd[i] - inter.xs[i];
    // Windows that ran on partial audio normalise over their zero tail (lip deltas are about 0.04).
    EXPECT_LT(lt::maxAbsDiff(pulled.data(), deltas.data(), pulled.size()), 0.04);
  });
}

TEST(A2xStream, ShortWindowRowsDoNotDependOnPushSizesOrPullRhythm) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", at::w2v("w2v_pair").c_str());
    const std::vector<float> audio = at::twoSentences();
    {
      Stream s(at::bundle("ok"), 1);
      ASSERT_TRUE(s.shortWindow());
      s.push(audio.data(), static_cast<int>(audio.size()));
      s.finish();
      decodeAll(s);
      at::Oracle trunk(lt::fixture("w2v_pair/audio_encoder_fp16_window_trunk.onnx"));
      at::Oracle head(lt::fixture("w2v_pair/audio_encoder_fp16_window_head.onnx"));
      for (int b = 0; b < s.featuresMade(); b += 8) {
        const std::vector<float> want = at::ref::blockFeatures(trunk, head, audio, b, 12);
        ASSERT_LE(halfSteps(s.feature(b), want.data(), want.size()), 2.0) << "block " << b;
      }
    }
    Rows first;
    const int chunks[] = {16000, 1, 320, 0};  // 0: random sizes
    std::mt19937 rng(7);
    for (int chunk : chunks) {
      Stream s(at::bundle("ok"), 1);
      Rows rows;
      for (size_t at = 0; at < audio.size();) {
        const size_t n = std::min<size_t>(chunk ? chunk : 1 + rng() % 9000, audio.size() - at);
        s.push(&audio[at], static_cast<int>(n));
        at += n;
        if (rng() % 3 == 0) s.avail();
        if (rng() % 2 == 0) pullAll(s, rows, 1 + static_cast<int>(rng() % 20));
      }
      s.finish();
      pullAll(s, rows);
      if (first.size() == 0) {
        first = rows;
        continue;
      }
      ASSERT_EQ(rows.size(), first.size()) << "chunk " << chunk;
      EXPECT_EQ(std::memcmp(rows.xd.data(), first.xd.data(), rows.xd.size() * sizeof(float)), 0) << "chunk " << chunk;
      EXPECT_EQ(rows.idx, first.idx);
    }
    // A negative right clamps to 0 (plus one block), yet the trunk window
    // still moves: block 0's ends 92 frames before the audio starts, past
    // the trunk's last step.
    lt::ScopedEnv right("LE_A2X_W2V_RIGHT", "-100");
    Stream s(at::bundle("ok"), 1);
    EXPECT_EQ(s.right(), 8);
    s.push(audio.data(), 16000);
    s.finish();
    EXPECT_EQ(lt::errorOf([&] { s.avail(); }), "w2v_win: trunk pos out of range");
  });
}

TEST(A2xStream, FramesLetOutBeforeFinishFollowTheArithmetic) {
  // Block edges, single samples, long jumps, then a step that walks across
  // every phase of the 8-frame blocks.
  std::vector<int64_t> pushes = {639, 1, 4479, 1, 5120, 15000, 1, 40000, 64000, 100000};
  pushes.insert(pushes.end(), 48, 1777);
  const size_t needed = static_cast<size_t>(std::accumulate(pushes.begin(), pushes.end(), int64_t{0}));
  for (const char* dir : {"w2v", "w2v_pair"}) {
    AT_FRESH_PROCESS({
      lt::ScopedEnv env("W2V_ONNX", at::w2v(dir).c_str());
      Stream s(at::bundle("ok"), 1);
      const std::vector<float> audio = at::twoSentences(needed);  // every push reads real audio
      Rows rows;
      int64_t pushed = 0;
      for (int64_t n : pushes) {
        s.push(&audio[pushed], static_cast<int>(n));
        pushed += n;
        pullAll(s, rows, 3);
        EXPECT_EQ(rows.size(), at::ref::pullable(pushed, s.lookAheadSpan(), s.right(), s.shortWindow(), 12))
            << dir << " after " << pushed << " samples";
      }
      EXPECT_EQ(s.total(), -1);
      s.finish();
      pullAll(s, rows);
      EXPECT_EQ(rows.size(), (pushed + 639) / 640);
      EXPECT_EQ(s.total(), (pushed + 639) / 640);
    });
  }
}

TEST(A2xStream, IdleCursorWalksLoopsAndContinuesAcrossReset) {
  struct Case {
    int start, direction, loop;
    std::vector<int> want;
  };
  const Case cases[] = {
      {0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1, 2}},
      {0, -1, 1, {0, 3, 2, 1, 0, 3}},
      {2, -5, 0, {2, 1, 0, 1, 2, 3, 2}},
      {0, 1, 1, {0, 1, 2, 3, 0, 1}},
  };
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", at::w2v("w2v").c_str());
    Stream s(at::bundle("ok"), 1);
    ASSERT_EQ(s.nt(), 4);
    for (const Case& c : cases) {
      s.reset(c.start, c.direction, c.loop);
      for (size_t t = 0; t < c.want.size(); ++t) EXPECT_EQ(s.idleIndex(static_cast<int>(t)), c.want[t]) << t;
    }
    // After 10 frames in loop mode a negative start continues at index 2.
    s.reset(0, 1, 1);
    const std::vector<float> audio = at::speech();
    s.push(audio.data(), 6400);
    s.finish();
    Rows rows;
    ASSERT_EQ(pullAll(s, rows), 10);
    const std::vector<float> xs = lt::arrayOf(at::bundle("ok") + "/xs_target.bin");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(std::memcmp(&rows.xs[i * 63], &xs[rows.idx[i] * 63], 63 * 4), 0);
    s.reset(-1, 1, 1);
    EXPECT_EQ(s.idleIndex(0), 2);
    EXPECT_EQ(s.pulled(), 0);
    EXPECT_EQ(s.total(), -1);

    Stream one(at::bundle("nt1"), 1);
    one.reset(3, -1, 0);
    for (int t = 0; t < 5; ++t) EXPECT_EQ(one.idleIndex(t), 0);
  });
}

TEST(A2xStream, LongStreamsKeepBoundedBuffersAndRefuseTrimmedReads) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", at::w2v("w2v").c_str());
    Stream s(at::bundle("ok"), 1);
    const std::vector<float> audio = at::twoSentences();
    Rows rows;
    size_t peak = 0;
    for (int round = 0; round < 8; ++round)  // about 84 s
      for (size_t at = 0; at < audio.size(); at += 1600) {
        s.push(&audio[at], static_cast<int>(std::min<size_t>(1600, audio.size() - at)));
        rows = {};
        pullAll(s, rows, 64);
        if (round > 1) peak = std::max(peak, s.retainedBytes());
      }
    // Two 8 s windows of features (200 frames x 36 KiB) plus trimming slack.
    EXPECT_LT(peak, 24u << 20);
    EXPECT_EQ(lt::errorOf([&] { s.feature(0); }), "stream read behind the retained window (feature)");
  });
}
