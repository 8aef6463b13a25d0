// Windows, chunks and the final sequence against a double-precision
// reference of their arithmetic, with ONNX Runtime running the forged
// generator on the dumped conditioning rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/a2x_support.h"
#include "audio/motion_pipeline.h"
#include "support/fixtures.h"

namespace {

// The seed before the first chunk: pitch, yaw and roll logits, translation,
// scale, then the expression offsets of the character's descriptor.
std::vector<float> initialSeed() {
  const std::vector<float> ch = mt::table("ok", "/ch_xs_info.bin");
  std::vector<float> s(ch.begin() + 126, ch.begin() + 192);
  s.insert(s.end(), ch.begin() + 262, ch.begin() + 328);
  s.insert(s.end(), ch.begin() + 192, ch.begin() + 258);
  s.insert(s.end(), ch.begin() + 259, ch.begin() + 262);
  s.push_back(ch[258]);
  s.insert(s.end(), ch.begin(), ch.begin() + 63);
  return s;
}

// Frames a stream has made before finish after `pushed` samples: windows of
// 5 rows need 4480 samples past their first frame; chunk c needs 70c + 80 rows.
int madeBefore(int64_t pushed) {
  const int64_t windows = pushed >= 4480 ? (pushed - 4480) / 3200 + 1 : 0;
  const int64_t rows = 5 * windows;
  const int64_t chunks = rows >= 80 ? (rows - 80) / 70 + 1 : 0;
  return chunks ? static_cast<int>(80 + 70 * (chunks - 1)) : 0;
}

TEST(MotionChunks, BlendSeamsFinalAndSeedsEqualTheReference) {
  const std::string scratch = lt::scratchDir();
  const std::vector<float> audio = at::twoSentences();
  mt::Run run;
  {
    lt::ScopedEnv dump("LE_MOTION_DUMP", scratch.c_str());
    le_motion* m = le_motion_create(mt::dir().c_str(), 1, "");
    ASSERT_NE(m, nullptr) << le_motion_last_error();
    run = mt::stream(m, audio, 3200, [](le_motion* m, int64_t pushed, int pulled) {
      EXPECT_EQ(le_motion_total(m), -1);
      // Everything ready was pulled: exactly made - 1 frames, the newest held back.
      EXPECT_EQ(pulled, std::max(0, madeBefore(pushed) - 1)) << pushed;
    });
    le_motion_destroy(m);
  }
  const int total = run.total;
  ASSERT_EQ(total, static_cast<int>((audio.size() + 639) / 640));
  EXPECT_EQ(static_cast<int>(run.idx.size()), total);
  EXPECT_LT(run.pulledBeforeFinish, total);  // some chunks run only at finish

  // Conditioning rows: mean of two feature frames, emotion, eyes, scale.
  const std::vector<float> cond = lt::arrayOf(scratch + "/cond.bin");
  const int rows = static_cast<int>(cond.size() / 1103);
  EXPECT_EQ(rows, (total + 4) / 5 * 5);
  const std::vector<float> feat0 = lt::arrayOf(scratch + "/feat0.bin"), emo = mt::table("ok", "/emo.bin");
  const std::vector<float> sc = mt::table("ok", "/ch_sc.bin"), eo = mt::table("ok", "/ch_eye_open.bin");
  for (int k = 0; k < rows; ++k) {
    const float* r = &cond[static_cast<size_t>(k) * 1103];
    if (k < 5) {
      for (int c = 0; c < 1024; c += 97)
        EXPECT_NEAR(r[c], 0.5f * (feat0[(6 + 2 * k) * 1024 + c] + feat0[(7 + 2 * k) * 1024 + c]), 1e-6);
    }
    EXPECT_EQ(r[1024 + 3], emo[(k % 3) * 8 + 3]);
    EXPECT_EQ(r[1032], eo[0]);
    EXPECT_EQ(r[1102], sc[62]);
  }

  // The generator over the chunks a finished stream runs, blended in double.
  at::Oracle lmdm(mt::dir() + "/lmdm.onnx");
  const std::vector<float> init = initialSeed();
  EXPECT_EQ(lt::arrayOf(scratch + "/lmdm0_kp.bin"), init);
  std::vector<float> seed = init;
  std::vector<double> seq;
  int chunks = 0;
  for (int c = 0; 70 * c < total && 70 * c < rows; ++c, ++chunks) {
    std::vector<float> block(80 * 1103);
    for (int i = 0; i < 80; ++i)
      std::copy_n(&cond[static_cast<size_t>(std::min(70 * c + i, total - 1)) * 1103], 1103, &block[i * 1103]);
    const std::vector<float> pred = lmdm.run({"cond", "seed"}, {&block, &seed}, {{1, 80, 1103}, {1, 265}}, "motion");
    if (seq.empty()) {
      seq.assign(pred.begin(), pred.end());
      mt::smooth(seq, 0, 80);
    } else {
      const int n = static_cast<int>(seq.size() / 265);
      for (int i = 0; i < 10; ++i)
        for (int k = 0; k < 265; ++k) {
          double& s = seq[static_cast<size_t>(n - 10 + i) * 265 + k];
          s = (1 - i / 10.0) * s + (i / 10.0) * pred[i * 265 + k];
        }
      seq.insert(seq.end(), pred.begin() + 10 * 265, pred.end());
      mt::smooth(seq, n - 10, 11);
    }
    const size_t at = seq.size() - 11 * 265;
    for (int k = 0; k < 202; ++k) seed[k] = static_cast<float>(seq[at + k]);
  }
  EXPECT_GE(chunks, 3);
  const std::vector<float> res = lt::arrayOf(scratch + "/res_post.bin");
  ASSERT_EQ(res.size(), seq.size());
  for (size_t i = 0; i < res.size(); ++i)
    ASSERT_NEAR(res[i], seq[i], 2e-6 * std::max(1.0, std::abs(seq[i]))) << "frame " << i / 265;

  seq.resize(static_cast<size_t>(total) * 265);
  mt::smooth(seq, 0, total);
  const std::vector<float> mm = mt::table("ok", "/v_min_max.bin"), fin = lt::arrayOf(scratch + "/final.bin");
  ASSERT_EQ(fin.size(), seq.size());
  int clamped = 0;
  for (size_t i = 0; i < fin.size(); ++i) {
    const size_t c = i % 265;
    const double want = std::min<double>(std::max<double>(seq[i], mm[c]), mm[265 + c]);
    clamped += want != seq[i];
    ASSERT_NEAR(fin[i], want, 2e-5) << "frame " << i / 265 << " component " << c;
  }
  EXPECT_GT(clamped, 0);
}

// A long utterance streamed without the dump drops what it no longer reads
// and pulls the same rows as one that keeps everything (the dump does).
// Eager mode lets frames out long before a whole chunk of audio and leaves
// the real chunks as they were.
TEST(MotionChunks, LongStreamsTrimAndPullTheSameRowsEagerOrNot) {
  const std::vector<float> audio = at::twoSentences(16000 * 40);
  const std::string dumps[] = {lt::scratchDir() + "/off", lt::scratchDir() + "/on"};
  lt::run("mkdir -p " + dumps[0] + " " + dumps[1]);
  std::vector<mt::Run> kept;
  int64_t firstPull[2] = {0, 0};
  for (int eager : {0, 1}) {
    SCOPED_TRACE(eager ? "eager" : "not eager");
    std::vector<mt::Run> runs;
    size_t early = 0, late = 0;
    for (bool keepAll : {true, false}) {
      lt::ScopedEnv dump("LE_MOTION_DUMP", keepAll ? dumps[eager].c_str() : nullptr);
      le_motion* m = le_motion_create(mt::dir().c_str(), 1, "");
      ASSERT_NE(m, nullptr) << le_motion_last_error();
      le_motion_set_eager(m, eager);
      const auto* pipeline = reinterpret_cast<const le::motion::Pipeline*>(m);
      runs.push_back(mt::stream(m, audio, 3200, [&](le_motion* mm, int64_t pushed, int pulled) {
        // Never a frame past the audio heard, nor the newest frame made.
        EXPECT_LE(pulled, std::max<int64_t>(0, pushed / 640 - 1)) << pushed;
        EXPECT_EQ(le_motion_avail(mm), 0);
        if (pulled > 0 && !firstPull[eager]) firstPull[eager] = pushed;
        if (keepAll) return;
        if (pushed <= 16000 * 10) early = pipeline->retainedFloats();
        late = pipeline->retainedFloats();
      }));
      le_motion_destroy(m);
    }
    EXPECT_EQ(runs[0].total, runs[1].total);
    EXPECT_EQ(runs[0].idx, runs[1].idx);
    EXPECT_EQ(runs[0].xd, runs[1].xd);
    EXPECT_LE(late, early * 3 / 2) << "retained floats after 10 s " << early << ", after 40 s " << late;
    kept.push_back(runs[0]);
  }
  EXPECT_LT(firstPull[1], firstPull[0] / 4);
  EXPECT_GT(kept[1].pulledBeforeFinish, kept[0].pulledBeforeFinish);
  EXPECT_EQ(kept[1].total, kept[0].total);
  EXPECT_EQ(kept[1].idx, kept[0].idx);
  for (const char* file : {"/res_post.bin", "/final.bin", "/cond.bin", "/lmdm0_pred.bin"})
    EXPECT_EQ(lt::arrayOf(dumps[0] + file), lt::arrayOf(dumps[1] + file)) << file;
}

}  // namespace
