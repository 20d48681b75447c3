// Start-up and the main loop: one thread, one pass at a time. A pass waits
// for the sockets (100 ms with a modem, 1000 ms without), serves them, polls
// the modem, counts the duplicate window down, and runs the timed work once
// per change of the clock second.
#include "core/loop.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "core/files.h"
#include "core/logs.h"
#include "core/service.h"
#include "core/settings.h"
#include "core/sinks.h"
#include "devices/device_list.h"
#include "net/socket.h"
#include "net/waits.h"
#include "radio/modem.h"
#include "radio/packet.h"
#include "sched/cron.h"

static const char BANNER[] = "ORVEL V1.90";
constexpr int WAIT_MODEM_MS = 100;
constexpr int WAIT_NO_MODEM_MS = 1000;

static time_t last_tick = (time_t)-1;  // no second yet: the first pass ticks

void main_loop_pass() {
  fflush(stdout);
  socket_rx_wait(usb_handle ? WAIT_MODEM_MS : WAIT_NO_MODEM_MS);
  usb_rx();
  if (g_rftimer) g_rftimer--;
  time_t now = time(nullptr);
  if (now != last_tick) {
    last_tick = now;
    http_con_timer();
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
  sys_log("%s", BANNER);
  if (!socket_init()) return 1;
  printf("Devices Loaded:%d\n", device_list_load());
  int ncrons = cron_file_load();
  printf("Crons loaded: %d\n", ncrons);
  sys_log("Crons loaded: %d", ncrons);
  service_ready();
  for (;;) main_loop_pass();
}
