// le_bundle_resolve_*: bundle and member paths for hosts that do not build a
// whole context.
#include <cstring>
#include <string>

#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "le/last_error.h"
#include "le/le.h"

namespace {

// Copies s with its terminator into out; false (out = "") when it does not fit.
bool copyOut(const std::string& s, char* out, size_t out_size) {
  if (s.size() + 1 > out_size) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" LE_API int le_bundle_resolve_handle(const char* bundle_dir, char* out, size_t out_size) {
  le::lastError().clear();
  if (!bundle_dir || !out || out_size == 0) return -1;
  return le::cGuard("le_bundle_resolve_handle", -1, [&] {
    out[0] = '\0';
    if (copyOut(le::resolveBundlePath(bundle_dir), out, out_size)) return 1;
    le::setLastError("le_bundle_resolve_handle", "buffer too small");
    return -1;
  });
}

extern "C" LE_API int le_bundle_resolve_member(const char* bundle_dir, const char* name, char* out, size_t out_size) {
  if (!bundle_dir || !name || !out || out_size == 0) return -1;
  try {
    const std::string path = le::resolveMember(le::rstripSlash(le::resolveBundlePath(bundle_dir)), name);
    if (!copyOut(path, out, out_size)) return -1;
    return le::opensForReading(path) ? 1 : 0;
  } catch (...) {
    out[0] = '\0';
    return -1;
  }
}
