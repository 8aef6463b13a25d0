#include "paste/paste_reference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>

namespace lt {

std::vector<double> refSharpen(const float* crop, int side, double scale, const RefUnsharp& u) {
  const int k = u.ksize, r = k / 2;
  const size_t area = size_t(side) * side;
  auto reflect = [n = 2 * (side - 1)](int i) {
    while (n > 0 && (i < 0 || 2 * i > n)) i = i < 0 ? -i : n - i;
    return n > 0 ? i : 0;
  };
  std::vector<double> g(k), out(3 * area);
  double gs = 0;
  for (int i = 0; i < k; ++i) gs += g[i] = std::exp(-(i - r) * (i - r) / (2 * u.sigma * u.sigma));
  for (size_t i = 0; i < out.size(); ++i) {
    const int y = int(i % area / side), x = int(i % side);
    auto src = [&](int yy, int xx) { return crop[i / area * area + size_t(yy) * side + xx] * scale; };
    double blur = 0;
    for (int t = 0; t < k * k; ++t) blur += g[t / k] * g[t % k] * src(reflect(y + t / k - r), reflect(x + t % k - r));
    out[i] = std::clamp((1 + u.amount) * src(y, x) - u.amount * blur / (gs * gs), 0.0, 255.0);
  }
  return out;
}

void refTaps(int n, double t, double* w) {
  auto sinc = [](double x) { return x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x); };
  auto keys = [](double x, double a = -0.75) {  // x >= 0
    return x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : x < 2 ? ((a * x - 5 * a) * x + 8 * a) * x - 4 * a : 0.0;
  };
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    const double d = t + n / 2 - 1 - i;  // distance of tap i from the sample
    sum += w[i] = n == 2 ? 1 - std::abs(d) : n == 4 ? keys(std::abs(d)) : sinc(d) * sinc(d / 4);
  }
  for (int i = 0; i < n && n == 8; ++i) w[i] /= sum;
}

std::vector<RefPixel> refPastePixel(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask,
                                    int taps, const float* M, int X, int Y, const uint8_t* frameRgb, double slack) {
  const double a = M[0], b = M[1], c = M[2], d = M[3], e = M[4], f = M[5], det = a * e - b * d;
  const double u = (e * (X - c) - b * (Y - f)) / det, v = (-d * (X - c) + a * (Y - f)) / det;
  std::set<long> qxs, qys;  // position in 1/32 pixel, rounded to the nearest phase
  for (double s : {-slack, 0.0, slack})
    qxs.insert(long(std::floor(32 * u + 0.5 + s))), qys.insert(long(std::floor(32 * v + 0.5 + s)));
  auto in = [side](long x, long y) { return x >= 0 && x < side && y >= 0 && y < side; };
  auto maskAt = [&](long x, long y) { return in(x, y) ? mask[y * side + x] : 0.0; };
  std::vector<RefPixel> out;
  for (long qx : qxs)
    for (long qy : qys) {
      RefPixel px{{frameRgb[0], frameRgb[1], frameRgb[2]}};
      const long ix = qx >> 5, iy = qy >> 5;  // floor division
      const double tx = (qx & 31) / 32.0, ty = (qy & 31) / 32.0;
      const double alpha = std::nearbyint((1 - ty) * ((1 - tx) * maskAt(ix, iy) + tx * maskAt(ix + 1, iy)) +
                                          ty * ((1 - tx) * maskAt(ix, iy + 1) + tx * maskAt(ix + 1, iy + 1))) /
                           255.0;
      double wx[8], wy[8];
      refTaps(taps, tx, wx), refTaps(taps, ty, wy);
      for (int ch = 0; ch < 3 && alpha > 0; ++ch) {
        double s = 0;
        for (int t = 0; t < taps * taps; ++t) {
          const long sx = ix - taps / 2 + 1 + t % taps, sy = iy - taps / 2 + 1 + t / taps;
          if (in(sx, sy)) s += wy[t / taps] * wx[t % taps] * planes[(ch * side + sy) * side + sx];
        }
        px.rgb[ch] = uint8_t(std::clamp(frameRgb[ch] * (1 - alpha) + s * alpha, 0.0, 255.0));
      }
      out.push_back(px);
    }
  return out;
}

int refFrameMismatches(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask, int taps,
                       const float* M, int W, int H, const uint8_t* before, const uint8_t* after, int* changed) {
  int bad = 0;
  *changed = 0;
  for (size_t at = 0; at < size_t(W) * H * 3; at += 3) {
    const int X = int(at / 3 % W), Y = int(at / 3 / W);
    bool ok = false;
    for (const auto& p : refPastePixel(planes, side, mask, taps, M, X, Y, before + at, 0.05))
      ok |= std::equal(p.rgb, p.rgb + 3, after + at, [](int a, int b) { return std::abs(a - b) <= 1; });
    *changed += after[at] != before[at];
    bad += !ok;
  }
  return bad;
}

}  // namespace lt
