// le_prior_*: the warp prior row by row, sharing le_last_error.
#include <memory>
#include <string>

#include "le/last_error.h"
#include "le/le.h"
#include "le/prior.h"

extern "C" {

LE_API le_prior* le_prior_open(const char* bundle_dir, int lookahead, int history) {
  le::lastError().clear();
  if (!bundle_dir) {
    le::lastError() = "le_prior_open: NULL bundle_dir";
    return nullptr;
  }
  return le::cGuard<le_prior*>("le_prior_open", nullptr, [&] {
    auto prior = std::make_unique<le_prior>();
    prior->manifest = le::loadManifest(bundle_dir);
    prior->cursor =
        le::DriverCursor::openPrior(prior->manifest, lookahead < 1 ? 2 : lookahead, history < 0 ? 0 : history);
    prior->backend = prior->cursor->name;
    return prior.release();
  });
}

LE_API size_t le_prior_row_bytes(const le_prior* prior) { return prior ? prior->cursor->frameBytes : 0; }

LE_API int le_prior_row(le_prior* prior, int i, void* out, size_t cap) {
  le::lastError().clear();
  if (!prior || !out) {
    le::lastError() = "le_prior_row: NULL prior/out";
    return 0;
  }
  const size_t need = prior->cursor->frameBytes;
  if (cap < need) {
    le::lastError() = "le_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(need);
    return 0;
  }
  return le::cGuard("le_prior_row", 0, [&] {
    prior->cursor->pullAt(i, static_cast<uint8_t*>(out));
    return 1;
  });
}

LE_API const char* le_prior_backend(const le_prior* prior) { return prior ? prior->backend.c_str() : ""; }

LE_API void le_prior_close(le_prior* prior) { std::unique_ptr<le_prior> owned(prior); }

}  // extern "C"
