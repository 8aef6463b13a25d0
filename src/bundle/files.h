// Whole-file readers for bundle members.
#pragma once

#include <string>

namespace le {

// The whole file; throws "cannot open <path>" or "short read <path>".
std::string readFile(const std::string& path);
// The whole text, read in 8 KiB chunks; throws "cannot open <path>".
std::string readText(const std::string& path);
// readText for callers that treat a missing file as empty (the driver).
std::string readTextOrEmpty(const std::string& path);

}  // namespace le
