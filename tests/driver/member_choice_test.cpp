// Which member a bundle's cursors play, the JPEG-directory source, and the
// refusals of the choice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "driver/driver_support.h"
#include "support/fixtures.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string openError(const std::string& dir, bool prior = false) {
  try {
    const le::Manifest m = le::loadManifest(dir);
    if (prior)
      le::DriverCursor::openPrior(m, 2, 0);
    else
      le::DriverCursor::open(m, 2, 0);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(opened)";
}

TEST(DriverMembers, JpegDirectoryFramesMatchAnIndependentDecode) {
  const std::string dir = lt::fixture("driver_jpg");
  ::testing::internal::CaptureStderr();
  auto cursor = le::DriverCursor::open(le::loadManifest(dir), 2, 11);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[le-driver] target_frames/ (raw jpg, 6 frames) — read one frame per pull\n");
  EXPECT_EQ(cursor->name, "jpg/stb");
  EXPECT_EQ(cursor->residentBytes(), 14u * 64 * 48 * 3);
  // libjpeg (through PIL) as the independent decoder of all six frames
  const std::string raw = lt::scratchDir() + "/frames.rgb";
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " -c \"import sys; from PIL import Image; "
                    "sys.stdout.buffer.write(b''.join(Image.open('" + dir + "/target_frames/frame_%06d.jpg' % i)"
                    ".convert('RGB').tobytes() for i in range(6)))\" > " + raw),
            0);
  const std::string ref = lt::slurp(raw);
  ASSERT_EQ(ref.size(), 6 * cursor->frameBytes);
  std::vector<uint8_t> out(cursor->frameBytes), prev;
  for (const int i : {0, 1, 2, 3, 4, 5, 0, 3, 5}) {
    ASSERT_EQ(cursor->pullAt(i, out.data()), i);
    // stb_image and libjpeg round their IDCT and upsampling differently
    int worst = 0;
    double sum = 0;
    for (size_t k = 0; k < out.size(); ++k) {
      const int d = std::abs(out[k] - static_cast<uint8_t>(ref[i * out.size() + k]));
      worst = std::max(worst, d);
      sum += d;
    }
    EXPECT_LT(sum / out.size(), 0.5) << "frame " << i;
    EXPECT_LE(worst, 8) << "frame " << i;
    EXPECT_NE(out, prev);  // the frame number makes every frame differ
    prev = out;
  }
}

TEST(DriverMembers, JpegDirectoryRefusesOtherSizesAndOutOfRangeSeeks) {
  const std::string dir = lt::fixture("driver_jpg_wrong_size");
  ::testing::internal::CaptureStderr();
  auto cursor = le::DriverCursor::open(le::loadManifest(dir), 1, 0);
  ::testing::internal::GetCapturedStderr();
  std::vector<uint8_t> out(cursor->frameBytes);
  EXPECT_THAT([&] { cursor->pull(out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>("le_driver: " + dir +
                                                           "/target_frames/frame_000000.jpg is 32x24, the manifest "
                                                           "says 64x48 — refusing"));
  auto src = le::driver::openJpgDir(lt::fixture("driver_jpg/target_frames"), 6, 64, 48);
  EXPECT_EQ(src->residentBytes(), 0u);
  EXPECT_THAT([&] { src->seek(6); }, ::testing::ThrowsMessage<std::runtime_error>("le_driver: seek outside the member"));
  src->seek(5);
  EXPECT_TRUE(src->next(out.data()));
  EXPECT_FALSE(src->next(out.data()));

  const std::string broken = lt::copyFixture("driver_jpg");
  lt::spit(broken + "/target_frames/frame_000002.jpg", "not a jpeg");
  auto bad = le::driver::openJpgDir(broken + "/target_frames", 6, 64, 48);
  bad->seek(2);
  EXPECT_THAT([&] { bad->next(out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>("decode failed: " + broken +
                                                           "/target_frames/frame_000002.jpg"));
}

TEST(DriverMembers, VideoIsUsedWhenTheDirectoryIsIncompleteOrMissing) {
  const std::string dir = lt::fixture("driver_mp4");
  ::testing::internal::CaptureStderr();
  auto cursor = le::DriverCursor::open(le::loadManifest(dir), 0, -1);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[le-driver] target_frames.mp4 decoded IN PLACE (" + cursor->name +
                             ", 8 frames 64x48, look-ahead 1, history 0) — no frame of the driver is expanded ahead "
                             "of the paste\n"));
  EXPECT_THAT(cursor->name, StartsWith("mp4/libavcodec "));

  const std::string incomplete = lt::fixture("driver_jpg_incomplete");
  EXPECT_EQ(openError(incomplete), "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                                       incomplete +
                                       "/target_frames.mp4) — there is no driver video to play. REFUSING to create "
                                       "a session.");
  const std::string none = lt::fixture("driver_none");
  EXPECT_THAT(openError(none), StartsWith("this bundle carries neither a populated target_frames/ nor"));
}

TEST(DriverMembers, PreferMp4PicksTheVideoOnlyWhenSetToOne) {
  const std::string dir = lt::fixture("driver_both");
  {
    lt::ScopedEnv env("LE_DRIVER_PREFER_MP4", "true");
    ::testing::internal::CaptureStderr();
    auto cursor = le::DriverCursor::open(le::loadManifest(dir), 2, 2);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(cursor->name, "jpg/stb");
  }
  lt::ScopedEnv env("LE_DRIVER_PREFER_MP4", "1");
  ::testing::internal::CaptureStderr();
  auto cursor = le::DriverCursor::open(le::loadManifest(dir), 2, 2);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; "
                             "target_frames.mp4 is the member this consumer reads\n"));
  EXPECT_THAT(cursor->name, StartsWith("mp4/libavcodec "));
  // a preference for a video that is not there keeps the directory
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::DriverCursor::open(le::loadManifest(lt::fixture("driver_jpg")), 2, 2)->name, "jpg/stb");
  ::testing::internal::GetCapturedStderr();
}

TEST(DriverMembers, ManifestRenamesTheDriverMembers) {
  const std::string dir = lt::copyFixture("driver_both");
  ASSERT_EQ(std::rename((dir + "/target_frames").c_str(), (dir + "/frames_b").c_str()), 0);
  ASSERT_EQ(std::rename((dir + "/target_frames.mp4").c_str(), (dir + "/drv.mp4").c_str()), 0);
  lt::addManifestKeys(dir, "\"target_frames\": \"\", \"target_frames_mp4\": \"drv.mp4\", ");
  ::testing::internal::CaptureStderr();
  EXPECT_THAT(le::DriverCursor::open(le::loadManifest(dir), 2, 2)->name, StartsWith("mp4/libavcodec "));
  ::testing::internal::GetCapturedStderr();
  lt::editManifest(dir, "\"target_frames\": \"\"", "\"target_frames\": \"frames_b\"");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::DriverCursor::open(le::loadManifest(dir), 2, 2)->name, "jpg/stb");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[le-driver] frames_b/ (raw jpg, 6 frames) — read one frame per pull\n");
}

TEST(DriverMembers, PriorOpensTheNamedOrCanonicalMemberOrRefuses) {
  ::testing::internal::CaptureStderr();
  auto named = le::DriverCursor::openPrior(le::loadManifest(lt::fixture("prior_named")), 2, 11);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "velomark: identity source ready — 6 frames 32x32, played straight from warp/prior.mov (" + named->name +
                "); nothing is unpacked to disk\n");
  EXPECT_EQ(named->frameBytes, 32u * 32 * 6);
  ::testing::internal::CaptureStderr();
  auto canonical = le::DriverCursor::openPrior(le::loadManifest(lt::fixture("driver_canonical")), 2, 11);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(canonical->NT, 5);
  const std::string dir = lt::fixture("driver_jpg");
  EXPECT_EQ(openError(dir, true), "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + dir +
                                      "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
}

}  // namespace
