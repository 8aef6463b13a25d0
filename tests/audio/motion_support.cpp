#include "audio/motion_support.h"

#include <algorithm>
#include <cmath>

#include "audio/a2x_support.h"
#include "support/fixtures.h"

namespace mt {

std::string dir(const char* name) { return lt::fixture("motion/") + name; }

std::vector<float> table(const char* name, const char* member) { return at::loadF32(dir(name) + member); }

void smooth(std::vector<double>& seq, int from, int count) {
  const int n = static_cast<int>(seq.size() / 265);
  const std::vector<double> orig = seq;
  for (int t = std::max(from, 0); t < std::min(from + count, n); ++t)
    for (int c = 0; c < 202; ++c) {
      double sum = 0;
      int k = 0;
      for (int u = t - 1; u <= t + 1; ++u)
        if (u >= 0 && u < n) {
          sum += orig[static_cast<size_t>(u) * 265 + c];
          ++k;
        }
      seq[static_cast<size_t>(t) * 265 + c] = sum / k;
    }
}

double bin66(const float* logits) {
  double top = logits[0];
  for (int i = 1; i < 66; ++i) top = std::max(top, static_cast<double>(logits[i]));
  double sum = 0, w = 0;
  for (int i = 0; i < 66; ++i) {
    const double e = std::exp(logits[i] - top);
    sum += e;
    w += e * i;
  }
  return 3 * (w / sum) - 97.5;
}

std::array<double, 9> poseToR(double pitch, double yaw, double roll) {
  const double k = M_PI / 180;
  const double p = pitch * k, y = yaw * k, r = roll * k;
  // (Rz(roll) Ry(yaw) Rx(pitch)) transposed: the rotation applied to row vectors, c R.
  const double rx[9] = {1, 0, 0, 0, std::cos(p), -std::sin(p), 0, std::sin(p), std::cos(p)};
  const double ry[9] = {std::cos(y), 0, std::sin(y), 0, 1, 0, -std::sin(y), 0, std::cos(y)};
  const double rz[9] = {std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r), 0, 0, 0, 1};
  const auto mul = [](const double* a, const double* b, double* out) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        out[3 * i + j] = 0;
        for (int q = 0; q < 3; ++q) out[3 * i + j] += a[3 * i + q] * b[3 * q + j];
      }
  };
  double zy[9], xyz[9];
  mul(rz, ry, zy);
  mul(zy, rx, xyz);
  std::array<double, 9> t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[3 * i + j] = xyz[3 * j + i];
  return t;
}

}  // namespace mt
