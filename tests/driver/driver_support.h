// Helpers of the driver, identity and drive tests: scratch copies of forged
// bundles, manifest edits, and the ffmpeg command line as a reference decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lt {

// A scratch copy of fixture `name`; returns its directory.
std::string copyFixture(const std::string& name);
// Replaces the first occurrence of `from` in dir/manifest.json.
void editManifest(const std::string& dir, const std::string& from, const std::string& to);
// Inserts `keys` (e.g. "\"a\": 1, ") right after the manifest's opening brace.
void addManifestKeys(const std::string& dir, const std::string& keys);

// Every frame of a video as the ffmpeg command line decodes it to pix_fmt.
std::vector<uint8_t> ffmpegDecode(const std::string& video, const std::string& pixFmt);
// Largest packet of the first video stream, as ffprobe reports it.
size_t ffprobeMaxPacket(const std::string& video);

// Exact IEEE binary16 widening, written independently of the library.
double halfValue(uint16_t h);

}  // namespace lt
