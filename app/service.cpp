// systemd notifications through libsystemd (see service.h).
#include "app/service.h"

#include <systemd/sd-daemon.h>

// sd_notify's result is not used: a notification that cannot be delivered
// changes nothing for the gateway, and systemd acts on the missing ones.
void service_ready() { sd_notify(0, "READY=1"); }

void service_watchdog() { sd_notify(0, "WATCHDOG=1"); }
