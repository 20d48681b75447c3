// The metrics registry (see metrics.h): counters, the modem's presence and
// the time of the last packet. Times are kept on the monotonic clock, so a
// clock set on the wall does not change an uptime or an age.
#include "metrics/metrics.h"

#include <cstring>

#include "core/clock.h"
#include "decode/packet_layout.h"

metrics_counters metrics;

namespace {

constexpr uint8_t CMD_REPLY_BIT = 0x80;  // a device's answer is the command | 0x80

long mono_s() { return (long)clock_mono_s(); }

long started = mono_s();
bool modem_up = false;
long modem_down_since = started;
long last_packet = -1;  // monotonic second of the last dispatched packet, -1 none

void metrics_packet(const packet_view &p) {
  const uint8_t *packet = p.bytes;
  metrics.packets++;
  if (packet[PK_CMD] & CMD_REPLY_BIT) metrics.replies++;
  last_packet = mono_s();
}

void metrics_rx_drop(rx_drop reason) {
  metrics.packets++;
  if (reason < RX_DROPS) metrics.dropped[reason]++;
}

void metrics_tx(tx_source source) {
  if (source < TX_SOURCES) metrics.sent[source]++;
}

void metrics_no_reply(const char *) { metrics.no_reply++; }

void metrics_cron(bool given_up) { (given_up ? metrics.cron_given_up : metrics.cron_run)++; }

void metrics_usb(bool connected) {
  if (modem_up && !connected) modem_down_since = mono_s();
  modem_up = connected;
}

}  // namespace

void metrics_hooks() {
  hook_packet.add(metrics_packet);
  hook_rx_drop.add(metrics_rx_drop);
  hook_tx.add(metrics_tx);
  hook_no_reply.add(metrics_no_reply);
  hook_cron.add(metrics_cron);
  hook_usb.add(metrics_usb);
}

long metrics_uptime() { return mono_s() - started; }

bool metrics_modem() { return modem_up; }

long metrics_modem_down() { return modem_up ? 0 : mono_s() - modem_down_since; }

long metrics_packet_age() { return last_packet < 0 ? -1 : mono_s() - last_packet; }

void metrics_reset() {
  memset(&metrics, 0, sizeof metrics);
  started = mono_s();
  modem_up = false;
  modem_down_since = started;
  last_packet = -1;
}
