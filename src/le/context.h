// le_ctx: everything one avatar bundle needs to turn keypoints into finished
// frames. Members are declared in construction order; destruction runs in
// reverse, so the cursor's decode thread stops before the identity it may
// read from is unmapped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "paste/paste.h"
#include "render/renderer.h"

struct le_ctx {
  le_ctx(const char* bundle_dir, const char* model_key, int intra_op_threads, const char* ep);

  // The director, built on first use with the context's thread choice.
  le::Renderer& ensureRenderer();
  // Renders one crop of identity frame si; builds the renderer on first use.
  const float* renderCrop(int si, const float* xs, const float* xd);
  // Target frame si into out (W*H*3 bytes) with `crop` composited onto it.
  void pasteInto(int si, const float* crop, uint8_t* out);
  size_t frameBytes() const { return static_cast<size_t>(manifest.W) * manifest.H * 3; }

  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;
  std::unique_ptr<le::Paste> paste;
  int intraOpThreads;
  std::string ep;
  bool callerChoseThreads;
  int rendererThreads = 0;  // intra-op threads the director was built with
  std::string modelKey;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;
};
