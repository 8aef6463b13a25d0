// What every vozaz command that hosts an utterance session shares: the
// session's clock and packet sizes, its handle, and the wait for its models.
#pragma once

#include <cstdint>
#include <memory>

#include "le/le_utt.h"

namespace vozaz {

constexpr int kFps = 25;
constexpr int kRate = 16000;
constexpr int kFrameSamples = kRate / kFps;  // utterance frame k plays with sample 640 k
constexpr int kPacket = kRate / 50;          // 20 ms

struct UttDeleter {
  void operator()(le_utt* u) const { le_utt_destroy(u); }
};
using Utt = std::unique_ptr<le_utt, UttDeleter>;

// "idle", "onset", "speaking", "ramp".
const char* stateName(uint32_t state);

// Polls le_utt_ready until the motion models are loaded (1), the load failed
// (-1), `giveUpS` passed or `stop` says so (0).
int waitReady(le_utt* utt, double giveUpS, bool (*stop)(void*) = nullptr, void* user = nullptr);

}  // namespace vozaz
