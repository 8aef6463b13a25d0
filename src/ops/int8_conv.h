// The arithmetic of the int8 convolution: the activation range, its uint8
// quantisation into a zero-point-padded pixel-major image, and the exact
// integer convolution over weights repacked in quads (4 consecutive reduction
// values of one filter together), dequantised into NCHW floats.
//
// Padding taps read the zero point, so the integer sum minus zp·Σw is exact
// zero padding whatever the sign of the input. Every SIMD body and the scalar
// reference produce identical integer sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

// The range of x: lo = min(0, min x), hi = max(0, max x); chunks of 4096
// values scanned on the worker pool when it splits n into two or more parts.
void minmax_par(const float* x, unsigned long n, float& lo, float& hi);

struct Int8ConvGeometry {
  int N = 0, C = 0, H = 0, W = 0;  // input
  int M = 0, group = 1, kH = 1, kW = 1;
  int strideH = 1, strideW = 1, dilationH = 1, dilationW = 1;
  int padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;

  int Cg() const { return C / group; }
  int Mg() const { return M / group; }
  int quadsPerTap() const { return (Cg() + 3) / 4; }
  int quads() const { return kH * kW * quadsPerTap(); }
  int Ho() const;
  int Wo() const;
  // The padded quantised image: one pixel holds group x quadsPerTap quads.
  int Hp() const { return H + padTop + padBottom; }
  int Wp() const { return W + padLeft + padRight; }
  size_t pixelValues() const { return static_cast<size_t>(group) * quadsPerTap() * 4; }
  size_t imageValues() const { return pixelValues() * Hp() * Wp(); }
};

inline constexpr int kInt8ChannelBlock = 16;  // output channels per packed block

// Weights of one node, prepared once: per group, blocks of 16 output
// channels; per block and quad, 16 channels x 4 values (zero where the
// filter has no channel or the block no filter). The int8 values are held
// widened to int16, the operand width of the multiply-accumulate, so the
// inner loop reads them as they are. sum[m] is filter m's Σw.
struct Int8PackedWeights {
  int blocksPerGroup = 0;
  std::vector<int16_t> packed;
  std::vector<int32_t> sum;
};

// w: [M][Cg][kH][kW] int8.
Int8PackedWeights int8PackWeights(const Int8ConvGeometry& g, const int8_t* w);

struct Int8Quantisation {
  float scale = 1.0f;
  int zeroPoint = 0;
};

// scale = (hi - lo)/255 and zp = rint(-lo/scale) clamped to [0, 255]; an
// empty range gets scale 1 and zp = rint(-lo) clamped.
Int8Quantisation int8Quantisation(float lo, float hi);

// Batch item x ([C][H][W]) into the padded pixel-major image q, padding and
// unused quad slots set to the zero point. Rows on the worker pool. The
// uint8 values are held widened to uint16, so that a quad is one 64-bit
// broadcast in the inner loop.
void int8QuantiseImage(const Int8ConvGeometry& g, const float* x, Int8Quantisation qz, uint16_t* q);

// Output rows [y0, y1) of one batch item: integer sums over q, dequantised
// into out ([M][Ho][Wo]) with scaleW and bias per output channel.
struct Int8ConvArgs {
  const Int8ConvGeometry* g;
  const uint16_t* q;
  const Int8PackedWeights* w;
  Int8Quantisation qz;
  const float* scaleW;
  const float* bias;
  float* out;
};
void int8ConvRows(const Int8ConvArgs& a, int y0, int y1);
// The same rows in plain scalar integer code: the reference every body matches.
void int8ConvRowsScalar(const Int8ConvArgs& a, int y0, int y1);

}  // namespace le
