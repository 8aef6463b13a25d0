// A plain double-precision compositor used as the oracle: per-pixel inverse
// affine, taps evaluated from their formulas, no fixed point, no tables.
#pragma once

#include <cstdint>
#include <vector>

namespace lt {

struct RefUnsharp { double amount, sigma; int ksize; };
struct RefPixel { uint8_t rgb[3]; };

// Planes [3][side*side] of crop * scale after the unsharp mask, clamped to 0..255.
std::vector<double> refSharpen(const float* crop, int side, double scale, const RefUnsharp& u);

// Tap weights at sub-pixel offset t (0 <= t < 1): n = 8 Lanczos-4, 4 Keys cubic, 2 bilinear.
void refTaps(int n, double t, double* w);

// Every byte triple the compositor may write at frame pixel (X, Y); within `slack` phases of a boundary, both.
std::vector<RefPixel> refPastePixel(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask,
                                    int taps, const float* M, int X, int Y, const uint8_t* frameRgb, double slack);

// Pixels of `after` (W x H RGB) that no acceptable oracle pixel matches within
// one level, when `before` was the frame the crop was pasted onto. `changed`
// counts the pixels whose red byte moved, so a vacuous pass shows.
int refFrameMismatches(const std::vector<double>& planes, int side, const std::vector<uint8_t>& mask, int taps,
                       const float* M, int W, int H, const uint8_t* before, const uint8_t* after, int* changed);

}  // namespace lt
