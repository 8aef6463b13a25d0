#include "session/offline_stream.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "audio/frames.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/swap_queue.h"
#include "base/thread_annotations.h"
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

// Crops rendered ahead of the paste, handed over in order: each side fills
// or drains a buffer of its own outside the lock and swaps it through a
// queue of four.
class CropRing {
 public:
  explicit CropRing(size_t floats) : queue_(std::vector<float>(floats)) {}

  // Worker: queues `crop`, taking a free buffer in exchange, once fewer than
  // four wait; false once the caller stopped the ring.
  bool push(std::vector<float>& crop) {
    MutexLock lock(mutex_);
    while (queue_.full() && !stop_) lock.waitFor(cv_, kWait);
    if (stop_) return false;
    queue_.push(crop);
    cv_.notify_all();
    return true;
  }
  void workerEnded() {
    MutexLock lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }

  // Caller: the next crop into `crop`; false when the worker ended without one.
  bool pop(std::vector<float>& crop) {
    MutexLock lock(mutex_);
    while (queue_.empty() && !done_) lock.waitFor(cv_, kWait);
    if (!queue_.pop(crop)) return false;
    cv_.notify_all();
    return true;
  }
  void stop() {
    MutexLock lock(mutex_);
    stop_ = true;
    cv_.notify_all();
  }

 private:
  Mutex mutex_;
  std::condition_variable cv_;
  SwapQueue<std::vector<float>, kRingSlots> queue_ LE_GUARDED_BY(mutex_);
  bool done_ LE_GUARDED_BY(mutex_) = false;
  bool stop_ LE_GUARDED_BY(mutex_) = false;
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

std::vector<float> readSourceKeypoints(const std::string& dir, int nt) {
  std::string bytes;
  if (readWhole(resolveMember(dir, "xs_target.bin"), bytes) != ReadStatus::kOk ||
      bytes.size() != static_cast<size_t>(nt) * kKp * sizeof(float))
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
  const std::string dir = rstripSlash(resolveBundlePath(bundle_));  // the context unpacked a container already
  fca_.reset(le_fca_create(w2vPath, resolveMember(dir, "fca_stream.onnx").c_str(), threads));
  if (!fca_) throw StreamRefusal(std::string("le_fca_create: ") + le_fca_last_error());
  xs_ = readSourceKeypoints(dir, nt_);
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
    std::vector<float> mine(cropFloats);
    for (int r = 0; r < rows; ++r) {
      const float* crop = le_render_kp_crop(ctx_.get(), index[r], xsOf(r), &xd[static_cast<size_t>(r) * kKp]);
      if (!crop) {
        log::warn("[le_stream] frame %d: %s\n", r, le_last_error());
        break;
      }
      std::memcpy(mine.data(), crop, cropFloats * sizeof(float));
      if (!ring.push(mine)) break;
    }
    ring.workerEnded();
  });
  WorkerJoin join{ring, worker};

  std::vector<float> crop(cropFloats);
  std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 3);
  int delivered = 0;
  for (int r = 0; r < rows && ring.pop(crop); ++r) {
    if (le_paste_crop(ctx_.get(), index[r], crop.data(), frame.data(), frame.size()) != 1) {
      log::warn("[le_stream] frame %d: %s\n", r, le_last_error());
      break;
    }
    if (sink) sink(r, frame.data());
    ++delivered;
  }
  if (delivered < rows) throw StreamRefusal("le_stream_run: render/paste failed");
  return delivered;
}

}  // namespace le::session
