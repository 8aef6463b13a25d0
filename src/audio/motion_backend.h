// The audio-to-motion back-end an utterance session drives from its
// dispatch thread: pushed 16 kHz float audio in, one row per video frame
// out (idle-frame index, 63 source and 63 driving keypoint floats). The
// streaming audio-to-expression object serves motion directories that hold
// the streaming encoder; the motion pipeline serves the others.
//
// One thread at a time per object. Calls that run models throw what the
// models throw; afterwards the object is only good for reset or
// destruction.
#pragma once

#include <memory>
#include <string>

namespace le::audio {

class MotionBackend {
 public:
  virtual ~MotionBackend() = default;
  // Rows of the idle-frame table the row indices walk.
  virtual int nt() const = 0;
  virtual void setEager(int eager) = 0;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  // -1 until finished, then the utterance's frame count.
  virtual int total() const = 0;
  // Restarts the stream with the idle cursor at start (direction -1 or +1).
  virtual void reset(int start, int direction, int loop) = 0;
  // Rows ready to pull, after running the models a little further.
  virtual int avail() = 0;
  // Up to max rows into idx, xs and xd (63 floats each); the count written.
  virtual int pull(int* idx, float* xs, float* xd, int max) = 0;
};

// True when the motion directory holds the streaming encoder
// "a2x_enc_stream.onnx" (under either of its member names).
bool hasStreamingEncoder(const std::string& motionDir);

// The idle-frame count the back-end of motionDir will serve, read from its
// tables without loading a model; -1 when they cannot be read (creation
// then says why).
int motionFrameCount(const std::string& motionDir, bool streaming);

// The streaming object when `streaming`, else the motion pipeline (slow:
// both load their models). Throws their creation refusals.
std::unique_ptr<MotionBackend> openMotionBackend(const std::string& motionDir, bool streaming, int threads,
                                                 const std::string& ep);

}  // namespace le::audio
