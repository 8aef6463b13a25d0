#include "audio/a2x_stream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "audio/idle_cursor.h"
#include "audio/shared_encoders.h"
#include "base/env.h"
#include "base/log.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "pool/pool.h"

namespace le::a2x {
namespace {

using audio::kFrameSamples;
using audio::kTrimFrames;
using audio::kTrimSamples;

constexpr size_t kFreeAboveBytes = 16777216;
constexpr long kMaxRight = 1 << 20;

[[noreturn]] void behind(const char* tag) {
  throw std::runtime_error(std::string("stream read behind the retained window (") + tag + ")");
}

// Drops the first `count` elements of v; keeps the capacity.
void dropFront(std::vector<float>& v, size_t count) {
  count = std::min(count, v.size());
  v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(count));
}

void emptyBuffer(std::vector<float>& v) {
  if (v.capacity() * sizeof(float) > kFreeAboveBytes)
    std::vector<float>().swap(v);
  else
    v.clear();
}

std::once_flag g_cadenceOnce;

}  // namespace

Stream::Stream(const std::string& bundle, int threads) : model_(rstripSlash(resolveBundlePath(bundle))) {
  const int budget = pool::threads();
  threads_ = threads > 0 && threads < budget ? threads : budget;
  std::call_once(g_cadenceOnce, [&] {
    log::report("[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
              320, kBlockFrames, threads_);
  });
  const long configured = env::integer("LE_A2X_W2V_RIGHT").value_or(12);
  right_ = static_cast<int>(std::clamp<long>(configured, 0, kMaxRight));
  w2vRight_ = static_cast<int>(std::clamp<long>(configured, -kMaxRight, kMaxRight));

  if (!env::raw("W2V_ONNX")) throw std::runtime_error("$W2V_ONNX not set");
  w2vPath_ = env::text("W2V_ONNX");
  if (get_shared_w2v_win(threads_, w2vPath_.c_str())) {
    shortWindow_ = true;
    right_ += kBlockFrames;
  } else {
    try {
      w2v8();
    } catch (const std::exception&) {
      throw std::runtime_error("shared w2v load failed");
    }
  }
  model_.open(threads_);

  int prime = model_.silencePrime();
  if (env::nonEmpty("LE_A2X_SILENCE_PRIME")) prime = static_cast<int>(env::integer("LE_A2X_SILENCE_PRIME").value());
  if (prime >= 1) {
    Ort::Session* encoder = nullptr;
    try {
      encoder = &w2v8();
    } catch (const std::exception&) {
      throw std::runtime_error("shared w2v load failed (silence_prime)");
    }
    try {
      model_.primeSilence(*encoder, prime);
      primed_ = true;
    } catch (const std::exception& e) {
      log::warn("[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    }
  }
  reset(0, 1, 1);
}

Stream::~Stream() = default;

Ort::Session& Stream::w2v8() {
  if (!w2v8_) w2v8_ = get_shared_w2v(w2vPath_.c_str(), threads_);
  if (!w2v8_) throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2vPath_ + ")");
  return *w2v8_;
}

void Stream::push(const float* samples, int n) {
  if (n < 1 || !samples) return;
  audio_.insert(audio_.end(), samples, samples + n);
}

int Stream::total() const { return finished_ ? audio::framesOf(samples()) : -1; }

int64_t Stream::countedSamples() const {
  const int64_t s = samples();
  if (finished_) return s;
  return std::min(s, (s + kFrameSamples - 1) / kBlockSamples * kBlockSamples);
}

int Stream::audioFrames() const { return audio::framesOf(countedSamples()); }

int Stream::decodable() const {
  const int a = audioFrames();
  if (finished_) return a;
  return std::max(0, a - std::max(model_.lookAheadSpan(), right_));
}

int Stream::idleIndex(int t) const { return a2x::idleIndex(cursorStart_, direction_, loop_, model_.nt(), t); }

void Stream::reset(int start, int direction, int loop) {
  cursorStart_ = start < 0 ? idleIndex(pulled_) : start;
  direction_ = direction < 0 ? -1 : 1;
  loop_ = loop;
  for (std::vector<float>* v : {&audio_, &features_, &encOut_, &deltas_, &wnOut_}) emptyBuffer(*v);
  finished_ = false;
  pulled_ = 0;
  blockStart_ = encoded_ = decoded_ = 0;
  win8_ = {};
  sampleBase_ = 0;
  featureBase_ = encoderBase_ = deltaBase_ = 0;
  decoder_ = model_.startState();
}

int Stream::avail() {
  const int d = decodable();
  if (decoded_ < d) extend(std::min(decoded_ + (shortWindow_ ? kBlockFrames : kStreamBand), d));
  return std::max(0, decoded_ - pulled_);
}

int Stream::pullWn(int* idx, float* xs, float* xd, float* wn, int max) {
  if (max < 1) return 0;
  const int d = decodable();
  if (pulled_ >= decoded_) extend(static_cast<int>(std::min<int64_t>(d, static_cast<int64_t>(pulled_) + max)));
  int written = 0;
  const int last = std::min(d, decoded_);
  while (pulled_ < last && written < max) {
    const int t = pulled_;
    const int si = idleIndex(t);
    idx[written] = si;
    const float* src = model_.sourceRow(si);
    const float* delta = deltaRow(t);
    float* xsOut = xs + static_cast<size_t>(written) * kKpFloats;
    float* xdOut = xd + static_cast<size_t>(written) * kKpFloats;
    for (int k = 0; k < kKpFloats; ++k) {
      xsOut[k] = src[k];
      xdOut[k] = src[k] + delta[k];
    }
    if (wn) {
      const int64_t at = static_cast<int64_t>(t) - encoderBase_;
      wn[written] = width() && at >= 0 && at < static_cast<int64_t>(wnOut_.size()) ? wnOut_[static_cast<size_t>(at)]
                                                                                 : 0.f;
    }
    ++pulled_;
    ++written;
  }
  trim();
  return written;
}

void Stream::extend(int target) {
  target = std::min(target, decodable());
  if (target <= decoded_) return;
  const int a = audioFrames();
  const int la = model_.lookAheadSpan();
  const int needed = std::min(target + la, a);
  makeFeatures(needed);
  // Before the end, a frame waits until the features of its whole look-ahead exist.
  if (featuresMade() < needed) target = std::min(target, featuresMade() - la);
  if (target <= decoded_) return;

  const int h = model_.h();
  model_.encodeBands(
      encoded_, target,
      [&](int e0) {
        return shortWindow_ ? model_.blockBand(e0, target, a, finished_) : model_.band(e0, target, kStreamBand, a);
      },
      [&](int lo, int hi) {
        if (lo < featureBase_ || encoded_ < encoderBase_) behind("encoder band");
        featureSlot(hi - 1, "encoder band");  // rows not made yet are zeros
        return feature(lo);
      },
      [&](const BandPlan& p, const Band& band) {
        const size_t rows = static_cast<size_t>(p.e1 - p.e0);
        encOut_.resize(static_cast<size_t>(p.e1 - encoderBase_) * h);
        std::memcpy(&encOut_[static_cast<size_t>(p.e0 - encoderBase_) * h],
                    &band.ctx[static_cast<size_t>(p.e0 - p.lo) * h], rows * h * sizeof(float));
        if (width()) {
          wnOut_.resize(static_cast<size_t>(p.e1 - encoderBase_));
          std::memcpy(&wnOut_[static_cast<size_t>(p.e0 - encoderBase_)], &band.wn[static_cast<size_t>(p.e0 - p.lo)],
                      rows * sizeof(float));
        }
        encoded_ = p.e1;
      });
  for (int f = decoded_; f < target; ++f) {
    if (f < encoderBase_ || f < deltaBase_) behind("decoder frame");
    deltas_.resize(static_cast<size_t>(f + 1 - deltaBase_) * kKpFloats);
    model_.decode(encoderRow(f), decoder_, &deltas_[static_cast<size_t>(f - deltaBase_) * kKpFloats]);
  }
  decoded_ = std::max(decoded_, target);
}

float* Stream::featureSlot(int frame, const char* tag) {
  if (frame < featureBase_) behind(tag);
  const size_t need = static_cast<size_t>(frame + 1 - featureBase_) * kFeatureFloats;
  if (features_.size() < need) features_.resize(need, 0.0f);
  return &features_[static_cast<size_t>(frame - featureBase_) * kFeatureFloats];
}

void Stream::makeFeatures(int needed) {
  if (shortWindow_) {
    while (blockStart_ < needed) {
      const int b = blockStart_;
      if (b < featureBase_) behind("feat block");
      if (ShortWindowFront::windowEnd(w2vRight_, b) > countedSamples() && !finished_) return;
      if (sampleBase_ > 0 && ShortWindowFront::windowEnd(w2vRight_, b) - kWin2Samples < sampleBase_)
        behind("w2v window audio");
      float* rows = featureSlot(b + kBlockFrames - 1, "feat block") - static_cast<size_t>(kBlockFrames - 1) * kFeatureFloats;
      front2_.run(heldAudio(), w2vRight_, b, rows);
      blockStart_ = b + kBlockFrames;
    }
    return;
  }
  const int cap = finished_ ? INT_MAX : std::max(0, audioFrames() - right_);
  win8_.fill(
      needed, cap, finished_,
      [&](int f0) {
        const int64_t start = static_cast<int64_t>(f0) * kFrameSamples;
        if (start < sampleBase_) behind("8 s window audio");
        return front8_.run(w2v8(), heldAudio(), start).data();
      },
      [&](int k) { return featureSlot(k, "feat frame"); });
}

void Stream::trim() {
  const int nextWindow = shortWindow_ ? blockStart_ : win8_.f0;
  const int64_t audioCut =
      std::min(std::max<int64_t>(0, static_cast<int64_t>(nextWindow) * kFrameSamples - kWin2Samples), samples());
  if (audioCut > sampleBase_ + kTrimSamples - 1) {
    dropFront(audio_, static_cast<size_t>(audioCut - sampleBase_));
    sampleBase_ = audioCut;
  }
  // The next band reads back from its own start, which on the short-window
  // path is the start of the block it finishes.
  const int nextBand = shortWindow_ ? encoded_ / kBlockFrames * kBlockFrames : encoded_;
  const int featCut = std::max(0, std::min(featuresMade(), nextBand - model_.leftSpan()));
  if (featCut > featureBase_ + kTrimFrames - 1) {
    dropFront(features_, static_cast<size_t>(featCut - featureBase_) * kFeatureFloats);
    featureBase_ = featCut;
  }
  const int encCut = std::min(pulled_, decoded_);
  if (encCut >= encoderBase_ + kTrimFrames) {
    dropFront(encOut_, static_cast<size_t>(encCut - encoderBase_) * model_.h());
    dropFront(wnOut_, static_cast<size_t>(encCut - encoderBase_));
    encoderBase_ = encCut;
  }
  if (pulled_ >= deltaBase_ + kTrimFrames) {
    dropFront(deltas_, static_cast<size_t>(pulled_ - deltaBase_) * kKpFloats);
    deltaBase_ = pulled_;
  }
}

const float* Stream::feature(int frame) const {
  if (frame < featureBase_) behind("feature");
  return &features_[static_cast<size_t>(frame - featureBase_) * kFeatureFloats];
}

const float* Stream::encoderRow(int frame) const {
  if (frame < encoderBase_) behind("encoder row");
  return &encOut_[static_cast<size_t>(frame - encoderBase_) * model_.h()];
}

const float* Stream::deltaRow(int frame) const {
  if (frame < deltaBase_) behind("delta row");
  return &deltas_[static_cast<size_t>(frame - deltaBase_) * kKpFloats];
}

size_t Stream::retainedBytes() const {
  return (audio_.capacity() + features_.capacity() + encOut_.capacity() + deltas_.capacity() + wnOut_.capacity()) *
         sizeof(float);
}

}  // namespace le::a2x
