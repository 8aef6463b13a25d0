// The audio-to-motion back-end a session drives from its dispatch thread:
// pushed 16 kHz float audio in, per-frame rows (idle index, 63 source and 63
// driving keypoints) out. The streaming audio-to-expression object serves
// motion directories that hold the streaming encoder; the motion pipeline
// serves the others. Both answer the same calls, so the session does not
// know which one it drives.
#pragma once

#include <memory>
#include <string>

namespace le::session {

class MotionSource {
 public:
  virtual ~MotionSource() = default;
  virtual void reset(int start, int direction, int loop) = 0;
  virtual void setEager(int eager) = 0;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  // Rows ready to pull; may run the models, and throws what they throw.
  virtual int avail() = 0;
  virtual int pull(int* idx, float* xs, float* xd, int max) = 0;
  // -1 until finished, then the utterance's frame count.
  virtual int total() = 0;
};

// True when the motion directory holds the streaming encoder
// "a2x_enc_stream.onnx" (under either of its member names).
bool hasStreamingEncoder(const std::string& motionDir);

// Creates the streaming back-end when `streaming`, else the motion pipeline
// (slow: it loads the models). Throws runtime_error whose text is the
// back-end family's last error.
std::unique_ptr<MotionSource> openMotion(const std::string& motionDir, bool streaming, int threads,
                                         const std::string& ep);

}  // namespace le::session
