// The MQTT bridge: the gateway's devices on an MQTT broker, with discovery
// configs for home hubs. Off unless setup.ini names MQTT_HOST; while off every
// function here does nothing and the gateway behaves as without it.
#pragma once
#include <cstdint>

// Reads the bridge's settings and prepares the client; the first connect
// attempt is made by the next tick. No-op when off.
void mqtt_start();
// "off", "connected" or "disconnected".
const char *mqtt_state();
// Seconds since the bridge was last connected (0 while connected or off).
long mqtt_down_seconds();
// Messages published since start.
uint64_t mqtt_published_total();

// Event hooks, called only from core/sinks.cpp (see sinks.h for when).
void mqtt_packet(const uint8_t *packet, const char *event);
void mqtt_device(int index);
void mqtt_devices_loaded(int count);
void mqtt_usb(bool connected);
void mqtt_tick();
