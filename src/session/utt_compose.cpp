// Finished crops become ring frames: composed on the main thread, or copied
// into the paste-job queue for the paste thread. Only one of the two ever
// composes, so the ring's next slot has one writer while the host reads the
// others.
#include <algorithm>
#include <cstring>

#include "base/threads.h"
#include "bundle/identity.h"
#include "driver/cursor.h"
#include "paste/paste.h"
#include "session/clock.h"
#include "session/utt.h"

using namespace le::session;

bool le_utt::enqueue(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs) {
  return enqueueRaw(crop, kind, si, uttFrame, kp, chargedMs);
}

bool le_utt::enqueueRaw(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs) {
  if (opts_.pipelinePaste) {
    const double t0 = nowMs();
    const bool queued = enqueuePipe(crop, kind, si, uttFrame, kp, chargedMs ? *chargedMs : 0);
    if (chargedMs) *chargedMs += nowMs() - t0;
    return queued;
  }
  double elapsed = 0;
  const bool queued = pasteInto(crop, kind, si, uttFrame, kp, seenGen_, uttFirstPushMs_, &elapsed, -1);
  if (chargedMs) *chargedMs += elapsed;
  return queued;
}

bool le_utt::enqueuePipe(const float* crop, int kind, int si, int uttFrame, const float* kp, double chargedMs) {
  PasteJob job;
  if (crop) job.crop.assign(crop, crop + cropFloats_);
  job.kind = kind;
  job.si = si;
  job.uttFrame = uttFrame;
  if (kp) std::copy_n(kp, le::kKpFloats, job.kp.begin());
  job.chargedMs = chargedMs;
  job.uttFirstPushMs = uttFirstPushMs_;
  job.generation = seenGen_;
  {
    std::unique_lock<std::mutex> lock(mu_);
    while (pasteQ_.size() >= kPasteJobs) {
      if (stale(job.generation)) return false;
      mainCv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
    }
    if (stale(job.generation)) return false;
    job.queuedMs = nowMs();
    pasteQ_.push_back(std::move(job));
  }
  pasteCv_.notify_all();
  return true;
}

bool le_utt::pasteInto(const float* crop, int kind, int si, int uttFrame, const float* kp, uint64_t gen,
                       double uttFirstPushMs, double* elapsedMs, double queuedMs) {
  Slot* slot = nullptr;
  {
    std::unique_lock<std::mutex> lock(mu_);
    while (ringCount() >= kRingSlots) {
      if (stale(gen)) return false;
      mainCv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
    }
    if (stale(gen)) return false;
    slot = &ring_[tail_ % kRingSlots];
  }
  const double t0 = nowMs();
  ctx_.cursor.pullAt(si, slot->rgb.data());
  if (crop)
    ctx_.paste.composite(crop, 255.0f, ctx_.identity.M(si), slot->rgb.data(), ctx_.manifest.W, ctx_.manifest.H);
  else
    ctx_.identity.walkP(si);
  const double took = nowMs() - t0;
  *elapsedMs += took;
  slot->info.kind = kind;
  slot->info.si = si;
  slot->info.uttFrame = uttFrame;
  if (kp)
    std::copy_n(kp, le::kKpFloats, slot->kp.begin());
  else
    slot->kp.fill(0.0f);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stale(gen)) return false;
    slot->info.seq = nextSeq_++;
    ++tail_;
    const double now = nowMs();
    if (kind == kSpeechFrame && uttFrame == 0) {
      ++stats_.onsets;
      stats_.lastOnsetMs = uttFirstPushMs >= 0 ? now - uttFirstPushMs : 0;
    }
    if (queuedMs >= 0) {
      stageCMs_ += took;
      if (kind == kSpeechFrame) deliverLatMs_ += now - queuedMs;
    }
  }
  return true;
}

void le_utt::pasteLoop() {
  le::threads::Registration census("utt paste", "le_utt", 1, "composes queued crops into ring frames");
  for (;;) {
    PasteJob job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      while (pasteQ_.empty() && !pasteStop_ && !stop_) pasteCv_.wait_for(lock, std::chrono::milliseconds(kWaitMs));
      if (pasteStop_ || stop_) return;
      job = std::move(pasteQ_.front());
      pasteQ_.pop_front();
      pasteBusy_ = true;
      ++jobsC_;
    }
    mainCv_.notify_all();  // a producer may wait for queue space
    double elapsed = 0;
    pasteInto(job.crop.empty() ? nullptr : job.crop.data(), job.kind, job.si, job.uttFrame, job.kp.data(),
              job.generation, job.uttFirstPushMs, &elapsed, job.queuedMs);
    {
      std::lock_guard<std::mutex> lock(mu_);
      pasteBusy_ = false;
    }
    mainCv_.notify_all();
  }
}
