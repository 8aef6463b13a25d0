/* The public header must compile as plain C; this unit is built by the C
   compiler and called from the C++ tests. */
#include "le/le.h"

int le_test_header_from_c(void) {
  char path[8];
  if (le_bundle_resolve_handle(NULL, path, sizeof path) != -1) return -1;
  return le_host_kp_rows() == LE_HOST_KP_ROWS ? le_host_kp_rows() : -1;
}
