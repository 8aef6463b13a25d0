// BT.601 limited-range YUV 4:2:0 rows to packed RGB, in 16-bit integer lanes.
//
// With Y' = Y - 16, the 32-bit formula floor((298 Y' + 409 E + 128) / 256)
// equals Y' + E + floor((42 Y' + 153 E + 128) / 256), whose remainder term
// fits 16 bits; likewise G = Y' - E + floor((42 Y' - 100 D + 48 E + 128) / 256)
// and B = Y' + 2D + floor((42 Y' + 4 D + 128) / 256). Exact for all inputs.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/yuv.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>

// Even and odd bytes are split and rejoined through 16-bit lanes.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian lanes assumed");

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

HWY_INLINE void YuvPixels(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                          const uint8_t* HWY_RESTRICT v, int begin, int end, int step,
                          uint8_t* HWY_RESTRICT out) {
  for (int x = begin; x < end; ++x) {
    const int c = 298 * (y[x] - 16) + 128;
    const int d = u[(x / 2) * step] - 128, e = v[(x / 2) * step] - 128;
    out[3 * x] = static_cast<uint8_t>(std::clamp((c + 409 * e) >> 8, 0, 255));
    out[3 * x + 1] = static_cast<uint8_t>(std::clamp((c - 100 * d - 208 * e) >> 8, 0, 255));
    out[3 * x + 2] = static_cast<uint8_t>(std::clamp((c + 516 * d) >> 8, 0, 255));
  }
}

}  // namespace

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                      const uint8_t* HWY_RESTRICT v, int width, int step,
                      uint8_t* HWY_RESTRICT out) {
  int x = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<uint8_t> d8;
  const hn::RepartitionToWide<decltype(d8)> du16;
  const hn::RebindToSigned<decltype(du16)> d16;
  const hn::Rebind<uint8_t, decltype(d16)> d8half;
  const int span = static_cast<int>(2 * hn::Lanes(d16));
  const auto lowByte = hn::Set(du16, 0x00FF);
  const auto k128 = hn::Set(d16, 128);
  const auto k16 = hn::Set(d16, 16);
  const auto k255 = hn::Set(d16, 255);
  const auto zero = hn::Zero(d16);
  // A chroma step of 2 loads pairs, which must not run past the last sample.
  const int reach = step == 1 ? span : span + 1;
  for (; x + reach <= width; x += span) {
    const auto yy = hn::BitCast(du16, hn::LoadU(d8, y + x));
    const auto yEven = hn::Sub(hn::BitCast(d16, hn::And(yy, lowByte)), k16);
    const auto yOdd = hn::Sub(hn::BitCast(d16, hn::ShiftRight<8>(yy)), k16);
    hn::Vec<decltype(d16)> cb, cr;
    if (step == 1) {
      cb = hn::PromoteTo(d16, hn::LoadU(d8half, u + x / 2));
      cr = hn::PromoteTo(d16, hn::LoadU(d8half, v + x / 2));
    } else {
      cb = hn::BitCast(d16, hn::And(hn::BitCast(du16, hn::LoadU(d8, u + x)), lowByte));
      cr = hn::BitCast(d16, hn::And(hn::BitCast(du16, hn::LoadU(d8, v + x)), lowByte));
    }
    const auto D = hn::Sub(cb, k128);
    const auto E = hn::Sub(cr, k128);
    // Per chroma sample, shared by the even and the odd pixel.
    const auto remR = hn::Add(hn::Mul(E, hn::Set(d16, 153)), k128);
    const auto remG = hn::Add(hn::Sub(hn::Mul(E, hn::Set(d16, 48)), hn::Mul(D, hn::Set(d16, 100))), k128);
    const auto remB = hn::Add(hn::ShiftLeft<2>(D), k128);
    const auto y42Even = hn::Mul(yEven, hn::Set(d16, 42));
    const auto y42Odd = hn::Mul(yOdd, hn::Set(d16, 42));
    auto channel = [&](hn::Vec<decltype(d16)> base, hn::Vec<decltype(d16)> rem) {
      const auto even = hn::Add(hn::Add(yEven, base), hn::ShiftRight<8>(hn::Add(y42Even, rem)));
      const auto odd = hn::Add(hn::Add(yOdd, base), hn::ShiftRight<8>(hn::Add(y42Odd, rem)));
      const auto evenByte = hn::BitCast(du16, hn::Min(hn::Max(even, zero), k255));
      const auto oddByte = hn::BitCast(du16, hn::Min(hn::Max(odd, zero), k255));
      return hn::BitCast(d8, hn::Or(evenByte, hn::ShiftLeft<8>(oddByte)));
    };
    const auto r = channel(E, remR);
    const auto g = channel(hn::Neg(E), remG);
    const auto b = channel(hn::Add(D, D), remB);
    hn::StoreInterleaved3(r, g, b, d8, out + 3 * x);
  }
#endif
  YuvPixels(y, u, v, x, width, step, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "simd/kernels.h"

namespace le::simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int step, uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, step, out);
}

}  // namespace le::simd
#endif  // HWY_ONCE
