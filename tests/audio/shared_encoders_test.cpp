// The process-wide speech encoders: switch parsing, the float16 Gelu
// fall-back, the owner thread, and the once-per-process pair search (each
// case in a fresh process).
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "audio/a2x_meta.h"
#include "audio/a2x_stream.h"
#include "audio/a2x_support.h"
#include "audio/shared_encoders.h"
#include "ort/options.h"
#include "ort/providers.h"
#include "support/fixtures.h"

namespace a2x = le::a2x;

TEST(SharedEncoders, CudaSwitchesNeedExactlyOneAndAPositiveMemoryLimit) {
  const struct {
    const char* cuda;
    const char* tag;
    bool on;
  } requests[] = {{"1", "w2v", true}, {"1", "enc/dec", false}, {"true", "w2v", false},
                  {"11", "w2v", false}, {nullptr, "w2v", false}, {"", "w2v", false}};
  for (const auto& r : requests) {
    lt::ScopedEnv env("LE_A2X_CUDA", r.cuda);
    EXPECT_EQ(le::ort::cudaRequested(r.tag), r.on) << (r.cuda ? r.cuda : "unset") << " " << r.tag;
  }
  const struct {
    const char* value;
    size_t mib;
  } limits[] = {{nullptr, 3072}, {"0", 3072}, {"garbage", 3072}, {"-5", 3072}, {"512", 512}};
  for (const auto& l : limits) {
    lt::ScopedEnv env("LE_A2X_CUDA_MEM_MIB", l.value);
    EXPECT_EQ(le::ort::cudaMemMiB(), l.mib) << (l.value ? l.value : "unset");
  }
  // This runtime carries no CUDA provider: the append fails and the options stay usable.
  Ort::SessionOptions options = le::ort::speechOptions(1, "w2v");
  lt::ScopedEnv env("LE_A2X_CUDA", "1");
  const std::string err = lt::stderrOf([&] { le::ort::appendCudaIfAsked(options, "w2v"); });
  EXPECT_EQ(err.rfind("[le_a2x] CUDA EP append failed (w2v): ", 0), 0u) << err;
  EXPECT_NE(err.find(" -- falling back to CPU\n"), std::string::npos) << err;
  EXPECT_EQ(lt::stderrOf([&] { le::ort::appendCudaIfAsked(options, "enc/dec"); }), "");
}

TEST(SharedEncoders, FileBytesForTheLoadReport) {
  EXPECT_EQ(a2x::w2v_file_bytes(nullptr), -1);
  EXPECT_EQ(a2x::w2v_file_bytes(""), -1);
  EXPECT_EQ(a2x::w2v_file_bytes("/nonexistent/w2v8.onnx"), -1);
  EXPECT_EQ(a2x::w2v_file_bytes(at::w2v("w2v").c_str()), static_cast<int64_t>(lt::slurp(at::w2v("w2v")).size()));
}

// This runtime neither fuses a float16 erf-Gelu (its constant check is
// float32-tight) nor lacks a CPU path for a float16 com.microsoft.Gelu (it
// inlines the function and computes in float32), so both open at the top
// level. The fall-back itself is driven by a refusal naming both words.
TEST(SharedEncoders, Float16GeluOpensHereAndTheFallBackRetriesAtBasic) {
  for (const char* model : {"gelu16.onnx", "gelu16_ms.onnx"}) {
    Ort::SessionOptions options = le::ort::speechOptions(1, "w2v");
    std::unique_ptr<Ort::Session> s;
    EXPECT_EQ(lt::stderrOf([&] { s = a2x::le_a2x_open_session(lt::fixture(model).c_str(), options); }), "");
    std::vector<float> x{-3, -1, -0.5f, 0, 0.25f, 1, 2, 4};
    const std::vector<float> y = at::Oracle(lt::fixture(model)).run({"x"}, {&x}, {{1, 8}}, "y");
    for (size_t i = 0; i < x.size(); ++i)
      EXPECT_NEAR(y[i], 0.5 * x[i] * (1 + std::erf(x[i] / std::sqrt(2.0))), 4e-3) << model << " " << x[i];
  }
  Ort::SessionOptions options = le::ort::speechOptions(1, "w2v");
  const std::string path = lt::fixture("gelu16_refused.onnx");
  std::string err;
  const std::string text = lt::stderrOf([&] { err = lt::errorOf([&] { a2x::le_a2x_open_session(path.c_str(), options); }); });
  EXPECT_EQ(text, "[le_a2x] " + path +
                      ": ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no CPU kernel "
                      "for; reopening at ORT_ENABLE_BASIC\n");
  EXPECT_NE(err.find("Gelu_mixed"), std::string::npos) << err;
  // Other failures propagate without a retry.
  EXPECT_EQ(lt::stderrOf([&] { lt::errorOf([&] { a2x::le_a2x_open_session("/nonexistent.onnx", options); }); }), "");
}

TEST(SharedEncoders, OwnerThreadRunsEveryJobAndCarriesExceptionsBack) {
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id seen;
  a2x::le_a2x_on_owner_thread([&] { seen = std::this_thread::get_id(); });
  EXPECT_EQ(seen, caller) << "without CUDA every job runs on the caller";

  lt::ScopedEnv env("LE_A2X_CUDA", "1");
  std::vector<std::thread::id> ids;
  for (int i = 0; i < 3; ++i)
    std::thread([&] { a2x::le_a2x_on_owner_thread([&] { ids.push_back(std::this_thread::get_id()); }); }).join();
  a2x::le_a2x_on_owner_thread([&] {
    EXPECT_TRUE(a2x::onOwnerThread());
    a2x::le_a2x_on_owner_thread([&] { ids.push_back(std::this_thread::get_id()); });  // nested: no deadlock
  });
  ASSERT_EQ(ids.size(), 4u);
  for (const auto& id : ids) EXPECT_EQ(id, ids[0]);
  EXPECT_NE(ids[0], caller);
  EXPECT_FALSE(a2x::onOwnerThread());
  EXPECT_EQ(lt::errorOf([] { a2x::le_a2x_on_owner_thread([] { throw std::runtime_error("job failed"); }); }),
            "job failed");
  int after = 0;
  a2x::le_a2x_on_owner_thread([&] { after = 1; });
  EXPECT_EQ(after, 1) << "the owner keeps serving after a failed job";
}

TEST(SharedEncoders, StreamsWorkWithTheOwnerThreadAndTheCudaFallBack) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv cuda("LE_A2X_CUDA", "1");
    lt::ScopedEnv env("W2V_ONNX", at::w2v("w2v_pair").c_str());
    std::string err;
    std::unique_ptr<a2x::Stream> s;
    err = lt::stderrOf([&] { s = std::make_unique<a2x::Stream>(lt::fixture("a2x/primed"), 1); });
    EXPECT_NE(err.find("[le_a2x] CUDA EP append failed (w2v): "), std::string::npos) << err;
    EXPECT_EQ(err.find("(enc/dec)"), std::string::npos) << err;
    EXPECT_NE(err.find("[le_a2x] silence-primed AR state cached (8 frames)\n"), std::string::npos) << err;
    ASSERT_TRUE(s->shortWindow() && s->primed());
    const std::vector<float> audio = at::speech();
    s->push(audio.data(), 64000);
    s->finish();
    for (int i = 0; i < 50 && s->avail() < 100; ++i) {
    }
    EXPECT_EQ(s->avail(), 100);
  });
}

// Each case starts a process: which pair loads, and the line that says so.
TEST(SharedEncoders, PairSearchOrderAndItsReportLines) {
  const std::string undeclared = lt::fixture("w2v_undeclared/audio_encoder_fp16_window_trunk.onnx");
  const std::string pairHead = lt::fixture("w2v_pair/audio_encoder_fp16_window_head.onnx");
  const struct {
    const char* w2vDir;
    const char* winEnv;
    const char* headEnv;
    const char* line;  // expected in the creation's standard error
    bool loaded;
  } cases[] = {
      {"w2v_pair", nullptr, nullptr, "w2v_pair/audio_encoder_fp16_window_trunk.onnx (", true},
      {"w2v_legacy", nullptr, nullptr, "w2v_legacy/w2v_trunk32.onnx (", true},
      {"w2v_half", nullptr, nullptr, "w2v_half/w2v_trunk32.onnx (", true},
      {"w2v", nullptr, nullptr, "short-window audio frontend NOT DEPLOYED on this plane", false},
      {"w2v_pair", "", "x", "w2v_pair/audio_encoder_fp16_window_trunk.onnx (", true},
      {"w2v", undeclared.c_str(), "", "NOT DEPLOYED", false},
      {"w2v", undeclared.c_str(), pairHead.c_str(), "loaded (LT=from-first-run) trunk=", true},
      {"w2v_broken", nullptr, nullptr, "[le_a2x] short-window w2v load FAILED (", false},
  };
  for (const auto& c : cases) {
    AT_FRESH_PROCESS({
      lt::ScopedEnv env("W2V_ONNX", at::w2v(c.w2vDir).c_str());
      lt::ScopedEnv win("LE_A2X_W2V_WIN_ONNX", c.winEnv);
      lt::ScopedEnv head("LE_A2X_W2V_HEAD_ONNX", c.headEnv);
      std::unique_ptr<a2x::Stream> s;
      const std::string err = lt::stderrOf([&] { s = std::make_unique<a2x::Stream>(lt::fixture("a2x/ok"), 1); });
      EXPECT_NE(err.find(c.line), std::string::npos) << c.w2vDir << ": " << err;
      EXPECT_EQ(s->shortWindow(), c.loaded) << c.w2vDir;
      if (c.loaded) {
        const std::vector<float> audio = at::speech();
        s->push(audio.data(), 32000);
        s->finish();
        EXPECT_GT(s->avail(), 0);
        EXPECT_EQ(a2x::trunkSteps(), 401) << "learnt from the first run when the graph does not say";
      }
      // Tried once: a second object neither retries nor reports again.
      lt::ScopedEnv other("W2V_ONNX", at::w2v("w2v_pair").c_str());
      const std::string again = lt::stderrOf([&] { a2x::Stream second(lt::fixture("a2x/ok"), 1); });
      EXPECT_EQ(again.find("short-window"), std::string::npos) << again;
      EXPECT_EQ(a2x::get_shared_w2v_win(1, at::w2v("w2v_pair").c_str()), c.loaded);
    });
  }
}

TEST(SharedEncoders, TheFirstLoadedEncoderPathWins) {
  AT_FRESH_PROCESS({
    lt::ScopedEnv env("W2V_ONNX", "/nonexistent/w2v8.onnx");
    EXPECT_NE(lt::errorOf([] { a2x::get_shared_w2v("/nonexistent/w2v8.onnx", 1); }), "(no error)");
    Ort::Session* first = a2x::get_shared_w2v(at::w2v("w2v").c_str(), 1);  // a failed load is retried
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(a2x::get_shared_w2v("/nonexistent/w2v8.onnx", 1), first);
    a2x::Stream s(lt::fixture("a2x/ok"), 1);  // W2V_ONNX names a missing file: the loaded encoder serves
    const std::vector<float> audio = at::speech();
    s.push(audio.data(), 12800);
    s.finish();
    EXPECT_EQ(s.avail(), 20);
  });
}

TEST(A2xMeta, PlainTextScanOfKeys) {
  const struct {
    const char* text;
    const char* key;
    int want;
  } ints[] = {
      {R"({"h": 32})", "h", 32},        {R"({"h":   -7})", "h", -7},        {R"({"h" 32})", "h", 5},
      {R"({"hh": 1, "h": 2})", "h", 2}, {R"({"window": x})", "window", 5}, {R"("h")", "h", 5},
      {R"({"left":99999999999})", "left", 2147483647}, {R"({"layers":
 4})", "layers", 4},  {"", "h", 5},
      {R"({"a": "h", "h": 3})", "h", 3},  // a quoted value counts: the first ':' after it is the key's
  };
  for (const auto& c : ints) EXPECT_EQ(a2x::metaInt(c.text, c.key, 5), c.want) << c.text;
  const struct {
    const char* text;
    bool want;
  } flags[] = {{R"({"width": true})", true}, {R"({"width": false})", false}, {R"({"width": 2})", true},
               {R"({"width": 0})", false},   {R"({"h": 1})", false},         {R"({"width": "yes"})", false}};
  for (const auto& c : flags) EXPECT_EQ(a2x::metaFlag(c.text, "width"), c.want) << c.text;
  const a2x::Meta m = a2x::parseMeta(R"({"window": 2, "left": 4})");
  EXPECT_EQ(m.h, 256);
  EXPECT_EQ(m.layers, 6);
  EXPECT_EQ(m.silencePrime, 0);
  EXPECT_FALSE(m.width);
}
