// Every environment switch the library reads, and the one parser for them.
// A name must be listed in the table before it can be read, so a new
// switch cannot ship undocumented; the README table mirrors this one.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace le::env {

struct Switch {
  const char* name;
  const char* fallback;  // what happens when it is unset
  const char* reader;    // the subsystem that reads it
  const char* effect;
  bool once;  // read once and kept for the life of the process
};

std::span<const Switch> switches();

// The raw value, or null when unset. Throws std::logic_error for a name
// missing from the table.
const char* raw(const char* name);

// The variable is set to exactly `value`.
bool equals(const char* name, const char* value);
// The variable is set and its first character is `c`.
bool beginsWith(const char* name, char c);
// The variable is set and not empty.
bool nonEmpty(const char* name);
// The value, or "" when unset.
std::string text(const char* name);
// The leading decimal integer (strtol rules); nothing when unset or empty.
std::optional<long> integer(const char* name);

}  // namespace le::env
