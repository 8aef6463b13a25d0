#include "serve_protocol.h"

#include <cstdio>

namespace vozaz::serve {
namespace {

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reports reach the log verbatim, so they hold no quotes, escapes or line ends.
bool reportChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '=' ||
         c == '.' || c == ',' || c == ':' || c == '_' || c == '-' || c == '+';
}

}  // namespace

void writeFrameHeader(const le_utt_frame_info& info, uint8_t* out) {
  out[0] = static_cast<uint8_t>(info.kind);
  out[1] = 1;
  out[2] = out[3] = 0;
  put32(out + 4, static_cast<uint32_t>(info.utt_frame));
  put32(out + 8, static_cast<uint32_t>(info.si));
  put32(out + 12, static_cast<uint32_t>(info.seq));
}

ClientText parseClientText(std::string_view text) {
  if (text == "end") return {ClientText::kEnd, {}};
  if (text == "interrupt") return {ClientText::kInterrupt, {}};
  constexpr std::string_view report = "report ";
  if (text.substr(0, report.size()) != report)
    return {ClientText::kBad, "an unknown command (the commands are end, interrupt and report)"};
  const std::string_view figures = text.substr(report.size());
  if (figures.empty() || figures.size() > 400) return {ClientText::kBad, "a report of 1 to 400 characters"};
  for (char c : figures)
    if (!reportChar(c)) return {ClientText::kBad, "a report with characters other than letters, digits and =.,:_-+"};
  return {ClientText::kReport, figures};
}

const char* audioProblem(size_t bytes) {
  if (bytes == 0) return "an empty audio message";
  if (bytes % 2) return "an audio message that is not a whole number of 16-bit samples";
  return nullptr;  // the message limit bounds the rest
}

void decodeSamples(const uint8_t* bytes, size_t n, int16_t* out) {
  for (size_t i = 0; i + 1 < n; i += 2) out[i / 2] = static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8);
}

std::string jsonEscape(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char u[8];
      std::snprintf(u, sizeof u, "\\u%04x", c);
      out += u;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace vozaz::serve
