// Hot inner loops, compiled for several SIMD targets; each wrapper calls the
// variant for the best target the CPU supports, chosen at the first call.
// Every variant computes the same arithmetic, half-precision roundings
// included, so results do not depend on the CPU.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd {

// Blends the Lanczos-resampled crop into columns first..last (inclusive) of
// one RGB output row. crop: side*side pixels of 4 floats (0..255 scale);
// mask: side*side bytes; lanczos: 32 phases x 8 taps; bilinear: 32 x 2;
// colX/colY: per output column offsets (10 fractional bits) added to the row
// bases baseX/baseY.
void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int baseX, int baseY,
                      int first, int last, uint8_t* outRow);

// 3x3 convolution, stride 1, zero padding 1, no activation. Work item j is
// image j / Cout, output channel j % Cout; writes output planes j0..j1-1
// (each H*W floats at out + j*H*W). weights: [Cout][Cin][3][3].
void conv3x3Range(const float* in, int N, int Cin, int H, int W,
                  const float* weights, const float* bias, int Cout,
                  float* out, int j0, int j1);

// Retrieval distance terms over three half planes of n pixels each.
// Pooled: sum of h(w * h(mean |h(a - b)|)), every step rounded to half.
float retrieveTermPooled(const uint16_t* a, const uint16_t* b,
                         const uint16_t* w, size_t n);
// Exact: sum of w * h(mean |h(a - b)|) over [begin, end) in single precision.
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b,
                             const float* w, size_t n, size_t begin,
                             size_t end);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w,
                        size_t n);

// dst[c*stride + i] = half(src[3i + c] / 255) for c < 3, i < count.
void rgb8ToPlanarF16(const uint8_t* src, uint16_t* dst, size_t stride,
                     size_t count);
// Round to nearest even; NaN stays a (quiet) NaN.
void f32ToF16(const float* src, uint16_t* dst, size_t n);
// Exact widening (a NaN comes back quiet).
void f16ToF32(const uint16_t* src, float* dst, size_t n);
// out[i] = b[i] * h(a[i]).
void roundF16Mul(const float* a, const float* b, float* out, size_t n);

// One row of BT.601 limited-range YUV 4:2:0 to packed RGB. step is 1 for
// separate U and V planes, 2 for an interleaved chroma plane.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int step, uint8_t* out);

// Name of the best target the CPU supports, as the SIMD library names it.
const char* target();

}  // namespace le::simd
