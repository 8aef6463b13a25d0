// The teeth members of a bundle: which are present (the carriage), the
// all-or-nothing rule over them, and their checked contents for the pass.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct Manifest;

// Default member names, in slot order.
struct TesseraSlots {
  std::string bankTrack = "tessera_bank.v1.mp4";
  std::string bankSidecar = "tessera_bank.v1.json";
  std::string headWeights = "tessera_head.v1.pt";
  std::string headConfig = "tessera_head.v1.json";
};

inline constexpr int kTesseraSlotCount = 4;
// "bank_track", "bank_sidecar", "head_weights", "head_config".
const std::array<const char*, kTesseraSlotCount>& tesseraSlotKeys();
inline int tesseraSlotCount() { return kTesseraSlotCount; }

struct TesseraCarriage {
  std::array<std::string, kTesseraSlotCount> names;  // member names, slot order
  std::array<std::string, kTesseraSlotCount> paths;  // resolved paths
  bool complete = false;                             // no slot missing
  std::vector<std::string> missing;                  // slot keys whose file does not open
  bool declared = false;                             // the manifest has a "tessera" object
  std::vector<std::string> planes;                   // manifest "tessera"."planes"

  // Resolved path of a slot key; throws for an unknown slot.
  std::string path(const std::string& slot) const;
};

// The geometry stamp: canvas_w, canvas_h, window_x0, window_y0, window_w,
// window_h, pad, band_r0, band_r1, band_c0, band_c1, shift_margin.
using TesseraStamp = std::array<int32_t, 12>;
const std::array<const char*, 12>& tesseraStampKeys();
// "{canvas_w=512, canvas_h=512, ...}".
std::string tesseraStampText(const TesseraStamp& stamp);

struct TesseraAttachInputs {
  int n_donors = 0;
  std::vector<int> track_order;  // n_donors
  std::vector<double> cent;      // n_donors x (x, y)
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;  // n_donors
  TesseraStamp stamp{};
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing;
  int band_w = 0;  // (band_c1 - band_c0) + 2 shift_margin
  int band_h = 0;  // (band_r1 - band_r0) + 2 shift_margin

  size_t bandBytes() const { return static_cast<size_t>(band_w) * band_h * 3; }
};

// Never throws for a missing or unreadable manifest: the defaults stand.
TesseraCarriage tesseraCarriage(const std::string& bundle_dir);
TesseraCarriage tesseraCarriage(const Manifest& manifest);
// Throws the "missing teeth member(s)" refusal unless the carriage is complete.
void requireTesseraMembers(const TesseraCarriage& carriage);

TesseraAttachInputs loadTesseraMembers(const std::string& bundle_dir);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Band i of `track` (decode order) to band track_order[i] of `donor`.
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor);

}  // namespace le
