// The process-wide speech encoders every audio-to-expression object borrows:
// the 8 s encoder and the optional short-window trunk/head pair, loaded once,
// lazily, under one mutex, and kept until the process exits. Also what all
// speech sessions share beyond their option recipe: the float16 Gelu
// fall-back and the owner thread that serialises them when CUDA is on.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace le::a2x {

// A session on `path`; a float16 Gelu the runtime cannot run on the CPU
// lowers the options to basic optimisation (kept for later models) and
// retries once.
std::unique_ptr<Ort::Session> le_a2x_open_session(const char* path, Ort::SessionOptions& options);

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
