// Look-ahead frame cursor with its own decode thread, a short history and
// looping playback over a driver::Source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bundle/prior_stream.h"
#include "driver/source.h"

namespace le {

struct Manifest;

class DriverCursor {
 public:
  DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int behind);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int ahead, int behind);
  // The bundle's target frames: a populated JPEG directory or the MP4 member.
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int ahead, int behind);
  // The bundle's HEVC warp prior.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int ahead, int behind);

  // Next frame in playback order (wrapping NT-1 -> 0), copied; returns its index.
  int pull(uint8_t* out);
  // Next frame in place; valid until behind+1 further frames are handed out.
  const uint8_t* pull(int* index);
  // In place and writable: never served again from history.
  uint8_t* pullMut(int* index);
  int pullAt(int i, uint8_t* out);
  const uint8_t* pullAt(int i, int* index);
  uint8_t* pullMutAt(int i, int* index);

  void seek(int i);
  int position() const;
  size_t seeks() const;
  size_t residentBytes() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;

 public:
  const int NT;
  const int W;
  const int H;
  const size_t frameBytes;
  const std::string name;
};

// The bundle's HEVC warp prior as the identity plays it: a short look-ahead
// and enough history for a batch of renders to hold their frames.
std::unique_ptr<PriorStream> openPriorStream(const Manifest& m);

}  // namespace le
