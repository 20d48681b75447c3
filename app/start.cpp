// Start-up and the main loop: the table of contents of the gateway.
#include "app/start.h"

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

#include "app/service.h"
#include "app/wire.h"
#include "core/files.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/loop.h"
#include "core/settings.h"
#include "core/version.h"
#include "devices/device_list.h"
#include "net/socket.h"
#include "radio/modem.h"
#include "sched/cron.h"

static void watchdog_tick(time_t) { service_watchdog(); }

int orvel_main() {
  // A peer that vanishes mid-send must never end the process.
  signal(SIGPIPE, SIG_IGN);
  printf("%s\n", ORVEL_BANNER);
  cwdir();
  if (!isdir("mem")) mkdir("mem", 0755);
  if (!isdir("logs")) mkdir("logs", 0755);
  settings();
  sys_log("%s", ORVEL_BANNER);
  if (!state_dir_writable()) {
    puts("the state directory cannot be written: edits and state will not be kept");
    sys_log("the state directory cannot be written");
  }

  if (!house_wire()) return 1;
  hook_tick.add(watchdog_tick);
  if (!socket_init()) return 1;
  if (!usb_start()) puts("modem reader failed to start");

  printf("Devices Loaded:%d\n", device_list_load());
  int ncrons = cron_file_load();
  printf("Crons loaded: %d\n", ncrons);
  sys_log("Crons loaded: %d", ncrons);
  service_ready();
  hook_started.run();
  for (;;) loop_pass();
}
