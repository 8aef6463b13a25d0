// The process-wide speech encoders every audio-to-expression object borrows:
// the 8 s encoder and the optional short-window trunk/head pair, loaded once,
// lazily, under one mutex, and kept until the process exits. Also the
// ONNX Runtime plumbing all speech sessions share: the option recipe, the
// CUDA hook, the float16 Gelu fall-back and the owner thread.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace le::a2x {

// WARNING, or ERROR when the engine was asked to be quiet.
OrtLoggingLevel ortLogLevel();
// An environment whose runtime lines go through the library's log.
Ort::Env makeEnv(const char* logid);

// Fresh options: intra-op threads (below 1: the pool budget), one inter-op
// thread, no spinning, every optimisation, then the CUDA hook for "w2v".
Ort::SessionOptions recipeOptions(int threads);

// The CUDA hook only acts when LE_A2X_CUDA is exactly "1" and the tag is "w2v".
bool cudaRequested(const char* tag);
// LE_A2X_CUDA_MEM_MIB when it is a positive integer, else 3072.
size_t cudaMemMiB();
// Appends the CUDA provider when asked for; a failure is reported and the
// options stay as they were. Never throws.
void le_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag);

// A session on `path`; a float16 Gelu the runtime cannot run on the CPU
// lowers the options to basic optimisation (kept for later models) and
// retries once.
std::unique_ptr<Ort::Session> le_a2x_open_session(Ort::Env& env, const char* path, Ort::SessionOptions& options);

// Runs job on the one owner thread when CUDA is requested, else right here;
// the job's exception is rethrown on the caller.
void le_a2x_on_owner_thread(const std::function<void()>& job);
// True on the owner thread itself.
bool onOwnerThread();

// File size for the load report; -1 for a null or empty path or an unreadable file.
int64_t w2v_file_bytes(const char* path);

// The 8 s encoder, loaded from `path` on the first successful call; later
// calls get it whatever path they pass. Throws the runtime's text on failure.
Ort::Session* get_shared_w2v(const char* path, int threads);
// True when the trunk/head pair is loaded; attempted once per process, never throws.
bool get_shared_w2v_win(int threads, const char* w2v_path);

struct Pair {
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  std::string trunkOut;  // name of the trunk's first output
};
// The loaded pair (null sessions when it is not loaded).
Pair sharedPair();
// Time steps per trunk window, 0 until the graph or a first run tells.
int trunkSteps();
void learnTrunkSteps(int steps);

}  // namespace le::a2x
