// vozaz frame / drive produce what they say: images of the canvas or crop
// size, and a video the ffmpeg command line reads back frame for frame.
#include <gtest/gtest.h>

#include <string>

#include "bundle/paths.h"
#include "support/fixtures.h"

namespace {

const std::string kVozaz = LE_TEST_VOZAZ;

// "WxH" of an image or video, as ffprobe reports its first video stream.
std::string probe(const std::string& path, const std::string& entries) {
  const std::string out = path + ".probe";
  lt::run("ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=" + entries +
          " -of csv=p=0:s=x " + path + " > " + out);
  std::string s = lt::slurp(out);
  while (!s.empty() && (s.back() == '\n' || s.back() == 'x')) s.pop_back();
  return s;
}

TEST(VozazRender, FrameWritesCanvasOrCropSizedImages) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  const std::string quiet = " >/dev/null 2>&1";
  ASSERT_EQ(lt::run(kVozaz + " frame " + bundle + " --si 1 --drive 3 --out " + dir + "/f.png" + quiet), 0);
  EXPECT_EQ(probe(dir + "/f.png", "width,height"), "96x80");
  ASSERT_EQ(lt::run(kVozaz + " frame " + bundle + " --drive 3 --crop-only --out " + dir + "/c.png" + quiet), 0);
  EXPECT_EQ(probe(dir + "/c.png", "width,height"), "64x64");
  ASSERT_EQ(lt::run(kVozaz + " frame " + bundle + " --si 2 --drive 0 --rgba --out " + dir + "/a.png" + quiet), 0);
  EXPECT_EQ(probe(dir + "/a.png", "pix_fmt"), "rgba");
}

TEST(VozazRender, DriveWritesAVideoOfTheRequestedFrames) {
  const std::string dir = lt::scratchDir(), bundle = lt::fixture("bundle_director");
  ASSERT_EQ(lt::run(kVozaz + " drive " + bundle + " --frames 5 --threads 1 --out " + dir + "/d.mp4 > " + dir +
                    "/log 2>&1"),
            0)
      << lt::slurp(dir + "/log");
  EXPECT_EQ(probe(dir + "/d.mp4", "width,height,nb_read_frames"), "96x80x5");
  EXPECT_NE(lt::slurp(dir + "/log").find("5 frames of 96x80"), std::string::npos);
  EXPECT_FALSE(le::pathExists(dir + "/d.mp4.part"));

  ASSERT_EQ(lt::run(kVozaz + " drive " + bundle + " --frames 2 --out " + dir + "/png >/dev/null 2>&1"), 0);
  EXPECT_TRUE(le::pathExists(dir + "/png/frame_000001.png"));
  EXPECT_FALSE(le::pathExists(dir + "/png/frame_000002.png"));
}

}  // namespace
