// Benchmarks note their headline ratios here; the process prints them as one
// line when it exits, after Google Benchmark's own table.
#pragma once

#include <string>

namespace lb {

// Records `text` under `key` (a later note of the same key replaces it).
void note(const std::string& key, const std::string& text);

// Resident set size of this process, in MiB.
double rssMiB();

// CPU time of the whole process, every thread, in seconds: on a shared
// machine the wall clock measures the neighbours, this does not.
double processCpuSeconds();

}  // namespace lb
