// The MQTT bridge: the gateway's devices on an MQTT broker, with discovery
// configs for home hubs. Off unless setup.ini names MQTT_HOST; while off every
// function here does nothing and the gateway behaves as without it.
#pragma once
#include <cstdint>

// Reads the bridge's settings, prepares the client and registers the
// bridge's hooks; the first connect attempt is made by the next tick. No-op
// when off.
void mqtt_start();
// The bridge off, its tables empty (tests).
void mqtt_reset();
// "off", "connected" or "disconnected".
const char *mqtt_state();
// Seconds since the bridge was last connected (0 while connected or off).
long mqtt_down_seconds();
// Messages published since start.
uint64_t mqtt_published_total();
