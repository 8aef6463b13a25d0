// Motion-pipeline test support: forged directories, one run of an utterance
// through the C family with its dumps, and double-precision references of
// the pipeline's arithmetic.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "le/le_motion.h"

namespace mt {

std::string dir(const char* name = "ok");
std::vector<float> table(const char* name, const char* member);

struct Run {
  std::vector<int> idx;
  std::vector<float> xs, xd;  // 63 per pulled frame
  int total = -1;
  int pulledBeforeFinish = 0;
};

// Pushes audio in pieces of `piece` samples, pulling whatever is ready
// after each; then finishes and pulls the rest. Dumps go to dumpDir.
// check(m, pushed samples, pulled) runs after every step before finish.
template <class Check>
Run stream(le_motion* m, const std::vector<float>& audio, int piece, Check&& check);

// Double-precision reference: the 202 pose parts of frames [from, from+count)
// averaged with their neighbours, read before written.
void smooth(std::vector<double>& seq, int from, int count);
double bin66(const float* logits);
std::array<double, 9> poseToR(double pitch, double yaw, double roll);

}  // namespace mt

#include "audio/motion_support_inl.h"
