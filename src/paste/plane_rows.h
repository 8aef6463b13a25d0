// Row loops of the compositor's crop preparation (scale, Gaussian passes,
// interleave), dispatched to the best SIMD target at run time.
#pragma once

#include <cstddef>

namespace le::plane_rows {

// dst[i] = src[i] * scale.
void scaleRow(const float* src, float scale, float* dst, size_t n);

// out[x] = sum over t < k of g[t] * in[x + t], for x < n.
void blurRowH(const float* in, const float* g, int k, float* out, size_t n);

// b[x] = sum over t < k of g[t] * top[t * stride + x]; then
// out[x] = clamp((1 + amount) * (in[x] * scale) - amount * b[x], 0, 255)
// for x < n. in and out may be the same row.
void sharpenRowV(const float* top, size_t stride, const float* g, int k,
                 float amount, const float* in, float scale, float* out,
                 size_t n);

// dst[4i..4i+3] = r[i], g[i], b[i], 0.
void interleaveRgb0(const float* r, const float* g, const float* b, float* dst,
                    size_t n);

}  // namespace le::plane_rows
