// le_fca_*: the C family of the feature-conditioned audio object. Its last
// error is its own thread-local text, cleared on entry to create and deltas.
#include "le/le_fca.h"

#include <string>

#include "audio/fca.h"
#include "le/last_error.h"

struct le_fca : le::fca::ConditionedAudio {
  using ConditionedAudio::ConditionedAudio;
};

namespace {

std::string& fcaError() {
  thread_local std::string text;
  return text;
}

}  // namespace

extern "C" LE_API le_fca* le_fca_create(const char* encoder_path, const char* fca_path, int threads) {
  fcaError().clear();
  if (!encoder_path || !fca_path) {
    fcaError() = "le_fca_create: NULL encoder/fca path";
    return nullptr;
  }
  return le::guardInto(fcaError(), "le_fca_create", static_cast<le_fca*>(nullptr),
                       [&] { return new le_fca(encoder_path, fca_path, threads); });
}

extern "C" LE_API void le_fca_destroy(le_fca* fca) { delete fca; }

extern "C" LE_API const char* le_fca_last_error(void) { return fcaError().c_str(); }

extern "C" LE_API int le_fca_deltas(le_fca* fca, const float* audio, int n, float* out, int max_frames) {
  fcaError().clear();
  if (n < 1) return 0;
  if (!fca || !audio || !out) {
    fcaError() = "le_fca_deltas: NULL fca/audio/out";
    return -1;
  }
  return le::guardInto(fcaError(), "le_fca_deltas", -1, [&] {
    const int frames = fca->deltas(audio, n, out, max_frames);
    if (frames < 0)
      fcaError() = "le_fca_deltas: " + std::to_string(le::audio::framesOf(n)) + " frames do not fit max_frames " +
                   std::to_string(max_frames);
    return frames;
  });
}
