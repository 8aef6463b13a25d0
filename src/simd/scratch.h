// Per-thread scratch memory of the kernels, released at thread exit.
#pragma once

#include <cstddef>

namespace le::simd {

// The calling thread's padded-image buffer for the 3x3 convolution, grown to
// at least `floats` floats (contents unspecified).
float* convScratch(size_t floats);

}  // namespace le::simd
