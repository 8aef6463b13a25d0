// The thread-local last-error string of the le_* family, and the guard that
// turns any exception thrown inside a C entry point into that string.
#pragma once

#include <algorithm>
#include <cstring>
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

// A text into a caller's buffer: at most capacity - 1 characters and a
// terminator; nothing when the buffer is null or capacity <= 0.
inline void copyToCaller(const std::string& text, char* buffer, int capacity) {
  if (!buffer || capacity <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(capacity) - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

// Runs `body` and returns its result; an exception becomes "<fn>: <what>"
// in `error` (a family's own last-error text) and `failed` is returned.
template <class R, class Body>
R guardInto(std::string& error, const char* fn, R failed, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& ex) {
    error = std::string(fn) + ": " + ex.what();
  } catch (...) {
    error = std::string(fn) + ": unknown exception";
  }
  return failed;
}

// Clears the last error, then guardInto it.
template <class R, class Body>
R cGuard(const char* fn, R failed, Body&& body) noexcept {
  lastError().clear();
  return guardInto(lastError(), fn, failed, std::forward<Body>(body));
}

}  // namespace le
