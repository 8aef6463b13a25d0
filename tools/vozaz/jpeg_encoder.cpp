#include "jpeg_encoder.h"

#include <turbojpeg.h>

#include <stdexcept>
#include <string>

namespace vozaz {

JpegEncoder::JpegEncoder(int width, int height, int quality)
    : handle_(tjInitCompress()), width_(width), height_(height), quality_(quality) {
  if (!handle_) throw std::runtime_error(std::string("cannot start the JPEG encoder: ") + tjGetErrorStr2(nullptr));
  maxBytes_ = tjBufSize(width, height, TJSAMP_420);
}

JpegEncoder::~JpegEncoder() { tjDestroy(handle_); }

size_t JpegEncoder::encode(const uint8_t* rgb, uint8_t* dst) {
  unsigned char* out = dst;
  unsigned long size = maxBytes_;
  if (tjCompress2(handle_, rgb, width_, 0, height_, TJPF_RGB, &out, &size, TJSAMP_420, quality_,
                  TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0)
    throw std::runtime_error(std::string("JPEG encoding failed: ") + tjGetErrorStr2(handle_));
  return size;
}

}  // namespace vozaz
