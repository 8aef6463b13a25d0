// The cursor's promises over a scripted source: looping, history, seeks, mutable pulls, errors, many consumers.
#include "driver/cursor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/fixtures.h"

namespace {

struct Script {
  std::atomic<int> nexts{0}, rewinds{0}, seeks{0};
  int throwAtFrame = -1, endAfter = -1;  // next() throws at / ends after this frame
  bool seekThrows = false;
};

// Frame i of 4x3 RGB is bytes (i * 7 + 1), with i in its first word.
std::vector<uint8_t> frame(int i) {
  std::vector<uint8_t> f(36, static_cast<uint8_t>(i * 7 + 1));
  std::memcpy(f.data(), &i, sizeof i);
  return f;
}

struct ScriptedSource final : le::driver::Source {
  ScriptedSource(int nt, Script& s) : nt(nt), s(s) {}
  int nt, pos = 0;
  Script& s;
  int NT() const override { return nt; }
  int W() const override { return 4; }
  int H() const override { return 3; }
  std::string name() const override { return "scripted"; }
  size_t residentBytes() const override { return 1234; }
  void rewind() override { ++s.rewinds, pos = 0; }
  void seek(int i) override {
    if (++s.seeks, s.seekThrows) throw std::runtime_error("cannot seek here");
    pos = i;
  }
  bool next(uint8_t* dst) override {
    if (pos >= nt || pos == s.endAfter) return false;
    if (pos == s.throwAtFrame) throw std::runtime_error("bad bits in frame " + std::to_string(pos));
    std::memcpy(dst, frame(pos++).data(), 36);
    return ++s.nexts, true;
  }
};

struct Rig {
  Script script;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> out = std::vector<uint8_t>(36);
  Rig(
      int nt, int ahead, int behind, void (*tweak)(Script&) = [](Script&) {}) {
    tweak(script), cursor = le::DriverCursor::over(std::make_unique<ScriptedSource>(nt, script), ahead, behind);
  }
  static bool holds(const uint8_t* p, int i) { return std::memcmp(p, frame(i).data(), 36) == 0; }
  bool pulls(int i) { return cursor->pull(out.data()) == i && holds(out.data(), i); }
  bool pullsAt(int i, int index = -1) { return holds(cursor->pullAt(i, &index), i) && index == i; }
};

TEST(DriverCursor, ClampsDepthsLoopsByRewindingAndReportsResidentBytes) {
  Rig tiny(5, 0, -3);  // behaves as ahead 1, behind 0: two slots
  EXPECT_EQ(tiny.cursor->residentBytes(), 2 * 36u + 1234);
  for (int k = 0; k < 12; ++k) ASSERT_TRUE(tiny.pulls(k % 5)) << k;
  EXPECT_GE(tiny.script.rewinds.load(), 2);
  EXPECT_EQ(tiny.script.seeks.load() + tiny.cursor->seeks(), 0u);
  EXPECT_EQ(Rig(5, 2, 11).cursor->residentBytes(), 14 * 36u + 1234);
}

TEST(DriverCursor, SeeksOnlyOutsideHistoryAndLookAheadAndNeverReusesMutablePulls) {
  Rig r(30, 2, 11);
  for (int k = 0; k <= 20; ++k) ASSERT_TRUE(r.pulls(k));
  EXPECT_TRUE(r.pullsAt(9));  // the oldest of the last behind + 1 frames
  EXPECT_TRUE(r.pulls(10));  // plays on from the history hit
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_TRUE(r.pullsAt(5));
  EXPECT_EQ(r.script.seeks.load() + r.cursor->seeks(), 2u);
  Rig a(40, 3, 2);
  ASSERT_TRUE(a.pulls(0));
  while (a.script.nexts.load() < 4) std::this_thread::yield();
  EXPECT_TRUE(a.pullsAt(3));
  EXPECT_EQ(a.cursor->seeks(), 0u);
  EXPECT_TRUE(a.pullsAt(39));
  EXPECT_EQ(a.cursor->seeks(), 1u);
  EXPECT_TRUE(a.pulls(0));  // wraps after the last frame
  a.cursor->seek(17);
  EXPECT_TRUE(a.pulls(17));
  Rig m(20, 2, 8);  // mutable pulls are never served again
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(m.pulls(k));
  int index = -1;
  std::memset(m.cursor->pullMutAt(3, &index), 0xEE, 36);
  ASSERT_EQ(index, 3);
  const size_t before = m.cursor->seeks();
  EXPECT_TRUE(m.pullsAt(3));  // decoded anew, not the scribbled slot
  EXPECT_TRUE(m.pullsAt(1));  // frames before the mutable one are out of reach too
  EXPECT_EQ(m.cursor->seeks(), before + 2);
}

TEST(DriverCursor, ConsumerErrorsLeaveItUsableAndProducerErrorsAreSticky) {
  Rig usable(5, 2, 2);
  EXPECT_EQ(lt::errorOf([&] { usable.cursor->pullAt(5, usable.out.data()); }), "le_driver: seek(5) outside [0,5)");
  EXPECT_THROW(usable.cursor->seek(-1), std::runtime_error);
  EXPECT_TRUE(usable.pullsAt(2));
  const struct {
    void (*tweak)(Script&);
    int good;
    std::string text;
  } cases[] = {
      {[](Script& s) { s.throwAtFrame = 4; }, 4, "le_driver: bad bits in frame 4"},
      {[](Script& s) { s.endAfter = 3; }, 3,
       "le_driver: scripted ended after 3 frames, the manifest says NT=6 — a short driver is a session that stops part "
       "way through the loop, refusing"},
  };
  for (const auto& c : cases) {
    Rig r(6, 2, 2, c.tweak);
    std::string first = "(no error)";  // the producer runs ahead, so the failure may surface early
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
      std::vector<uint8_t> out(36);
      for (int k = 0, i; k < 150; ++k) {
        i = static_cast<int>(rng() % 24);
        if (k % 3 == 0) wrong += r.cursor->pullAt(i, out.data()) != i || !Rig::holds(out.data(), i);
        if (k % 3 == 1) wrong += !Rig::holds(out.data(), r.cursor->pull(out.data()));
        if (k % 3 == 2) r.cursor->seek(i), (void)r.cursor->position(), (void)r.cursor->residentBytes();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
