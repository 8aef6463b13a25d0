#include "audio/fft.h"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace le::motion {

Fft::Fft(int n) : n_(n) {
  if (n < 2 || (n & (n - 1)) != 0)
    throw std::invalid_argument("FFT size " + std::to_string(n) + " is not a power of two");
  int bits = 0;
  while ((1 << bits) < n) ++bits;
  for (int i = 0; i < n; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    if (i < r) {
      swaps_.push_back(i);
      swaps_.push_back(r);
    }
  }
  cos_.resize(static_cast<size_t>(n - 1));
  sin_.resize(static_cast<size_t>(n - 1));
  for (int h = 1; h < n; h <<= 1)
    for (int j = 0; j < h; ++j) {
      // Angles in double, so every stage's table is exact to float rounding.
      const double a = -M_PI * j / h;
      cos_[static_cast<size_t>(h - 1 + j)] = static_cast<float>(std::cos(a));
      sin_[static_cast<size_t>(h - 1 + j)] = static_cast<float>(std::sin(a));
    }
}

void Fft::forward(float* re, float* im) const {
  for (size_t s = 0; s < swaps_.size(); s += 2) {
    std::swap(re[swaps_[s]], re[swaps_[s + 1]]);
    std::swap(im[swaps_[s]], im[swaps_[s + 1]]);
  }
  for (int h = 1; h < n_; h <<= 1) {
    const float* __restrict wr = &cos_[static_cast<size_t>(h - 1)];
    const float* __restrict wi = &sin_[static_cast<size_t>(h - 1)];
    for (int k = 0; k < n_; k += 2 * h) {
      float* __restrict ar = re + k;
      float* __restrict ai = im + k;
      float* __restrict br = re + k + h;
      float* __restrict bi = im + k + h;
      for (int j = 0; j < h; ++j) {
        const float tr = br[j] * wr[j] - bi[j] * wi[j];
        const float ti = br[j] * wi[j] + bi[j] * wr[j];
        br[j] = ar[j] - tr;
        bi[j] = ai[j] - ti;
        ar[j] += tr;
        ai[j] += ti;
      }
    }
  }
}

}  // namespace le::motion
