// The compositor: sharpens a rendered face crop and pastes it into an RGB
// frame through an affine transform, a resampler and a soft paste mask.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle/manifest.h"
#include "paste/inverse_map.h"
#include "paste/paste_tables.h"

namespace le {

class Paste {
 public:
  enum Mode { kLanczos8 = 0, kBicubic = 1, kBilinear = 2 };

  // Takes ownership of the side*side mask. Reads LE_PASTE_FAST and
  // LE_PASTE_KSIZE.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp);

  // crop: planar [3][side][side]; scale brings it to 0..255; M: 2x3 affine
  // from crop to frame pixels; frame: W*H RGB, modified in place.
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  // GPU compositor hook; there is none, so callers fall back to composite.
  bool compositeGpuRgba(const float* crop, float scale, const float* M, const uint8_t* src, int W, int H, void* dst,
                        int stride);

  // Steps of composite, exposed for inspection.
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(float* plane);
  float* plane(int c) { return planes_[c].data(); }

  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int mode() const { return mode_; }
  float amount() const { return amount_; }
  const std::vector<float>& gaussian() const { return gaussian_; }
  const PasteTaps& taps() const { return taps_; }

 private:
  // Rows (or plane samples) per pool task in the paste's passes.
  static constexpr size_t kRowGrain = 64;

  // Unsharp mask of count planes src * scale into dst; with interleave the
  // three results also fill the interleaved crop.
  void sharpen(const float* const* src, float scale, float* const* dst, int count, bool interleave);
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1);
  void lanczosTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1);

  int side_;
  int ksize_;
  int paddedSide_;
  float amount_;
  int mode_;
  std::vector<uint8_t> mask_;
  std::vector<float> gaussian_;
  PasteTaps taps_;
  std::vector<float> planes_[3];
  std::vector<float> interleaved_;
  std::vector<float> blur_;  // horizontally blurred padded rows, side columns, per plane
  InverseMap inverse_;
};

}  // namespace le
