#include "session/offline_stream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "audio/frames.h"
#include "base/log.h"
#include "base/threads.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"

namespace le::session {
namespace {

using audio::kKp;

constexpr int kRingSlots = 4;
constexpr auto kWait = std::chrono::milliseconds(2);

// Crops rendered ahead of the paste, handed over in order through a fixed
// ring. The worker fills slot seq % 4 while fewer than four wait; the
// caller reads a slot until it releases it, so neither side copies under
// the lock.
class CropRing {
 public:
  explicit CropRing(size_t floats) : slots_(kRingSlots, std::vector<float>(floats)) {}

  // Worker: the slot for crop `seq` once there is room; null once stopped.
  float* slotFor(int seq) {
    std::unique_lock lock(mutex_);
    while (produced_ - consumed_ >= kRingSlots && !stop_) cv_.wait_for(lock, kWait);
    return stop_ ? nullptr : slots_[seq % kRingSlots].data();
  }
  void publish() {
    std::lock_guard lock(mutex_);
    ++produced_;
    cv_.notify_all();
  }
  void workerEnded() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }

  // Caller: crop `seq` once rendered; null when the worker ended without it.
  const float* crop(int seq) {
    std::unique_lock lock(mutex_);
    while (produced_ <= seq && !done_) cv_.wait_for(lock, kWait);
    return produced_ > seq ? slots_[seq % kRingSlots].data() : nullptr;
  }
  void release() {
    std::lock_guard lock(mutex_);
    ++consumed_;
    cv_.notify_all();
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::vector<float>> slots_;
  int produced_ = 0, consumed_ = 0;
  bool done_ = false, stop_ = false;
};

// Joins the worker on every way out of a run, stopping it first.
struct WorkerJoin {
  CropRing& ring;
  std::thread& thread;
  ~WorkerJoin() {
    ring.stop();
    if (thread.joinable()) thread.join();
  }
};

std::vector<float> readSourceKeypoints(const std::string& bundle, int nt) {
  std::string bytes;
  const std::string path = resolveMember(rstripSlash(resolveBundlePath(bundle)), "xs_target.bin");
  if (readWhole(path, bytes) != ReadStatus::kOk || bytes.size() != static_cast<size_t>(nt) * kKp * sizeof(float))
    throw StreamRefusal("le_stream_create: cannot read xs_target.bin (NT*63 f32)");
  std::vector<float> xs(static_cast<size_t>(nt) * kKp);
  std::memcpy(xs.data(), bytes.data(), bytes.size());
  return xs;
}

}  // namespace

OfflineStream::OfflineStream(const char* bundle, const char* w2vPath, int threads, int skip, float gain)
    : skip_(std::max(skip, 0)), gain_(gain) {
  ctx_.reset(le_create(bundle, "render", threads, ""));
  if (!ctx_) throw StreamRefusal(std::string("le_create: ") + le_last_error());
  bundle_ = bundle;
  nt_ = le_nt(ctx_.get());
  width_ = le_width(ctx_.get());
  height_ = le_height(ctx_.get());
  crop_ = le_crop(ctx_.get());
  const std::string model = resolveMember(rstripSlash(resolveBundlePath(bundle_)), "fca_stream.onnx");
  fca_.reset(le_fca_create(w2vPath, model.c_str(), threads));
  if (!fca_) throw StreamRefusal(std::string("le_fca_create: ") + le_fca_last_error());
  xs_ = readSourceKeypoints(bundle_, nt_);
}

OfflineStream::~OfflineStream() = default;

int OfflineStream::run(const float* audio, int n, const FrameSink& sink) {
  const int frames = audio::framesOf(std::max(n, 0));
  std::vector<float> deltas(static_cast<size_t>(frames) * kKp);
  const int got = le_fca_deltas(fca_.get(), audio, n, deltas.data(), frames);
  if (got < 0) throw StreamRefusal(std::string("le_fca_deltas: ") + le_fca_last_error());
  const int rows = got - skip_;
  if (rows <= 0) return 0;

  // Output row r: identity frame index[r] of the idle walk, driven by xs + gain * delta.
  std::vector<int> index(static_cast<size_t>(rows));
  std::vector<float> xd(static_cast<size_t>(rows) * kKp);
  for (int k = 0, i = 0; k < got; ++k, i = nt_ < 2 ? 0 : (i + 1) % nt_) {
    if (k < skip_) continue;
    const size_t r = static_cast<size_t>(k - skip_);
    index[r] = i;
    for (int c = 0; c < kKp; ++c)
      xd[r * kKp + c] = xs_[static_cast<size_t>(i) * kKp + c] + gain_ * deltas[static_cast<size_t>(k) * kKp + c];
  }
  const auto xsOf = [&](int r) { return &xs_[static_cast<size_t>(index[r]) * kKp]; };

  const size_t cropFloats = static_cast<size_t>(crop_) * crop_ * 3;
  CropRing ring(cropFloats);
  std::thread worker([&] {
    threads::Registration census("stream render", bundle_, 1, "renders the offline stream's crops ahead of the paste");
    bool failed = false;
    for (int r = 0; r < rows && !failed; ++r) {
      float* slot = ring.slotFor(r);
      if (!slot) break;
      const float* crop = le_render_kp_crop(ctx_.get(), index[r], xsOf(r), &xd[static_cast<size_t>(r) * kKp]);
      failed = !crop;
      if (failed) {
        log::warn("[le_stream] frame %d: %s\n", r, le_last_error());
      } else {
        std::memcpy(slot, crop, cropFloats * sizeof(float));
        ring.publish();
      }
    }
    ring.workerEnded();
  });
  WorkerJoin join{ring, worker};

  std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 3);
  int delivered = 0;
  for (int r = 0; r < rows; ++r) {
    const float* crop = ring.crop(r);
    if (!crop) break;
    const bool pasted = le_paste_crop(ctx_.get(), index[r], crop, frame.data(), frame.size()) == 1;
    if (!pasted) log::warn("[le_stream] frame %d: %s\n", r, le_last_error());
    ring.release();
    if (!pasted) break;
    if (sink) sink(r, frame.data());
    ++delivered;
  }
  if (delivered < rows) throw StreamRefusal("le_stream_run: render/paste failed");
  return delivered;
}

}  // namespace le::session
