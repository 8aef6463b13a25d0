#include "render/renderer.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "base/env.h"
#include "base/log.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "pool/pool.h"
#include "ort/providers.h"
#include "render/input_layout.h"
#include "render/renderer_impl.h"
#include "render/session_builder.h"

namespace le {

namespace {

bool nativeRequested(const std::string& ep) {
  return ep == "neon" || (ep.empty() && env::equals("LE_CONV_BACKEND", "neon"));
}

// A mapped P member or a prior that plays in place.
bool hasWarpPrior(const Identity& identity) { return identity.priorBackend() != "none"; }

void sizeBuffers(Renderer::Impl& im) {
  const size_t b = static_cast<size_t>(im.batch);
  const size_t c = static_cast<size_t>(im.crop);
  im.pFloats = c * c * 3;
  im.pooled.assign(b * im.pooledFloats, 0.0f);
  im.kpDriving.assign(b * kKpFloats, 0.0f);
  im.kpSource.assign(b * kKpFloats, 0.0f);
  im.out.assign(b * im.pFloats, 0.0f);
  if (im.featSynth) {
    if (!im.identity->fsRed(0)) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
    im.fs.assign(b * im.fsFloats, 0.0f);
    return;
  }
  if (!hasWarpPrior(*im.identity))
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
        "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
        "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.");
  im.P.assign(b * im.pFloats, 0.0f);
}

// Builds the native engine when it is asked for and takes the graph; returns
// the ep string ONNX Runtime should use otherwise.
std::string tryNative(Renderer::Impl& im, const Manifest& m, const std::string& key, const std::string& path,
                      int threads, const std::string& ep) {
  if (!nativeRequested(ep)) return ep;
  const auto unavailable = [] {
    log::warn("[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    return std::string();
  };
  if (!ConvBackend::available()) return unavailable();
  if (!ConvBackend::graphSupported(path)) {
    log::warn("[le] NEON backend refused: %s is not the fused m4b graph (golden/unified director?); using ORT\n",
              key.c_str());
    return "";
  }
  if (m.crop != 512) throw std::runtime_error("le_conv: only crop=512 m4b bundles");
  try {
    im.native = ConvBackend::create(path, threads);
  } catch (const ConvBackendUnsupportedCpu&) {
    return unavailable();
  }
  im.epName = "neon";
  im.batch = im.native->batch();
  const size_t b = static_cast<size_t>(im.batch);
  im.out.assign(b * static_cast<size_t>(m.crop) * m.crop * 3, 0.0f);
  im.pooledPtrs.assign(b, nullptr);
  im.PPtrs.assign(b, nullptr);
  im.PFromPrior = im.identity->priorBackend() != "mmap P.f16";
  return ep;
}

}  // namespace

Renderer::Impl::Impl() {
  ort::api();  // the wrapper objects below call into the runtime
  runOptions = Ort::RunOptions();
  // A failed run reaches the caller as an exception; the runtime's own line
  // about it would say the same again.
  runOptions.SetRunLogSeverityLevel(ORT_LOGGING_LEVEL_FATAL);
}

Renderer::Renderer(const Manifest& manifest, const Identity& identity, const std::string& key, int threads,
                   const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  Impl& im = *impl_;
  im.identity = &identity;
  im.crop = manifest.crop;
  if (threads < 1) threads = pool::threads();
  im.threads = threads;
  const std::string modelPath = manifest.modelPath(key);

  const std::string ortEp = tryNative(im, manifest, key, modelPath, threads, ep);
  if (im.native) return;

  SessionRequest req;
  req.manifest = &manifest;
  req.key = key;
  req.modelPath = modelPath;
  req.threads = threads;
  if (!manifest.lipTemplate.empty())
    im.lip = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(manifest.lipTemplate, im.crop));
  req.lipContour = im.lip.get();
  req.warpPrior = hasWarpPrior(identity);
  try {
    buildSession(im, req, ortEp);
  } catch (const std::exception& e) {
    if (!ort::isCoremlEp(ortEp)) throw;
    log::warn("[le] CoreML EP session refused: %s — falling back to the ORT CPU EP\n", e.what());
    im.session.reset();
    buildSession(im, req, "");
  }

  const DirectorInputs inputs = discoverInputs(*im.session, modelPath);
  im.featSynth = inputs.featSynth;
  im.batch = inputs.batch;
  sizeBuffers(im);
  if (im.prepSession) im.startRing(key);
  bindLayout(im);
}

Renderer::~Renderer() {
  Impl& im = *impl_;
  im.ring.reset();  // joins the prefetch thread before anything it uses goes
  if (!im.profiling) return;
  if (im.runs > 0)
    log::warn("[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", static_cast<long>(im.runs),
              im.runMs / static_cast<double>(im.runs));
  if (!im.session) return;
  try {
    Ort::AllocatorWithDefaultOptions alloc;
    log::warn("[le_ort_profile] %s\n", im.session->EndProfilingAllocated(alloc).get());
  } catch (const std::exception& e) {
    log::warn("[le_ort_profile] FAILED: %s\n", e.what());
  }
}

}  // namespace le
