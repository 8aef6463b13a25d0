#include "simd/half.h"

#include <cstring>

namespace le {
namespace {

uint32_t bitsOf(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

float floatOf(uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// Finite magnitudes only (abs below the f32 infinity pattern).
uint16_t roundFiniteMagnitude(uint32_t abs) {
  if (abs >= 0x477FF000u) return 0x7C00;  // 65520 and above round to infinity
  if (abs >= 0x38800000u) {               // half normal range
    const uint32_t rebiased = abs - 0x38000000u;
    return static_cast<uint16_t>(
        (rebiased + 0x0FFFu + ((rebiased >> 13) & 1u)) >> 13);
  }
  if (abs <= 0x33000000u) return 0;  // up to 2^-25: the tie goes to zero
  const uint32_t mant = (abs & 0x7FFFFFu) | 0x800000u;
  const uint32_t shift = 126u - (abs >> 23);  // 14..24
  uint32_t q = mant >> shift;
  const uint32_t rem = mant & ((1u << shift) - 1u);
  const uint32_t half = 1u << (shift - 1u);
  if (rem > half || (rem == half && (q & 1u))) ++q;
  return static_cast<uint16_t>(q);
}

}  // namespace

uint16_t f32ToF16(float x) {
  const uint32_t b = bitsOf(x);
  const uint16_t sign = static_cast<uint16_t>((b >> 16) & 0x8000u);
  const uint32_t abs = b & 0x7FFFFFFFu;
  if (abs >= 0x7F800000u) return sign | 0x7C00;
  return sign | roundFiniteMagnitude(abs);
}

float f16ToF32(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t e = (h >> 10) & 0x1Fu;
  const uint32_t m = h & 0x3FFu;
  if (e == 0) {
    // m * 2^-24 is exact in single precision.
    return floatOf(bitsOf(static_cast<float>(m) * 0x1p-24f) | sign);
  }
  if (e == 31) return floatOf(sign | 0x7F800000u | (m << 13) | (m ? 0x00400000u : 0u));
  return floatOf(sign | ((e + 112u) << 23) | (m << 13));
}

namespace simd {

uint16_t roundToF16Bits(float x) {
  const uint32_t b = bitsOf(x);
  const uint16_t sign = static_cast<uint16_t>((b >> 16) & 0x8000u);
  const uint32_t abs = b & 0x7FFFFFFFu;
  if (abs > 0x7F800000u)
    return sign | 0x7E00 | static_cast<uint16_t>((abs >> 13) & 0x3FFu);
  if (abs == 0x7F800000u) return sign | 0x7C00;
  return sign | roundFiniteMagnitude(abs);
}

}  // namespace simd
}  // namespace le
