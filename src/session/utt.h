// The utterance session behind le_utt: a main loop that decides frame by
// frame between idle, speech and ramp frames and renders the crops; a
// warm-up thread that loads the motion back-end and the steady chunk
// renderer; a dispatch thread that runs the back-end so motion decoding
// overlaps rendering; and, with pipeline paste, a paste thread. Finished
// frames wait in an 8-slot ring the host drains.
//
// Ownership, by part:
//   - the host's inbox, the warm-up's results, the frame ring, the paste
//     queue and the accounts belong to the session mutex;
//   - the dispatch request and answer to the dispatch channel's mutex,
//     never held together with the session mutex;
//   - the speech state and the motion rows to the main thread alone;
//   - each thread that composes frames or takes them out owns a frame (or a
//     paste job) of its own that it fills outside every lock and swaps in;
//   - the teeth pass, its held frame and its scratch to the one thread that
//     runs the teeth stage: the teeth thread with pipeline paste, else the
//     main thread.
// Nothing holds a lock while rendering, pasting or running a model, and
// every wait is a 2 ms timed wait that rechecks stop and the interrupt
// generation. No exception leaves a session thread: failures are counted,
// described in the render status and logged.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/motion_backend.h"
#include "base/mutex.h"
#include "base/swap_queue.h"
#include "base/thread_annotations.h"
#include "session/dispatch.h"
#include "session/types.h"
#include "tessera/stream_borrow.h"

namespace le {
struct Manifest;
struct Drive;
class Identity;
class Renderer;
class Paste;
class DriverCursor;
}  // namespace le

namespace le::session {

// What a session borrows from its context. The context outlives the session.
struct Borrowed {
  const Manifest& manifest;
  const Identity& identity;
  const Drive& drive;
  Renderer& renderer;  // built before the session starts
  Paste& paste;
  DriverCursor& cursor;
  int threads;          // the context's thread count
  int rendererThreads;  // what its director was built with; the chunk renderer gets the same
  std::string ep;       // the context's execution-provider choice
};

// Refuses a motion directory whose idle-frame table does not have the
// avatar's frame count: its row indices would name frames the avatar lacks.
void checkMotionFits(const std::string& motionDir, bool streaming, int avatarFrames, const std::string& avatarDir);

}  // namespace le::session

struct le_utt {
  using Options = le::session::Options;

  // Starts the threads; throws when the options or the motion directory are
  // refused.
  le_utt(const le::session::Borrowed& ctx, Options opts);
  ~le_utt();
  le_utt(const le_utt&) = delete;
  le_utt& operator=(const le_utt&) = delete;

  // --- Host calls (any thread) ---
  int ready(std::string* fatal);  // 1, 0, or -1 with the fatal message
  void pushAudio(const int16_t* samples, int count);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  // 1 copied, 0 empty, -1 capacity too small (the frame stays).
  int pullFrame(uint8_t* dst, size_t capacity, le::session::FrameInfo* info);
  le::session::Stats stats();
  int renderStatus(std::string* text, uint64_t* failures);
  size_t frameBytes() const { return frameBytes_; }
  // The teeth pass's report: 0 when none is attached, -1 when one is and
  // has failed, else 1.
  int teethReport(le::session::TeethReport* report);
  // Arms the teeth pass; throws the refusal (without the C call's name).
  void attachTeeth(le::tessera::BankData bank, const le::tessera::HeadWeights& head,
                   const le::tessera::ServeConfig& config, const std::string& manifestJson);

  // A failure of any stage, from any thread: counted, kept as the render
  // status, logged when its text is new; `fatal` also fails the render
  // status for good.
  void noteFailure(const char* stage, const std::string& text, bool fatal);

  // The generation the main loop has adopted, for latency measurements.
  uint64_t adoptedGeneration() const { return adoptedGeneration_.load(); }
  uint64_t generation() const { return generation_.load(); }
  const Options& options() const { return opts_; }
  bool hasSourceTable() const { return !xsTable_.empty(); }

 private:
  using Frame = le::session::Frame;
  using PasteJob = le::session::PasteJob;
  using Keypoints = le::session::Keypoints;

  // --- Host side, under the session mutex ---
  struct Inbox {
    std::vector<float> audio;  // pushed and not yet taken by the main loop
    bool endMark = false;
    double lastPushMs = -1;
    double firstPushMs = -1;  // of the utterance being measured
  };
  struct Warmed {
    std::unique_ptr<le::audio::MotionBackend> motion;
    std::unique_ptr<le::Renderer> chunk;
    bool ready = false;
    bool fatal = false;
    std::string fatalMsg;
  };
  struct LastPulled {
    int kind = -1, si = 0;
    Keypoints kp{};
  };
  struct Accounts {
    le::session::Stats stats;
    bool emaSet = false;
    uint64_t failures = 0;
    std::string failureText;
    std::string loggedText;  // the last failure text logged
    bool failed = false;     // fatal: the render status stays -1
    long long jobsC = 0;
    double stageCMs = 0, deliverLatMs = 0;
    long long speechRendered = 0;
    double renderMsSum = 0, enqueueWaitMsSum = 0;
  };
  // The teeth stage's shared side.
  struct Teeth {
    bool attaching = false, armed = false;
    bool ownThread = false;
    bool stop = false, busy = false;
    bool failed = false;
    std::string failure;
    uint64_t served = 0, emptyPi = 0, outOfRange = 0;
    double weightSum = 0, weightLast = 0;
    std::string geometry;
    long long jobs = 0;  // jobs B
    double stageMs = 0;  // stage B
  };

  // --- Main thread only ---
  // Motion rows pulled from the back-end and not yet rendered.
  struct Rows {
    std::vector<int> idx;
    std::vector<float> xs, xd;
    int capacity = 0;
    int produced = 0, consumed = 0;
    int waiting() const { return produced - consumed; }
  };
  struct Speech {
    le::audio::MotionBackend* motion = nullptr;  // the loop's view of the warm-up's results
    le::Renderer* chunk = nullptr;
    bool inSpeech = false, ended = false, finishSent = false, outstanding = false, resetPending = false;
    bool renderedThisUtt = false;
    int frameNo = 0;
    uint64_t seenGen = 0;
    int idleIdx = 0, lastSpeechIdx = 0;
    Keypoints lastXd{};
    int rampLeft = 0, rampLen = 0;
    Keypoints rampDelta{};
    int direction = 1;
    int hybridEager = 3;
    int lastEagerSent = 0;
    int motionAvail = 0, motionTotal = -1, collected = 0;
    // The last answer brought no row and left none ready: the back-end has
    // nothing to give until it hears more, so asking again is a wasted hand-off.
    bool starved = false;
    double uttFirstPushMs = -1;
    unsigned state = le::session::kIdle;  // the main thread's copy of stats.state
  };
  // What one pass of the main loop read under the session mutex.
  struct Snapshot {
    bool endFlag = false;
    int ring = 0;
    double lastPush = -1, firstPush = -1;
    uint64_t generation = 0;
    bool serving = true;
  };

  // --- Threads ---
  void run();
  void warm();
  void pasteLoop();
  void tessLoop();

  // --- Main loop steps (main thread) ---
  bool iterate();
  bool snapshot(Snapshot& s);
  void takeAudio(const Snapshot& s);
  bool collectAnswer();
  bool dispatchStep(int ring);
  bool rampStep();
  bool speechStep();
  bool endOfSpeechStep();
  bool idleStep();
  void waitForNews();
  void postRequest(int eager);
  int nextEager(int ring);
  void startUtterance(double firstPushMs);
  void leaveSpeech();
  void adoptGeneration(uint64_t gen);
  void beginRamp(int si, const float* kp, int frames);
  void renderSpeech(int n);
  void produceRamp();
  bool drained() const;
  bool chunkPending() const;
  void setState(unsigned s);
  // Stops (on) or re-arms the renders of both renderers; mu_ held.
  void cancelRenders(bool on) LE_REQUIRES(mu_);

  // --- Composing frames ---
  // Routes a finished crop (null for idle) towards the ring; false when it
  // was dropped because of stop, a newer generation or a failed compose.
  bool enqueue(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs);
  bool enqueuePipe(const float* crop, int kind, int si, int uttFrame, const float* kp, double chargedMs);
  void fillJob(PasteJob& job, const float* crop, int kind, int si, int uttFrame, const float* kp, double chargedMs);
  // Queues a job for the paste thread (teeth: for the teeth thread), waiting
  // for room; false on stop or a newer generation.
  bool pushJob(bool teeth, PasteJob& job);
  // Hands a job past the teeth stage: to the paste queue, or composed here.
  bool enqueueRaw(PasteJob& job);
  // Composes into `frame` (owned by the calling thread) and publishes it
  // when the generation is still current.
  bool composeAndPublish(Frame& frame, const float* crop, int kind, int si, int uttFrame, const float* kp,
                         uint64_t gen, double uttFirstPushMs, double* elapsedMs, double queuedMs);
  // True when work for generation `gen` must be dropped: shutdown, an
  // interrupt, or a session that can no longer make frames.
  bool stale(uint64_t gen) const { return stop_.load() || generation_.load() != gen || !serving_.load(); }
  // A compose failed: the driver can give no more frames, so the session
  // stops making them (the ring still drains) and says why.
  void stopServing(const char* stage, const std::string& text);
  bool nothingQueued() LE_EXCLUDES(mu_);

  // --- The teeth stage (on the thread that runs it) ---
  // True when crops (and, on the teeth thread, idle frames) go through the pass.
  bool teethRoutes(bool crop) const { return teethArmed_.load() && !teethFailed_.load() && (crop || teethThread_); }
  bool teethInline() const { return teethArmed_.load() && !teethFailed_.load() && !teethThread_; }
  bool enqueueTess(PasteJob& job) { return pushJob(true, job); }
  // Pushes the job's crop through the pass and hands on the frame it emits.
  bool tessStage(PasteJob& job);
  // Flushes the pass and hands on the held frame; false when the pass failed.
  bool tessDrain();
  // Forgets the held frame (an interrupt made it stale).
  void tessDropHeld();
  void tessFail(const std::string& text);
  void noteTeeth(const le::tessera::FrameResult* result, double ms) LE_EXCLUDES(mu_);
  void printStageReport() LE_EXCLUDES(mu_);

  const le::session::Borrowed ctx_;
  const Options opts_;
  const int nt_;
  const size_t frameBytes_;
  const size_t cropFloats_;
  const std::vector<float> xsTable_;  // nt x 63, or empty

  le::Mutex pullMu_ LE_ACQUIRED_BEFORE(mu_);
  Frame pulled_ LE_GUARDED_BY(pullMu_);  // the host's side of the ring's swaps

  le::Mutex mu_;
  std::condition_variable mainCv_;
  std::condition_variable pasteCv_;
  Inbox inbox_ LE_GUARDED_BY(mu_);
  Warmed warmed_ LE_GUARDED_BY(mu_);
  le::SwapQueue<Frame, le::session::kRingSlots> ring_ LE_GUARDED_BY(mu_);
  uint64_t nextSeq_ LE_GUARDED_BY(mu_) = 0;
  LastPulled lastPulled_ LE_GUARDED_BY(mu_);
  le::SwapQueue<PasteJob, le::session::kPasteJobs> pasteQ_ LE_GUARDED_BY(mu_);
  bool pasteBusy_ LE_GUARDED_BY(mu_) = false;
  bool pasteStop_ LE_GUARDED_BY(mu_) = false;
  Accounts acct_ LE_GUARDED_BY(mu_);
  std::condition_variable tessCv_;
  Teeth teeth_ LE_GUARDED_BY(mu_);
  std::unique_ptr<le::SwapQueue<PasteJob, le::session::kTeethJobs>> teethQ_ LE_GUARDED_BY(mu_);
  // Written once by the attach before it sets teethArmed_.
  std::unique_ptr<le::tessera::StreamBorrow> borrow_;
  bool teethThread_ = false;
  std::atomic<bool> teethArmed_{false}, teethFailed_{false};
  std::atomic<uint64_t> generation_{0};  // written under mu_, read anywhere
  std::atomic<bool> stop_{false};        // written under mu_, read anywhere
  std::atomic<bool> serving_{true};
  std::atomic<uint64_t> adoptedGeneration_{0};

  // Main thread only.
  Speech sp_;
  Rows rows_;
  std::vector<float> taken_;    // audio swapped out of the inbox
  le::session::DispatchRequest request_;
  le::session::DispatchAnswer answer_;
  Frame mainFrame_;             // composed here without pipeline paste
  PasteJob mainJob_;            // filled here, swapped into the paste queue

  // The teeth stage's thread only.
  PasteJob tessJob_, tessHeld_;
  bool holding_ = false;
  le::tessera::FrameResult tessResult_;

  // Paste thread only.
  Frame pasteFrame_;
  PasteJob pasteJob_;

  le::session::DispatchChannel dispatch_;
  std::thread mainThread_, warmThread_, pasteThread_, tessThread_;
};
