// Finished crops become ring frames: composed on the main thread, or copied
// into the paste queue for the paste thread. Only one of the two ever
// composes; each composes into a frame of its own and swaps it into the
// ring, so no frame is copied or allocated on the way.
#include <algorithm>
#include <cstring>
#include <exception>

#include "base/threads.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "paste/paste.h"
#include "session/clock.h"
#include "session/utt.h"

using namespace le::session;

bool le_utt::enqueue(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs) {
  if (teethRoutes(crop != nullptr)) {
    // The pass keeps the crop a frame, so it travels as a job of its own.
    const double t0 = nowMs();
    fillJob(mainJob_, crop, kind, si, uttFrame, kp, chargedMs ? *chargedMs : 0);
    const bool queued = teethThread_ ? enqueueTess(mainJob_) : tessStage(mainJob_);
    if (chargedMs) *chargedMs += nowMs() - t0;
    return queued;
  }
  if (opts_.pipelinePaste) {
    const double t0 = nowMs();
    const bool queued = enqueuePipe(crop, kind, si, uttFrame, kp, chargedMs ? *chargedMs : 0);
    if (chargedMs) *chargedMs += nowMs() - t0;
    return queued;
  }
  double elapsed = 0;
  const bool queued =
      composeAndPublish(mainFrame_, crop, kind, si, uttFrame, kp, sp_.seenGen, sp_.uttFirstPushMs, &elapsed, -1);
  if (chargedMs) *chargedMs += elapsed;
  return queued;
}

bool le_utt::enqueuePipe(const float* crop, int kind, int si, int uttFrame, const float* kp, double chargedMs) {
  fillJob(mainJob_, crop, kind, si, uttFrame, kp, chargedMs);
  return pushJob(false, mainJob_);
}

void le_utt::fillJob(PasteJob& job, const float* crop, int kind, int si, int uttFrame, const float* kp,
                     double chargedMs) {
  job.hasCrop = crop != nullptr;
  if (crop) {
    job.crop.resize(cropFloats_);  // allocates once, when the teeth stage first needs the job
    std::copy_n(crop, cropFloats_, job.crop.data());
  }
  job.kind = kind;
  job.si = si;
  job.uttFrame = uttFrame;
  if (kp)
    std::copy_n(kp, le::kKpFloats, job.kp.begin());
  else
    job.kp.fill(0.0f);
  job.chargedMs = chargedMs;
  job.uttFirstPushMs = sp_.uttFirstPushMs;
  job.generation = sp_.seenGen;
}

bool le_utt::pushJob(bool teeth, PasteJob& job) {
  {
    le::MutexLock lock(mu_);
    while (teeth ? teethQ_->full() : pasteQ_.full()) {
      if (stale(job.generation)) return false;
      lock.waitFor(mainCv_, std::chrono::milliseconds(kWaitMs));
    }
    if (stale(job.generation)) return false;
    job.queuedMs = nowMs();
    if (teeth)
      teethQ_->push(job);
    else
      pasteQ_.push(job);
  }
  (teeth ? tessCv_ : pasteCv_).notify_all();
  return true;
}

bool le_utt::enqueueRaw(PasteJob& job) {
  if (opts_.pipelinePaste) return pushJob(false, job);
  // Inline: the teeth stage runs on the main thread, which owns mainFrame_.
  double elapsed = 0;
  return composeAndPublish(mainFrame_, job.hasCrop ? job.crop.data() : nullptr, job.kind, job.si, job.uttFrame,
                           job.kp.data(), job.generation, job.uttFirstPushMs, &elapsed, -1);
}

bool le_utt::composeAndPublish(Frame& frame, const float* crop, int kind, int si, int uttFrame, const float* kp,
                               uint64_t gen, double uttFirstPushMs, double* elapsedMs, double queuedMs) {
  {
    le::MutexLock lock(mu_);
    while (ring_.full()) {
      if (stale(gen)) return false;
      lock.waitFor(mainCv_, std::chrono::milliseconds(kWaitMs));
    }
    if (stale(gen)) return false;
  }
  const double t0 = nowMs();
  try {
    ctx_.cursor.pullAt(si, frame.rgb.data());
    if (crop)
      ctx_.paste.composite(crop, 255.0f, ctx_.identity.M(si), frame.rgb.data(), ctx_.manifest.W, ctx_.manifest.H);
    else
      ctx_.identity.walkP(si);
  } catch (const std::exception& e) {
    stopServing("paste", *e.what() ? e.what() : "unknown failure");
    return false;
  }
  const double took = nowMs() - t0;
  *elapsedMs += took;
  frame.info.kind = kind;
  frame.info.si = si;
  frame.info.uttFrame = uttFrame;
  if (kp)
    std::copy_n(kp, le::kKpFloats, frame.kp.begin());
  else
    frame.kp.fill(0.0f);
  {
    le::MutexLock lock(mu_);
    // Only this thread publishes, so the room it waited for is still there.
    if (stale(gen) || ring_.full()) return false;
    frame.info.seq = nextSeq_++;
    ring_.push(frame);
    const double now = nowMs();
    if (kind == kSpeechFrame && uttFrame == 0) {
      ++acct_.stats.onsets;
      acct_.stats.lastOnsetMs = uttFirstPushMs >= 0 ? now - uttFirstPushMs : 0;
    }
    if (queuedMs >= 0) {
      acct_.stageCMs += took;
      if (kind == kSpeechFrame) acct_.deliverLatMs += now - queuedMs;
    }
  }
  return true;
}

void le_utt::stopServing(const char* stage, const std::string& text) {
  noteFailure(stage, text, true);
  serving_ = false;
  mainCv_.notify_all();
  pasteCv_.notify_all();
}

void le_utt::pasteLoop() {
  le::threads::Registration census("utt paste", "le_utt", 1, "composes queued crops into ring frames");
  try {
    for (;;) {
      {
        le::MutexLock lock(mu_);
        while (pasteQ_.empty() && !pasteStop_ && !stop_) lock.waitFor(pasteCv_, std::chrono::milliseconds(kWaitMs));
        if (pasteStop_ || stop_) return;
        (void)pasteQ_.pop(pasteJob_);
        pasteBusy_ = true;
        ++acct_.jobsC;
      }
      mainCv_.notify_all();  // a producer may wait for queue space
      double elapsed = 0;
      composeAndPublish(pasteFrame_, pasteJob_.hasCrop ? pasteJob_.crop.data() : nullptr, pasteJob_.kind,
                        pasteJob_.si, pasteJob_.uttFrame, pasteJob_.kp.data(), pasteJob_.generation,
                        pasteJob_.uttFirstPushMs, &elapsed, pasteJob_.queuedMs);
      {
        le::MutexLock lock(mu_);
        pasteBusy_ = false;
      }
      mainCv_.notify_all();
    }
  } catch (const std::exception& e) {
    stopServing("paste", *e.what() ? e.what() : "unknown failure");
  } catch (...) {
    stopServing("paste", "unknown failure");
  }
}
