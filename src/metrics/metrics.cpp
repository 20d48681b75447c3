// The metrics registry (see metrics.h): counters, the modem's presence and
// the time of the last packet. Times are kept on the monotonic clock, so a
// clock set on the wall does not change an uptime or an age.
#include "metrics/metrics.h"

#include <cstring>
#include <ctime>

#include "radio/packet.h"

metrics_counters metrics;

namespace {

constexpr uint8_t CMD_REPLY_BIT = 0x80;  // a device's answer is the command | 0x80

long mono_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long)ts.tv_sec;
}

long started = mono_s();
bool modem_up = false;
long modem_down_since = started;
long last_packet = -1;  // monotonic second of the last dispatched packet, -1 none

// Route kinds by target prefix, first match wins (the router's order).
struct route_prefix {
  const char *prefix;
  http_route kind;
};
const route_prefix ROUTE_PREFIXES[] = {
    {"@", ROUTE_RADIO},        {"_set/", ROUTE_STORE},     {"_get/", ROUTE_STORE},    {"&listen", ROUTE_LONGPOLL},
    {"&events", ROUTE_EVENTS}, {"&metrics", ROUTE_METRICS}, {"&health", ROUTE_HEALTH}, {"&set/", ROUTE_STORE},
    {"&get/", ROUTE_STORE},    {"&device", ROUTE_DEVICES}, {"&log", ROUTE_LOG},       {"&cron", ROUTE_CRON},
    {"&save/", ROUTE_UPLOAD},  {"&", ROUTE_CONTROL},       {"/", ROUTE_OTHER},
};

}  // namespace

http_route metrics_route_kind(const char *target) {
  for (const auto &r : ROUTE_PREFIXES)
    if (strncmp(target, r.prefix, strlen(r.prefix)) == 0) return r.kind;
  return ROUTE_STATIC;
}

void metrics_http_request(const char *target) { metrics.http[metrics_route_kind(target)]++; }

void metrics_packet(const uint8_t *packet) {
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

void metrics_no_reply() { metrics.no_reply++; }

void metrics_cron(bool given_up) { (given_up ? metrics.cron_given_up : metrics.cron_run)++; }

void metrics_usb(bool connected) {
  if (modem_up && !connected) modem_down_since = mono_s();
  modem_up = connected;
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
