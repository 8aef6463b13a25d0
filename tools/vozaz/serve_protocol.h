// The wire between the page and `vozaz serve`: one WebSocket per session.
//
//   page -> server  binary: 16 kHz mono signed 16-bit little-endian samples,
//                   a whole number of them, at most kMaxMessage bytes; the
//                   page sends 20 ms packets.
//                   text: "end", "interrupt", or "report <figures>" (the
//                   self-test's own figures, logged as they come).
//   server -> page  binary: a kFrameHeader-byte header, then the frame as JPEG.
//                   text: one JSON object, {"type":"ready",...} once the
//                   session is loaded, then {"type":"stats",...} twice a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "le/le_utt.h"

namespace vozaz::serve {

// Also the limit on text: a report fits many times over.
constexpr size_t kMaxMessage = 4096;

// Frame header, little-endian: kind (u8), version (u8, 1), two zero bytes,
// utterance frame (i32, -1 outside speech), driver index (i32), sequence (u32).
constexpr size_t kFrameHeader = 16;
void writeFrameHeader(const le_utt_frame_info& info, uint8_t* out);

struct ClientText {
  enum Kind { kEnd, kInterrupt, kReport, kBad } kind;
  // A report's figures, or why the text was refused.
  std::string_view detail;
};
ClientText parseClientText(std::string_view text);

// Why a binary message is not audio, or nullptr when it is.
const char* audioProblem(size_t bytes);
// Little-endian sample pairs to samples; n is even.
void decodeSamples(const uint8_t* bytes, size_t n, int16_t* out);

// s as the inside of a JSON string.
std::string jsonEscape(std::string_view s);

}  // namespace vozaz::serve
