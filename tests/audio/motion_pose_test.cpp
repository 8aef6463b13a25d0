// Keypoints from motion: bin66 and poseToR against double precision, and
// every emitted frame (lip ratio, the delta_pitch rotation, the stitch
// bridge) against a double-precision reference with ONNX Runtime running
// the forged stitch model.
#include "audio/motion_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audio/a2x_support.h"
#include "support/fixtures.h"

namespace {

TEST(MotionPose, Bin66AndPoseToREqualDoublePrecision) {
  std::mt19937 rng(5);
  std::normal_distribution<float> n(0.0f, 3.0f);
  for (int trial = 0; trial < 20; ++trial) {
    float logits[66];
    for (float& l : logits) l = n(rng) + (trial == 0 ? 1000.0f : 0.0f);  // large logits must not overflow
    EXPECT_NEAR(le::motion::bin66(logits), mt::bin66(logits), 2e-4);
    const float p = n(rng) * 10, y = n(rng) * 10, r = n(rng) * 10;
    const std::array<float, 9> ours = le::motion::poseToR(p, y, r);
    const std::array<double, 9> ref = mt::poseToR(p, y, r);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(ours[i], ref[i], 2e-6) << "trial " << trial << " element " << i;
  }
  float flat[66] = {};
  EXPECT_FLOAT_EQ(le::motion::bin66(flat), 0.0f);  // uniform: 3 * 32.5 - 97.5
}

struct Frames {
  std::vector<float> fin, xsla, xdla;
  mt::Run run;
};

Frames finishedRun(const char* name) {
  Frames f;
  const std::string scratch = lt::scratchDir() + "/" + name;
  lt::run("mkdir -p " + scratch);
  lt::ScopedEnv dump("LE_MOTION_DUMP", scratch.c_str());
  le_motion* m = le_motion_create(mt::dir(name).c_str(), 1, "");
  EXPECT_NE(m, nullptr) << le_motion_last_error();
  if (!m) return f;
  le_motion_reset(m, 1, -1, 0);  // ping-pong backwards from 1: 1 0 1 2 3 2 ...
  // Finished before the first pull: every frame comes from the final sequence.
  const std::vector<float> audio = at::speech();
  EXPECT_EQ(le_motion_push(m, audio.data(), static_cast<int>(audio.size())), 1);
  le_motion_finish(m);
  f.run = mt::stream(m, {}, 1, [](le_motion*, int64_t, int) {});
  le_motion_destroy(m);
  f.fin = lt::arrayOf(scratch + "/final.bin");
  f.xsla = lt::arrayOf(scratch + "/xsla.bin");
  f.xdla = lt::arrayOf(scratch + "/xdla.bin");
  return f;
}

TEST(MotionPose, EmittedFramesEqualADoubleReference) {
  for (const char* name : {"ok", "no_delta_pitch"}) {
    const Frames f = finishedRun(name);
    const int n = static_cast<int>(f.run.idx.size());
    ASSERT_GT(n, 0);
    ASSERT_EQ(f.fin.size(), static_cast<size_t>(n) * 265);
    ASSERT_EQ(f.xdla.size(), static_cast<size_t>(n) * 63);
    const std::vector<float> src = mt::table(name, "/src_xs_info.bin"), ch = mt::table(name, "/ch_xs_info.bin");
    const std::vector<float> xsTable = mt::table(name, "/xs_target.bin");
    const double ratio = static_cast<double>(ch[258]) / src[258];
    const double dp = std::string(name) == "ok" ? 2.0 : 0.0, bridge = 0.7;
    at::Oracle stitch(mt::dir(name) + "/stitch.onnx");
    const int want[] = {1, 0, 1, 2, 3, 2, 1, 0};
    for (int t = 0; t < n; ++t) {
      const int si = f.run.idx[t];
      if (t < 8) {
        EXPECT_EQ(si, want[t]) << t;
      }
      const float* d = &src[static_cast<size_t>(si) * 328];
      const float* motion = &f.fin[static_cast<size_t>(t) * 265];
      const double pitch = mt::bin66(d + 126), yaw = mt::bin66(d + 262), roll = mt::bin66(d + 192);
      const std::array<double, 9> R = mt::poseToR(pitch, yaw, roll), R2 = mt::poseToR(pitch + dp, yaw, roll);
      std::vector<float> xsla(63), xdla(63);
      for (int j = 0; j < 21; ++j) {
        const bool lip = j == 6 || j == 12 || j == 14 || j == 17 || j == 19 || j == 20;
        for (int c = 0; c < 3; ++c) {
          const int k = 3 * j + c;
          double cr = 0, cr2 = 0;
          for (int q = 0; q < 3; ++q) {
            cr += d[63 + 3 * j + q] * R[3 * q + c];
            cr2 += d[63 + 3 * j + q] * R2[3 * q + c];
          }
          const double e = d[k] + (lip ? (motion[202 + k] - f.fin[202 + k]) * ratio : 0.0);
          const double tr = c < 2 ? d[259 + c] : 0.0;
          xsla[k] = static_cast<float>(d[258] * (cr + d[k]) + tr);
          xdla[k] = static_cast<float>(d[258] * (cr2 + e) + tr);
          EXPECT_NEAR(f.xsla[t * 63 + k], xsla[k], 2e-5) << name << " frame " << t << " k " << k;
          EXPECT_NEAR(f.xdla[t * 63 + k], xdla[k], 2e-5) << name << " frame " << t << " k " << k;
        }
      }
      const std::vector<float> st = stitch.run({"xs_la", "xd_la"}, {&xsla, &xdla}, {{1, 63}, {1, 63}}, "st");
      for (int k = 0; k < 63; ++k) {
        const double xs = xsTable[static_cast<size_t>(si) * 63 + k];
        EXPECT_EQ(f.run.xs[t * 63 + k], xsTable[static_cast<size_t>(si) * 63 + k]);
        EXPECT_NEAR(f.run.xd[t * 63 + k], xs + (st[k] - xsla[k]) * bridge, 5e-5) << name << " frame " << t;
      }
    }
  }
}

TEST(MotionPose, TheMouthFollowsTheSpeech) {
  const Frames f = finishedRun("ok");
  const std::vector<float> audio = at::speech();
  double loud = 0, quiet = 0;
  int nLoud = 0, nQuiet = 0;
  for (size_t t = 0; t < f.run.idx.size(); ++t) {
    double e = 0;
    for (size_t i = t * 640; i < std::min(audio.size(), (t + 1) * 640); ++i) e += audio[i] * audio[i];
    e = std::sqrt(e / 640);
    // Lower lip row 17 down, upper lip row 14 up: the opening beyond the idle frame's own.
    const float* xd = &f.run.xd[t * 63];
    const float* xs = &f.run.xs[t * 63];
    const double opening = (xd[3 * 17 + 1] - xd[3 * 14 + 1]) - (xs[3 * 17 + 1] - xs[3 * 14 + 1]);
    if (e > 0.05) loud += opening, ++nLoud;
    if (e < 1e-4) quiet += opening, ++nQuiet;
  }
  ASSERT_GT(nLoud, 10);
  ASSERT_GT(nQuiet, 10);
  EXPECT_GT(loud / nLoud, quiet / nQuiet + 0.01);
}

}  // namespace
