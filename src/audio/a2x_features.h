// Speech features for the streaming audio-to-expression object: 12 layers x
// 768 values per frame, rounded through float16 so that both encoder forms
// give the reference's features. Two front ends make them: the shared 8 s
// encoder, one window per 100 frames, and the short-window trunk/head pair,
// one 2 s window per block of 8 frames.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "audio/frames.h"

namespace le::a2x {

inline constexpr int kBlockFrames = 8;      // one short-window block
inline constexpr int kBlockSamples = 5120;  // kBlockFrames frames
inline constexpr int kLayers = 12;          // speech feature layers
inline constexpr int kLayerWidth = 768;
inline constexpr int kFeatureFloats = 9216;  // kLayers * kLayerWidth per frame
inline constexpr int kWin8Samples = 128000;  // 8 s window
inline constexpr int kWin8Frames = 200;
inline constexpr int kWin8Hop = 100;        // frames between 8 s windows
inline constexpr int kWin8Overlap = 50;     // leading frames a later window leaves to the one before
inline constexpr int kWin2Samples = 32000;  // 2 s window of the pair
inline constexpr int kTrunkChannels = 640;

// x rounded to float16 (ties to even) and widened back, in place.
void roundThroughHalf(float* x, size_t n);
// (x - mean) / sqrt(variance + 1e-7), mean and variance in double.
void normaliseWindow(std::vector<float>& x);
// Frame `local` of an 8 s encoder output (12 x 200 x 768, layer-major) as
// one 9216-float feature row, rounded through float16.
void frameFromWindow(const float* emb, int local, float* out);

// Audio held from absolute sample `base` on; reads outside are silence.
struct AudioView {
  const float* data = nullptr;
  int64_t base = 0;
  int64_t count = 0;
  float at(int64_t sample) const {
    const int64_t i = sample - base;
    return i >= 0 && i < count ? data[i] : 0.0f;
  }
};

// The shared 8 s encoder on the window of 128000 samples from `start`,
// normalised; returns its 12 x 200 x 768 output, valid until the next run.
class EightSecondFront {
 public:
  const std::vector<float>& run(Ort::Session& encoder, const AudioView& audio, int64_t start);

 private:
  std::vector<float> window_, emb_;
};

// Where the 8 s windows stand: the window at f0 writes frames from f0 (the
// first window) or f0 + 50 on that no earlier window wrote, up to its usable
// end; windows advance by 100 frames.
struct EightSecondCursor {
  int f0 = 0;
  int made = 0;

  // Runs windows until `needed` frames have features. A window may write
  // below min(f0 + 200, cap). Unless `final`, a window with nothing new to
  // write stops the pass, and so does one whose usable end falls short of
  // its last frame (the same window runs again when more audio counts).
  // run(f0) gives the window's encoder output; slot(frame) where to write.
  template <class Run, class Slot>
  void fill(int needed, int cap, bool final, Run&& run, Slot&& slot) {
    while (made < needed) {
      const int usable = std::min(f0 + kWin8Frames, cap);
      if (!final && usable <= made) return;
      const float* emb = run(f0);
      for (int k = std::max(f0 + (f0 == 0 ? 0 : kWin8Overlap), made); k < usable; ++k)
        frameFromWindow(emb, k - f0, slot(k));
      made = std::max(made, usable);
      if (!final && usable < f0 + kWin8Frames) return;
      f0 += kWin8Hop;
    }
  }
};

// The short-window pair: the block of 8 frames at b reads the 2 s window
// ending at sample (w2vRight + b + 8) * 640.
class ShortWindowFront {
 public:
  static int64_t windowEnd(int w2vRight, int b) {
    return static_cast<int64_t>(w2vRight + b + kBlockFrames) * audio::kFrameSamples;
  }
  // Writes the block's 8 feature rows (8 x 9216 floats) to out.
  void run(const AudioView& audio, int w2vRight, int b, float* out);

 private:
  std::vector<float> window_, trunkX_;
};

}  // namespace le::a2x
