// Double-precision reference for binary16 rounding, independent of the
// library's bit tricks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace lt {

inline uint32_t floatBits(float x) {
  uint32_t b;
  std::memcpy(&b, &x, 4);
  return b;
}

inline float bitsFloat(uint32_t b) {
  float x;
  std::memcpy(&x, &b, 4);
  return x;
}

// binary16 of x, nearest even. NaN becomes a quiet NaN keeping its top
// mantissa bits, or a signed infinity when nanToInf.
inline uint16_t refHalf(float x, bool nanToInf = false) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  if (std::isnan(x)) {
    if (nanToInf) return sign | 0x7C00;
    return sign | 0x7E00 | ((floatBits(x) >> 13) & 0x3FF);
  }
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return sign | 0x7C00;
  if (a == 0.0) return sign;
  int e;
  std::frexp(a, &e);
  int q = e - 11 < -24 ? -24 : e - 11;  // exponent of one unit in the last place
  double k = std::nearbyint(std::ldexp(a, -q));
  if (k >= 2048) {
    k /= 2;
    ++q;
  }
  if (q == -24 && k < 1024) return sign | static_cast<uint16_t>(k);
  return sign | static_cast<uint16_t>(((q + 25) << 10) | (static_cast<int>(k) - 1024));
}

inline double refWiden(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 0x3FF;
  const double s = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return s * std::ldexp(m, -24);
  if (e == 31) return m ? std::nan("") : s * INFINITY;
  return s * std::ldexp(1024 + m, e - 25);
}

// h(x) in the reference: round to half, widen back.
inline float refRound(float x) {
  const uint16_t h = refHalf(x);
  if (((h >> 10) & 31) == 31 && (h & 0x3FF)) return bitsFloat(((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13));
  return static_cast<float>(refWiden(h));
}

}  // namespace lt
