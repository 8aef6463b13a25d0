// The feature-conditioned audio object behind le_fca: a whole utterance
// becomes per-frame speech features (its own 8 s encoder, the mean of six
// layers), normalised against the utterance's own voiced frames, then
// per-frame expression deltas from a small autoregressive model fed a
// 7-frame window of those features.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/frames.h"
#include "base/threads.h"

namespace le::fca {

inline constexpr int kWidth = 768;     // speech feature values per frame
inline constexpr int kFirstLayer = 4;  // layers 4..9 of the encoder's 12 are averaged
inline constexpr int kLastLayer = 9;
inline constexpr int kCondFrames = 7;  // frames t-1 .. t+5
inline constexpr int kCondFirstOffset = -1;
inline constexpr int kCondFloats = kCondFrames * kWidth;
inline constexpr int kHidden = 384;
inline constexpr int kWarmFrames = 7;  // frames 0..6 count as voiced whatever their norm
inline constexpr double kVoicedQuantile = 0.2;

// The 8 s encoder over a whole utterance of n samples (F = framesOf(n)):
// windows of 200 frames every 100 frames, each normalised on its own; every
// frame is taken once, from the first window that reaches it (frames
// f0..f0+199, from f0+50 on after the first window). `take` gets the
// window's 12 x 200 x 768 output, the frame's row in it and the frame.
void eachWindowFrame(Ort::Session& encoder, const float* audio, int n,
                     const std::function<void(const float* emb, int local, int frame)>& take);

// F x 768 features: the mean of layers 4..9 of each frame's encoder row.
std::vector<float> speechFeatures(Ort::Session& encoder, const float* audio, int n);

// Subtracts from each frame the running mean of the voiced frames up to and
// including it. Frame t is voiced when its L2 norm exceeds the 20th
// percentile of the norms of frames 0..t (linear interpolation), or any
// positive norm for t < 7.
void normaliseVoiced(std::vector<float>& features, int frames);

// The model's cond row of frame t: features of frames t-1 .. t+5, each
// index clamped to the utterance.
void condRow(const std::vector<float>& features, int frames, int t, float* out);

class ConditionedAudio {
 public:
  // Opens both sessions; throws a sentence naming a model that lacks a
  // tensor this object feeds or reads.
  ConditionedAudio(const std::string& encoderPath, const std::string& modelPath, int threads);
  ConditionedAudio(const ConditionedAudio&) = delete;
  ConditionedAudio& operator=(const ConditionedAudio&) = delete;

  // F = framesOf(n) rows of 63 deltas into out; F, or -1 when F > maxFrames.
  int deltas(const float* audio, int n, float* out, int maxFrames);

 private:
  std::unique_ptr<Ort::Session> encoder_;
  std::unique_ptr<Ort::Session> model_;
  std::vector<threads::Registration> census_;
  // The model's inputs and outputs, bound once over these buffers.
  std::vector<float> cond_, prev_, hidden_, m_, hn_;
  std::vector<Ort::Value> in_, out_;
};

}  // namespace le::fca
