// Pluggable frame source behind the driver cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace le::driver {

class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes of one decoded frame; packed RGB unless a source says otherwise.
  virtual size_t frameBytes() const { return static_cast<size_t>(W()) * H() * 3; }
  // Decodes the frame at the current position into dst and advances; false
  // at the end of the stream.
  virtual bool next(uint8_t* dst) = 0;
  virtual void rewind() = 0;
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  // Memory the source itself keeps resident. Called from consumer threads
  // while the producer decodes, so implementations read only atomics.
  virtual size_t residentBytes() const = 0;
};

// "target_frames/frame_%06d.jpg" style directory decoded with stb_image.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);
// H.264 4:2:0 driver video decoded to packed RGB.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);
// HEVC 4:4:4 warp prior decoded to three half-float planes of crop x crop.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop);

}  // namespace le::driver
