#include "render/graph_prep.h"

#include <array>
#include <cstdio>
#include <stdexcept>

#include "base/env.h"
#include "base/log.h"
#include "bundle/manifest.h"
#include "graph/compose_v2_splice.h"
#include "graph/gridsample_rewrite.h"
#include "graph/lip_contour_bind.h"
#include "graph/numerical_rewrites.h"
#include "graph/resize_rewrite.h"
#include "graph/source_cone.h"
#include "graph/warp_block.h"
#include "graph/wire.h"
#include "tessera/lip_contour.h"

namespace le {

namespace {

const char* orNoReason(const std::string& reason) { return reason.empty() ? "no reason given" : reason.c_str(); }

std::string memberName(const GraphPrep& g) { return "model_" + g.key + ".onnx"; }

// A contour rasterised on the manifest's crop must meet a graph of that canvas.
void requireLipCanvas(const GraphPrep& g, const char* graphSide, const char* refusal) {
  if (g.lipCanvas == g.manifest->crop) return;
  throw std::runtime_error(std::string("Renderer: the ") + graphSide + " is " + std::to_string(g.lipCanvas) +
                           " and this bundle's manifest declares crop " + std::to_string(g.manifest->crop) + " — " +
                           refusal);
}

void spliceComposeV2Stage(GraphPrep& g) {
  if (!g.lipContour || g.bytes.empty()) return;
  std::vector<uint8_t> structure;
  std::string source, structureSha, reason;
  const int found = tessera::composeV2StructureFromTemplate(g.manifest->lipTemplate, memberName(g), structure,
                                                            source, structureSha, &reason);
  if (found == 0) return;
  if (found > 0 &&
      le::spliceComposeV2(g.bytes, structure, reason, memberName(g), &g.lipCanvas, &g.lipBatch, structureSha, source)) {
    g.composeV2 = true;
    requireLipCanvas(g, "compose v2 graph's lip_delivery canvas",
                     "refusing to feed a lip contour rasterised on the wrong canvas");
    return;
  }
  log::warn(
      "[le] !!! compose v2 NOT spliced (%s): %s — this session falls back to the load-time lip-contour bind (staged "
      "rollout)\n",
      g.key.c_str(), orNoReason(reason));
}

void moveWarpToOneNode(GraphPrep& g) {
  const bool asked = env::nonEmpty("LE_WARP_NODE") && !env::beginsWith("LE_WARP_NODE", '0');
  if (!asked || g.coreml) return;
  std::string reason;
  g.warpNodesRemoved = rewriteWarpBlockToCustomOp(g.bytes, reason);
  if (g.warpNodesRemoved > 0) {
    log::info("[le] director warp -> com.velomark::WarpDirector (%zu nodes removed, the source cone with them)\n",
              g.warpNodesRemoved);
    g.warpNode = true;
    // The block reads the grid through Slices that compute its corrections;
    // WarpDirector makes them itself, so that chain is left unread, and the
    // runtime would still run it.
    g.unreadNodes = gsDropUnreadNodes(g.bytes);
    if (g.unreadNodes > 0)
      log::info("[le] director warp: %zu node(s) the warp node left unread dropped (%s)\n", g.unreadNodes,
                g.key.c_str());
  } else {
    log::info("[le] director warp NOT moved to one node (%s) — the graph loads exactly as it did before\n",
              orNoReason(reason));
  }
}

void rewriteGridSample(GraphPrep& g) {
  if (!g.gsRewrite || g.coreml) return;
  g.gridSampleNodes = rewriteGridSampleToFast(g.bytes);
}

void studentBlendToGemm(GraphPrep& g) { g.studentBlendNodes = normaliseStudentBlend(g.bytes); }

// Linear and cubic upsamples (the grid's, the head's cubic x2 among them) run
// as one separable node; the head's cubic then never becomes Pad+Conv+D2S.
// LE_RESIZE_FAST=0 keeps the standard nodes, for A/B runs.
void resizeToSeparable(GraphPrep& g) {
  if (!g.fastOps || g.coreml || env::beginsWith("LE_RESIZE_FAST", '0')) return;
  g.resizeNodes = rewriteResizeToSeparable(g.bytes);
}

void headCubicToConv(GraphPrep& g) { g.headCubicNodes = rewriteHeadCubicResize(g.bytes); }

void bindLipContour(GraphPrep& g) {
  if (!g.lipContour) {
    log::warn(
        "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
        "over-covering elliptical region the contour replaces. BACKFILL IT: "
        "models/vantice-2/tools/carry_lip_template_fleet\n",
        g.key.c_str(), "lip_template.v1.json");
    return;
  }
  if (g.composeV2) return;
  std::string reason;
  g.contourBound = rewriteBindLipContour(g.bytes, reason, &g.lipCanvas, &g.lipBatch) == 1;
  if (g.contourBound) {
    requireLipCanvas(g, "director's compose canvas", "refusing to bind a lip contour rasterised on the wrong canvas");
    return;
  }
  log::warn(
      "[le] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves the graph's own "
      "ELLIPSE\n",
      g.key.c_str(), orNoReason(reason));
}

void hoistSourceCone(GraphPrep& g) {
  if (g.coreml && (g.units == "all" || g.units == "gpu")) {
    log::info(
        "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU and "
        "the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) — the "
        "cone stays in the graph\n",
        g.key.c_str(), g.units.c_str());
    return;
  }
  if (g.warpNode) {
    log::info(
        "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left to "
        "hoist\n",
        g.key.c_str());
    return;
  }
  if (!g.warpPrior || g.bytes.empty()) return;
  // Wire errors of the boundary search and the prep graph abort the load;
  // only what follows from the prep session on is a refusal of the hoist.
  std::string reason, tip;
  const size_t concats = findSourceConeBoundary(g.bytes, tip);
  if (concats != 1) {
    reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(concats);
  } else if (buildSourceConePrep(g.bytes, tip, g.prepBytes, reason)) {
    g.boundary = tip;
    if (g.hoist)
      g.hoisted = g.hoist(g, reason);
    else
      reason = "no session to hoist into";
  }
  if (!g.hoisted) log::info("[le] source-cone hoist NOT applied (%s): %s\n", g.key.c_str(), reason.c_str());
}

constexpr std::array<PrepStage, 8> kSequence{
    spliceComposeV2Stage, moveWarpToOneNode, rewriteGridSample, studentBlendToGemm,
    resizeToSeparable,    headCubicToConv,   bindLipContour,    hoistSourceCone,
};

void printAccount(const GraphPrep& g) {
  const char* key = g.key.c_str();
  if (g.gridSampleNodes)
    log::info("[le] std GridSample -> com.velomark::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
              g.gridSampleNodes, key);
  if (g.resizeNodes)
    log::info(
        "[le] std Resize (linear/cubic, half_pixel) -> com.velomark::SeparableResize load-time rewrite: %zu node(s) "
        "(%s) — precomputed separable taps; the head's cubic x2 runs here rather than as Pad+Conv5x5(dw)+DepthToSpace\n",
        g.resizeNodes, key);
  if (g.studentBlendNodes)
    log::info(
        "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a pre-2026-09-11 "
        "student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit that includes "
        "the GPU\n",
        g.studentBlendNodes, key);
  if (g.headCubicNodes)
    log::info(
        "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
        "(%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
        "EP and no CoreML/NNAPI EP can claim it\n",
        g.headCubicNodes, key);
  if (g.composeV2)
    log::info(
        "[le] compose: COMPOSE V2 (%s) — lip contour + mouth-window compose + seam match, spliced at load from the "
        "structure %s carries (sha-bound to this member); lip_delivery fed from the %s contour, %d verts, feather "
        "%.1f px\n",
        key, "lip_template.v1.json", g.lipContour->kind(), g.lipContour->nv, g.lipContour->feather_px);
  else if (g.contourBound)
    log::info(
        "[le] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, feather %.1f px; the "
        "graph's ellipse is not reachable in this session\n",
        key, g.lipContour->nv, g.lipContour->feather_px);
}

}  // namespace

std::span<const PrepStage> prepSequence() { return kSequence; }

void prepareGraph(GraphPrep& g) {
  for (PrepStage stage : prepSequence()) stage(g);
  gsDropUnreadInitializers(g.bytes);
  printAccount(g);
}

}  // namespace le
