// vozaz speak: the product's loop from the command line. An audio file is
// pushed into an utterance session in 20 ms packets while frames are pulled
// on a 25 fps clock, and the frames and the audio become one MP4 in lip
// sync: utterance frame k plays with audio sample 640 k.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "audio_reader.h"
#include "commands.h"
#include "le/bundle_teeth.h"
#include "le/le.h"
#include "le/le_cpp.h"
#include "le/le_utt.h"
#include "utt_host.h"
#include "video_writer.h"

namespace vozaz {
namespace {

using clock = std::chrono::steady_clock;

// Feeds the audio in 20 ms packets, at wall-clock pace when asked, and ends
// the utterance after the last one unless an interrupt stopped it first.
class Pusher {
 public:
  Pusher(le_utt* utt, const std::vector<int16_t>& pcm, bool realtime)
      : thread_([this, utt, &pcm, realtime] { run(utt, pcm, realtime); }) {}
  ~Pusher() {
    stop_ = true;
    thread_.join();
  }
  Pusher(const Pusher&) = delete;
  Pusher& operator=(const Pusher&) = delete;
  void stop() { stop_ = true; }

 private:
  void run(le_utt* utt, const std::vector<int16_t>& pcm, bool realtime) {
    const auto start = clock::now();
    for (size_t at = 0, k = 0; at < pcm.size() && !stop_; at += kPacket, ++k) {
      if (realtime) std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * k));
      le_utt_push_audio(utt, pcm.data() + at, static_cast<int>(std::min<size_t>(kPacket, pcm.size() - at)));
    }
    if (!stop_) le_utt_end_utterance(utt);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Arms the teeth pass when the avatar carries the teeth members and the
// user did not turn it off; says which on a line of its own. Members the
// session refuses leave it speaking without teeth, as a host would.
bool armTeeth(le_utt* utt, const std::string& bundle, bool off) {
  if (!le::bundleHasTeeth(bundle)) {
    std::printf("teeth: none (the avatar carries no teeth members)\n");
    return false;
  }
  if (off) {
    std::printf("teeth: off (--no-teeth)\n");
    return false;
  }
  try {
    le::attachBundleTeeth(utt, bundle);
  } catch (const std::exception& e) {
    std::printf("teeth: refused, speaking without them: %s\n", e.what());
    return false;
  }
  char geometry[512] = "";
  le_utt_tessera_geometry(utt, geometry, sizeof geometry);
  std::printf("teeth: armed, %s\n", geometry);
  return true;
}

}  // namespace

int speakCommand(const Args& a) {
  if (a.positional().size() != 3 || !a.has("--out")) return a.usage();
  const std::string bundle = a.positional()[0], motion = a.positional()[1], input = a.positional()[2];
  const std::string out = a.str("--out");
  const bool realtime = a.has("--realtime");
  double interruptAt = -1;
  if (a.has("--interrupt-at")) {
    char* end = nullptr;
    const std::string v = a.str("--interrupt-at");
    interruptAt = std::strtod(v.c_str(), &end);
    if (*end || interruptAt < 0) throw std::runtime_error("--interrupt-at takes seconds, not '" + v + "'");
  }
  const int threads = a.integer("--threads", 0);
  if (a.has("--w2v")) useSpeechEncoder(a.str("--w2v"));

  const std::vector<int16_t> pcm = readSpeech16k(input);
  le_ctx_ptr ctx(le_create(bundle.c_str(), "render", threads, nullptr));
  if (!ctx) throw std::runtime_error(le_last_error());
  const int W = le_width(ctx.get()), H = le_height(ctx.get());
  // Refuses an unwritable path before the slow part. In real time one encoder
  // thread: the session's renders, not the tool's encoding, get the cores.
  VideoWriter video(out, W, H, kFps, kRate, realtime ? 1 : 0);

  le_utt_opts opts{};
  opts.motion_dir = motion.c_str();
  opts.threads = threads;
  opts.steady_model = steadyModelFor(bundle);
  Utt utt = openReady(ctx.get(), opts);
  const bool teeth = armTeeth(utt.get(), bundle, a.has("--no-teeth"));

  const bool progress = ::isatty(2);
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
  const std::vector<int16_t> silence(kFrameSamples, 0);
  le_utt_frame_info info{};
  // A tick without a frame is late once talking frames have begun; before
  // that the session is still waiting for its first motion rows (onset).
  long frames = 0, speech = 0, late = 0, waiting = 0;
  long onsetIndex = -1;          // video index of utterance frame 0
  size_t audioEnd = pcm.size();  // input samples that reach the track
  bool spoke = false, interrupted = false;
  const auto start = clock::now();
  {
    Pusher pusher(utt.get(), pcm, realtime);
    auto tick = clock::now();
    const auto giveUp = start + std::chrono::duration<double>(pcm.size() / double(kRate) * 20 + 120);
    for (;;) {
      if (clock::now() > giveUp) throw std::runtime_error("the session stopped delivering frames");
      if (realtime) {
        tick += std::chrono::milliseconds(1000 / kFps);
        std::this_thread::sleep_until(tick);
      }
      if (le_utt_pull_frame(utt.get(), rgb.data(), rgb.size(), &info) != 1) {
        if (realtime)
          ++(onsetIndex < 0 ? waiting : late);
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (info.kind == LE_UTT_FRAME_SPEECH && info.utt_frame == 0 && onsetIndex < 0) onsetIndex = frames;
      if (info.kind != LE_UTT_FRAME_IDLE) spoke = true;
      video.write(rgb.data());
      // The audio under this frame: silence before the utterance's first
      // frame, then the input from sample 640 (frame - onset) on.
      const long k = onsetIndex < 0 ? -1 : frames - onsetIndex;
      const size_t from = k < 0 ? audioEnd : static_cast<size_t>(k) * kFrameSamples;
      if (from < audioEnd) {
        const size_t n = std::min<size_t>(kFrameSamples, audioEnd - from);
        video.writeAudio(pcm.data() + from, n);
        if (n < kFrameSamples) video.writeAudio(silence.data(), kFrameSamples - n);
      } else {
        video.writeAudio(silence.data(), kFrameSamples);
      }
      ++frames;
      if (info.kind == LE_UTT_FRAME_SPEECH) ++speech;
      if (!interrupted && interruptAt >= 0 && info.kind == LE_UTT_FRAME_SPEECH &&
          info.utt_frame >= static_cast<int>(std::lround(interruptAt * kFps))) {
        pusher.stop();
        le_utt_interrupt(utt.get());
        interrupted = true;
        // The listener hears the speech up to the last frame seen.
        audioEnd = std::min(audioEnd, static_cast<size_t>(info.utt_frame + 1) * kFrameSamples);
      }
      if (progress) {
        le_utt_stats s{};
        le_utt_get_stats(utt.get(), &s);
        const double secs = std::chrono::duration<double>(clock::now() - start).count();
        std::fprintf(stderr, "\r[vozaz speak] frame %ld (speech %ld)  %.1f fps  late %ld  %-8s", frames, speech,
                     frames / std::max(secs, 1e-9), late, stateName(s.state));
      }
      if (spoke && info.kind == LE_UTT_FRAME_IDLE) break;  // back to idle after the ramp
    }
  }
  if (progress) std::fputs("\n", stderr);
  le_utt_stats s{};
  le_utt_get_stats(utt.get(), &s);
  char failure[512] = "";
  uint64_t failures = 0;
  le_utt_render_status(utt.get(), failure, sizeof failure, &failures);
  char teethText[512] = "";
  double weight = 0;
  const int teethState = teeth ? le_utt_tessera_stats(utt.get(), nullptr, nullptr, teethText, sizeof teethText) : 0;
  const bool weighed = teeth && le_utt_tessera_synth_w(utt.get(), &weight, nullptr, nullptr) == 1;
  utt.reset();
  video.finish();
  const double secs = std::chrono::duration<double>(clock::now() - start).count();
  std::printf(
      "%ld frames (%ld speech, utterance frame 0 at frame %ld) of %dx%d in %.1f s: onset %.0f ms%s, %.1f frames/s, "
      "%ld late frames, render %.1f ms per frame%s\n",
      frames, speech, onsetIndex, W, H, secs, s.last_onset_ms,
      waiting ? (" (" + std::to_string(waiting) + " ticks without a frame before it)").c_str() : "",
      frames / std::max(secs, 1e-9), late, s.render_ms_ema, interrupted ? ", interrupted" : "");
  // A bundle without the chunk model says so here, not only in the counters.
  if (failures) std::printf("%llu render failure(s), the last: %s\n", static_cast<unsigned long long>(failures), failure);
  if (teethState == 1)
    std::printf("teeth: %s%s\n", teethText,
                weighed ? (", head weight " + std::to_string(weight).substr(0, 4)).c_str() : "");
  else if (teethState == -1)
    std::printf("teeth: the pass failed and was bypassed: %s\n", teethText);
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

}  // namespace vozaz
