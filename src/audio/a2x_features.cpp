#include "audio/a2x_features.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "audio/shared_encoders.h"
#include "ort/api.h"
#include "simd/half.h"
#include "simd/kernels.h"

namespace le::a2x {
namespace {

constexpr double kTrunkStepsPerFrame = 1598.0 / 199.0;

Ort::Value tensorOver(std::vector<float>& data, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(ort::cpuMemory(), data.data(), data.size(), shape.begin(), shape.size());
}

// One run of a shared encoder on one input; on the owner thread when CUDA is on.
std::vector<Ort::Value> runShared(Ort::Session& s, const char* in, Ort::Value& value, const char* out) {
  std::vector<Ort::Value> result;
  le_a2x_on_owner_thread([&] { result = s.Run(Ort::RunOptions{nullptr}, &in, &value, 1, &out, 1); });
  return result;
}

void fillWindow(std::vector<float>& window, size_t n, const AudioView& audio, int64_t start) {
  window.resize(n);
  for (size_t i = 0; i < n; ++i) window[i] = audio.at(start + static_cast<int64_t>(i));
  normaliseWindow(window);
}

}  // namespace

void roundThroughHalf(float* x, size_t n) {
  uint16_t half[1024];
  for (size_t at = 0; at < n; at += std::size(half)) {
    const size_t m = std::min(std::size(half), n - at);
    simd::f32ToF16(x + at, half, m);
    simd::f16ToF32(half, x + at, m);
  }
}

void normaliseWindow(std::vector<float>& x) {
  const size_t n = x.size();
  double sum = 0;
  for (float v : x) sum += v;
  const double mean = sum / static_cast<double>(n);
  double var = 0;
  for (float v : x) var += (v - mean) * (v - mean);
  var /= static_cast<double>(n);
  const double sd = std::sqrt(var + 1e-7);
  for (float& v : x) v = static_cast<float>((v - mean) / sd);
}

void frameFromWindow(const float* emb, int local, float* out) {
  for (int l = 0; l < kLayers; ++l)
    std::memcpy(out + static_cast<size_t>(l) * kLayerWidth,
                emb + (static_cast<size_t>(l) * kWin8Frames + local) * kLayerWidth, kLayerWidth * sizeof(float));
  roundThroughHalf(out, kFeatureFloats);
}

const std::vector<float>& EightSecondFront::run(Ort::Session& encoder, const AudioView& audio, int64_t start) {
  fillWindow(window_, kWin8Samples, audio, start);
  Ort::Value in = tensorOver(window_, {1, kWin8Samples});
  std::vector<Ort::Value> out = runShared(encoder, "input_values", in, "audio_emb");
  const size_t count = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
  const size_t want = static_cast<size_t>(kLayers) * kWin8Frames * kLayerWidth;
  if (count != want)
    throw std::runtime_error("the 8 s w2v encoder gave " + std::to_string(count) + " audio_emb values, expected " +
                             std::to_string(want));
  const float* p = out[0].GetTensorData<float>();
  emb_.assign(p, p + want);
  return emb_;
}

void ShortWindowFront::run(const AudioView& audio, int w2vRight, int b, float* out) {
  const Pair pair = sharedPair();
  const int64_t start = windowEnd(w2vRight, b) - kWin2Samples;
  fillWindow(window_, kWin2Samples, audio, start);
  Ort::Value in = tensorOver(window_, {1, kWin2Samples});
  std::vector<Ort::Value> trunk = runShared(*pair.trunk, "input_values", in, pair.trunkOut.c_str());
  const std::vector<int64_t> shape = trunk[0].GetTensorTypeAndShapeInfo().GetShape();
  if (shape.size() != 3 || shape[1] != kTrunkChannels || shape[2] < 1)
    throw std::runtime_error("w2v_win: the trunk output is not [1, 640, LT]");
  if (trunkSteps() == 0) learnTrunkSteps(static_cast<int>(shape[2]));
  const int lt = trunkSteps();
  if (lt != shape[2])
    throw std::runtime_error("w2v_win: the trunk emitted " + std::to_string(shape[2]) + " steps, expected " +
                             std::to_string(lt));
  const uint16_t* t16 = reinterpret_cast<const uint16_t*>(trunk[0].GetTensorData<Ort::Float16_t>());

  // Each frame of the block samples the trunk's time axis between two steps.
  trunkX_.resize(static_cast<size_t>(kBlockFrames) * kTrunkChannels);
  for (int j = 0; j < kBlockFrames; ++j) {
    const int k = b + j;
    const int shift = k > 199 ? (k / 100 - 1) * 100 : 0;
    const int local = k - shift;
    const double p = static_cast<double>((static_cast<int64_t>(shift) * audio::kFrameSamples - start) / 80) +
                     local * kTrunkStepsPerFrame;
    const double fl = std::floor(p);
    if (fl < 0 || fl >= lt) throw std::runtime_error("w2v_win: trunk pos out of range");
    const int i0 = static_cast<int>(fl);
    const int i1 = std::min(i0 + 1, lt - 1);
    const double a = p - fl;
    float* row = &trunkX_[static_cast<size_t>(j) * kTrunkChannels];
    for (int c = 0; c < kTrunkChannels; ++c) {
      const double v1 = f16ToF32(t16[static_cast<size_t>(c) * lt + i1]);
      const double v0 = f16ToF32(t16[static_cast<size_t>(c) * lt + i0]);
      row[c] = static_cast<float>(v1 * a + v0 * (1 - a));
    }
  }
  Ort::Value hin = tensorOver(trunkX_, {kBlockFrames, kTrunkChannels});
  std::vector<Ort::Value> emb = runShared(*pair.head, "x", hin, "emb");
  const size_t floats = static_cast<size_t>(kBlockFrames) * kFeatureFloats;
  if (emb[0].GetTensorTypeAndShapeInfo().GetElementCount() != floats)
    throw std::runtime_error("w2v_win: the head output is not 8 x 9216 values");
  std::memcpy(out, emb[0].GetTensorData<float>(), floats * sizeof(float));
  roundThroughHalf(out, floats);
}

}  // namespace le::a2x
