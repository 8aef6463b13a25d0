#include "audio/fca.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <queue>
#include <set>
#include <stdexcept>

#include "audio/a2x_stream.h"
#include "audio/shared_encoders.h"
#include "bundle/paths.h"
#include "ort/api.h"
#include "ort/options.h"
#include "pool/pool.h"

namespace le::fca {
namespace {

using a2x::kLayers;
using a2x::kWin8Frames;
using a2x::kWin8Hop;
using a2x::kWin8Samples;
using audio::kFrameSamples;
using audio::kKp;

constexpr size_t kEmbFloats = static_cast<size_t>(kLayers) * kWin8Frames * kWidth;

Ort::Value tensorOver(std::vector<float>& v, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(ort::cpuMemory(), v.data(), v.size(), shape.begin(), shape.size());
}

std::set<std::string> names(Ort::Session& s, bool inputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::set<std::string> out;
  const size_t n = inputs ? s.GetInputCount() : s.GetOutputCount();
  for (size_t i = 0; i < n; ++i)
    out.insert((inputs ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc)).get());
  return out;
}

void require(Ort::Session& s, const std::string& path, std::initializer_list<const char*> in,
             std::initializer_list<const char*> out) {
  const std::set<std::string> have[2] = {names(s, true), names(s, false)};
  for (int k = 0; k < 2; ++k)
    for (const char* name : k == 0 ? in : out)
      if (!have[k].count(name))
        throw std::runtime_error(baseName(path) + " has no " + (k == 0 ? "input" : "output") + " \"" + name + "\" (" +
                                 path + ")");
}

// The p-quantile (linear interpolation) of a growing multiset of values:
// the lower heap keeps the smallest floor(p (n - 1)) + 1 of them.
class RunningQuantile {
 public:
  void add(double v) {
    if (!low_.empty() && v < low_.top())
      low_.push(v);
    else
      high_.push(v);
    ++n_;
  }
  // Value at position q = t / 5 of the sorted values, t = n - 1.
  double fifth() {
    const size_t t = n_ - 1, lo = t / 5, rem = t % 5;
    while (low_.size() > lo + 1) high_.push(low_.top()), low_.pop();
    while (low_.size() < lo + 1) low_.push(high_.top()), high_.pop();
    const double a = low_.top();
    if (rem == 0) return a;
    return a + (high_.top() - a) * (static_cast<double>(rem) / 5.0);
  }

 private:
  std::priority_queue<double> low_;
  std::priority_queue<double, std::vector<double>, std::greater<>> high_;
  size_t n_ = 0;
};
static_assert(kVoicedQuantile == 0.2, "RunningQuantile::fifth serves the 20th percentile");

}  // namespace

void eachWindowFrame(Ort::Session& encoder, const float* audio, int n,
                     const std::function<void(const float* emb, int local, int frame)>& take) {
  const int frames = audio::framesOf(n);
  std::vector<float> window;
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  int taken = 0;
  for (int f0 = 0; f0 < frames && taken < frames; f0 += kWin8Hop) {
    const int64_t start = static_cast<int64_t>(f0) * kFrameSamples;
    window.assign(kWin8Samples, 0.0f);
    const int64_t have = std::min<int64_t>(kWin8Samples, n - start);
    std::memcpy(window.data(), audio + start, static_cast<size_t>(have) * sizeof(float));
    a2x::normaliseWindow(window);
    Ort::Value in = tensorOver(window, {1, kWin8Samples});
    std::vector<Ort::Value> out = encoder.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const size_t count = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
    if (count != kEmbFloats)
      throw std::runtime_error("the 8 s speech encoder gave " + std::to_string(count) + " audio_emb values, expected " +
                               std::to_string(kEmbFloats));
    const float* emb = out[0].GetTensorData<float>();
    const int end = std::min(f0 + kWin8Frames, frames);
    for (int k = std::max(f0 == 0 ? 0 : f0 + kWin8Frames / 4, taken); k < end; ++k) take(emb, k - f0, k);
    taken = std::max(taken, end);
  }
}

std::vector<float> speechFeatures(Ort::Session& encoder, const float* audio, int n) {
  std::vector<float> feat(static_cast<size_t>(audio::framesOf(n)) * kWidth);
  constexpr double kShare = 1.0 / (kLastLayer - kFirstLayer + 1);
  eachWindowFrame(encoder, audio, n, [&](const float* emb, int local, int frame) {
    float* row = &feat[static_cast<size_t>(frame) * kWidth];
    for (int c = 0; c < kWidth; ++c) {
      double sum = 0;
      for (int l = kFirstLayer; l <= kLastLayer; ++l)
        sum += emb[(static_cast<size_t>(l) * kWin8Frames + local) * kWidth + c];
      row[c] = static_cast<float>(sum * kShare);
    }
  });
  return feat;
}

void normaliseVoiced(std::vector<float>& features, int frames) {
  RunningQuantile norms;
  std::vector<double> sum(kWidth, 0.0);
  int count = 0;
  for (int t = 0; t < frames; ++t) {
    float* row = &features[static_cast<size_t>(t) * kWidth];
    double sq = 0;
    for (int c = 0; c < kWidth; ++c) sq += static_cast<double>(row[c]) * row[c];
    const double norm = std::sqrt(sq);
    norms.add(norm);
    const double threshold = t < kWarmFrames ? 0.0 : norms.fifth();
    if (norm > threshold) {
      for (int c = 0; c < kWidth; ++c) sum[c] += row[c];
      ++count;
    }
    const double share = 1.0 / std::max(count, 1);
    for (int c = 0; c < kWidth; ++c) row[c] = static_cast<float>(row[c] - sum[c] * share);
  }
}

void condRow(const std::vector<float>& features, int frames, int t, float* out) {
  for (int j = 0; j < kCondFrames; ++j) {
    const int f = std::clamp(t + kCondFirstOffset + j, 0, frames - 1);
    std::memcpy(out + static_cast<size_t>(j) * kWidth, &features[static_cast<size_t>(f) * kWidth],
                kWidth * sizeof(float));
  }
}

ConditionedAudio::ConditionedAudio(const std::string& encoderPath, const std::string& modelPath, int threads)
    : cond_(kCondFloats), prev_(kKp), hidden_(kHidden), m_(kKp), hn_(kHidden) {
  const int t = threads >= 1 ? threads : pool::threads();
  Ort::SessionOptions options = ort::speechOptions(t, "fca");
  encoder_ = a2x::le_a2x_open_session(encoderPath.c_str(), options);
  require(*encoder_, encoderPath, {"input_values"}, {"audio_emb"});
  model_ = ort::open(modelPath, options);
  require(*model_, modelPath, {"cond", "prev", "h"}, {"m", "hn"});
  if (t > 1)
    for (const std::string* owner : {&encoderPath, &modelPath})
      census_.emplace_back("ort intra-op", *owner, t - 1, "an fca session's Session::Run");
  in_.push_back(tensorOver(cond_, {1, kCondFloats}));
  in_.push_back(tensorOver(prev_, {1, kKp}));
  in_.push_back(tensorOver(hidden_, {1, 1, kHidden}));
  out_.push_back(tensorOver(m_, {1, kKp}));
  out_.push_back(tensorOver(hn_, {1, 1, kHidden}));
}

int ConditionedAudio::deltas(const float* audio, int n, float* out, int maxFrames) {
  if (n < 1) return 0;
  const int frames = audio::framesOf(n);
  if (frames > maxFrames) return -1;
  std::vector<float> feat = speechFeatures(*encoder_, audio, n);
  normaliseVoiced(feat, frames);
  static const char* const kIn[] = {"cond", "prev", "h"};
  static const char* const kOut[] = {"m", "hn"};
  std::fill(prev_.begin(), prev_.end(), 0.0f);
  std::fill(hidden_.begin(), hidden_.end(), 0.0f);
  for (int t = 0; t < frames; ++t) {
    condRow(feat, frames, t, cond_.data());
    model_->Run(Ort::RunOptions{nullptr}, kIn, in_.data(), in_.size(), kOut, out_.data(), out_.size());
    std::memcpy(out + static_cast<size_t>(t) * kKp, m_.data(), kKp * sizeof(float));
    std::copy(m_.begin(), m_.end(), prev_.begin());  // the bound tensors keep their buffers
    std::copy(hn_.begin(), hn_.end(), hidden_.begin());
  }
  return frames;
}

}  // namespace le::fca
