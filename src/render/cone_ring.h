// The two-slot ring of hoisted source-cone boundaries and the thread that
// fills it one source frame ahead of the renders.
//
// Thread ownership: acquire() and prefetch() are called by the one thread
// that renders; the ring's own thread only runs fill(). One mutex guards the
// slot frames, the pending request, the slot in use, the stop flag and the
// recorded error. fill() always runs with the mutex released, and never twice
// at once: the thread serves one request at a time, and acquire() fills
// synchronously only while no request is pending. That is what lets every
// fill share one staging buffer and one binding.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/threads.h"

namespace le {

class ConeRing {
 public:
  // Writes the boundary of source frame `frame` into slot `slot`; a throw
  // is recorded as the ring's permanent error.
  using Fill = std::function<void(int frame, int slot)>;

  static constexpr int kSlots = 2;

  // frames: the identity's frame count, for the prediction.
  ConeRing(int frames, Fill fill, const std::string& owner);
  ~ConeRing();  // stops and joins the thread
  ConeRing(const ConeRing&) = delete;
  ConeRing& operator=(const ConeRing&) = delete;

  // The slot holding frame `si`, filled on this thread when nothing is on
  // its way; that slot is safe from the prefetch until the next acquire.
  // Throws "Renderer: the hoisted source cone failed in ORT — ..." once any
  // fill has failed, now and at every later call.
  int acquire(int si);
  // Predicts the frame after `si` and asks the thread for it.
  void prefetch(int si);

  // For tests and benchmarks: waits until no request is pending, then the
  // counts of fills made by the thread and on the caller's thread.
  void drain();
  long prefetched() const;
  long synchronous() const;

 private:
  int holding(int frame) const;  // the slot holding `frame`, or -1
  int victim(int keep) const;    // first slot neither in use nor holding `keep`, or -1
  void runFill(int frame, int slot, std::unique_lock<std::mutex>& lock);
  void serve();

  const int frames_;
  const Fill fill_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int slotFrame_[kSlots] = {-1, -1};
  int requestFrame_ = -1, requestSlot_ = -1;
  int inUse_ = -1;
  bool stop_ = false;
  std::string error_;
  long prefetched_ = 0, synchronous_ = 0;
  // The prediction's state: only the rendering thread touches it.
  int last_ = -1, step_ = 1;
  bool loop_ = false;
  threads::Registration census_;
  std::thread thread_;
};

}  // namespace le
