// Cheaper resamplers of the compositor: bicubic (4x4) and bilinear (2x2)
// windows read straight from the sharpened planes.
#pragma once

#include <cstdint>

namespace le {

struct SmallWindowRow {
  const float* planes[3];  // side*side each, 0..255
  int side;
  const uint8_t* mask;      // side*side
  const float* bilinear;    // [32][2], for the mask alpha
  const int* colX;          // indexed by frame column
  const int* colY;
  int baseX, baseY;
};

// Blends columns first..last (inclusive) of one RGB row. taps: [32][N].
void pasteCubicRow(const SmallWindowRow& row, const float* cubic, int first, int last, uint8_t* outRow);
void pasteBilinearRow(const SmallWindowRow& row, int first, int last, uint8_t* outRow);

}  // namespace le
