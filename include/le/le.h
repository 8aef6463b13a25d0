/* vozaz_core: animates a filmed person from speech, on a CPU.
 *
 * Flat C API. Every function is safe to call with NULL handles; failures
 * return NULL, 0 or -1 and leave one sentence in the calling thread's last
 * error (le_last_error), which each call of this family clears on entry.
 * No exception ever crosses this boundary.
 */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Keypoint rows per set: xs and xd are 21 rows of (x, y, z) floats. */
#define LE_HOST_KP_ROWS 21

/* One avatar bundle opened for rendering. Use from one thread at a time;
 * different contexts are independent. */
typedef struct le_ctx le_ctx;

/* The calling thread's last error of this family: "" when the last call
 * succeeded, never NULL. Valid until the next le_* call on this thread. */
LE_API const char* le_last_error(void);

/* 21, the keypoint rows this build expects (LE_HOST_KP_ROWS). */
LE_API int le_host_kp_rows(void);

/* Opens the bundle at bundle_dir (a directory or an IMX container) for the
 * director model "model_<model_key>.onnx" (usually "render"). intra_op_threads
 * <= 0 lets the library size the director (at most 2 threads); ep is the
 * execution provider, NULL or "" for the CPU. The driver video starts
 * decoding at once; the director is built by the first render. NULL on
 * failure. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int intra_op_threads, const char* ep);
/* Stops the decode thread and frees everything; NULL is ignored. */
LE_API void le_destroy(le_ctx* ctx);

/* Bundle dimensions (0 for NULL): identity frames, canvas width and height,
 * face crop side, stored drive frames. */
LE_API int le_nt(const le_ctx* ctx);
LE_API int le_width(const le_ctx* ctx);
LE_API int le_height(const le_ctx* ctx);
LE_API int le_crop(const le_ctx* ctx);
LE_API int le_drive_frames(const le_ctx* ctx);

/* Renders the face crop of identity frame si (0 <= si < NT) from source
 * keypoints xs and driven keypoints xd (63 floats each). Returns planar
 * float RGB [3][crop][crop] in 0..1, owned by the context and valid until
 * its next render. NULL on failure. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* xs, const float* xd);
/* The same for stored drive frame i (0 <= i < le_drive_frames). */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int i);

/* Copies driver frame si into out_rgb (W*H*3 bytes at least) and pastes
 * `crop` onto it with frame si's paste transform. 1, or 0 on failure. */
LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out_rgb, size_t out_bytes);
/* Pastes the last rendered crop onto driver frame si in the context's own
 * W*H*3 buffer, valid until the next paste. NULL before any render. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si);

/* Render and paste in one call, as RGBA (alpha 255) into out_rgba of at
 * least W*H*4 bytes. 1, or 0 on failure (the render may have happened). */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out_rgba,
                             size_t out_bytes);
LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out_rgba, size_t out_bytes);

/* The unmodified driver frame si (W*H*3 bytes), owned by the context's frame
 * cursor: copy it before pulling further frames. NULL on failure. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si);

/* Resolves a bundle path to the directory it is read from: a plain
 * directory as given, an IMX container unpacked once next to itself (or
 * under $LE_IMX_UNWRAP_ROOT) and reused while it is unchanged. Writes the
 * NUL-terminated path to out. Returns 1; -1 on NULL/zero arguments (no
 * error text), on a too-small buffer or a failed unwrap (out becomes "",
 * le_last_error says why). */
LE_API int le_bundle_resolve_handle(const char* bundle_dir, char* out, size_t out_size);

/* Path of member `name` (legacy or canonical spelling) inside the resolved
 * bundle, written to out. Returns 1 when the file opens, 0 when it does not
 * (out then names the legacy path), -1 on bad arguments, a too-small buffer
 * (out becomes "") or a bundle that cannot be resolved. Leaves le_last_error
 * untouched. */
LE_API int le_bundle_resolve_member(const char* bundle_dir, const char* name,
                                    char* out, size_t out_size);

/* The bundle's HEVC 4:4:4 warp prior, played row by row without a context.
 * A row is one frame: three planes R, G, B of crop*crop half floats
 * (IEEE binary16, 0..1), le_prior_row_bytes = crop*crop*6. Rows may be read
 * from several threads; each read is serialised inside. Errors go to
 * le_last_error. */
typedef struct le_prior le_prior;

/* Opens the prior of the bundle at bundle_dir (directory or IMX container)
 * with its own decode thread, which decodes `lookahead` rows ahead (< 1
 * means 2) and keeps `history` rows behind (< 0 means 0). NULL when the
 * bundle has no HEVC prior or it cannot be opened. */
LE_API le_prior* le_prior_open(const char* bundle_dir, int lookahead, int history);
/* Bytes of one row; 0 for NULL. */
LE_API size_t le_prior_row_bytes(const le_prior* prior);
/* Copies row i (0 <= i < NT) into out, which holds cap bytes. Any index is
 * reachable; going backwards beyond the history decodes again from the
 * start. 1, or 0 on failure. */
LE_API int le_prior_row(le_prior* prior, int i, void* out, size_t cap);
/* The decoder in use, e.g. "hevc444/libavcodec 59.37.100 hevc"; "" for NULL. */
LE_API const char* le_prior_backend(const le_prior* prior);
/* Stops the decode thread and frees the handle; NULL is ignored. */
LE_API void le_prior_close(le_prior* prior);

/* Diagnostics. Every line the library prints (load reports, fallbacks,
 * warnings, and the ONNX Runtime and FFmpeg lines it forwards) goes to one
 * sink. By default that is standard error: the chatty LE_LOG_INFO lines (rewrite
 * and hoist reports) are dropped when VELOMARK_ENGINE_QUIET=1, while the few
 * that say what a load chose (the director's ep, the driver's decoder) stay;
 * LE_LOG_DEBUG lines show only with VELOMARK_DEBUG=1.
 * A host callback receives every line instead, at every level, with its
 * trailing newline, and filters as it likes; nothing then reaches standard
 * error. Calls are serialised (one line at a time) and may come from any
 * library thread; the callback must not call back into the library. */
typedef enum le_log_level {
  LE_LOG_DEBUG = 0, /* third-party detail: FFmpeg's own warnings */
  LE_LOG_INFO = 1,  /* routine load and rewrite reports */
  LE_LOG_WARN = 2,  /* fallbacks and warnings: shown even when quiet */
  LE_LOG_ERROR = 3,
} le_log_level;

typedef void (*le_log_callback)(le_log_level level, const char* line, void* user);

/* Sends every later line to cb with user; NULL restores standard error.
 * Process-wide; safe to call from any thread. */
LE_API void le_log_set(le_log_callback cb, void* user);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
inline constexpr int kHostKpRows = LE_HOST_KP_ROWS;
}  // namespace le
#endif

#endif /* LE_LE_H */
