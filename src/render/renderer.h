// The director network of one bundle: face crops from a source frame index
// and two keypoint sets, on ONNX Runtime or the native engine.
#pragma once

#include <memory>
#include <string>

namespace le {

struct Manifest;
class Identity;

class Renderer {
 public:
  // threads < 1 means le::pool::threads(). ep: "" (ORT CPU EP), "neon",
  // "coreml" with an optional units suffix; anything else is refused.
  Renderer(const Manifest& manifest, const Identity& identity, const std::string& key, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n frames (1 <= n <= batch()): n crops [3][crop][crop] in 0..1,
  // valid until the next call; slots n..batch-1 repeat frame n-1.
  const float* render(const int* si, const float* kpSource, const float* kpDriving, int n);

  // From any thread: a render in flight stops at its next node and throws,
  // and so does every render until cancel(false). A session uses it to drop
  // work an interrupt has made stale instead of finishing it.
  void cancel(bool on);

  int batch() const;
  const char* ep() const;
  const char* backend() const;
  const char* directorNote() const;

  struct Impl;
  // The session, bindings and buffers, for load-time stages and tests.
  Impl& internals() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
