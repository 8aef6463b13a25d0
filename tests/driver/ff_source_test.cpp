// FFmpeg sources checked against the ffmpeg command line's own decode of the
// same members, through rewinds and seeks, and every refusal they make.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "driver/driver_support.h"
#include "driver/ff_source.h"
#include "support/fixtures.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kVersion = std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                             std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
                             std::to_string(LIBAVCODEC_VERSION_MICRO);

uint8_t clamp8(int v) { return static_cast<uint8_t>(std::min(255, std::max(0, v))); }

// Reference RGB frames from ffmpeg's yuv420p output, BT.601 limited range
// with nearest chroma, written out here independently of the library.
std::vector<uint8_t> driverReference(const std::string& video, int W, int H) {
  const std::vector<uint8_t> yuv = lt::ffmpegDecode(video, "yuv420p");
  const size_t frameYuv = static_cast<size_t>(W) * H * 3 / 2;
  std::vector<uint8_t> rgb;
  for (size_t f = 0; f + frameYuv <= yuv.size(); f += frameYuv) {
    const uint8_t* Y = yuv.data() + f;
    const uint8_t* U = Y + W * H;
    const uint8_t* V = U + (W / 2) * (H / 2);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int c = 298 * (Y[y * W + x] - 16) + 128;
        const int d = U[(y / 2) * (W / 2) + x / 2] - 128;
        const int e = V[(y / 2) * (W / 2) + x / 2] - 128;
        rgb.push_back(clamp8((c + 409 * e) >> 8));
        rgb.push_back(clamp8((c - 100 * d - 208 * e) >> 8));
        rgb.push_back(clamp8((c + 516 * d) >> 8));
      }
  }
  return rgb;
}

// Reference 8-bit planes R, G, B of the prior from ffmpeg's yuv444p output.
std::vector<uint8_t> priorReference(const std::string& video, int side) {
  const std::vector<uint8_t> yuv = lt::ffmpegDecode(video, "yuv444p");
  const size_t plane = static_cast<size_t>(side) * side;
  std::vector<uint8_t> out(yuv.size());
  for (size_t f = 0; f + 3 * plane <= yuv.size(); f += 3 * plane)
    for (size_t p = 0; p < plane; ++p) {
      const int c = 76312 * (yuv[f + p] - 16), d = yuv[f + plane + p] - 128, e = yuv[f + 2 * plane + p] - 128;
      out[f + p] = clamp8((c + 104600 * e + 32768) >> 16);
      out[f + plane + p] = clamp8((c - 25672 * d - 53280 * e + 32768) >> 16);
      out[f + 2 * plane + p] = clamp8((c + 132200 * d + 32768) >> 16);
    }
  return out;
}

int maxDiff(const uint8_t* a, const uint8_t* b, size_t n) {
  int m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

// The playback order the tests drive: in order, looping twice, history hits,
// a backward seek, a forward jump.
const std::vector<int> kOrder = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 5, 3, 7, 1, 0, 6, 4, 2};

TEST(FfSource, DriverFramesMatchTheFfmpegDecodeExactly) {
  const std::string video = lt::fixture("driver_mp4/target_frames.mp4");
  const std::vector<uint8_t> ref = driverReference(video, 64, 48);
  const std::vector<uint8_t> rgb24 = lt::ffmpegDecode(video, "rgb24");
  const size_t fb = 64 * 48 * 3;
  ASSERT_EQ(ref.size(), 8 * fb);
  ASSERT_EQ(rgb24.size(), 8 * fb);
  auto cursor = le::DriverCursor::over(le::driver::openMp4(video, 8, 64, 48), 2, 3);
  std::vector<uint8_t> out(cursor->frameBytes);
  ASSERT_EQ(out.size(), fb);
  for (const int i : kOrder) {
    ASSERT_EQ(cursor->pullAt(i, out.data()), i);
    ASSERT_EQ(std::memcmp(out.data(), ref.data() + i * fb, fb), 0) << "frame " << i;
    // swscale rounds its own way: a few levels apart at most
    EXPECT_LE(maxDiff(out.data(), rgb24.data() + i * fb, fb), 3) << "frame " << i;
  }
  for (int k = 0; k < 10; ++k) {  // plain playback across the loop point
    const int i = cursor->pull(out.data());
    ASSERT_EQ(std::memcmp(out.data(), ref.data() + i * fb, fb), 0) << "frame " << i;
  }
  EXPECT_GE(cursor->seeks(), 2u);
}

TEST(FfSource, PriorPlanesMatchTheFfmpegDecodeExactly) {
  const std::string video = lt::fixture("driver_mp4/P_hevc.mov");
  const int side = 32;
  const size_t plane = side * side;
  const std::vector<uint8_t> ref = priorReference(video, side);
  const std::vector<uint8_t> rgb24 = lt::ffmpegDecode(video, "rgb24");
  ASSERT_EQ(ref.size(), 8 * 3 * plane);
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(video, 8, side), 2, 3);
  EXPECT_EQ(cursor->frameBytes, plane * 6);
  EXPECT_THAT(cursor->name, StartsWith("hevc444/libavcodec " + kVersion + " "));
  std::vector<uint8_t> out(cursor->frameBytes);
  for (const int i : kOrder) {
    ASSERT_EQ(cursor->pullAt(i, out.data()), i);
    const uint16_t* h = reinterpret_cast<const uint16_t*>(out.data());
    int worst = 0;
    for (int c = 0; c < 3; ++c)
      for (size_t p = 0; p < plane; ++p) {
        const uint8_t want = ref[(i * 3 + c) * plane + p];
        const double v = lt::halfValue(h[c * plane + p]);
        // the half is the nearest binary16 to want / 255
        ASSERT_NEAR(v, want / 255.0, std::ldexp(1.0, -12)) << "frame " << i << " plane " << c << " pixel " << p;
        ASSERT_EQ(std::lround(v * 255.0), want);
        worst = std::max(worst, std::abs(want - rgb24[(i * plane + p) * 3 + c]));
      }
    EXPECT_LE(worst, 3) << "frame " << i << " against ffmpeg's rgb24";
  }
}

TEST(FfSource, SourceSeeksAreFrameExactAndRewindRestarts) {
  const std::string video = lt::fixture("driver_mp4/target_frames.mp4");
  const std::vector<uint8_t> ref = driverReference(video, 64, 48);
  const size_t fb = 64 * 48 * 3;
  auto src = le::driver::openMp4(video, 8, 64, 48);
  std::vector<uint8_t> out(fb);
  for (int k = 0; k < 6; ++k) ASSERT_TRUE(src->next(out.data()));
  src->seek(2);  // behind: back to the start, decode 0 and 1 again
  ASSERT_TRUE(src->next(out.data()));
  EXPECT_EQ(std::memcmp(out.data(), ref.data() + 2 * fb, fb), 0);
  src->seek(6);  // ahead: decode 3..5 and discard
  ASSERT_TRUE(src->next(out.data()));
  EXPECT_EQ(std::memcmp(out.data(), ref.data() + 6 * fb, fb), 0);
  ASSERT_TRUE(src->next(out.data()));
  EXPECT_FALSE(src->next(out.data()));
  src->rewind();
  ASSERT_TRUE(src->next(out.data()));
  EXPECT_EQ(std::memcmp(out.data(), ref.data(), fb), 0);
  EXPECT_THAT([&] { src->seek(8); },
              ::testing::ThrowsMessage<std::runtime_error>("le_driver: seek outside the member"));
}

TEST(FfSource, ResidentBytesFollowTheLargestPacket) {
  const std::string video = lt::fixture("driver_mp4/target_frames.mp4");
  auto src = le::driver::openMp4(video, 8, 64, 48);
  std::vector<uint8_t> out(src->frameBytes());
  while (src->next(out.data())) {
  }
  const size_t threads = src->name().ends_with(" h264_cuvid") ? 1 : 4;
  EXPECT_EQ(src->residentBytes(), lt::ffprobeMaxPacket(video) + 64 * 48 * 3 / 2 * (threads + 5));

  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(lt::fixture("driver_mp4/P_hevc.mov"), 8, 32), 2, 11);
  for (int i = 0; i < 8; ++i) cursor->pull(out.data());
  EXPECT_EQ(cursor->residentBytes(),
            14 * 32 * 32 * 6 + lt::ffprobeMaxPacket(lt::fixture("driver_mp4/P_hevc.mov")) + 32 * 32 * 3 * (4 + 5));
}

TEST(FfSource, NamesTheBuildAndTheDecoder) {
  ::testing::internal::CaptureStderr();
  auto src = le::driver::openMp4(lt::fixture("driver_mp4/target_frames.mp4"), 8, 64, 48);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(src->name(), StartsWith("mp4/libavcodec " + kVersion + " "));
  if (src->name().ends_with(" h264")) {  // software: cuvid absent (silent) or refused (one line)
    if (!log.empty())
      EXPECT_THAT(log, HasSubstr("[le-driver] h264_cuvid refused " + lt::fixture("driver_mp4/target_frames.mp4") +
                                 " — falling back to the software h264 decoder (same samples, more CPU)\n"));
  } else {
    EXPECT_THAT(src->name(), EndsWith(" h264_cuvid"));
  }
  EXPECT_THAT(le::movieDecoderBuild(), StartsWith("libavcodec " + kVersion + " / "));
}

TEST(FfSource, HwdecZeroSkipsCuvidWithANote) {
  lt::ScopedEnv env("LE_DRIVER_HWDEC", "0");
  ::testing::internal::CaptureStderr();
  auto src = le::driver::openMp4(lt::fixture("driver_mp4/target_frames.mp4"), 8, 64, 48);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on "
            "this fleet (same samples)\n");
  EXPECT_EQ(src->name(), "mp4/libavcodec " + kVersion + " h264");
}

std::string openError(const std::string& path, int nt, int w, int h) {
  try {
    le::driver::openMp4(path, nt, w, h);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(opened)";
}

TEST(FfSource, RefusesMembersThatDisagreeWithTheManifest) {
  const std::string over = lt::fixture("driver_overcounted/target_frames.mp4");
  EXPECT_EQ(openError(over, 6, 64, 48), "le_driver: " + over +
                                            " carries 7 frames, the manifest says NT=6 — member/manifest mismatch, "
                                            "refusing");
  const std::string small = lt::fixture("driver_wrong_size/target_frames.mp4");
  EXPECT_EQ(openError(small, 6, 64, 48),
            "le_driver: " + small + " is 32x24, the manifest says 64x48 — refusing to rescale the driver");

  const std::string dir = lt::scratchDir();
  lt::spit(dir + "/junk.mp4", std::string(300, 'x'));
  EXPECT_EQ(openError(dir + "/junk.mp4", 6, 64, 48), "le_driver: " + dir + "/junk.mp4 is not a readable container");
  // 16-bit mono PCM WAV: a container with an audio stream only
  std::string wav = "RIFF";
  const uint32_t dataBytes = 3200, riff = 36 + dataBytes, fmtLen = 16, rate = 16000, byteRate = 32000;
  const uint16_t pcm = 1, mono = 1, align = 2, bits = 16;
  auto put = [&wav](const void* p, size_t n) { wav.append(static_cast<const char*>(p), n); };
  put(&riff, 4);
  wav += "WAVEfmt ";
  put(&fmtLen, 4), put(&pcm, 2), put(&mono, 2), put(&rate, 4), put(&byteRate, 4), put(&align, 2), put(&bits, 2);
  wav += "data";
  put(&dataBytes, 4);
  wav += std::string(dataBytes, '\0');
  lt::spit(dir + "/audio.mp4", wav);
  EXPECT_EQ(openError(dir + "/audio.mp4", 6, 64, 48), "le_driver: " + dir + "/audio.mp4 has no video stream");
}

TEST(FfSource, ShortUncountedDriverFailsTheCursor) {
  const std::string video = lt::fixture("driver_short/target_frames.mp4");
  auto cursor = le::DriverCursor::over(le::driver::openMp4(video, 8, 64, 48), 2, 2);
  std::vector<uint8_t> out(cursor->frameBytes);
  std::string text;
  int good = 0;
  for (int k = 0; k < 8 && text.empty(); ++k) try {
      cursor->pull(out.data());
      ++good;
    } catch (const std::runtime_error& e) {
      text = e.what();
    }
  EXPECT_LE(good, 6);
  EXPECT_EQ(text, "le_driver: " + cursor->name +
                      " ended after 6 frames, the manifest says NT=8 — a short driver is a session that stops part way "
                      "through the loop, refusing");
  EXPECT_THAT([&] { cursor->pullAt(0, out.data()); }, ::testing::ThrowsMessage<std::runtime_error>(text));
}

TEST(FfSource, RefusesASubsampledPrior) {
  const std::string video = lt::fixture("prior_420/P_hevc.mov");
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(video, 6, 32), 2, 0);
  std::vector<uint8_t> out(cursor->frameBytes);
  EXPECT_THAT([&] { cursor->pull(out.data()); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  "le_driver: " + video +
                  " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled prior is a "
                  "different mouth, refusing"));
}

}  // namespace
