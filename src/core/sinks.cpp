// The fixed order in which subsystems hear of radio events (see sinks.h).
// A new subsystem adds one line to each function it needs, here and only here.
#include "core/sinks.h"

#include "mqtt/mqtt.h"

void sinks_packet(const uint8_t *packet, const char *event) {
  (void)packet;
  (void)event;
  mqtt_packet(packet, event);
}

void sinks_device(int index) {
  (void)index;
  mqtt_device(index);
}

void sinks_devices_loaded(int count) {
  (void)count;
  mqtt_devices_loaded(count);
}

void sinks_usb(bool connected) {
  (void)connected;
  mqtt_usb(connected);
}

void sinks_close(uint32_t sock) { (void)sock; }

void sinks_tx(tx_source source) { (void)source; }

void sinks_no_reply(const char *id) { (void)id; }

void sinks_tick() { mqtt_tick(); }
