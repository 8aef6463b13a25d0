// vozaz render's audio reader over arbitrary file bytes: whatever FFmpeg's
// probe makes of them, the reader returns samples or throws one sentence.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "audio_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // No extension: the format comes from the bytes alone.
  static const std::string path = "/tmp/vozaz_audio_fuzz." + std::to_string(::getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (!written) return 0;
  try {
    vozaz::readSpeech16k(path);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
