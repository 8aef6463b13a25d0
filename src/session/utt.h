// The utterance session behind le_utt: a main loop that decides frame by
// frame between idle, speech and ramp frames and renders the crops; a
// warm-up thread that loads the motion back-end and the steady chunk
// renderer; a dispatch thread that runs the back-end so motion decoding
// overlaps rendering; and, with pipeline paste, a paste thread. Finished
// frames wait in an 8-slot ring the host drains.
//
// Ownership: everything under "interface state" belongs to the session
// mutex; the dispatch record to the dispatch mutex (never held with the
// session mutex); the speech state to the main thread alone. Nothing holds
// a lock while rendering, pasting or running a model, and every wait is a
// 2 ms timed wait that rechecks stop and the interrupt generation.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/keypoints.h"
#include "audio/motion_backend.h"

namespace le {
struct Manifest;
struct Drive;
class Identity;
class Renderer;
class Paste;
class DriverCursor;
}  // namespace le

namespace le::session {

inline constexpr int kRingSlots = 8;
inline constexpr int kPasteJobs = 8;
inline constexpr int kRowCapacity = 32;  // motion rows the main loop keeps
inline constexpr int kWaitMs = 2;

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

// le_utt_opts after the defaults and the creation-time switches.
struct Options {
  std::string motionDir;
  int threads = 0;
  std::string motionEp;
  std::string steadyModel = "b24_fp32";  // "-": no chunk renderer
  int eager = -1;
  bool hybrid = false;
  double endSilenceMs = 600;  // negative: never
  int endRampFrames = 6;
  int interruptRampFrames = 4;
  bool pipelinePaste = false;
  int onsetIndex = -1;
  bool stageReport = false;
};

// Raw option values as the C header lays them out, before defaults.
struct RawOptions {
  const char* motionDir = nullptr;
  int threads = 0;
  const char* motionEp = nullptr;
  const char* steadyModel = nullptr;
  int eager = 0;
  double endSilenceS = 0;
  int endRampFrames = 0;
  int interruptRampFrames = 0;
};

// Defaults, then the environment switches; frameCount is the context's NT.
Options resolveOptions(const RawOptions& raw, bool streaming, int frameCount);

struct FrameInfo {
  uint64_t seq = 0;
  int kind = 0;  // 0 idle, 1 speech, 2 ramp
  int si = 0;
  int uttFrame = -1;
};

struct Stats {
  uint64_t framesDelivered = 0;
  uint64_t speechFramesDelivered = 0;
  uint64_t onsets = 0;
  double lastOnsetMs = 0;
  double renderMsEma = 0;
  unsigned state = 0;
};

enum State : unsigned { kIdle = 0, kOnset = 1, kSpeaking = 2, kRamp = 3 };
enum Kind : int { kIdleFrame = 0, kSpeechFrame = 1, kRampFrame = 2 };

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

  // Stage and failure accounting, any thread.
  void noteRenderFail(const char* stage, const std::string& text, bool fatal);

  // The generation the main loop has adopted, for latency measurements.
  uint64_t adoptedGeneration() const { return adoptedGeneration_.load(); }
  uint64_t generation() const { return generation_.load(); }
  const Options& options() const { return opts_; }
  bool hasSourceTable() const { return !xsTable_.empty(); }

 private:
  struct Slot {
    std::vector<uint8_t> rgb;
    le::session::FrameInfo info;
    std::array<float, le::kKpFloats> kp{};
  };
  struct PasteJob {
    std::vector<float> crop;  // empty for an idle frame
    int kind = 0, si = 0, uttFrame = -1;
    std::array<float, le::kKpFloats> kp{};
    double queuedMs = 0, chargedMs = 0;
    double uttFirstPushMs = -1;
    uint64_t generation = 0;
  };
  // The request and answer between the main loop and the dispatch thread.
  struct DispatchRecord {
    le::audio::MotionBackend* motion = nullptr;
    std::vector<float> samples;
    bool reset = false;
    int start = 0, direction = 1;
    bool finish = false;
    int eager = 0;  // 0: unchanged
    int max = 0;
    uint64_t generation = 0;
    // answer
    int pulled = 0, avail = 0, total = -1;
    bool failed = false;
    bool done = false;
    bool posted = false;
    bool stop = false;
    std::vector<int> idx;
    std::vector<float> xs, xd;
  };

  // --- Threads ---
  void run();
  void warm();
  void dispatchLoop();
  void pasteLoop();

  // --- Main loop steps (main thread) ---
  bool iterate();  // one pass; false when stopped
  bool collectJob();
  void postRequest(bool ended, int eager);
  void awaitAnswer();
  void startUtterance(double firstPushMs);
  void leaveSpeech();
  void adoptGeneration(uint64_t gen);
  // Stops (on) or re-arms the renders of both renderers; mu_ held.
  void cancelRenders(bool on);
  void beginRamp(int si, const float* kp, int frames);
  void renderSpeech(int n);
  void produceRamp();
  bool drained() const;
  bool nothingQueued();
  int rowsWaiting() const { return produced_ - consumed_; }
  void setState(unsigned s);

  // --- Composing frames ---
  // Routes a finished crop (null for idle) towards the ring; false when it
  // was dropped because of stop or a newer generation.
  bool enqueue(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs);
  bool enqueueRaw(const float* crop, int kind, int si, int uttFrame, const float* kp, double* chargedMs);
  bool enqueuePipe(const float* crop, int kind, int si, int uttFrame, const float* kp, double chargedMs);
  // Composes into the ring's next slot and publishes it; the caller's
  // generation must still be current.
  bool pasteInto(const float* crop, int kind, int si, int uttFrame, const float* kp, uint64_t gen,
                 double uttFirstPushMs, double* elapsedMs, double queuedMs);
  bool stale(uint64_t gen) const { return stop_.load() || generation_.load() != gen; }
  int ringCount() const { return static_cast<int>(tail_ - head_); }
  void printStageReport();

  const le::session::Borrowed ctx_;
  const Options opts_;
  const int nt_;
  const size_t frameBytes_;
  const size_t cropFloats_;
  std::vector<float> xsTable_;  // nt x 63, or empty

  // --- Interface state (session mutex) ---
  std::mutex mu_;
  std::condition_variable mainCv_;
  std::condition_variable pasteCv_;
  std::vector<float> pushed_;
  bool endMark_ = false;
  std::atomic<uint64_t> generation_{0};  // written under mu_
  std::atomic<bool> stop_{false};        // written under mu_
  bool pasteStop_ = false;
  double lastPushMs_ = -1;
  double firstPushMs_ = -1;
  std::unique_ptr<le::audio::MotionBackend> motion_;
  std::unique_ptr<le::Renderer> chunk_;
  bool ready_ = false;
  bool fatal_ = false;
  std::string fatalMsg_;
  std::array<Slot, le::session::kRingSlots> ring_;
  uint64_t head_ = 0, tail_ = 0, nextSeq_ = 0;
  int lastKind_ = -1, lastSi_ = 0;
  std::array<float, le::kKpFloats> lastKp_{};
  le::session::Stats stats_;
  bool emaSet_ = false;
  uint64_t renderFailures_ = 0;
  std::string renderText_;
  bool renderFailed_ = false;
  std::deque<PasteJob> pasteQ_;
  bool pasteBusy_ = false;
  // stage counters
  long long jobsC_ = 0;
  double stageCMs_ = 0, deliverLatMs_ = 0;
  long long speechRendered_ = 0;
  double renderMsSum_ = 0, enqueueWaitMsSum_ = 0;

  // --- Dispatch record (dispatch mutex) ---
  std::mutex dmu_;
  std::condition_variable dcv_;
  DispatchRecord rec_;

  // --- Speech state (main thread only) ---
  le::audio::MotionBackend* motionView_ = nullptr;  // the loop's view of motion_
  le::Renderer* chunkView_ = nullptr;
  bool inSpeech_ = false, ended_ = false, finishSent_ = false, outstanding_ = false, resetPending_ = false;
  bool speechRenderedThisUtt_ = false;
  int speechFrameNo_ = 0;
  uint64_t seenGen_ = 0;
  int idleIdx_ = 0, lastSpeechIdx_ = 0;
  std::array<float, le::kKpFloats> lastXd_{};
  int rampLeft_ = 0, rampLen_ = 0;
  std::array<float, le::kKpFloats> rampDelta_{};
  int direction_ = 1;
  int hybridEager_ = 3;
  int lastEagerSent_ = 0;
  std::vector<float> staging_;
  std::vector<int> rowIdx_;
  std::vector<float> rowXs_, rowXd_;
  int produced_ = 0, consumed_ = 0;
  int motionAvail_ = 0, motionTotal_ = -1, collected_ = 0;
  double uttFirstPushMs_ = -1;
  unsigned state_ = le::session::kIdle;  // mirror of stats_.state, main thread's copy
  std::atomic<uint64_t> adoptedGeneration_{0};

  std::thread mainThread_, warmThread_, dispatchThread_, pasteThread_;
};
