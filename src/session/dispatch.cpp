#include "session/dispatch.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/keypoints.h"
#include "base/threads.h"

namespace le::session {
namespace {

void sizeRows(DispatchAnswer& a, int rows) {
  a.idx.resize(static_cast<size_t>(rows));
  a.xs.resize(static_cast<size_t>(rows) * kKpFloats);
  a.xd.resize(static_cast<size_t>(rows) * kKpFloats);
}

}  // namespace

DispatchChannel::DispatchChannel(int capacity, std::function<void()> wake) : wake_(std::move(wake)) {
  DispatchAnswer unused;
  setCapacity(capacity, unused);
  thread_ = std::thread(&DispatchChannel::loop, this);
}

DispatchChannel::~DispatchChannel() { stop(); }

void DispatchChannel::stop() {
  {
    MutexLock lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DispatchChannel::setCapacity(int rows, DispatchAnswer& callers) {
  MutexLock lock(mu_);
  sizeRows(answer_, rows);
  sizeRows(workAnswer_, rows);
  sizeRows(callers, rows);
}

void DispatchChannel::post(DispatchRequest& req) {
  {
    MutexLock lock(mu_);
    using std::swap;
    swap(request_.samples, req.samples);
    req.samples.clear();
    request_.motion = req.motion;
    request_.reset = req.reset;
    request_.start = req.start;
    request_.direction = req.direction;
    request_.finish = req.finish;
    request_.eager = req.eager;
    request_.max = std::min(req.max, static_cast<int>(answer_.idx.size()));
    request_.generation = req.generation;
    done_ = false;
    posted_ = true;
  }
  cv_.notify_all();
}

bool DispatchChannel::collect(DispatchAnswer& out) {
  MutexLock lock(mu_);
  if (!done_) return false;
  done_ = false;
  using std::swap;
  swap(out, answer_);
  return true;
}

void DispatchChannel::loop() {
  threads::Registration census("utt dispatch", "le_utt", 1, "feeds audio to the motion back-end, pulls rows");
  for (;;) {
    {
      MutexLock lock(mu_);
      while (!posted_ && !stop_) lock.waitFor(cv_, std::chrono::milliseconds(2));
      if (stop_) return;
      using std::swap;
      swap(work_.samples, request_.samples);
      request_.samples.clear();
      work_.motion = request_.motion;
      work_.reset = request_.reset;
      work_.start = request_.start;
      work_.direction = request_.direction;
      work_.finish = request_.finish;
      work_.eager = request_.eager;
      work_.max = request_.max;
      work_.generation = request_.generation;
      posted_ = false;
    }
    serve(work_, workAnswer_);
    {
      MutexLock lock(mu_);
      using std::swap;
      swap(answer_, workAnswer_);
      done_ = true;
    }
    cv_.notify_all();
    wake_();
  }
}

void DispatchChannel::serve(DispatchRequest& req, DispatchAnswer& ans) {
  ans.generation = req.generation;
  ans.pulled = 0;
  ans.avail = 0;
  ans.total = -1;
  ans.failed = false;
  ans.failure.clear();
  try {
    audio::MotionBackend& m = *req.motion;
    if (req.reset) m.reset(req.start, req.direction, 1);
    if (req.eager != 0) m.setEager(req.eager);
    if (!req.samples.empty()) m.push(req.samples.data(), static_cast<int>(req.samples.size()));
    if (req.finish) m.finish();
    int avail = m.avail();
    const int max = std::min(req.max, static_cast<int>(ans.idx.size()));
    if (max > 0 && avail > 0) {
      ans.pulled = m.pull(ans.idx.data(), ans.xs.data(), ans.xd.data(), std::min(avail, max));
      avail -= ans.pulled;
    }
    ans.avail = std::max(avail, 0);
    ans.total = m.total();
  } catch (const std::exception& e) {
    ans.failed = true;
    ans.failure = *e.what() ? e.what() : "unknown failure";
  } catch (...) {
    ans.failed = true;
    ans.failure = "unknown failure";
  }
  req.samples.clear();
}

}  // namespace le::session
