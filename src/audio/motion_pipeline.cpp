#include "audio/motion_pipeline.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "audio/idle_cursor.h"
#include "audio/motion_pose.h"
#include "audio/motion_sequence.h"
#include "base/env.h"
#include "ort/options.h"
#include "pool/pool.h"

namespace le::motion {
namespace {

// Seed layout chosen for the generator: pitch, yaw and roll logits,
// translation and scale (the 202 pose parts), then the expression.
std::vector<float> characterSeed(const std::vector<float>& ch) {
  std::vector<float> s;
  s.reserve(kMotion);
  s.insert(s.end(), ch.begin() + kDescPitch, ch.begin() + kDescPitch + kLogits);
  s.insert(s.end(), ch.begin() + kDescYaw, ch.begin() + kDescYaw + kLogits);
  s.insert(s.end(), ch.begin() + kDescRoll, ch.begin() + kDescRoll + kLogits);
  s.insert(s.end(), ch.begin() + kDescT, ch.begin() + kDescT + 3);
  s.push_back(ch[kDescScale]);
  s.insert(s.end(), ch.begin() + kDescExp, ch.begin() + kDescExp + kKp);
  return s;
}

}  // namespace

Pipeline::Pipeline(const std::string& dir, int threads, const std::string& ep)
    : t_(loadTables(dir)),
      logMel_(t_.window, t_.filters),
      dump_(env::text("LE_MOTION_DUMP")),
      segment_(kSegment),
      mel_(static_cast<size_t>(kMels) * kMelFrames),
      feat_(static_cast<size_t>(kFeatFrames) * kFeat),
      block_(static_cast<size_t>(kChunk) * kCond),
      pred_(static_cast<size_t>(kChunk) * kMotion),
      xsLa_(kKp),
      xdLa_(kKp),
      st_(kKp) {
  const int n = threads >= 1 ? threads : pool::threads();
  const Ort::SessionOptions options = ort::motionOptions(n, ep, dir);
  student_ = std::make_unique<Net>(dir, "hubert_student.onnx", options,
                                   std::vector<Port>{{"the log-mel", {1, kMels, kMelFrames}}},
                                   static_cast<size_t>(kFeatFrames) * kFeat);
  lmdm_ = std::make_unique<Net>(dir, "lmdm.onnx", options,
                                std::vector<Port>{{"the conditioning", {1, kChunk, kCond}}, {"the seed", {1, kMotion}}},
                                static_cast<size_t>(kChunk) * kMotion);
  stitch_ = std::make_unique<Net>(dir, "stitch.onnx", options,
                                  std::vector<Port>{{"xs_la", {1, kKp}}, {"xd_la", {1, kKp}}}, kKp);
  if (n > 1)
    for (const char* model : {"hubert_student.onnx", "lmdm.onnx", "stitch.onnx"})
      census_.emplace_back("ort intra-op", dir + "/" + model, n - 1, "a motion network's Session::Run");
  ratio_ = t_.chXs[kDescScale] / t_.srcXs[kDescScale];
  initSeed_ = characterSeed(t_.chXs);
  reset(0, 1, 1);
}

Pipeline::~Pipeline() = default;

int Pipeline::idleIndex(int t) const { return a2x::idleIndex(start_, direction_, loop_, nt(), t); }

void Pipeline::push(const float* samples, int n) { audio_.insert(audio_.end(), samples, samples + n); }

void Pipeline::reset(int start, int direction, int loop) {
  start_ = std::clamp(start, 0, nt() - 1);
  direction_ = direction < 0 ? -1 : 1;
  loop_ = loop;
  audio_.clear();
  audioBase_ = 0;
  finished_ = false;
  total_ = 0;
  pulled_ = 0;
  nextWindow_ = 0;
  rows_.clear();
  rowBase_ = 0;
  chunks_ = 0;
  seq_.clear();
  seqBase_ = 0;
  seed_ = initSeed_;
  final_.clear();
  m0_.clear();
  provisional_ = false;
  provRows_.clear();
  lastPass_ = 0;
  dump_.restart();
}

int Pipeline::made() const {
  if (finished_) return seqBase_ + frames(final_);
  return provisional_ ? provMade_ : seqBase_ + frames(seq_);
}

const float* Pipeline::row(int i) const {
  const int real = rows();
  if (i < rowBase_) throw std::logic_error("le_motion: conditioning row " + std::to_string(i) + " was trimmed");
  return i < real ? &rows_[static_cast<size_t>(i - rowBase_) * kCond]
                  : &provRows_[static_cast<size_t>(i - real) * kCond];
}

void Pipeline::trim() {
  if (dump_.on() || finished_) return;
  const int rowCut = kStride * chunks_;
  if (rowCut - rowBase_ >= kTrimFrames) {
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(rowCut - rowBase_) * kCond);
    rowBase_ = rowCut;
  }
  // A pull reads from pulled_ on (its final smoothing one frame earlier); the
  // next chunk blends into the last 10 frames and reads the 11th before them.
  const int realEnd = provisional_ ? realFrames_ : seqBase_ + frames(seq_);
  const int seqCut = std::min(pulled_ - 1, realEnd - kOverlap - 2);
  if (seqCut - seqBase_ >= kTrimFrames) {
    seq_.erase(seq_.begin(), seq_.begin() + static_cast<std::ptrdiff_t>(seqCut - seqBase_) * kMotion);
    seqBase_ = seqCut;
  }
}

void Pipeline::processWindow(int w, std::vector<float>& out, bool real) {
  const int64_t first = static_cast<int64_t>(w) * kFrameSamples - kWindowLead;
  const int64_t end = samples();
  for (int i = 0; i < kSegment; ++i) {
    const int64_t at = first + i;
    segment_[i] = at >= audioBase_ && at < end ? audio_[static_cast<size_t>(at - audioBase_)] : 0.0f;
  }
  logMel_.compute(segment_.data(), mel_.data());
  student_->run({mel_.data()}, feat_.data());
  for (int f = 0; f < kFeatFrames; ++f) {
    float* x = &feat_[static_cast<size_t>(f) * kFeat];
    for (int c = 0; c < kFeat; ++c) x[c] = x[c] * t_.fstd[c] + t_.fmean[c];
  }
  if (real && w == 0) {
    dump_.write("/mel0.bin", mel_.data(), mel_.size());
    dump_.write("/feat0.bin", feat_.data(), feat_.size());
  }
  for (int k = 0; k < kWindowFrames; ++k) {
    const size_t at = out.size();
    out.resize(at + kCond);
    float* r = &out[at];
    const float* a = &feat_[static_cast<size_t>(6 + 2 * k) * kFeat];
    const float* b = a + kFeat;
    for (int c = 0; c < kFeat; ++c) r[c] = (a[c] + b[c]) * 0.5f;
    r += kFeat;
    const float* emo = &t_.emo[static_cast<size_t>((w + k) % t_.meta.nEmo) * 8];
    r = std::copy(emo, emo + 8, r);
    r = std::copy(t_.eyeOpen.begin(), t_.eyeOpen.end(), r);
    r = std::copy(t_.eyeBall.begin(), t_.eyeBall.end(), r);
    std::copy(t_.chSc.begin(), t_.chSc.end(), r);
  }
}

void Pipeline::runChunk(int start, int end, bool real) {
  const int last = std::min(end, rows() + static_cast<int>(provRows_.size() / kCond)) - 1;
  for (int i = 0; i < kChunk; ++i)
    std::memcpy(&block_[static_cast<size_t>(i) * kCond], row(std::min(start + i, last)), kCond * sizeof(float));
  lmdm_->run({block_.data(), seed_.data()}, pred_.data());
  if (real && start == 0) {
    dump_.write("/lmdm0_kp.bin", seed_.data(), seed_.size());
    dump_.write("/lmdm0_aud.bin", block_.data(), block_.size());
    dump_.write("/lmdm0_pred.bin", pred_.data(), pred_.size());
  }
  addChunk(seq_, pred_.data());
  seed_ = nextSeed(initSeed_, seq_);
}

void Pipeline::rollback() {
  if (!provisional_) return;
  seq_.resize(static_cast<size_t>(realFrames_ - seqBase_) * kMotion);
  std::copy(realTail_.begin(), realTail_.end(), seq_.end() - static_cast<std::ptrdiff_t>(realTail_.size()));
  seed_ = realSeed_;
  provRows_.clear();
  provisional_ = false;
}

void Pipeline::advance() {
  if (finished_) return;
  while (samples() >= static_cast<int64_t>(nextWindow_) * kFrameSamples + kWindowReach) {
    processWindow(nextWindow_, rows_, true);
    nextWindow_ += kWindowFrames;
  }
  while (rows() >= kStride * chunks_ + kChunk) {
    rollback();
    runChunk(kStride * chunks_, rows(), true);
    ++chunks_;
  }
  // Audio before the next window's segment is never read again.
  const int64_t keep = static_cast<int64_t>(nextWindow_) * kFrameSamples - kWindowLead;
  if (keep - audioBase_ > kTrimSamples) {
    audio_.erase(audio_.begin(), audio_.begin() + static_cast<std::ptrdiff_t>(keep - audioBase_));
    audioBase_ = keep;
  }
  if (eager_) eagerAdvance();
}

void Pipeline::eagerAdvance() {
  if (made() - 1 > pulled_) return;  // the host still has frames to take
  const int heard = static_cast<int>(samples() / kFrameSamples);
  const int real = provisional_ ? realFrames_ : seqBase_ + frames(seq_);
  if (heard < real + 2 || heard < lastPass_ + kEagerCadence) return;
  rollback();
  realFrames_ = seqBase_ + frames(seq_);
  const int tail = std::min(kOverlap, realFrames_);
  realTail_.assign(seq_.end() - static_cast<std::ptrdiff_t>(tail) * kMotion, seq_.end());
  realSeed_ = seed_;
  for (int w = nextWindow_; w < heard; w += kWindowFrames) processWindow(w, provRows_, false);
  const int start = kStride * chunks_;
  const int available = rows() + static_cast<int>(provRows_.size() / kCond);
  lastPass_ = heard;
  if (start >= available) {
    provRows_.clear();
    return;
  }
  provisional_ = true;
  runChunk(start, available, false);
  provMade_ = std::min(seqBase_ + frames(seq_), heard);
}

void Pipeline::finish() {
  if (finished_) return;
  rollback();
  total_ = audio::framesOf(samples());
  while (nextWindow_ < total_) {
    processWindow(nextWindow_, rows_, true);
    nextWindow_ += kWindowFrames;
  }
  while (kStride * chunks_ < total_ && kStride * chunks_ < rows()) {
    runChunk(kStride * chunks_, total_, true);
    ++chunks_;
  }
  buildFinal();
  finished_ = true;
}

void Pipeline::buildFinal() {
  dump_.write("/cond.bin", rows_.data(), rows_.size());
  dump_.write("/res_post.bin", seq_.data(), seq_.size());
  final_ = finalSequence(seq_, total_ - seqBase_, t_.minmax);
  dump_.write("/final.bin", final_.data(), final_.size());
}

int Pipeline::avail() {
  advance();
  return std::max(0, finished_ ? made() - pulled_ : made() - 1 - pulled_);
}

int Pipeline::pull(int* idx, float* xs, float* xd, int max) {
  const int n = std::min(avail(), max);
  const std::vector<float>& from = finished_ ? final_ : seq_;
  for (int i = 0; i < n; ++i) {
    const int si = idleIndex(pulled_);
    if (idx) idx[i] = si;
    emitFrame(&from[static_cast<size_t>(pulled_ - seqBase_) * kMotion], si, xs + static_cast<size_t>(i) * kKp,
              xd + static_cast<size_t>(i) * kKp);
    ++pulled_;
  }
  trim();
  return n;
}

void Pipeline::emitFrame(const float* motion, int si, float* xs, float* xd) {
  if (m0_.empty()) m0_.assign(motion + kPoseParts, motion + kMotion);
  FramePose p;
  p.src = &t_.srcXs[static_cast<size_t>(si) * kDesc];
  p.motion = motion;
  p.m0 = m0_.data();
  p.ratio = ratio_;
  p.deltaPitch = t_.meta.deltaPitch;
  laKeypoints(p, xsLa_.data(), xdLa_.data());
  stitch_->run({xsLa_.data(), xdLa_.data()}, st_.data());
  const float* src = &t_.xs[static_cast<size_t>(si) * kKp];
  std::copy(src, src + kKp, xs);
  bridge(xs, st_.data(), xsLa_.data(), t_.meta.sBridge, xd);
  dump_.append("/xsla.bin", xsLa_.data(), kKp);
  dump_.append("/xdla.bin", xdLa_.data(), kKp);
  dump_.append("/xs.bin", xs, kKp);
  dump_.append("/xd.bin", xd, kKp);
}

}  // namespace le::motion
