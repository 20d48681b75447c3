// The house's wiring (see wire.h). The order of the starts below is the order
// in which subsystems hear every event, cause before effect: the door, the
// connections, the modem's awaited replies, the listeners and long-polls,
// the event stream, the device cache with its device events, the household,
// the schedule, the MQTT bridge, then metrics; and the order of their work
// on every tick.
#include "app/wire.h"

#include "auth/auth.h"
#include "core/hooks.h"
#include "core/loop.h"
#include "decode/event.h"
#include "devices/device_list.h"
#include "events/stream.h"
#include "home/home.h"
#include "metrics/metrics.h"
#include "mqtt/mqtt.h"
#include "net/net.h"
#include "proto/dispatch.h"
#include "radio/modem.h"
#include "rules/rules.h"
#include "sched/cron.h"

bool house_wire() {
  if (!auth_start()) return false;
  net_start();
  radio_start();
  proto_start();
  events_start();
  devices_start();
  home_start();
  sched_start();
  rules_start();
  mqtt_start();
  metrics_start();
  return true;
}

void house_reset() {
  core_reset();
  decode_reset();
  radio_reset();
  net_reset();
  device_list_reset();
  cron_reset();
  auth_reset();
  stream_reset();
  home_reset();
  rules_reset();
  mqtt_reset();
  metrics_reset();
}
