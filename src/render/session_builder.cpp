#include "render/session_builder.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "base/env.h"
#include "base/log.h"
#include "bundle/files.h"
#include "bundle/manifest.h"
#include "graph/conv_widths.h"
#include "render/cone_hoist.h"
#include "ort/options.h"
#include "ort/providers.h"
#include "render/graph_prep.h"
#include "render/operator_domains.h"

namespace le {

namespace {

void appendProvider(Ort::SessionOptions& o, const std::string& ep, const Manifest& m) {
  if (ep.empty()) return;
  if (ep.rfind("xnnpack", 0) == 0)
    throw std::runtime_error(
        "Renderer: ep '" + ep +
        "' is REFUSED. This renderer rewrites its graph to velomark custom-domain nodes "
        "(com.velomark::GridSampleFast, and com.velomark::WarpDirector wherever LE_WARP_NODE is on), and ORT's "
        "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them — measured 2026-09-15 on "
        "a published vantice2-android AAR, null deref inside libonnxruntime.so at session create, on both a "
        "door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so it cannot be "
        "caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same "
        "bytes.");
  if (!ort::isCoremlEp(ep)) throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
  ort::appendCoreml(o, ep, m.dir);
}

// The runtime's blocked layout pads every convolution to 16 channels and
// reorders tensors around them. A director whose convolutions are all
// narrower (the forged demo's 3 to 11 channels at crop 512) runs about a
// fifth faster without it, to within 1e-7 of the same crop; wider ones keep it.
void chooseLayout(Ort::SessionOptions& o, const std::vector<uint8_t>& model, const std::string& key, bool coreml) {
  if (coreml || model.empty() || graphHasWideConv(model, 16)) return;
  o.SetGraphOptimizationLevel(ORT_ENABLE_EXTENDED);
  log::info("[le] director layout: plain NCHW (%s) — no convolution reaches 16 channels in and out\n", key.c_str());
}

// Registers the operator domains; returns whether the GridSample rewrite is
// on, and sets fastOps when com.velomark is registered.
bool registerDomains(Ort::SessionOptions& o, const SessionRequest& req, bool coreml, bool& fastOps) {
  fastOps = false;
  if (env::beginsWith("LE_GS_FAST", '0')) {
    const std::vector<uint8_t> model = readModelBytes(req.modelPath);
    if (!model.empty() && graphHasBakedFastOps(model))
      throw std::runtime_error(
          "Renderer: LE_GS_FAST=0 (or VELOMARK_VANTICE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
          req.modelPath +
          " has com.velomark::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
          "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not a "
          "registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact "
          "itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
          "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
    registerDirectorInt8Ops(o);
    return false;
  }
  registerDirectorFastOps(o);
  registerDirectorInt8Ops(o);
  fastOps = true;
  if (!env::beginsWith("LE_GS_REWRITE", '0')) return true;
  if (!coreml)
    log::info(
        "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.velomark::GridSampleFast rewrite DISABLED (%s); "
        "the custom op is still registered, so a baked bundle loads and runs its baked kernel. A standard "
        "bundle now runs ORT's own GridSample.\n",
        req.key.c_str());
  return false;
}

}  // namespace

std::vector<uint8_t> readModelBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  switch (readWhole(path, bytes)) {
    case ReadStatus::kCannotOpen:
      throw std::runtime_error("Renderer: cannot open " + path);
    case ReadStatus::kShort:
      throw std::runtime_error("Renderer: short read on " + path);
    case ReadStatus::kOk:
      break;
  }
  return bytes;
}

void buildSession(Renderer::Impl& im, const SessionRequest& req, const std::string& ep) {
  const bool coreml = ort::isCoremlEp(ep);
  im.session.reset();
  im.prepSession.reset();
  im.boundaryName.clear();
  im.boundaryElements = 0;
  im.sessionOptions = ort::directorOptions(req.threads, &im.profiling);
  appendProvider(im.sessionOptions, ep, *req.manifest);

  GraphPrep g;
  g.manifest = req.manifest;
  g.key = req.key;
  g.modelPath = req.modelPath;
  g.coreml = coreml;
  g.units = coreml ? ort::coremlUnitsSuffix(ep) : std::string();
  g.gsRewrite = registerDomains(im.sessionOptions, req, coreml, g.fastOps);
  g.lipContour = req.lipContour;
  g.warpPrior = req.warpPrior;
  g.bytes = readModelBytes(req.modelPath);
  chooseLayout(im.sessionOptions, g.bytes, req.key, coreml);
  g.hoist = [&im](GraphPrep& p, std::string& reason) { return hoistSessions(im, p, reason); };
  prepareGraph(g);

  // A hoist made the director session from the per-frame graph already. The
  // runtime reads an untouched model itself rather than taking a second copy.
  if (!g.hoisted && g.changed())
    im.session = ort::open(g.bytes, im.sessionOptions);
  else if (!g.hoisted)
    im.session = ort::open(req.modelPath, im.sessionOptions);
  im.lipDelivery = g.lipDelivery();
  // The runtime's intra-op pool: the thread that calls Run is one of them.
  if (req.threads > 1)
    im.intraOpCensus = threads::Registration("ort intra-op", req.key, req.threads - 1, "the director's Session::Run");

  im.epName = ep.empty() ? "cpu" : ep;
  log::report("[le] director ep=%s (%s)\n", im.epName.c_str(),
            coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph" : "ORT CPU EP");
}

}  // namespace le
