// le_prior_*: rows against the ffmpeg command line's decode turned into half
// floats by numpy, the refusal texts, and the look-ahead/history conventions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/ff_source.h"
#include "le/le.h"
#include "le/prior.h"
#include "support/fixtures.h"

namespace {

using ::testing::StartsWith;

struct PriorCloser {
  void operator()(le_prior* p) const { le_prior_close(p); }
};
using Prior = std::unique_ptr<le_prior, PriorCloser>;

const std::string kBundle = lt::fixture("driver_mp4");  // NT 8, crop 32, P_hevc.mov

// Every frame of the prior as numpy makes it from ffmpeg's yuv444p decode:
// limited-range BT.601 in 16.16 fixed point, then float16(v / 255).
std::string numpyRows(const std::string& dir) {
  lt::spit(dir + "/ref.py", R"(import subprocess, sys
import numpy as np
raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", sys.argv[1], "-f", "rawvideo",
                      "-pix_fmt", "yuv444p", "-"], check=True, capture_output=True).stdout
f = np.frombuffer(raw, np.uint8).reshape(-1, 3, 32, 32).astype(np.int64)
c, d, e = 76312 * (f[:, 0] - 16), f[:, 1] - 128, f[:, 2] - 128
rgb = [(c + 104600 * e + 32768) >> 16, (c - 25672 * d - 53280 * e + 32768) >> 16, (c + 132200 * d + 32768) >> 16]
rows = np.stack([np.clip(p, 0, 255) for p in rgb], 1)
(rows / 255.0).astype(np.float16).tofile(sys.argv[2])
)");
  EXPECT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + dir + "/ref.py " + kBundle + "/P_hevc.mov " + dir + "/rows"),
            0);
  return lt::slurp(dir + "/rows");
}

TEST(PriorApi, RowsEqualTheFfmpegDecodeInHalfFloats) {
  const std::string ref = numpyRows(lt::scratchDir());
  Prior prior(le_prior_open(kBundle.c_str(), 2, 3));
  ASSERT_TRUE(prior) << le_last_error();
  const size_t bytes = le_prior_row_bytes(prior.get());
  ASSERT_EQ(bytes, 32u * 32u * 6u);
  ASSERT_EQ(ref.size(), 8 * bytes);
  EXPECT_THAT(le_prior_backend(prior.get()), StartsWith("hevc444/libavcodec "));
  // In order, back within the history, back beyond it, forward past the look-ahead.
  std::vector<char> row(bytes);
  for (const int i : {0, 1, 2, 3, 1, 7, 0, 5, 6, 2}) {
    ASSERT_EQ(le_prior_row(prior.get(), i, row.data(), row.size()), 1) << le_last_error();
    EXPECT_EQ(std::memcmp(row.data(), &ref[i * bytes], bytes), 0) << "row " << i;
  }
  EXPECT_STREQ(le_last_error(), "");

  // Two threads reading the one handle get the same rows.
  auto reader = [&](int from, bool* same) {
    std::vector<char> r(bytes);
    *same = true;
    for (int k = 0; k < 16; ++k) {
      const int i = (from + k * 3) % 8;
      *same = *same && le_prior_row(prior.get(), i, r.data(), r.size()) == 1 &&
              std::memcmp(r.data(), &ref[i * bytes], bytes) == 0;
    }
  };
  bool a = false, b = false;
  std::thread ta(reader, 0, &a), tb(reader, 5, &b);
  ta.join(), tb.join();
  EXPECT_TRUE(a && b);
}

TEST(PriorApi, RefusalsAndConventions) {
  // Each call's text, or "" where it succeeds (cap = row bytes exactly).
  Prior prior(le_prior_open(kBundle.c_str(), 0, -5));
  ASSERT_TRUE(prior) << le_last_error();
  const size_t bytes = le_prior_row_bytes(prior.get());
  std::vector<char> row(bytes);
  struct Case {
    le_prior* handle;
    int i;
    void* out;
    size_t cap;
    int result;
    std::string error;
  } cases[] = {
      {prior.get(), 0, row.data(), bytes, 1, ""},
      {prior.get(), 0, row.data(), bytes - 1, 0,
       "le_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " + std::to_string(bytes)},
      {nullptr, 0, row.data(), bytes, 0, "le_prior_row: NULL prior/out"},
      {prior.get(), 0, nullptr, bytes, 0, "le_prior_row: NULL prior/out"},
      {prior.get(), 8, row.data(), bytes, 0, "le_prior_row: le_driver: seek(8) outside [0,8)"},
      {prior.get(), -1, row.data(), bytes, 0, "le_prior_row: le_driver: seek(-1) outside [0,8)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(le_prior_row(c.handle, c.i, c.out, c.cap), c.result) << c.error;
    EXPECT_EQ(le_last_error(), c.error);
  }
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_prior_close(nullptr);

  EXPECT_EQ(le_prior_open(nullptr, 2, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
  const std::string raw = lt::fixture("driver_jpg");  // P.f16 only
  EXPECT_EQ(le_prior_open(raw.c_str(), 2, 0), nullptr);
  EXPECT_THAT(le_last_error(), StartsWith("le_prior_open: this bundle carries neither a raw P.f16 nor "));
}

TEST(PriorApi, LookAheadBelowOneIsTwoAndNegativeHistoryIsNone) {
  // Once every row has been read, a cursor's resident bytes are its slots
  // (look-ahead + history + 1 rows) plus the decoder's, the same for equal slots.
  auto resident = [](le::DriverCursor& c) {
    std::vector<uint8_t> row(c.frameBytes);
    for (int i = 0; i < c.NT; ++i) c.pullAt(i, row.data());
    return c.residentBytes();
  };
  auto direct = [&](int ahead, int behind) {
    return resident(*le::DriverCursor::over(le::driver::openPriorHevc(kBundle + "/P_hevc.mov", 8, 32), ahead, behind));
  };
  Prior prior(le_prior_open(kBundle.c_str(), 0, -5));
  ASSERT_TRUE(prior) << le_last_error();
  EXPECT_EQ(resident(*prior->cursor), direct(2, 0));
  EXPECT_NE(direct(2, 0), direct(3, 0));
  // No history: the row just read is decoded again from the start.
  const size_t seeks = prior->cursor->seeks();
  std::vector<char> row(le_prior_row_bytes(prior.get()));
  ASSERT_EQ(le_prior_row(prior.get(), 6, row.data(), row.size()), 1);
  EXPECT_GT(prior->cursor->seeks(), seeks);
}

}  // namespace
