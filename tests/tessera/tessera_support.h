// Shared by the teeth tests: the forged teeth bundle copied to a scratch
// directory where a test may break one member.
#pragma once

#include <string>
#include <vector>

namespace tt {

// A scratch copy of bundle_teeth's manifest and teeth members.
std::string teethCopy();
// Runs the Python statement `edit` on the JSON file at `path`, loaded as `j`,
// and writes the result back.
void editJson(const std::string& path, const std::string& edit);
// One edited copy of the JSON file at `path` per Python statement (each run
// on its own fresh load `j`), written as <dir>/variant_<i>.json by one
// interpreter; returns their texts.
std::vector<std::string> jsonVariants(const std::string& path, const std::vector<std::string>& edits,
                                      const std::string& dir);

}  // namespace tt
