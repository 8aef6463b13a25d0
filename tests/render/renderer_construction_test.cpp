// What construction refuses and what it prints: the keypoint contract, batch
// discovery, missing members, ep strings, the fallbacks and the profile summary.
#include <gtest/gtest.h>
#include <onnxruntime_c_api.h>

#include <cstdio>
#include <filesystem>

#include "render/coreml.h"
#include "render/diag.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;

// The constructor's exception text; empty when it built.
std::string refusal(const lt::OpenBundle& b, const std::string& key, const std::string& ep = "") {
  try {
    b.renderer(key, ep);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Everything written to standard error while the renderer was built.
std::string buildLog(const lt::OpenBundle& b, const std::string& key, const std::string& ep,
                     std::unique_ptr<le::Renderer>* keep = nullptr) {
  ::testing::internal::CaptureStderr();
  auto r = b.renderer(key, ep);
  std::string log = ::testing::internal::GetCapturedStderr();
  if (keep) *keep = std::move(r);
  return log;
}

class RendererConstruction : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { director = new lt::OpenBundle(lt::fixture("bundle_director")); }
  static void TearDownTestSuite() {
    delete director;
    director = nullptr;
  }
  static lt::OpenBundle* director;
};
lt::OpenBundle* RendererConstruction::director = nullptr;

const char* kContractTail =
    "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
    "host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent it.";

TEST_F(RendererConstruction, KeypointContractNamesTheWidthRowOnlyForTwentyTwoRows) {
  const std::string path22 = director->manifest.modelPath("kp22");
  EXPECT_EQ(refusal(*director, "kp22"),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path22 +
                " — the graph declares kp_driving with 22 keypoint rows, and this renderer feeds 21 (le::kHostKpRows, "
                "le/le.h). That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the "
                "a2x encoder's second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in "
                "le/le_a2x.h, which nothing on this path calls yet), so it cannot drive this director. " +
                kContractTail);
  const std::string path20 = director->manifest.modelPath("kp20");
  EXPECT_EQ(refusal(*director, "kp20"),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path20 +
                " — the graph declares kp_driving with 20 keypoint rows, and this renderer feeds 21 (le::kHostKpRows, "
                "le/le.h). " +
                kContractTail);
  // Symbolic rows and a flat [B,63] input are not the renderer's to judge.
  EXPECT_EQ(refusal(*director, "kpdyn"), "");
  EXPECT_EQ(refusal(*director, "kpflat"), "");
}

TEST_F(RendererConstruction, RefusesDynamicBatchAndMissingMembers) {
  EXPECT_EQ(refusal(*director, "dynbatch"), "pooled64 input not found / bad shape");
  EXPECT_EQ(refusal(*director, "featsynth"), "FeatSynth graph but bundle lacks fs_red.f16");

  // FeatSynth features but no warp prior, serving a P_rgb graph.
  const std::string dir = lt::scratchDir() + "/no_prior";
  fs::copy(lt::fixture("bundle_featsynth"), dir, fs::copy_options::recursive);
  fs::remove(dir + "/P.f16");
  fs::copy_file(director->manifest.modelPath("render"), dir + "/model_prgb.onnx");
  lt::OpenBundle noPrior(dir);
  EXPECT_EQ(refusal(noPrior, "prgb"),
            "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
            "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
            "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.");
  // The FeatSynth graph of that bundle does not need one.
  EXPECT_EQ(refusal(noPrior, "render"), "");
}

TEST_F(RendererConstruction, RefusesXnnpackAndUnknownEps) {
  for (const std::string ep : {"xnnpack", "xnnpack:fp16"}) {
    const std::string text = refusal(*director, "render", ep);
    EXPECT_EQ(text.rfind("Renderer: ep '" + ep + "' is REFUSED. This renderer rewrites its graph", 0), 0u) << text;
    EXPECT_NE(text.find("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."),
              std::string::npos);
  }
  EXPECT_EQ(refusal(*director, "render", "cuda"), "Renderer: unknown ep 'cuda'");
  EXPECT_EQ(refusal(*director, "render", "cpu"), "Renderer: unknown ep 'cpu'");
}

TEST_F(RendererConstruction, CoremlWithoutTheProviderFallsBackToTheCpuEp) {
  for (const std::string ep : {"coreml:gpu", "coreml", "coreml-ane"}) {
    std::unique_ptr<le::Renderer> r;
    const std::string log = buildLog(*director, "render", ep, &r);
    const size_t refused = log.find("[le] CoreML EP session refused: ");
    ASSERT_NE(refused, std::string::npos) << log;
    EXPECT_NE(log.find(" — falling back to the ORT CPU EP\n", refused), std::string::npos) << log;
    EXPECT_NE(log.find("[le] director ep=cpu (ORT CPU EP)\n", refused), std::string::npos) << log;
    EXPECT_STREQ(r->ep(), "cpu");
    EXPECT_STREQ(r->backend(), "ort");
  }
}

TEST_F(RendererConstruction, NativeRequestOnAGraphItDoesNotImplementRunsOrt) {
  const std::string refusedLine =
      "[le] NEON backend refused: render is not the fused m4b graph (golden/unified director?); using ORT\n";
  std::unique_ptr<le::Renderer> r;
  std::string log = buildLog(*director, "render", "neon", &r);
  EXPECT_NE(log.find(refusedLine), std::string::npos) << log;
  EXPECT_NE(log.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << log;
  EXPECT_STREQ(r->ep(), "cpu");
  EXPECT_STREQ(r->backend(), "ort");

  {
    lt::ScopedEnv native("LE_CONV_BACKEND", "neon");
    EXPECT_NE(buildLog(*director, "render", "").find(refusedLine), std::string::npos);
  }
  lt::ScopedEnv other("LE_CONV_BACKEND", "neon2");
  EXPECT_EQ(buildLog(*director, "render", "").find("NEON"), std::string::npos);
}

TEST_F(RendererConstruction, PrintsTheEllipseLineAndTheCpuEpLine) {
  const std::string log = buildLog(*director, "render", "");
  EXPECT_NE(log.find("[le] !!! compose alpha: ELLIPSE (render) — this bundle carries no lip_template.v1.json, so the "
                     "director generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
                     "models/vantice-2/tools/carry_lip_template_fleet\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos);
}

TEST_F(RendererConstruction, GridSampleRewriteSwitchPrintsUnlessCoreml) {
  lt::ScopedEnv off("LE_GS_REWRITE", "0");
  const std::string line =
      "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.velomark::GridSampleFast rewrite DISABLED (render); the "
      "custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle now runs "
      "ORT's own GridSample.\n";
  EXPECT_NE(buildLog(*director, "render", "").find(line), std::string::npos);
  // The CoreML attempt stays silent; only the CPU fallback prints it.
  const std::string coreml = buildLog(*director, "render", "coreml");
  EXPECT_EQ(coreml.find(line), coreml.rfind(line));
}

TEST_F(RendererConstruction, QuietModeSilencesDiagnosticsButNotStandardErrorLines) {
  {
    lt::ScopedEnv quiet("VELOMARK_ENGINE_QUIET", "1");
    lt::ScopedEnv debug("VELOMARK_DEBUG", nullptr);
    EXPECT_NE(le::diag_stream(), stderr);
    lt::ScopedEnv off("LE_GS_REWRITE", "0");
    const std::string log = buildLog(*director, "render", "");
    EXPECT_EQ(log.find("LE_GS_REWRITE=0"), std::string::npos) << log;
    EXPECT_NE(log.find("[le] director ep=cpu (ORT CPU EP)\n"), std::string::npos);
    lt::ScopedEnv debugOn("VELOMARK_DEBUG", "1");
    EXPECT_EQ(le::diag_stream(), stderr);
  }
  lt::ScopedEnv notExactly("VELOMARK_ENGINE_QUIET", "10");
  EXPECT_EQ(le::diag_stream(), stderr);
}

TEST_F(RendererConstruction, ProfilingSummaryAtDestruction) {
  const std::string prefix = lt::scratchDir() + "/director";
  lt::ScopedEnv profile("LE_ORT_PROFILE", prefix.c_str());
  std::unique_ptr<le::Renderer> r;
  buildLog(*director, "render", "", &r);
  const int si = 1;
  const std::vector<float> xs = lt::gatherRows(director->xs, {2}), xd = lt::gatherRows(director->xd, {2});
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
  const char* version = OrtGetApiBase()->GetVersionString();
  EXPECT_EQ(le::coremlCacheDir("/b"), std::string("/b/.coreml_cache/ort") + version);
  EXPECT_EQ(le::coremlUnitsSuffix("coreml"), "all");
  EXPECT_EQ(le::coremlUnitsSuffix("coreml:"), "all");
  EXPECT_EQ(le::coremlUnitsSuffix("coreml-ane"), "ane");
  EXPECT_STREQ(le::coremlComputeUnits(le::coremlUnitsSuffix("coreml:ane")), "CPUAndNeuralEngine");
  EXPECT_STREQ(le::coremlComputeUnits(le::coremlUnitsSuffix("coreml-ane")), "CPUAndNeuralEngine");
  EXPECT_STREQ(le::coremlComputeUnits("cpu"), "CPUOnly");
  EXPECT_STREQ(le::coremlComputeUnits("gpu"), "CPUAndGPU");
  EXPECT_STREQ(le::coremlComputeUnits("all"), "ALL");
  EXPECT_STREQ(le::coremlComputeUnits("npu"), "ALL");
}

}  // namespace
