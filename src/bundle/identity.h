// The person of a bundle: per-frame source features, warp prior and paste
// transforms, mapped read-only; the prior may instead play from HEVC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/manifest.h"
#include "bundle/mapped_file.h"
#include "bundle/prior_stream.h"

namespace le {

// Refuses a bundle whose warp prior cannot be found.
void ensureIdentityMembers(const Manifest& m);

class Identity {
 public:
  // openPrior plays a video prior when the bundle maps none.
  Identity(const Manifest& m, PriorOpener openPrior);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  const uint16_t* pooled64(int i) const;
  const uint16_t* fsRed(int i) const;  // null without fs_red.f16
  // Frame i of the warp prior: mapped, or held by the prior stream (valid
  // while the stream retains it); null when the bundle has no prior at all.
  const uint16_t* P(int i) const;
  // Keeps an HEVC prior's look-ahead moving towards frame i.
  void walkP(int i) const;
  const float* M(int i) const { return Ms.data() + static_cast<size_t>(i) * 6; }

  PriorStream* prior() const;
  std::string priorBackend() const;
  size_t priorResidentBytes() const;
  size_t priorSeeks() const;

  void rescaleM(const Manifest& m);

  const int NT;
  const int crop;

 private:
  Mapping pooled64_;
  Mapping P_;
  Mapping fsRed_;
  std::vector<float> Ms;
  std::string priorPath_;
  Manifest manifest_;
  mutable std::once_flag priorOnce_;
  PriorOpener openPrior_;
  mutable std::unique_ptr<PriorStream> prior_;
};

// Widens n IEEE binary16 values.
void halfToFloat(const uint16_t* src, float* dst, size_t n);

}  // namespace le
