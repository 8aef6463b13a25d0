/* The teeth members header must compile as plain C. */
#include "le/le_tessera.h"

int le_test_tessera_header_from_c(void) {
  char err[16];
  if (le_tessera_slot_count() != 4 || le_tessera_slot_key(-1) != NULL) return -1;
  if (le_tessera_carriage_open(NULL) != NULL || le_tessera_members_open(NULL, err, 16) != NULL) return -1;
  if (le_tessera_members_n_donors(NULL) != 0 || le_tessera_members_band_bytes(NULL) != 0) return -1;
  le_tessera_carriage_close(NULL);
  le_tessera_members_close(NULL);
  return err[0] == 'l' ? 1 : -1;
}
