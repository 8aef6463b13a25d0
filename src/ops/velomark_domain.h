// The custom operator domain "com.velomark": one process-wide domain object
// holding the library's replacements for standard director operators, and
// the entry points that add it to a session's options.
#pragma once

#include "ort/api.h"

namespace le {

// The process-wide domain, created on first call and released at exit; a
// failed creation is retried by the next call.
Ort::CustomOpDomain& velomarkDomain();
// Adds the domain's operators, in order: GridSampleFast, WarpDirector, SeparableResize.
void domainOps(Ort::CustomOpDomain& domain);
// Either entry point adds the whole domain to the options.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

}  // namespace le
