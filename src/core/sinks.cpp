// The fixed order in which subsystems hear of radio events (see sinks.h).
// A new subsystem adds one line to each function it needs, here and only here.
#include "core/sinks.h"

#include "auth/auth.h"
#include "home/home.h"
#include "mqtt/mqtt.h"

void sinks_packet(const uint8_t *packet, const char *event) {
  home_packet(packet);
  mqtt_packet(packet, event);
}

void sinks_device(int index) {
  home_device(index);
  mqtt_device(index);
}

void sinks_devices_loaded(int count) {
  mqtt_devices_loaded(count);
}

void sinks_usb(bool connected) {
  mqtt_usb(connected);
}

void sinks_close(uint32_t sock) { auth_close(sock); }

void sinks_tx(tx_source source) { (void)source; }

void sinks_no_reply(const char *id) { home_no_reply(id); }

void sinks_tick() {
  home_tick();
  mqtt_tick();
}
