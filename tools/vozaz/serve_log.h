// vozaz serve's log: one line per event on standard error, and on a
// terminal a status line kept under them.
#pragma once

#include <string>

namespace vozaz::serve {

void logLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Redrawn under the log lines; only on a terminal.
void setStatus(const std::string& status);

}  // namespace vozaz::serve
