// vozaz frame / vozaz drive: the library's frame path from the command line,
// through the public C API; input files come in through the library's one whole-file reader.
#include <stb_image_write.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "bundle/files.h"
#include "commands.h"
#include "le/le.h"
#include "le/le_cpp.h"
#include "video_writer.h"

namespace vozaz {
namespace {

using Ctx = le_ctx_ptr;

[[noreturn]] void failWithLastError() { throw std::runtime_error(le_last_error()); }

Ctx openBundle(const std::string& bundle, int threads) {
  Ctx c(le_create(bundle.c_str(), "render", threads, nullptr));
  if (!c) failWithLastError();
  return c;
}

// The first n elements of a raw little-endian file.
template <class T>
std::vector<T> readLeading(const std::string& path, size_t n, const std::string& refusal) {
  std::string bytes;
  if (le::readWhole(path, bytes) != le::ReadStatus::kOk || bytes.size() < n * sizeof(T))
    throw std::runtime_error(refusal);
  std::vector<T> out(n);
  std::memcpy(out.data(), bytes.data(), n * sizeof(T));
  return out;
}

std::vector<float> readKeypoints(const std::string& path) {
  const size_t n = static_cast<size_t>(le_host_kp_rows()) * 3;
  return readLeading<float>(path, n, path + " does not hold " + std::to_string(n) + " little-endian floats");
}

// The drive track's source indices, read through the member resolver.
std::vector<int32_t> driveSourceIndices(const std::string& bundle, int frames) {
  char path[4096];
  if (le_bundle_resolve_member(bundle.c_str(), "drive/si.i32", path, sizeof path) != 1)
    throw std::runtime_error("the bundle has no readable drive/si.i32");
  return readLeading<int32_t>(path, static_cast<size_t>(frames), std::string("short ") + path);
}

void writePng(const std::string& path, int w, int h, int channels, const uint8_t* px) {
  if (!stbi_write_png(path.c_str(), w, h, channels, px, w * channels)) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> cropToRgb(const float* crop, int side) {
  const size_t plane = static_cast<size_t>(side) * side;
  std::vector<uint8_t> rgb(plane * 3);
  for (size_t p = 0; p < plane; ++p)
    for (int c = 0; c < 3; ++c)
      rgb[3 * p + c] = static_cast<uint8_t>(std::clamp(crop[c * plane + p] * 255.f + 0.5f, 0.f, 255.f));
  return rgb;
}

// A frame index the user typed, checked before the library sees it, so the
// refusal names the flag and the range instead of a C call.
int indexIn(const Args& a, const std::string& flag, int count, const char* what) {
  const int i = a.integer(flag, 0);
  if (i < 0 || i >= count)
    throw std::runtime_error(flag + " " + std::to_string(i) + " is out of range: this bundle has " +
                             std::to_string(count) + " " + what + " (0.." + std::to_string(count - 1) + ")");
  return i;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool isVideoPath(const std::string& p) {
  for (const char* ext : {".mp4", ".mov", ".mkv"})
    if (p.size() > 4 && p.compare(p.size() - 4, 4, ext) == 0) return true;
  return false;
}

}  // namespace

int frameCommand(const Args& a) {
  if (a.positional().size() != 1 || !a.has("--out") || (a.has("--xs") != a.has("--xd")) ||
      (a.has("--xs") == a.has("--drive")))
    return a.usage();
  const Ctx ctx = openBundle(a.positional()[0], 0);
  le_ctx* c = ctx.get();
  const int si = indexIn(a, "--si", le_nt(c), "identity frames");
  const std::string out = a.str("--out");
  const float* crop = nullptr;
  std::vector<float> xs, xd;
  if (a.has("--drive")) {
    crop = le_render_drive_crop(c, indexIn(a, "--drive", le_drive_frames(c), "drive frames"));
  } else {
    xs = readKeypoints(a.str("--xs"));
    xd = readKeypoints(a.str("--xd"));
    crop = le_render_kp_crop(c, si, xs.data(), xd.data());
  }
  if (!crop) failWithLastError();
  const int W = le_width(c), H = le_height(c);
  if (a.has("--crop-only")) {
    writePng(out, le_crop(c), le_crop(c), 3, cropToRgb(crop, le_crop(c)).data());
  } else if (a.has("--rgba")) {
    const uint8_t* rgb = le_paste_last(c, si);
    if (!rgb) failWithLastError();
    std::vector<uint8_t> rgba(static_cast<size_t>(W) * H * 4);
    for (size_t p = 0; p < static_cast<size_t>(W) * H; ++p) {
      std::copy(rgb + 3 * p, rgb + 3 * p + 3, &rgba[4 * p]);
      rgba[4 * p + 3] = 255;
    }
    writePng(out, W, H, 4, rgba.data());
  } else {
    const uint8_t* rgb = le_paste_last(c, si);
    if (!rgb) failWithLastError();
    writePng(out, W, H, 3, rgb);
  }
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

int driveCommand(const Args& a) {
  if (a.positional().size() != 1 || !a.has("--out")) return a.usage();
  const std::string bundle = a.positional()[0], out = a.str("--out");
  const Ctx ctx = openBundle(bundle, a.integer("--threads", 0));
  le_ctx* c = ctx.get();
  const int total = le_drive_frames(c);
  const int frames = std::min(a.integer("--frames", total), total);
  const std::vector<int32_t> si = driveSourceIndices(bundle, total);
  const int W = le_width(c), H = le_height(c);

  std::unique_ptr<VideoWriter> video;
  if (isVideoPath(out)) {
    video = std::make_unique<VideoWriter>(out, W, H, 25);
  } else {
    ::mkdir(out.c_str(), 0755);
  }
  using clock = std::chrono::steady_clock;
  const auto ms = [](clock::time_point a0, clock::time_point a1) {
    return std::chrono::duration<double, std::milli>(a1 - a0).count();
  };
  std::vector<double> render_ms, paste_ms;
  const auto start = clock::now();
  for (int i = 0; i < frames; ++i) {
    const auto t0 = clock::now();
    if (!le_render_drive_crop(c, i)) failWithLastError();
    const auto t1 = clock::now();
    const uint8_t* rgb = le_paste_last(c, si[i]);
    if (!rgb) failWithLastError();
    const auto t2 = clock::now();
    render_ms.push_back(ms(t0, t1));
    paste_ms.push_back(ms(t1, t2));
    if (video) {
      video->write(rgb);
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06d.png", i);
      writePng(out + name, W, H, 3, rgb);
    }
  }
  if (video) video->finish();
  const double seconds = ms(start, clock::now()) / 1000.0;
  std::printf("%d frames of %dx%d in %.1f s: %.2f frames/s; median render %.1f ms, paste %.1f ms per frame\n", frames,
              W, H, seconds, frames / std::max(seconds, 1e-9), median(render_ms), median(paste_ms));
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

}  // namespace vozaz
