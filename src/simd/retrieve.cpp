// Distance terms of the teeth retrieval, emulating half-precision arithmetic
// exactly (a rounding after every half operation) so that rankings match
// across targets. The per-pixel terms are vectorised; the sum is sequential.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/retrieve.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>

#include "simd/half-inl.h"
#include "simd/half.h"

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF  // results must not depend on the target
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

constexpr size_t kTermBlock = 512;  // a multiple of every target's lane count

// m = h((|h(a0-b0)| + |h(a1-b1)| + |h(a2-b2)|) / 3) for Lanes(d) pixels at i.
template <class D>
HWY_INLINE hn::Vec<D> PixelMean(D d, const uint16_t* HWY_RESTRICT a,
                                const uint16_t* HWY_RESTRICT b, size_t n, size_t i) {
  // One call per channel: SVE vectors cannot be array elements.
  const auto dist = [&](size_t c) {
    return hn::Abs(RoundF16(d, hn::Sub(LoadF16(d, a + c * n + i), LoadF16(d, b + c * n + i))));
  };
  const auto total = hn::Add(hn::Add(dist(0), dist(1)), dist(2));
  return RoundF16(d, hn::Div(total, hn::Set(d, 3.0f)));
}

// The same term for one pixel, for the tails.
HWY_INLINE float PixelMeanOne(const uint16_t* HWY_RESTRICT a,
                              const uint16_t* HWY_RESTRICT b, size_t n, size_t i) {
  float dist[3];
  for (size_t c = 0; c < 3; ++c) {
    const float diff = ::le::f16ToF32(a[c * n + i]) - ::le::f16ToF32(b[c * n + i]);
    dist[c] = std::fabs(roundToF16(diff));
  }
  const float total = (dist[0] + dist[1]) + dist[2];
  return roundToF16(total / 3.0f);
}

// Writes term(i) for i in [begin, end) into t, then sums t in order.
template <class VecTerm, class OneTerm>
HWY_INLINE float SumTerms(size_t begin, size_t end, size_t lanes, VecTerm vecTerm,
                          OneTerm oneTerm) {
  HWY_ALIGN float t[kTermBlock];
  float sum = 0.0f;
  for (size_t i0 = begin; i0 < end; i0 += kTermBlock) {
    const size_t len = std::min(kTermBlock, end - i0);
    size_t k = 0;
    for (; k + lanes <= len; k += lanes) vecTerm(i0 + k, t + k);
    for (; k < len; ++k) t[k] = oneTerm(i0 + k);
    for (k = 0; k < len; ++k) sum += t[k];
  }
  return sum;
}

}  // namespace

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  const hn::ScalableTag<float> d;
  return SumTerms(
      0, n, hn::Lanes(d),
      [&](size_t i, float* out) {
        hn::Store(RoundF16(d, hn::Mul(LoadF16(d, w + i), PixelMean(d, a, b, n, i))), d, out);
      },
      [&](size_t i) { return roundToF16(::le::f16ToF32(w[i]) * PixelMeanOne(a, b, n, i)); });
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin,
                             size_t end) {
  const hn::ScalableTag<float> d;
  return SumTerms(
      begin, end, hn::Lanes(d),
      [&](size_t i, float* out) {
        const auto wi = hn::LoadU(d, w + i);
        // Zero weights add nothing, even against an infinite distance.
        const auto term = hn::IfThenZeroElse(hn::Eq(wi, hn::Zero(d)),
                                             hn::Mul(wi, PixelMean(d, a, b, n, i)));
        hn::Store(term, d, out);
      },
      [&](size_t i) { return w[i] == 0.0f ? 0.0f : w[i] * PixelMeanOne(a, b, n, i); });
}

float RetrieveTermExact(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                        const float* HWY_RESTRICT w, size_t n) {
  return RetrieveTermExactRange(a, b, w, n, 0, n);
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "simd/kernels.h"

namespace le::simd {

HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermExact);

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t begin, size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExact)(a, b, w, n);
}

}  // namespace le::simd
#endif  // HWY_ONCE
