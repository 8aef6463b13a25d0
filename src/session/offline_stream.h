// The offline stream behind le_stream: a whole utterance's deltas at once
// from its own fca object, then render on a worker thread overlapped with
// paste on the calling thread, frames handed on in order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_cpp.h"

namespace le::session {

// A failure whose text is already the whole sentence the host reads.
struct StreamRefusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class OfflineStream {
 public:
  using FrameSink = std::function<void(int frame, const uint8_t* rgb)>;

  // Throws StreamRefusal with the context's or fca object's own text, or the
  // xs_target.bin refusal.
  OfflineStream(const char* bundle, const char* w2vPath, int threads, int skip, float gain);
  ~OfflineStream();
  OfflineStream(const OfflineStream&) = delete;
  OfflineStream& operator=(const OfflineStream&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // Frames delivered to sink (which may be empty), in order from 0.
  int run(const float* audio, int n, const FrameSink& sink);

 private:
  le_ctx_ptr ctx_;
  le_fca_ptr fca_;
  std::vector<float> xs_;  // NT x 63
  int nt_ = 0, width_ = 0, height_ = 0, crop_ = 0;
  int skip_ = 0;
  float gain_ = 1.0f;
  std::string bundle_;
};

}  // namespace le::session
