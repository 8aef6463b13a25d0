#include "driver/image_rgb.h"

#include <memory>
#include <stdexcept>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_FAILURE_USERMSG
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace le {

ImageRGB loadImageRGB(const std::string& path) {
  int w = 0, h = 0, channels = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load(path.c_str(), &w, &h, &channels, 3), stbi_image_free);
  if (!pixels) throw std::runtime_error("decode failed: " + path);
  ImageRGB img;
  img.w = w;
  img.h = h;
  img.rgb.assign(pixels.get(), pixels.get() + static_cast<size_t>(w) * h * 3);
  return img;
}

}  // namespace le
