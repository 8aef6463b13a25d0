// le_a2x_*: creation refusals and warnings, return conventions and the
// family's own last error, each object in a fresh process.
#include <gtest/gtest.h>

#include "audio/a2x_support.h"
#include "le/le_a2x.h"
#include "support/fixtures.h"

extern "C" int le_test_a2x_header_from_c(void);

namespace {

const std::string kW2v = lt::fixture("w2v/w2v8.onnx");

}  // namespace

TEST(A2xApi, CreationRefusesEachBrokenBundleWithItsSentence) {
  const struct {
    const char* bundle;
    const char* w2v;
    std::string error;  // exact, or a prefix when it ends in "..."
  } cases[] = {
      {"ok", "/nonexistent/w2v8.onnx", "le_a2x_create: shared w2v load failed"},
      {"ok", nullptr, "le_a2x_create: $W2V_ONNX not set"},
      {"no_meta", kW2v.c_str(), "le_a2x_create: a2x_meta.json missing in " + at::bundle("no_meta")},
      {"empty_meta", kW2v.c_str(), "le_a2x_create: a2x_meta.json missing in " + at::bundle("empty_meta")},
      {"no_window", kW2v.c_str(), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)"},
      {"short_pos", kW2v.c_str(), "le_a2x_create: pos/norm/xs_target read failed"},
      {"short_norm", kW2v.c_str(), "le_a2x_create: pos/norm/xs_target read failed"},
      {"empty_xs", kW2v.c_str(), "le_a2x_create: pos/norm/xs_target read failed"},
      {"no_decoder", kW2v.c_str(), "le_a2x_create: ..."},
      {"bad_encoder", kW2v.c_str(), "le_a2x_create: ..."},
  };
  AT_FRESH_PROCESS({
    for (const auto& c : cases) {
      lt::ScopedEnv env("W2V_ONNX", c.w2v);
      EXPECT_EQ(le_a2x_create(at::bundle(c.bundle).c_str(), 1), nullptr) << c.bundle;
      const std::string err = le_a2x_last_error();
      if (c.error.size() > 3 && c.error.compare(c.error.size() - 3, 3, "...") == 0)
        EXPECT_EQ(err.rfind(c.error.substr(0, c.error.size() - 3), 0), 0u) << err;
      else
        EXPECT_EQ(err, c.error) << c.bundle;
    }
    EXPECT_EQ(le_a2x_create(nullptr, 1), nullptr);
    EXPECT_EQ(std::string(le_a2x_last_error()), "le_a2x_create: no bundle directory given");
  });
}

// Priming needs the 8 s encoder even where the pair serves the stream: none
// refuses creation, one whose run fails leaves the zero state. Each process
// prints the cadence line once.
TEST(A2xApi, SilencePrimingRefusesWithoutTheEncoderAndFallsBackWhenItFails) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", lt::fixture("w2v_pair_no8s/w2v8.onnx").c_str());
    le_a2x* a = nullptr;
    const std::string err = lt::stderrOf([&] { a = le_a2x_create(at::bundle("primed").c_str(), 1); });
    EXPECT_EQ(a, nullptr);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: shared w2v load failed (silence_prime)");
    EXPECT_NE(err.find("[le_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size invariant, "
                       "threads=1\n"),
              std::string::npos)
        << err;
    {
      lt::ScopedEnv prime("LE_A2X_SILENCE_PRIME", "3");
      EXPECT_EQ(le_a2x_create(at::bundle("ok").c_str(), 1), nullptr) << "the switch overrides the meta";
    }
    lt::ScopedEnv prime("LE_A2X_SILENCE_PRIME", "0");
    EXPECT_EQ(lt::stderrOf([&] { a = le_a2x_create(at::bundle("primed").c_str(), 1); }), "") << "once per process";
    ASSERT_NE(a, nullptr) << le_a2x_last_error();
    le_a2x_destroy(a);
  });
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", lt::fixture("w2v_prime_fails/w2v8.onnx").c_str());
    le_a2x* primed = nullptr;
    const std::string err = lt::stderrOf([&] { primed = le_a2x_create(at::bundle("primed").c_str(), 1); });
    le_a2x* plain = le_a2x_create(at::bundle("ok").c_str(), 1);  // the same models, never primed
    ASSERT_TRUE(primed && plain) << le_a2x_last_error();
    EXPECT_NE(err.find("[le_a2x] silence-prime failed ("), std::string::npos) << err;
    EXPECT_NE(err.find(") -- legacy zero state\n"), std::string::npos) << err;
    const std::vector<float> audio = at::speech();
    const int frames = 25;
    std::vector<int> idx(frames);
    std::vector<float> xs(frames * 63), rows[2] = {std::vector<float>(frames * 63), std::vector<float>(frames * 63)};
    le_a2x* both[2] = {primed, plain};
    for (int i = 0; i < 2; ++i) {
      le_a2x_push(both[i], audio.data(), frames * 640);
      le_a2x_finish(both[i]);
      EXPECT_EQ(le_a2x_pull(both[i], idx.data(), xs.data(), rows[i].data(), frames), frames);
      le_a2x_destroy(both[i]);
    }
    EXPECT_EQ(rows[0], rows[1]) << "the decoder starts from zeros";
  });
}

TEST(A2xApi, TheGraphDecidesTheWidthAndAMismatchIsReported) {
  const struct {
    const char* bundle;
    int width;
    const char* warning;
  } cases[] = {
      {"ok", 1, nullptr},
      {"ok_narrow", 0, nullptr},
      {"canonical", 1, nullptr},
      {"width_meta_false", 1,
       "[le_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) — serving the GRAPH (width=1). "
       "Repackage this bundle.\n"},
      {"width_meta_true", 0,
       "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) — serving the GRAPH (width=0). "
       "Repackage this bundle.\n"},
  };
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", kW2v.c_str());
    le_a2x_destroy(le_a2x_create(at::bundle("ok").c_str(), 1));  // the once-per-process lines go first
    for (const auto& c : cases) {
      le_a2x* a = nullptr;
      const std::string err = lt::stderrOf([&] { a = le_a2x_create(at::bundle(c.bundle).c_str(), 1); });
      ASSERT_NE(a, nullptr) << le_a2x_last_error();
      EXPECT_EQ(le_a2x_width(a), c.width) << c.bundle;
      EXPECT_EQ(err, c.warning ? c.warning : "") << c.bundle;
      le_a2x_destroy(a);
    }
  });
}

TEST(A2xApi, ReturnConventionsAndTheFamilysLastError) {
  EXPECT_EQ(le_test_a2x_header_from_c(), 1);
  AT_FRESH_PROCESS({
    {
      lt::ScopedEnv env("W2V_ONNX", nullptr);
      EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
    }
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
    EXPECT_EQ(le_a2x_preload_w2v("/nonexistent/w2v8.onnx"), 0);
    const std::string failed = le_a2x_last_error();
    EXPECT_EQ(failed.rfind("le_a2x_preload_w2v: ", 0), 0u) << failed;
    EXPECT_NE(failed.find("/nonexistent/w2v8.onnx"), std::string::npos) << "the runtime's text: " << failed;
    EXPECT_EQ(le_a2x_preload_w2v(kW2v.c_str()), 1);
    EXPECT_EQ(le_a2x_last_error(), failed) << "never cleared";
    lt::ScopedEnv env("W2V_ONNX", kW2v.c_str());
    le_a2x* a = le_a2x_create(at::bundle("ok").c_str(), 0);
    le_a2x* narrow = le_a2x_create(at::bundle("ok_narrow").c_str(), 99);
    ASSERT_TRUE(a && narrow) << le_a2x_last_error();
    EXPECT_EQ(le_a2x_nt(a), 4);
    const std::vector<float> audio = at::speech();
    const int n = 16000, frames = 25;
    std::vector<int> idx(frames);
    std::vector<float> out(frames * 63), wn(frames, -1.f), xs(frames * 63), xd(frames * 63), pwn(frames, -1.f);
    EXPECT_EQ(le_a2x_deltas(a, audio.data(), 0, out.data(), frames), 0);
    EXPECT_EQ(le_a2x_deltas(a, audio.data(), n, out.data(), frames - 1), -2);
    EXPECT_EQ(le_a2x_deltas_wn(narrow, audio.data(), n, out.data(), wn.data(), frames), -3);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
    le_a2x_push(narrow, audio.data(), n);
    le_a2x_finish(narrow);
    EXPECT_EQ(le_a2x_pull_wn(narrow, idx.data(), xs.data(), xd.data(), pwn.data(), frames), frames);
    EXPECT_EQ(pwn, std::vector<float>(frames, 0.f)) << "no wn output: zeros";
    EXPECT_EQ(le_a2x_deltas(nullptr, audio.data(), n, out.data(), frames), -1);
    EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_deltas: ", 0), 0u);
    EXPECT_EQ(le_a2x_deltas_wn(a, audio.data(), n, out.data(), wn.data(), frames), frames);
    EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_deltas: ", 0), 0u);

    EXPECT_EQ(le_a2x_push(a, audio.data(), 0), 1);
    EXPECT_EQ(le_a2x_push(a, audio.data(), n), 1);
    le_a2x_set_eager(a, 3);
    le_a2x_finish(a);
    EXPECT_EQ(le_a2x_total(a), frames);
    EXPECT_EQ(le_a2x_pull_wn(a, idx.data(), xs.data(), xd.data(), pwn.data(), 0), 0);
    EXPECT_EQ(le_a2x_pull_wn(a, idx.data(), xs.data(), xd.data(), pwn.data(), frames), frames);
    for (int f = 0; f < frames; ++f) {
      EXPECT_NEAR(pwn[f], wn[f], 1e-5) << f;
      EXPECT_GT(wn[f], 0.f) << "the forged wn is a sigmoid";
    }
    EXPECT_EQ(le_a2x_avail(a), 0);
    EXPECT_EQ(le_a2x_pull(a, idx.data(), xs.data(), xd.data(), frames), 0);
    le_a2x_reset(a, 0, 1, 1);
    EXPECT_EQ(le_a2x_total(a), -1);
    le_a2x_destroy(a);
    le_a2x_destroy(narrow);
    EXPECT_EQ(le_a2x_avail(nullptr), 0);
    le_a2x_reset(nullptr, 0, 1, 1);
    le_a2x_finish(nullptr);
    le_a2x_set_eager(nullptr, 1);
  });
}
