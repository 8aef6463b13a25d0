/* vozaz_core: the offline stream (le_stream).
 *
 * Renders a whole recorded utterance in one call, as fast as the machine
 * allows: every frame's expression delta is computed at once (le_fca), then
 * frames are rendered on a worker thread while the calling thread pastes
 * them, and each finished RGB frame goes to the host's callback in order.
 * Frame k plays with audio samples [640 k, 640 (k + 1)) after the skipped
 * frames: 25 frames per second of 16 kHz audio.
 *
 * The stream owns its own context (model "render") and fca object. One run
 * at a time per object; during a run exactly two threads work on it. The
 * family's last error (le_stream_last_error) is one thread-local text,
 * cleared by le_stream_create and le_stream_run.
 */
#ifndef LE_LE_STREAM_H
#define LE_LE_STREAM_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_stream le_stream;

/* One finished frame: number k from 0, W*H*3 RGB bytes valid until the
 * callback returns (the buffer is reused for the next frame). */
typedef void (*le_stream_frame_cb)(void* user, int frame, const uint8_t* rgb, int width, int height);

/* Opens the bundle (directory or IMX container) with its "fca_stream.onnx"
 * and "xs_target.bin" (NT x 63 source keypoints), and the 8 s speech
 * encoder at w2v_path. threads: intra-op threads of the director and of
 * both speech sessions (< 1: the library chooses). skip: audio frames
 * dropped at the start of every run (< 0 taken as 0). gain: multiplies
 * every delta (1: as the model says, 0: the idle face). NULL on failure. */
LE_API le_stream* le_stream_create(const char* bundle_dir, const char* w2v_path, int threads, int skip, float gain);
/* Frees the context, the fca object and the tables; NULL is ignored. */
LE_API void le_stream_destroy(le_stream* stream);
/* The calling thread's last error of this family; "" when none, never NULL. */
LE_API const char* le_stream_last_error(void);
/* The frame size (0 for NULL). */
LE_API int le_stream_width(const le_stream* stream);
LE_API int le_stream_height(const le_stream* stream);

/* Renders n samples of 16 kHz mono audio: ceil(n / 640) - skip frames, the
 * face walking the identity frames in order (frame k shows identity frame
 * k mod NT, counted before skipping). cb may be NULL (frames are rendered
 * and dropped). Returns the frames delivered, 0 when nothing is left after
 * skipping, -1 on failure. */
LE_API int le_stream_run(le_stream* stream, const float* audio, int n, le_stream_frame_cb cb, void* user);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_STREAM_H */
