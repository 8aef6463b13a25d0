// vozaz render: a whole recording to a talking video as fast as the machine
// allows, through the offline stream. Video frame r plays with the input's
// samples from 640 (r + skip) on, so the MP4's audio and video line up and
// end together.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "audio_reader.h"
#include "commands.h"
#include "le/le_cpp.h"
#include "video_writer.h"

namespace vozaz {
namespace {

constexpr int kFps = 25;
constexpr int kRate = 16000;
constexpr int kFrameSamples = kRate / kFps;

using clock = std::chrono::steady_clock;

// Each frame into the video with its own 640 samples, and the progress line.
struct FrameSink {
  VideoWriter* video;
  const std::vector<int16_t>* pcm;
  size_t from;  // input sample under frame 0
  int total;
  bool show;
  clock::time_point start;
  std::vector<int16_t> silence = std::vector<int16_t>(kFrameSamples, 0);

  static void frame(void* user, int r, const uint8_t* rgb, int, int) {
    auto* p = static_cast<FrameSink*>(user);
    p->video->write(rgb);
    const size_t at = p->from + static_cast<size_t>(r) * kFrameSamples;
    const size_t n = at < p->pcm->size() ? std::min<size_t>(kFrameSamples, p->pcm->size() - at) : 0;
    if (n) p->video->writeAudio(p->pcm->data() + at, n);
    if (n < kFrameSamples) p->video->writeAudio(p->silence.data(), kFrameSamples - n);
    if (p->show) {
      const double secs = std::chrono::duration<double>(clock::now() - p->start).count();
      std::fprintf(stderr, "\r[vozaz render] frame %d of %d  %.1f fps", r + 1, p->total,
                   (r + 1) / std::max(secs, 1e-9));
    }
  }
};

float number(const Args& a, const std::string& name, float fallback) {
  if (!a.has(name)) return fallback;
  const std::string v = a.str(name);
  char* end = nullptr;
  const float f = std::strtof(v.c_str(), &end);
  if (v.empty() || *end) throw std::runtime_error(name + " takes a number, not '" + v + "'");
  return f;
}

}  // namespace

int renderCommand(const Args& a) {
  if (a.positional().size() != 2 || !a.has("--w2v") || !a.has("--out")) return a.usage();
  const std::string bundle = a.positional()[0], input = a.positional()[1], out = a.str("--out");
  const float gain = number(a, "--gain", 1.0f);
  const int skip = a.integer("--skip", 0), threads = a.integer("--threads", 0);
  if (skip < 0) throw std::runtime_error("--skip takes a frame count of 0 or more, not " + std::to_string(skip));

  const std::vector<int16_t> pcm = readSpeech16k(input);
  std::vector<float> audio(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = pcm[i] / 32768.0f;
  le_stream_ptr stream(le_stream_create(bundle.c_str(), a.str("--w2v").c_str(), threads, skip, gain));
  if (!stream) throw std::runtime_error(le_stream_last_error());
  const int W = le_stream_width(stream.get()), H = le_stream_height(stream.get());
  const int frames = std::max(0, static_cast<int>((pcm.size() + kFrameSamples - 1) / kFrameSamples) - skip);
  if (frames == 0)
    throw std::runtime_error(input + " is no longer than the " + std::to_string(skip) + " skipped frames");
  VideoWriter video(out, W, H, kFps, kRate);  // refuses an unwritable path before the slow part

  FrameSink sink{&video, &pcm, static_cast<size_t>(skip) * kFrameSamples, frames, ::isatty(2) != 0, clock::now()};
  if (sink.show)
    std::fprintf(stderr, "[vozaz render] %.1f s of speech: computing every frame's expression\n",
                 pcm.size() / double(kRate));
  const int made = le_stream_run(stream.get(), audio.data(), static_cast<int>(audio.size()), FrameSink::frame, &sink);
  if (sink.show) std::fputs("\n", stderr);
  if (made < 0) throw std::runtime_error(le_stream_last_error());
  video.finish();
  const double secs = std::chrono::duration<double>(clock::now() - sink.start).count();
  const double videoSecs = made / double(kFps);
  std::printf("%d frames of %dx%d in %.1f s: %.1f fps, %.2f s of video per second of wall time\n", made, W, H, secs,
              made / std::max(secs, 1e-9), videoSecs / std::max(secs, 1e-9));
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

}  // namespace vozaz
