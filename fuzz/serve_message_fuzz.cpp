// What a browser sends vozaz serve over its WebSocket: the first byte says
// binary (audio) or text (a command); each is accepted or refused cleanly,
// and an accepted report holds nothing that could break the log line.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "serve_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* body = data + 1;
  const size_t n = size - 1;
  namespace vs = vozaz::serve;
  if (data[0] & 1) {
    if (!vs::audioProblem(n)) {
      std::vector<int16_t> samples(n / 2);
      vs::decodeSamples(body, n, samples.data());
    }
    return 0;
  }
  const vs::ClientText t = vs::parseClientText(std::string_view(reinterpret_cast<const char*>(body), n));
  if (t.kind == vs::ClientText::kReport)
    for (char c : t.detail)
      if (c == '\n' || c == '\r' || c == '"' || c == '\\' || c == '%' || static_cast<unsigned char>(c) < 0x20)
        __builtin_trap();
  return 0;
}
