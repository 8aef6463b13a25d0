#include "audio/a2x_stream.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "audio/a2x_meta.h"
#include "audio/idle_cursor.h"
#include "audio/shared_encoders.h"
#include "base/env.h"
#include "base/log.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "ort/api.h"
#include "ort/options.h"
#include "pool/pool.h"
#include "simd/half.h"
#include "simd/kernels.h"

namespace le::a2x {
namespace {

constexpr double kTrunkStepsPerFrame = 1598.0 / 199.0;
constexpr size_t kFreeAboveBytes = 16777216;
using audio::kTrimFrames;
using audio::kTrimSamples;
// Spans beyond this many frames are not a streaming encoder anyone built.
constexpr int64_t kMaxSpan = 1 << 20;

[[noreturn]] void behind(const char* tag) {
  throw std::runtime_error(std::string("stream read behind the retained window (") + tag + ")");
}


// Whole little-endian float32 file; empty when it cannot be read.
std::vector<float> readFloats(const std::string& path) {
  std::string bytes;
  if (readWhole(path, bytes) != ReadStatus::kOk) return {};
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
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

Ort::Value tensor(const float* data, size_t count, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(ort::cpuMemory(), const_cast<float*>(data), count, shape.begin(), shape.size());
}

std::vector<Ort::Value> runOn(Ort::Session& s, const std::vector<const char*>& in, std::vector<Ort::Value>& values,
                              const std::vector<const char*>& out, bool shared) {
  std::vector<Ort::Value> result;
  const auto job = [&] {
    result = s.Run(Ort::RunOptions{nullptr}, in.data(), values.data(), values.size(), out.data(), out.size());
  };
  if (shared)
    le_a2x_on_owner_thread(job);
  else
    job();
  return result;
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

std::once_flag g_cadenceOnce;

}  // namespace

void frameFromWindow(const std::vector<float>& emb, int local, float* out) {
  for (int l = 0; l < kLayers; ++l)
    std::memcpy(out + static_cast<size_t>(l) * kLayerWidth,
                &emb[(static_cast<size_t>(l) * kWin8Frames + local) * kLayerWidth], kLayerWidth * sizeof(float));
  roundThroughHalf(out, kFeatureFloats);
}

void roundThroughHalf(float* x, size_t n) {
  std::vector<uint16_t> half(n);
  simd::f32ToF16(x, half.data(), n);
  simd::f16ToF32(half.data(), x, n);
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

Stream::Stream(const std::string& bundle, int threads) {
  const int budget = pool::threads();
  threads_ = threads > 0 && threads < budget ? threads : budget;
  std::call_once(g_cadenceOnce, [&] {
    log::warn("[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
              320, kBlockFrames, threads_);
  });
  const Ort::SessionOptions options = ort::speechOptions(threads_, "enc/dec");

  const std::string dir = rstripSlash(resolveBundlePath(bundle));
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
  const long configured = env::integer("LE_A2X_W2V_RIGHT").value_or(12);
  right_ = static_cast<int>(std::clamp<long>(configured, 0, kMaxSpan));
  w2vRight_ = static_cast<int>(std::min<long>(configured, kMaxSpan));

  pos_ = readFloats(dir + "/a2x_pos.f32");
  std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  xs_ = readFloats(resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 2 * kKpFloats || xs_.size() < kKpFloats)
    throw std::runtime_error("pos/norm/xs_target read failed");
  posRows_ = static_cast<int>(pos_.size() / static_cast<size_t>(h_));
  normMean_.assign(norm.begin(), norm.begin() + kKpFloats);
  normStd_.assign(norm.begin() + kKpFloats, norm.begin() + 2 * kKpFloats);
  nt_ = static_cast<int>(xs_.size() / kKpFloats);

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

  encoder_ = ort::open(resolveMember(dir, "a2x_enc_stream.onnx"), options);
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outputs = encoder_->GetOutputCount();
  outName0_ = encoder_->GetOutputNameAllocated(0, alloc).get();
  if (outputs > 1) outName1_ = encoder_->GetOutputNameAllocated(1, alloc).get();
  width_ = outputs > 1 ? 1 : 0;
  const int metaWidth = meta.width ? 1 : 0;
  if (metaWidth != width_)
    log::warn(
        "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the GRAPH (width=%d). "
        "Repackage this bundle.\n",
        metaWidth, outputs, width_);
  decoder_ = ort::open(resolveMember(dir, "a2x_dec.onnx"), options);
  if (threads_ > 1) {
    census_.emplace_back("ort intra-op", dir + " encoder", threads_ - 1, "the streaming encoder's Session::Run");
    census_.emplace_back("ort intra-op", dir + " decoder", threads_ - 1, "the decoder's Session::Run");
  }

  int prime = meta.silencePrime;
  if (env::nonEmpty("LE_A2X_SILENCE_PRIME")) prime = static_cast<int>(env::integer("LE_A2X_SILENCE_PRIME").value());
  if (prime >= 1) {
    try {
      w2v8();
    } catch (const std::exception&) {
      throw std::runtime_error("shared w2v load failed (silence_prime)");
    }
    try {
      primeSilence(prime);
    } catch (const std::exception& e) {
      primedPrev_.clear();
      primedHidden_.clear();
      log::warn("[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    }
  }
  reset(0, 1, 1);
}

Stream::~Stream() = default;

Ort::Session* Stream::w2v8() {
  if (!w2v8_) w2v8_ = get_shared_w2v(w2vPath_.c_str(), threads_);
  if (!w2v8_) throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2vPath_ + ")");
  return w2v8_;
}

void Stream::primeSilence(int n) {
  std::vector<float> feat;
  {
    std::lock_guard<std::mutex> lock(g_zeroemb_mtx());
    std::vector<float>& zero = g_zeroemb();
    if (zero.empty()) {
      const std::vector<float> silence(kWin8Samples, 0.0f);
      zero = run8s(silence.data(), 0, kWin8Samples, 0);
    }
    n = std::min(n, kWin8Frames);
    feat.resize(static_cast<size_t>(n) * kFeatureFloats);
    for (int f = 0; f < n; ++f) frameFromWindow(zero, f, &feat[static_cast<size_t>(f) * kFeatureFloats]);
  }
  Band band;
  runEncoder(feat.data(), 0, n, band);
  prev_.assign(kKpFloats, 0.0f);
  hidden_.assign(static_cast<size_t>(h_), 0.0f);
  std::array<float, kKpFloats> scratch{};
  for (int f = 0; f < n; ++f) decodeFrame(&band.ctx[static_cast<size_t>(f) * h_], scratch.data());
  primedPrev_ = prev_;
  primedHidden_ = hidden_;
  log::warn("[le_a2x] silence-primed AR state cached (%d frames)\n", n);
}

void Stream::push(const float* samples, int n) {
  if (n < 1 || !samples) return;
  audio_.insert(audio_.end(), samples, samples + n);
}

int Stream::total() const {
  if (!finished_) return -1;
  return audio::framesOf(samples());
}

int64_t Stream::countedSamples() const {
  const int64_t s = samples();
  if (finished_) return s;
  return std::min(s, (s + kFrameSamples - 1) / kBlockSamples * kBlockSamples);
}

int Stream::audioFrames() const { return audio::framesOf(countedSamples()); }

int Stream::decodable() const {
  const int a = audioFrames();
  if (finished_) return a;
  return std::max(0, a - std::max(lookAheadSpan_, right_));
}

int Stream::idleIndex(int t) const { return a2x::idleIndex(cursorStart_, direction_, loop_, nt_, t); }

void Stream::reset(int start, int direction, int loop) {
  cursorStart_ = start < 0 ? idleIndex(pulled_) : start;
  direction_ = direction < 0 ? -1 : 1;
  loop_ = loop;
  for (std::vector<float>* v : {&audio_, &features_, &encOut_, &deltas_, &wnOut_}) emptyBuffer(*v);
  finished_ = false;
  pulled_ = 0;
  blockStart_ = featuresMade_ = encoded_ = decoded_ = 0;
  sampleBase_ = 0;
  featureBase_ = encoderBase_ = deltaBase_ = 0;
  restartDecoder();
}

void Stream::restartDecoder() {
  if (primed()) {
    prev_ = primedPrev_;
    hidden_ = primedHidden_;
  } else {
    prev_.assign(kKpFloats, 0.0f);
    hidden_.assign(static_cast<size_t>(h_), 0.0f);
  }
}

int Stream::avail() {
  const int d = decodable();
  if (decoded_ < d) extend(std::min(decoded_ + (shortWindow_ ? kBlockFrames : kStreamBand), d));
  return std::max(0, decoded_ - pulled_);
}

int Stream::pull(int* idx, float* xs, float* xd, float* wn, int max) {
  if (max < 1) return 0;
  const int d = decodable();
  if (pulled_ >= decoded_) extend(static_cast<int>(std::min<int64_t>(d, static_cast<int64_t>(pulled_) + max)));
  int written = 0;
  const int last = std::min(d, decoded_);
  while (pulled_ < last && written < max) {
    const int t = pulled_;
    const int si = idleIndex(t);
    idx[written] = si;
    const float* src = &xs_[static_cast<size_t>(si) * kKpFloats];
    const float* delta = deltaRow(t);
    float* xsOut = xs + static_cast<size_t>(written) * kKpFloats;
    float* xdOut = xd + static_cast<size_t>(written) * kKpFloats;
    for (int k = 0; k < kKpFloats; ++k) {
      xsOut[k] = src[k];
      xdOut[k] = src[k] + delta[k];
    }
    if (wn) {
      const int64_t at = static_cast<int64_t>(t) - encoderBase_;
      wn[written] = width_ && at >= 0 && at < static_cast<int64_t>(wnOut_.size()) ? wnOut_[static_cast<size_t>(at)] : 0.f;
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
  // The short-window path encodes whole blocks, so a block's band is fixed by
  // its position alone and the rows do not depend on the pull rhythm.
  const int reach = shortWindow_ ? (target + kBlockFrames - 1) / kBlockFrames * kBlockFrames : target;
  const int needed = std::min(reach + lookAheadSpan_, a);
  makeFeatures(needed);
  // Before the end, a frame waits until the features of its whole look-ahead exist.
  if (featuresMade_ < needed) target = std::min(target, featuresMade_ - lookAheadSpan_);
  if (target <= decoded_) return;

  Band band;
  while (encoded_ < target) {
    const int e0 = encoded_;
    int e1 = shortWindow_ ? std::min(e0 / kBlockFrames * kBlockFrames + kBlockFrames, a)
                          : std::min(e0 + kStreamBand, target);
    if (shortWindow_ && !finished_ && e1 + lookAheadSpan_ > featuresMade_) break;
    const int lo = std::max(e0 - leftSpan_, 0);
    int hi = std::min(e1 + lookAheadSpan_, a);
    if (e0 < posRows_) {
      e1 = std::min(e1, posRows_);
      hi = std::min(hi, posRows_);
    }
    if (lo < featureBase_ || e0 < encoderBase_) behind("encoder band");
    runEncoder(feature(lo), lo, hi, band);
    const size_t rows = static_cast<size_t>(e1 - e0);
    encOut_.resize(static_cast<size_t>(e1 - encoderBase_) * h_);
    std::memcpy(&encOut_[static_cast<size_t>(e0 - encoderBase_) * h_], &band.ctx[static_cast<size_t>(e0 - lo) * h_],
                rows * h_ * sizeof(float));
    if (width_) {
      wnOut_.resize(static_cast<size_t>(e1 - encoderBase_));
      std::memcpy(&wnOut_[static_cast<size_t>(e0 - encoderBase_)], &band.wn[static_cast<size_t>(e0 - lo)],
                  rows * sizeof(float));
    }
    encoded_ = e1;
  }
  target = std::min(target, encoded_);
  for (int f = decoded_; f < target; ++f) {
    if (f < encoderBase_ || f < deltaBase_) behind("decoder frame");
    deltas_.resize(static_cast<size_t>(f + 1 - deltaBase_) * kKpFloats);
    decodeFrame(encoderRow(f), &deltas_[static_cast<size_t>(f - deltaBase_) * kKpFloats]);
  }
  decoded_ = std::max(decoded_, target);
}

float* Stream::featureSlot(int frame, const char* tag) {
  if (frame < featureBase_) behind(tag);
  const size_t need = static_cast<size_t>(frame + 1 - featureBase_) * kFeatureFloats;
  if (features_.size() < need) features_.resize(need);
  return &features_[static_cast<size_t>(frame - featureBase_) * kFeatureFloats];
}

void Stream::makeFeatures(int needed) {
  if (shortWindow_) {
    while (featuresMade_ < needed) {
      const int64_t end = static_cast<int64_t>(w2vRight_ + blockStart_ + kBlockFrames) * kFrameSamples;
      if (end > countedSamples() && !finished_) return;
      shortWindowBlock(blockStart_);
    }
    return;
  }
  const int a = audioFrames();
  while (featuresMade_ < needed) {
    const int f0 = blockStart_;
    const int64_t start = static_cast<int64_t>(f0) * kFrameSamples;
    if (start < sampleBase_) behind("8 s window audio");
    const int usable = finished_ ? f0 + kWin8Frames : std::min(f0 + kWin8Frames, std::max(0, a - right_));
    // Until more audio counts, a rerun of the unfinished window would write no frame.
    if (!finished_ && usable <= featuresMade_) return;
    const std::vector<float> emb = run8s(audio_.data(), sampleBase_, static_cast<int64_t>(audio_.size()), start);
    for (int k = std::max(f0 + (f0 == 0 ? 0 : kWin8Frames / 4), featuresMade_); k < usable; ++k) {
      frameFromWindow(emb, k - f0, featureSlot(k, "feat frame"));
    }
    featuresMade_ = std::max(featuresMade_, std::min(f0 + kWin8Frames, usable));
    if (!finished_ && usable <= f0 + kWin8Frames - 1) return;
    blockStart_ = f0 + kWin8Hop;
  }
}

std::vector<float> Stream::run8s(const float* audio, int64_t base, int64_t n, int64_t start) {
  windowBuf_.assign(kWin8Samples, 0.0f);
  for (int64_t i = 0; i < kWin8Samples; ++i) {
    const int64_t at = start + i - base;
    if (at >= 0 && at < n) windowBuf_[static_cast<size_t>(i)] = audio[at];
  }
  normaliseWindow(windowBuf_);
  std::vector<Ort::Value> in;
  in.push_back(tensor(windowBuf_.data(), windowBuf_.size(), {1, kWin8Samples}));
  std::vector<Ort::Value> out = runOn(*w2v8(), {"input_values"}, in, {"audio_emb"}, true);
  const size_t count = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
  const size_t want = static_cast<size_t>(kLayers) * kWin8Frames * kLayerWidth;
  if (count != want)
    throw std::runtime_error("the 8 s w2v encoder gave " + std::to_string(count) + " audio_emb values, expected " +
                             std::to_string(want));
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + want);
}

void Stream::shortWindowBlock(int b) {
  const Pair pair = sharedPair();
  const int64_t end = static_cast<int64_t>(w2vRight_ + b + kBlockFrames) * kFrameSamples;
  const int64_t start = end - kWin2Samples;
  if (sampleBase_ > 0 && start < sampleBase_) behind("w2v window audio");
  windowBuf_.assign(kWin2Samples, 0.0f);
  const int64_t have = samples();
  for (int64_t i = 0; i < kWin2Samples; ++i) {
    const int64_t at = start + i;
    if (at >= 0 && at < have) windowBuf_[static_cast<size_t>(i)] = audio_[static_cast<size_t>(at - sampleBase_)];
  }
  normaliseWindow(windowBuf_);
  std::vector<Ort::Value> in;
  in.push_back(tensor(windowBuf_.data(), windowBuf_.size(), {1, kWin2Samples}));
  std::vector<Ort::Value> trunk = runOn(*pair.trunk, {"input_values"}, in, {pair.trunkOut.c_str()}, true);
  const std::vector<int64_t> shape = trunk[0].GetTensorTypeAndShapeInfo().GetShape();
  if (shape.size() != 3 || shape[1] != kTrunkChannels || shape[2] < 1)
    throw std::runtime_error("w2v_win: the trunk output is not [1, 640, LT]");
  if (trunkSteps() == 0) learnTrunkSteps(static_cast<int>(shape[2]));
  const int lt = trunkSteps();
  if (lt != shape[2])
    throw std::runtime_error("w2v_win: the trunk emitted " + std::to_string(shape[2]) + " steps, expected " +
                             std::to_string(lt));
  const uint16_t* t16 = reinterpret_cast<const uint16_t*>(trunk[0].GetTensorData<Ort::Float16_t>());

  trunkX_.resize(static_cast<size_t>(kBlockFrames) * kTrunkChannels);
  for (int j = 0; j < kBlockFrames; ++j) {
    const int k = b + j;
    const int shift = k > 199 ? (k / 100 - 1) * 100 : 0;
    const int local = k - shift;
    const double p = static_cast<double>((static_cast<int64_t>(shift) * kFrameSamples - start) / 80) +
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
  std::vector<Ort::Value> hin;
  hin.push_back(tensor(trunkX_.data(), trunkX_.size(), {kBlockFrames, kTrunkChannels}));
  std::vector<Ort::Value> emb = runOn(*pair.head, {"x"}, hin, {"emb"}, true);
  if (emb[0].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kBlockFrames) * kFeatureFloats)
    throw std::runtime_error("w2v_win: the head output is not 8 x 9216 values");
  if (b < featureBase_) behind("feat block");
  float* slot = featureSlot(b + kBlockFrames - 1, "feat block") - static_cast<size_t>(kBlockFrames - 1) * kFeatureFloats;
  std::memcpy(slot, emb[0].GetTensorData<float>(), static_cast<size_t>(kBlockFrames) * kFeatureFloats * sizeof(float));
  roundThroughHalf(slot, static_cast<size_t>(kBlockFrames) * kFeatureFloats);
  blockStart_ = featuresMade_ = b + kBlockFrames;
}

void Stream::runEncoder(const float* feat, int lo, int hi, Band& out) {
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
  std::vector<Ort::Value> in;
  in.push_back(tensor(feat, tt * kFeatureFloats, {1, t, kLayers, kLayerWidth}));
  in.push_back(tensor(posBuf_.data(), posBuf_.size(), {1, t, h_}));
  in.push_back(tensor(maskBuf_.data(), maskBuf_.size(), {1, 1, t, t}));
  std::vector<const char*> names{outName0_.c_str()};
  if (width_) names.push_back(outName1_.c_str());
  std::vector<Ort::Value> res = runOn(*encoder_, {"feat", "pos_window", "attn"}, in, names, false);
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

void Stream::decodeFrame(const float* ctx, float* deltaOut) {
  std::vector<Ort::Value> in;
  in.push_back(tensor(ctx, static_cast<size_t>(h_), {1, h_}));
  in.push_back(tensor(prev_.data(), prev_.size(), {1, kKpFloats}));
  in.push_back(tensor(hidden_.data(), hidden_.size(), {1, 1, h_}));
  std::vector<Ort::Value> res = runOn(*decoder_, {"ctx_t", "prev", "h"}, in, {"m", "h_out"}, false);
  if (res[0].GetTensorTypeAndShapeInfo().GetElementCount() != kKpFloats ||
      res[1].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(h_))
    throw std::runtime_error("a2x_dec: outputs m and h_out must hold 63 and " + std::to_string(h_) + " values");
  const float* m = res[0].GetTensorData<float>();
  const float* hn = res[1].GetTensorData<float>();
  for (int k = 0; k < kKpFloats; ++k) {
    prev_[k] = m[k];
    deltaOut[k] = m[k] * normStd_[k] + normMean_[k];
  }
  std::memcpy(hidden_.data(), hn, hidden_.size() * sizeof(float));
}

void Stream::trim() {
  const int64_t audioCut = std::min(std::max<int64_t>(0, static_cast<int64_t>(blockStart_) * kFrameSamples - 32000),
                                    samples());
  if (audioCut > sampleBase_ + kTrimSamples - 1) {
    dropFront(audio_, static_cast<size_t>(audioCut - sampleBase_));
    sampleBase_ = audioCut;
  }
  const int featCut = std::max(0, std::min(featuresMade_, encoded_ - leftSpan_));
  if (featCut > featureBase_ + kTrimFrames - 1) {
    dropFront(features_, static_cast<size_t>(featCut - featureBase_) * kFeatureFloats);
    featureBase_ = featCut;
  }
  const int encCut = std::min(pulled_, decoded_);
  if (encCut >= encoderBase_ + kTrimFrames) {
    dropFront(encOut_, static_cast<size_t>(encCut - encoderBase_) * h_);
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
  return &encOut_[static_cast<size_t>(frame - encoderBase_) * h_];
}

const float* Stream::deltaRow(int frame) const {
  if (frame < deltaBase_) behind("delta row");
  return &deltas_[static_cast<size_t>(frame - deltaBase_) * kKpFloats];
}

size_t Stream::retainedBytes() const {
  return (audio_.capacity() + features_.capacity() + encOut_.capacity() + deltas_.capacity() + wnOut_.capacity()) *
         sizeof(float);
}

int Stream::deltas(const float* audio, int n, float* out, int maxFrames) {
  if (n < 1) return 0;
  const int frames = audio::framesOf(n);
  if (frames > maxFrames) return -2;
  std::vector<float> feat(static_cast<size_t>(frames) * kFeatureFloats);
  int made = 0;
  for (int f0 = 0; f0 < frames; f0 += kWin8Hop) {
    const std::vector<float> emb = run8s(audio, 0, n, static_cast<int64_t>(f0) * kFrameSamples);
    const int end = std::min(f0 + kWin8Frames, frames);
    for (int k = std::max(f0 + (f0 == 0 ? 0 : kWin8Frames / 4), made); k < end; ++k) {
      frameFromWindow(emb, k - f0, &feat[static_cast<size_t>(k) * kFeatureFloats]);
    }
    made = std::max(made, end);
  }
  std::vector<float> ctx(static_cast<size_t>(frames) * h_);
  std::vector<float> wn(static_cast<size_t>(frames), 0.0f);
  Band band;
  for (int e0 = 0; e0 < frames;) {
    int e1 = std::min(e0 + kOfflineBand, frames);
    const int lo = std::max(e0 - leftSpan_, 0);
    int hi = std::min(e1 + lookAheadSpan_, frames);
    if (e0 < posRows_) {
      e1 = std::min(e1, posRows_);
      hi = std::min(hi, posRows_);
    }
    runEncoder(&feat[static_cast<size_t>(lo) * kFeatureFloats], lo, hi, band);
    std::memcpy(&ctx[static_cast<size_t>(e0) * h_], &band.ctx[static_cast<size_t>(e0 - lo) * h_],
                static_cast<size_t>(e1 - e0) * h_ * sizeof(float));
    if (width_)
      std::memcpy(&wn[static_cast<size_t>(e0)], &band.wn[static_cast<size_t>(e0 - lo)],
                  static_cast<size_t>(e1 - e0) * sizeof(float));
    e0 = e1;
  }
  // The stream's decoder state is left as it was.
  std::vector<float> keepPrev = prev_, keepHidden = hidden_;
  restartDecoder();
  struct Restore {
    Stream* s;
    std::vector<float>& p;
    std::vector<float>& h;
    ~Restore() {
      s->prev_.swap(p);
      s->hidden_.swap(h);
    }
  } restore{this, keepPrev, keepHidden};
  for (int f = 0; f < frames; ++f)
    decodeFrame(&ctx[static_cast<size_t>(f) * h_], out + static_cast<size_t>(f) * kKpFloats);
  offlineWn_ = std::move(wn);
  return frames;
}

}  // namespace le::a2x
