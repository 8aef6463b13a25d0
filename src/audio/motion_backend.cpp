#include "audio/motion_backend.h"

#include <sys/stat.h>

#include <exception>

#include "audio/a2x_stream.h"
#include "audio/motion_meta.h"
#include "audio/motion_pipeline.h"
#include "bundle/files.h"
#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"

namespace le::audio {

bool hasStreamingEncoder(const std::string& motionDir) {
  return opensForReading(resolveMember(resolveBundlePath(motionDir), "a2x_enc_stream.onnx"));
}

int motionFrameCount(const std::string& motionDir, bool streaming) {
  try {
    if (!streaming) return motion::parseMeta(readFile(motionDir + "/meta.json")).nt;
    struct stat st {};
    const std::string xs = resolveMember(resolveBundlePath(motionDir), "xs_target.bin");
    if (::stat(xs.c_str(), &st) != 0) return -1;
    const off_t rows = st.st_size / static_cast<off_t>(kKp * sizeof(float));
    return rows >= 1 ? static_cast<int>(rows) : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

std::unique_ptr<MotionBackend> openMotionBackend(const std::string& motionDir, bool streaming, int threads,
                                                 const std::string& ep) {
  if (streaming) return std::make_unique<a2x::Stream>(motionDir, threads);
  return std::make_unique<motion::Pipeline>(motionDir, threads, ep);
}

}  // namespace le::audio
