#include "support/bench_forge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/files.h"

namespace lb {

std::string forged(const std::string& command, const std::string& name, const std::string& args,
                   const std::string& marker) {
  const std::string path = std::string(LE_BENCH_SCRATCH) + "/" + name;
  struct stat st;
  if (::stat((path + marker).c_str(), &st) == 0) return path;
  const std::string cmd = std::string("mkdir -p ") + LE_BENCH_SCRATCH + " && " + LE_BENCH_PYTHON + " " +
                          LE_BENCH_FORGE + " " + command + " " + path + " " + args + " > /dev/null";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("forge failed: " + cmd);
  return path;
}

std::string forgedBundle(const std::string& command, const std::string& name, const std::string& args) {
  return forged(command, name, args, "/manifest.json");
}

std::vector<float> forgedSpeech(const std::string& name, const std::string& text) {
  const std::string file = forged("speech", name, "'" + text + "'", "");
  std::string bytes;
  if (le::readWhole(file, bytes) != le::ReadStatus::kOk) throw std::runtime_error("cannot read " + file);
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

std::vector<int16_t> forgedPcm16(const std::string& name, const std::string& text) {
  const std::vector<float> f = forgedSpeech(name, text);
  std::vector<int16_t> pcm(f.size());
  for (size_t i = 0; i < f.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(std::clamp(f[i], -1.0f, 1.0f) * 32767.0f));
  return pcm;
}

std::string fullSpeechEncoder() {
  return forged("speech-encoders", "speech_full", "--size full", "/audio_encoder_fp16_window_head.onnx") + "/w2v8.onnx";
}

}  // namespace lb
