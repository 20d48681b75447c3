// The main loop (see loop.h). Nothing in a pass waits on one client or on the
// modem: every descriptor is in the poll set, and every subsystem's timed work
// hangs on the tick, in the order app/start.cpp wired it.
#include "core/loop.h"

#include <cstdio>
#include <ctime>

#include "core/clock.h"
#include "core/flags.h"
#include "core/hooks.h"
#include "core/settings.h"
#include "core/watch.h"

static time_t last_tick = (time_t)-1;  // no second yet: the first pass ticks

// time() reads the coarse clock, which turns to the next second a few
// milliseconds after the precise one: the loop wakes that much later, so the
// second it wakes for is the one everybody's time() sees.
constexpr int TICK_MARGIN_MS = 15;

// Milliseconds until just after the clock's next second.
static int ms_to_next_second() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return 1000 - (int)(ts.tv_nsec / 1000000) + TICK_MARGIN_MS;
}

void loop_pass() {
  fflush(stdout);
  watch_wait(ms_to_next_second());
  hook_pass.run();
  time_t now = clock_wall();
  if (now != last_tick) {
    last_tick = now;
    hook_tick.run(now);
    hook_pass.run();
  }
}

void core_reset() {
  last_tick = (time_t)-1;
  hook_packet.clear();
  hook_rx_drop.clear();
  hook_device.clear();
  hook_devices_loaded.clear();
  hook_usb.clear();
  hook_no_reply.clear();
  hook_tx.clear();
  hook_cron.clear();
  hook_close.clear();
  hook_tick.clear();
  hook_pass.clear();
  hook_started.clear();
  hook_hub.clear();
  hook_config.clear();
  hook_rule.clear();
  hook_reach.clear();
  watch_reset();
  clock_reset();
  flags_reset();
  settings_reset();
}
