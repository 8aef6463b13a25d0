// The idle-frame cursor both audio-to-motion back-ends hand out with their
// rows: frame t since a reset walks the nt idle frames from start in
// direction, wrapping around in loop mode and in ping-pong otherwise.
#pragma once

#include <cstdint>

namespace le::a2x {

inline int idleIndex(int start, int direction, int loop, int nt, int t) {
  if (nt < 2) return 0;
  const int64_t c = start + static_cast<int64_t>(t) * direction;
  if (loop) return static_cast<int>(((c % nt) + nt) % nt);
  const int64_t period = 2 * static_cast<int64_t>(nt - 1);
  const int64_t m = ((c % period) + period) % period;
  return static_cast<int>(m <= nt - 1 ? m : period - m);
}

}  // namespace le::a2x
