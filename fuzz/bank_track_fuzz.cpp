// A reference bank track from an untrusted bundle, through the in-memory I/O
// context: it decodes into its donor slots or is refused with a sentence;
// FFmpeg never reads outside the buffer.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tessera/bank_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<int> kOrder = {2, 0, 1, 3};
  try {
    const std::vector<uint8_t> bands = le::tessera::decodeBankTrack(data, size, 4, 12, 20, kOrder);
    if (bands.size() != 4u * 12 * 20 * 3) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
