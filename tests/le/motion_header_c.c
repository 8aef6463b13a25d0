/* The motion-pipeline header must compile as plain C. */
#include "le/le_motion.h"

int le_test_motion_header_from_c(void) {
  int idx[1];
  float rows[63];
  if (le_motion_nt(NULL) != 0 || le_motion_total(NULL) != -1 || le_motion_avail(NULL) != 0) return -1;
  if (le_motion_pull(NULL, idx, rows, rows, 1) != 0 || le_motion_push(NULL, rows, 1) != 0) return -1;
  le_motion_destroy(NULL);
  return 1;
}
