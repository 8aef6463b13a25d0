// The one way a diagnostic line leaves the library. Lines go to the host's
// callback when one is set (le_log_set), else to standard error, where the
// quiet and debug switches decide what is shown.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>

namespace le::log {

// Same values as the public le_log_level.
enum class Level { Debug = 0, Info = 1, Warn = 2, Error = 3 };

using Sink = std::function<void(Level level, const char* line)>;

// Replaces the sink; an empty one restores standard error.
void setSink(Sink sink);

// One line, printf-style; a missing trailing newline is added.
void write(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void vwrite(Level level, const char* fmt, va_list args);

// Quietable chatter a quiet host does not want (load reports, rewrites).
void info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A routine report that is always shown (what a load chose): Info for a
// host callback, standard error even when quiet.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Always shown: fallbacks, warnings, reports the user asked for.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Only with VELOMARK_DEBUG=1 on standard error: third-party libraries' own log.
void debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// True when VELOMARK_ENGINE_QUIET is "1" and VELOMARK_DEBUG is not "1".
bool engineQuiet();

}  // namespace le::log

namespace le {
// Standard error, or "/dev/null" when the engine was asked to be quiet.
FILE* diag_stream();
}  // namespace le
