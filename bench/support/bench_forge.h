// Benchmark inputs are forged into the bench scratch directory at run time,
// once per directory, never committed.
#pragma once

#include <string>

namespace lb {

// Runs `tools/forge <command> <scratch>/<name> <args>` unless that directory
// already holds a manifest; returns the directory. Throws when the forge fails.
std::string forgedBundle(const std::string& command, const std::string& name, const std::string& args);

}  // namespace lb
