// 3x3 convolution, stride 1, zero padding 1, over a range of (image, output
// channel) work items. The current image is copied once into a zero-bordered
// per-thread buffer so the inner loops need no bounds checks.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/conv3x3.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cstring>

#include "simd/scratch.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace {

// At most 16 lanes: padded rows are a multiple of 16 floats plus 2, so a
// final partial vector still reads inside its row.
using ConvTag = hn::CappedTag<float, 16>;
using ConvVec = hn::Vec<ConvTag>;

struct Padded {
  float* data;
  size_t stride;  // floats per padded row
  size_t plane;   // floats per padded channel plane
};

Padded PadImage(const float* HWY_RESTRICT image, int Cin, int H, int W) {
  Padded p;
  p.stride = (static_cast<size_t>(W) + 15) / 16 * 16 + 2;
  p.plane = p.stride * static_cast<size_t>(H + 2);
  p.data = convScratch(p.plane * static_cast<size_t>(Cin));
  for (int ic = 0; ic < Cin; ++ic) {
    float* plane = p.data + p.plane * ic;
    std::memset(plane, 0, p.stride * sizeof(float));
    for (int y = 0; y < H; ++y) {
      float* row = plane + p.stride * (y + 1);
      row[0] = 0.0f;
      std::memcpy(row + 1, image + (static_cast<size_t>(ic) * H + y) * W, W * sizeof(float));
      std::memset(row + 1 + W, 0, (p.stride - 1 - W) * sizeof(float));
    }
    std::memset(plane + p.stride * (H + 1), 0, p.stride * sizeof(float));
  }
  return p;
}

// G (1 or 4) output channels from oc at once, over Lanes(d) columns starting
// at x, into a0..a3. Named accumulators: SVE vectors cannot be array elements.
template <int G>
HWY_INLINE void ConvColumns(const Padded& p, int Cin, const float* HWY_RESTRICT weights, const float* HWY_RESTRICT bias,
                            int oc, int y, size_t x, ConvVec& a0, ConvVec& a1, ConvVec& a2, ConvVec& a3) {
  static_assert(G == 1 || G == 4);
  const ConvTag d;
  const size_t wStride = static_cast<size_t>(Cin) * 9;
  a0 = hn::Set(d, bias[oc]);
  if constexpr (G == 4) {
    a1 = hn::Set(d, bias[oc + 1]);
    a2 = hn::Set(d, bias[oc + 2]);
    a3 = hn::Set(d, bias[oc + 3]);
  }
  for (int ic = 0; ic < Cin; ++ic) {
    const float* plane = p.data + p.plane * ic + p.stride * y + x;
    const float* w = weights + static_cast<size_t>(oc) * wStride + ic * 9;
    for (int ky = 0; ky < 3; ++ky) {
      const float* row = plane + p.stride * ky;
      for (int kx = 0; kx < 3; ++kx) {
        const auto v = hn::LoadU(d, row + kx);
        const float* tap = w + ky * 3 + kx;
        a0 = hn::MulAdd(hn::Set(d, tap[0]), v, a0);
        if constexpr (G == 4) {
          a1 = hn::MulAdd(hn::Set(d, tap[wStride]), v, a1);
          a2 = hn::MulAdd(hn::Set(d, tap[2 * wStride]), v, a2);
          a3 = hn::MulAdd(hn::Set(d, tap[3 * wStride]), v, a3);
        }
      }
    }
  }
}

// Stores a0, and a1..a3 when G is 4, at dst with planes `step` floats apart.
template <int G>
HWY_INLINE void StoreGroup(ConvVec a0, ConvVec a1, ConvVec a2, ConvVec a3, float* HWY_RESTRICT dst, size_t step) {
  const ConvTag d;
  hn::StoreU(a0, d, dst);
  if constexpr (G == 4) {
    hn::StoreU(a1, d, dst + step);
    hn::StoreU(a2, d, dst + 2 * step);
    hn::StoreU(a3, d, dst + 3 * step);
  }
}

template <int G>
void ConvChannels(const Padded& p, int Cin, int H, int W, const float* HWY_RESTRICT weights,
                  const float* HWY_RESTRICT bias, int oc, float* HWY_RESTRICT out) {
  const ConvTag d;
  const size_t N = hn::Lanes(d);
  const size_t planeOut = static_cast<size_t>(H) * W;
  ConvVec a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0;
  for (int y = 0; y < H; ++y) {
    float* row = out + static_cast<size_t>(y) * W;
    size_t x = 0;
    for (; x + N <= static_cast<size_t>(W); x += N) {
      ConvColumns<G>(p, Cin, weights, bias, oc, y, x, a0, a1, a2, a3);
      StoreGroup<G>(a0, a1, a2, a3, row + x, planeOut);
    }
    if (x < static_cast<size_t>(W)) {
      HWY_ALIGN float tail[4 * 16];
      ConvColumns<G>(p, Cin, weights, bias, oc, y, x, a0, a1, a2, a3);
      StoreGroup<G>(a0, a1, a2, a3, tail, 16);
      for (int g = 0; g < G; ++g) std::memcpy(row + g * planeOut + x, tail + 16 * g, (W - x) * sizeof(float));
    }
  }
}

}  // namespace

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W,
                  const float* HWY_RESTRICT weights, const float* HWY_RESTRICT bias, int Cout,
                  float* HWY_RESTRICT out, int j0, int j1) {
  if (j0 >= j1 || H <= 0 || W <= 0 || Cout <= 0) return;
  j1 = std::min(j1, N * Cout);
  const size_t planeIn = static_cast<size_t>(H) * W;
  Padded padded{};
  int loaded = -1;
  for (int j = j0; j < j1;) {
    const int image = j / Cout, oc = j % Cout;
    if (image != loaded) {
      padded = PadImage(in + planeIn * Cin * image, Cin, H, W);
      loaded = image;
    }
    float* dst = out + planeIn * j;
    const int left = std::min(j1, (image + 1) * Cout) - j;  // items of this image
    if (left >= 4) {
      ConvChannels<4>(padded, Cin, H, W, weights, bias, oc, dst);
      j += 4;
    } else {
      ConvChannels<1>(padded, Cin, H, W, weights, bias, oc, dst);
      j += 1;
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "simd/kernels.h"

namespace le::simd {

HWY_EXPORT(Conv3x3Range);

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weights,
                  const float* bias, int Cout, float* out, int j0, int j1) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weights, bias, Cout, out, j0, j1);
}

}  // namespace le::simd
#endif  // HWY_ONCE
