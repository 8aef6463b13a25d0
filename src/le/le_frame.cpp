// The context and frame family: le_create ... le_target_frame.
#include <cstring>
#include <memory>

#include "base/keypoints.h"
#include "le/context.h"
#include "le/last_error.h"
#include "le/le.h"

namespace {

bool validFrame(const le_ctx* c, int si) { return c && si >= 0 && si < c->manifest.NT; }

// Paste into the context's frame buffer and widen it to RGBA; shared by both
// *_rgba calls, whose buffer check comes after the render has run.
int pasteLastRgba(le_ctx* ctx, int si, uint8_t* out, size_t out_bytes) {
  const size_t pixels = static_cast<size_t>(ctx->manifest.W) * ctx->manifest.H;
  if (!out || out_bytes < pixels * 4) {
    le::lastError() = "le_render_*_rgba: out buffer too small";
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, si);
  if (!rgb) return 0;
  for (size_t p = 0; p < pixels; ++p) {
    out[4 * p + 0] = rgb[3 * p + 0];
    out[4 * p + 1] = rgb[3 * p + 1];
    out[4 * p + 2] = rgb[3 * p + 2];
    out[4 * p + 3] = 255;
  }
  return 1;
}

}  // namespace

extern "C" {

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int intra_op_threads, const char* ep) {
  le::lastError().clear();
  if (!bundle_dir || !model_key) {
    le::lastError() = "le_create: NULL bundle_dir/model_key";
    return nullptr;
  }
  return le::cGuard<le_ctx*>("le_create", nullptr, [&] {
    return std::make_unique<le_ctx>(bundle_dir, model_key, intra_op_threads, ep).release();
  });
}

LE_API void le_destroy(le_ctx* ctx) { std::unique_ptr<le_ctx> owned(ctx); }

LE_API int le_nt(const le_ctx* ctx) { return ctx ? ctx->manifest.NT : 0; }
LE_API int le_width(const le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
LE_API int le_height(const le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
LE_API int le_crop(const le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
LE_API int le_drive_frames(const le_ctx* ctx) { return ctx ? ctx->manifest.frames : 0; }

LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* xs, const float* xd) {
  le::lastError().clear();
  if (!validFrame(ctx, si) || !xs || !xd) {
    le::lastError() = "le_render_kp_crop: bad args";
    return nullptr;
  }
  return le::cGuard<const float*>("le_render_kp_crop", nullptr, [&] { return ctx->renderCrop(si, xs, xd); });
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int i) {
  le::lastError().clear();
  if (!ctx || i < 0 || i >= ctx->drive.n) {
    le::lastError() = "le_render_drive_crop: bad frame index";
    return nullptr;
  }
  const size_t k = static_cast<size_t>(i) * le::kKpFloats;
  return le_render_kp_crop(ctx, ctx->drive.si[i], ctx->drive.xs.data() + k, ctx->drive.xd.data() + k);
}

LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out_rgb, size_t out_bytes) {
  le::lastError().clear();
  if (!validFrame(ctx, si) || !crop || !out_rgb || out_bytes < ctx->frameBytes()) {
    le::lastError() = "le_paste_crop: bad args / out too small";
    return 0;
  }
  return le::cGuard("le_paste_crop", 0, [&] {
    ctx->pasteInto(si, crop, out_rgb);
    return 1;
  });
}

LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si) {
  le::lastError().clear();
  if (!validFrame(ctx, si) || !ctx->lastCrop) {
    le::lastError() = "le_paste_last: bad args / no prior render";
    return nullptr;
  }
  return le::cGuard<const uint8_t*>("le_paste_last", nullptr, [&] {
    ctx->pasteInto(si, ctx->lastCrop, ctx->frame.data());
    return ctx->frame.data();
  });
}

LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out_rgba,
                             size_t out_bytes) {
  if (!ctx) return 0;
  if (!le_render_kp_crop(ctx, si, xs, xd)) return 0;
  return pasteLastRgba(ctx, si, out_rgba, out_bytes);
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out_rgba, size_t out_bytes) {
  if (!ctx) return 0;
  if (!le_render_drive_crop(ctx, i)) return 0;
  return pasteLastRgba(ctx, ctx->drive.si[i], out_rgba, out_bytes);
}

LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si) {
  le::lastError().clear();
  if (!validFrame(ctx, si)) {
    le::lastError() = "le_target_frame: bad args";
    return nullptr;
  }
  return le::cGuard<const uint8_t*>("le_target_frame", nullptr, [&] {
    int index = 0;
    return ctx->cursor->pullAt(si, &index);
  });
}

}  // extern "C"
