// Shared by the teeth tests: a bundle's members loaded as the pass takes
// them, the pass's C call over a run of frames, and scratch copies of the
// forged teeth bundle where a test may break one member.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "tessera/members.h"
#include "tessera/teeth_pass.h"

namespace tt {

// A bundle's teeth members, and the bank, head and configuration made from them.
struct Members {
  explicit Members(const std::string& dir);
  le::TesseraAttachInputs in;
  le::tessera::BankData bank;
  le::tessera::HeadWeights head;
  le::tessera::ServeConfig cfg;
  const le::tessera::GeometryStamp& stamp() const { return bank.stamp; }
};

// What le_tessera_run_shift (le_tessera_run when shifts is null) gave for n
// canvas frames and masks under the head configuration `headJson`.
struct CRun {
  int rc = -1;
  std::vector<uint8_t> windows;
  std::vector<int> status;
  std::string err;
};
CRun runC(const Members& m, const std::string& headJson, const uint8_t* frames, const uint8_t* masks,
          const int* shifts, int n);

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
