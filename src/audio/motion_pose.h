// Keypoints from a motion frame: head pose from the descriptor's logits,
// the rotation it gives, and the source and driving keypoints before and
// after the stitching network's correction.
#pragma once

#include <array>

#include "audio/frames.h"

namespace le::motion {

using audio::kKp;
inline constexpr int kMotion = 265;     // one generated motion vector
inline constexpr int kPoseParts = 202;  // components 0..201: everything but the expression
inline constexpr int kDesc = 328;       // one motion descriptor
inline constexpr int kLogits = 66;

// Positions inside a 328-float descriptor.
inline constexpr int kDescExp = 0, kDescCanonical = 63, kDescPitch = 126, kDescRoll = 192, kDescScale = 258,
                     kDescT = 259, kDescYaw = 262;

// Softmax over 66 logits; 3 * (sum p_i i) - 97.5 degrees.
float bin66(const float* logits);
// Row-major 3 x 3 rotation of pitch, yaw and roll in degrees.
std::array<float, 9> poseToR(float pitch, float yaw, float roll);

// Coordinates (of the 63) that belong to the lip keypoints 6, 12, 14, 17, 19, 20.
bool lipCoordinate(int k);

struct FramePose {
  const float* src = nullptr;  // the idle frame's descriptor
  const float* motion = nullptr;
  const float* m0 = nullptr;  // the expression part of the first frame since reset
  float ratio = 1.0f;         // character scale over source-0 scale
  float deltaPitch = 0.0f;
};

// xs_la and xd_la (63 floats each) of one frame, before the stitch.
void laKeypoints(const FramePose& p, float* xsLa, float* xdLa);
// xd = xs + (st - xs_la) * s_bridge, elementwise over 63.
void bridge(const float* xs, const float* st, const float* xsLa, float sBridge, float* xd);

}  // namespace le::motion
