// The teeth stage: a stream borrow between the renders and the paste. The
// pass runs a frame behind, so the stage holds one job (crop and all) and
// hands it on when the next crop, a drain or an idle frame pushes it out.
// It runs inline on the main thread, or on a teeth thread of its own when
// the paste has its own thread too. A pass that fails is bypassed for good.
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "base/log.h"
#include "base/threads.h"
#include "bundle/manifest.h"
#include "session/clock.h"
#include "session/utt.h"
#include "tessera/unified_pi.h"

using namespace le::session;
using le::tessera::FrameResult;
using le::tessera::StreamBorrow;

void le_utt::attachTeeth(le::tessera::BankData bank, const le::tessera::HeadWeights& head,
                         const le::tessera::ServeConfig& config, const std::string& manifestJson) {
  {
    le::MutexLock lock(mu_);
    if (teeth_.armed || teeth_.attaching) throw std::runtime_error("a teeth pass is already armed on this session");
    teeth_.attaching = true;
  }
  struct Release {  // a refused attach leaves the session as it was
    le_utt* u;
    bool done = false;
    ~Release() {
      if (done) return;
      le::MutexLock lock(u->mu_);
      u->teeth_.attaching = false;
    }
  } release{this};
  const int crop = ctx_.manifest.crop;
  if (bank.stamp.canvasW != crop || bank.stamp.canvasH != crop)
    throw std::runtime_error("bank canvas " + std::to_string(bank.stamp.canvasW) + "x" +
                             std::to_string(bank.stamp.canvasH) + " != this bundle's render crop");
  if (xsTable_.empty())
    throw std::runtime_error(
        "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified — "
        "refusing to arm the borrow against the manifest's compose-field geometry");
  const double canon[2] = {bank.refX, bank.refY};
  std::string corpus;
  const le::tessera::UnifiedPi pi =
      le::tessera::UnifiedPi::corpusFromManifestJson(manifestJson, crop, xsTable_.data(), nt_, canon, &corpus);
  const le::tessera::GeometryStamp stamp = bank.stamp;
  const int donors = bank.n;
  auto borrow = std::make_unique<StreamBorrow>(std::move(bank), head, config, pi, ctx_.manifest.lipTemplate);
  char geometry[256];
  std::snprintf(geometry, sizeof geometry, "%s; %s; window %dx%d at (%d, %d) of a %d crop; %d donors",
                borrow->deliveryMask().c_str(), corpus.c_str(), stamp.windowW, stamp.windowH, stamp.windowX,
                stamp.windowY, crop, donors);

  // Nothing runs the stage yet: its buffers are filled here, then published.
  teethThread_ = opts_.pipelinePaste;
  tessJob_.crop.assign(cropFloats_, 0.0f);
  tessHeld_.crop.assign(cropFloats_, 0.0f);
  tessResult_.window.reserve(static_cast<size_t>(stamp.windowW) * stamp.windowH * 3);
  borrow_ = std::move(borrow);
  {
    le::MutexLock lock(mu_);
    if (teethThread_) {
      PasteJob blank;
      blank.crop.assign(cropFloats_, 0.0f);
      teethQ_ = std::make_unique<le::SwapQueue<PasteJob, kTeethJobs>>(blank);
    }
    teeth_.ownThread = teethThread_;
    teeth_.geometry = geometry;
    teeth_.armed = true;
    teeth_.attaching = false;
    release.done = true;
  }
  if (teethThread_) tessThread_ = std::thread(&le_utt::tessLoop, this);
  teethArmed_ = true;
}

bool le_utt::tessStage(PasteJob& job) {
  const double t0 = nowMs();
  if (holding_ && tessHeld_.generation != job.generation) tessDropHeld();
  if (!job.hasCrop) {
    // An idle frame: whatever the pass holds goes out first.
    const bool drained = tessDrain();
    return drained && enqueueRaw(job);
  }
  FrameResult& r = tessResult_;
  bool emitted = false;
  try {
    emitted = borrow_->push(job.crop.data(), job.kp.data(), &r);
    if (emitted != holding_)
      throw std::runtime_error(emitted ? "push: the pass emitted a frame while none was held"
                                       : "push: the pass emitted nothing while a frame was held");
    if (emitted) StreamBorrow::writeWindowDelta(tessHeld_.crop.data(), ctx_.manifest.crop, r, borrow_->pass().stamp());
  } catch (const std::exception& e) {
    tessFail(*e.what() ? e.what() : "unknown failure");
    return enqueueRaw(job);
  }
  noteTeeth(emitted ? &r : nullptr, nowMs() - t0);
  std::swap(job, tessHeld_);  // job: the frame the pass let go of
  holding_ = true;
  return !emitted || enqueueRaw(job);
}

bool le_utt::tessDrain() {
  if (!holding_) return true;
  const double t0 = nowMs();
  holding_ = false;
  FrameResult& r = tessResult_;
  try {
    if (!borrow_->flush(&r))
      throw std::runtime_error(
          "flush: the pass held no pending frame while a crop was held — refusing to deliver it uncomposed");
    StreamBorrow::writeWindowDelta(tessHeld_.crop.data(), ctx_.manifest.crop, r, borrow_->pass().stamp());
  } catch (const std::exception& e) {
    tessFail(*e.what() ? e.what() : "unknown failure");
    return false;
  }
  noteTeeth(&r, nowMs() - t0);
  enqueueRaw(tessHeld_);
  return true;
}

void le_utt::tessDropHeld() {
  if (!holding_) return;
  holding_ = false;
  try {
    borrow_->flush(&tessResult_);
  } catch (const std::exception& e) {
    tessFail(*e.what() ? e.what() : "unknown failure");
  }
}

void le_utt::tessFail(const std::string& text) {
  holding_ = false;
  {
    le::MutexLock lock(mu_);
    teeth_.failed = true;
    teeth_.failure = text;
  }
  teethFailed_ = true;
  le::log::warn("[le_utt] teeth pass failed, serving without it from here: %s\n", text.c_str());
}

void le_utt::noteTeeth(const FrameResult* r, double ms) {
  le::MutexLock lock(mu_);
  ++teeth_.jobs;
  teeth_.stageMs += ms;
  if (!r) return;
  if (!r->skipped) {
    ++teeth_.served;
    teeth_.weightSum += r->weightMean;
    teeth_.weightLast = r->weightMean;
  } else if (std::string(r->reason) == "empty-pi") {
    ++teeth_.emptyPi;
  } else {
    ++teeth_.outOfRange;
  }
}

void le_utt::tessLoop() {
  le::threads::Registration census("utt teeth", "le_utt", 1, "runs the teeth pass between render and paste");
  for (;;) {
    bool failed = false;
    {
      le::MutexLock lock(mu_);
      while (teethQ_->empty() && !teeth_.stop && !stop_) lock.waitFor(tessCv_, std::chrono::milliseconds(kWaitMs));
      if (teeth_.stop || stop_) break;
      (void)teethQ_->pop(tessJob_);
      teeth_.busy = true;
      failed = teeth_.failed;
    }
    mainCv_.notify_all();  // the main loop may wait for queue space
    try {
      if (failed)
        enqueueRaw(tessJob_);
      else
        tessStage(tessJob_);
    } catch (const std::exception& e) {
      tessFail(*e.what() ? e.what() : "unknown failure");
    } catch (...) {
      tessFail("unknown failure");
    }
    {
      le::MutexLock lock(mu_);
      teeth_.busy = false;
    }
    mainCv_.notify_all();
  }
  if (!teethFailed_) tessDrain();  // at shutdown nothing takes the frame, but the pass ends clean
}

int le_utt::teethReport(TeethReport* report) {
  *report = {};
  le::MutexLock lock(mu_);
  if (!teeth_.armed) return 0;
  const Teeth& t = teeth_;
  report->counterA = t.served;
  report->counterB = t.emptyPi + t.outOfRange;
  if (t.failed) {
    report->text = t.failure;
  } else {
    char text[160];
    std::snprintf(text, sizeof text, "%llu frames with teeth, %llu skipped (empty-pi %llu, shift-out-of-range %llu)",
                  static_cast<unsigned long long>(t.served), static_cast<unsigned long long>(report->counterB),
                  static_cast<unsigned long long>(t.emptyPi), static_cast<unsigned long long>(t.outOfRange));
    report->text = text;
  }
  report->synthWeightSum = t.weightSum;
  report->synthWeightLast = t.weightLast;
  report->synthCount = t.served;
  report->geometry = t.geometry;
  return t.failed ? -1 : 1;
}
