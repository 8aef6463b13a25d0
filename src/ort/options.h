// The session-option recipes, one per kind of model, and the one way a
// session is opened. Thread counts arrive resolved (at least 1).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le::ort {

// The director: `threads` intra-op, one inter-op, every optimisation,
// KleidiAI off, no spinning unless LE_ORT_SPIN begins with '1', and ONNX
// Runtime's profiler when LE_ORT_PROFILE names a file prefix (`profiling`
// says whether it is on).
Ort::SessionOptions directorOptions(int threads, bool* profiling);

// The hoisted source cone: one thread on one spare core, no spinning,
// KleidiAI off. Its graph keeps every initializer of the director and reads
// a few, so the runtime's line per unused one is kept quiet.
Ort::SessionOptions conePrepOptions();

// Speech models (the speech encoders, the streaming encoder and decoder):
// `threads` intra-op, one inter-op, never spinning (idle encoder threads
// would burn the cores the renderer needs), every optimisation, then the
// CUDA hook under `tag` ("w2v" may get CUDA; other tags stay on the CPU).
Ort::SessionOptions speechOptions(int threads, const char* tag);

// Motion pipeline networks: `threads` intra-op, every optimisation, no
// spinning unless LE_ORT_SPIN begins with '1', and the provider the ep asks
// for: "" the CPU, "coreml..." CoreML with its model cache in cacheDir;
// anything else throws "le_motion: unknown ep '<ep>'".
Ort::SessionOptions motionOptions(int threads, const std::string& ep, const std::string& cacheDir);

// A session on a model file or on model bytes, in the process environment.
std::unique_ptr<Ort::Session> open(const std::string& path, const Ort::SessionOptions& options);
std::unique_ptr<Ort::Session> open(const std::vector<uint8_t>& bytes, const Ort::SessionOptions& options);

}  // namespace le::ort
