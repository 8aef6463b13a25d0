#include "paste/paste_reference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace lt {
namespace {

int reflectRef(int i, int n) {
  if (n == 1) return 0;
  while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
  return i;
}

double sincRef(double x) { return x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x); }

}  // namespace

std::vector<double> refSharpen(const float* crop, int side, double scale, const RefUnsharp& u) {
  const int k = u.ksize, r = k / 2;
  std::vector<double> g(k);
  double gs = 0;
  for (int i = 0; i < k; ++i) gs += g[i] = std::exp(-std::pow(i - (k - 1) / 2.0, 2) / (2 * u.sigma * u.sigma));
  for (double& v : g) v /= gs;
  const size_t area = static_cast<size_t>(side) * side;
  std::vector<double> out(3 * area);
  for (int c = 0; c < 3; ++c) {
    auto src = [&](int y, int x) { return crop[c * area + static_cast<size_t>(y) * side + x] * scale; };
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        double b = 0;
        for (int ty = 0; ty < k; ++ty)
          for (int tx = 0; tx < k; ++tx)
            b += g[ty] * g[tx] * src(reflectRef(y + ty - r, side), reflectRef(x + tx - r, side));
        out[c * area + static_cast<size_t>(y) * side + x] =
            std::clamp((1 + u.amount) * src(y, x) - u.amount * b, 0.0, 255.0);
      }
  }
  return out;
}

void refTaps(int n, double t, double* w) {
  if (n == 2) {
    w[0] = 1 - t;
    w[1] = t;
  } else if (n == 4) {
    // Keys kernel (a = -0.75) at distances t + 1, t, 1 - t, 2 - t.
    auto keys = [](double x) {
      const double a = -0.75;
      x = std::abs(x);
      if (x <= 1) return ((a + 2) * x - (a + 3)) * x * x + 1;
      if (x < 2) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
      return 0.0;
    };
    for (int i = 0; i < 4; ++i) w[i] = keys(t + 1 - i);
  } else {
    double sum = 0;
    for (int i = 0; i < 8; ++i) sum += w[i] = sincRef(t + 3 - i) * sincRef((t + 3 - i) / 4);
    for (int i = 0; i < 8; ++i) w[i] /= sum;
  }
}

std::vector<RefPixel> refPastePixel(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask,
                                    int taps, const float* M, int X, int Y, const uint8_t* frameRgb, double slack) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5];
  const double det = a * e - b * d;
  const double u = (e * (X - c) - b * (Y - f)) / det;
  const double v = (-d * (X - c) + a * (Y - f)) / det;
  // Position in 1/32 pixel, rounded to the nearest phase.
  std::set<long> qxs, qys;
  for (double s : {-slack, 0.0, slack}) {
    qxs.insert(static_cast<long>(std::floor(32 * u + 0.5 + s)));
    qys.insert(static_cast<long>(std::floor(32 * v + 0.5 + s)));
  }
  const size_t area = static_cast<size_t>(side) * side;
  std::vector<RefPixel> out;
  for (long qx : qxs)
    for (long qy : qys) {
      RefPixel px{{frameRgb[0], frameRgb[1], frameRgb[2]}};
      const long ix = qx >> 5, iy = qy >> 5;  // floor division
      const double tx = (qx & 31) / 32.0, ty = (qy & 31) / 32.0;
      if (ix >= -1 && ix < side && iy >= -1 && iy < side) {
        auto maskAt = [&](long x, long y) {
          return (x >= 0 && x < side && y >= 0 && y < side) ? mask[y * side + x] : 0.0;
        };
        const double m = (1 - ty) * ((1 - tx) * maskAt(ix, iy) + tx * maskAt(ix + 1, iy)) +
                         ty * ((1 - tx) * maskAt(ix, iy + 1) + tx * maskAt(ix + 1, iy + 1));
        const double alpha = std::nearbyint(m) / 255.0;
        if (alpha > 0) {
          double wx[8], wy[8];
          refTaps(taps, tx, wx);
          refTaps(taps, ty, wy);
          const long before = taps / 2 - 1;
          for (int ch = 0; ch < 3; ++ch) {
            double s = 0;
            for (int r = 0; r < taps; ++r)
              for (int cc = 0; cc < taps; ++cc) {
                const long sxx = ix - before + cc, syy = iy - before + r;
                if (sxx < 0 || sxx >= side || syy < 0 || syy >= side) continue;
                s += wy[r] * wx[cc] * planes[ch * area + syy * side + sxx];
              }
            px.rgb[ch] = static_cast<uint8_t>(std::clamp(frameRgb[ch] * (1 - alpha) + s * alpha, 0.0, 255.0));
          }
        }
      }
      out.push_back(px);
    }
  return out;
}

}  // namespace lt
