// Runs a test body once per SIMD target this binary and CPU can run.
#pragma once

#include <gtest/gtest.h>

#include "simd/targets.h"

namespace lt {

template <class Body>
void forEachTarget(Body&& body) {
  for (int64_t t : le::simd::runnableTargets()) {
    le::simd::ScopedTarget pin(t);
    SCOPED_TRACE(le::simd::targetName(t));
    body();
  }
}

}  // namespace lt
