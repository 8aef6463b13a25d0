// Scalar IEEE 754 binary16 conversions, round to nearest even.
#pragma once

#include <cstdint>

namespace le {

// Magnitudes beyond the half range, infinities and NaN become a signed
// infinity; results below the smallest subnormal become a signed zero.
uint16_t f32ToF16(float x);

// Exact widening of a binary16 word; a NaN comes back quiet.
float f16ToF32(uint16_t h);

namespace simd {

// Rounding as the vector kernels do it: like f32ToF16, except that NaN stays
// NaN with its top mantissa bits and the quiet bit set.
uint16_t roundToF16Bits(float x);

// h(x): x rounded to binary16 and widened back exactly.
inline float roundToF16(float x) { return ::le::f16ToF32(roundToF16Bits(x)); }

}  // namespace simd
}  // namespace le
