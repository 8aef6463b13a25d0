#include "audio/a2x_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "support/fixtures.h"

namespace at {
namespace {

float viaHalf(float x) { return static_cast<float>(Ort::Float16_t(x)); }

}  // namespace

void freshProcess(const std::function<void()>& body) {
  if (std::getenv("AT_SAME_PROCESS")) return body();  // for a debugger, one test at a time
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        body();
        std::fflush(nullptr);
        std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

std::vector<float> speech(const char* name) { return lt::arrayOf(lt::fixture(name)); }

std::vector<float> twoSentences(size_t atLeast) {
  const std::vector<float> a = speech("speech_a.f32"), b = speech("speech_b.f32");
  std::vector<float> out;
  do {
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
  } while (out.size() < atLeast);
  return out;
}

std::string speechFile(const std::string& dir, const std::string& name, const std::string& flags) {
  EXPECT_EQ(lt::run("ffmpeg -nostdin -loglevel error -y -f f32le -ar 16000 -ac 1 -i " + lt::fixture("speech_b.f32") +
                    " " + flags + " " + dir + "/" + name),
            0);
  return dir + "/" + name;
}

std::vector<float> decodedAudio(const std::string& mp4) {
  const std::string raw = mp4 + ".f32";
  EXPECT_EQ(lt::run("ffmpeg -nostdin -loglevel error -y -i " + mp4 + " -vn -ar 16000 -ac 1 -f f32le " + raw), 0);
  return lt::arrayOf(raw);
}

long bestLag(const std::vector<float>& a, const std::vector<float>& b, long want, long maxLag) {
  long best = want;
  double bestScore = -1e300;
  for (long lag = want - maxLag; lag <= want + maxLag; ++lag) {
    double score = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
      const long j = static_cast<long>(i) + lag;
      if (j >= 0 && j < static_cast<long>(a.size())) score += static_cast<double>(a[j]) * b[i];
    }
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

namespace ref {

// Samples [start, start + len) of audio, zero outside, normalised in double.
static std::vector<float> window(const std::vector<float>& audio, int64_t start, int len) {
  std::vector<double> x(static_cast<size_t>(len), 0.0);
  for (int i = 0; i < len; ++i) {
    const int64_t at = start + i;
    if (at >= 0 && at < static_cast<int64_t>(audio.size())) x[static_cast<size_t>(i)] = audio[static_cast<size_t>(at)];
  }
  double mean = 0, var = 0;
  for (double v : x) mean += v / len;
  for (double v : x) var += (v - mean) * (v - mean) / len;
  std::vector<float> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = static_cast<float>((x[i] - mean) / std::sqrt(var + 1e-7));
  return out;
}

int pullable(int64_t samples, int la, int right, bool shortWindow, int w2vRight) {
  // Before the end only whole 8-frame blocks of audio count (S'), and a frame
  // is let out once it lies max(look-ahead, right) frames inside them (D)
  // and the features of its look-ahead exist.
  const int64_t counted = std::min(samples, (samples + 639) / 5120 * 5120);
  const int64_t frames = (counted + 639) / 640;
  const int64_t decodable = std::max<int64_t>(0, frames - std::max(la, right));
  int64_t features = std::max<int64_t>(0, frames - right);
  if (shortWindow) {
    // Block b (frames b..b+7) needs audio up to frame b + 8 + w2vRight.
    const int64_t room = counted / 640 - w2vRight;
    features = room < 8 ? 0 : room / 8 * 8;
  }
  return static_cast<int>(std::clamp<int64_t>(features - la, 0, decodable));
}

std::vector<float> blockFeatures(Oracle& trunk, Oracle& head, const std::vector<float>& audio, int b, int w2vRight) {
  const int64_t end = (w2vRight + b + 8) * 640LL;
  std::vector<float> win = window(audio, end - 32000, 32000);
  const std::vector<float> steps = trunk.run({"input_values"}, {&win}, {{1, 32000}}, "trunk_out");
  const int lt = static_cast<int>(steps.size() / 640);
  std::vector<float> x(8 * 640);
  for (int j = 0; j < 8; ++j) {
    const int k = b + j;
    const int shift = k >= 200 ? (k / 100 - 1) * 100 : 0;
    const double p = (shift * 640.0 - static_cast<double>(end - 32000)) / 80.0 + (k - shift) * 1598.0 / 199.0;
    const int i0 = static_cast<int>(std::floor(p));
    const int i1 = std::min(i0 + 1, lt - 1);
    const double a = p - i0;
    for (int c = 0; c < 640; ++c)
      x[j * 640 + c] = static_cast<float>(steps[c * lt + i0] * (1 - a) + steps[c * lt + i1] * a);
  }
  std::vector<float> emb = head.run({"x"}, {&x}, {{8, 640}}, "emb");
  for (float& v : emb) v = viaHalf(v);
  return emb;
}

std::vector<float> features8s(Oracle& w2v, const std::vector<float>& audio, int frames) {
  std::vector<float> feat(static_cast<size_t>(frames) * 9216);
  int written = 0;
  for (int f0 = 0; f0 < frames; f0 += 100) {
    std::vector<float> win = window(audio, f0 * 640LL, 128000);
    const std::vector<float> emb = w2v.run({"input_values"}, {&win}, {{1, 128000}}, "audio_emb");
    for (int k = std::max(written, f0 == 0 ? 0 : f0 + 50); k < std::min(f0 + 200, frames); ++k)
      for (int l = 0; l < 12; ++l)
        for (int c = 0; c < 768; ++c)
          feat[static_cast<size_t>(k) * 9216 + l * 768 + c] = viaHalf(emb[(static_cast<size_t>(l) * 200 + (k - f0)) * 768 + c]);
    written = std::min(f0 + 200, frames);
  }
  return feat;
}

std::vector<float> band(Oracle& enc, const std::vector<float>& pos, int h, int window, int left, const float* feat,
                        int lo, int hi) {
  const int t = hi - lo;
  const int rows = static_cast<int>(pos.size()) / h;
  std::vector<float> f(feat, feat + static_cast<size_t>(t) * 9216);
  std::vector<float> p(static_cast<size_t>(t) * h);
  for (int j = 0; j < t; ++j) {
    const int u = lo + j;
    const int row = u < rows ? u : rows / 2 + (u - rows) % (rows - rows / 2);
    std::copy_n(&pos[static_cast<size_t>(row) * h], h, &p[static_cast<size_t>(j) * h]);
  }
  std::vector<float> mask(static_cast<size_t>(t) * t);
  for (int i = 0; i < t; ++i)
    for (int j = 0; j < t; ++j)
      mask[static_cast<size_t>(i) * t + j] =
          j >= i - left && j <= i + window ? 0.0f : -std::numeric_limits<float>::infinity();
  return enc.run({"feat", "pos_window", "attn"}, {&f, &p, &mask}, {{1, t, 12, 768}, {1, t, h}, {1, 1, t, t}}, "ctx");
}

}  // namespace ref
}  // namespace at

namespace mt {

std::string dir(const char* name) { return lt::fixture("motion/") + name; }

std::vector<float> table(const char* name, const char* member) { return lt::arrayOf(dir(name) + member); }

void smooth(std::vector<double>& seq, int from, int count) {
  const int n = static_cast<int>(seq.size() / 265);
  const std::vector<double> orig = seq;
  for (int t = std::max(from, 0); t < std::min(from + count, n); ++t)
    for (int c = 0; c < 202; ++c) {
      double sum = 0;
      int k = 0;
      for (int u = t - 1; u <= t + 1; ++u)
        if (u >= 0 && u < n) {
          sum += orig[static_cast<size_t>(u) * 265 + c];
          ++k;
        }
      seq[static_cast<size_t>(t) * 265 + c] = sum / k;
    }
}

double bin66(const float* logits) {
  double top = logits[0];
  for (int i = 1; i < 66; ++i) top = std::max(top, static_cast<double>(logits[i]));
  double sum = 0, w = 0;
  for (int i = 0; i < 66; ++i) {
    const double e = std::exp(logits[i] - top);
    sum += e;
    w += e * i;
  }
  return 3 * (w / sum) - 97.5;
}

std::array<double, 9> poseToR(double pitch, double yaw, double roll) {
  const double k = M_PI / 180;
  const double p = pitch * k, y = yaw * k, r = roll * k;
  // (Rz(roll) Ry(yaw) Rx(pitch)) transposed: the rotation applied to row vectors, c R.
  const double rx[9] = {1, 0, 0, 0, std::cos(p), -std::sin(p), 0, std::sin(p), std::cos(p)};
  const double ry[9] = {std::cos(y), 0, std::sin(y), 0, 1, 0, -std::sin(y), 0, std::cos(y)};
  const double rz[9] = {std::cos(r), -std::sin(r), 0, std::sin(r), std::cos(r), 0, 0, 0, 1};
  const auto mul = [](const double* a, const double* b, double* out) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        out[3 * i + j] = 0;
        for (int q = 0; q < 3; ++q) out[3 * i + j] += a[3 * i + q] * b[3 * q + j];
      }
  };
  double zy[9], xyz[9];
  mul(rz, ry, zy);
  mul(zy, rx, xyz);
  std::array<double, 9> t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[3 * i + j] = xyz[3 * j + i];
  return t;
}

}  // namespace mt
