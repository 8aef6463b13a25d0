// The bundle's stored drive track: per drive frame a source index and two
// keypoint sets.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle/manifest.h"

namespace le {

struct Drive {
  std::vector<float> xs;    // frames x 63 source keypoints
  std::vector<float> xd;    // frames x 63 driven keypoints
  std::vector<int32_t> si;  // frames source indices in [0, NT)
  int n = 0;
};

Drive loadDrive(const Manifest& m);

}  // namespace le
