// Start-up and the main loop: one thread, one pass at a time. A pass waits
// for the connections, the modem reader and the other watched descriptors
// until the next second at most, serves whatever is ready, and runs the
// timed work once per change of the clock second. Nothing in a pass waits on
// one client or on the modem.
#include "core/loop.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "auth/auth.h"
#include "core/files.h"
#include "core/logs.h"
#include "core/service.h"
#include "core/settings.h"
#include "core/sinks.h"
#include "devices/device_list.h"
#include "mqtt/mqtt.h"
#include "net/socket.h"
#include "net/upload.h"
#include "net/waits.h"
#include "radio/modem.h"
#include "radio/packet.h"
#include "sched/cron.h"

static const char BANNER[] = "ORVEL V1.90";

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

void main_loop_pass() {
  fflush(stdout);
  socket_rx_wait(ms_to_next_second());
  time_t now = time(nullptr);
  if (now != last_tick) {
    last_tick = now;
    http_con_timer();
    upload_tick();
    socket_tick();
    cron();
    cron_run();
    sinks_tick();
    service_watchdog();
  }
}

int orvel_main() {
  // A peer that vanishes mid-send must never end the process.
  signal(SIGPIPE, SIG_IGN);
  printf("%s\n", BANNER);
  cwdir();
  if (!isdir("mem")) mkdir("mem", 0755);
  if (!isdir("logs")) mkdir("logs", 0755);
  settings();
  if (!auth_settings()) return 1;
  mqtt_start();
  sys_log("%s", BANNER);
  upload_settings();
  if (!socket_init()) return 1;
  if (!usb_start()) puts("modem reader failed to start");
  printf("Devices Loaded:%d\n", device_list_load());
  int ncrons = cron_file_load();
  printf("Crons loaded: %d\n", ncrons);
  sys_log("Crons loaded: %d", ncrons);
  service_ready();
  for (;;) main_loop_pass();
}
