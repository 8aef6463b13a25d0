// The dispatch thread and its channel: the main loop posts one request at a
// time (audio to push, a reset, finish, how many rows it can take), the
// dispatch thread runs the motion back-end outside every session lock and
// answers with the rows it pulled. Request and answer live under the
// channel's own mutex, which is never held together with the session mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "audio/motion_backend.h"
#include "base/mutex.h"

namespace le::session {

struct DispatchRequest {
  audio::MotionBackend* motion = nullptr;
  std::vector<float> samples;
  bool reset = false;
  int start = 0, direction = 1;
  bool finish = false;
  int eager = 0;  // 0: unchanged
  int max = 0;    // rows the main loop can take
  uint64_t generation = 0;
};

struct DispatchAnswer {
  uint64_t generation = 0;
  int pulled = 0;
  int avail = 0;   // rows still in the back-end
  int total = -1;  // the back-end's total, -1 until known
  bool failed = false;
  std::string failure;
  std::vector<int> idx;
  std::vector<float> xs, xd;  // 63 floats per row
};

class DispatchChannel {
 public:
  // `wake` is called after every answer (the main loop waits on its own
  // condition variable). Starts the thread.
  DispatchChannel(int capacity, std::function<void()> wake);
  // Stops and joins the thread.
  ~DispatchChannel();
  DispatchChannel(const DispatchChannel&) = delete;
  DispatchChannel& operator=(const DispatchChannel&) = delete;

  // Rows one answer can carry, for the channel's answers and the caller's
  // own (they are swapped); only while no request is outstanding.
  void setCapacity(int rows, DispatchAnswer& callers);
  // Hands the request over; its samples are swapped out, so `req` keeps a
  // buffer for the next batch.
  void post(DispatchRequest& req);
  // Swaps the answer out when it has come; false while it has not.
  bool collect(DispatchAnswer& out);
  // Waits in 2 ms slices until the answer has come or `giveUp()` says so.
  template <class GiveUp>
  void awaitAnswer(GiveUp&& giveUp) {
    MutexLock lock(mu_);
    while (!done_ && !giveUp()) lock.waitFor(cv_, std::chrono::milliseconds(2));
  }
  void stop();

 private:
  void loop();
  // One request against the back-end, outside the lock; never throws.
  void serve(DispatchRequest& req, DispatchAnswer& ans);

  std::function<void()> wake_;
  Mutex mu_;
  std::condition_variable cv_;
  DispatchRequest request_ LE_GUARDED_BY(mu_);
  DispatchAnswer answer_ LE_GUARDED_BY(mu_);
  bool posted_ LE_GUARDED_BY(mu_) = false;
  bool done_ LE_GUARDED_BY(mu_) = false;
  bool stop_ LE_GUARDED_BY(mu_) = false;
  // The dispatch thread's own copies, filled outside the lock.
  DispatchRequest work_;
  DispatchAnswer workAnswer_;
  std::thread thread_;
};

}  // namespace le::session
