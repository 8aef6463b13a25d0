// Shared pieces of the compose geometry: pixel boxes, the smoothstep ramp
// every soft edge uses, and the u8 quantisation of every mask.
#pragma once

#include <cmath>
#include <cstdint>

namespace le::tessera {

// Pixels [x0, x1) x [y0, y1).
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  int w() const { return x1 - x0; }
  int h() const { return y1 - y0; }
};

inline Box intersect(const Box& a, const Box& b) {
  Box r{a.x0 > b.x0 ? a.x0 : b.x0, a.y0 > b.y0 ? a.y0 : b.y0, a.x1 < b.x1 ? a.x1 : b.x1, a.y1 < b.y1 ? a.y1 : b.y1};
  if (r.x1 < r.x0) r.x1 = r.x0;
  if (r.y1 < r.y0) r.y1 = r.y0;
  return r;
}

// 0 below 0, (3 - 2t) t^2 on (0, 1], 1 above.
inline float smoothRamp(float t) {
  if (t < 0.0f) return 0.0f;
  if (t > 1.0f) t = 1.0f;
  return (3.0f - 2.0f * t) * t * t;
}

// v clamped to at most 1, times 255, rounded half to even; negatives give 0.
inline uint8_t toU8(float v) {
  if (!(v > 0.0f)) return 0;
  if (v > 1.0f) v = 1.0f;
  return static_cast<uint8_t>(std::nearbyint(v * 255.0f));
}

// A pixel coordinate as an int, saturated far outside any canvas so a wild
// keypoint cannot overflow the conversion.
inline int pixelInt(double v) {
  if (!(v > -1e8)) return -100000000;
  if (v > 1e8) return 100000000;
  return static_cast<int>(v);
}

}  // namespace le::tessera
