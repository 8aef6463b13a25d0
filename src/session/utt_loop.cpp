// The main loop: one pass decides between collecting motion rows, posting
// the next dispatch request, rendering speech or ramp frames and queueing an
// idle frame, paced by the ring the host drains.
#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "base/threads.h"
#include "render/renderer.h"
#include "session/clock.h"
#include "session/utt.h"

using namespace le::session;

namespace {
constexpr size_t kKp = le::kKpFloats;
constexpr int kRowsAhead = 8;  // rows the loop asks for before it runs short
}  // namespace

void le_utt::run() {
  le::threads::Registration census("utt main", "le_utt", 1, "renders speech and ramp crops, queues frames");
  for (;;) {
    try {
      if (!iterate()) {
        if (teethInline()) tessDrain();  // the held frame has nowhere to go; the pass ends clean
        return;
      }
    } catch (const std::exception& e) {
      noteFailure("main loop", *e.what() ? e.what() : "unknown failure", false);
      waitForNews();
    } catch (...) {
      noteFailure("main loop", "unknown failure", false);
      waitForNews();
    }
  }
}

bool le_utt::iterate() {
  Snapshot s;
  if (!snapshot(s)) return false;
  if (!s.serving) {
    waitForNews();
    return true;
  }
  if (s.generation != sp_.seenGen) {
    adoptGeneration(s.generation);
    return true;
  }
  bool worked = collectAnswer();
  takeAudio(s);
  if (sp_.inSpeech && !sp_.ended)
    sp_.ended = s.endFlag ||
                (opts_.endSilenceMs >= 0 && s.lastPush >= 0 && nowMs() - s.lastPush >= opts_.endSilenceMs);
  worked |= dispatchStep(s.ring);
  worked |= rampStep();
  worked |= speechStep();
  worked |= endOfSpeechStep();
  worked |= idleStep();
  if (!worked) waitForNews();
  return true;
}

bool le_utt::snapshot(Snapshot& s) {
  le::audio::MotionBackend* motion = nullptr;
  le::Renderer* chunk = nullptr;
  {
    le::MutexLock lock(mu_);
    if (stop_) return false;
    if (sp_.state != kRamp) {
      // Audio pushed during a ramp waits until the ramp's last frame.
      std::swap(inbox_.audio, taken_);
      s.endFlag = std::exchange(inbox_.endMark, false);
    }
    s.ring = ring_.size();
    s.lastPush = inbox_.lastPushMs;
    s.firstPush = inbox_.firstPushMs;
    s.generation = generation_;
    s.serving = serving_;
    if (!sp_.motion) {
      motion = warmed_.motion.get();
      chunk = warmed_.chunk.get();
    }
  }
  if (motion) {
    // The warm-up is done: the loop takes its view, and a chunk model whose
    // batch exceeds the rows the loop keeps makes room for it, once.
    sp_.motion = motion;
    sp_.chunk = chunk;
    const int need = chunk ? std::max(kRowCapacity, chunk->batch()) : kRowCapacity;
    if (need > rows_.capacity) {
      rows_.capacity = need;
      rows_.idx.resize(static_cast<size_t>(need));
      rows_.xs.resize(static_cast<size_t>(need) * kKp);
      rows_.xd.resize(static_cast<size_t>(need) * kKp);
      dispatch_.setCapacity(need, answer_);
    }
  }
  return true;
}

void le_utt::takeAudio(const Snapshot& s) {
  if (taken_.empty()) return;
  if (sp_.motion) {
    if (!sp_.inSpeech) startUtterance(s.firstPush);
    request_.samples.insert(request_.samples.end(), taken_.begin(), taken_.end());
  } else {
    // Audio before the back-end exists is not an utterance; the next push
    // starts a fresh onset measurement.
    le::MutexLock lock(mu_);
    inbox_.firstPushMs = -1;
  }
  taken_.clear();
}

int le_utt::nextEager(int ring) {
  if (!opts_.hybrid) return opts_.eager;
  const int buffered = rows_.waiting() + sp_.motionAvail + ring;
  if (sp_.hybridEager == 3 && buffered >= 24)
    sp_.hybridEager = 24;
  else if (sp_.hybridEager == 24 && buffered < 12)
    sp_.hybridEager = 3;
  return sp_.hybridEager;
}

bool le_utt::chunkPending() const {
  if (!sp_.renderedThisUtt || !sp_.chunk) return false;
  const int b = sp_.chunk->batch();
  return rows_.waiting() < b && rows_.waiting() + sp_.motionAvail >= b;
}

bool le_utt::drained() const {
  return sp_.finishSent && !sp_.outstanding && sp_.motionTotal >= 0 && sp_.collected >= sp_.motionTotal;
}

bool le_utt::dispatchStep(int ring) {
  const int eager = nextEager(ring);
  if (!sp_.inSpeech || sp_.outstanding) return false;
  const bool rowsShort =
      rows_.waiting() < kRowsAhead && !drained() && (!sp_.starved || eager != sp_.lastEagerSent);
  if (request_.samples.empty() && !(sp_.ended && !sp_.finishSent) && !chunkPending() && !rowsShort) return false;
  postRequest(eager);
  if (!opts_.hybrid) {
    dispatch_.awaitAnswer([&] { return stale(sp_.seenGen); });
    collectAnswer();
  }
  return true;
}

void le_utt::postRequest(int eager) {
  request_.motion = sp_.motion;
  request_.reset = sp_.resetPending;
  if (sp_.resetPending) {
    if (opts_.onsetIndex >= 0) sp_.idleIdx = opts_.onsetIndex;
    request_.start = sp_.idleIdx;
  }
  request_.direction = sp_.direction;
  request_.finish = sp_.ended && !sp_.finishSent;
  request_.eager = eager != sp_.lastEagerSent ? eager : 0;
  request_.max = rows_.capacity - rows_.waiting();
  request_.generation = sp_.seenGen;
  dispatch_.post(request_);
  sp_.lastEagerSent = eager;
  sp_.outstanding = true;
  sp_.resetPending = false;
  if (sp_.ended) sp_.finishSent = true;
}

bool le_utt::collectAnswer() {
  if (!sp_.outstanding || !dispatch_.collect(answer_)) return false;
  sp_.outstanding = false;
  if (answer_.failed) noteFailure("motion", answer_.failure, false);
  if (answer_.generation != sp_.seenGen) return true;
  int pulled = std::clamp(answer_.pulled, 0, rows_.capacity);
  for (int i = 0; i < pulled; ++i)
    if (answer_.idx[static_cast<size_t>(i)] < 0 || answer_.idx[static_cast<size_t>(i)] >= nt_) {
      noteFailure("motion",
                  "a row names identity frame " + std::to_string(answer_.idx[static_cast<size_t>(i)]) +
                      ", outside [0, " + std::to_string(nt_) + ")",
                  false);
      pulled = i;
      answer_.failed = true;
      break;
    }
  if (rows_.produced + pulled > rows_.capacity) {
    // Drop the rows already rendered to make room.
    const int keep = rows_.waiting();
    const size_t from = static_cast<size_t>(rows_.consumed);
    std::copy_n(rows_.idx.begin() + from, keep, rows_.idx.begin());
    std::copy_n(rows_.xs.begin() + from * kKp, keep * kKp, rows_.xs.begin());
    std::copy_n(rows_.xd.begin() + from * kKp, keep * kKp, rows_.xd.begin());
    rows_.produced = keep;
    rows_.consumed = 0;
  }
  const int room = std::min(pulled, rows_.capacity - rows_.produced);
  const size_t at = static_cast<size_t>(rows_.produced);
  std::copy_n(answer_.idx.begin(), room, rows_.idx.begin() + at);
  std::copy_n(answer_.xs.begin(), room * kKp, rows_.xs.begin() + at * kKp);
  std::copy_n(answer_.xd.begin(), room * kKp, rows_.xd.begin() + at * kKp);
  rows_.produced += room;
  sp_.collected += room;
  sp_.starved = pulled == 0 && answer_.avail == 0;
  sp_.motionAvail = answer_.avail;
  sp_.motionTotal = answer_.total;
  if (answer_.failed) {
    // The back-end gives no more rows this utterance.
    sp_.motionTotal = sp_.collected;
    sp_.finishSent = true;
    sp_.motionAvail = 0;
  }
  return true;
}

bool le_utt::rampStep() {
  if (sp_.state != kRamp) return false;
  bool worked = false;
  while (sp_.rampLeft > 0 && framesAvailable() < kRingSlots && !stale(sp_.seenGen)) {
    produceRamp();
    worked = true;
  }
  return worked;
}

bool le_utt::speechStep() {
  if (!sp_.inSpeech || rows_.waiting() == 0 || framesAvailable() >= kRingSlots) return false;
  if (sp_.state != kSpeaking) setState(kSpeaking);
  const bool chunkApplies = sp_.renderedThisUtt && sp_.chunk;
  const int b = sp_.chunk ? sp_.chunk->batch() : 0;
  int n = 1;
  if (chunkApplies && rows_.waiting() >= b)
    n = b;
  else if (chunkApplies && chunkPending() && sp_.outstanding)
    return false;  // the chunk's rows are on their way
  renderSpeech(n);
  return true;
}

bool le_utt::endOfSpeechStep() {
  if (!sp_.inSpeech || rows_.waiting() > 0 || !drained()) return false;
  leaveSpeech();
  if (sp_.renderedThisUtt && !xsTable_.empty())
    beginRamp(sp_.lastSpeechIdx, sp_.lastXd.data(), opts_.endRampFrames);
  else
    setState(kIdle);
  sp_.renderedThisUtt = false;
  return true;
}

bool le_utt::idleStep() {
  if (sp_.state != kIdle) return false;
  // The frame the pass holds goes out before any idle frame. On a teeth
  // thread of its own the pass's state is that thread's: not read here.
  if (teethInline() && holding_) {
    tessDrain();
    return true;
  }
  if (!nothingQueued()) return false;
  if (enqueue(nullptr, kIdleFrame, sp_.idleIdx, -1, nullptr, nullptr)) sp_.idleIdx = (sp_.idleIdx + 1) % nt_;
  return true;
}

void le_utt::waitForNews() {
  le::MutexLock lock(mu_);
  const bool news = stop_ || generation_ != sp_.seenGen ||
                    (sp_.state != kRamp && (!inbox_.audio.empty() || inbox_.endMark));
  if (!news) lock.waitFor(mainCv_, std::chrono::milliseconds(kWaitMs));
}

bool le_utt::nothingQueued() {
  le::MutexLock lock(mu_);
  return ring_.empty() && pasteQ_.empty() && !pasteBusy_ && (!teethQ_ || teethQ_->empty()) && !teeth_.busy;
}

void le_utt::startUtterance(double firstPushMs) {
  sp_.inSpeech = true;
  sp_.ended = false;
  sp_.finishSent = false;
  sp_.resetPending = true;
  sp_.renderedThisUtt = false;
  sp_.frameNo = 0;
  rows_.produced = rows_.consumed = 0;
  sp_.motionAvail = 0;
  sp_.motionTotal = -1;
  sp_.collected = 0;
  sp_.starved = false;
  sp_.uttFirstPushMs = firstPushMs;
  if (sp_.state == kIdle) setState(kOnset);
}

void le_utt::leaveSpeech() {
  sp_.inSpeech = false;
  sp_.ended = false;
  sp_.finishSent = false;
  sp_.resetPending = false;
  request_.samples.clear();
  rows_.produced = rows_.consumed = 0;
  sp_.frameNo = 0;
  le::MutexLock lock(mu_);
  inbox_.firstPushMs = -1;
}

void le_utt::beginRamp(int si, const float* kp, int frames) {
  sp_.idleIdx = (si + 1) % nt_;
  const float* xs = xsTable_.data() + static_cast<size_t>(si) * kKp;
  for (size_t k = 0; k < kKp; ++k) sp_.rampDelta[k] = kp[k] - xs[k];
  sp_.rampLen = sp_.rampLeft = frames;
  setState(kRamp);
}

void le_utt::adoptGeneration(uint64_t gen) {
  sp_.seenGen = gen;
  adoptedGeneration_ = gen;
  LastPulled last;
  {
    le::MutexLock lock(mu_);
    last = lastPulled_;
    cancelRenders(false);  // the interrupt's render, if any, has stopped
  }
  if (teethInline()) tessDropHeld();
  leaveSpeech();
  sp_.renderedThisUtt = false;
  sp_.rampLeft = 0;
  if (last.kind == kSpeechFrame && !xsTable_.empty()) {
    beginRamp(last.si, last.kp.data(), opts_.interruptRampFrames);
  } else {
    setState(kIdle);
    if (last.kind >= 0) sp_.idleIdx = (last.si + 1) % nt_;
  }
}

void le_utt::renderSpeech(int n) {
  n = std::min(n, rows_.waiting());
  const int first = rows_.consumed;
  const float* crops = nullptr;
  double share = 0;
  const bool chunked = n > 1 && sp_.chunk && sp_.chunk->batch() >= n;
  if (chunked) {
    const double t0 = nowMs();
    try {
      crops = sp_.chunk->render(rows_.idx.data() + first, rows_.xs.data() + first * kKp, rows_.xd.data() + first * kKp,
                                n);
    } catch (const std::exception& e) {
      if (stale(sp_.seenGen)) return;  // cancelled by an interrupt or shutdown
      noteFailure("b24 chunk", e.what(), false);
    }
    share = (nowMs() - t0) / n;
  }
  for (int i = 0; i < n; ++i) {
    const int row = first + i;
    const int si = rows_.idx[static_cast<size_t>(row)];
    const float* xd = rows_.xd.data() + static_cast<size_t>(row) * kKp;
    const float* crop = nullptr;
    double renderMs = share;
    if (chunked) {
      if (crops) crop = crops + static_cast<size_t>(i) * cropFloats_;
    } else {
      const double t0 = nowMs();
      try {
        crop = ctx_.renderer.render(&si, rows_.xs.data() + static_cast<size_t>(row) * kKp, xd, 1);
      } catch (const std::exception& e) {
        if (stale(sp_.seenGen)) return;
        noteFailure("render", e.what(), false);
      }
      renderMs = nowMs() - t0;
    }
    if (!crop) {
      // The frame is skipped; its number stays taken so that later frames
      // keep their place against the audio.
      ++rows_.consumed;
      ++sp_.frameNo;
      continue;
    }
    sp_.lastSpeechIdx = si;
    std::copy_n(xd, kKp, sp_.lastXd.begin());
    double waited = 0;
    if (!enqueue(crop, kSpeechFrame, si, sp_.frameNo, xd, &waited)) return;
    ++sp_.frameNo;
    ++rows_.consumed;
    sp_.renderedThisUtt = true;
    le::MutexLock lock(mu_);
    ++acct_.speechRendered;
    acct_.renderMsSum += renderMs;
    acct_.enqueueWaitMsSum += waited;
    acct_.stats.renderMsEma = acct_.emaSet ? 0.9 * acct_.stats.renderMsEma + 0.1 * renderMs : renderMs;
    acct_.emaSet = true;
  }
  sp_.idleIdx = (sp_.lastSpeechIdx + 1) % nt_;
}

void le_utt::produceRamp() {
  const int si = sp_.idleIdx;
  const float f = 1.0f - static_cast<float>(sp_.rampLen - sp_.rampLeft + 1) / static_cast<float>(sp_.rampLen);
  Keypoints kp{};
  const float* xs = xsTable_.data() + static_cast<size_t>(si) * kKp;
  for (size_t k = 0; k < kKp; ++k) kp[k] = xs[k] + f * sp_.rampDelta[k];
  const float* crop = nullptr;
  try {
    crop = ctx_.renderer.render(&si, xs, kp.data(), 1);
  } catch (const std::exception& e) {
    if (stale(sp_.seenGen)) return;
    noteFailure("ramp", e.what(), false);
  }
  if (crop) {
    sp_.lastXd = kp;
    double waited = 0;
    if (!enqueue(crop, kRampFrame, si, -1, kp.data(), &waited)) return;
  }
  sp_.idleIdx = (sp_.idleIdx + 1) % nt_;
  if (--sp_.rampLeft <= 0) setState(kIdle);
}
