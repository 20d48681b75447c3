// The run-time switches: one definition each, with their start values.
#include "core/flags.h"

uint8_t debug_mode = 0;
uint8_t http_debug = 0;
uint8_t root = 0;
uint8_t gfilter = 1;

void flags_reset() {
  debug_mode = 0;
  http_debug = 0;
  root = 0;
  gfilter = 1;
}
