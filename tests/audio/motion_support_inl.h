// Template part of motion_support.h.
#pragma once

#include <gtest/gtest.h>

namespace mt {

template <class Check>
Run stream(le_motion* m, const std::vector<float>& audio, int piece, Check&& check) {
  Run r;
  float xs[63 * 64], xd[63 * 64];
  int idx[64];
  const auto take = [&] {
    int n;
    while ((n = le_motion_pull(m, idx, xs, xd, 64)) > 0) {
      r.idx.insert(r.idx.end(), idx, idx + n);
      r.xs.insert(r.xs.end(), xs, xs + 63 * n);
      r.xd.insert(r.xd.end(), xd, xd + 63 * n);
    }
  };
  for (size_t at = 0; at < audio.size(); at += static_cast<size_t>(piece)) {
    const int n = static_cast<int>(std::min(audio.size() - at, static_cast<size_t>(piece)));
    EXPECT_EQ(le_motion_push(m, audio.data() + at, n), 1);
    take();
    check(m, static_cast<int64_t>(at + static_cast<size_t>(n)), static_cast<int>(r.idx.size()));
  }
  r.pulledBeforeFinish = static_cast<int>(r.idx.size());
  le_motion_finish(m);
  r.total = le_motion_total(m);
  take();
  return r;
}

}  // namespace mt
