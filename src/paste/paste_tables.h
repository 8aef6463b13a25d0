// Precomputed filter taps of the compositor: per sub-pixel phase resampling
// taps and the unsharp Gaussian.
#pragma once

#include <vector>

namespace le {

inline constexpr int kPastePhases = 32;  // sub-pixel phases per pixel

struct PasteTaps {
  alignas(64) float lanczos[kPastePhases][8];
  alignas(64) float bilinear[kPastePhases][2];
  alignas(64) float cubic[kPastePhases][4];
};

// Lanczos (a = 4), Keys cubic (a = -0.75) and bilinear taps for phase i / 32,
// evaluated in double and stored as float.
PasteTaps buildPasteTaps();

// Normalised 1-D Gaussian of `ksize` taps centred on (ksize - 1) / 2.
std::vector<float> gaussianTaps(int ksize, float sigma);

}  // namespace le
