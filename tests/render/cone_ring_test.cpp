// The source-cone ring on its own, with a fill that only records what it was
// asked for: the prediction over forward, backward, reflecting and looping
// drives, the synchronous fill, and the permanent error.
#include "render/cone_ring.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"

namespace {

struct Recorder {
  std::mutex mutex;
  std::vector<int> prefetched;  // frames the ring's thread filled, in order
  std::vector<int> synchronous;
  std::thread::id caller = std::this_thread::get_id();
  int failAt = -1;
  le::ConeRing::Fill fill() {
    return [this](int frame, int) {
      if (frame == failAt) throw std::runtime_error("prep run " + std::to_string(frame) + " failed");
      std::lock_guard<std::mutex> lock(mutex);
      (std::this_thread::get_id() == caller ? synchronous : prefetched).push_back(frame);
    };
  }
};

// Renders `frames` one after another as the renderer does; returns the frames the thread filled.
std::vector<int> drive(le::ConeRing& ring, Recorder& rec, const std::vector<int>& frames) {
  for (int si : frames) {
    ring.acquire(si);
    ring.prefetch(si);
    ring.drain();
  }
  return rec.prefetched;
}

struct PredictionCase {
  const char* name;
  int nt;
  std::vector<int> frames;
  std::vector<int> predicted;  // what the thread fills, one per posted request
  long synchronous;
};

const PredictionCase kPrediction[] = {
    {"forwards", 6, {0, 1, 2, 3}, {1, 2, 3, 4}, 1},
    {"backwards from the end", 6, {5, 4, 3}, {4, 3, 2}, 1},         // the first step is +1, reflected at the end
    {"reflects at the last frame", 6, {3, 4, 5, 4}, {4, 5, 3}, 1},  // 4 is still held after 5
    {"loops after a wrap", 4, {2, 3, 0, 1, 2, 3, 0}, {3, 1, 2, 3, 0, 1}, 2},  // the wrap is a jump
    {"one frame never posts", 1, {0, 0, 0}, {}, 1},
    {"a jump fills synchronously", 6, {0, 4, 5}, {1, 5}, 2},
};

TEST(ConeRing, PredictsTheNextSourceFrame) {
  for (const PredictionCase& c : kPrediction) {
    Recorder rec;
    le::ConeRing ring(c.nt, rec.fill(), "test");
    EXPECT_EQ(drive(ring, rec, c.frames), c.predicted) << c.name;
    EXPECT_EQ(ring.synchronous(), c.synchronous) << c.name;
    EXPECT_EQ(ring.prefetched(), static_cast<long>(c.predicted.size())) << c.name;
  }
}

TEST(ConeRing, AFailedFillIsPermanent) {
  for (int failAt : {0, 1}) {  // on the caller's thread, then on the ring's
    Recorder rec;
    rec.failAt = failAt;
    le::ConeRing ring(3, rec.fill(), "test");
    const std::string want =
        "Renderer: the hoisted source cone failed in ORT — prep run " + std::to_string(failAt) + " failed";
    if (failAt == 1) drive(ring, rec, {0});  // frame 0 is held, frame 1's prefetch fails
    EXPECT_EQ(lt::errorOf([&] { ring.acquire(failAt); }), want);
    EXPECT_EQ(lt::errorOf([&] { ring.acquire(2); }), want);
    EXPECT_EQ(lt::errorOf([&] { ring.acquire(0); }), want);  // even a frame the ring holds
    ring.prefetch(0);                                        // posts nothing once failed
    ring.drain();
  }
}

}  // namespace
