// The monotonic clock behind clock.h.
#include "core/clock.h"

static int64_t clock_real_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int64_t (*clock_ms_source)() = clock_real_ms;

void clock_reset() { clock_ms_source = clock_real_ms; }
