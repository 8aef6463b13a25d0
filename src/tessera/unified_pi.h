// The "pi" compose mask a bundle's manifest states (its `unified` block): a
// soft lip ellipse and a soft teeth-gate ellipse over the crop, computed from
// the lip keypoint rows of each frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/geometry.h"

namespace le::tessera {

class UnifiedPi {
 public:
  struct EllParams {
    float cx = 0, cy = 0, rx = 0, ry = 0;  // normalised units
    float s = 0;                           // sqrt(rx ry) 256: the size in pixels at the 256 reference
  };

  int canvas = 0;
  std::string mode;  // "prop"
  bool cornerRecovery = false;
  float propGateScale = 1.0f;
  std::vector<int> lipIdx;
  float padX = 0, padY = 0, down = 0;
  std::vector<float> xs, ys;  // normalised coordinate of each column and row

  // Throws "teeth-pi: ..." or the missing-key text on any violation.
  static UnifiedPi fromManifestJson(const std::string& manifest, int canvas);
  // The built-in corpus geometry whose canonical centroid over the target
  // frames (n x 63 floats) matches the bank's c_canon; `log` (optional)
  // receives the choice, its distance and its margin.
  static UnifiedPi corpusFromManifestJson(const std::string& manifest, int canvas, const float* frames, int n,
                                          const double* cCanon, std::string* log = nullptr);

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* gate) const;
  Box ellBox(const EllParams& e) const;
  Box supportBox(const float* kp) const;  // union of the lip and gate boxes

  // Canvas-sized float alpha of the lip-row ellipse with these pads, minima,
  // scale and centre shift; zero outside its box.
  void ellMask(const float* kp, float padX, float padY, float minX, float minY, float scale, float dy,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  // u8 of max(lip, gate): over the whole canvas; only inside the support box
  // (the rest of `out` untouched, the box returned); or moved by (dRow, dCol)
  // pixels, out(r, c) = pi(r - dRow, c - dCol), the moved box returned.
  void piU8(const float* kp, uint8_t* out) const;
  Box piU8Boxed(const float* kp, uint8_t* out) const;
  Box piU8AndShift(const float* kp, int dRow, int dCol, uint8_t* out) const;
  // The pi mask cut down to a canvas-sized float contour valid inside `box`.
  void piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const;

  // Mean column and row of the pixels >= 128; false when there are none.
  static bool piU8Centroid(const uint8_t* mask, int canvas, double& cx, double& cy);
  static bool piU8Centroid(const uint8_t* mask, int canvas, const Box& box, double& cx, double& cy);
  // Mean pi centroid over n frames of 63 floats; throws when pi is empty on all.
  void canonicalCentroid(const float* frames, int n, double& cx, double& cy) const;

 private:
  // Writes u8 pi of the pixels in `box` of a canvas-sized image, each moved by (dRow, dCol).
  void piInto(const float* kp, const Box& box, int dRow, int dCol, uint8_t* out) const;
  EllParams lipRowEllipse(const float* kp, float padX, float padY, float minX, float minY, float scale,
                          float dy) const;
  float pixelAlpha(const EllParams& e, int x, int y) const;
  // The corner-recovery scale k of the lip ellipse (1 without it).
  float lipScale(const float* kp) const;
};

}  // namespace le::tessera
