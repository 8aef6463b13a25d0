// le_fca: deltas against numpy doing the arithmetic (windows, fill rule,
// six-layer mean, percentile threshold, running voiced mean, clamped context)
// with ONNX Runtime running the forged encoder and fca model; the refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "audio/a2x_support.h"
#include "le/le_cpp.h"
#include "support/fixtures.h"

extern "C" int le_test_offline_headers_from_c(void);

namespace {

const std::string kW2v = lt::fixture("w2v/w2v8.onnx"), kModel = lt::fixture("bundle_director/fca_stream.onnx");

// "windows" writes the normalised 8 s windows; "cond" the cond rows from the encoder's outputs.
const char* kReference = R"(import sys
import numpy as np
mode, d, F = sys.argv[1], sys.argv[2], int(sys.argv[3])
starts = range(0, F, 100)
if mode == "windows":
    a = np.fromfile(d + "/audio.f32", np.float32).astype(np.float64)
    for w, f0 in enumerate(starts):
        x = np.zeros(128000)
        x[:len(a[f0 * 640:f0 * 640 + 128000])] = a[f0 * 640:f0 * 640 + 128000]
        ((x - x.mean()) / np.sqrt(x.var() + 1e-7)).astype(np.float32).tofile("%s/win%d.f32" % (d, w))
    sys.exit(0)
feat, filled = np.zeros((F, 768)), np.zeros(F, bool)
for w, f0 in enumerate(starts):
    emb = np.fromfile("%s/emb%d.f32" % (d, w), np.float32).astype(np.float64).reshape(12, 200, 768)
    for k in range(f0 if f0 == 0 else f0 + 50, min(f0 + 200, F)):
        if not filled[k]:
            feat[k], filled[k] = emb[4:10, k - f0].mean(0), True
norms, total, count, norm = np.linalg.norm(feat, axis=1), np.zeros(768), 0, np.zeros_like(feat)
for t in range(F):
    if norms[t] > (0.0 if t <= 6 else np.percentile(norms[:t + 1], 20)):
        total, count = total + feat[t], count + 1
    norm[t] = feat[t] - total / max(count, 1)
idx = np.clip(np.arange(F)[:, None] + np.arange(-1, 6)[None, :], 0, F - 1)
norm[idx].reshape(F, 5376).astype(np.float32).tofile(d + "/cond.f32")
)";

std::vector<float> referenceDeltas(const std::vector<float>& audio) {
  const std::string d = lt::scratchDir(), py = std::string(LE_TEST_PYTHON) + " " + d + "/ref.py ";
  const int frames = static_cast<int>((audio.size() + 639) / 640);
  const auto spit = [](const std::string& path, const std::vector<float>& v) {
    lt::spit(path, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float)));
  };
  lt::spit(d + "/ref.py", kReference);
  spit(d + "/audio.f32", audio);
  EXPECT_EQ(lt::run(py + "windows " + d + " " + std::to_string(frames)), 0);
  at::Oracle encoder(kW2v), model(kModel);
  for (int w = 0; w * 100 < frames; ++w) {
    std::vector<float> win = lt::arrayOf(d + "/win" + std::to_string(w) + ".f32");
    spit(d + "/emb" + std::to_string(w) + ".f32", encoder.run({"input_values"}, {&win}, {{1, 128000}}, "audio_emb"));
  }
  EXPECT_EQ(lt::run(py + "cond " + d + " " + std::to_string(frames)), 0);
  const std::vector<float> cond = lt::arrayOf(d + "/cond.f32");
  std::vector<float> prev(63, 0.0f), h(384, 0.0f), out;
  for (int t = 0; t < frames; ++t) {  // the autoregression from zeros
    std::vector<float> c(cond.begin() + t * 5376, cond.begin() + (t + 1) * 5376);
    const std::vector<std::vector<int64_t>> shapes = {{1, 5376}, {1, 63}, {1, 1, 384}};
    const std::vector<float> m = model.run({"cond", "prev", "h"}, {&c, &prev, &h}, shapes, "m");
    h = model.run({"cond", "prev", "h"}, {&c, &prev, &h}, shapes, "hn");
    prev = m;
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
}

TEST(FcaDeltas, EqualTheNumpyReference) {
  std::vector<float> longer = at::twoSentences();  // 10.3 s: the second window fills frames 200 on
  // A faint hiss: frames of exact digital silence have equal norms that tie
  // with the threshold, and the side of a tie rounding picks is not under test.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> hiss(-5e-4f, 5e-4f);
  for (float& v : longer) v += hiss(rng);
  std::vector<float> eight(longer.begin() + 20000, longer.begin() + 20000 + 8 * 640);  // only frame 7 thresholds
  le_fca_ptr fca(le_fca_create(kW2v.c_str(), kModel.c_str(), 1));
  ASSERT_TRUE(fca) << le_fca_last_error();
  double lip = 0;
  for (const std::vector<float>* audio : {&longer, &eight}) {
    const int frames = static_cast<int>((audio->size() + 639) / 640);
    std::vector<float> ours(frames * 63);
    ASSERT_EQ(le_fca_deltas(fca.get(), audio->data(), static_cast<int>(audio->size()), ours.data(), frames), frames);
    const std::vector<float> ref = referenceDeltas(*audio);
    ASSERT_EQ(ref.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i) ASSERT_NEAR(ours[i], ref[i], 1e-6) << "frame " << i / 63 << " " << i % 63;
    for (int t = 0; t < frames; ++t) lip = std::max<double>(lip, ours[t * 63 + 20 * 3 + 1]);
  }
  EXPECT_GT(lip, 0.03);  // the lower lip really moves with the speech
}

TEST(FcaDeltas, RefusalsLeaveOneSentence) {
  EXPECT_EQ(le_test_offline_headers_from_c(), -1);  // the headers compile as C
  const struct {
    const char *encoder, *model;
    std::string error;
  } creates[] = {
      {nullptr, kModel.c_str(), "le_fca_create: NULL encoder/fca path"},
      {kW2v.c_str(), "/nonexistent/fca_stream.onnx", "le_fca_create: "},
      {kW2v.c_str(), kW2v.c_str(), "le_fca_create: w2v8.onnx has no input \"cond\" (" + kW2v + ")"},
      {kModel.c_str(), kModel.c_str(), "le_fca_create: fca_stream.onnx has no input \"input_values\" ("},
  };
  for (const auto& c : creates) {
    EXPECT_EQ(le_fca_create(c.encoder, c.model, 1), nullptr);
    EXPECT_THAT(le_fca_last_error(), testing::StartsWith(c.error));
  }
  le_fca_ptr fca(le_fca_create(kW2v.c_str(), kModel.c_str(), 1));
  std::vector<float> audio(641, 0.1f), out(2 * 63);
  const struct {
    const float* audio;
    int n, max, result;
    const char* error;
  } runs[] = {
      {audio.data(), 641, 1, -1, "le_fca_deltas: 2 frames do not fit max_frames 1"},
      {nullptr, 641, 2, -1, "le_fca_deltas: NULL fca/audio/out"},
      {audio.data(), 0, 0, 0, ""},
      {audio.data(), 1, 1, 1, ""},  // one sample is one frame
  };
  for (const auto& r : runs) {
    EXPECT_EQ(le_fca_deltas(fca.get(), r.audio, r.n, out.data(), r.max), r.result) << r.error;
    EXPECT_STREQ(le_fca_last_error(), r.error);
  }
}

}  // namespace
