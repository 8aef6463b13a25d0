// The teeth pass in the form the real-time pipeline feeds: the renderer's
// square face crop and the frame's driving keypoints go in, the mouth mask
// is drawn here from the compose geometry (the lip contour when the bundle
// has one, else the manifest's pi ellipses), and one frame later a teeth
// window comes back to be written into that frame's crop as a delta.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessera/lip_contour.h"
#include "tessera/teeth_pass.h"
#include "tessera/unified_pi.h"

namespace le::tessera {

class StreamBorrow {
 public:
  // Throws on a bank, head or configuration the pass refuses, a canvas that
  // is not square, or one the pi geometry does not name.
  StreamBorrow(BankData bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lipTemplateJson);

  // crop: planar [3][N][N] on 0..1. True when out holds the previous frame.
  bool push(const float* crop, const float* kpDriving, FrameResult* out);
  // rgba: N x N x 4 bytes.
  bool pushRgba(const uint8_t* rgba, const float* kpDriving, FrameResult* out);
  // The canvas (canvas()) already holds the frame.
  bool pushSynth(const float* kpDriving, FrameResult* out);
  bool flush(FrameResult* out) { return pass_.flush(out); }
  bool holding() const { return pass_.holding(); }

  // Writes a result's window into the frame's crop, keeping the float
  // crop's detail below one byte step. A skipped result changes nothing.
  static void writeWindowDelta(float* crop, int N, const FrameResult& result, const GeometryStamp& stamp);
  // The same for an RGBA canvas, whose alpha becomes 255 everywhere.
  static void writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& result, const GeometryStamp& stamp);

  bool hostSplit(double*) const { return false; }
  const char* backend() const { return "cpu"; }
  uint8_t* canvas() { return rgb_.data(); }
  const uint8_t* mask() const { return mask_.data(); }
  int side() const { return N_; }
  const TeethPass& pass() const { return pass_; }
  // "lip contour (16 verts, feather 6.0 px)" or "pi ellipse".
  std::string deliveryMask() const;

 private:
  TeethPass pass_;
  int N_;
  UnifiedPi pi_;
  std::unique_ptr<LipContour> lip_;
  double refX_, refY_;
  int counter_ = 0;
  int rowBegin_ = 0, rowEnd_ = 0;  // canvas rows the pass can reach
  std::vector<uint8_t> rgb_;       // N x N x 3
  std::vector<uint8_t> mask_;      // N x N
};

// A crop value as the canvas byte: 0 at or below 0, else min(v, 1) x 255
// rounded to nearest even.
inline uint8_t cropByte(float v) { return v <= 0.0f ? 0 : static_cast<uint8_t>(std::nearbyint(std::min(v, 1.0f) * 255.0f)); }

}  // namespace le::tessera
