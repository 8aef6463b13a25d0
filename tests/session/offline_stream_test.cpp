// le_stream: every frame equals le_render_kp_crop + le_paste_crop on a second
// context of the row it stands for (the idle walk's index, xs + gain * delta),
// delivered in order from 0; and the family's refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/a2x_support.h"
#include "le/le_cpp.h"
#include "support/fixtures.h"

namespace {

const std::string kW2v = lt::fixture("w2v/w2v8.onnx");

// Frames as the callback hands them over; one whose number is not the next is
// recorded as a single zero byte, which equals no frame.
void take(void* user, int frame, const uint8_t* rgb, int w, int h) {
  auto* frames = static_cast<std::vector<std::vector<uint8_t>>*>(user);
  frames->emplace_back(rgb, rgb + static_cast<size_t>(w) * h * 3);
  if (frame != static_cast<int>(frames->size()) - 1) frames->back().assign(1, 0);
}

// Frame k - skip of a run, from the public calls on a second context and fca object.
std::vector<std::vector<uint8_t>> expected(const std::string& bundle, const std::vector<float>& audio, int skip,
                                           float gain) {
  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", 1, ""));
  le_fca_ptr fca(le_fca_create(kW2v.c_str(), (bundle + "/fca_stream.onnx").c_str(), 1));
  const int frames = static_cast<int>((audio.size() + 639) / 640), nt = le_nt(ctx.get());
  std::vector<float> d(frames * 63), xs = lt::arrayOf(bundle + "/xs_target.bin");
  EXPECT_EQ(le_fca_deltas(fca.get(), audio.data(), static_cast<int>(audio.size()), d.data(), frames), frames);
  std::vector<std::vector<uint8_t>> out;
  for (int k = skip; k < frames; ++k) {
    std::vector<float> xd(&xs[k % nt * 63], &xs[k % nt * 63] + 63);
    for (int c = 0; c < 63; ++c) xd[c] += gain * d[k * 63 + c];
    out.emplace_back(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3);
    const float* crop = le_render_kp_crop(ctx.get(), k % nt, &xs[k % nt * 63], xd.data());
    EXPECT_EQ(le_paste_crop(ctx.get(), k % nt, crop, out.back().data(), out.back().size()), 1) << le_last_error();
  }
  return out;
}

TEST(OfflineStream, FramesEqualRenderAndPasteOfTheirRows) {
  const std::vector<float> speech = at::speech();
  const std::vector<float> audio(speech.begin() + 8000, speech.begin() + 8000 + 20 * 640 - 100);  // 20 frames
  const struct {
    const char* bundle;
    int skip;
    float gain;
  } cases[] = {{"bundle_director", 0, 1.0f},
               {"bundle_director", 3, 2.5f},
               {"bundle_director", 0, 0.0f},
               {"bundle_stream_nt1", 4, 1.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " skip " + std::to_string(c.skip) + " gain " + std::to_string(c.gain));
    const std::string bundle = lt::fixture(c.bundle);
    le_stream_ptr s(le_stream_create(bundle.c_str(), kW2v.c_str(), 1, c.skip, c.gain));
    ASSERT_TRUE(s) << le_stream_last_error();
    std::vector<std::vector<uint8_t>> got;
    ASSERT_EQ(le_stream_run(s.get(), audio.data(), static_cast<int>(audio.size()), take, &got), 20 - c.skip)
        << le_stream_last_error();
    EXPECT_TRUE(got == expected(bundle, audio, c.skip, c.gain));
    // Nothing left after skipping, or no audio: no frame at all.
    EXPECT_EQ(le_stream_run(s.get(), audio.data(), c.skip * 640, take, &got), 0);
    EXPECT_EQ(le_stream_run(s.get(), audio.data(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(got.size(), 20u - c.skip);
    EXPECT_STREQ(le_stream_last_error(), "");
  }
}

TEST(OfflineStream, RefusalsLeaveOneSentence) {
  const std::string director = lt::fixture("bundle_director");
  const std::string shortXs = lt::copyFixture("bundle_director"), badFrame = lt::copyFixture("bundle_stream_nt1");
  lt::spit(shortXs + "/xs_target.bin", lt::slurp(director + "/xs_target.bin").substr(4));
  lt::spit(badFrame + "/target_frames/frame_000000.jpg", "not a jpeg");
  const struct {
    std::string bundle, w2v, error;
  } cases[] = {
      {"", kW2v, "le_create: le_create: NULL bundle_dir/model_key"},
      {director, "/nonexistent/w2v8.onnx", "le_fca_create: le_fca_create: "},
      {lt::fixture("bundle_featsynth"), kW2v, "le_fca_create: le_fca_create: "},  // no fca_stream.onnx
      {shortXs, kW2v, "le_stream_create: cannot read xs_target.bin (NT*63 f32)"},
  };
  for (const auto& c : cases) {
    lt::stderrOf([&] {
      EXPECT_EQ(le_stream_create(c.bundle.empty() ? nullptr : c.bundle.c_str(), c.w2v.c_str(), 1, 0, 1), nullptr);
    });
    EXPECT_THAT(le_stream_last_error(), testing::StartsWith(c.error));
  }
  std::vector<float> audio(3000, 0.0f);
  EXPECT_EQ(le_stream_run(nullptr, audio.data(), 3000, nullptr, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: NULL stream/audio");
  le_stream_ptr s(le_stream_create(badFrame.c_str(), kW2v.c_str(), 1, 0, 1));
  ASSERT_TRUE(s) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s.get()) * 1000 + le_stream_height(s.get()), 96080);
  const std::string log =
      lt::stderrOf([&] { EXPECT_EQ(le_stream_run(s.get(), audio.data(), 3000, nullptr, nullptr), -1); });
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_THAT(log, testing::HasSubstr("[le_stream] frame 0: le_paste_crop: "));
}

}  // namespace
