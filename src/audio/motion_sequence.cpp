#include "audio/motion_sequence.h"

#include <algorithm>
#include <cstring>

#include "audio/motion_pose.h"

namespace le::motion {

void smooth(std::vector<float>& seq, int from, int count) {
  const int n = frames(seq);
  if (n == 0 || count <= 0) return;
  const int lo = std::max(from - 1, 0), hi = std::min(from + count, n - 1);
  // The frames read: the range and one neighbour on each side.
  const std::vector<float> orig(seq.begin() + static_cast<std::ptrdiff_t>(lo) * kMotion,
                                seq.begin() + static_cast<std::ptrdiff_t>(hi + 1) * kMotion);
  const auto at = [&](int t, int c) { return orig[static_cast<size_t>(t - lo) * kMotion + c]; };
  for (int t = std::max(from, 0); t < std::min(from + count, n); ++t) {
    const int a = std::max(t - 1, 0), b = std::min(t + 1, n - 1);
    float* out = &seq[static_cast<size_t>(t) * kMotion];
    for (int c = 0; c < kPoseParts; ++c) {
      float sum = 0.0f;
      for (int u = a; u <= b; ++u) sum += at(u, c);
      out[c] = sum / static_cast<float>(b - a + 1);
    }
  }
}

void addChunk(std::vector<float>& seq, const float* pred) {
  if (seq.empty()) {
    seq.assign(pred, pred + static_cast<size_t>(kChunk) * kMotion);
    smooth(seq, 0, kChunk);
    return;
  }
  const int n = frames(seq);
  const int first = n - kOverlap;
  for (int i = 0; i < kOverlap; ++i) {
    const float w = static_cast<float>(i) / kOverlap;
    float* s = &seq[static_cast<size_t>(first + i) * kMotion];
    const float* p = pred + static_cast<size_t>(i) * kMotion;
    for (int c = 0; c < kMotion; ++c) s[c] = (1.0f - w) * s[c] + w * p[c];
  }
  seq.insert(seq.end(), pred + static_cast<size_t>(kOverlap) * kMotion, pred + static_cast<size_t>(kChunk) * kMotion);
  smooth(seq, first, kOverlap + 1);
}

std::vector<float> nextSeed(const std::vector<float>& seed, const std::vector<float>& seq) {
  std::vector<float> next = seed;
  const int at = frames(seq) - 11;
  if (at >= 0) std::memcpy(next.data(), &seq[static_cast<size_t>(at) * kMotion], kPoseParts * sizeof(float));
  return next;
}

std::vector<float> finalSequence(std::vector<float> seq, int total, const std::vector<float>& minmax) {
  seq.resize(static_cast<size_t>(std::min(std::max(total, 0), frames(seq))) * kMotion);
  smooth(seq, 0, frames(seq));
  for (size_t i = 0; i < seq.size(); ++i) {
    const size_t c = i % kMotion;
    seq[i] = std::min(std::max(seq[i], minmax[c]), minmax[kMotion + c]);  // no UB when a minimum exceeds its maximum
  }
  return seq;
}

}  // namespace le::motion
