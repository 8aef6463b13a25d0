// The session's construction, shutdown, host calls and accounting.
#include "session/utt.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/log.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "render/renderer.h"
#include "session/clock.h"

namespace le::session {
namespace {

// "xs_target.bin" of the motion directory, kept only at exactly nt rows.
std::vector<float> readSourceTable(const std::string& motionDir, int nt) {
  std::string bytes;
  const std::string path = resolveMember(resolveBundlePath(motionDir), "xs_target.bin");
  if (readWhole(path, bytes) != ReadStatus::kOk) return {};
  const size_t want = static_cast<size_t>(nt) * kKpFloats;
  if (nt < 1 || bytes.size() != want * sizeof(float)) return {};
  std::vector<float> table(want);
  std::memcpy(table.data(), bytes.data(), bytes.size());
  return table;
}

Frame blankFrame(size_t bytes) {
  Frame f;
  f.rgb.assign(bytes, 0);
  return f;
}

PasteJob blankJob(size_t cropFloats) {
  PasteJob j;
  j.crop.assign(cropFloats, 0.0f);
  return j;
}

}  // namespace

void checkMotionFits(const std::string& motionDir, bool streaming, int avatarFrames, const std::string& avatarDir) {
  const int frames = audio::motionFrameCount(motionDir, streaming);
  if (frames >= 0 && frames != avatarFrames)
    throw std::runtime_error("the motion bundle " + motionDir + " walks " + std::to_string(frames) +
                             " identity frames but the avatar " + avatarDir + " has " + std::to_string(avatarFrames) +
                             ": they were not made for each other");
}

}  // namespace le::session

using namespace le::session;

le_utt::le_utt(const Borrowed& ctx, Options opts)
    : ctx_(ctx),
      opts_(std::move(opts)),
      nt_(ctx.manifest.NT),
      frameBytes_(static_cast<size_t>(ctx.manifest.W) * ctx.manifest.H * 3),
      cropFloats_(static_cast<size_t>(ctx.manifest.crop) * ctx.manifest.crop * 3),
      xsTable_(readSourceTable(opts_.motionDir, ctx.manifest.NT)),
      pulled_(blankFrame(frameBytes_)),
      ring_(blankFrame(frameBytes_)),
      pasteQ_(blankJob(opts_.pipelinePaste ? cropFloats_ : 0)),
      mainFrame_(blankFrame(opts_.pipelinePaste ? 0 : frameBytes_)),
      mainJob_(blankJob(opts_.pipelinePaste ? cropFloats_ : 0)),
      pasteFrame_(blankFrame(opts_.pipelinePaste ? frameBytes_ : 0)),
      pasteJob_(blankJob(opts_.pipelinePaste ? cropFloats_ : 0)),
      dispatch_(kRowCapacity, [this] { mainCv_.notify_all(); }) {
  rows_.capacity = kRowCapacity;
  rows_.idx.resize(kRowCapacity);
  rows_.xs.resize(kRowCapacity * le::kKpFloats);
  rows_.xd.resize(kRowCapacity * le::kKpFloats);
  dispatch_.setCapacity(kRowCapacity, answer_);
  sp_.lastEagerSent = opts_.hybrid ? 3 : opts_.eager;
  mainThread_ = std::thread(&le_utt::run, this);
  warmThread_ = std::thread(&le_utt::warm, this);
  if (opts_.pipelinePaste) pasteThread_ = std::thread(&le_utt::pasteLoop, this);
}

le_utt::~le_utt() {
  {
    le::MutexLock lock(mu_);
    stop_ = true;
    cancelRenders(true);
  }
  mainCv_.notify_all();
  {
    le::MutexLock lock(mu_);
    pasteStop_ = true;
    teeth_.stop = true;
  }
  pasteCv_.notify_all();
  tessCv_.notify_all();
  for (std::thread* t : {&tessThread_, &pasteThread_, &mainThread_, &warmThread_})
    if (t->joinable()) t->join();
  ctx_.renderer.cancel(false);  // the context outlives the session and renders again
  dispatch_.stop();
  std::unique_ptr<le::Renderer> chunk;
  {
    le::MutexLock lock(mu_);
    warmed_.motion.reset();
    chunk = std::move(warmed_.chunk);
  }
  if (opts_.stageReport) printStageReport();
}

int le_utt::ready(std::string* fatal) {
  le::MutexLock lock(mu_);
  if (warmed_.fatal) {
    *fatal = warmed_.fatalMsg;
    return -1;
  }
  return warmed_.ready ? 1 : 0;
}

void le_utt::pushAudio(const int16_t* samples, int count) {
  {
    le::MutexLock lock(mu_);
    for (int i = 0; i < count; ++i) inbox_.audio.push_back(static_cast<float>(samples[i]) * 3.0517578e-5f);
    inbox_.lastPushMs = nowMs();
    if (inbox_.firstPushMs < 0) inbox_.firstPushMs = inbox_.lastPushMs;
  }
  mainCv_.notify_all();
  pasteCv_.notify_all();
}

void le_utt::endUtterance() {
  {
    le::MutexLock lock(mu_);
    inbox_.endMark = true;
  }
  mainCv_.notify_all();
}

void le_utt::interrupt() {
  {
    le::MutexLock lock(mu_);
    inbox_.audio.clear();
    inbox_.endMark = false;
    inbox_.firstPushMs = -1;
    ring_.clear();
    pasteQ_.clear();
    if (teethQ_) teethQ_->clear();
    generation_ = generation_.load() + 1;
    cancelRenders(true);
  }
  mainCv_.notify_all();
  pasteCv_.notify_all();
}

int le_utt::framesAvailable() {
  le::MutexLock lock(mu_);
  return ring_.size();
}

int le_utt::pullFrame(uint8_t* dst, size_t capacity, FrameInfo* info) {
  le::MutexLock pull(pullMu_);
  {
    le::MutexLock lock(mu_);
    if (ring_.empty()) return 0;
    if (capacity < frameBytes_) return -1;
    // The frame leaves the ring by a swap; the copy happens outside the lock.
    (void)ring_.pop(pulled_);
    lastPulled_ = {pulled_.info.kind, pulled_.info.si, pulled_.kp};
    ++acct_.stats.framesDelivered;
    if (pulled_.info.kind == kSpeechFrame) ++acct_.stats.speechFramesDelivered;
  }
  mainCv_.notify_all();
  std::memcpy(dst, pulled_.rgb.data(), frameBytes_);
  if (info) *info = pulled_.info;
  return 1;
}

Stats le_utt::stats() {
  le::MutexLock lock(mu_);
  return acct_.stats;
}

int le_utt::renderStatus(std::string* text, uint64_t* failures) {
  le::MutexLock lock(mu_);
  *text = acct_.failureText;
  if (failures) *failures = acct_.failures;
  return acct_.failed ? -1 : 0;
}

void le_utt::cancelRenders(bool on) {
  // Before ready the warm-up thread owns the renderers; its renders finish.
  if (!warmed_.ready) return;
  ctx_.renderer.cancel(on);
  if (warmed_.chunk) warmed_.chunk->cancel(on);
}

void le_utt::noteFailure(const char* stage, const std::string& text, bool fatal) {
  bool fresh = false;
  std::string line;
  {
    le::MutexLock lock(mu_);
    ++acct_.failures;
    acct_.failureText = std::string("ep=") + ctx_.renderer.ep() + " " + stage + ": " + text;
    if (fatal) acct_.failed = true;
    // A failure that repeats frame after frame is counted, not logged again.
    fresh = acct_.failureText != acct_.loggedText;
    if (fresh) line = acct_.loggedText = acct_.failureText;
  }
  if (fresh) le::log::warn("[le_utt] %s\n", line.c_str());
}

void le_utt::setState(unsigned s) {
  sp_.state = s;
  le::MutexLock lock(mu_);
  acct_.stats.state = s;
}

void le_utt::printStageReport() {
  le::MutexLock lock(mu_);
  const int pipe = teethThread_ ? 1 : 0;
  const long long jobsB = teeth_.jobs;
  const long long delivered = static_cast<long long>(acct_.stats.speechFramesDelivered);
  if (acct_.jobsC == 0) {
    le::log::warn(
        "[le_utt-stage] MEASURED NOTHING — the stage report was asked for and the paste-job counter never "
        "advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). stageA/stageB/stageC and the "
        "deliver latency are NOT reported rather than reported as zero: on this path the paste does not run "
        "through the counted queue.\n",
        pipe, jobsB, delivered);
    return;
  }
  const auto per = [](double sum, long long n) { return n > 0 ? sum / static_cast<double>(n) : 0.0; };
  const double a = per(acct_.renderMsSum + acct_.enqueueWaitMsSum, acct_.speechRendered);
  const double wait = per(acct_.enqueueWaitMsSum, acct_.speechRendered);
  le::log::warn(
      "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f stageA_wait_ms=%.3f "
      "stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
      pipe, jobsB, acct_.jobsC, a, a - wait, wait, per(teeth_.stageMs, jobsB), per(acct_.stageCMs, acct_.jobsC),
      per(acct_.deliverLatMs, delivered), delivered);
}
