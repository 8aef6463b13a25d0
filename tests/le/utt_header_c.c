/* The session header must compile as plain C, with the option record laid
 * out as hosts in any language copy it: 56 bytes, fields in a fixed order. */
#include <stddef.h>
#include <string.h>

#include "le/le_utt.h"

/* Offsets of le_utt_opts, then sizes of the three records; -1 ends it. */
int le_test_utt_layout_from_c(long* out, int n) {
  const long v[] = {(long)sizeof(le_utt_opts),
                    (long)offsetof(le_utt_opts, motion_dir),
                    (long)offsetof(le_utt_opts, threads),
                    (long)offsetof(le_utt_opts, motion_ep),
                    (long)offsetof(le_utt_opts, steady_model),
                    (long)offsetof(le_utt_opts, eager),
                    (long)offsetof(le_utt_opts, end_silence_s),
                    (long)offsetof(le_utt_opts, end_ramp_frames),
                    (long)offsetof(le_utt_opts, interrupt_ramp_frames),
                    (long)sizeof(le_utt_frame_info),
                    (long)offsetof(le_utt_frame_info, kind),
                    (long)offsetof(le_utt_frame_info, si),
                    (long)offsetof(le_utt_frame_info, utt_frame),
                    (long)offsetof(le_utt_stats, last_onset_ms),
                    (long)offsetof(le_utt_stats, render_ms_ema),
                    (long)offsetof(le_utt_stats, state)};
  const int count = (int)(sizeof v / sizeof v[0]);
  if (n < count) return -1;
  memcpy(out, v, sizeof v);
  return count;
}

/* The NULL-handle answers, called from C. 0 when every one holds. */
int le_test_utt_null_from_c(void) {
  le_utt_stats stats;
  uint8_t px[3];
  char text[4] = "xyz";
  uint64_t a = 7, b = 7;
  if (le_utt_create(NULL, NULL) != NULL) return 1;
  if (le_utt_ready(NULL) != -1 || le_utt_frames_available(NULL) != 0) return 2;
  if (le_utt_pull_frame(NULL, px, sizeof px, NULL) != 0) return 3;
  if (le_utt_push_audio(NULL, NULL, 0) != 0) return 4;
  if (le_utt_render_status(NULL, text, 4, &a) != 0) return 5;
  if (le_utt_tessera_stats(NULL, &a, &b, text, 4) != 0 || a != 0 || b != 0 || text[0] != '\0') return 6;
  if (le_utt_tessera_geometry(NULL, text, 4) != 0) return 7;
  memset(&stats, 0, sizeof stats);
  le_utt_get_stats(NULL, &stats);
  le_utt_end_utterance(NULL);
  le_utt_interrupt(NULL);
  le_utt_destroy(NULL);
  return 0;
}
