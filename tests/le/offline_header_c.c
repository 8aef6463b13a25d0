/* The feature-conditioned audio and offline stream headers must compile as plain C. */
#include "le/le_fca.h"

int le_test_fca_header_from_c(void) {
  float out[63];
  if (le_fca_create(NULL, NULL, 1) != NULL || le_fca_deltas(NULL, out, 1, out, 1) != -1) return -1;
  le_fca_destroy(NULL);
  return le_fca_deltas(NULL, NULL, 0, NULL, 0);
}

#include "le/le_stream.h"

int le_test_stream_header_from_c(void) {
  if (le_stream_create(NULL, NULL, 1, 0, 1.0f) != NULL || le_stream_run(NULL, NULL, 0, NULL, NULL) != -1) return -1;
  le_stream_destroy(NULL);
  return le_stream_width(NULL) + le_stream_height(NULL);
}
