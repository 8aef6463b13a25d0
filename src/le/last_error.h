// The thread-local last-error string of the le_* family, and the guard that
// turns any exception thrown inside a C entry point into that string.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace le {

std::string& lastError();

inline void setLastError(const char* fn, const char* msg) {
  std::string& e = lastError();
  e = fn;
  e += ": ";
  e += msg;
}

// Clears the last error, runs `body` and returns its result; an exception
// becomes "<fn>: <what>" and `failed` is returned instead.
template <class R, class Body>
R cGuard(const char* fn, R failed, Body&& body) noexcept {
  lastError().clear();
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& ex) {
    setLastError(fn, ex.what());
  } catch (...) {
    setLastError(fn, "unknown exception");
  }
  return failed;
}

}  // namespace le
