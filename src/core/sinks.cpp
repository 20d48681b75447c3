// The fixed order in which subsystems hear of radio events (see sinks.h):
// the event stream, the household state, the MQTT bridge, then metrics.
// A new subsystem adds one line to each function it needs, here and only here.
#include "core/sinks.h"

#include "auth/auth.h"
#include "events/stream.h"
#include "home/home.h"
#include "metrics/metrics.h"
#include "mqtt/mqtt.h"

void sinks_packet(const uint8_t *packet, const char *event) {
  stream_packet(event);
  home_packet(packet);
  mqtt_packet(packet, event);
  metrics_packet(packet);
}

void sinks_device(int index) {
  stream_device(index);
  home_device(index);
  mqtt_device(index);
}

void sinks_devices_loaded(int count) { mqtt_devices_loaded(count); }

void sinks_usb(bool connected) {
  stream_usb(connected);
  mqtt_usb(connected);
  metrics_usb(connected);
}

void sinks_close(uint32_t sock) {
  stream_close(sock);
  auth_close(sock);
}

void sinks_tx(tx_source source) { metrics_tx(source); }

void sinks_no_reply(const char *id) {
  home_no_reply(id);
  metrics_no_reply();
}

void sinks_rx_drop(rx_drop reason) { metrics_rx_drop(reason); }

void sinks_cron(bool given_up) { metrics_cron(given_up); }

void sinks_tick() {
  stream_tick();
  home_tick();
  mqtt_tick();
}
