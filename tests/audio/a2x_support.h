// Audio-to-expression test support: forged speech, a fresh process for
// checks of process-wide encoder state, and an independent reference of
// the stream's arithmetic and model inputs, with ONNX Runtime as the model
// oracle.
#pragma once

#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace at {

std::vector<float> loadF32(const std::string& path);
// A forged utterance: 16 kHz mono float samples.
std::vector<float> speech(const char* name = "speech_a.f32");

// Runs body in a freshly started copy of the test binary (shared encoders
// are per process); the child's failures fail the test.
void freshProcess(const std::function<void()>& body);
#define AT_FRESH_PROCESS(...) ::at::freshProcess([&] __VA_ARGS__)

// One ONNX Runtime session on a forged model, run with float inputs.
class Oracle {
 public:
  explicit Oracle(const std::string& path);
  // Output `out` (converted to float) for the named inputs and shapes.
  std::vector<float> run(const std::vector<const char*>& names, const std::vector<std::vector<float>*>& values,
                         const std::vector<std::vector<int64_t>>& shapes, const char* out);

 private:
  Ort::Session session_;
};

// Double-precision reference of what the stream computes.
namespace ref {

// Samples [start, start + len) of audio, zero outside, normalised in double.
std::vector<float> window(const std::vector<float>& audio, int64_t start, int len);
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
