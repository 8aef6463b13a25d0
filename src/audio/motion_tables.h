// The tables of a motion-pipeline directory, each read whole and checked
// for its exact float count.
#pragma once

#include <string>
#include <vector>

#include "audio/motion_meta.h"

namespace le::motion {

// The whole float32 file at path holding exactly `count` floats; throws
// "cannot open <path>", "short read <path>" or "<path> floats, expected <count>".
std::vector<float> readExact(const std::string& path, size_t count);

struct Tables {
  Meta meta;
  std::vector<float> window;       // 512: STFT analysis window
  std::vector<float> filters;      // 80 x 257 mel filter bank
  std::vector<float> fmean, fstd;  // 1024 each
  std::vector<float> emo;          // n_emo x 8
  std::vector<float> chXs;         // 328: the character's descriptor
  std::vector<float> chSc;         // 63
  std::vector<float> eyeOpen;      // 2
  std::vector<float> eyeBall;      // 6
  std::vector<float> minmax;       // 265 minima, 265 maxima
  std::vector<float> srcXs;        // nt x 328
  std::vector<float> xs;           // nt x 63: idle frames' source keypoints
};

// meta.json and every table of dir, in that order.
Tables loadTables(const std::string& dir);

}  // namespace le::motion
