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

/* The calling thread's last error of this family: "" when the last call
 * succeeded, never NULL. Valid until the next le_* call on this thread. */
LE_API const char* le_last_error(void);

/* 21, the keypoint rows this build expects (LE_HOST_KP_ROWS). */
LE_API int le_host_kp_rows(void);

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

#ifdef __cplusplus
} /* extern "C" */

namespace le {
inline constexpr int kHostKpRows = LE_HOST_KP_ROWS;
}  // namespace le
#endif

#endif /* LE_LE_H */
