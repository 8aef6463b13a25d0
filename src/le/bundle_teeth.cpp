#include "le/bundle_teeth.h"

#include <stdexcept>

#include "le/le_tessera.h"
#include "tessera/members.h"
#include "tessera/teeth_pass.h"

namespace le {

bool bundleHasTeeth(const std::string& bundleDir) {
  le_tessera_carriage* c = le_tessera_carriage_open(bundleDir.c_str());
  const bool complete = le_tessera_carriage_complete(c) == 1;
  le_tessera_carriage_close(c);
  return complete;
}

void attachBundleTeeth(le_utt* utt, const std::string& bundleDir) {
  const TesseraAttachInputs in = loadTesseraMembers(bundleDir);
  const tessera::BankData bank = tessera::loadBank(in);
  char err[1024] = "";
  if (le_utt_tessera_attach(utt, bank.track.data(), in.n_donors, in.cent.data(), in.c_canon.data(),
                            in.aperture.data(), in.stamp.data(), in.head_json.c_str(), in.head_pt.data(),
                            static_cast<long>(in.head_pt.size()), in.manifest_json.c_str(), err, sizeof err) != 0)
    throw std::runtime_error(err);
}

}  // namespace le
