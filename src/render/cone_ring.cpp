#include "render/cone_ring.h"

#include <exception>
#include <stdexcept>

namespace le {

ConeRing::ConeRing(int frames, Fill fill, const std::string& owner)
    : frames_(frames),
      fill_(std::move(fill)),
      census_("cone prefetch", owner, 1, "the hoisted source cone, one source frame ahead"),
      thread_([this] { serve(); }) {}

ConeRing::~ConeRing() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

int ConeRing::holding(int frame) const {
  for (int k = 0; k < kSlots; ++k)
    if (slotFrame_[k] == frame) return k;
  return -1;
}

int ConeRing::victim(int keep) const {
  for (int k = 0; k < kSlots; ++k)
    if (k != inUse_ && slotFrame_[k] != keep) return k;
  return -1;
}

void ConeRing::runFill(int frame, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string failure;
  try {
    fill_(frame, slot);
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "unknown error";
  }
  lock.lock();
  if (failure.empty())
    slotFrame_[slot] = frame;
  else if (error_.empty())
    error_ = failure;  // the first failure is the one reported
}

int ConeRing::acquire(int si) {
  std::unique_lock<std::mutex> lock(mutex_);
  inUse_ = -1;
  while (error_.empty()) {
    if (const int k = holding(si); k >= 0) {
      inUse_ = k;
      return k;
    }
    if (requestFrame_ < 0) {
      const int k = victim(si);
      if (k < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      slotFrame_[k] = -1;
      ++synchronous_;
      runFill(si, k, lock);
      continue;
    }
    cv_.wait(lock);  // a prefetch is in flight; it may be the frame wanted
  }
  throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + error_);
}

void ConeRing::prefetch(int si) {
  // A driver plays source frames forwards and backwards (ping-pong), or in
  // a loop once a wrap from the last frame to frame 0 has been seen.
  const int prev = last_;
  last_ = si;
  if (frames_ < 2) return;  // the one frame is already in the ring
  const int d = si - prev;
  if (prev >= 0 && (d == 1 || d == -1)) step_ = d;
  if (prev == frames_ - 1 && si == 0) loop_ = true;
  int next = si + step_;
  if (loop_)
    next = ((next % frames_) + frames_) % frames_;
  else if (next >= frames_)
    next = frames_ - 2;
  else if (next < 0)
    next = 1;

  std::lock_guard<std::mutex> lock(mutex_);
  if (requestFrame_ >= 0 || !error_.empty() || holding(next) >= 0) return;
  const int k = victim(next);
  if (k < 0) return;
  slotFrame_[k] = -1;
  requestFrame_ = next;
  requestSlot_ = k;
  cv_.notify_one();
}

void ConeRing::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    while (requestFrame_ >= 0) {
      runFill(requestFrame_, requestSlot_, lock);
      requestFrame_ = requestSlot_ = -1;
      ++prefetched_;
      cv_.notify_all();
      if (stop_) return;
    }
    cv_.wait(lock);
  }
}

void ConeRing::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return requestFrame_ < 0; });
}

long ConeRing::prefetched() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prefetched_;
}

long ConeRing::synchronous() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return synchronous_;
}

}  // namespace le
