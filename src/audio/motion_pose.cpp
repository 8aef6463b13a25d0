#include "audio/motion_pose.h"

#include <algorithm>
#include <cmath>

namespace le::motion {

float bin66(const float* logits) {
  const float top = *std::max_element(logits, logits + kLogits);
  float sum = 0.0f, weighted = 0.0f;
  for (int i = 0; i < kLogits; ++i) {
    const float e = std::exp(logits[i] - top);
    sum += e;
    weighted += e * static_cast<float>(i);
  }
  return 3.0f * (weighted / sum) - 97.5f;
}

std::array<float, 9> poseToR(float pitch, float yaw, float roll) {
  constexpr float kPi = 3.1415927f;
  const float p = pitch / 180.0f * kPi, y = yaw / 180.0f * kPi, r = roll / 180.0f * kPi;
  const float sp = std::sin(p), cp = std::cos(p), sy = std::sin(y), cy = std::cos(y), sr = std::sin(r),
              cr = std::cos(r);
  return {cy * cr,
          cy * sr,
          -sy,  //
          sp * sy * cr - cp * sr,
          sp * sy * sr + cp * cr,
          sp * cy,  //
          cp * sy * cr + sp * sr,
          cp * sy * sr - sp * cr,
          cp * cy};
}

bool lipCoordinate(int k) {
  const int row = k / 3;
  return row == 6 || row == 12 || row == 14 || row == 17 || row == 19 || row == 20;
}

void laKeypoints(const FramePose& p, float* xsLa, float* xdLa) {
  const float* src = p.src;
  const float pitch = bin66(src + kDescPitch), yaw = bin66(src + kDescYaw), roll = bin66(src + kDescRoll);
  const std::array<float, 9> R = poseToR(pitch, yaw, roll);
  const std::array<float, 9> R2 = poseToR(pitch + p.deltaPitch, yaw, roll);
  const float scale = src[kDescScale];
  const float t[3] = {src[kDescT], src[kDescT + 1], 0.0f};
  for (int j = 0; j < kKp / 3; ++j) {
    const float* c = src + kDescCanonical + 3 * j;
    for (int col = 0; col < 3; ++col) {
      const int k = 3 * j + col;
      const float exp = src[kDescExp + k];
      const float e = lipCoordinate(k) ? exp + (p.motion[kPoseParts + k] - p.m0[k]) * p.ratio : exp;
      const float cr = c[0] * R[col] + c[1] * R[3 + col] + c[2] * R[6 + col];
      const float cr2 = c[0] * R2[col] + c[1] * R2[3 + col] + c[2] * R2[6 + col];
      xsLa[k] = scale * (cr + exp) + t[col];
      xdLa[k] = scale * (cr2 + e) + t[col];
    }
  }
}

void bridge(const float* xs, const float* st, const float* xsLa, float sBridge, float* xd) {
  for (int k = 0; k < kKp; ++k) xd[k] = xs[k] + (st[k] - xsLa[k]) * sBridge;
}

}  // namespace le::motion
