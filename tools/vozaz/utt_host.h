// What every vozaz command that hosts an utterance session shares: the
// session's clock and packet sizes, its handle, and the wait for its models.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "le/le_cpp.h"
#include "le/le_utt.h"

namespace vozaz {

constexpr int kFps = 25;
constexpr int kRate = 16000;
constexpr int kFrameSamples = kRate / kFps;  // utterance frame k plays with sample 640 k
constexpr int kPacket = kRate / 50;          // 20 ms

using Utt = le_utt_ptr;

// "idle", "onset", "speaking", "ramp".
const char* stateName(uint32_t state);

// Names the speech encoder for the library, which reads it from W2V_ONNX;
// before any thread starts.
void useSpeechEncoder(const std::string& path);
// The steady chunk model for le_utt_opts: the library's default where the
// bundle ships its model, else "-" (none).
const char* steadyModelFor(const std::string& bundle);

// Creates a session on ctx and waits until its motion models are loaded;
// throws with the library's sentence when they fail or take over 5 minutes.
// Null when `stop` says so first.
Utt openReady(le_ctx* ctx, const le_utt_opts& opts, bool (*stop)(void*) = nullptr, void* user = nullptr);

}  // namespace vozaz
