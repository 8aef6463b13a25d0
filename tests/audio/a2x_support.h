// Audio test support for both motion back-ends: forged speech and motion
// directories, a fresh process for checks of process-wide encoder state, one
// pulled run of an utterance through le_motion, and independent references of
// the streams' arithmetic and model inputs, with ONNX Runtime as the model oracle.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "le/le_motion.h"
#include "ops/ops_support.h"

namespace at {

// A raw float32 file.
inline std::vector<float> loadF32(const std::string& path) { return lt::arrayOf(path); }
// The forged speech encoder in fixture directory `dir`, and a forged le_a2x bundle.
inline std::string w2v(const char* dir) { return lt::fixture(dir) + "/w2v8.onnx"; }
inline std::string bundle(const char* name) { return lt::fixture("a2x/") + name; }
// A forged utterance: 16 kHz mono float samples; and both forged utterances
// back to back, repeated until there are at least `atLeast` samples.
std::vector<float> speech(const char* name = "speech_a.f32");
std::vector<float> twoSentences(size_t atLeast = 0);
// The forged speech_b (5.08 s, 127 frames) written by ffmpeg as dir/name,
// which names the format, with ffmpeg's output flags.
std::string speechFile(const std::string& dir, const std::string& name, const std::string& flags = "");
// The MP4's audio track decoded back to 16 kHz mono floats by ffmpeg.
std::vector<float> decodedAudio(const std::string& mp4);
// The lag (in samples, within +-maxLag of want) at which b best matches a.
long bestLag(const std::vector<float>& a, const std::vector<float>& b, long want, long maxLag);

// Runs body in a freshly started copy of the test binary (shared encoders
// are per process); the child's failures fail the test.
void freshProcess(const std::function<void()>& body);
#define AT_FRESH_PROCESS(...) ::at::freshProcess([&] __VA_ARGS__)

// One ONNX Runtime session on a forged model file, run as written.
using Oracle = lt::Onnx;

// Double-precision reference of what the stream computes.
namespace ref {

// Frames a stream lets out before finish after `samples` pushed, for
// look-ahead span la, right and (short-window) the configured right.
int pullable(int64_t samples, int la, int right, bool shortWindow, int w2vRight);
// Features (9216 floats, through float16) of block b on the short-window path.
std::vector<float> blockFeatures(Oracle& trunk, Oracle& head, const std::vector<float>& audio, int b, int w2vRight);
// Features of frames [0, frames) of a finished utterance on the 8 s path.
std::vector<float> features8s(Oracle& w2v, const std::vector<float>& audio, int frames);
// Encoder rows [e0, e1) of a band over features [lo, hi): pos rows past P
// fold into the second half, the mask admits i - left <= j <= i + window.
std::vector<float> band(Oracle& enc, const std::vector<float>& pos, int h, int window, int left, const float* feat,
                        int lo, int hi);

}  // namespace ref
}  // namespace at

// The motion pipeline's forged directories, pulled runs and double-precision references.
namespace mt {

std::string dir(const char* name = "ok");
std::vector<float> table(const char* name, const char* member);

struct Run {
  std::vector<int> idx;
  std::vector<float> xs, xd;  // 63 per pulled frame
  int total = -1;
  int pulledBeforeFinish = 0;
};

// Pushes audio in pieces of `piece` samples, pulling whatever is ready
// after each; then finishes and pulls the rest.
// check(m, pushed samples, pulled) runs after every step before finish.
template <class Check>
Run stream(le_motion* m, const std::vector<float>& audio, int piece, Check&& check) {
  Run r;
  float xs[63 * 64], xd[63 * 64];
  int idx[64];
  const auto take = [&] {
    for (int n; (n = le_motion_pull(m, idx, xs, xd, 64)) > 0;) {
      r.idx.insert(r.idx.end(), idx, idx + n);
      r.xs.insert(r.xs.end(), xs, xs + 63 * n);
      r.xd.insert(r.xd.end(), xd, xd + 63 * n);
    }
  };
  for (size_t at = 0; at < audio.size(); at += static_cast<size_t>(piece)) {
    const int n = static_cast<int>(std::min(audio.size() - at, static_cast<size_t>(piece)));
    EXPECT_EQ(le_motion_push(m, audio.data() + at, n), 1);
    take();
    check(m, static_cast<int64_t>(at + static_cast<size_t>(n)), static_cast<int>(r.idx.size()));
  }
  r.pulledBeforeFinish = static_cast<int>(r.idx.size());
  le_motion_finish(m);
  r.total = le_motion_total(m);
  take();
  return r;
}

// The 202 pose parts of frames [from, from+count) averaged with their
// neighbours, read before written.
void smooth(std::vector<double>& seq, int from, int count);
double bin66(const float* logits);
std::array<double, 9> poseToR(double pitch, double yaw, double roll);

}  // namespace mt
