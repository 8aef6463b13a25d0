// Helpers of the driver, identity, drive and render tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lt {

// A scratch copy of fixture `name`; returns its directory.
std::string copyFixture(const std::string& name);
// Replaces the first occurrence of `from` in dir/manifest.json; "{" adds keys.
void editManifest(const std::string& dir, const std::string& from, const std::string& to);
// Standard output of the shell command `cmd`.
std::string capture(const std::string& cmd);
// Every frame as the ffmpeg command line decodes it to pix_fmt.
std::vector<uint8_t> ffmpegDecode(const std::string& video, const std::string& pixFmt);

}  // namespace lt
