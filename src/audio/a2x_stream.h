// The streaming audio-to-expression object behind le_a2x: pushed 16 kHz
// audio becomes speech features (shared encoders), then context rows (the
// bundle's banded causal encoder), then per-frame keypoint deltas (its
// autoregressive decoder). Each stage has its own cursor and keeps only a
// bounded window of its buffer.
//
// One thread at a time per object. Every read of data already trimmed away
// throws "stream read behind the retained window (<tag>)".
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/a2x_features.h"
#include "audio/a2x_model.h"
#include "audio/motion_backend.h"

namespace le::a2x {

inline constexpr int kStreamBand = 64;   // encoder band of the stream
inline constexpr int kOfflineBand = 24;  // encoder band of whole-utterance deltas

class Stream : public audio::MotionBackend {
 public:
  // Reads and checks the motion bundle at dir and opens its models; throws
  // the creation refusals (without the C function's prefix).
  Stream(const std::string& dir, int threads);
  ~Stream() override;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int nt() const override { return model_.nt(); }
  int width() const { return model_.width(); }
  void setEager(int eager) override { eager_ = eager; }
  void push(const float* samples, int n) override;
  void finish() override { finished_ = true; }
  int total() const override;
  void reset(int start, int direction, int loop) override;
  int avail() override;
  int pull(int* idx, float* xs, float* xd, int max) override { return pullWn(idx, xs, xd, nullptr, max); }
  // As pull, plus one wn value per frame when wn is not null.
  int pullWn(int* idx, float* xs, float* xd, float* wn, int max);
  // Whole-utterance deltas into out (F x 63); F, or -2 when F > maxFrames.
  // Leaves the stream as it was.
  int deltas(const float* audio, int n, float* out, int maxFrames);
  const std::vector<float>& offlineWn() const { return offlineWn_; }

  // What the stream arithmetic and the cursors stand at, for hosts and tests.
  int64_t samples() const { return sampleBase_ + static_cast<int64_t>(audio_.size()); }
  int64_t countedSamples() const;  // S': whole blocks only before finish
  int audioFrames() const;         // A
  int decodable() const;           // D
  int featuresMade() const { return shortWindow_ ? blockStart_ : win8_.made; }
  int encoded() const { return encoded_; }
  int decoded() const { return decoded_; }
  int pulled() const { return pulled_; }
  int lookAheadSpan() const { return model_.lookAheadSpan(); }
  int leftSpan() const { return model_.leftSpan(); }
  int right() const { return right_; }
  int w2vRight() const { return w2vRight_; }
  int contextWidth() const { return model_.h(); }
  int posRows() const { return model_.posRows(); }
  bool shortWindow() const { return shortWindow_; }
  int idleIndex(int t) const;
  bool primed() const { return primed_; }
  // Retained rows; throw the retained-window error when trimmed away.
  const float* feature(int frame) const;
  const float* encoderRow(int frame) const;
  const float* deltaRow(int frame) const;
  // Bytes held by the five large buffers.
  size_t retainedBytes() const;

 private:
  Ort::Session& w2v8();
  AudioView heldAudio() const { return {audio_.data(), sampleBase_, static_cast<int64_t>(audio_.size())}; }
  void extend(int target);
  void makeFeatures(int needed);
  void trim();
  // Frame `frame`'s feature row, the buffer grown to hold it (new rows are zeros).
  float* featureSlot(int frame, const char* tag);

  Model model_;
  Ort::Session* w2v8_ = nullptr;  // borrowed from the shared encoders
  std::string w2vPath_;
  int threads_ = 1;
  int right_ = 12;
  bool shortWindow_ = false;
  int w2vRight_ = 12;
  bool primed_ = false;
  EightSecondFront front8_;
  ShortWindowFront front2_;
  std::vector<float> offlineWn_;

  std::vector<float> audio_;
  bool finished_ = false;
  int pulled_ = 0;
  int cursorStart_ = 0, direction_ = 1, loop_ = 1;
  int eager_ = -1;
  std::vector<float> features_;
  int blockStart_ = 0;        // short-window path: the next block; its features end here
  EightSecondCursor win8_;    // 8 s path
  std::vector<float> encOut_;
  std::vector<float> wnOut_;
  int encoded_ = 0;
  std::vector<float> deltas_;
  DecoderState decoder_;
  int decoded_ = 0;
  int64_t sampleBase_ = 0;
  int featureBase_ = 0, encoderBase_ = 0, deltaBase_ = 0;
};

}  // namespace le::a2x
