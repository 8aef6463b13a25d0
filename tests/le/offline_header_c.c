/* The feature-conditioned audio and offline stream headers must compile as plain C. */
#include "le/le_fca.h"
#include "le/le_stream.h"

int le_test_offline_headers_from_c(void) {
  le_fca_destroy(NULL);
  le_stream_destroy(NULL);
  return le_fca_deltas(NULL, NULL, 0, NULL, 0) + le_stream_width(NULL) + le_stream_run(NULL, NULL, 0, NULL, NULL);
}
