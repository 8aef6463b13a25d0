#include <gtest/gtest.h>

#include <string>

#include "simd/kernels.h"
#include "simd/targets.h"

namespace {

TEST(SimdDispatch, TargetNamesTheBestRunnableOneAndFollowsAPin) {
  const auto targets = le::simd::runnableTargets();
  ASSERT_FALSE(targets.empty());
  EXPECT_STREQ(le::simd::target(), le::simd::targetName(targets.front()));
  EXPECT_STRNE(le::simd::target(), "Unknown");
  {
    le::simd::ScopedTarget pin(targets.back());
    EXPECT_STREQ(le::simd::target(), le::simd::targetName(targets.back()));
    uint16_t h = 0;
    const float one = 1.0f;
    le::simd::f32ToF16(&one, &h, 1);  // dispatches through the pinned table entry
    EXPECT_EQ(h, 0x3C00);
  }
  EXPECT_STREQ(le::simd::target(), le::simd::targetName(targets.front()));
}

}  // namespace
