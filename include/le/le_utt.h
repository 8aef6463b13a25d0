/* vozaz_core: the real-time utterance session (le_utt).
 *
 * A host pushes 16 kHz mono 16-bit speech as it arrives and pulls finished
 * RGB frames (the context's width x height x 3 bytes, 25 per second of
 * speech, 640 samples per frame) at its own video clock:
 *   - between utterances the frames walk the driver video (kind 0, idle);
 *   - while speech plays they are rendered talking frames (kind 1);
 *   - after the end of speech or an interrupt they ease back to idle over a
 *     few rendered frames (kind 2, ramp).
 * The host's pulling paces everything: at most 8 finished frames wait, and
 * an idle frame is made only when none is waiting.
 *
 * The session borrows the context (which must outlive it and which the host
 * must not render with while the session lives) and runs its own threads.
 * Every call is safe from any host thread. The family's last error
 * (le_utt_last_error) is one thread-local text, overwritten on each failure
 * and cleared by le_utt_create.
 *
 * Switches read at creation: LE_UTT_PIPELINE_PASTE, LE_STEADY_MODEL,
 * LE_UTT_ONSET_SI, LE_UTT_HYBRID, LE_UTT_STAGE_REPORT.
 */
#ifndef LE_LE_UTT_H
#define LE_LE_UTT_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_utt le_utt;

/* Read once by le_utt_create. All-zero fields give the defaults. The layout
 * is fixed: 56 bytes, in this order. */
typedef struct le_utt_opts {
  /* Directory of the motion bundle; required. */
  const char* motion_dir;
  /* Intra-op threads of the motion object; < 1: the context's thread count. */
  int threads;
  /* Execution provider of the motion pipeline back-end; NULL: the CPU. */
  const char* motion_ep;
  /* Model key of the steady chunk renderer; NULL or "": "b24_fp32"; "-": none.
   * LE_STEADY_MODEL overrides it. */
  const char* steady_model;
  /* The motion object's eager value; -2 forces hybrid mode; < 1: none, and
   * then LE_UTT_HYBRID may switch hybrid mode on. */
  int eager;
  /* An utterance ends by itself this many seconds after the last push;
   * 0: 0.6 s; negative: only le_utt_end_utterance ends it. */
  double end_silence_s;
  /* Frames of the ease back to idle after an utterance ends; < 1: 6. */
  int end_ramp_frames;
  /* Frames of the ease back to idle after an interrupt; < 1: 4. */
  int interrupt_ramp_frames;
} le_utt_opts;

/* Frame kinds. */
#define LE_UTT_FRAME_IDLE 0
#define LE_UTT_FRAME_SPEECH 1
#define LE_UTT_FRAME_RAMP 2

/* Session states. */
#define LE_UTT_STATE_IDLE 0
#define LE_UTT_STATE_ONSET 1 /* audio arrived, no motion rows yet */
#define LE_UTT_STATE_SPEAKING 2
#define LE_UTT_STATE_RAMP 3

typedef struct le_utt_frame_info {
  uint64_t seq;      /* from 0 over the session's life, in queueing order */
  int32_t kind;      /* LE_UTT_FRAME_* */
  int32_t si;        /* driver frame (and source-keypoint row) it was built on */
  int32_t utt_frame; /* speech frame within its utterance from 0; -1 for idle and ramp */
} le_utt_frame_info;

typedef struct le_utt_stats {
  uint64_t frames_delivered;        /* frames the host has pulled */
  uint64_t speech_frames_delivered; /* of them, speech frames */
  uint64_t onsets;                  /* utterances whose first speech frame was queued */
  double last_onset_ms;             /* first push of the latest utterance to its first speech frame */
  double render_ms_ema;             /* per-frame render time, new = 0.9 old + 0.1 sample */
  uint32_t state;                   /* LE_UTT_STATE_* */
} le_utt_stats;

/* Opens a session on ctx. NULL with the last error set on failure. The
 * motion object loads on the session's warm-up thread; see le_utt_ready. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);
/* le_utt_create with every option at its default except motion_dir. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);
/* Stops and joins the session's threads, then frees; NULL is ignored. */
LE_API void le_utt_destroy(le_utt* utt);
/* The calling thread's last error of this family, never NULL. */
LE_API const char* le_utt_last_error(void);

/* 1 once the motion object is loaded, 0 before; -1 after a failed load
 * (whose text becomes the last error; the session then serves idle frames
 * only) and for NULL. */
LE_API int le_utt_ready(le_utt* utt);

/* Appends count samples (scaled by 1/32768). Count 0 only stamps the push
 * time. 1, or 0 for a NULL session or buffer or a negative count. */
LE_API int le_utt_push_audio(le_utt* utt, const int16_t* samples, int count);
/* Ends the current utterance; the remaining audio is flushed. */
LE_API void le_utt_end_utterance(le_utt* utt);
/* Drops the audio not yet taken and every waiting frame; the session eases
 * back to idle from the last frame the host pulled. */
LE_API void le_utt_interrupt(le_utt* utt);

/* Frames waiting (0..8); 0 for NULL. */
LE_API int le_utt_frames_available(le_utt* utt);
/* Copies the oldest waiting frame into dst and fills info when not NULL: 1;
 * 0 when none waits; 0 with the last error set when capacity is below the
 * frame size (the frame stays queued) or for NULL arguments. */
LE_API int le_utt_pull_frame(le_utt* utt, uint8_t* dst, size_t capacity, le_utt_frame_info* info);
/* Fills stats; nothing for NULL arguments. */
LE_API void le_utt_get_stats(le_utt* utt, le_utt_stats* stats);
/* -1 when rendering has failed for good, else 0. Copies the last render
 * failure ("ep=<provider> <stage>: <text>", at most capacity - 1 characters
 * and a terminator) and the failure count when the pointers allow. */
LE_API int le_utt_render_status(le_utt* utt, char* text, int capacity, uint64_t* failures);

/* The teeth pass of a session. Without one attached: le_utt_tessera_stats
 * returns 0 with zero counters and "", le_utt_tessera_synth_w 0, and
 * le_utt_tessera_geometry 0 with "". With one: counter_a counts the frames
 * served with teeth, counter_b those the pass skipped (no mouth to fill, or
 * a mouth out of the bank's reach), and the text says so, or why the pass
 * failed (-1); synth_w averages the head's per-frame decisiveness (the mean
 * of each mouth pixel's largest donor weight, 0..1) over the served frames;
 * geometry names the mouth mask, the bank's placement and its window. */
LE_API int le_utt_tessera_stats(le_utt* utt, uint64_t* counter_a, uint64_t* counter_b, char* text, int capacity);
LE_API int le_utt_tessera_synth_w(le_utt* utt, double* mean, double* last, uint64_t* count);
LE_API int le_utt_tessera_geometry(le_utt* utt, char* text, int capacity);

/* Arms the teeth pass on a running session: from then on every speech and
 * ramp crop passes through it before the paste, one frame behind (the
 * session drains the held frame at the end of speech). The arguments are the
 * bundle's teeth members as le_tessera.h describes them: bank, the n_donors
 * stored patches in donor order (le_tessera_members_reorder); donor_cent,
 * c_canon, apertures, stamp; the head's config text and weights; the
 * manifest text. The session needs its motion directory's xs_target.bin to
 * place the bank. With pipeline paste the pass runs on a thread of its own,
 * else on the session's main thread. 0 on success; 1 with the reason in err
 * (at most err_len - 1 characters), and the session serves on without teeth.
 * A pass that fails later is bypassed for good: le_utt_tessera_stats then
 * returns -1 with its reason. Once per session. */
LE_API int le_utt_tessera_attach(le_utt* utt, const uint8_t* bank, int n_donors, const double* donor_cent,
                                 const double* c_canon, const double* apertures, const int* stamp,
                                 const char* head_json, const uint8_t* head_pt, long head_pt_len,
                                 const char* manifest_json, char* err, int err_len);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_UTT_H */
