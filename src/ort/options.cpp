#include "ort/options.h"

#include <stdexcept>

#include "base/env.h"
#include "ort/api.h"
#include "ort/providers.h"

namespace le::ort {
namespace {

Ort::SessionOptions base(int threads, bool spinOnRequest) {
  api();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!spinOnRequest || !env::beginsWith("LE_ORT_SPIN", '1')) o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  return o;
}

}  // namespace

Ort::SessionOptions directorOptions(int threads, bool* profiling) {
  Ort::SessionOptions o = base(threads, true);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("mlas.disable_kleidiai", "1");
  const bool profile = env::nonEmpty("LE_ORT_PROFILE");
  if (profile) o.EnableProfiling(env::text("LE_ORT_PROFILE").c_str());
  if (profiling) *profiling = profile;
  return o;
}

Ort::SessionOptions conePrepOptions() {
  Ort::SessionOptions o = base(1, false);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("mlas.disable_kleidiai", "1");
  o.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
  return o;
}

Ort::SessionOptions speechOptions(int threads, const char* tag) {
  Ort::SessionOptions o = base(threads, false);
  o.SetInterOpNumThreads(1);
  appendCudaIfAsked(o, tag);
  return o;
}

Ort::SessionOptions motionOptions(int threads, const std::string& ep, const std::string& cacheDir) {
  if (!ep.empty() && !isCoremlEp(ep)) throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
  Ort::SessionOptions o = base(threads, true);
  if (!ep.empty()) appendCoreml(o, ep, cacheDir);
  return o;
}

std::unique_ptr<Ort::Session> open(const std::string& path, const Ort::SessionOptions& options) {
  return std::make_unique<Ort::Session>(env(), path.c_str(), options);
}

std::unique_ptr<Ort::Session> open(const std::vector<uint8_t>& bytes, const Ort::SessionOptions& options) {
  return std::make_unique<Ort::Session>(env(), bytes.data(), bytes.size(), options);
}

}  // namespace le::ort
