// The portable form rounds with a split that an automatic fused multiply-add
// would break, so nothing here may be contracted.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "render/conv_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace le::conv {

namespace {

#if defined(__aarch64__)

struct V {
  float16x8_t v;
};
inline V load(const half_t* p) { return {vld1q_f16(p)}; }
inline V loadEven(const half_t* p) { return {vld2q_f16(p).val[0]}; }  // p[0], p[2], ... p[14]
inline void store(half_t* p, V a) { vst1q_f16(p, a.v); }
inline V dup(float x) { return {vdupq_n_f16(static_cast<half_t>(x))}; }
inline V fma(V acc, V x, half_t w) { return {vfmaq_n_f16(acc.v, x.v, w)}; }
inline V relu(V a) { return {vmaxq_f16(a.v, vdupq_n_f16(0))}; }

#else

// Veltkamp's split keeps the 11 leading bits of a float: half precision's
// rounding for every value in half's normal range.
inline float roundHalf(float x) {
  const float c = x * 8193.0f;
  return c - (c - x);
}

struct V {
  float v[kLanes];
};
inline V load(const half_t* p) {
  V a;
  std::memcpy(a.v, p, sizeof a.v);
  return a;
}
inline V loadEven(const half_t* p) {
  V a;
  for (int i = 0; i < kLanes; ++i) a.v[i] = p[2 * i];
  return a;
}
inline void store(half_t* p, V a) { std::memcpy(p, a.v, sizeof a.v); }
inline V dup(float x) {
  V a;
  std::fill_n(a.v, kLanes, roundHalf(x));
  return a;
}
// A fused multiply-add: the product of two halves is exact in a float.
inline V fma(V acc, V x, half_t w) {
  for (int i = 0; i < kLanes; ++i) acc.v[i] = roundHalf(acc.v[i] + x.v[i] * w);
  return acc;
}
inline V relu(V a) {
  for (float& v : a.v) v = std::max(v, 0.0f);
  return a;
}

#endif

template <int B>
void blockRows(const PackedConv& L, size_t blk, const HalfMaps& in, const HalfMaps& out, int stride, bool relu_,
               int y0, int y1) {
  const int k = L.k, centre = k / 2, o0 = L.blockFirst[blk];
  const half_t* wBlock = L.weights.data() + L.blockOffset[blk];
  for (int y = y0; y < y1; ++y)
    for (int x0 = 0; x0 < out.W; x0 += kLanes) {
      V acc[B];
      for (int b = 0; b < B; ++b) acc[b] = dup(L.bias[o0 + b]);
      const half_t* w = wBlock;
      for (int c = 0; c < L.in; ++c)
        for (int ky = 0; ky < k; ++ky) {
          const half_t* row = in.at(c, y * stride + ky - centre, x0 * stride - centre);
          for (int kx = 0; kx < k; ++kx, w += B) {
            const V x = stride == 1 ? load(row + kx) : loadEven(row + kx);
            for (int b = 0; b < B; ++b) acc[b] = fma(acc[b], x, w[b]);
          }
        }
      const int valid = std::min(kLanes, out.W - x0);
      for (int b = 0; b < B; ++b) {
        const V r = relu_ ? relu(acc[b]) : acc[b];
        half_t* dst = out.at(o0 + b, y, x0);
        if (valid == kLanes) {
          store(dst, r);
        } else {
          half_t tail[kLanes];
          store(tail, r);
          std::copy_n(tail, valid, dst);  // the border beyond W stays zero
        }
      }
    }
}

}  // namespace

half_t toHalf(float v) {
#if defined(__aarch64__)
  return static_cast<half_t>(v);
#else
  return roundHalf(v);
#endif
}

HalfMaps HalfMaps::channels(int c0, int n) const {
  HalfMaps m = *this;
  m.data = data + static_cast<size_t>(c0) * plane;
  m.C = n;
  return m;
}

void HalfBuffer::allocate(int C, int H, int W, int pad) {
  maps_.C = C, maps_.H = H, maps_.W = W, maps_.pad = pad;
  // Room for a vector read from any column, and for a stride-2 read of a
  // whole output vector past the last column.
  maps_.stride = static_cast<size_t>((W + kLanes - 1) / kLanes * kLanes + 2 * pad + 2 * kLanes);
  maps_.plane = maps_.stride * static_cast<size_t>(H + 2 * pad + 1);
  storage_.assign(maps_.plane * C + maps_.stride, 0);
  maps_.data = storage_.data();
}

PackedConv packConv(const float* w, const float* bias, int out, int in, int k) {
  PackedConv L;
  L.in = in, L.out = out, L.k = k;
  // Blocks of four; a remainder of five becomes 3 + 2.
  if (out < 2) throw std::logic_error("le_conv: a packed layer needs at least two output channels");
  for (int o = 0; o < out;) {
    const int left = out - o;
    const int size = left >= 6 || left == 4 ? 4 : left == 5 ? 3 : left;
    L.blockFirst.push_back(o);
    L.blockSize.push_back(size);
    o += size;
  }
  const int taps = k * k;
  for (size_t b = 0; b < L.blockFirst.size(); ++b) {
    L.blockOffset.push_back(L.weights.size());
    for (int c = 0; c < in; ++c)
      for (int t = 0; t < taps; ++t)
        for (int j = 0; j < L.blockSize[b]; ++j) {
          const int o = L.blockFirst[b] + j;
          L.weights.push_back(toHalf(w[(static_cast<size_t>(o) * in + c) * taps + t]));
        }
  }
  L.bias.assign(bias, bias + out);
  return L;
}

void convRows(const PackedConv& L, const HalfMaps& in, const HalfMaps& out, int stride, bool relu, int y0, int y1) {
  for (size_t b = 0; b < L.blockFirst.size(); ++b) {
    switch (L.blockSize[b]) {
      case 2:
        blockRows<2>(L, b, in, out, stride, relu, y0, y1);
        break;
      case 3:
        blockRows<3>(L, b, in, out, stride, relu, y0, y1);
        break;
      default:
        blockRows<4>(L, b, in, out, stride, relu, y0, y1);
        break;
    }
  }
}

void basisColumns(const half_t* coeff, const half_t* block, half_t* const out[4], size_t c0) {
  V acc[4][2];
  for (auto& f : acc) f[0] = f[1] = dup(0.0f);
  for (int k = 0; k < kBasisRank; ++k) {
    const V lo = load(block + k * kBasisColumns), hi = load(block + k * kBasisColumns + kLanes);
    for (int f = 0; f < 4; ++f) {
      const half_t c = coeff[f * kBasisRank + k];
      acc[f][0] = fma(acc[f][0], lo, c);
      acc[f][1] = fma(acc[f][1], hi, c);
    }
  }
  for (int f = 0; f < 4; ++f) {
    store(out[f] + c0, acc[f][0]);
    store(out[f] + c0 + kLanes, acc[f][1]);
  }
}

}  // namespace le::conv
