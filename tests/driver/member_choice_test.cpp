// Which member a bundle's cursors play, the JPEG-directory source, and the refusals of the choice.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "support/fixtures.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(DriverMembers, JpegDirectoryFramesMatchAnIndependentDecode) {
  const std::string dir = lt::fixture("driver_jpg"), raw = lt::scratchDir() + "/frames.rgb";
  std::unique_ptr<le::DriverCursor> cursor;
  EXPECT_EQ(lt::stderrOf([&] { cursor = le::DriverCursor::open(le::loadManifest(dir), 2, 11); }),
            "[le-driver] target_frames/ (raw jpg, 6 frames) — read one frame per pull\n");
  EXPECT_EQ(cursor->residentBytes(), 14u * 64 * 48 * 3);
  // libjpeg (through PIL) as the independent decoder of all six frames
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) +
                    " -c \"import sys; from PIL import Image; sys.stdout.buffer.write(b''.join(Image.open('" + dir +
                    "/target_frames/frame_%06d.jpg' % i).convert('RGB').tobytes() for i in range(6)))\" > " + raw),
            0);
  const std::string ref = lt::slurp(raw);
  ASSERT_EQ(ref.size(), 6 * cursor->frameBytes);
  std::vector<uint8_t> out(cursor->frameBytes), prev;
  for (const int i : {0, 1, 2, 3, 4, 5, 0, 3, 5}) {
    ASSERT_EQ(cursor->pullAt(i, out.data()), i);
    size_t worst = 0, sum = 0;  // stb_image and libjpeg round their IDCT and upsampling differently
    for (size_t k = 0, d; k < out.size(); ++k)
      d = std::abs(out[k] - static_cast<uint8_t>(ref[i * out.size() + k])), worst = std::max(worst, d), sum += d;
    EXPECT_LT(sum, out.size() / 2) << "frame " << i;
    EXPECT_LE(worst, 8u) << "frame " << i;
    EXPECT_NE(out, prev);  // the frame number makes every frame differ
    prev = out;
  }
  auto src = le::driver::openJpgDir(dir + "/target_frames", 6, 64, 48);
  EXPECT_EQ(src->residentBytes(), 0u);
  src->seek(5);
  EXPECT_TRUE(src->next(out.data()));
  EXPECT_FALSE(src->next(out.data()));
}

// A copy of driver_both with its members renamed and the manifest naming `frames` as the directory.
std::string renamedBundle(const std::string& frames) {
  const std::string dir = lt::scratchDir() + "/renamed_" + frames;
  EXPECT_EQ(lt::run("cp -r '" + lt::fixture("driver_both") + "' '" + dir + "' && cd '" + dir +
                    "' && mv target_frames frames_b && mv target_frames.mp4 drv.mp4"),
            0);
  lt::editManifest(dir, "{", "{\"target_frames\": \"" + frames + "\", \"target_frames_mp4\": \"drv.mp4\", ");
  return dir;
}

TEST(DriverMembers, ChoosesTheMemberByPresencePreferenceAndManifestNames) {
  const struct {
    std::string dir;
    const char* prefer;
    std::string name, log;
  } cases[] = {
      // prefer: LE_DRIVER_PREFER_MP4
      {lt::fixture("driver_mp4"), nullptr, "mp4/libavcodec ",
       "[le-driver] target_frames.mp4 decoded IN PLACE (@, 8 frames 64x48, look-ahead 1, history 0) — no frame of the "
       "driver is expanded ahead of the paste\n"},
      {lt::fixture("driver_both"), "true", "jpg/stb", "(raw jpg, 6 frames)"},
      {lt::fixture("driver_both"), "1", "mp4/libavcodec ",
       "[le-driver] LE_DRIVER_PREFER_MP4=1 — target_frames/ is populated and NOT used; target_frames.mp4 is the member "
       "this consumer reads\n"},
      {lt::fixture("driver_jpg"), "1", "jpg/stb", "(raw jpg, 6 frames)"},  // no video to prefer
      {renamedBundle(""), nullptr, "mp4/libavcodec ", "drv.mp4 decoded IN PLACE"},
      {renamedBundle("frames_b"), nullptr, "jpg/stb",
       "[le-driver] frames_b/ (raw jpg, 6 frames) — read one frame per pull\n"},
  };
  for (const auto& c : cases) {
    lt::ScopedEnv env("LE_DRIVER_PREFER_MP4", c.prefer);
    std::unique_ptr<le::DriverCursor> cursor;
    std::string got = lt::stderrOf([&] { cursor = le::DriverCursor::open(le::loadManifest(c.dir), 0, -1); }),
                log = c.log;
    if (const size_t at = log.find('@'); at != std::string::npos) log.replace(at, 1, cursor->name);
    EXPECT_THAT(got, HasSubstr(log)) << c.dir;
    EXPECT_THAT(cursor->name, StartsWith(c.name)) << c.dir;
  }
  std::unique_ptr<le::DriverCursor> prior;
  const std::string log =
      lt::stderrOf([&] { prior = le::DriverCursor::openPrior(le::loadManifest(lt::fixture("prior_named")), 2, 11); });
  EXPECT_EQ(log, "velomark: identity source ready — 6 frames 32x32, played straight from warp/prior.mov (" +
                     prior->name + "); nothing is unpacked to disk\n");
}

TEST(DriverMembers, Refusals) {
  const std::string jpg = lt::fixture("driver_jpg"), wrong = lt::fixture("driver_jpg_wrong_size"),
                    incomplete = lt::fixture("driver_jpg_incomplete"), none = lt::fixture("driver_none"),
                    broken = lt::copyFixture("driver_jpg");
  lt::spit(broken + "/target_frames/frame_000002.jpg", "not a jpeg");
  std::vector<uint8_t> out(64 * 48 * 3);
  const auto open = [](const std::string& dir) { return le::DriverCursor::open(le::loadManifest(dir), 1, 0); };
  const auto noDriver = [](const std::string& dir) {
    return "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + dir +
           "/target_frames.mp4) — there is no driver video to play. REFUSING to create a session.";
  };
  const struct {
    std::function<void()> call;
    std::string text;
  } cases[] = {
      {[&] { open(wrong)->pull(out.data()); },
       "le_driver: " + wrong + "/target_frames/frame_000000.jpg is 32x24, the manifest says 64x48 — refusing"},
      {[&] { le::driver::openJpgDir(jpg + "/target_frames", 6, 64, 48)->seek(6); },
       "le_driver: seek outside the member"},
      {[&] {
         auto bad = le::driver::openJpgDir(broken + "/target_frames", 6, 64, 48);
         bad->seek(2), bad->next(out.data());
       },
       "decode failed: " + broken + "/target_frames/frame_000002.jpg"},
      {[&] { open(incomplete); }, noDriver(incomplete)},
      {[&] { open(none); }, noDriver(none)},
      {[&] { le::DriverCursor::openPrior(le::loadManifest(jpg), 2, 0); },
       "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + jpg +
           "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session."},
  };
  lt::stderrOf([&] {
    for (const auto& c : cases) EXPECT_EQ(lt::errorOf(c.call), c.text);
  });
}

}  // namespace
