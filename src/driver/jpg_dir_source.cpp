// Driver frames stored as one JPEG per frame: dir/frame_%06d.jpg.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "driver/image_rgb.h"
#include "driver/source.h"

namespace le::driver {
namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), NT_(nt), W_(w), H_(h) {}

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }
  void rewind() override { pos_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    pos_ = i;
  }

  bool next(uint8_t* dst) override {
    if (pos_ >= NT_) return false;
    std::string path(dir_.size() + 32, '\0');
    path.resize(static_cast<size_t>(std::snprintf(path.data(), path.size(), "%s/frame_%06d.jpg", dir_.c_str(), pos_)));
    const ImageRGB img = loadImageRGB(path);
    if (img.w != W_ || img.h != H_)
      throw std::runtime_error("le_driver: " + path + " is " + std::to_string(img.w) + "x" + std::to_string(img.h) +
                               ", the manifest says " + std::to_string(W_) + "x" + std::to_string(H_) + " — refusing");
    std::memcpy(dst, img.rgb.data(), img.rgb.size());
    ++pos_;
    return true;
  }

 private:
  std::string dir_;
  int NT_, W_, H_;
  int pos_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

}  // namespace le::driver
