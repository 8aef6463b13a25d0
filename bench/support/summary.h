// Benchmarks note their headline ratios here; the process prints them as one
// line when it exits, after Google Benchmark's own table.
#pragma once

#include <string>

namespace lb {

// Records `text` under `key` (a later note of the same key replaces it).
void note(const std::string& key, const std::string& text);

// Resident set size of this process, in MiB.
double rssMiB();

}  // namespace lb
