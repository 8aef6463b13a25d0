// The motion pipeline's front end: one window of speech, 6480 samples,
// becomes an [80][21] log-mel block (band-major) for the speech model.
#pragma once

#include <vector>

#include "audio/fft.h"

namespace le::motion {

inline constexpr int kNfft = 512;
inline constexpr int kBins = 257;  // kNfft / 2 + 1
inline constexpr int kMels = 80;
inline constexpr int kMelFrames = 21;  // STFT frames per window
inline constexpr int kMelHop = 320;
inline constexpr int kReflect = 256;   // reflect padding on each side
inline constexpr int kSegment = 6480;  // samples per window
inline constexpr int kPadded = 6992;   // kSegment + 2 * kReflect

class LogMel {
 public:
  // window: kNfft floats; filters: kMels x kBins, band-major.
  LogMel(std::vector<float> window, std::vector<float> filters);
  // segment: kSegment samples; out: kMels x kMelFrames.
  void compute(const float* segment, float* out);

 private:
  Fft fft_;
  std::vector<float> window_, filters_;
  std::vector<float> padded_, re_, im_, mag_;
};

}  // namespace le::motion
