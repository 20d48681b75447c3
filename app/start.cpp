// Start-up: the one place that wires the house. Each subsystem's start
// registers its hooks and routes; the order of the starts below is the order
// in which subsystems hear every event (cause before effect: the door, the
// connections, the modem and its awaited replies, the listeners and
// long-polls, the event stream, the device cache with its device events, the
// household, the schedule, the MQTT bridge, then metrics) and run on every
// tick.
#include "app/start.h"

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

#include "app/service.h"
#include "auth/auth.h"
#include "core/files.h"
#include "core/hooks.h"
#include "core/logs.h"
#include "core/loop.h"
#include "core/settings.h"
#include "core/version.h"
#include "devices/device_list.h"
#include "events/stream.h"
#include "home/home.h"
#include "metrics/metrics.h"
#include "mqtt/mqtt.h"
#include "net/net.h"
#include "proto/dispatch.h"
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

  // The order of the house.
  if (!auth_start()) return 1;
  if (!net_start()) return 1;
  if (!usb_start()) puts("modem reader failed to start");
  proto_start();
  events_start();
  devices_start();
  home_start();
  sched_start();
  mqtt_start();
  metrics_start();
  hook_tick.add(watchdog_tick);

  printf("Devices Loaded:%d\n", device_list_load());
  int ncrons = cron_file_load();
  printf("Crons loaded: %d\n", ncrons);
  sys_log("Crons loaded: %d", ncrons);
  service_ready();
  for (;;) loop_pass();
}
