#include "simd/targets.h"

#include <hwy/highway.h>
#include <hwy/targets.h>

#include "simd/kernels.h"

namespace le::simd {

std::vector<int64_t> runnableTargets() { return hwy::SupportedAndGeneratedTargets(); }

const char* targetName(int64_t target) { return hwy::TargetName(target); }

const char* target() {
  const std::vector<int64_t> targets = runnableTargets();
  return targets.empty() ? "Unknown" : targetName(targets.front());
}

ScopedTarget::ScopedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }

ScopedTarget::~ScopedTarget() { hwy::SetSupportedTargetsForTest(0); }

}  // namespace le::simd
