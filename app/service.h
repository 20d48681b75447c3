// The gateway's word to systemd when it runs as a Type=notify service:
// READY=1 once it listens, WATCHDOG=1 from every tick, so that a loop that
// hangs is restarted after WatchdogSec. Outside systemd (no NOTIFY_SOCKET in
// the environment) both calls do nothing.
#pragma once

void service_ready();
void service_watchdog();
