// RGB frames to baseline JPEG through libjpeg-turbo's TurboJPEG API, into a
// caller buffer sized once for the frame, so encoding never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vozaz {

class JpegEncoder {
 public:
  JpegEncoder(int width, int height, int quality);
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // The most bytes one frame can take.
  size_t maxBytes() const { return maxBytes_; }
  // Encodes width x height x 3 bytes of RGB into dst (maxBytes() long);
  // returns the JPEG's length.
  size_t encode(const uint8_t* rgb, uint8_t* dst);

 private:
  void* handle_;
  int width_, height_, quality_;
  size_t maxBytes_;
};

}  // namespace vozaz
