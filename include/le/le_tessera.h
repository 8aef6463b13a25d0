/* vozaz_core: the teeth members of an avatar bundle (le_tessera). A bundle
 * that borrows teeth carries four members, in slot order:
 *   "bank_track"   tessera_bank.v1.mp4   the reference bank video
 *   "bank_sidecar" tessera_bank.v1.json  the bank's description
 *   "head_weights" tessera_head.v1.pt    the blend head's weights
 *   "head_config"  tessera_head.v1.json  the blend head's configuration
 * A manifest "tessera"."members" object may rename them. All four present
 * arms the borrow; any missing refuses it.
 *
 * The carriage tells which members are present and never fails for a bad
 * bundle. The members handle holds their checked contents.
 *
 * Errors of this family go to a buffer the caller passes (err, err_len),
 * not to a thread-local last error: at most err_len - 1 characters are
 * copied and the buffer is always terminated; nothing is written when err
 * is NULL or err_len <= 0. Strings and arrays a handle returns live until
 * the handle is closed (le_tessera_carriage_path: until the next call on
 * that handle). */
#ifndef LE_LE_TESSERA_H
#define LE_LE_TESSERA_H

#include <stdint.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_tessera_carriage le_tessera_carriage;
typedef struct le_tessera_members le_tessera_members;

/* 4. */
LE_API int le_tessera_slot_count(void);
/* Slot key i; NULL outside [0, 4). */
LE_API const char* le_tessera_slot_key(int i);

/* The carriage of a bundle directory or IMX container. NULL for a NULL path
 * or when memory runs out; a bundle that cannot be read gives a handle with
 * the default names and all four slots missing. */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);
/* Frees; NULL is ignored. */
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);
/* 1 when no slot is missing / when the manifest has a "tessera" block; 0 for NULL. */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);
/* Resolved path of a slot key; "" for NULL arguments or an unknown slot. */
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot);
/* Missing slots, in slot order; key i or NULL. */
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int i);

/* The checked members of a bundle directory or IMX container; NULL with the
 * refusal in err when any member is missing or disagrees. */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len);
/* Frees; NULL is ignored. */
LE_API void le_tessera_members_close(le_tessera_members* m);
/* 0 for NULL. */
LE_API int le_tessera_members_n_donors(const le_tessera_members* m);
/* The stored patch of one donor: band_w x band_h RGB pixels. */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
/* n_donors x band_h x band_w x 3. */
LE_API long le_tessera_members_band_bytes(const le_tessera_members* m);
/* Donor centroids (x, y per donor) / apertures (one per donor); NULL when
 * empty or for NULL. */
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m);
/* The bank's canonical centroid (x, y) / the 12 geometry stamp values. */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);
LE_API const int* le_tessera_members_stamp(const le_tessera_members* m);
/* The head weights file: its bytes (NULL when empty) and their count. */
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API long le_tessera_members_head_pt_len(const le_tessera_members* m);
/* Texts owned by the handle; "" for NULL. */
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* Copies band i of track (decode order) to band track_order[i] of donor;
 * both hold band_bytes. 0 on success, 1 with the reason in err. */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* donor, char* err,
                                      int err_len);

/* The teeth pass over a batch of frames of one canvas (the stamp's
 * canvas_w x canvas_h RGB), each with its mouth mask (one byte a pixel,
 * 0..255):
 *   track        n_donors stored patches in donor order, each
 *                (band_r1 - band_r0 + 2 shift_margin) rows of
 *                (band_c1 - band_c0 + 2 shift_margin) RGB pixels;
 *   donor_cent   n_donors (x, y) mouth centroids; ref_cent the bank's (x, y);
 *   apertures    n_donors; stamp the twelve geometry ints in stored order;
 *   head_pt      the tessera_head.v1.pt bytes, head_json its config text;
 *   shifts       (le_tessera_run_shift) NULL or n_frames (row, column)
 *                pairs; a row of -10000 takes that frame's shift from its
 *                mask.
 * out_windows receives one window (window_w x window_h x 3 bytes, the
 * pixels at window_x0, window_y0 of the frame) per frame and status one int
 * per frame: 0 served, 1 skipped (its mask is empty or its shift out of
 * range; the slot is left as it was). 0 on success; 1 with the reason in
 * err. */
LE_API int le_tessera_run_shift(const uint8_t* track, int n_donors, const double* donor_cent, const double* ref_cent,
                                const double* apertures, const int* stamp, const uint8_t* head_pt, long head_pt_len,
                                const char* head_json, const uint8_t* frames, const uint8_t* masks, const int* shifts,
                                int n_frames, uint8_t* out_windows, int* status, char* err, int err_len);
/* le_tessera_run_shift with every shift taken from the masks. */
LE_API int le_tessera_run(const uint8_t* track, int n_donors, const double* donor_cent, const double* ref_cent,
                          const double* apertures, const int* stamp, const uint8_t* head_pt, long head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int* status, char* err, int err_len);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_TESSERA_H */
