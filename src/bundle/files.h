// Whole-file readers for bundle members, models and tool inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

enum class ReadStatus { kOk, kCannotOpen, kShort };

// The one whole-file read: the file's bytes into `out`, sized from fstat.
// Callers that own a refusal text of their own word it from the status.
ReadStatus readWhole(const std::string& path, std::string& out);
ReadStatus readWhole(const std::string& path, std::vector<uint8_t>& out);

// The whole file; throws "cannot open <path>" or "short read <path>".
std::string readFile(const std::string& path);
// The whole text, read in 8 KiB chunks; throws "cannot open <path>".
std::string readText(const std::string& path);
// readText for callers that treat a missing file as empty (the driver).
std::string readTextOrEmpty(const std::string& path);

}  // namespace le
