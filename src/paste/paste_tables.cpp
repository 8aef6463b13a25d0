#include "paste/paste_tables.h"

#include <cmath>
#include <numbers>

namespace le {
namespace {

double sinc(double x) {
  if (x == 0.0) return 1.0;
  const double px = std::numbers::pi * x;
  return std::sin(px) / px;
}

void lanczosPhase(double t, float* out) {
  if (t < 1e-7) {
    for (int k = 0; k < 8; ++k) out[k] = k == 3 ? 1.f : 0.f;
    return;
  }
  double w[8];
  double sum = 0.0;
  for (int k = 0; k < 8; ++k) {
    const double x = t + 3.0 - k;
    w[k] = sinc(x) * sinc(x / 4.0);
    sum += w[k];
  }
  for (int k = 0; k < 8; ++k) out[k] = static_cast<float>(w[k] / sum);
}

void cubicPhase(double t, float* out) {
  const double a1 = t + 1.0;
  const double w0 = ((-0.75 * a1 + 3.75) * a1 - 6.0) * a1 + 3.0;
  const double w1 = (1.25 * t - 2.25) * t * t + 1.0;
  const double u = 1.0 - t;
  const double w2 = (1.25 * u - 2.25) * u * u + 1.0;
  const double w3 = 1.0 - w0 - w1 - w2;
  out[0] = static_cast<float>(w0);
  out[1] = static_cast<float>(w1);
  out[2] = static_cast<float>(w2);
  out[3] = static_cast<float>(w3);
}

}  // namespace

PasteTaps buildPasteTaps() {
  PasteTaps taps{};
  for (int i = 0; i < kPastePhases; ++i) {
    const double t = static_cast<double>(i) / kPastePhases;
    taps.bilinear[i][0] = static_cast<float>(1.0 - t);
    taps.bilinear[i][1] = static_cast<float>(t);
    cubicPhase(t, taps.cubic[i]);
    lanczosPhase(t, taps.lanczos[i]);
  }
  return taps;
}

std::vector<float> gaussianTaps(int ksize, float sigma) {
  std::vector<double> g(static_cast<size_t>(ksize));
  const double centre = (ksize - 1) / 2.0;
  const double s = sigma;
  double sum = 0.0;
  for (int i = 0; i < ksize; ++i) {
    const double d = i - centre;
    // A non-positive sigma degenerates to the identity tap instead of NaNs.
    g[i] = s > 0.0 ? std::exp(-(d * d) / (2.0 * s * s)) : (d == 0.0 ? 1.0 : 0.0);
    sum += g[i];
  }
  std::vector<float> out(g.size());
  for (size_t i = 0; i < g.size(); ++i) out[i] = static_cast<float>(g[i] / sum);
  return out;
}

}  // namespace le
