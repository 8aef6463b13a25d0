// One keypoint set: the host's rows of (x, y, z) floats.
#pragma once

#include <cstddef>

#include "le/le.h"

namespace le {

inline constexpr size_t kKpFloats = static_cast<size_t>(kHostKpRows) * 3;

}  // namespace le
