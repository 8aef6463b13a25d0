// Facts every audio-to-motion back-end shares: the audio that makes one
// video frame, the keypoint row it produces, and the step in which
// retained buffers drop what they no longer need (large, so that steady
// streaming does not move memory every frame).
#pragma once

#include <cstdint>

#include "base/keypoints.h"

namespace le::audio {

inline constexpr int kSampleRate = 16000;
inline constexpr int kFrameSamples = 640;  // 40 ms: 25 frames per second
inline constexpr int kKp = static_cast<int>(kKpFloats);
inline constexpr int kTrimFrames = 128;
inline constexpr int64_t kTrimSamples = 81920;

// Frames that n samples cover: ceil(n / 640).
inline int framesOf(int64_t samples) { return static_cast<int>((samples + kFrameSamples - 1) / kFrameSamples); }

}  // namespace le::audio
