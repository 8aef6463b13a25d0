// In-place radix-2 complex FFT on split real and imaginary arrays. The
// bit-reversal table and the per-stage twiddles are laid out once, at
// construction, so each butterfly pass reads contiguous arrays and the
// compiler vectorises it.
#pragma once

#include <vector>

namespace le::motion {

class Fft {
 public:
  // n must be a power of two, at least 2.
  explicit Fft(int n);
  int size() const { return n_; }
  // Forward transform, X[k] = sum x[t] e^(-2 pi i k t / n), in place.
  void forward(float* re, float* im) const;

 private:
  int n_;
  std::vector<int> swaps_;  // pairs (i, j), i < j, of the bit-reversal permutation
  // Stage with half-width h stores cos and -sin of 2 pi j / (2h), j < h, from offset h - 1.
  std::vector<float> cos_, sin_;
};

}  // namespace le::motion
