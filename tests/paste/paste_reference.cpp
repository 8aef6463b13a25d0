#include "paste/paste_reference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace lt {

std::vector<double> refSharpen(const float* crop, int side, double scale, const RefUnsharp& u) {
  const int k = u.ksize, r = k / 2;
  auto reflect = [side](int i) {
    while (side > 1 && (i < 0 || i >= side)) i = i < 0 ? -i : 2 * (side - 1) - i;
    return side > 1 ? i : 0;
  };
  std::vector<double> g(k);
  double gs = 0;
  for (int i = 0; i < k; ++i) gs += g[i] = std::exp(-std::pow(i - r, 2) / (2 * u.sigma * u.sigma));
  const size_t area = static_cast<size_t>(side) * side;
  std::vector<double> out(3 * area);
  for (int c = 0; c < 3; ++c) {
    auto src = [&](int y, int x) { return crop[c * area + static_cast<size_t>(y) * side + x] * scale; };
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        double b = 0;
        for (int ty = 0; ty < k; ++ty)
          for (int tx = 0; tx < k; ++tx) b += g[ty] * g[tx] * src(reflect(y + ty - r), reflect(x + tx - r));
        out[c * area + static_cast<size_t>(y) * side + x] =
            std::clamp((1 + u.amount) * src(y, x) - u.amount * b / (gs * gs), 0.0, 255.0);
      }
  }
  return out;
}

void refTaps(int n, double t, double* w) {
  auto sinc = [](double x) { return x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x); };
  auto keys = [](double x) {  // a = -0.75
    const double a = -0.75;
    x = std::abs(x);
    return x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : x < 2 ? ((a * x - 5 * a) * x + 8 * a) * x - 4 * a : 0.0;
  };
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    const double d = t + n / 2 - 1 - i;  // distance of tap i from the sample
    sum += w[i] = n == 2 ? 1 - std::abs(d) : n == 4 ? keys(d) : sinc(d) * sinc(d / 4);
  }
  if (n == 8)
    for (int i = 0; i < 8; ++i) w[i] /= sum;
}

std::vector<RefPixel> refPastePixel(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask,
                                    int taps, const float* M, int X, int Y, const uint8_t* frameRgb, double slack) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5], det = a * e - b * d;
  const double u = (e * (X - c) - b * (Y - f)) / det, v = (-d * (X - c) + a * (Y - f)) / det;
  // Position in 1/32 pixel, rounded to the nearest phase.
  std::set<long> qxs, qys;
  for (double s : {-slack, 0.0, slack}) {
    qxs.insert(static_cast<long>(std::floor(32 * u + 0.5 + s)));
    qys.insert(static_cast<long>(std::floor(32 * v + 0.5 + s)));
  }
  auto maskAt = [&](long x, long y) { return (x >= 0 && x < side && y >= 0 && y < side) ? mask[y * side + x] : 0.0; };
  const size_t area = static_cast<size_t>(side) * side;
  std::vector<RefPixel> out;
  for (long qx : qxs)
    for (long qy : qys) {
      RefPixel px{{frameRgb[0], frameRgb[1], frameRgb[2]}};
      const long ix = qx >> 5, iy = qy >> 5;  // floor division
      const double tx = (qx & 31) / 32.0, ty = (qy & 31) / 32.0;
      const double m = ix < -1 || ix >= side || iy < -1 || iy >= side
                           ? 0
                           : (1 - ty) * ((1 - tx) * maskAt(ix, iy) + tx * maskAt(ix + 1, iy)) +
                                 ty * ((1 - tx) * maskAt(ix, iy + 1) + tx * maskAt(ix + 1, iy + 1));
      const double alpha = std::nearbyint(m) / 255.0;
      double wx[8], wy[8];
      refTaps(taps, tx, wx);
      refTaps(taps, ty, wy);
      for (int ch = 0; ch < 3 && alpha > 0; ++ch) {
        double s = 0;
        for (int r = 0; r < taps; ++r)
          for (int cc = 0; cc < taps; ++cc) {
            const long sx = ix - taps / 2 + 1 + cc, sy = iy - taps / 2 + 1 + r;
            if (sx >= 0 && sx < side && sy >= 0 && sy < side) s += wy[r] * wx[cc] * planes[ch * area + sy * side + sx];
          }
        px.rgb[ch] = static_cast<uint8_t>(std::clamp(frameRgb[ch] * (1 - alpha) + s * alpha, 0.0, 255.0));
      }
      out.push_back(px);
    }
  return out;
}

}  // namespace lt
