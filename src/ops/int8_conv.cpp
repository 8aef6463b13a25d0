// Dequantisation must round the same way in every body, so nothing here may
// fuse a multiply and an add.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/int8_conv.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/aligned_allocator.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "ops/int8_conv.h"
#include "pool/pool.h"

#ifndef LE_OPS_INT8_CONV_SHARED
#define LE_OPS_INT8_CONV_SHARED
namespace le::i8 {

inline constexpr int kTile = 3;  // output pixels per register tile

// Offset of output pixel (oy, ox)'s first tap in the padded image, group g.
inline size_t pixelBase(const Int8ConvGeometry& g, int oy, int ox, int group) {
  return (static_cast<size_t>(oy) * g.strideH * g.Wp() + static_cast<size_t>(ox) * g.strideW) * g.pixelValues() +
         static_cast<size_t>(group) * g.quadsPerTap() * 4;
}

// Offset of tap (ky, kx) from a pixel's base.
inline size_t tapOffset(const Int8ConvGeometry& g, int ky, int kx) {
  return (static_cast<size_t>(ky) * g.dilationH * g.Wp() + static_cast<size_t>(kx) * g.dilationW) * g.pixelValues();
}

inline float dequantise(int32_t acc, int zp, int32_t sum, float scale, float bias) {
  const int64_t centred = static_cast<int64_t>(acc) - static_cast<int64_t>(zp) * sum;
  const float y = static_cast<float>(centred) * scale;
  return y + bias;
}

// zp + rint(v / scale), clamped to [0, 255] before any integer conversion.
inline uint16_t quantise(float v, float scale, float zp) {
  float r = std::nearbyint(v / scale) + zp;
  r = std::min(std::max(r, 0.0f), 255.0f);
  return static_cast<uint16_t>(r);
}

}  // namespace le::i8
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void MinMaxRange(const float* HWY_RESTRICT x, size_t n, float& lo, float& hi) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  auto vlo = hn::Zero(d), vhi = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(d, x + i);
    vlo = hn::Min(vlo, v);
    vhi = hn::Max(vhi, v);
  }
  lo = hn::GetLane(hn::MinOfLanes(d, vlo));
  hi = hn::GetLane(hn::MaxOfLanes(d, vhi));
  for (; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
}

// One image row of channel c into the pixel-major image.
// One image row of the (up to) four channels of a quad slot into the
// pixel-major image: each pixel's quad is one 8-byte store. A missing
// channel (null) reads the zero point.
void QuantiseQuadRow(const float* const* HWY_RESTRICT x, int W, float scale, float zp, uint16_t* HWY_RESTRICT q,
                     size_t step) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::Rebind<uint16_t, decltype(d)> du16;
  const size_t N = hn::Lanes(d);
  HWY_ALIGN uint16_t quads[4 * hn::MaxLanes(d)];
  const auto vs = hn::Set(d, scale), vz = hn::Set(d, zp), v0 = hn::Zero(d), v255 = hn::Set(d, 255.0f);
  const auto channel = [&](const float* row, size_t x0) {
    if (!row) return hn::Set(du16, static_cast<uint16_t>(zp));
    auto r = hn::Add(hn::Round(hn::Div(hn::LoadU(d, row + x0), vs)), vz);
    r = hn::Min(hn::Max(r, v0), v255);
    return hn::DemoteTo(du16, hn::ConvertTo(di, r));
  };
  size_t x0 = 0;
  for (; x0 + N <= static_cast<size_t>(W); x0 += N) {
    hn::StoreInterleaved4(channel(x[0], x0), channel(x[1], x0), channel(x[2], x0), channel(x[3], x0), du16, quads);
    for (size_t j = 0; j < N; ++j) std::memcpy(q + (x0 + j) * step, quads + 4 * j, 8);
  }
  for (; x0 < static_cast<size_t>(W); ++x0)
    for (int c = 0; c < 4; ++c) q[x0 * step + c] = x[c] ? i8::quantise(x[c][x0], scale, zp) : static_cast<uint16_t>(zp);
}

#if HWY_TARGET != HWY_SCALAR
// At most 256 bits: a tile is 4 vectors of Lanes/4 channels (16 channels on
// AVX2 and SVE-256, 8 on NEON), 4 int16 values of one quad per channel.
using D16 = hn::CappedTag<int16_t, 16>;
using D32 = hn::Repartition<int32_t, D16>;
using V16 = hn::Vec<D16>;
using V32 = hn::Vec<D32>;

// The 4 values of a quad, repeated across an int16 vector.
HWY_INLINE V16 Quad(const uint16_t* HWY_RESTRICT p) {
  const D16 d16;
  const hn::Repartition<uint64_t, D16> d64;
  uint64_t bits;
  std::memcpy(&bits, p, 8);
  return hn::BitCast(d16, hn::Set(d64, bits));
}

// V (1 or 4) weight vectors against one activation quad.
template <int V>
HWY_INLINE void Mac(D32 d32, V16 act, const int16_t* HWY_RESTRICT w, size_t step, V32& a0, V32& a1, V32& b0,
                    V32& b1, V32& c0, V32& c1, V32& e0, V32& e1) {
  const D16 d16;
  a0 = hn::ReorderWidenMulAccumulate(d32, act, hn::LoadU(d16, w), a0, a1);
  if constexpr (V > 1) {
    b0 = hn::ReorderWidenMulAccumulate(d32, act, hn::LoadU(d16, w + step), b0, b1);
    c0 = hn::ReorderWidenMulAccumulate(d32, act, hn::LoadU(d16, w + 2 * step), c0, c1);
    e0 = hn::ReorderWidenMulAccumulate(d32, act, hn::LoadU(d16, w + 3 * step), e0, e1);
  }
}

template <int V>
HWY_INLINE void StoreSums(D32 d32, int32_t* HWY_RESTRICT s, V32 a0, V32 a1, V32 b0, V32 b1, V32 c0, V32 c1, V32 e0,
                          V32 e1) {
  const size_t L = hn::Lanes(d32);
  hn::Store(hn::RearrangeToOddPlusEven(a0, a1), d32, s);
  if constexpr (V > 1) {
    hn::Store(hn::RearrangeToOddPlusEven(b0, b1), d32, s + L);
    hn::Store(hn::RearrangeToOddPlusEven(c0, c1), d32, s + 2 * L);
    hn::Store(hn::RearrangeToOddPlusEven(e0, e1), d32, s + 3 * L);
  }
}

// R (1 or kTile) pixels x V vectors of channels from c0 (V = 1 for a layer
// of few output channels), all quads; pixel r's pair sums (two int32 lanes a
// channel) go to sums[r * V * Lanes(d32) ...].
template <int V, int R>
HWY_INLINE void TileSums(const Int8ConvGeometry& g, const uint16_t* HWY_RESTRICT q, const size_t* base,
                         const int16_t* HWY_RESTRICT block, size_t c0, int32_t* HWY_RESTRICT sums) {
  static_assert((V == 1 || V == 4) && (R == 1 || R == i8::kTile));
  const D32 d32;
  const size_t L = hn::Lanes(d32);
  const size_t step = 2 * L;  // int16 values of one vector: L/2 channels x 4
  const auto z = hn::Zero(d32);
  V32 p0a0 = z, p0a1 = z, p0b0 = z, p0b1 = z, p0c0 = z, p0c1 = z, p0e0 = z, p0e1 = z;
  V32 p1a0 = z, p1a1 = z, p1b0 = z, p1b1 = z, p1c0 = z, p1c1 = z, p1e0 = z, p1e1 = z;
  V32 p2a0 = z, p2a1 = z, p2b0 = z, p2b1 = z, p2c0 = z, p2c1 = z, p2e0 = z, p2e1 = z;
  const int qpt = g.quadsPerTap();
  size_t k = 0;
  for (int ky = 0; ky < g.kH; ++ky)
    for (int kx = 0; kx < g.kW; ++kx) {
      const size_t tap = i8::tapOffset(g, ky, kx);
      for (int cq = 0; cq < qpt; ++cq, ++k) {
        const int16_t* w = block + (k * kInt8ChannelBlock + c0) * 4;
        const size_t off = tap + static_cast<size_t>(cq) * 4;
        Mac<V>(d32, Quad(q + base[0] + off), w, step, p0a0, p0a1, p0b0, p0b1, p0c0, p0c1, p0e0, p0e1);
        if constexpr (R > 1) {
          Mac<V>(d32, Quad(q + base[1] + off), w, step, p1a0, p1a1, p1b0, p1b1, p1c0, p1c1, p1e0, p1e1);
          Mac<V>(d32, Quad(q + base[2] + off), w, step, p2a0, p2a1, p2b0, p2b1, p2c0, p2c1, p2e0, p2e1);
        }
      }
    }
  StoreSums<V>(d32, sums, p0a0, p0a1, p0b0, p0b1, p0c0, p0c1, p0e0, p0e1);
  if constexpr (R > 1) {
    StoreSums<V>(d32, sums + V * L, p1a0, p1a1, p1b0, p1b1, p1c0, p1c1, p1e0, p1e1);
    StoreSums<V>(d32, sums + 2 * V * L, p2a0, p2a1, p2b0, p2b1, p2c0, p2c1, p2e0, p2e1);
  }
}

// Output row oy of one channel tile: channels [mFirst, mEnd) from block
// offset c0, V vectors wide.
template <int V>
void TileRow(const Int8ConvArgs& a, int oy, int gr, const int16_t* HWY_RESTRICT block, size_t c0, int mFirst,
             int mEnd) {
  const Int8ConvGeometry& g = *a.g;
  const D32 d32;
  const size_t stride = V * hn::Lanes(d32);  // sums of one pixel
  const int Wo = g.Wo();
  const size_t plane = static_cast<size_t>(g.Ho()) * Wo;
  HWY_ALIGN int32_t sums[i8::kTile * 4 * hn::MaxLanes(d32)];
  size_t base[i8::kTile];
  int ox = 0;
  const auto emit = [&](int pixels) {
    for (int m = mFirst; m < mEnd; ++m) {
      const int32_t* s = sums + static_cast<size_t>(m - mFirst) * 2;
      const float scale = a.qz.scale * a.scaleW[m];
      float* o = a.out + m * plane + static_cast<size_t>(oy) * Wo + ox;
      for (int r = 0; r < pixels; ++r, s += stride)
        o[r] = i8::dequantise(s[0] + s[1], a.qz.zeroPoint, a.w->sum[m], scale, a.bias[m]);
    }
  };
  for (; ox + i8::kTile <= Wo; ox += i8::kTile) {
    for (int r = 0; r < i8::kTile; ++r) base[r] = i8::pixelBase(g, oy, ox + r, gr);
    TileSums<V, i8::kTile>(g, a.q, base, block, c0, sums);
    emit(i8::kTile);
  }
  for (; ox < Wo; ++ox) {
    base[0] = i8::pixelBase(g, oy, ox, gr);
    TileSums<V, 1>(g, a.q, base, block, c0, sums);
    emit(1);
  }
}
#endif  // HWY_TARGET != HWY_SCALAR

void Int8ConvRowsBody(const Int8ConvArgs& a, int y0, int y1) {
#if HWY_TARGET == HWY_SCALAR
  // One-lane vectors hold no pair of int16 products.
  int8ConvRowsScalar(a, y0, y1);
#else
  const Int8ConvGeometry& g = *a.g;
  const D32 d32;
  const int narrow = static_cast<int>(hn::Lanes(d32)) / 2;  // channels of one vector (two int32 lanes each)
  const int Mg = g.Mg();
  const size_t blockValues = static_cast<size_t>(g.quads()) * kInt8ChannelBlock * 4;
  for (int oy = y0; oy < y1; ++oy)
    for (int gr = 0; gr < g.group; ++gr)
      for (int blk = 0; blk < a.w->blocksPerGroup; ++blk) {
        const int16_t* block =
            a.w->packed.data() + (static_cast<size_t>(gr) * a.w->blocksPerGroup + blk) * blockValues;
        const int first = gr * Mg + blk * kInt8ChannelBlock;
        const int end = std::min(first + kInt8ChannelBlock, (gr + 1) * Mg);
        // Tiles of four vectors; the last few channels of a block one vector at a time.
        for (int m = first; m < end;) {
          const size_t c0 = static_cast<size_t>(m - first);
          if (end - m > narrow) {
            TileRow<4>(a, oy, gr, block, c0, m, std::min(m + 4 * narrow, end));
            m += 4 * narrow;
          } else {
            TileRow<1>(a, oy, gr, block, c0, m, end);
            m = end;
          }
        }
      }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(MinMaxRange);
HWY_EXPORT(QuantiseQuadRow);
HWY_EXPORT(Int8ConvRowsBody);

int Int8ConvGeometry::Ho() const { return (Hp() - dilationH * (kH - 1) - 1) / strideH + 1; }
int Int8ConvGeometry::Wo() const { return (Wp() - dilationW * (kW - 1) - 1) / strideW + 1; }

void minmax_par(const float* x, unsigned long n, float& lo, float& hi) {
  lo = 0.0f;
  hi = 0.0f;
  std::mutex combine;
  pool::parallelRange(n, 4096, [&](size_t begin, size_t end) {
    float l, h;
    HWY_DYNAMIC_DISPATCH(MinMaxRange)(x + begin, end - begin, l, h);
    std::lock_guard<std::mutex> lock(combine);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
}

Int8Quantisation int8Quantisation(float lo, float hi) {
  Int8Quantisation qz;
  qz.scale = (hi - lo) / 255.0f;
  float zp;
  if (qz.scale > 0.0f) {
    zp = std::nearbyint(-lo / qz.scale);
  } else {
    qz.scale = 1.0f;
    zp = std::nearbyint(-lo);
  }
  qz.zeroPoint = static_cast<int>(std::min(std::max(zp, 0.0f), 255.0f));
  return qz;
}

Int8PackedWeights int8PackWeights(const Int8ConvGeometry& g, const int8_t* w) {
  Int8PackedWeights p;
  const int Mg = g.Mg(), Cg = g.Cg(), taps = g.kH * g.kW, qpt = g.quadsPerTap();
  p.blocksPerGroup = (Mg + kInt8ChannelBlock - 1) / kInt8ChannelBlock;
  const size_t blockValues = static_cast<size_t>(g.quads()) * kInt8ChannelBlock * 4;
  p.packed.assign(blockValues * p.blocksPerGroup * g.group, 0);
  p.sum.assign(static_cast<size_t>(g.M), 0);
  for (int m = 0; m < g.M; ++m) {
    const int gr = m / Mg, blk = (m % Mg) / kInt8ChannelBlock, lane = (m % Mg) % kInt8ChannelBlock;
    int16_t* block = p.packed.data() + (static_cast<size_t>(gr) * p.blocksPerGroup + blk) * blockValues;
    for (int c = 0; c < Cg; ++c)
      for (int t = 0; t < taps; ++t) {
        const int8_t v = w[(static_cast<size_t>(m) * Cg + c) * taps + t];
        const size_t k = static_cast<size_t>(t) * qpt + c / 4;
        block[(k * kInt8ChannelBlock + lane) * 4 + c % 4] = v;
        p.sum[m] += v;
      }
  }
  return p;
}

void int8QuantiseImage(const Int8ConvGeometry& g, const float* x, Int8Quantisation qz, uint16_t* q) {
  const size_t rowValues = g.pixelValues() * g.Wp();
  const int Cg = g.Cg();
  const float zp = static_cast<float>(qz.zeroPoint);
  // Padding rows and columns, and the unused slots of a quad, read the zero point.
  pool::parallelRange(static_cast<size_t>(g.Hp()), 8, [&](size_t r0, size_t r1) {
    for (size_t r = r0; r < r1; ++r) {
      uint16_t* row = q + r * rowValues;
      const int y = static_cast<int>(r) - g.padTop;
      if (y < 0 || y >= g.H) {
        std::fill_n(row, rowValues, static_cast<uint16_t>(qz.zeroPoint));
        continue;
      }
      std::fill_n(row, g.padLeft * g.pixelValues(), static_cast<uint16_t>(qz.zeroPoint));
      std::fill_n(row + (g.padLeft + g.W) * g.pixelValues(), g.padRight * g.pixelValues(),
                  static_cast<uint16_t>(qz.zeroPoint));
      for (int gr = 0; gr < g.group; ++gr)
        for (int cq = 0; cq < g.quadsPerTap(); ++cq) {
          const float* rows[4];
          for (int j = 0; j < 4; ++j) {
            const int c = 4 * cq + j;
            rows[j] = c < Cg ? x + (static_cast<size_t>(gr * Cg + c) * g.H + y) * g.W : nullptr;
          }
          const size_t slot = (static_cast<size_t>(gr) * g.quadsPerTap() + cq) * 4;
          HWY_DYNAMIC_DISPATCH(QuantiseQuadRow)
          (rows, g.W, qz.scale, zp, row + g.padLeft * g.pixelValues() + slot, g.pixelValues());
        }
    }
  });
}

void int8ConvRows(const Int8ConvArgs& a, int y0, int y1) { HWY_DYNAMIC_DISPATCH(Int8ConvRowsBody)(a, y0, y1); }

void int8ConvRowsScalar(const Int8ConvArgs& a, int y0, int y1) {
  const Int8ConvGeometry& g = *a.g;
  const int Ho = g.Ho(), Wo = g.Wo(), Mg = g.Mg(), Cg = g.Cg(), taps = g.kH * g.kW, qpt = g.quadsPerTap();
  const size_t plane = static_cast<size_t>(Ho) * Wo;
  const size_t blockValues = static_cast<size_t>(g.quads()) * kInt8ChannelBlock * 4;
  for (int oy = y0; oy < y1; ++oy)
    for (int ox = 0; ox < Wo; ++ox)
      for (int m = 0; m < g.M; ++m) {
        const int gr = m / Mg, blk = (m % Mg) / kInt8ChannelBlock, lane = (m % Mg) % kInt8ChannelBlock;
        const int16_t* block = a.w->packed.data() + (static_cast<size_t>(gr) * a.w->blocksPerGroup + blk) * blockValues;
        const size_t base = i8::pixelBase(g, oy, ox, gr);
        int32_t acc = 0;
        for (int t = 0; t < taps; ++t) {
          const uint16_t* px = a.q + base + i8::tapOffset(g, t / g.kW, t % g.kW);
          for (int c = 0; c < Cg; ++c)
            acc += static_cast<int32_t>(px[c]) *
                   block[((static_cast<size_t>(t) * qpt + c / 4) * kInt8ChannelBlock + lane) * 4 + c % 4];
        }
        a.out[m * plane + static_cast<size_t>(oy) * Wo + ox] =
            i8::dequantise(acc, a.qz.zeroPoint, a.w->sum[m], a.qz.scale * a.scaleW[m], a.bias[m]);
      }
}

}  // namespace le
#endif  // HWY_ONCE
