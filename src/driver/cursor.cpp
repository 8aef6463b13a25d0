#include "driver/cursor.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/threads.h"

namespace le {
namespace {
// Waits recheck stop and failure at least this often.
constexpr std::chrono::milliseconds kWaitSlice{50};
}  // namespace

struct DriverCursor::Impl {
  std::unique_ptr<driver::Source> source;
  int NT, W, H;
  size_t frameBytes;
  int ahead, behind, slots;
  std::vector<std::vector<uint8_t>> ring;
  std::vector<int> slotFrame LE_GUARDED_BY(state);

  // One caller at a time (the call mutex), then the state it shares with the
  // decode thread. Ring buffers are handed over by sequence numbers: the
  // decode thread writes only slots past writeSeq, the caller reads only
  // slots it took.
  Mutex call LE_ACQUIRED_BEFORE(state);
  mutable Mutex state;
  std::condition_variable producerCv, consumerCv;

  size_t readSeq LE_GUARDED_BY(state) = 0;
  size_t writeSeq LE_GUARDED_BY(state) = 0;
  size_t mutFloor LE_GUARDED_BY(state) = 0;
  bool busy LE_GUARDED_BY(state) = false;
  int nextFrame LE_GUARDED_BY(state) = 0;
  int expected LE_GUARDED_BY(state) = 0;
  int srcPos = 0;  // decode thread only
  int seekTarget LE_GUARDED_BY(state) = -1;
  uint64_t generation LE_GUARDED_BY(state) = 0;
  bool stop LE_GUARDED_BY(state) = false;
  std::string error LE_GUARDED_BY(state);
  size_t seekCount LE_GUARDED_BY(state) = 0;
  std::thread thread;
  threads::Registration census;

  Impl(std::unique_ptr<driver::Source> src, int wantAhead, int wantBehind)
      : source(std::move(src)),
        NT(source->NT()),
        W(source->W()),
        H(source->H()),
        frameBytes(source->frameBytes()),
        ahead(std::max(wantAhead, 1)),
        behind(std::max(wantBehind, 0)),
        slots(ahead + behind + 1),
        ring(static_cast<size_t>(slots), std::vector<uint8_t>(frameBytes)),
        slotFrame(static_cast<size_t>(slots), -1) {
    if (NT < 1) throw std::runtime_error("le_driver: " + source->name() + " has no frames");
    thread = std::thread([this] { run(); });
    census = threads::Registration("cursor decode", source->name(), 1, "decodes frames ahead of the consumer");
  }

  ~Impl() {
    {
      MutexLock lk(state);
      stop = true;
    }
    producerCv.notify_all();
    consumerCv.notify_all();
    if (thread.joinable()) thread.join();
  }

  size_t slotOf(size_t seq) const { return seq % static_cast<size_t>(slots); }

  void fail(const std::string& text) LE_EXCLUDES(state) {
    {
      MutexLock lk(state);
      if (error.empty()) error = text;
    }
    consumerCv.notify_all();
  }

  void run() LE_EXCLUDES(state) {
    MutexLock lk(state);
    for (;;) {
      if (stop) return;
      if (seekTarget >= 0) {
        const int target = seekTarget;
        nextFrame = target;
        seekTarget = -1;
        lk.unlock();
        try {
          source->seek(target);
        } catch (const std::exception& e) {
          fail(std::string("le_driver: seek failed: ") + e.what());
          return;
        }
        srcPos = target;
        lk.lock();
        continue;
      }
      if (writeSeq - readSeq >= static_cast<size_t>(ahead)) {
        lk.waitFor(producerCv, kWaitSlice);
        continue;
      }
      const size_t slot = slotOf(writeSeq);
      const int frame = nextFrame;
      const uint64_t gen = generation;
      busy = true;
      lk.unlock();
      try {
        if (srcPos == NT) {  // the driver loops
          source->rewind();
          srcPos = 0;
        }
        if (!source->next(ring[slot].data())) {
          fail("le_driver: " + source->name() + " ended after " + std::to_string(srcPos) +
               " frames, the manifest says NT=" + std::to_string(NT) +
               " — a short driver is a session that stops part way through the loop, refusing");
          return;
        }
      } catch (const std::exception& e) {
        // Source texts already carry the prefix; do not stutter it.
        const std::string what = e.what();
        fail(what.rfind("le_driver: ", 0) == 0 ? what : "le_driver: " + what);
        return;
      }
      ++srcPos;
      lk.lock();
      busy = false;
      if (gen == generation) {
        slotFrame[slot] = frame;
        ++writeSeq;
        nextFrame = (frame + 1) % NT;
        consumerCv.notify_all();
      } else {
        slotFrame[slot] = -1;  // the buffer now holds a dropped frame
      }
    }
  }

  void throwIfFailed() const LE_REQUIRES(state) {
    if (!error.empty()) throw std::runtime_error(error);
  }

  // Consumer side of every pull; the call mutex is held.
  uint8_t* take(bool mut, int* index) LE_REQUIRES(call) {
    MutexLock lk(state);
    throwIfFailed();
    while (writeSeq <= readSeq) {
      lk.waitFor(consumerCv, kWaitSlice);
      throwIfFailed();
      if (stop) throw std::runtime_error("le_driver: cursor closed");
    }
    const size_t seq = readSeq;
    readSeq = seq + 1;
    if (mut) mutFloor = seq + 1;
    const size_t slot = slotOf(seq);
    const int got = slotFrame[slot];
    expected = (got + 1) % NT;
    lk.unlock();
    producerCv.notify_one();
    if (index) *index = got;
    return ring[slot].data();
  }

  // Makes frame i the next one; the call mutex is held.
  void seekTo(int i) LE_REQUIRES(call) {
    if (i < 0 || i >= NT)
      throw std::runtime_error("le_driver: seek(" + std::to_string(i) + ") outside [0," + std::to_string(NT) + ")");
    MutexLock lk(state);
    throwIfFailed();
    expected = i;
    const int upcoming = writeSeq > readSeq ? slotFrame[slotOf(readSeq)] : seekTarget >= 0 ? seekTarget : nextFrame;
    if (upcoming == i) return;
    if (seekTarget < 0) {
      size_t lo = mutFloor;
      if (writeSeq >= static_cast<size_t>(slots)) lo = std::max(lo, writeSeq - slots + (busy ? 1 : 0));
      if (readSeq > static_cast<size_t>(behind) + 1) lo = std::max(lo, readSeq - 1 - behind);
      for (size_t s = lo; s < writeSeq; ++s) {
        if (slotFrame[slotOf(s)] == i) {
          readSeq = s;
          lk.unlock();
          producerCv.notify_one();
          return;
        }
      }
      if (nextFrame == i) {
        readSeq = writeSeq;
        lk.unlock();
        producerCv.notify_one();
        return;
      }
    }
    readSeq = writeSeq;
    seekTarget = i;
    ++generation;
    ++seekCount;
    lk.unlock();
    producerCv.notify_one();
  }

  uint8_t* takeAt(int i, bool mut, int* index) LE_REQUIRES(call) {
    seekTo(i);
    int got = -1;
    uint8_t* p = take(mut, &got);
    if (got != i)
      throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(got) +
                               " for si=" + std::to_string(i));
    if (index) *index = got;
    return p;
  }

  int expectedNow() const LE_EXCLUDES(state) {
    MutexLock lk(state);
    return expected;
  }
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int behind)
    : impl(std::make_unique<Impl>(std::move(source), ahead, behind)),
      NT(impl->NT),
      W(impl->W),
      H(impl->H),
      frameBytes(impl->frameBytes),
      name(impl->source->name()) {}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int ahead, int behind) {
  return std::make_unique<DriverCursor>(std::move(source), ahead, behind);
}

int DriverCursor::pull(uint8_t* out) {
  MutexLock call(impl->call);
  impl->seekTo(impl->expectedNow());
  int index = -1;
  const uint8_t* p = impl->take(false, &index);
  std::memcpy(out, p, frameBytes);
  return index;
}

const uint8_t* DriverCursor::pull(int* index) {
  MutexLock call(impl->call);
  impl->seekTo(impl->expectedNow());
  return impl->take(false, index);
}

uint8_t* DriverCursor::pullMut(int* index) {
  MutexLock call(impl->call);
  impl->seekTo(impl->expectedNow());
  return impl->take(true, index);
}

int DriverCursor::pullAt(int i, uint8_t* out) {
  MutexLock call(impl->call);
  std::memcpy(out, impl->takeAt(i, false, nullptr), frameBytes);
  return i;
}

const uint8_t* DriverCursor::pullAt(int i, int* index) {
  MutexLock call(impl->call);
  return impl->takeAt(i, false, index);
}

uint8_t* DriverCursor::pullMutAt(int i, int* index) {
  MutexLock call(impl->call);
  return impl->takeAt(i, true, index);
}

void DriverCursor::seek(int i) {
  MutexLock call(impl->call);
  impl->seekTo(i);
}

int DriverCursor::position() const { return impl->expectedNow(); }

size_t DriverCursor::seeks() const {
  MutexLock lk(impl->state);
  return impl->seekCount;
}

size_t DriverCursor::residentBytes() const {
  return frameBytes * static_cast<size_t>(impl->slots) + impl->source->residentBytes();
}

}  // namespace le
