// A head weights file from an untrusted bundle: the ZIP walk and the pickle
// subset must load the head or refuse with a "teeth: " sentence; nothing may
// read outside the input.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/head_pt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(std::vector<uint8_t>(data, data + size));
    if (w.params() != le::tessera::kBlendHeadParams && w.params() != le::tessera::kBlendHead8Params) __builtin_trap();
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).rfind("teeth: ", 0) != 0) __builtin_trap();
  }
  return 0;
}
