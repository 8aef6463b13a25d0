// FFmpeg sources against the ffmpeg command line's decode, through rewinds and seeks, and their refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "driver/cursor.h"
#include "driver/ff_source.h"
#include "support/fixtures.h"

namespace {

using ::testing::StartsWith;

const std::string kVersion = std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
                             "." + std::to_string(LIBAVCODEC_VERSION_MICRO);
const std::string kMp4 = lt::fixture("driver_mp4/target_frames.mp4"), kHevc = lt::fixture("driver_mp4/P_hevc.mov");
constexpr size_t kFb = 64 * 48 * 3;
// In order, looping twice, history hits, a backward seek, a forward jump.
const std::vector<int> kOrder = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 5, 3, 7, 1, 0, 6, 4, 2};

uint8_t clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Every frame as the ffmpeg command line decodes it to pix_fmt.
std::vector<uint8_t> ffmpegDecode(const std::string& video, const std::string& pixFmt) {
  const std::string b =
      lt::capture("ffmpeg -nostdin -v error -i '" + video + "' -vsync passthrough -f rawvideo -pix_fmt " + pixFmt + " -");
  return {b.begin(), b.end()};
}

// Largest packet of the first video stream, as ffprobe reports it.
size_t maxPacket(const std::string& video) {
  std::istringstream text(
      lt::capture("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 '" + video + "'"));
  size_t best = 0;
  for (size_t n; text >> n;) best = std::max(best, n);
  return best;
}

TEST(FfSource, DriverFramesMatchTheFfmpegDecodeExactly) {
  // RGB from ffmpeg's yuv420p, BT.601 limited range with nearest chroma, written out independently of the library.
  const std::vector<uint8_t> yuv = ffmpegDecode(kMp4, "yuv420p"), rgb24 = ffmpegDecode(kMp4, "rgb24");
  ASSERT_EQ(yuv.size() * 2, rgb24.size());
  ASSERT_EQ(rgb24.size(), 8 * kFb);
  std::vector<uint8_t> ref;
  for (size_t f = 0; f < yuv.size(); f += kFb / 2)
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        const uint8_t *Y = &yuv[f], *U = Y + 64 * 48, *V = U + 64 * 48 / 4;
        const auto rgb = lt::refBt601(Y[y * 64 + x], U[y / 2 * 32 + x / 2], V[y / 2 * 32 + x / 2]);
        ref.insert(ref.end(), rgb.begin(), rgb.end());
      }
  auto cursor = le::DriverCursor::over(le::driver::openMp4(kMp4, 8, 64, 48), 2, 3);
  std::vector<uint8_t> out(kFb);
  for (size_t k = 0; k < kOrder.size() + 10; ++k) {  // then plain playback across the loop point
    const int i = k < kOrder.size() ? cursor->pullAt(kOrder[k], out.data()) : cursor->pull(out.data());
    ASSERT_TRUE(k >= kOrder.size() || i == kOrder[k]);
    ASSERT_EQ(std::memcmp(out.data(), &ref[i * kFb], kFb), 0) << "frame " << i;
    int worst = 0;  // swscale rounds its own way
    for (size_t b = 0; b < kFb; ++b) worst = std::max(worst, std::abs(out[b] - rgb24[i * kFb + b]));
    EXPECT_LE(worst, 3) << "frame " << i;
  }
  EXPECT_GE(cursor->seeks(), 2u);
}

TEST(FfSource, PriorPlanesMatchTheFfmpegDecodeExactly) {
  const size_t plane = 32 * 32;
  const std::vector<uint8_t> yuv = ffmpegDecode(kHevc, "yuv444p"), rgb24 = ffmpegDecode(kHevc, "rgb24");
  ASSERT_EQ(yuv.size(), 8 * 3 * plane);
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(kHevc, 8, 32), 2, 3);
  EXPECT_THAT(cursor->name, StartsWith("hevc444/libavcodec " + kVersion + " "));
  std::vector<uint8_t> out(plane * 6);
  for (const int i : kOrder) {
    ASSERT_EQ(cursor->pullAt(i, out.data()), i);
    const uint16_t* h = reinterpret_cast<const uint16_t*>(out.data());
    int worst = 0;
    for (size_t p = 0; p < plane; ++p) {
      const uint8_t* f = &yuv[i * 3 * plane + p];  // 8-bit R, G, B from ffmpeg's yuv444p, written out independently
      const int c = 76312 * (f[0] - 16), d = f[plane] - 128, e = f[2 * plane] - 128;
      const uint8_t want[3] = {clamp8((c + 104600 * e + 32768) >> 16),
                               clamp8((c - 25672 * d - 53280 * e + 32768) >> 16),
                               clamp8((c + 132200 * d + 32768) >> 16)};
      for (int ch = 0; ch < 3; ++ch) {
        // the binary16 nearest to want / 255
        ASSERT_NEAR(lt::refWiden(h[ch * plane + p]), want[ch] / 255.0, std::ldexp(1.0, -12))
            << "frame " << i << " plane " << ch << " px " << p;
        worst = std::max(worst, std::abs(want[ch] - rgb24[(i * plane + p) * 3 + ch]));
      }
    }
    EXPECT_LE(worst, 3) << "frame " << i << " against ffmpeg's rgb24";
  }
}

TEST(FfSource, ResidentBytesFollowTheLargestPacket) {
  auto src = le::driver::openMp4(kMp4, 8, 64, 48);
  std::vector<uint8_t> out(src->frameBytes());
  while (src->next(out.data())) continue;
  EXPECT_EQ(src->residentBytes(), maxPacket(kMp4) + kFb / 2 * ((src->name().ends_with(" h264_cuvid") ? 1 : 4) + 5));
  auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(kHevc, 8, 32), 2, 11);
  for (int i = 0; i < 8; ++i) cursor->pull(out.data());
  EXPECT_EQ(cursor->residentBytes(), 14 * 32 * 32 * 6 + maxPacket(kHevc) + 32 * 32 * 3 * (4 + 5));
}

TEST(FfSource, RefusalsAndNames) {
  const std::string dir = lt::scratchDir(), junk = dir + "/junk.mp4", audio = dir + "/audio.mp4";
  lt::spit(junk, std::string(300, 'x'));
  ASSERT_EQ(lt::run("ffmpeg -nostdin -v error -f lavfi -i anullsrc=r=16000:cl=mono -t 0.1 -f wav '" + audio + "'"), 0);
  const std::string over = lt::fixture("driver_overcounted/target_frames.mp4"),
                    small = lt::fixture("driver_wrong_size/target_frames.mp4"),
                    prior420 = lt::fixture("prior_420/P_hevc.mov");
  auto shortDriver =
      le::DriverCursor::over(le::driver::openMp4(lt::fixture("driver_short/target_frames.mp4"), 8, 64, 48), 2, 2);
  const std::string shortText = "le_driver: " + shortDriver->name +
                                " ended after 6 frames, the manifest says NT=8 — a short driver is a session that "
                                "stops part way through the loop, refusing";
  std::vector<uint8_t> out(kFb);
  int good = 0;
  const struct {
    std::function<void()> call;
    std::string text;
  } cases[] = {
      {[&] { le::driver::openMp4(over, 6, 64, 48); },
       "le_driver: " + over + " carries 7 frames, the manifest says NT=6 — member/manifest mismatch, refusing"},
      {[&] { le::driver::openMp4(small, 6, 64, 48); },
       "le_driver: " + small + " is 32x24, the manifest says 64x48 — refusing to rescale the driver"},
      {[&] { le::driver::openMp4(junk, 6, 64, 48); }, "le_driver: " + junk + " is not a readable container"},
      {[&] { le::driver::openMp4(audio, 6, 64, 48); }, "le_driver: " + audio + " has no video stream"},
      {[&] { le::driver::openMp4(kMp4, 8, 64, 48)->seek(8); }, "le_driver: seek outside the member"},
      {[&] {
         for (; good < 8; ++good) shortDriver->pull(out.data());
       },
       shortText},
      {[&] { shortDriver->pullAt(0, out.data()); }, shortText},  // sticky
      {[&] { le::DriverCursor::over(le::driver::openPriorHevc(prior420, 6, 32), 2, 0)->pull(out.data()); },
       "le_driver: " + prior420 +
           " decoded to yuv420p, not the yuv444p a warp prior is authored in — a subsampled prior is a different "
           "mouth, refusing"},
  };
  for (const auto& c : cases) EXPECT_EQ(lt::errorOf(c.call), c.text);
  EXPECT_LE(good, 6);
  EXPECT_THAT(le::movieDecoderBuild(), StartsWith("libavcodec " + kVersion + " / "));
  lt::ScopedEnv env("LE_DRIVER_HWDEC", "0");
  EXPECT_EQ(lt::stderrOf([] {
              EXPECT_EQ(le::driver::openMp4(kMp4, 8, 64, 48)->name(), "mp4/libavcodec " + kVersion + " h264");
            }),
            "[le-driver] LE_DRIVER_HWDEC=0 — h264_cuvid not attempted; the software decoder is the one decoder on this "
            "fleet (same samples)\n");
}

}  // namespace
