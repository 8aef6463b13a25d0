// Decodes any audio file FFmpeg reads to 16 kHz mono signed 16-bit samples
// (libavformat, libavcodec, libswresample).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vozaz {

// Throws one sentence naming the file when it cannot be opened or holds no
// decodable audio stream.
std::vector<int16_t> readSpeech16k(const std::string& path);

}  // namespace vozaz
