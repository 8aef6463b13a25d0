// What construction refuses and what it prints: the keypoint contract, batch
// discovery, missing members, ep strings, the fallbacks and the profile summary.
#include <gtest/gtest.h>
#include <onnxruntime_c_api.h>

#include <cstdio>
#include <filesystem>
#include <list>
#include <utility>

#include "render/coreml.h"
#include "render/diag.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<const char*, const char*>>;

// The constructor's exception text; empty when it built.
std::string refusal(const lt::OpenBundle& b, const std::string& key, const std::string& ep = "") {
  return lt::thrown([&] { b.renderer(key, ep); });
}

// Everything written to standard error while the renderer was built; it must build on the ORT CPU EP.
std::string buildLog(const lt::OpenBundle& b, const std::string& ep, const Env& env = {}) {
  std::list<lt::ScopedEnv> scoped;
  for (const auto& [name, value] : env) scoped.emplace_back(name, value);
  ::testing::internal::CaptureStderr();
  auto r = b.renderer("render", ep);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_STREQ(r->ep(), "cpu") << ep;
  EXPECT_STREQ(r->backend(), "ort") << ep;
  return log;
}

size_t occurrences(const std::string& log, const std::string& line) {
  size_t n = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
  return n;
}

const lt::OpenBundle& director() {
  static const lt::OpenBundle b(lt::fixture("bundle_director"));
  return b;
}

const std::string kCpuLine = "[le] director ep=cpu (ORT CPU EP)\n";
const std::string kNeonLine =
    "[le] NEON backend refused: render is not the fused m4b graph (golden/unified director?); using ORT\n";
const std::string kGsLine =
    "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.velomark::GridSampleFast rewrite DISABLED (render); the "
    "custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle now runs "
    "ORT's own GridSample.\n";

TEST(RendererConstruction, RefusalTexts) {
  const std::string contract = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on ";
  const std::string feeds = " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le.h). ";
  const std::string tail =
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
      "host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent it.";
  // The sibling bundle has FeatSynth features but no warp prior, and also serves a P_rgb graph.
  const std::string dir = lt::scratchDir() + "/no_prior";
  fs::copy(lt::fixture("bundle_featsynth"), dir, fs::copy_options::recursive);
  fs::remove(dir + "/P.f16");
  fs::copy_file(director().manifest.modelPath("render"), dir + "/model_prgb.onnx");
  const lt::OpenBundle noPrior(dir);
  struct Case {
    const lt::OpenBundle& bundle;
    const char* key;
    const char* ep;
    std::string want;
  };
  const Case cases[] = {
      {director(), "kp22", "",
       contract + director().manifest.modelPath("kp22") + " — the graph declares kp_driving with 22" + feeds +
           "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
           "second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which "
           "nothing on this path calls yet), so it cannot drive this director. " + tail},
      {director(), "kp20", "", contract + director().manifest.modelPath("kp20") +
                                  " — the graph declares kp_driving with 20" + feeds + tail},
      // Symbolic rows and a flat [B,63] input are not the renderer's to judge.
      {director(), "kpdyn", "", ""},
      {director(), "kpflat", "", ""},
      {director(), "dynbatch", "", "pooled64 input not found / bad shape"},
      {director(), "featsynth", "", "FeatSynth graph but bundle lacks fs_red.f16"},
      {director(), "render", "cuda", "Renderer: unknown ep 'cuda'"},
      {director(), "render", "cpu", "Renderer: unknown ep 'cpu'"},
      {noPrior, "prgb", "",
       "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
       "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
       "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session."},
      {noPrior, "render", "", ""},  // the FeatSynth graph needs no warp prior
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.bundle, c.key, c.ep), c.want) << c.key << " ep=" << c.ep;

  for (const std::string ep : {"xnnpack", "xnnpack:fp16"}) {
    const std::string text = refusal(director(), "render", ep);
    EXPECT_EQ(text.rfind("Renderer: ep '" + ep + "' is REFUSED. This renderer rewrites its graph", 0), 0u) << text;
    EXPECT_NE(text.find("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."),
              std::string::npos);
  }
}

TEST(RendererConstruction, LogLines) {
  const Env gsOff = {{"LE_GS_REWRITE", "0"}};
  const Env quiet = {{"VELOMARK_ENGINE_QUIET", "1"}, {"VELOMARK_DEBUG", nullptr}, {"LE_GS_REWRITE", "0"}};
  struct Case {
    const char* ep;
    Env env;
    std::string line;
    size_t times;
  };
  const Case cases[] = {
      {"", {}, kCpuLine, 1},
      {"", {},
       "[le] !!! compose alpha: ELLIPSE (render) — this bundle carries no lip_template.v1.json, so the director "
       "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
       "models/vantice-2/tools/carry_lip_template_fleet\n",
       1},
      // A native backend request on a graph it does not implement runs ORT.
      {"neon", {}, kNeonLine, 1},
      {"neon", {}, kCpuLine, 1},
      {"", {{"LE_CONV_BACKEND", "neon"}}, kNeonLine, 1},
      {"", {{"LE_CONV_BACKEND", "neon2"}}, "NEON", 0},
      {"", gsOff, kGsLine, 1},
      {"coreml", gsOff, kGsLine, 1},  // the CoreML attempt stays silent; only the CPU fallback prints it
      // Quiet mode silences diagnostics but not standard error lines.
      {"", quiet, "LE_GS_REWRITE=0", 0},
      {"", quiet, kCpuLine, 1},
  };
  for (const Case& c : cases) {
    const std::string log = buildLog(director(), c.ep, c.env);
    EXPECT_EQ(occurrences(log, c.line), c.times) << "ep=" << c.ep << " line " << c.line << "log:\n" << log;
  }
  // CoreML without the provider falls back to the CPU EP, saying so in order.
  for (const char* ep : {"coreml:gpu", "coreml", "coreml-ane"}) {
    const std::string log = buildLog(director(), ep);
    const size_t refused = log.find("[le] CoreML EP session refused: ");
    ASSERT_NE(refused, std::string::npos) << log;
    EXPECT_NE(log.find(" — falling back to the ORT CPU EP\n", refused), std::string::npos) << log;
    EXPECT_NE(log.find(kCpuLine, refused), std::string::npos) << log;
  }
}

TEST(RendererDiag, QuietModeMovesTheDiagStreamUnlessDebugging) {
  {
    lt::ScopedEnv quiet("VELOMARK_ENGINE_QUIET", "1");
    lt::ScopedEnv debug("VELOMARK_DEBUG", nullptr);
    EXPECT_NE(le::diag_stream(), stderr);
    lt::ScopedEnv debugOn("VELOMARK_DEBUG", "1");
    EXPECT_EQ(le::diag_stream(), stderr);
  }
  lt::ScopedEnv notExactly("VELOMARK_ENGINE_QUIET", "10");
  EXPECT_EQ(le::diag_stream(), stderr);
}

TEST(RendererConstruction, ProfilingSummaryAtDestruction) {
  const std::string prefix = lt::scratchDir() + "/director";
  lt::ScopedEnv profile("LE_ORT_PROFILE", prefix.c_str());
  auto r = director().renderer("render");
  const int si = 1;
  const std::vector<float> xs = lt::gatherRows(director().xs, {2}), xd = lt::gatherRows(director().xd, {2});
  r->render(&si, xs.data(), xd.data(), 1);
  r->render(&si, xs.data(), xd.data(), 1);
  ::testing::internal::CaptureStderr();
  r.reset();
  const std::string log = ::testing::internal::GetCapturedStderr();

  double ms = -1;
  ASSERT_EQ(std::sscanf(log.c_str(), "[le_ort_profile] 2 frames: %lf ms/frame in Session::Run\n", &ms), 1) << log;
  EXPECT_GT(ms, 0.0);
  const size_t second = log.find("\n[le_ort_profile] ");
  ASSERT_NE(second, std::string::npos) << log;
  const std::string file = log.substr(second + 18, log.find('\n', second + 1) - second - 18);
  EXPECT_EQ(file.rfind(prefix, 0), 0u) << file;
  EXPECT_TRUE(fs::exists(file)) << file;
}

TEST(RendererCoreml, CacheDirAndUnits) {
  EXPECT_EQ(le::coremlCacheDir("/b"), std::string("/b/.coreml_cache/ort") + OrtGetApiBase()->GetVersionString());
  for (const auto& [ep, suffix] : {std::pair{"coreml", "all"}, {"coreml:", "all"}, {"coreml-ane", "ane"}})
    EXPECT_EQ(le::coremlUnitsSuffix(ep), suffix) << ep;
  for (const char* ep : {"coreml:ane", "coreml-ane"})
    EXPECT_STREQ(le::coremlComputeUnits(le::coremlUnitsSuffix(ep)), "CPUAndNeuralEngine") << ep;
  for (const auto& [units, want] :
       {std::pair{"cpu", "CPUOnly"}, {"gpu", "CPUAndGPU"}, {"all", "ALL"}, {"npu", "ALL"}})
    EXPECT_STREQ(le::coremlComputeUnits(units), want) << units;
}

}  // namespace
