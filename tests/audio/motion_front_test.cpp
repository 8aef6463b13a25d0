// The motion pipeline's front end: the FFT against a double-precision DFT,
// and the dumped log-mel and feature blocks of the first window against
// numpy (rfft, reflect padding, a plain mel matmul) and ONNX Runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "audio/a2x_support.h"
#include "audio/fft.h"
#include "support/fixtures.h"

namespace {

TEST(MotionFft, EqualsADoublePrecisionDft) {
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (int n : {2, 4, 64, 512}) {
    std::vector<float> re(n), im(n);
    for (int i = 0; i < n; ++i) re[i] = noise(rng), im[i] = noise(rng);
    const std::vector<float> x = re, y = im;
    le::motion::Fft(n).forward(re.data(), im.data());
    double energy = 0;
    for (int i = 0; i < n; ++i) energy += x[i] * x[i] + y[i] * y[i];
    // Float rounding grows with the log of the size, on the scale of the input's norm.
    const double tol = 4e-7 * std::log2(n + 1.0) * std::sqrt(energy);
    for (int k = 0; k < n; ++k) {
      std::complex<double> sum = 0;
      for (int t = 0; t < n; ++t) sum += std::complex<double>(x[t], y[t]) * std::polar(1.0, -2 * M_PI * k * t / n);
      EXPECT_NEAR(re[k], sum.real(), tol) << "n=" << n << " k=" << k;
      EXPECT_NEAR(im[k], sum.imag(), tol) << "n=" << n << " k=" << k;
    }
  }
  EXPECT_THROW(le::motion::Fft(12), std::invalid_argument);
}

TEST(MotionFrontEnd, FirstWindowEqualsNumpyAndTheStudentModel) {
  const std::string scratch = lt::scratchDir();
  // Speech from its first 7000 samples on: window 0 sees zeros before the
  // audio, a little silence, then voice.
  std::vector<float> audio = at::speech();
  audio.erase(audio.begin(), audio.begin() + 7000);
  lt::spit(scratch + "/audio.f32", std::string(reinterpret_cast<const char*>(audio.data()), audio.size() * 4));
  {
    lt::ScopedEnv dump("LE_MOTION_DUMP", scratch.c_str());
    le_motion* m = le_motion_create(mt::dir().c_str(), 1, nullptr);
    ASSERT_NE(m, nullptr) << le_motion_last_error();
    mt::stream(m, audio, 16000, [](le_motion*, int64_t, int) {});
    le_motion_destroy(m);
  }
  lt::spit(scratch + "/ref.py", R"(import sys
import numpy as np
a = np.fromfile(sys.argv[1], np.float32).astype(np.float64)
d = sys.argv[2]
win = np.fromfile(d + "/hubert_stft_window.bin", np.float32).astype(np.float64)
bank = np.fromfile(d + "/hubert_stft_binmat.bin", np.float32).astype(np.float64).reshape(80, 257)
idx = np.arange(6480) - 2000
seg = np.where((idx >= 0) & (idx < len(a)), a[np.clip(idx, 0, len(a) - 1)], 0.0)
p = np.pad(seg, 256, mode="reflect")
frames = np.stack([p[320 * f:320 * f + 512] * win for f in range(21)])
mel = bank @ np.abs(np.fft.rfft(frames, axis=1)).T
np.log(mel + 1e-8).astype(np.float32).tofile(sys.argv[3])
)");
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + scratch + "/ref.py " + scratch + "/audio.f32 " + mt::dir() +
                    " " + scratch + "/ref.f32"),
            0);
  const std::vector<float> ours = lt::arrayOf(scratch + "/mel0.bin"), ref = lt::arrayOf(scratch + "/ref.f32");
  ASSERT_EQ(ours.size(), 80u * 21u);
  ASSERT_EQ(ref.size(), ours.size());
  int voiced = 0;
  for (int f = 0; f < 21; ++f) {
    double top = 0;
    for (int b = 0; b < 80; ++b) top = std::max(top, std::exp(static_cast<double>(ref[b * 21 + f])));
    for (int b = 0; b < 80; ++b) {
      const double o = ours[b * 21 + f], r = ref[b * 21 + f];
      // A float32 FFT and dot product err by a few ulps of the frame's
      // largest band, not of each band: linear values agree to that scale,
      // and logs agree closely wherever the band is not tiny beside it.
      EXPECT_NEAR(std::exp(o), std::exp(r), 1e-5 * top + 1e-7) << "band " << b << " frame " << f;
      if (std::exp(r) > 1e-3 * top && top > 1e-6) {
        EXPECT_NEAR(o, r, 1e-3) << "band " << b << " frame " << f;
        ++voiced;
      }
    }
  }
  EXPECT_GT(voiced, 200);                      // the window really holds speech
  EXPECT_NEAR(ours[0], std::log(1e-8), 1e-5);  // frame 0 is all zeros

  // feat0: the student model's output, de-normalised with fstd and fmean.
  at::Oracle student(mt::dir() + "/hubert_student.onnx");
  std::vector<float> mel = ours;
  const std::vector<float> raw = student.run({"mel"}, {&mel}, {{1, 80, 21}}, "feat");
  const std::vector<float> feat = lt::arrayOf(scratch + "/feat0.bin");
  const std::vector<float> mean = mt::table("ok", "/hubert_fmean.bin"), sd = mt::table("ok", "/hubert_fstd.bin");
  ASSERT_EQ(feat.size(), 20u * 1024u);
  for (size_t i = 0; i < feat.size(); ++i) ASSERT_NEAR(feat[i], raw[i] * sd[i % 1024] + mean[i % 1024], 1e-4) << i;
}

}  // namespace
