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

namespace {

using ::testing::HasSubstr;

struct Script {
  std::atomic<int> nexts{0}, rewinds{0}, seeks{0};
  int throwAtFrame = -1;   // next() throws when it reaches this frame
  int endAfter = -1;       // next() reports the end after this many frames
  bool seekThrows = false;
};

// Frame i is frameBytes copies of byte (i * 7 + 1), with i in its first word.
class ScriptedSource final : public le::driver::Source {
 public:
  ScriptedSource(int nt, std::shared_ptr<Script> s) : nt_(nt), s_(std::move(s)) {}
  int NT() const override { return nt_; }
  int W() const override { return 4; }
  int H() const override { return 3; }
  std::string name() const override { return "scripted"; }
  size_t residentBytes() const override { return 1234; }
  void rewind() override {
    ++s_->rewinds;
    pos_ = 0;
  }
  void seek(int i) override {
    ++s_->seeks;
    if (s_->seekThrows) throw std::runtime_error("cannot seek here");
    pos_ = i;
  }
  bool next(uint8_t* dst) override {
    if (pos_ >= nt_ || pos_ == s_->endAfter) return false;
    if (pos_ == s_->throwAtFrame) throw std::runtime_error("bad bits in frame " + std::to_string(pos_));
    fill(dst, pos_, frameBytes());
    ++pos_;
    ++s_->nexts;
    return true;
  }
  static void fill(uint8_t* dst, int i, size_t n) {
    std::memset(dst, i * 7 + 1, n);
    std::memcpy(dst, &i, sizeof i);
  }

 private:
  int nt_;
  std::shared_ptr<Script> s_;
  int pos_ = 0;
};

struct Rig {
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::unique_ptr<le::DriverCursor> cursor;
  Rig(int nt, int ahead, int behind, void (*tweak)(Script&) = nullptr) {
    if (tweak) tweak(*script);
    cursor = le::DriverCursor::over(std::make_unique<ScriptedSource>(nt, script), ahead, behind);
  }
  std::vector<uint8_t> expect(int i) const {
    std::vector<uint8_t> f(cursor->frameBytes);
    ScriptedSource::fill(f.data(), i, f.size());
    return f;
  }
  bool holds(const uint8_t* p, int i) const { return std::memcmp(p, expect(i).data(), cursor->frameBytes) == 0; }
  void waitDecoded(int n) const {
    while (script->nexts.load() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

TEST(DriverCursor, ClampsDepthsAndReportsResidentBytes) {
  Rig tiny(5, 0, -3);  // behaves as ahead 1, behind 0: two slots
  EXPECT_EQ(tiny.cursor->frameBytes, 36u);
  EXPECT_EQ(tiny.cursor->residentBytes(), 2 * 36u + 1234);
  EXPECT_EQ(tiny.cursor->name, "scripted");
  std::vector<uint8_t> out(36);
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(tiny.cursor->pull(out.data()), k % 5);
    EXPECT_TRUE(tiny.holds(out.data(), k % 5));
  }
  Rig wide(5, 2, 11);
  EXPECT_EQ(wide.cursor->residentBytes(), 14 * 36u + 1234);
}

TEST(DriverCursor, LoopsByRewindingNotReopening) {
  Rig r(5, 2, 3);
  std::vector<uint8_t> out(r.cursor->frameBytes);
  for (int k = 0; k < 12; ++k) {
    ASSERT_EQ(r.cursor->pull(out.data()), k % 5);
    ASSERT_TRUE(r.holds(out.data(), k % 5)) << k;
  }
  EXPECT_GE(r.script->rewinds.load(), 2);
  EXPECT_EQ(r.script->seeks.load(), 0);
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_EQ(r.cursor->position(), 2);
}

TEST(DriverCursor, HistoryHitsCostNoSeekAndOldFramesDo) {
  Rig r(30, 2, 11);
  int index = -1;
  for (int k = 0; k <= 20; ++k) ASSERT_TRUE(r.holds(r.cursor->pull(&index), k));
  const uint8_t* p = r.cursor->pullAt(10, &index);
  EXPECT_EQ(index, 10);
  EXPECT_TRUE(r.holds(p, 10));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  // plain pulls play on from the history hit, still without seeking
  EXPECT_TRUE(r.holds(r.cursor->pull(&index), 11));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  p = r.cursor->pullAt(5, &index);
  EXPECT_TRUE(r.holds(p, 5));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  EXPECT_EQ(r.script->seeks.load(), 1);
  EXPECT_EQ(r.cursor->position(), 6);
}

TEST(DriverCursor, SkipsForwardInsideTheLookAheadAndSeeksBeyondIt) {
  Rig r(40, 3, 2);
  int index = -1;
  r.cursor->pull(&index);
  r.waitDecoded(4);  // frames 1..3 are in the look-ahead
  EXPECT_TRUE(r.holds(r.cursor->pullAt(3, &index), 3));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_TRUE(r.holds(r.cursor->pullAt(39, &index), 39));
  EXPECT_EQ(r.cursor->seeks(), 1u);
  std::vector<uint8_t> out(r.cursor->frameBytes);
  EXPECT_EQ(r.cursor->pull(out.data()), 0);  // wraps after the last frame
  EXPECT_TRUE(r.holds(out.data(), 0));
  r.cursor->seek(17);
  EXPECT_EQ(r.cursor->position(), 17);
  EXPECT_EQ(r.cursor->pull(out.data()), 17);
  EXPECT_TRUE(r.holds(out.data(), 17));
}

TEST(DriverCursor, MutablePullsAreNeverServedFromHistory) {
  Rig r(20, 2, 8);
  int index = -1;
  for (int k = 0; k < 3; ++k) r.cursor->pull(&index);
  uint8_t* m = r.cursor->pullMutAt(3, &index);
  ASSERT_EQ(index, 3);
  std::memset(m, 0xEE, r.cursor->frameBytes);
  const size_t before = r.cursor->seeks();
  const uint8_t* again = r.cursor->pullAt(3, &index);
  EXPECT_TRUE(r.holds(again, 3));  // decoded anew, not the scribbled slot
  EXPECT_EQ(r.cursor->seeks(), before + 1);
  // frames before the mutable one are out of reach of history as well
  EXPECT_TRUE(r.holds(r.cursor->pullAt(1, &index), 1));
  EXPECT_EQ(r.cursor->seeks(), before + 2);
}

TEST(DriverCursor, ConsumerErrorsLeaveTheCursorUsable) {
  Rig r(5, 2, 2);
  std::vector<uint8_t> out(r.cursor->frameBytes);
  try {
    r.cursor->pullAt(5, out.data());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "le_driver: seek(5) outside [0,5)");
  }
  EXPECT_THROW(r.cursor->seek(-1), std::runtime_error);
  EXPECT_EQ(r.cursor->pullAt(2, out.data()), 2);
  EXPECT_TRUE(r.holds(out.data(), 2));
}

// Pulls in order until the stored failure surfaces (possibly before the
// consumer reaches the bad frame: the producer runs ahead).
std::string stickyText(Rig& r, int goodFrames) {
  std::vector<uint8_t> out(r.cursor->frameBytes);
  std::string first;
  int k = 0;
  for (; k <= goodFrames && first.empty(); ++k) {
    try {
      EXPECT_EQ(r.cursor->pull(out.data()), k);
      EXPECT_TRUE(r.holds(out.data(), k));
    } catch (const std::runtime_error& e) {
      first = e.what();
    }
  }
  EXPECT_LE(k - 1, goodFrames);
  // every later call answers with the same stored text
  try {
    r.cursor->pullAt(0, out.data());
    ADD_FAILURE() << "pullAt after a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(first, e.what());
  }
  try {
    r.cursor->seek(1);
    ADD_FAILURE() << "seek after a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(first, e.what());
  }
  return first;
}

TEST(DriverCursor, ProducerErrorsAreSticky) {
  Rig decode(6, 2, 2, [](Script& s) { s.throwAtFrame = 4; });
  EXPECT_EQ(stickyText(decode, 4), "le_driver: bad bits in frame 4");

  Rig shortDriver(6, 2, 2, [](Script& s) { s.endAfter = 3; });
  EXPECT_EQ(stickyText(shortDriver, 3),
            "le_driver: scripted ended after 3 frames, the manifest says NT=6 — a short driver is a session that "
            "stops part way through the loop, refusing");

  Rig badSeek(50, 1, 0, [](Script& s) { s.seekThrows = true; });
  std::vector<uint8_t> out(badSeek.cursor->frameBytes);
  EXPECT_THAT([&] { badSeek.cursor->pullAt(40, out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>("le_driver: seek failed: cannot seek here"));
  EXPECT_THROW(badSeek.cursor->pull(out.data()), std::runtime_error);
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
        int got = -1;
        switch (k % 3) {
          case 0:
            got = r.cursor->pullAt(i, out.data());
            if (got != i || !r.holds(out.data(), i)) ++wrong;
            break;
          case 1:
            got = r.cursor->pull(out.data());
            if (!r.holds(out.data(), got)) ++wrong;
            break;
          default:
            r.cursor->seek(i);
            (void)r.cursor->position();
            (void)r.cursor->seeks();
            (void)r.cursor->residentBytes();
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
