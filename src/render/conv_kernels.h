// The half-precision arithmetic of the native engine: convolution rows over
// planar maps with a zero border, and the basis product. On 64-bit Arm the
// values are IEEE half floats and every multiply-add is one fp16 fused
// multiply-add (the file is built for Armv8.2 with fp16, and is called only
// once the engine has seen the CPU offer it). Elsewhere the same bodies run on
// floats that hold half-precision values, each multiply-add rounded back to
// half: the engine's portable form, for tests and timing off Arm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::conv {

#if defined(__aarch64__)
using half_t = __fp16;
#else
using half_t = float;  // holding half-precision values
#endif

inline constexpr int kLanes = 8;  // half values a vector holds

// Round to half precision (nearest even) and back.
half_t toHalf(float v);
inline float fromHalf(half_t v) { return static_cast<float>(v); }

// Planes of one tensor with a zero border of `pad` pixels: element (c, y, x)
// at data[c * plane + (y + pad) * stride + x + pad]. Rows are long enough for
// a vector read starting anywhere in them.
struct HalfMaps {
  half_t* data = nullptr;
  int C = 0, H = 0, W = 0, pad = 0;
  size_t stride = 0, plane = 0;

  half_t* at(int c, int y, int x) const {
    return data + static_cast<size_t>(c) * plane + static_cast<size_t>(y + pad) * stride + (x + pad);
  }
  // n channels from c0, sharing the storage.
  HalfMaps channels(int c0, int n) const;
};

// Zeroed storage for maps of C x H x W with a border of `pad`.
class HalfBuffer {
 public:
  void allocate(int C, int H, int W, int pad);
  const HalfMaps& maps() const { return maps_; }

 private:
  std::vector<half_t> storage_;
  HalfMaps maps_;
};

// A convolution packed for the kernel: output channels in blocks of 2, 3 or
// 4, each block's weights as [in][k*k][block size]; biases in float.
struct PackedConv {
  int in = 0, out = 0, k = 1;
  std::vector<int> blockFirst, blockSize;
  std::vector<size_t> blockOffset;
  std::vector<half_t> weights;
  std::vector<float> bias;
};

// w: [out][in][k][k], bias: [out]; out at least 2.
PackedConv packConv(const float* w, const float* bias, int out, int in, int k);

// Output rows [y0, y1) of `out` (its C = L.out): bias + Σ w·in over k x k
// taps at `stride`, centred, the input's border supplying zero padding;
// ReLU when asked.
void convRows(const PackedConv& L, const HalfMaps& in, const HalfMaps& out, int stride, bool relu, int y0, int y1);

// The basis product of one item: columns [c0, c0 + 16) of four frames,
// out[f][c] = Σ_k coeff[f][k] · basis[k][c]. coeff: [4][64]; block: the
// item's packed basis, [64][16].
inline constexpr int kBasisRank = 64;
inline constexpr int kBasisColumns = 16;
void basisColumns(const half_t* coeff, const half_t* block, half_t* const out[4], size_t c0);

}  // namespace le::conv
