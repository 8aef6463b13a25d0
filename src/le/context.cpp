#include "le/context.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "base/log.h"
#include "pool/pool.h"

namespace {

// The paste mask keeps its historical member name whatever the crop size.
std::vector<uint8_t> readPasteMask(const le::Manifest& m) {
  const size_t n = static_cast<size_t>(m.crop) * m.crop;
  std::vector<uint8_t> mask(n);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(le::resolveMember(m.dir, "mask_512.u8").c_str(), "rb"),
                                                    std::fclose);
  if (!f || std::fread(mask.data(), 1, n, f.get()) != n) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace

le_ctx::le_ctx(const char* bundle_dir, const char* model_key, int intra_op_threads, const char* ep_name)
    : manifest(le::loadManifest(bundle_dir)),
      identity(manifest, le::openPriorStream),
      drive(le::loadDrive(manifest)),
      intraOpThreads(intra_op_threads > 0 ? intra_op_threads : le::pool::threads()),
      ep(ep_name ? ep_name : ""),
      callerChoseThreads(intra_op_threads > 0),
      modelKey(model_key) {
  paste = std::make_unique<le::Paste>(readPasteMask(manifest), manifest.crop, manifest.unsharp);
  cursor = le::DriverCursor::open(manifest, 2, 11);
  frame.resize(frameBytes());
}

le::Renderer& le_ctx::ensureRenderer() {
  if (!renderer) {
    rendererThreads = intraOpThreads;
    if (!callerChoseThreads && ep.empty()) {
      // Leaves the other cores to the session's paste and decode threads.
      rendererThreads = std::min(intraOpThreads, 2);
      le::log::report(
          "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the le_utt "
          "pipeline\n",
          rendererThreads, intraOpThreads);
    }
    renderer = std::make_unique<le::Renderer>(manifest, identity, modelKey, rendererThreads, ep);
  }
  return *renderer;
}

const float* le_ctx::renderCrop(int si, const float* xs, const float* xd) {
  lastCrop = ensureRenderer().render(&si, xs, xd, 1);
  return lastCrop;
}

void le_ctx::pasteInto(int si, const float* crop, uint8_t* out) {
  cursor->pullAt(si, out);
  paste->composite(crop, 255.0f, identity.M(si), out, manifest.W, manifest.H);
}
