// FFmpeg-backed frame sources: the H.264 driver video and the HEVC 4:4:4
// warp prior (factories in driver/source.h).
#pragma once

#include <string>

namespace le {

// "libavcodec <version> / <configuration>", for diagnostics.
std::string movieDecoderBuild();

}  // namespace le
