#include "base/env.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::env {
namespace {

constexpr Switch kSwitches[] = {
    {"VELOMARK_ENGINE_QUIET", "loud", "log", "\"1\": quietable lines are dropped and ONNX Runtime logs errors only",
     false},
    {"VELOMARK_DEBUG", "off", "log", "\"1\": overrides the quiet switch and shows debug lines (FFmpeg's own log)",
     false},
    {"LE_IMX_UNWRAP_ROOT", "next to the container", "bundle", "the directory IMX containers are unwrapped into", false},
    {"VANTICE2_MSRC_MISSING_OK", "refuse", "bundle",
     "\"1\": a manifest without a paste-space stamp is taken as authored on its own canvas", false},
    {"LE_DRIVER_PREFER_MP4", "the JPEG directory wins", "driver",
     "\"1\": play target_frames.mp4 even when the JPEG directory is populated", false},
    {"LE_DRIVER_HWDEC", "try h264_cuvid, then software", "driver", "\"0\": skip the hardware decoder probe", false},
    {"LE_CONV_BACKEND", "ONNX Runtime", "render", "\"neon\": the native fp16 convolution backend", false},
    {"LE_CONV_DUMP", "nothing written", "render",
     "a directory: the native backend writes its intermediate tensors there as float32 files", false},
    {"LE_ORT_SPIN", "no spinning", "render", "\"1...\": lets ONNX Runtime's intra-op threads spin", false},
    {"LE_ORT_PROFILE", "off", "render", "a file prefix: ONNX Runtime profiling of the director", false},
    {"LE_GS_FAST", "on", "render", "\"0...\": keep the standard GridSample kernel", false},
    {"LE_GS_REWRITE", "on", "render", "\"0...\": skip the GridSample load-time rewrite", false},
    {"LE_WARP_NODE", "off", "render", "non-empty and not \"0...\": ask for the fused warp node", false},
    {"LE_RESIZE_FAST", "on", "render",
     "\"0...\": keep the standard linear and cubic Resize nodes (and the head's Pad+Conv+DepthToSpace)", false},
    {"LE_CORE_THREADS", "4, at most the hardware threads", "pool", "the worker pool's thread budget", true},
    {"LE_PASTE_THREADS", "LE_CORE_THREADS", "pool", "the same budget, older name", true},
    {"LE_PASTE_FAST", "0 (Lanczos-8)", "paste", "the compositor's resampling mode", false},
    {"LE_PASTE_KSIZE", "the bundle's ksize", "paste", "a smaller odd unsharp kernel", false},
    // audio
    {"W2V_ONNX", "unset: no speech encoder", "audio", "path of the 8 s speech encoder; the first loaded path wins",
     false},
    {"LE_A2X_W2V_WIN_ONNX", "the pair beside W2V_ONNX", "audio",
     "short-window trunk path (used only with LE_A2X_W2V_HEAD_ONNX)", false},
    {"LE_A2X_W2V_HEAD_ONNX", "the pair beside W2V_ONNX", "audio",
     "short-window head path (used only with LE_A2X_W2V_WIN_ONNX)", false},
    {"LE_A2X_CUDA", "CPU", "audio", "exactly \"1\": the speech encoders ask for CUDA and run on one owner thread",
     false},
    {"LE_A2X_CUDA_MEM_MIB", "3072", "audio", "the CUDA memory limit of the speech encoders, in MiB", false},
    {"LE_A2X_W2V_RIGHT", "12", "audio", "frames of audio past a frame before its speech features are made", false},
    {"LE_A2X_SILENCE_PRIME", "the motion bundle's silence_prime", "audio",
     "frames of silence the decoder state is primed with", false},
    // session
    {"LE_UTT_PIPELINE_PASTE", "on with the streaming back-end", "session",
     "an integer; non-zero pastes on the session's own paste thread", false},
    {"LE_STEADY_MODEL", "the session's steady_model option", "session",
     "model key of the steady chunk renderer; \"-\" disables it", false},
    {"LE_UTT_ONSET_SI", "utterances start where idle stands", "session",
     "a non-negative integer: every utterance starts at this driver index mod the frame count", false},
    {"LE_UTT_HYBRID", "off", "session",
     "non-empty and not \"0\": hybrid eager mode when the eager option is below 1", false},
    {"LE_UTT_STAGE_REPORT", "off", "session", "set: the session prints its stage report when destroyed", false},
    {"LE_MOTION_DUMP", "off", "audio", "a directory: the motion pipeline writes its intermediate tensors there", false},
};

}  // namespace

std::span<const Switch> switches() { return kSwitches; }

const char* raw(const char* name) {
  for (const Switch& s : kSwitches)
    if (std::strcmp(s.name, name) == 0) return std::getenv(name);
  throw std::logic_error(std::string("environment switch ") + name + " is not in the switch table");
}

bool equals(const char* name, const char* value) {
  const char* v = raw(name);
  return v && std::strcmp(v, value) == 0;
}

bool beginsWith(const char* name, char c) {
  const char* v = raw(name);
  return v && v[0] == c;
}

bool nonEmpty(const char* name) {
  const char* v = raw(name);
  return v && v[0] != '\0';
}

std::string text(const char* name) {
  const char* v = raw(name);
  return v ? v : "";
}

std::optional<long> integer(const char* name) {
  const char* v = raw(name);
  if (!v || !*v) return std::nullopt;
  return std::strtol(v, nullptr, 10);
}

}  // namespace le::env
