// The main loop: one decision per pass between collecting motion rows,
// posting the next dispatch request, rendering speech or ramp frames and
// queueing an idle frame, paced by the ring the host drains.
#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "base/threads.h"
#include "bundle/manifest.h"
#include "render/renderer.h"
#include "session/clock.h"
#include "session/utt.h"

using namespace le::session;

namespace {
constexpr size_t kKp = le::kKpFloats;
}

void le_utt::run() {
  le::threads::Registration census("utt main", "le_utt", 1, "renders speech and ramp crops, queues frames");
  while (iterate()) {
  }
}

bool le_utt::iterate() {
  std::vector<float> samples;
  bool endFlag = false;
  int ring = 0;
  double lastPush = -1, firstPush = -1;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) return false;
    if (state_ != kRamp) {
      samples.swap(pushed_);
      endFlag = std::exchange(endMark_, false);
    }
    ring = ringCount();
    lastPush = lastPushMs_;
    firstPush = firstPushMs_;
    gen = generation_;
    if (!motionView_ && motion_) {
      motionView_ = motion_.get();
      chunkView_ = chunk_.get();
    }
  }
  if (gen != seenGen_) {
    adoptGeneration(gen);
    return true;
  }
  bool worked = collectJob();
  if (!samples.empty()) {
    if (motionView_) {
      if (!inSpeech_) startUtterance(firstPush);
      staging_.insert(staging_.end(), samples.begin(), samples.end());
    } else {
      // Audio before the back-end exists is not an utterance; the next push
      // starts a fresh onset measurement.
      std::lock_guard<std::mutex> lock(mu_);
      firstPushMs_ = -1;
    }
  }
  if (inSpeech_ && !ended_)
    ended_ = endFlag || (opts_.endSilenceMs >= 0 && lastPush >= 0 && nowMs() - lastPush >= opts_.endSilenceMs);

  int eager = opts_.eager;
  if (opts_.hybrid) {
    const int buffered = rowsWaiting() + motionAvail_ + ring;
    if (hybridEager_ == 3 && buffered >= 24)
      hybridEager_ = 24;
    else if (hybridEager_ == 24 && buffered < 12)
      hybridEager_ = 3;
    eager = hybridEager_;
  }
  const int batch = chunkView_ ? chunkView_->batch() : 0;
  const bool chunkApplies = speechRenderedThisUtt_ && chunkView_ != nullptr;
  const bool chunkPending = chunkApplies && rowsWaiting() < batch && rowsWaiting() + motionAvail_ >= batch;

  if (inSpeech_ && !outstanding_ &&
      (!staging_.empty() || (ended_ && !finishSent_) || chunkPending || (rowsWaiting() < 8 && !drained()))) {
    postRequest(ended_, eager);
    worked = true;
    if (!opts_.hybrid) {
      awaitAnswer();
      collectJob();
    }
  }

  if (state_ == kRamp) {
    while (rampLeft_ > 0 && framesAvailable() < kRingSlots && !stale(seenGen_)) {
      produceRamp();
      worked = true;
    }
  }

  if (inSpeech_ && rowsWaiting() > 0 && framesAvailable() < kRingSlots) {
    if (state_ != kSpeaking) setState(kSpeaking);
    int n = 1;
    bool wait = false;
    if (chunkApplies && rowsWaiting() >= batch)
      n = batch;
    else if (chunkApplies && chunkPending && outstanding_)
      wait = true;
    if (!wait) {
      renderSpeech(n);
      worked = true;
    }
  }

  if (inSpeech_ && rowsWaiting() == 0 && drained()) {
    leaveSpeech();
    if (speechRenderedThisUtt_ && !xsTable_.empty()) {
      beginRamp(lastSpeechIdx_, lastXd_.data(), opts_.endRampFrames);
    } else {
      setState(kIdle);
    }
    speechRenderedThisUtt_ = false;
    worked = true;
  }

  if (state_ == kIdle && nothingQueued()) {
    if (enqueue(nullptr, kIdleFrame, idleIdx_, -1, nullptr, nullptr)) idleIdx_ = (idleIdx_ + 1) % nt_;
    worked = true;
  }

  if (!worked) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool news = stop_ || generation_ != seenGen_ || (state_ != kRamp && (!pushed_.empty() || endMark_));
    if (!news) mainCv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
  }
  return true;
}

bool le_utt::nothingQueued() {
  std::lock_guard<std::mutex> lock(mu_);
  return ringCount() == 0 && pasteQ_.empty() && !pasteBusy_;
}

bool le_utt::drained() const { return finishSent_ && !outstanding_ && motionTotal_ >= 0 && collected_ >= motionTotal_; }

void le_utt::startUtterance(double firstPushMs) {
  inSpeech_ = true;
  ended_ = false;
  finishSent_ = false;
  resetPending_ = true;
  speechRenderedThisUtt_ = false;
  speechFrameNo_ = 0;
  produced_ = consumed_ = 0;
  motionAvail_ = 0;
  motionTotal_ = -1;
  collected_ = 0;
  uttFirstPushMs_ = firstPushMs;
  if (state_ == kIdle) setState(kOnset);
}

void le_utt::leaveSpeech() {
  inSpeech_ = false;
  ended_ = false;
  finishSent_ = false;
  resetPending_ = false;
  staging_.clear();
  produced_ = consumed_ = 0;
  speechFrameNo_ = 0;
  std::lock_guard<std::mutex> lock(mu_);
  firstPushMs_ = -1;
}

void le_utt::beginRamp(int si, const float* kp, int frames) {
  idleIdx_ = (si + 1) % nt_;
  const float* xs = xsTable_.data() + static_cast<size_t>(si) * kKp;
  for (size_t k = 0; k < kKp; ++k) rampDelta_[k] = kp[k] - xs[k];
  rampLen_ = rampLeft_ = frames;
  setState(kRamp);
}

void le_utt::adoptGeneration(uint64_t gen) {
  seenGen_ = gen;
  adoptedGeneration_ = gen;
  int kind = -1, si = 0;
  std::array<float, kKp> kp{};
  {
    std::lock_guard<std::mutex> lock(mu_);
    kind = lastKind_;
    si = lastSi_;
    kp = lastKp_;
    cancelRenders(false);  // the interrupt's render, if any, has stopped
  }
  leaveSpeech();
  speechRenderedThisUtt_ = false;
  rampLeft_ = 0;
  if (kind == kSpeechFrame && !xsTable_.empty()) {
    beginRamp(si, kp.data(), opts_.interruptRampFrames);
  } else {
    setState(kIdle);
    if (kind >= 0) idleIdx_ = (si + 1) % nt_;
  }
}

bool le_utt::collectJob() {
  if (!outstanding_) return false;
  std::lock_guard<std::mutex> lock(dmu_);
  if (!rec_.done) return false;
  outstanding_ = false;
  rec_.done = false;
  if (rec_.generation != seenGen_) return true;
  const int pulled = rec_.pulled;
  if (produced_ + pulled > kRowCapacity) {
    // Drop the rows already rendered to make room.
    const int keep = rowsWaiting();
    std::copy_n(rowIdx_.begin() + consumed_, keep, rowIdx_.begin());
    std::copy_n(rowXs_.begin() + consumed_ * kKp, keep * kKp, rowXs_.begin());
    std::copy_n(rowXd_.begin() + consumed_ * kKp, keep * kKp, rowXd_.begin());
    produced_ = keep;
    consumed_ = 0;
  }
  const int room = std::min(pulled, kRowCapacity - produced_);
  std::copy_n(rec_.idx.begin(), room, rowIdx_.begin() + produced_);
  std::copy_n(rec_.xs.begin(), room * kKp, rowXs_.begin() + produced_ * kKp);
  std::copy_n(rec_.xd.begin(), room * kKp, rowXd_.begin() + produced_ * kKp);
  produced_ += room;
  collected_ += room;
  motionAvail_ = rec_.avail;
  motionTotal_ = rec_.total;
  if (rec_.failed) {
    // The back-end gives no more rows this utterance.
    motionTotal_ = collected_;
    finishSent_ = true;
    motionAvail_ = 0;
  }
  return true;
}

void le_utt::postRequest(bool ended, int eager) {
  {
    std::lock_guard<std::mutex> lock(dmu_);
    rec_.motion = motionView_;
    rec_.samples.swap(staging_);
    staging_.clear();
    rec_.reset = resetPending_;
    if (resetPending_) {
      if (opts_.onsetIndex >= 0) idleIdx_ = opts_.onsetIndex;
      rec_.start = idleIdx_;
    }
    rec_.direction = direction_;
    rec_.finish = ended && !finishSent_;
    rec_.eager = eager != lastEagerSent_ ? eager : 0;
    rec_.max = kRowCapacity - rowsWaiting();
    rec_.generation = seenGen_;
    rec_.done = false;
    rec_.posted = true;
  }
  lastEagerSent_ = eager;
  outstanding_ = true;
  resetPending_ = false;
  if (ended) finishSent_ = true;
  dcv_.notify_all();
}

void le_utt::awaitAnswer() {
  std::unique_lock<std::mutex> lock(dmu_);
  while (!rec_.done && !stale(seenGen_)) dcv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
}

void le_utt::renderSpeech(int n) {
  n = std::min(n, rowsWaiting());
  const int first = consumed_;
  const float* crops = nullptr;
  const size_t cropStride = cropFloats_;
  double share = 0;
  const bool chunked = n > 1 && chunkView_ && chunkView_->batch() >= n;
  if (chunked) {
    const double t0 = nowMs();
    try {
      crops = chunkView_->render(rowIdx_.data() + first, rowXs_.data() + first * kKp, rowXd_.data() + first * kKp, n);
    } catch (const std::exception& e) {
      if (stale(seenGen_)) return;  // cancelled by an interrupt or shutdown
      noteRenderFail("b24 chunk", e.what(), false);
    }
    share = (nowMs() - t0) / n;
  }
  for (int i = 0; i < n; ++i) {
    const int row = first + i;
    const int si = rowIdx_[row];
    const float* xd = rowXd_.data() + row * kKp;
    const float* crop = nullptr;
    double renderMs = share;
    if (chunked) {
      if (crops) crop = crops + static_cast<size_t>(i) * cropStride;
    } else {
      const double t0 = nowMs();
      try {
        crop = ctx_.renderer.render(&si, rowXs_.data() + row * kKp, xd, 1);
      } catch (const std::exception& e) {
        if (stale(seenGen_)) return;
        noteRenderFail("render", e.what(), false);
      }
      renderMs = nowMs() - t0;
    }
    if (!crop) {
      // The frame is skipped; its number stays taken so that later frames
      // keep their place against the audio.
      ++consumed_;
      ++speechFrameNo_;
      continue;
    }
    lastSpeechIdx_ = si;
    std::copy_n(xd, kKp, lastXd_.begin());
    double waited = 0;
    if (!enqueue(crop, kSpeechFrame, si, speechFrameNo_, xd, &waited)) return;
    ++speechFrameNo_;
    ++consumed_;
    speechRenderedThisUtt_ = true;
    std::lock_guard<std::mutex> lock(mu_);
    ++speechRendered_;
    renderMsSum_ += renderMs;
    enqueueWaitMsSum_ += waited;
    stats_.renderMsEma = emaSet_ ? 0.9 * stats_.renderMsEma + 0.1 * renderMs : renderMs;
    emaSet_ = true;
  }
  idleIdx_ = (lastSpeechIdx_ + 1) % nt_;
}

void le_utt::produceRamp() {
  const int si = idleIdx_;
  const float f = 1.0f - static_cast<float>(rampLen_ - rampLeft_ + 1) / static_cast<float>(rampLen_);
  std::array<float, kKp> kp{};
  const float* xs = xsTable_.data() + static_cast<size_t>(si) * kKp;
  for (size_t k = 0; k < kKp; ++k) kp[k] = xs[k] + f * rampDelta_[k];
  const float* crop = nullptr;
  try {
    crop = ctx_.renderer.render(&si, xs, kp.data(), 1);
  } catch (const std::exception& e) {
    if (stale(seenGen_)) return;
    noteRenderFail("ramp", e.what(), false);
  }
  if (crop) {
    lastXd_ = kp;
    double waited = 0;
    if (!enqueue(crop, kRampFrame, si, -1, kp.data(), &waited)) return;
  }
  idleIdx_ = (idleIdx_ + 1) % nt_;
  if (--rampLeft_ <= 0) setState(kIdle);
}
