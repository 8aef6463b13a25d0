// What the vozaz tool tests read back from the videos they make.
#pragma once

#include <string>
#include <vector>

namespace lt {

// The forged speech_b (5.08 s, 127 frames) written by ffmpeg as dir/name,
// which names the format, with ffmpeg's output flags.
std::string speechFile(const std::string& dir, const std::string& name, const std::string& flags = "");
// The MP4's audio track decoded back to 16 kHz mono floats by ffmpeg.
std::vector<float> decodedAudio(const std::string& mp4);
// The lag (in samples, within +-maxLag of want) at which b best matches a.
long bestLag(const std::vector<float>& a, const std::vector<float>& b, long want, long maxLag);

}  // namespace lt
