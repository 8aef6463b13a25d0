// The seam where a teeth stage joins the session. None can be attached yet,
// so every session answers as one without a teeth pass.
#include "session/utt.h"

int le_utt::teethReport(le::session::TeethReport* report) {
  *report = {};
  return 0;
}
