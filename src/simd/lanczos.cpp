// Lanczos-8 paste of one output row: 8x8 window of the interleaved crop,
// bilinear mask alpha, blend into the RGB row.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/lanczos.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cmath>
#include <cstring>

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF  // the blend must not depend on the target
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr int kWindowFloats = 8 * 4;  // one window row: 8 pixels of 4 values

HWY_INLINE float MaskAt(const uint8_t* HWY_RESTRICT mask, int side, int x, int y) {
  return (x >= 0 && x < side && y >= 0 && y < side) ? mask[y * side + x] : 0.0f;
}

// Copies the window at (x0, y0) into a zero-padded 8x8x4 block.
HWY_INLINE void FillEdgeWindow(const float* HWY_RESTRICT crop, int side, int x0, int y0,
                               float* HWY_RESTRICT window) {
  for (int r = 0; r < 8; ++r) {
    const int yy = y0 + r;
    for (int c = 0; c < 8; ++c) {
      const int xx = x0 + c;
      float* dst = window + r * kWindowFloats + 4 * c;
      if (yy >= 0 && yy < side && xx >= 0 && xx < side) {
        std::memcpy(dst, crop + 4 * (static_cast<size_t>(yy) * side + xx), 4 * sizeof(float));
      } else {
        std::memset(dst, 0, 4 * sizeof(float));
      }
    }
  }
}

// sum_r vTaps[r] * window row r, over Lanes(d) floats at offset o. Rows 0-3
// and 4-7 accumulate separately to halve the dependency chains.
template <class D>
HWY_INLINE hn::Vec<D> ColumnSum(D d, const float* HWY_RESTRICT window, size_t stride, const float* HWY_RESTRICT vTaps,
                                size_t o) {
  auto top = hn::Mul(hn::Set(d, vTaps[0]), hn::LoadU(d, window + o));
  auto bottom = hn::Mul(hn::Set(d, vTaps[4]), hn::LoadU(d, window + 4 * stride + o));
  for (int r = 1; r < 4; ++r) {
    top = hn::MulAdd(hn::Set(d, vTaps[r]), hn::LoadU(d, window + r * stride + o), top);
    bottom = hn::MulAdd(hn::Set(d, vTaps[r + 4]), hn::LoadU(d, window + (r + 4) * stride + o), bottom);
  }
  return hn::Add(top, bottom);
}

// S[k] = sum_r vTaps[r] * sum_c hTaps[c] * window(c, r)[k], k < 3.
// expanded holds each horizontal tap four times, one per value of a pixel.
HWY_INLINE void WindowSum(const float* HWY_RESTRICT window, size_t stride,
                          const float* HWY_RESTRICT vTaps,
                          const float* HWY_RESTRICT expanded, float sum[3]) {
#if HWY_TARGET == HWY_SCALAR
  float s[4] = {0, 0, 0, 0};
  for (int c = 0; c < 8; ++c) {
    float col[4] = {0, 0, 0, 0};
    for (int r = 0; r < 8; ++r)
      for (int k = 0; k < 4; ++k) col[k] += vTaps[r] * window[r * stride + 4 * c + k];
    for (int k = 0; k < 4; ++k) s[k] += expanded[4 * c + k] * col[k];
  }
  for (int k = 0; k < 3; ++k) sum[k] = s[k];
#else
  // At least 4 lanes, at most 16, so every vector holds whole pixels.
  // Column vectors one at a time: SVE vectors cannot be array elements.
  const hn::CappedTag<float, 16> d;
  const size_t N = hn::Lanes(d);
  const size_t vecs = kWindowFloats / N;
  auto s = hn::Mul(ColumnSum(d, window, stride, vTaps, 0), hn::Load(d, expanded));
  for (size_t v = 1; v < vecs; ++v)
    s = hn::MulAdd(ColumnSum(d, window, stride, vTaps, v * N), hn::Load(d, expanded + v * N), s);
  HWY_ALIGN float lanes[16];
  hn::Store(s, d, lanes);
  for (int k = 0; k < 3; ++k) {
    float acc = lanes[k];
    for (size_t g = 4; g < N; g += 4) acc += lanes[g + k];
    sum[k] = acc;
  }
#endif
}

}  // namespace

void PasteLanczos8Row(const float* HWY_RESTRICT crop, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczos, const float* HWY_RESTRICT bilinear,
                      const int* HWY_RESTRICT colX, const int* HWY_RESTRICT colY, int baseX,
                      int baseY, int first, int last, uint8_t* HWY_RESTRICT outRow) {
  HWY_ALIGN float expanded[32 * kWindowFloats];
  for (int p = 0; p < 32; ++p)
    for (int c = 0; c < 8; ++c)
      for (int k = 0; k < 4; ++k) expanded[p * kWindowFloats + 4 * c + k] = lanczos[p * 8 + c];
  HWY_ALIGN float window[8 * kWindowFloats];
  const size_t cropStride = 4 * static_cast<size_t>(side);

  for (int x = first; x <= last; ++x) {
    const int sx = baseX + colX[x], sy = baseY + colY[x];
    const int ix = sx >> 10, iy = sy >> 10;
    const int px = (sx >> 5) & 31, py = (sy >> 5) & 31;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;

    const float* bx = bilinear + 2 * px;
    const float* by = bilinear + 2 * py;
    float m00, m10, m01, m11;
    if (ix >= 0 && ix + 1 < side && iy >= 0 && iy + 1 < side) {
      const uint8_t* mp = mask + static_cast<size_t>(iy) * side + ix;
      m00 = mp[0];
      m10 = mp[1];
      m01 = mp[side];
      m11 = mp[side + 1];
    } else {
      m00 = MaskAt(mask, side, ix, iy);
      m10 = MaskAt(mask, side, ix + 1, iy);
      m01 = MaskAt(mask, side, ix, iy + 1);
      m11 = MaskAt(mask, side, ix + 1, iy + 1);
    }
    const float m = by[0] * (bx[0] * m00 + bx[1] * m10) + by[1] * (bx[0] * m01 + bx[1] * m11);
    const float a = std::nearbyint(m) / 255.0f;
    if (!(a > 0.0f)) continue;

    const float* src;
    size_t stride;
    if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
      src = crop + (iy - 3) * cropStride + 4 * static_cast<size_t>(ix - 3);
      stride = cropStride;
    } else {
      FillEdgeWindow(crop, side, ix - 3, iy - 3, window);
      src = window;
      stride = kWindowFloats;
    }
    float s[3];
    WindowSum(src, stride, lanczos + 8 * py, expanded + px * kWindowFloats, s);

    uint8_t* o = outRow + 3 * x;
    const float keep = 1.0f - a;
    for (int k = 0; k < 3; ++k) {
      const float v = o[k] * keep + s[k] * a;
      o[k] = static_cast<uint8_t>(v > 0.0f ? (v < 255.0f ? v : 255.0f) : 0.0f);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "simd/kernels.h"

namespace le::simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* colX, const int* colY, int baseX,
                      int baseY, int first, int last, uint8_t* outRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(crop, side, mask, lanczos, bilinear, colX, colY, baseX,
                                         baseY, first, last, outRow);
}

}  // namespace le::simd
#endif  // HWY_ONCE
