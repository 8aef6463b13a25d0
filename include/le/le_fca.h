/* vozaz_core: feature-conditioned audio (le_fca).
 *
 * Turns a whole recorded utterance of 16 kHz mono float audio into one
 * expression delta of 63 floats (21 keypoints x, y, z) per video frame, 25
 * frames per second, 640 samples per frame, all in one call. The object runs
 * its own copy of the 8 s speech encoder and the bundle's "fca_stream.onnx";
 * the deltas follow the speech's loudness relative to the utterance's own
 * voiced frames, so they need no calibration per speaker.
 *
 * One call at a time per object; objects are independent. The family's last
 * error (le_fca_last_error) is one thread-local text, cleared by
 * le_fca_create and le_fca_deltas.
 */
#ifndef LE_LE_FCA_H
#define LE_LE_FCA_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_fca le_fca;

/* Opens the 8 s speech encoder ("input_values" [1,128000] -> "audio_emb"
 * [12,200,768]) and the fca model ("cond" [1,5376], "prev" [1,63],
 * "h" [1,1,384] -> "m", "hn") on the CPU with `threads` intra-op threads
 * each (< 1: the library's pool size). NULL on failure. */
LE_API le_fca* le_fca_create(const char* encoder_path, const char* fca_path, int threads);
/* Frees the object; NULL is ignored. */
LE_API void le_fca_destroy(le_fca* fca);
/* The calling thread's last error of this family; "" when none, never NULL. */
LE_API const char* le_fca_last_error(void);

/* Writes F = ceil(n / 640) rows of 63 floats to out and returns F; 0 when
 * n < 1. -1 when F > max_frames (nothing is run) or on failure. */
LE_API int le_fca_deltas(le_fca* fca, const float* audio, int n, float* out, int max_frames);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_FCA_H */
