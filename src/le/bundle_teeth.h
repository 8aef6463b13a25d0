// What a host does to give a session teeth, in one call for the tools,
// tests and benchmarks: read the bundle's teeth members, decode the bank
// into donor order and attach them.
#pragma once

#include <string>

#include "le/le_utt.h"

namespace le {

// True when the bundle (directory or IMX container) carries all four teeth members.
bool bundleHasTeeth(const std::string& bundleDir);
// Arms utt's teeth pass from the bundle; throws the refusal.
void attachBundleTeeth(le_utt* utt, const std::string& bundleDir);

}  // namespace le
