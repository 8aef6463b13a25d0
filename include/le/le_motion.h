/* vozaz_core: the motion pipeline (le_motion), the second audio-to-motion
 * back-end. It mirrors le_a2x: 16 kHz mono float audio in by push, one row
 * per video frame out by pull (25 frames per second, 640 samples per
 * frame): the idle-frame index, that frame's source keypoints xs and the
 * driving keypoints xd, 63 floats each.
 *
 * Contract, independent of time:
 *   - push appends audio; finish marks its end and generates the tail.
 *   - avail runs every conditioning window (5 frames) and motion chunk (80
 *     frames, 70 new) that the audio allows, and returns the frames ready:
 *     before finish at most made - 1 - pulled (the newest frame can still
 *     change), after it made - pulled from the final, smoothed and clamped
 *     sequence of total frames.
 *   - pull hands out ready frames in order, generating first.
 *   - eager mode (set_eager non-zero) also runs provisional windows and a
 *     provisional chunk over the audio heard so far, every 8 frames of new
 *     audio, so frames come out before a whole chunk of audio has arrived;
 *     they are rolled back before each real chunk, which produces the same
 *     motion as without eager mode.
 *   - reset restarts the stream and the idle cursor; the networks and
 *     tables are kept.
 *
 * One thread at a time per object. Every call clears the calling thread's
 * last error (le_motion_last_error) on entry; a failure sets it to the
 * function's name, ": " and the reason.
 *
 * Switches: LE_ORT_SPIN (intra-op spinning), LE_MOTION_DUMP (a directory
 * that receives the intermediate tensors as raw float32 files).
 */
#ifndef LE_LE_MOTION_H
#define LE_LE_MOTION_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_motion le_motion;

/* Opens the motion directory. threads: intra-op threads of each network
 * (below 1: the library's thread budget); ep: NULL or "" for the CPU,
 * "coreml" with an optional "_cpu", "_gpu" or "_ane" suffix. NULL with the
 * last error set on failure. */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);
/* Frees the object; NULL is ignored. */
LE_API void le_motion_destroy(le_motion* m);
/* The calling thread's last error of this family, "" if none. */
LE_API const char* le_motion_last_error(void);

/* Idle frames of the directory; 0 for NULL. */
LE_API int le_motion_nt(const le_motion* m);
/* Non-zero: avail and pull may advance on provisional windows. */
LE_API void le_motion_set_eager(le_motion* m, int eager);
/* Appends n samples: 1; 0 for a NULL object or buffer, negative n, or after finish. */
LE_API int le_motion_push(le_motion* m, const float* samples, int n);
/* Marks the end of the audio and generates the tail. */
LE_API void le_motion_finish(le_motion* m);
/* -1 for NULL or before finish, then ceil(samples / 640). */
LE_API int le_motion_total(const le_motion* m);
/* Restarts the stream. start: first idle index, clamped to 0..nt-1;
 * direction: -1 when negative, else +1; loop: non-zero wraps around the
 * idle frames, zero walks them in ping-pong. */
LE_API void le_motion_reset(le_motion* m, int start, int direction, int loop);
/* Frames ready to pull, after generating what the audio allows; 0 on failure. */
LE_API int le_motion_avail(le_motion* m);
/* Writes up to max frames: idx[i] (idx may be NULL), xs row i and xd row i
 * (63 floats each). Frames written; 0 for a NULL object, xs or xd, max <= 0,
 * or a failure. */
LE_API int le_motion_pull(le_motion* m, int* idx, float* xs, float* xd, int max);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_MOTION_H */
