// Utterance-session test support: a director bundle and a motion bundle
// forged to fit each other (4 identity frames, crop 64, a batch-24 chunk
// model), spoken test audio as 16-bit samples, and a host that pulls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "le/le.h"
#include "le/le_cpp.h"
#include "le/le_utt.h"
#include "support/child.h"
#include "support/fixtures.h"
#include "support/ws_client.h"

namespace st {

inline constexpr int kNt = 4;

// Waits stretch by this much under ThreadSanitizer and under qemu, which run
// the models many times slower; they bound hangs, they are not timing targets.
#if defined(__SANITIZE_THREAD__) || defined(LE_TEST_CROSS_BUILD)
inline constexpr double kSlow = 8;
#else
inline constexpr double kSlow = 1;
#endif

// Forged once per build tree.
const std::string& directorBundle();
const std::string& motionBundle();
// The director bundle at crop 128 that also carries the teeth members.
const std::string& teethBundle();
// A motion-pipeline directory (the second back-end) for the same identity.
const std::string& motionPipelineBundle();
// A motion directory without the streaming encoder nor the pipeline's models.
const std::string& motionWithoutEncoder();
// A bundle the forge makes from `args` (the output directory goes last),
// once per build tree under session_fixtures/<name>.
const std::string& forged(const std::string& name, const std::string& args);

// The speech encoder the tests run (the short-window pair beside it).
std::string w2vPath();

// The first `want` rows le_a2x gives for pcm, started at identity frame `start`.
void motionRows(const std::vector<int16_t>& pcm, int start, int want, std::vector<int>& idx, std::vector<float>& xs,
                std::vector<float>& xd);

// A forged utterance as the host pushes it.
std::vector<int16_t> speech16(const char* name = "speech_a.f32");
// 1.2 s of speech_a, voiced from its start: a whole utterance for the tests
// that need its shape, not its length, short enough for ThreadSanitizer.
std::vector<int16_t> clip();

using Ctx = le_ctx_ptr;
using Utt = le_utt_ptr;

Ctx openCtx();
le_utt_opts defaults();
// Creates the session and waits (up to 60 s) until it is ready.
Utt openReady(le_ctx* ctx, const le_utt_opts& opts);

struct Pulled {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

// Pulls until `until` says stop or `timeoutS` passes (then the test fails).
std::vector<Pulled> pullUntil(le_utt* utt, size_t frameBytes, const std::function<bool(const Pulled&)>& until,
                              double timeoutS = 60);
// Pulls until the first idle frame after a ramp.
std::vector<Pulled> pullUtterance(le_utt* utt, size_t frameBytes);
// Pushes pcm in 20 ms packets.
void pushAll(le_utt* utt, const std::vector<int16_t>& pcm);
// Frames waiting, polled until it equals want or timeoutS passes.
int waitAvailable(le_utt* utt, int want, double timeoutS);
// Polls done until it holds or timeoutS (times kSlow) passes; whether it held.
bool waitFor(const std::function<bool()>& done, double timeoutS);

// A context and a ready session on the forged bundles, with the test speech
// encoder named by W2V_ONNX for as long as it lives.
struct Session {
  explicit Session(const le_utt_opts& opts = defaults());
  lt::ScopedEnv w2v;
  Ctx ctx;
  Utt utt;
  size_t bytes;  // one full frame

  // Pushes pcm in 20 ms packets and, when asked, ends the utterance.
  void say(const std::vector<int16_t>& pcm, bool end = true);
  // Pulls until the first idle frame after a ramp.
  std::vector<Pulled> pullUtterance();
};

// "idle", "speech", "ramp" run lengths of the pulled kinds, e.g. "0x3 1x40 2x6 0x1".
std::string kindRuns(const std::vector<Pulled>& frames);

// vozaz serve on the forged bundles, on a free port, for the tests that drive it as clients do.
class Serve {
 public:
  Serve(const std::string& dir, const std::string& args);
  int port() const { return port_; }
  // Sessions open, from /status; -1 when the server does not answer.
  int sessions() const;
  // Polls until `sessions` is want, up to timeoutS; the last count seen.
  int waitSessions(int want, double timeoutS) const;
  lt::Child child;

 private:
  int port_ = 0;
};

// Reads up to the session's ready message; its session number, or -1.
int readyId(lt::WsClient& ws);

}  // namespace st
