// Products and sums are kept separate (no fused multiply-add) so every
// target, and the scalar tails, round the same way.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/plane_rows.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "paste/plane_rows.h"

HWY_BEFORE_NAMESPACE();
namespace le::plane_rows {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void ScaleRow(const float* src, float scale, float* dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vs = hn::Set(d, scale);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::Mul(hn::LoadU(d, src + i), vs), d, dst + i);
  for (; i < n; ++i) dst[i] = src[i] * scale;
}

void BlurRowH(const float* in, const float* g, int k, float* out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto acc = hn::Mul(hn::Set(d, g[0]), hn::LoadU(d, in + x));
    for (int t = 1; t < k; ++t) acc = hn::Add(acc, hn::Mul(hn::Set(d, g[t]), hn::LoadU(d, in + x + t)));
    hn::StoreU(acc, d, out + x);
  }
  for (; x < n; ++x) {
    float acc = g[0] * in[x];
    for (int t = 1; t < k; ++t) acc = acc + g[t] * in[x + t];
    out[x] = acc;
  }
}

void SharpenRowV(const float* top, size_t stride, const float* g, int k, float amount, const float* in, float scale,
                 float* out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const float gain = 1.f + amount;
  const auto vGain = hn::Set(d, gain), vAmount = hn::Set(d, amount), vScale = hn::Set(d, scale);
  const auto lo = hn::Zero(d), hi = hn::Set(d, 255.f);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto b = hn::Mul(hn::Set(d, g[0]), hn::LoadU(d, top + x));
    for (int t = 1; t < k; ++t) b = hn::Add(b, hn::Mul(hn::Set(d, g[t]), hn::LoadU(d, top + t * stride + x)));
    const auto p = hn::Mul(hn::LoadU(d, in + x), vScale);
    const auto v = hn::Sub(hn::Mul(vGain, p), hn::Mul(vAmount, b));
    hn::StoreU(hn::Min(hn::Max(v, lo), hi), d, out + x);
  }
  for (; x < n; ++x) {
    float b = g[0] * top[x];
    for (int t = 1; t < k; ++t) b = b + g[t] * top[t * stride + x];
    const float v = gain * (in[x] * scale) - amount * b;
    out[x] = v < 0.f ? 0.f : (v > 255.f ? 255.f : v);
  }
}

void InterleaveRgb0(const float* r, const float* g, const float* b, float* dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N)
    hn::StoreInterleaved4(hn::LoadU(d, r + i), hn::LoadU(d, g + i), hn::LoadU(d, b + i), zero, d, dst + 4 * i);
  for (; i < n; ++i) {
    dst[4 * i] = r[i];
    dst[4 * i + 1] = g[i];
    dst[4 * i + 2] = b[i];
    dst[4 * i + 3] = 0.f;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::plane_rows
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::plane_rows {

HWY_EXPORT(ScaleRow);
HWY_EXPORT(BlurRowH);
HWY_EXPORT(SharpenRowV);
HWY_EXPORT(InterleaveRgb0);

void scaleRow(const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleRow)(src, scale, dst, n);
}
void blurRowH(const float* in, const float* g, int k, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(BlurRowH)(in, g, k, out, n);
}
void sharpenRowV(const float* top, size_t stride, const float* g, int k, float amount, const float* in, float scale,
                 float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(SharpenRowV)(top, stride, g, k, amount, in, scale, out, n);
}
void interleaveRgb0(const float* r, const float* g, const float* b, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(InterleaveRgb0)(r, g, b, dst, n);
}

}  // namespace le::plane_rows
#endif
