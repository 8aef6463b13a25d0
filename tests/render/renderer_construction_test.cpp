// What construction refuses and what it prints: the keypoint contract, batch discovery,
// missing members, ep strings, the load-time rewrites, hoist and warp node with their
// switches, the fallbacks, quiet mode and the profile summary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <list>
#include <utility>

#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<const char*, const char*>>;

const lt::OpenBundle& director() { return lt::bundle("bundle_director"); }

// Standard error while the renderer was built under `env`; it must build on the ORT CPU EP.
std::string buildLog(const std::string& ep, const Env& env = {}, const char* key = "render") {
  std::list<lt::ScopedEnv> scoped;
  for (const auto& [name, value] : env) scoped.emplace_back(name, value);
  std::unique_ptr<le::Renderer> r;
  std::string log = lt::stderrOf([&] { r = director().renderer(key, ep); });
  EXPECT_EQ(std::string(r->ep()) + "/" + r->backend(), "cpu/ort") << ep;
  return log;
}

const std::string kCpuLine = "[le] director ep=cpu (ORT CPU EP)\n";
const std::string kNeonLine =
    "[le] NEON backend refused: render is not the fused m4b graph (golden/unified director?); using ORT\n";
const std::string kGridSampleLine = "[le] std GridSample -> com.velomark::GridSampleFast load-time rewrite: 1 node(s)";
const std::string kBlendLine = "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s)";
const std::string kCubicLine = "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1";
const std::string kResizeLine =
    "[le] std Resize (linear/cubic, half_pixel) -> com.velomark::SeparableResize load-time rewrite: 3 node(s) (render)";
const std::string kHoistLine =
    "[le] source-cone hoist: 'cone_tip' [1,12,64,64] leaves the per-frame graph and is prefetched per SOURCE FRAME "
    "on one spare core (render)\n";
const std::string kGsLine =
    "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.velomark::GridSampleFast rewrite DISABLED (render); the "
    "custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard bundle now runs "
    "ORT's own GridSample.\n";

TEST(RendererConstruction, RefusalTexts) {
  const auto contract = [](const char* key, const std::string& rows, const std::string& why) {
    return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + director().manifest.modelPath(key) +
           " — the graph declares kp_driving with " + rows +
           " keypoint rows, and this renderer feeds 21 "
           "(le::kHostKpRows, le/le.h). " +
           why +
           "REFUSING AT LOAD rather than dying inside ORT at the first Run. "
           "This build must not have been published to a host that links this renderer: "
           "training/recipe/host_kp_contract is the publish gate that exists to prevent it.";
  };
  const std::string dir = lt::scratchDir() + "/no_prior";  // FeatSynth features, no warp prior, a P_rgb graph
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
       contract(
           "kp22", "22",
           "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
           "second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, "
           "which nothing on this path calls yet), so it cannot drive this director. ")},
      {director(), "kp20", "", contract("kp20", "20", "")},
      {director(), "kpdyn", "", "(no error)"},  // symbolic rows and a flat [B,63] input are not the renderer's to judge
      {director(), "kpflat", "", "(no error)"},
      {director(), "dynbatch", "", "pooled64 input not found / bad shape"},
      {director(), "featsynth", "", "FeatSynth graph but bundle lacks fs_red.f16"},
      {director(), "render", "cuda", "Renderer: unknown ep 'cuda'"},
      {director(), "render", "cpu", "Renderer: unknown ep 'cpu'"},
      {noPrior, "prgb", "",
       "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
       "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
       "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session."},
      {noPrior, "render", "", "(no error)"},  // the FeatSynth graph needs no warp prior
  };
  for (const Case& c : cases)
    EXPECT_EQ(lt::errorOf([&] { c.bundle.renderer(c.key, c.ep); }), c.want) << c.key << " ep=" << c.ep;
  for (const std::string ep : {"xnnpack", "xnnpack:fp16"}) {
    const std::string text = lt::errorOf([&] { director().renderer("render", ep); });
    EXPECT_EQ(text.rfind("Renderer: ep '" + ep + "' is REFUSED. This renderer rewrites its graph", 0), 0u) << text;
    EXPECT_NE(text.find("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes."),
              std::string::npos);
  }
}

TEST(RendererConstruction, LogLines) {
  const Env gsOff = {{"LE_GS_REWRITE", "0"}}, gsFastOff = {{"LE_GS_FAST", "0"}};
  const Env quiet = {{"VELOMARK_ENGINE_QUIET", "1"}, {"VELOMARK_DEBUG", nullptr}, {"LE_GS_REWRITE", "0"}};
  const Env warpOn = {{"LE_WARP_NODE", "1"}}, warpOff = {{"LE_WARP_NODE", "0"}};
  struct Case {
    const char* ep;
    Env env;
    std::string line;
    int times;
    const char* key = "render";
  };
  const Case cases[] = {
      {"", {}, kCpuLine, 1},
      {"",
       {},
       "[le] !!! compose alpha: ELLIPSE (render) — this bundle carries no lip_template.v1.json, so the director "
       "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
       "models/vantice-2/tools/carry_lip_template_fleet\n",
       1},
      {"neon", {}, kNeonLine, 1},  // a native backend on a graph it does not implement runs ORT
      {"neon", {}, kCpuLine, 1},
      {"", {{"LE_CONV_BACKEND", "neon"}}, kNeonLine, 1},
      {"", {{"LE_CONV_BACKEND", "neon2"}}, "NEON", 0},
      {"", {}, kGridSampleLine, 1},
      {"", {}, kBlendLine, 1},
      {"", {}, kResizeLine, 1},
      {"", {}, kCubicLine, 0},  // the head's cubic is one of the three
      {"", {{"LE_RESIZE_FAST", "0"}}, kCubicLine, 1},
      {"", {{"LE_RESIZE_FAST", "0"}}, "SeparableResize", 0},
      {"", gsOff, kGsLine, 1},
      {"", gsOff, kGridSampleLine, 0},
      {"", gsFastOff, kGridSampleLine, 0},
      {"", gsFastOff, kCubicLine, 1},  // the numerical rewrites always run; without the domain, as standard nodes
      {"", gsOff, kResizeLine, 1},      // the domain stays registered
      {"coreml", gsOff, kGsLine, 1},      // the CoreML attempt stays silent; only the CPU fallback prints it
      {"", quiet, "LE_GS_REWRITE=0", 0},  // quiet mode silences diagnostics, not standard error lines
      {"", quiet, kCpuLine, 1},
      {"", {}, kHoistLine, 1},
      {"", warpOff, kHoistLine, 1},
      {"", warpOff, "director warp", 0},
      {"", warpOn, "[le] director warp -> com.velomark::WarpDirector (11 nodes removed, the source cone with them)\n", 1},
      {"", warpOn, "[le] director warp: 23 node(s) the warp node left unread dropped (render)\n", 1},
      {"", warpOn,
       "[le] source-cone hoist SKIPPED (render): the warp node subsumes the cone — there is nothing left to hoist\n", 1},
      {"", {}, "[le] source-cone hoist NOT applied (b4): batch-1 lever; this graph declares batch 4\n", 1, "b4"},
  };
  for (const Case& c : cases) {
    const std::string log = buildLog(c.ep, c.env, c.key);
    const size_t at = log.find(c.line);
    EXPECT_EQ(at == std::string::npos ? 0 : at == log.rfind(c.line) ? 1 : 2, c.times) << c.ep << c.line << log;
  }
  for (const char* ep : {"coreml:gpu", "coreml", "coreml-ane"}) {  // no provider: the CPU EP, said in order
    EXPECT_THAT(buildLog(ep), ::testing::ContainsRegex("\\[le\\] CoreML EP session refused: .* — falling back to the "
                                                       "ORT CPU EP\n.*\\[le\\] director ep=cpu \\(ORT CPU EP\\)\n"));
  }
}

TEST(RendererConstruction, ProfilingSummaryAtDestruction) {
  const std::string prefix = lt::scratchDir() + "/director";
  lt::ScopedEnv profile("LE_ORT_PROFILE", prefix.c_str());
  auto r = director().renderer("render");
  for (const int si : {1, 1}) r->render(&si, director().drive.xs.data(), director().drive.xd.data(), 1);
  ::testing::internal::CaptureStderr();
  r.reset();
  const std::string log = ::testing::internal::GetCapturedStderr();
  double ms = -1;
  char file[4096] = {};
  ASSERT_EQ(std::sscanf(log.c_str(), "[le_ort_profile] 2 frames: %lf ms/frame in Session::Run\n[le_ort_profile] %4095s",
                        &ms, file),
            2)
      << log;
  EXPECT_GT(ms, 0.0);
  EXPECT_EQ(std::string(file).rfind(prefix, 0), 0u) << log;
  EXPECT_TRUE(fs::exists(file)) << file;
}

}  // namespace
