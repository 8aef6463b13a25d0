#include "audio/a2x_model.h"

#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "audio/a2x_meta.h"
#include "base/log.h"
#include "bundle/files.h"
#include "bundle/manifest.h"
#include "ort/api.h"
#include "ort/options.h"

namespace le::a2x {
namespace {

// Spans beyond this many frames are not a streaming encoder anyone built.
constexpr int64_t kMaxSpan = 1 << 20;

// Whole little-endian float32 file; empty when it cannot be read.
std::vector<float> readFloats(const std::string& path) {
  std::string bytes;
  if (readWhole(path, bytes) != ReadStatus::kOk) return {};
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

Ort::Value tensor(const float* data, size_t count, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(ort::cpuMemory(), const_cast<float*>(data), count, shape.begin(),
                                         shape.size());
}

// The 8 s encoder's output for 8 s of silence, computed once per process.
std::mutex& g_zeroemb_mtx() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<float>& g_zeroemb() {
  static auto* v = new std::vector<float>;
  return *v;
}

}  // namespace

Model::Model(const std::string& dir) : dir_(dir) {
  const std::string metaText = readTextOrEmpty(dir + "/a2x_meta.json");
  if (metaText.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);
  const Meta meta = parseMeta(metaText);
  if (meta.window < 0 || meta.left < 0) throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  if (meta.h < 1) throw std::runtime_error("a2x_meta.json h must be at least 1, got " + std::to_string(meta.h));
  if (meta.layers < 1)
    throw std::runtime_error("a2x_meta.json layers must be at least 1, got " + std::to_string(meta.layers));
  const int64_t la = static_cast<int64_t>(meta.window) * meta.layers;
  const int64_t ls = static_cast<int64_t>(meta.left) * meta.layers;
  if (la > kMaxSpan || ls > kMaxSpan)
    throw std::runtime_error("a2x_meta.json spans of " + std::to_string(std::max(la, ls)) + " frames exceed " +
                             std::to_string(kMaxSpan));
  h_ = meta.h;
  window_ = meta.window;
  left_ = meta.left;
  leftSpan_ = static_cast<int>(ls);
  lookAheadSpan_ = static_cast<int>(la);
  silencePrime_ = meta.silencePrime;
  metaWidth_ = meta.width;

  pos_ = readFloats(dir + "/a2x_pos.f32");
  std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  xs_ = readFloats(resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 2 * kKpFloats || xs_.size() < kKpFloats)
    throw std::runtime_error("pos/norm/xs_target read failed");
  posRows_ = static_cast<int>(pos_.size() / static_cast<size_t>(h_));
  normMean_.assign(norm.begin(), norm.begin() + kKpFloats);
  normStd_.assign(norm.begin() + kKpFloats, norm.begin() + 2 * kKpFloats);
  nt_ = static_cast<int>(xs_.size() / kKpFloats);
}

void Model::open(int threads) {
  const Ort::SessionOptions options = ort::speechOptions(threads, "enc/dec");
  encoder_ = ort::open(resolveMember(dir_, "a2x_enc_stream.onnx"), options);
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outputs = encoder_->GetOutputCount();
  outName0_ = encoder_->GetOutputNameAllocated(0, alloc).get();
  if (outputs > 1) outName1_ = encoder_->GetOutputNameAllocated(1, alloc).get();
  width_ = outputs > 1 ? 1 : 0;
  const int metaWidth = metaWidth_ ? 1 : 0;
  if (metaWidth != width_)
    log::warn(
        "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the GRAPH (width=%d). "
        "Repackage this bundle.\n",
        metaWidth, outputs, width_);
  decoder_ = ort::open(resolveMember(dir_, "a2x_dec.onnx"), options);
  if (threads > 1) {
    census_.emplace_back("ort intra-op", dir_ + " encoder", threads - 1, "the streaming encoder's Session::Run");
    census_.emplace_back("ort intra-op", dir_ + " decoder", threads - 1, "the decoder's Session::Run");
  }
}

BandPlan Model::band(int e0, int target, int size, int audioFrames) const {
  BandPlan p{e0, std::min(e0 + size, target), std::max(e0 - leftSpan_, 0), 0};
  p.hi = std::min(p.e1 + lookAheadSpan_, audioFrames);
  if (e0 < posRows_) {
    p.e1 = std::min(p.e1, posRows_);
    p.hi = std::min(p.hi, posRows_);
  }
  return p;
}

BandPlan Model::blockBand(int e0, int target, int audioFrames, bool clip) const {
  const int b = e0 / kBlockFrames * kBlockFrames;
  BandPlan p{e0, std::min(b + kBlockFrames, target), std::max(b - leftSpan_, 0), b + kBlockFrames + lookAheadSpan_};
  if (clip) p.hi = std::min(p.hi, audioFrames);
  if (e0 < posRows_) {
    p.e1 = std::min(p.e1, posRows_);
    p.hi = std::min(p.hi, posRows_);
  }
  return p;
}

void Model::encode(const float* feat, int lo, int hi, Band& out) {
  const int t = hi - lo;
  const size_t tt = static_cast<size_t>(t);
  posBuf_.resize(tt * h_);
  const int half = posRows_ / 2;
  for (int j = 0; j < t; ++j) {
    const int u = lo + j;
    const int row = u < posRows_ ? u : half + (u - posRows_) % (posRows_ - half);
    std::memcpy(&posBuf_[static_cast<size_t>(j) * h_], &pos_[static_cast<size_t>(row) * h_], h_ * sizeof(float));
  }
  maskBuf_.assign(tt * tt, -std::numeric_limits<float>::infinity());
  for (int i = 0; i < t; ++i)
    for (int j = std::max(0, i - left_); j <= std::min(t - 1, i + window_); ++j) maskBuf_[tt * i + j] = 0.0f;
  const std::array<Ort::Value, 3> in{tensor(feat, tt * kFeatureFloats, {1, t, kLayers, kLayerWidth}),
                                     tensor(posBuf_.data(), posBuf_.size(), {1, t, h_}),
                                     tensor(maskBuf_.data(), maskBuf_.size(), {1, 1, t, t})};
  const std::array<const char*, 3> inNames{"feat", "pos_window", "attn"};
  const std::array<const char*, 2> outNames{outName0_.c_str(), outName1_.c_str()};
  std::vector<Ort::Value> res = encoder_->Run(Ort::RunOptions{nullptr}, inNames.data(), in.data(), in.size(),
                                              outNames.data(), width_ ? 2 : 1);
  if (res[0].GetTensorTypeAndShapeInfo().GetElementCount() != tt * h_)
    throw std::runtime_error("a2x_enc_stream: output 0 is not [1, " + std::to_string(t) + ", " + std::to_string(h_) +
                             "]");
  const float* ctx = res[0].GetTensorData<float>();
  out.ctx.assign(ctx, ctx + tt * h_);
  if (width_) {
    if (res[1].GetTensorTypeAndShapeInfo().GetElementCount() != tt)
      throw std::runtime_error("a2x_enc_stream: output 1 is not [1, " + std::to_string(t) + "]");
    const float* wn = res[1].GetTensorData<float>();
    out.wn.assign(wn, wn + tt);
  }
}

DecoderState Model::startState() const {
  if (!primed_.prev.empty() && !primed_.hidden.empty()) return primed_;
  return {std::vector<float>(kKpFloats, 0.0f), std::vector<float>(static_cast<size_t>(h_), 0.0f)};
}

void Model::decode(const float* ctx, DecoderState& st, float* delta) {
  const std::array<Ort::Value, 3> in{tensor(ctx, static_cast<size_t>(h_), {1, h_}),
                                     tensor(st.prev.data(), st.prev.size(), {1, kKpFloats}),
                                     tensor(st.hidden.data(), st.hidden.size(), {1, 1, h_})};
  const std::array<const char*, 3> inNames{"ctx_t", "prev", "h"};
  const std::array<const char*, 2> outNames{"m", "h_out"};
  std::vector<Ort::Value> res =
      decoder_->Run(Ort::RunOptions{nullptr}, inNames.data(), in.data(), in.size(), outNames.data(), outNames.size());
  if (res[0].GetTensorTypeAndShapeInfo().GetElementCount() != kKpFloats ||
      res[1].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(h_))
    throw std::runtime_error("a2x_dec: outputs m and h_out must hold 63 and " + std::to_string(h_) + " values");
  const float* m = res[0].GetTensorData<float>();
  const float* hn = res[1].GetTensorData<float>();
  for (int k = 0; k < kKpFloats; ++k) {
    st.prev[k] = m[k];
    delta[k] = m[k] * normStd_[k] + normMean_[k];
  }
  std::memcpy(st.hidden.data(), hn, st.hidden.size() * sizeof(float));
}

void Model::primeSilence(Ort::Session& w2v8, int n) {
  primed_ = {};
  std::vector<float> feat;
  {
    std::lock_guard<std::mutex> lock(g_zeroemb_mtx());
    std::vector<float>& zero = g_zeroemb();
    if (zero.empty()) {
      EightSecondFront front;
      zero = front.run(w2v8, AudioView{}, 0);
    }
    n = std::min(n, kWin8Frames);
    feat.resize(static_cast<size_t>(n) * kFeatureFloats);
    for (int f = 0; f < n; ++f) frameFromWindow(zero.data(), f, &feat[static_cast<size_t>(f) * kFeatureFloats]);
  }
  Band band;
  encode(feat.data(), 0, n, band);
  DecoderState st{std::vector<float>(kKpFloats, 0.0f), std::vector<float>(static_cast<size_t>(h_), 0.0f)};
  std::array<float, kKpFloats> scratch{};
  for (int f = 0; f < n; ++f) decode(&band.ctx[static_cast<size_t>(f) * h_], st, scratch.data());
  primed_ = std::move(st);
  log::report("[le_a2x] silence-primed AR state cached (%d frames)\n", n);
}

}  // namespace le::a2x
