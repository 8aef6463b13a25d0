// A warp prior that plays frame by frame from a video member instead of
// being mapped. The driver layer plays it; the identity only asks for frames,
// so the bundle layer never depends on the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace le {

struct Manifest;

class PriorStream {
 public:
  virtual ~PriorStream() = default;
  // Frame i (three planes of crop² halves), valid while the stream retains it.
  virtual const uint8_t* frameAt(int i) = 0;
  virtual std::string backend() const = 0;
  virtual size_t residentBytes() const = 0;
  virtual size_t seeks() const = 0;
};

// Opens the bundle's video prior; called once, on the first frame asked for.
using PriorOpener = std::function<std::unique_ptr<PriorStream>(const Manifest&)>;

}  // namespace le
