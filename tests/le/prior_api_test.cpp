// le_prior_*: rows from two threads against a prior cursor's own, the refusal
// texts, and the look-ahead/history conventions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/ff_source.h"
#include "le/le_cpp.h"
#include "le/prior.h"
#include "support/fixtures.h"

namespace {

using ::testing::StartsWith;

const std::string kBundle = lt::fixture("driver_mp4");  // NT 8, crop 32, P_hevc.mov

TEST(PriorApi, RowsAreTheCursorsFromTwoThreads) {
  le_prior_ptr prior(le_prior_open(kBundle.c_str(), 2, 3));
  ASSERT_TRUE(prior) << le_last_error();
  const size_t bytes = le_prior_row_bytes(prior.get());
  ASSERT_EQ(bytes, 32u * 32u * 6u);
  std::vector<uint8_t> ref(8 * bytes);
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(kBundle + "/P_hevc.mov", 8, 32), 2, 3);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(cursor->pullAt(i, &ref[i * bytes]), i);
  EXPECT_THAT(le_prior_backend(prior.get()), StartsWith("hevc444/libavcodec "));
  // Back within the history and beyond it, forward past the look-ahead; from two threads at once.
  int wrong[2] = {0, 0};
  auto reader = [&](int from, int* bad) {
    std::vector<char> row(bytes);
    for (int k = 0, i = from; k < 16; ++k, i = (i + 3) % 8)
      *bad += le_prior_row(prior.get(), i, row.data(), bytes) != 1 || std::memcmp(row.data(), &ref[i * bytes], bytes);
  };
  std::thread other(reader, 5, &wrong[1]);
  reader(0, &wrong[0]);
  other.join();
  EXPECT_EQ(wrong[0] + wrong[1], 0);
}

TEST(PriorApi, RefusalsAndConventions) {
  le_prior_ptr prior(le_prior_open(kBundle.c_str(), 0, -5));
  ASSERT_TRUE(prior) << le_last_error();
  const size_t bytes = le_prior_row_bytes(prior.get());
  std::vector<char> row(bytes);
  const struct {
    le_prior* handle;
    int i;
    void* out;
    size_t cap;
    std::string error;  // "" where the call succeeds: cap = row bytes exactly
  } cases[] = {
      {prior.get(), 0, row.data(), bytes, ""},
      {prior.get(), 0, row.data(), bytes - 1,
       "le_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " + std::to_string(bytes)},
      {nullptr, 0, row.data(), bytes, "le_prior_row: NULL prior/out"},
      {prior.get(), 0, nullptr, bytes, "le_prior_row: NULL prior/out"},
      {prior.get(), 8, row.data(), bytes, "le_prior_row: le_driver: seek(8) outside [0,8)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(le_prior_row(c.handle, c.i, c.out, c.cap), c.error.empty() ? 1 : 0) << c.error;
    EXPECT_EQ(le_last_error(), c.error);
  }
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_prior_close(nullptr);
  EXPECT_EQ(le_prior_open(nullptr, 2, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
  EXPECT_EQ(le_prior_open(lt::fixture("driver_jpg").c_str(), 2, 0), nullptr);  // P.f16 only
  EXPECT_THAT(le_last_error(), StartsWith("le_prior_open: this bundle carries neither a raw P.f16 nor "));

  // Look-ahead 0 is 2 and history -5 is 0: once every row has been read, a
  // cursor's resident bytes are its ahead + behind + 1 rows plus the decoder's.
  auto resident = [](le::DriverCursor& c) {
    std::vector<uint8_t> r(c.frameBytes);
    for (int i = 0; i < c.NT; ++i) c.pullAt(i, r.data());
    return c.residentBytes();
  };
  auto direct = [&](int ahead) {
    return resident(*le::DriverCursor::over(le::driver::openPriorHevc(kBundle + "/P_hevc.mov", 8, 32), ahead, 0));
  };
  EXPECT_EQ(resident(*prior->cursor), direct(2));
  EXPECT_NE(direct(2), direct(3));
  const size_t seeks = prior->cursor->seeks();  // no history: the row before the last is decoded again
  ASSERT_EQ(le_prior_row(prior.get(), 6, row.data(), row.size()), 1);
  EXPECT_GT(prior->cursor->seeks(), seeks);
}

}  // namespace
