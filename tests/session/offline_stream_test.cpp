// le_stream: every frame equals le_render_kp_crop + le_paste_crop on a second
// context of the row it stands for (the idle walk's index, xs + gain * delta),
// delivered in order from 0; and the family's refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/a2x_support.h"
#include "le/le_cpp.h"
#include "le/le_fca.h"
#include "le/le_stream.h"
#include "support/fixtures.h"

extern "C" int le_test_stream_header_from_c(void);

namespace {

using ::testing::StartsWith;

const std::string kW2v = lt::fixture("w2v/w2v8.onnx");

struct StreamDeleter {
  void operator()(le_stream* s) const { le_stream_destroy(s); }
};
using Stream = std::unique_ptr<le_stream, StreamDeleter>;

struct Frames {
  std::vector<int> order;
  std::vector<std::vector<uint8_t>> rgb;
  static void take(void* user, int frame, const uint8_t* rgb, int w, int h) {
    auto* self = static_cast<Frames*>(user);
    self->order.push_back(frame);
    self->rgb.emplace_back(rgb, rgb + static_cast<size_t>(w) * h * 3);
  }
};

// What frame r of a run must be, built from the public calls on a second context.
std::vector<std::vector<uint8_t>> expected(const std::string& bundle, const std::vector<float>& audio, int skip,
                                           float gain) {
  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", 1, ""));
  le_fca* fca = le_fca_create(kW2v.c_str(), (bundle + "/fca_stream.onnx").c_str(), 1);
  const int frames = static_cast<int>((audio.size() + 639) / 640), nt = le_nt(ctx.get());
  std::vector<float> deltas(frames * 63);
  EXPECT_EQ(le_fca_deltas(fca, audio.data(), static_cast<int>(audio.size()), deltas.data(), frames), frames);
  le_fca_destroy(fca);
  const std::vector<float> xs = at::loadF32(bundle + "/xs_target.bin");
  std::vector<std::vector<uint8_t>> out;
  for (int k = skip; k < frames; ++k) {
    const int i = k % nt;
    std::vector<float> xd(&xs[i * 63], &xs[i * 63] + 63);
    for (int c = 0; c < 63; ++c) xd[c] += gain * deltas[k * 63 + c];
    const float* crop = le_render_kp_crop(ctx.get(), i, &xs[i * 63], xd.data());
    out.emplace_back(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3);
    EXPECT_EQ(le_paste_crop(ctx.get(), i, crop, out.back().data(), out.back().size()), 1) << le_last_error();
  }
  return out;
}

TEST(OfflineStream, FramesEqualRenderAndPasteOfTheirRows) {
  const std::vector<float> speech = at::speech();
  const std::vector<float> audio(speech.begin() + 8000, speech.begin() + 8000 + 20 * 640 - 100);  // 20 frames
  struct Case {
    const char* bundle;
    int skip;
    float gain;
  } cases[] = {{"bundle_director", 0, 1.0f},
               {"bundle_director", 3, 2.5f},
               {"bundle_director", 0, 0.0f},
               {"bundle_stream_nt1", 4, 1.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bundle) + " skip " + std::to_string(c.skip) + " gain " + std::to_string(c.gain));
    const std::string bundle = lt::fixture(c.bundle);
    Stream s(le_stream_create(bundle.c_str(), kW2v.c_str(), 1, c.skip, c.gain));
    ASSERT_TRUE(s) << le_stream_last_error();
    Frames got;
    ASSERT_EQ(le_stream_run(s.get(), audio.data(), static_cast<int>(audio.size()), Frames::take, &got), 20 - c.skip)
        << le_stream_last_error();
    const auto want = expected(bundle, audio, c.skip, c.gain);
    ASSERT_EQ(got.rgb.size(), want.size());
    for (size_t r = 0; r < want.size(); ++r) {
      EXPECT_EQ(got.order[r], static_cast<int>(r));
      EXPECT_TRUE(got.rgb[r] == want[r]) << "frame " << r;
    }
    // Nothing left after skipping, or no audio: no frame at all.
    EXPECT_EQ(le_stream_run(s.get(), audio.data(), c.skip * 640, Frames::take, &got), 0);
    EXPECT_EQ(le_stream_run(s.get(), audio.data(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(got.rgb.size(), want.size());
    EXPECT_STREQ(le_stream_last_error(), "");
  }
}

TEST(OfflineStream, RefusalsLeaveOneSentence) {
  EXPECT_EQ(le_test_stream_header_from_c(), 0);
  const std::string director = lt::fixture("bundle_director");
  const std::string shortXs = lt::copyFixture("bundle_director"), brokenFrame = lt::copyFixture("bundle_stream_nt1");
  lt::spit(shortXs + "/xs_target.bin", lt::slurp(director + "/xs_target.bin").substr(4));
  lt::spit(brokenFrame + "/target_frames/frame_000000.jpg", "not a jpeg");
  struct Case {
    std::string bundle, w2v, error;
  } cases[] = {
      {"", kW2v, "le_create: le_create: "},
      {director, "/nonexistent/w2v8.onnx", "le_fca_create: le_fca_create: "},
      {lt::fixture("bundle_featsynth"), kW2v, "le_fca_create: le_fca_create: "},  // no fca_stream.onnx
      {shortXs, kW2v, "le_stream_create: cannot read xs_target.bin (NT*63 f32)"},
  };
  for (const Case& c : cases) {
    lt::stderrOf([&] {
      EXPECT_EQ(le_stream_create(c.bundle.empty() ? nullptr : c.bundle.c_str(), c.w2v.c_str(), 1, 0, 1), nullptr);
    });
    EXPECT_THAT(le_stream_last_error(), StartsWith(c.error));
  }
  std::vector<float> audio(3000, 0.0f);
  EXPECT_EQ(le_stream_run(nullptr, audio.data(), 3000, nullptr, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: NULL stream/audio");
  Stream s(le_stream_create(brokenFrame.c_str(), kW2v.c_str(), 1, 0, 1));
  ASSERT_TRUE(s) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s.get()), 96);
  EXPECT_EQ(le_stream_height(s.get()), 80);
  const std::string log =
      lt::stderrOf([&] { EXPECT_EQ(le_stream_run(s.get(), audio.data(), 3000, nullptr, nullptr), -1); });
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_THAT(log, testing::HasSubstr("[le_stream] frame 0: le_paste_crop: "));
}

}  // namespace
