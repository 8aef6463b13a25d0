// The motion bundle of the streaming audio-to-expression object: its meta,
// tables and two models. The causal streaming encoder turns speech features
// into h context values per frame, in bands under a banded attention mask;
// the autoregressive decoder turns one context row into one 63-value delta.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "audio/a2x_features.h"
#include "base/threads.h"

namespace le::a2x {

inline constexpr int kKpFloats = audio::kKp;

// Encoder output of one band: T rows of h context values (and T wn values
// when the encoder declares its second output).
struct Band {
  std::vector<float> ctx;
  std::vector<float> wn;
};

// The decoder's recurrent inputs: its last output and hidden state.
struct DecoderState {
  std::vector<float> prev, hidden;
};

// Where one encoder band reads and writes: rows [e0, e1) come out of the
// features of frames [lo, hi).
struct BandPlan {
  int e0, e1, lo, hi;
};

class Model {
 public:
  // Reads and checks the bundle's meta and tables; throws the creation
  // refusals without the C function's prefix.
  explicit Model(const std::string& dir);
  // Opens the two models with `threads` intra-op threads each.
  void open(int threads);

  int h() const { return h_; }
  int leftSpan() const { return leftSpan_; }
  int lookAheadSpan() const { return lookAheadSpan_; }
  int posRows() const { return posRows_; }
  int width() const { return width_; }
  int nt() const { return nt_; }
  int silencePrime() const { return silencePrime_; }
  const float* sourceRow(int i) const { return &xs_[static_cast<size_t>(i) * kKpFloats]; }

  // Band [e0, min(e0 + size, target)) with its look-back and look-ahead,
  // the look-ahead clipped at `audioFrames`.
  BandPlan band(int e0, int target, int size, int audioFrames) const;
  // The band of the 8-frame block holding e0, whatever the target: rows of
  // a block always come out of the same band, so they do not depend on when
  // they were asked for. Its look-ahead is clipped at `audioFrames` only
  // when `clip` (the end of the audio is known); before that, features not
  // made yet are zeros the kept rows never attend to.
  BandPlan blockBand(int e0, int target, int audioFrames, bool clip) const;

  // The encoder over `feat` (rows lo..hi-1, 9216 floats each).
  void encode(const float* feat, int lo, int hi, Band& out);
  // Encodes frames [from, target) band by band: plan(e0) places each band,
  // features(lo, hi) gives its rows, store(e0, e1, lo, band) keeps the rows.
  template <class Plan, class Features, class Store>
  void encodeBands(int from, int target, Plan&& plan, Features&& features, Store&& store) {
    for (int e0 = from; e0 < target;) {
      const BandPlan p = plan(e0);
      encode(features(p.lo, p.hi), p.lo, p.hi, band_);
      store(p, band_);
      e0 = p.e1;
    }
  }

  // Zero state, or the silence-primed one when priming ran.
  DecoderState startState() const;
  // One decoder step: delta = m * std + mean; prev and hidden advance.
  void decode(const float* ctx, DecoderState& st, float* delta);
  // Runs the encoder and decoder over n frames of the 8 s encoder's
  // features of silence and keeps the state they end in.
  void primeSilence(Ort::Session& w2v8, int n);

 private:
  std::string dir_;
  int h_ = 256;
  int window_ = 0;
  int left_ = 0;
  int leftSpan_ = 0;
  int lookAheadSpan_ = 0;
  int silencePrime_ = 0;
  bool metaWidth_ = false;
  int nt_ = 0;
  std::vector<float> pos_;
  int posRows_ = 0;
  std::vector<float> normMean_, normStd_;
  std::vector<float> xs_;
  std::string outName0_, outName1_;
  int width_ = 0;
  std::unique_ptr<Ort::Session> encoder_;
  std::unique_ptr<Ort::Session> decoder_;
  std::vector<threads::Registration> census_;
  DecoderState primed_;
  Band band_;
  std::vector<float> posBuf_, maskBuf_;
};

}  // namespace le::a2x
