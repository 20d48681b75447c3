// The fixed order in which subsystems hear of radio events (see sinks.h).
// A new subsystem adds one line to each function it needs, here and only here.
#include "core/sinks.h"

#include "events/stream.h"
#include "metrics/metrics.h"

void sinks_packet(const uint8_t *packet, const char *event) {
  stream_packet(event);
  metrics_packet(packet);
}

void sinks_device(int index) { stream_device(index); }

void sinks_devices_loaded(int count) { (void)count; }

void sinks_usb(bool connected) {
  stream_usb(connected);
  metrics_usb(connected);
}

void sinks_close(uint32_t sock) { stream_close(sock); }

void sinks_tx(tx_source source) { metrics_tx(source); }

void sinks_no_reply(const char *id) {
  (void)id;
  metrics_no_reply();
}

void sinks_rx_drop(rx_drop reason) { metrics_rx_drop(reason); }

void sinks_cron(bool given_up) { metrics_cron(given_up); }

void sinks_tick() { stream_tick(); }
