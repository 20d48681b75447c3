// The metrics registry: the gateway's counters and the few states that
// /&metrics and /&health report. Counters only grow during a run; they are
// fed by the hooks metrics_start registers. HTTP requests are counted by the
// router, per route row.
#pragma once
#include <cstdint>
#include <string>

#include "core/hooks.h"

struct metrics_counters {
  uint64_t packets;                 // every packet from the modem, dropped or not
  uint64_t dropped[RX_DROPS];       // by rx_drop
  uint64_t sent[TX_SOURCES];        // radio commands by tx_source
  uint64_t replies;                 // dispatched packets whose command has the reply bit
  uint64_t no_reply;                // commands whose reply did not come
  uint64_t cron_run;                // scheduled commands sent (first try)
  uint64_t cron_given_up;           // scheduled commands given up
};
extern metrics_counters metrics;

// Registers the counters' hooks and the routes "&metrics" and "&health".
void metrics_start();
// The counters' hooks alone (metrics_start calls it).
void metrics_hooks();

// States for /&metrics and /&health, in whole seconds of the monotonic clock.
long metrics_uptime();
bool metrics_modem();              // the modem is connected
long metrics_modem_down();         // seconds since the modem went (or the start), 0 while connected
long metrics_packet_age();         // seconds since the last dispatched packet, -1 when none yet

// The Prometheus text exposition of everything above and the connection tables.
std::string metrics_text();

void metrics_reset();

// The health object; true when the status is "ok" (not degraded: no modem
// for more than HEALTH_GRACE seconds, 60 unless setup.ini says otherwise, or
// the MQTT bridge on but disconnected for longer):
//   {"status":"ok"|"degraded", "modem":<the house has an open modem>,
//    "uptime":<s>, "modems":[<one object per modem>], "mqtt":<state>,
//    "last_packet_age":<s>|null}
// A modem's object: {"modem":<number, 1-4>, "up":<open>, "for":<seconds in
// that state>, "via":"usb"|<its setting>, "product":<its product string>,
// "reports":n, "duplicates":n, "sent":n, "losses":n (its counters, see
// radio/modems.h), "signal":{"<device id>":<percent>, ...} (the best signal
// it heard each device with in the last hour)}.
bool health_json(std::string &out);
