// Half-precision and colour conversions.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/convert.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "simd/half-inl.h"
#include "simd/half.h"

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF  // results must not depend on the target
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Tails use the scalar conversions, which produce the same bits.
void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    StoreF16(d, hn::LoadU(d, src + i), dst + i);
    StoreF16(d, hn::LoadU(d, src + i + N), dst + i + N);
  }
  for (; i + N <= n; i += N) StoreF16(d, hn::LoadU(d, src + i), dst + i);
  for (; i < n; ++i) dst[i] = roundToF16Bits(src[i]);
}

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    hn::StoreU(LoadF16(d, src + i), d, dst + i);
    hn::StoreU(LoadF16(d, src + i + N), d, dst + i + N);
  }
  for (; i + N <= n; i += N) hn::StoreU(LoadF16(d, src + i), d, dst + i);
  for (; i < n; ++i) dst[i] = ::le::f16ToF32(src[i]);
}

void RoundF16Mul(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b,
                 float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto rounded = RoundF16(d, hn::LoadU(d, a + i));
    hn::StoreU(hn::Mul(hn::LoadU(d, b + i), rounded), d, out + i);
  }
  for (; i < n; ++i) out[i] = b[i] * roundToF16(a[i]);
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst,
                     size_t stride, size_t count) {
  const hn::ScalableTag<float> d;
  const hn::Rebind<uint8_t, decltype(d)> d8;
  const hn::RebindToSigned<decltype(d)> di;
  const size_t N = hn::Lanes(d);
  const auto k255 = hn::Set(d, 255.0f);
  uint16_t* HWY_RESTRICT planes[3] = {dst, dst + stride, dst + 2 * stride};
  size_t i = 0;
  for (; i + N <= count; i += N) {
    hn::Vec<decltype(d8)> r, g, b;  // named: SVE vectors cannot be array elements
    hn::LoadInterleaved3(d8, src + 3 * i, r, g, b);
    StoreF16(d, hn::Div(hn::ConvertTo(d, hn::PromoteTo(di, r)), k255), planes[0] + i);
    StoreF16(d, hn::Div(hn::ConvertTo(d, hn::PromoteTo(di, g)), k255), planes[1] + i);
    StoreF16(d, hn::Div(hn::ConvertTo(d, hn::PromoteTo(di, b)), k255), planes[2] + i);
  }
  for (; i < count; ++i)
    for (int k = 0; k < 3; ++k)
      planes[k][i] = roundToF16Bits(static_cast<float>(src[3 * i + k]) / 255.0f);
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "simd/kernels.h"

namespace le::simd {

HWY_EXPORT(F32ToF16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Rgb8ToPlanarF16);

void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}

void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}

void rgb8ToPlanarF16(const uint8_t* src, uint16_t* dst, size_t stride, size_t count) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(src, dst, stride, count);
}

}  // namespace le::simd
#endif  // HWY_ONCE
