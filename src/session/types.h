// What an utterance session is told and what it tells: its options after
// the defaults and switches, the records the host reads, and the frames and
// paste jobs that move between its threads.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/keypoints.h"

namespace le::session {

inline constexpr int kRingSlots = 8;
inline constexpr int kPasteJobs = 8;
inline constexpr int kTeethJobs = 2;
inline constexpr int kRowCapacity = 32;  // motion rows the main loop keeps, unless a chunk needs more
inline constexpr int kWaitMs = 2;

// le_utt_opts after the defaults and the creation-time switches.
struct Options {
  std::string motionDir;
  int threads = 0;
  std::string motionEp;
  std::string steadyModel = "b24_fp32";  // "-": no chunk renderer
  int eager = -1;
  bool hybrid = false;
  double endSilenceMs = 600;  // negative: never
  int endRampFrames = 6;
  int interruptRampFrames = 4;
  bool pipelinePaste = false;
  int onsetIndex = -1;
  bool stageReport = false;
};

// Raw option values as the C header lays them out, before defaults.
struct RawOptions {
  const char* motionDir = nullptr;
  int threads = 0;
  const char* motionEp = nullptr;
  const char* steadyModel = nullptr;
  int eager = 0;
  double endSilenceS = 0;
  int endRampFrames = 0;
  int interruptRampFrames = 0;
};

// Defaults, then the environment switches; frameCount is the context's NT.
Options resolveOptions(const RawOptions& raw, bool streaming, int frameCount);

struct FrameInfo {
  uint64_t seq = 0;
  int kind = 0;  // 0 idle, 1 speech, 2 ramp
  int si = 0;
  int uttFrame = -1;
};

struct Stats {
  uint64_t framesDelivered = 0;
  uint64_t speechFramesDelivered = 0;
  uint64_t onsets = 0;
  double lastOnsetMs = 0;
  double renderMsEma = 0;
  unsigned state = 0;
};

enum State : unsigned { kIdle = 0, kOnset = 1, kSpeaking = 2, kRamp = 3 };
enum Kind : int { kIdleFrame = 0, kSpeechFrame = 1, kRampFrame = 2 };

using Keypoints = std::array<float, kKpFloats>;

// A finished frame in the ring: RGB pixels, what the host learns of them,
// and the driving keypoints they were rendered from (zeros for idle).
struct Frame {
  std::vector<uint8_t> rgb;
  FrameInfo info;
  Keypoints kp{};
};

// A rendered crop on its way to the paste thread.
struct PasteJob {
  std::vector<float> crop;  // crop x crop x 3; unread when !hasCrop (idle)
  bool hasCrop = false;
  int kind = 0, si = 0, uttFrame = -1;
  Keypoints kp{};
  double queuedMs = 0, chargedMs = 0;
  double uttFirstPushMs = -1;
  uint64_t generation = 0;
};

// What a session's teeth pass reports: its two counters and text, the
// synthesis weights it has seen and its geometry description.
struct TeethReport {
  uint64_t counterA = 0, counterB = 0;
  std::string text;
  double synthWeightSum = 0, synthWeightLast = 0;
  uint64_t synthCount = 0;
  std::string geometry;
};

}  // namespace le::session
