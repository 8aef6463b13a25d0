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
#include <memory>
#include <string>
#include <vector>

#include "audio/frames.h"
#include "base/threads.h"

namespace le::a2x {

using audio::kFrameSamples;
inline constexpr int kBlockFrames = 8;       // one short-window block
inline constexpr int kBlockSamples = 5120;   // kBlockFrames frames
inline constexpr int kLayers = 12;           // speech feature layers
inline constexpr int kLayerWidth = 768;
inline constexpr int kFeatureFloats = 9216;  // kLayers * kLayerWidth per frame
inline constexpr int kKpFloats = audio::kKp;
inline constexpr int kWin8Samples = 128000;  // 8 s window
inline constexpr int kWin8Frames = 200;
inline constexpr int kWin8Hop = 100;         // frames between 8 s windows
inline constexpr int kWin2Samples = 32000;   // 2 s window of the pair
inline constexpr int kTrunkChannels = 640;
inline constexpr int kStreamBand = 64;       // encoder band of the stream
inline constexpr int kOfflineBand = 24;      // encoder band of whole-utterance deltas

// x rounded to float16 (ties to even) and widened back, in place.
void roundThroughHalf(float* x, size_t n);
// (x - mean) / sqrt(variance + 1e-7), mean and variance in double.
void normaliseWindow(std::vector<float>& x);
// Frame `local` of an 8 s encoder output (12 x 200 x 768, layer-major) as
// one 9216-float feature row, rounded through float16.
void frameFromWindow(const std::vector<float>& emb, int local, float* out);

class Stream {
 public:
  // Reads and checks the motion bundle at dir and opens its models; throws
  // the creation refusals (without the C function's prefix).
  Stream(const std::string& dir, int threads);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int nt() const { return nt_; }
  int width() const { return width_; }
  void setEager(int eager) { eager_ = eager; }
  void push(const float* samples, int n);
  void finish() { finished_ = true; }
  int total() const;
  void reset(int start, int direction, int loop);
  int avail();
  // Frames written; wn may be null.
  int pull(int* idx, float* xs, float* xd, float* wn, int max);
  // Whole-utterance deltas into out (F x 63); F, or -2 when F > maxFrames.
  int deltas(const float* audio, int n, float* out, int maxFrames);
  const std::vector<float>& offlineWn() const { return offlineWn_; }

  // What the stream arithmetic and the cursors stand at, for hosts and tests.
  int64_t samples() const { return sampleBase_ + static_cast<int64_t>(audio_.size()); }
  int64_t countedSamples() const;  // S': whole blocks only before finish
  int audioFrames() const;         // A
  int decodable() const;           // D
  int featuresMade() const { return featuresMade_; }
  int encoded() const { return encoded_; }
  int decoded() const { return decoded_; }
  int pulled() const { return pulled_; }
  int lookAheadSpan() const { return lookAheadSpan_; }
  int leftSpan() const { return leftSpan_; }
  int right() const { return right_; }
  int contextWidth() const { return h_; }
  int posRows() const { return posRows_; }
  bool shortWindow() const { return shortWindow_; }
  int idleIndex(int t) const;
  bool primed() const { return !primedPrev_.empty() && !primedHidden_.empty(); }
  // Retained rows; throw the retained-window error when trimmed away.
  const float* feature(int frame) const;
  const float* encoderRow(int frame) const;
  const float* deltaRow(int frame) const;
  // Bytes held by the five large buffers.
  size_t retainedBytes() const;

 private:
  struct Band {
    std::vector<float> ctx;  // T x h
    std::vector<float> wn;   // T, when width is 1
  };

  Ort::Session* w2v8();
  void primeSilence(int n);
  // prev and hidden from the primed state, else zeros.
  void restartDecoder();
  void extend(int target);
  void makeFeatures(int needed);
  void shortWindowBlock(int b);
  // Runs the 8 s encoder on the window starting at sample `start` of `audio`
  // (n samples from absolute sample `base` on); 12 x 200 x 768 floats.
  std::vector<float> run8s(const float* audio, int64_t base, int64_t n, int64_t start);
  void runEncoder(const float* feat, int lo, int hi, Band& out);
  void decodeFrame(const float* ctx, float* deltaOut);
  void trim();
  float* featureSlot(int frame, const char* tag);

  Ort::Session* w2v8_ = nullptr;  // borrowed from the shared encoders
  std::string w2vPath_;
  int threads_ = 1;
  std::unique_ptr<Ort::Session> encoder_;
  std::unique_ptr<Ort::Session> decoder_;
  std::vector<threads::Registration> census_;

  int h_ = 256;
  int window_ = 0;
  int left_ = 0;
  int nt_ = 0;
  int leftSpan_ = 0;
  int lookAheadSpan_ = 0;
  int right_ = 12;
  bool shortWindow_ = false;
  int w2vRight_ = 12;
  std::vector<float> pos_;
  int posRows_ = 0;
  std::vector<float> normMean_, normStd_;
  std::vector<float> xs_;
  std::string outName0_, outName1_;
  int width_ = 0;
  std::vector<float> offlineWn_;

  std::vector<float> audio_;
  bool finished_ = false;
  int pulled_ = 0;
  int cursorStart_ = 0, direction_ = 1, loop_ = 1;
  int eager_ = -1;
  std::vector<float> features_;
  int blockStart_ = 0;
  int featuresMade_ = 0;
  std::vector<float> encOut_;
  std::vector<float> wnOut_;
  int encoded_ = 0;
  std::vector<float> deltas_;
  std::vector<float> prev_, hidden_;
  int decoded_ = 0;
  int64_t sampleBase_ = 0;
  int featureBase_ = 0, encoderBase_ = 0, deltaBase_ = 0;
  std::vector<float> primedPrev_, primedHidden_;

  // Scratch of the model inputs, reused run after run.
  std::vector<float> windowBuf_, posBuf_, maskBuf_, trunkX_;
};

}  // namespace le::a2x
