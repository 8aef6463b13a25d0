// Milliseconds of the steady clock, the one time base of a session's stamps.
#pragma once

#include <chrono>

namespace le::session {

inline double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace le::session
