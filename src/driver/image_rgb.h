// Still images decoded to packed 8-bit RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct ImageRGB {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> rgb;  // w * h * 3 bytes, row-major
};

// JPEG/PNG/... via stb_image, always 3 channels; throws "decode failed: <path>".
ImageRGB loadImageRGB(const std::string& path);

}  // namespace le
