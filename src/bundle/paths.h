// Small POSIX path helpers shared by the bundle code.
#pragma once

#include <string>

namespace le {

// Removes trailing '/' while more than one character remains ("/" stays).
std::string rstripSlash(const std::string& p);
// Part after the last '/' of rstripSlash(p); all of it when there is none.
std::string baseName(const std::string& p);
// Part before the last '/' of rstripSlash(p); "." without a '/', "/" when
// the only '/' leads.
std::string dirName(const std::string& p);
// Creates p and its missing parents (0755). True when p is then a
// directory; "", "." and ".." count as existing. Safe against a concurrent
// creator of the same path.
bool mkdirs(const std::string& p);
// Removes p recursively without following symbolic links; a missing path is
// not an error.
void rmTree(const std::string& p);

bool isDirectory(const std::string& p);
bool pathExists(const std::string& p);
// True when fopen(p, "rb") succeeds.
bool opensForReading(const std::string& p);
bool endsWith(const std::string& s, const std::string& suffix);

}  // namespace le
