// Whole-utterance deltas: every frame's features from the 8 s encoder, the
// encoder in short bands, the decoder from its start state, without
// touching the stream.
#include <cstring>

#include "audio/a2x_stream.h"

namespace le::a2x {

int Stream::deltas(const float* audio, int n, float* out, int maxFrames) {
  if (n < 1) return 0;
  const int frames = le::audio::framesOf(n);
  if (frames > maxFrames) return -2;
  std::vector<float> feat(static_cast<size_t>(frames) * kFeatureFloats);
  const AudioView view{audio, 0, n};
  EightSecondCursor windows;
  windows.fill(
      frames, frames, true,
      [&](int f0) { return front8_.run(w2v8(), view, static_cast<int64_t>(f0) * le::audio::kFrameSamples).data(); },
      [&](int k) { return &feat[static_cast<size_t>(k) * kFeatureFloats]; });

  const int h = model_.h();
  std::vector<float> ctx(static_cast<size_t>(frames) * h);
  std::vector<float> wn(static_cast<size_t>(frames), 0.0f);
  model_.encodeBands(
      0, frames, [&](int e0) { return model_.band(e0, frames, kOfflineBand, frames); },
      [&](int lo, int) { return &feat[static_cast<size_t>(lo) * kFeatureFloats]; },
      [&](const BandPlan& p, const Band& band) {
        std::memcpy(&ctx[static_cast<size_t>(p.e0) * h], &band.ctx[static_cast<size_t>(p.e0 - p.lo) * h],
                    static_cast<size_t>(p.e1 - p.e0) * h * sizeof(float));
        if (width())
          std::memcpy(&wn[static_cast<size_t>(p.e0)], &band.wn[static_cast<size_t>(p.e0 - p.lo)],
                      static_cast<size_t>(p.e1 - p.e0) * sizeof(float));
      });
  DecoderState st = model_.startState();
  for (int f = 0; f < frames; ++f)
    model_.decode(&ctx[static_cast<size_t>(f) * h], st, out + static_cast<size_t>(f) * kKpFloats);
  offlineWn_ = std::move(wn);
  return frames;
}

}  // namespace le::a2x
