#include "audio/log_mel.h"

#include <cmath>
#include <utility>

namespace le::motion {

LogMel::LogMel(std::vector<float> window, std::vector<float> filters)
    : fft_(kNfft),
      window_(std::move(window)),
      filters_(std::move(filters)),
      padded_(kPadded),
      re_(kNfft),
      im_(kNfft),
      mag_(kBins) {}

void LogMel::compute(const float* x, float* out) {
  // Mirrored without repeating the edge sample on either side.
  for (int k = 0; k < kReflect; ++k) padded_[k] = x[kReflect - k];
  for (int i = 0; i < kSegment; ++i) padded_[kReflect + i] = x[i];
  for (int i = 0; i < kReflect; ++i) padded_[kReflect + kSegment + i] = x[kSegment - 2 - i];
  for (int f = 0; f < kMelFrames; ++f) {
    const float* frame = &padded_[static_cast<size_t>(f) * kMelHop];
    for (int t = 0; t < kNfft; ++t) {
      re_[t] = frame[t] * window_[t];
      im_[t] = 0.0f;
    }
    fft_.forward(re_.data(), im_.data());
    for (int j = 0; j < kBins; ++j) mag_[j] = std::sqrt(re_[j] * re_[j] + im_[j] * im_[j]);
    for (int b = 0; b < kMels; ++b) {
      const float* w = &filters_[static_cast<size_t>(b) * kBins];
      float mel = 0.0f;
      for (int j = 0; j < kBins; ++j) mel += w[j] * mag_[j];
      out[b * kMelFrames + f] = std::log(mel + 1e-8f);
    }
  }
}

}  // namespace le::motion
