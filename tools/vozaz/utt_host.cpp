#include "utt_host.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vozaz {

const char* stateName(uint32_t state) {
  static const char* const names[] = {"idle", "onset", "speaking", "ramp"};
  return state < 4 ? names[state] : "?";
}

void useSpeechEncoder(const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0) throw std::runtime_error("--w2v " + path + ": no such readable file");
  ::setenv("W2V_ONNX", path.c_str(), 1);
}

const char* steadyModelFor(const std::string& bundle) {
  char path[4096];
  return le_bundle_resolve_member(bundle.c_str(), "model_b24_fp32.onnx", path, sizeof path) ? nullptr : "-";
}

Utt openReady(le_ctx* ctx, const le_utt_opts& opts, bool (*stop)(void*), void* user) {
  Utt utt(le_utt_create(ctx, &opts));
  if (!utt) throw std::runtime_error(le_utt_last_error());
  const auto by = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  int ready = 0;
  while ((ready = le_utt_ready(utt.get())) == 0 && std::chrono::steady_clock::now() < by) {
    if (stop && stop(user)) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (ready != 1) throw std::runtime_error(ready < 0 ? le_utt_last_error() : "the motion models did not load in 5 min");
  return utt;
}

}  // namespace vozaz
