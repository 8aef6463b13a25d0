/* The feature-conditioned audio and offline stream headers must compile as plain C. */
#include "le/le_fca.h"

int le_test_fca_header_from_c(void) {
  float out[63];
  if (le_fca_create(NULL, NULL, 1) != NULL || le_fca_deltas(NULL, out, 1, out, 1) != -1) return -1;
  le_fca_destroy(NULL);
  return le_fca_deltas(NULL, NULL, 0, NULL, 0);
}
