// Quietable diagnostics and the environment switches the renderer reads.
#pragma once

#include <cstdio>

namespace le {

// Standard error, or "/dev/null" when the engine was asked to be quiet
// (VELOMARK_ENGINE_QUIET=1) and debugging is not on (VELOMARK_DEBUG=1).
FILE* diag_stream();

// True when VELOMARK_ENGINE_QUIET is "1" and VELOMARK_DEBUG is not "1".
bool engineQuiet();

namespace env {
// The variable is set to exactly `value`.
bool equals(const char* name, const char* value);
// The variable is set and its first character is `c`.
bool beginsWith(const char* name, char c);
// The variable is set and not empty.
bool nonEmpty(const char* name);
}  // namespace env

}  // namespace le
