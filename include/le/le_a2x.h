/* vozaz_core: streaming audio-to-expression (le_a2x).
 *
 * Turns 16 kHz mono float audio into one keypoint row pair per video frame
 * (25 frames per second, 640 samples per frame) for one motion bundle.
 *
 * Contract, independent of time:
 *   - push appends audio; finish marks its end. Nothing is decoded by push.
 *   - avail decodes at most one block (short-window encoders: 8 frames) or
 *     one band (8 s encoder: 64 frames) and returns the frames decoded and
 *     not yet pulled.
 *   - pull hands out decoded frames in order, decoding first when none is
 *     waiting. Before finish, frames within the look-ahead of the audio end
 *     are held back; after finish, all ceil(samples / 640) frames come out.
 *   - reset restarts the stream and the idle cursor; sessions, tables and the
 *     primed decoder state are kept.
 *
 * One thread at a time per object; objects share the process-wide speech
 * encoders. The family's last error (le_a2x_last_error) is one thread-local
 * text, overwritten on each failure and never cleared.
 *
 * avail, pull and pull_wn are C++ calls underneath that let a failed model
 * run or a read behind the retained window propagate as a C++ exception;
 * call them from C++ inside a handler. After such a failure the object is
 * only good for le_a2x_reset or le_a2x_destroy.
 *
 * Switches: W2V_ONNX (the 8 s speech encoder, required), LE_A2X_W2V_WIN_ONNX
 * and LE_A2X_W2V_HEAD_ONNX (the short-window pair), LE_A2X_CUDA,
 * LE_A2X_CUDA_MEM_MIB, LE_A2X_W2V_RIGHT, LE_A2X_SILENCE_PRIME.
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_a2x le_a2x;

/* Opens the motion bundle at bundle_dir (a directory or an IMX container).
 * threads: intra-op threads when 0 < threads < the library's thread budget,
 * else the budget. NULL with the last error set on failure. */
LE_API le_a2x* le_a2x_create(const char* bundle_dir, int threads);
/* Frees the object; NULL is ignored. The shared encoders stay loaded. */
LE_API void le_a2x_destroy(le_a2x* a);
/* The calling thread's last error of this family, "" if none. */
LE_API const char* le_a2x_last_error(void);

/* Rows of the source-keypoint table (idle frames); 0 for NULL. */
LE_API int le_a2x_nt(const le_a2x* a);
/* Stores the value; no other effect. */
LE_API void le_a2x_set_eager(le_a2x* a, int eager);
/* Appends n samples (n < 1 appends nothing). Always 1. */
LE_API int le_a2x_push(le_a2x* a, const float* samples, int n);
/* Marks the end of the audio. */
LE_API void le_a2x_finish(le_a2x* a);
/* -1 until finished, then ceil(total samples / 640). */
LE_API int le_a2x_total(const le_a2x* a);
/* 1 when the bundle's encoder emits the per-frame wn value, else 0. */
LE_API int le_a2x_width(const le_a2x* a);
/* Restarts the stream. start: first idle index (negative continues the
 * cursor where it stands); direction: -1 when negative, else +1; loop:
 * non-zero wraps around the table, zero walks it in ping-pong. */
LE_API void le_a2x_reset(le_a2x* a, int start, int direction, int loop);
/* Frames decoded and not yet pulled, after decoding a little more. */
LE_API int le_a2x_avail(le_a2x* a);
/* Writes up to max frames: idx[i] the idle index, xs row i (63 floats) its
 * source keypoints, xd row i = xs row i + the frame's delta. Frames written. */
LE_API int le_a2x_pull(le_a2x* a, int* idx, float* xs, float* xd, int max);
/* As pull, plus wn[i]: the frame's wn, or 0 without one. */
LE_API int le_a2x_pull_wn(le_a2x* a, int* idx, float* xs, float* xd, float* wn, int max);
/* Whole-utterance deltas of n samples into out (63 floats per frame), the
 * stream untouched: the frame count ceil(n / 640); 0 when n < 1; -2 when
 * that exceeds max_frames; -1 on failure. */
LE_API int le_a2x_deltas(le_a2x* a, const float* audio, int n, float* out, int max_frames);
/* As deltas, then the per-frame wn into wn (zeros without one); -3 when the
 * encoder declares no wn output. */
LE_API int le_a2x_deltas_wn(le_a2x* a, const float* audio, int n, float* out, float* wn, int max_frames);

/* Loads the 8 s speech encoder ahead of time from path (NULL or "": the
 * value of W2V_ONNX). 1 when it is loaded afterwards, else 0. */
LE_API int le_a2x_preload_w2v(const char* path);
/* Always 1: this build loads the 8 s encoder lazily on first use. */
LE_API int le_a2x_w2v8_lazy(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
