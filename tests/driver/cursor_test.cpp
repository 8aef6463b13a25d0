// The cursor's promises over a scripted in-memory source: looping, history,
// real seeks, mutable pulls, sticky producer errors, many consumers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "driver/cursor.h"
#include "driver/driver_support.h"

namespace {

using ::testing::ThrowsMessage;

struct Script {
  std::atomic<int> nexts{0}, rewinds{0}, seeks{0};
  int throwAtFrame = -1, endAfter = -1;  // next() throws at / ends after this frame
  bool seekThrows = false;
};

// Frame i of 4x3 RGB is bytes (i * 7 + 1), with i in its first word.
void fill(uint8_t* dst, int i, size_t n) {
  std::memset(dst, i * 7 + 1, n);
  std::memcpy(dst, &i, sizeof i);
}

class ScriptedSource final : public le::driver::Source {
 public:
  ScriptedSource(int nt, Script& s) : nt_(nt), s_(s) {}
  int NT() const override { return nt_; }
  int W() const override { return 4; }
  int H() const override { return 3; }
  std::string name() const override { return "scripted"; }
  size_t residentBytes() const override { return 1234; }
  void rewind() override { ++s_.rewinds, pos_ = 0; }
  void seek(int i) override {
    ++s_.seeks;
    if (s_.seekThrows) throw std::runtime_error("cannot seek here");
    pos_ = i;
  }
  bool next(uint8_t* dst) override {
    if (pos_ >= nt_ || pos_ == s_.endAfter) return false;
    if (pos_ == s_.throwAtFrame) throw std::runtime_error("bad bits in frame " + std::to_string(pos_));
    fill(dst, pos_++, frameBytes());
    ++s_.nexts;
    return true;
  }

 private:
  int nt_, pos_ = 0;
  Script& s_;
};

struct Rig {
  Script script;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> out;
  Rig(int nt, int ahead, int behind, void (*tweak)(Script&) = nullptr) {
    if (tweak) tweak(script);
    cursor = le::DriverCursor::over(std::make_unique<ScriptedSource>(nt, script), ahead, behind);
    out.resize(cursor->frameBytes);
  }
  bool holds(const uint8_t* p, int i) const {
    std::vector<uint8_t> f(cursor->frameBytes);
    fill(f.data(), i, f.size());
    return std::memcmp(p, f.data(), f.size()) == 0;
  }
  // pull() into out; true when it served frame i
  bool pulls(int i) { return cursor->pull(out.data()) == i && holds(out.data(), i); }
  bool pullsAt(int i) {
    int index = -1;
    return holds(cursor->pullAt(i, &index), i) && index == i;
  }
};

TEST(DriverCursor, ClampsDepthsLoopsByRewindingAndReportsResidentBytes) {
  Rig tiny(5, 0, -3);  // behaves as ahead 1, behind 0: two slots
  EXPECT_EQ(tiny.cursor->frameBytes, 36u);
  EXPECT_EQ(tiny.cursor->residentBytes(), 2 * 36u + 1234);
  for (int k = 0; k < 12; ++k) ASSERT_TRUE(tiny.pulls(k % 5)) << k;
  EXPECT_GE(tiny.script.rewinds.load(), 2);
  EXPECT_EQ(tiny.script.seeks.load(), 0);
  EXPECT_EQ(tiny.cursor->seeks(), 0u);
  EXPECT_EQ(tiny.cursor->position(), 2);
  EXPECT_EQ(Rig(5, 2, 11).cursor->residentBytes(), 14 * 36u + 1234);
}

TEST(DriverCursor, HistoryHitsCostNoSeekAndOldFramesDo) {
  Rig r(30, 2, 11);
  for (int k = 0; k <= 20; ++k) ASSERT_TRUE(r.pulls(k));
  EXPECT_TRUE(r.pullsAt(10));
  EXPECT_TRUE(r.pulls(11));  // plays on from the history hit
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_TRUE(r.pullsAt(5));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  EXPECT_EQ(r.script.seeks.load(), 1);
  EXPECT_EQ(r.cursor->position(), 6);
}

TEST(DriverCursor, SkipsForwardInsideTheLookAheadAndSeeksBeyondIt) {
  Rig r(40, 3, 2);
  ASSERT_TRUE(r.pulls(0));
  while (r.script.nexts.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(r.pullsAt(3));  // 1..3 are in the look-ahead
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_TRUE(r.pullsAt(39));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  EXPECT_TRUE(r.pulls(0));  // wraps after the last frame
  r.cursor->seek(17);
  EXPECT_EQ(r.cursor->position(), 17);
  EXPECT_TRUE(r.pulls(17));
}

TEST(DriverCursor, MutablePullsAreNeverServedFromHistory) {
  Rig r(20, 2, 8);
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(r.pulls(k));
  int index = -1;
  std::memset(r.cursor->pullMutAt(3, &index), 0xEE, r.cursor->frameBytes);
  ASSERT_EQ(index, 3);
  const size_t before = r.cursor->seeks();
  EXPECT_TRUE(r.pullsAt(3));  // decoded anew, not the scribbled slot
  EXPECT_EQ(r.cursor->seeks(), before + 1);
  EXPECT_TRUE(r.pullsAt(1));  // frames before the mutable one are out of reach too
  EXPECT_EQ(r.cursor->seeks(), before + 2);
}

TEST(DriverCursor, ConsumerErrorsLeaveTheCursorUsable) {
  Rig r(5, 2, 2);
  EXPECT_THAT([&] { r.cursor->pullAt(5, r.out.data()); },
              ThrowsMessage<std::runtime_error>("le_driver: seek(5) outside [0,5)"));
  EXPECT_THROW(r.cursor->seek(-1), std::runtime_error);
  EXPECT_TRUE(r.pullsAt(2));
}

TEST(DriverCursor, ProducerErrorsAreSticky) {
  const struct {
    void (*tweak)(Script&);
    int good;
    std::string text;
  } cases[] = {
      {[](Script& s) { s.throwAtFrame = 4; }, 4, "le_driver: bad bits in frame 4"},
      {[](Script& s) { s.endAfter = 3; }, 3,
       "le_driver: scripted ended after 3 frames, the manifest says NT=6 — a short driver is a session that stops "
       "part way through the loop, refusing"},
  };
  for (const auto& c : cases) {
    Rig r(6, 2, 2, c.tweak);
    // the failure may surface before the bad frame: the producer runs ahead
    std::string first = "(no error)";
    for (int k = 0; k <= c.good && first == "(no error)"; ++k) first = lt::errorOf([&] { EXPECT_TRUE(r.pulls(k)); });
    EXPECT_EQ(first, c.text);
    EXPECT_EQ(lt::errorOf([&] { r.cursor->pullAt(0, r.out.data()); }), c.text);
    EXPECT_EQ(lt::errorOf([&] { r.cursor->seek(1); }), c.text);
  }
  Rig badSeek(50, 1, 0, [](Script& s) { s.seekThrows = true; });
  EXPECT_EQ(lt::errorOf([&] { badSeek.cursor->pullAt(40, badSeek.out.data()); }),
            "le_driver: seek failed: cannot seek here");
  EXPECT_THROW(badSeek.cursor->pull(badSeek.out.data()), std::runtime_error);
}

TEST(DriverCursor, ManyThreadsPullAtOnce) {
  Rig r(24, 2, 11);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::vector<uint8_t> out(r.cursor->frameBytes);
      for (int k = 0; k < 150; ++k) {
        const int i = static_cast<int>(rng() % 24);
        if (k % 3 == 0) {
          wrong += r.cursor->pullAt(i, out.data()) != i || !r.holds(out.data(), i);
        } else if (k % 3 == 1) {
          wrong += !r.holds(out.data(), r.cursor->pull(out.data()));
        } else {
          r.cursor->seek(i);
          (void)r.cursor->position(), (void)r.cursor->seeks(), (void)r.cursor->residentBytes();
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
