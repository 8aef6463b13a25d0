// le_tessera_*: the teeth members' carriage and contents for hosts. Errors
// go to the caller's buffer, never to a thread-local string.
#include "le/le_tessera.h"
#include "le/last_error.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "bundle/imx.h"
#include "bundle/paths.h"
#include "tessera/members.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
  std::string pathOut;  // what le_tessera_carriage_path last returned
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
};

namespace {


// The carriage of a bundle nothing could be read from.
le::TesseraCarriage allMissing() {
  le::TesseraCarriage c;
  const le::TesseraSlots defaults;
  c.names = {defaults.bankTrack, defaults.bankSidecar, defaults.headWeights, defaults.headConfig};
  for (const char* key : le::tesseraSlotKeys()) c.missing.push_back(key);
  return c;
}

const char* textOf(const le_tessera_members* m, std::string le::TesseraAttachInputs::*field) {
  return m ? (m->in.*field).c_str() : "";
}

}  // namespace

extern "C" {

LE_API int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

LE_API const char* le_tessera_slot_key(int i) {
  return i >= 0 && i < le::tesseraSlotCount() ? le::tesseraSlotKeys()[static_cast<size_t>(i)] : nullptr;
}

LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  try {
    auto* h = new le_tessera_carriage;
    try {
      h->c = le::tesseraCarriage(le::rstripSlash(le::resolveBundlePath(bundle_dir)));
    } catch (const std::bad_alloc&) {
      delete h;
      return nullptr;
    } catch (...) {
      h->c = allMissing();
    }
    return h;
  } catch (...) {
    return nullptr;
  }
}

LE_API void le_tessera_carriage_close(le_tessera_carriage* c) { delete c; }

LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }

LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

LE_API const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot) {
  if (!c || !slot) return "";
  try {
    c->pathOut = c->c.path(slot);
    return c->pathOut.c_str();
  } catch (...) {
    return "";
  }
}

LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c) {
  return c ? static_cast<int>(c->c.missing.size()) : 0;
}

LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int i) {
  if (!c || i < 0 || static_cast<size_t>(i) >= c->c.missing.size()) return nullptr;
  return c->c.missing[static_cast<size_t>(i)].c_str();
}

LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  if (!bundle_dir) {
    le::copyToCaller("le_tessera_members_open: null bundle_dir", err, err_len);
    return nullptr;
  }
  try {
    auto h = std::make_unique<le_tessera_members>();
    h->in = le::loadTesseraMembers(bundle_dir);
    return h.release();
  } catch (const std::bad_alloc&) {
    le::copyToCaller("le_tessera_members_open: out of memory", err, err_len);
  } catch (const std::exception& e) {
    le::copyToCaller(e.what(), err, err_len);
  } catch (...) {
    le::copyToCaller("le_tessera_members_open: unknown failure", err, err_len);
  }
  return nullptr;
}

LE_API void le_tessera_members_close(le_tessera_members* m) { delete m; }

LE_API int le_tessera_members_n_donors(const le_tessera_members* m) { return m ? m->in.n_donors : 0; }
LE_API int le_tessera_members_band_w(const le_tessera_members* m) { return m ? m->in.band_w : 0; }
LE_API int le_tessera_members_band_h(const le_tessera_members* m) { return m ? m->in.band_h : 0; }

LE_API long le_tessera_members_band_bytes(const le_tessera_members* m) {
  return m ? static_cast<long>(m->in.bandBytes() * static_cast<size_t>(m->in.n_donors)) : 0;
}

LE_API const double* le_tessera_members_cent(const le_tessera_members* m) {
  return m && !m->in.cent.empty() ? m->in.cent.data() : nullptr;
}
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m) {
  return m && !m->in.aperture.empty() ? m->in.aperture.data() : nullptr;
}
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}
LE_API const int* le_tessera_members_stamp(const le_tessera_members* m) { return m ? m->in.stamp.data() : nullptr; }

LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m) {
  return m && !m->in.head_pt.empty() ? m->in.head_pt.data() : nullptr;
}
LE_API long le_tessera_members_head_pt_len(const le_tessera_members* m) {
  return m ? static_cast<long>(m->in.head_pt.size()) : 0;
}

LE_API const char* le_tessera_members_head_json(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::head_json);
}
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::manifest_json);
}
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::bank_track_path);
}
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::bank_container);
}
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::bank_codec);
}
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::bank_pix_fmt);
}
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m) {
  return textOf(m, &le::TesseraAttachInputs::bank_packing);
}

LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* donor, char* err,
                                      int err_len) {
  if (!m || !track || !donor) {
    le::copyToCaller("le_tessera_members_reorder: null argument", err, err_len);
    return 1;
  }
  try {
    le::reorderTrackToDonor(m->in, track, donor);
    return 0;
  } catch (const std::exception& e) {
    le::copyToCaller(e.what(), err, err_len);
  } catch (...) {
    le::copyToCaller("le_tessera_members_reorder: unknown failure", err, err_len);
  }
  return 1;
}

}  // extern "C"
