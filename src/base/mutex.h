// A mutex the thread-safety analysis knows, and the one way to hold it: a
// scoped lock whose waits on a condition variable are always timed, so that
// a waiter rechecks stop and news at least every slice.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace le {

class LE_CAPABILITY("mutex") Mutex {
 public:
  void lock() LE_ACQUIRE() { m_.lock(); }
  void unlock() LE_RELEASE() { m_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex m_;
};

class LE_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) LE_ACQUIRE(m) : lock_(m.m_) {}
  ~MutexLock() LE_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For work done outside the lock in the middle of a locked stretch.
  void unlock() LE_RELEASE() { lock_.unlock(); }
  void lock() LE_ACQUIRE() { lock_.lock(); }

  // Waits on cv for at most `slice`; the mutex is held again on return.
  template <class Rep, class Period>
  void waitFor(std::condition_variable& cv, std::chrono::duration<Rep, Period> slice) {
    cv.wait_for(lock_, slice);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace le
