/* The audio-to-expression header must compile as plain C. */
#include "le/le_a2x.h"

int le_test_a2x_header_from_c(void) {
  int idx[1];
  float rows[63];
  if (le_a2x_nt(NULL) != 0 || le_a2x_total(NULL) != -1 || le_a2x_width(NULL) != 0) return -1;
  if (le_a2x_pull(NULL, idx, rows, rows, 1) != 0 || le_a2x_push(NULL, rows, 1) != 1) return -1;
  le_a2x_destroy(NULL);
  return le_a2x_w2v8_lazy();
}
