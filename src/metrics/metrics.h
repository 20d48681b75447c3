// The metrics registry: the gateway's counters and the few states that
// /&metrics and /&health report. Counters only grow during a run; the
// sink functions are called from core/sinks.cpp, metrics_http_request from
// the request paths.
#pragma once
#include <cstdint>
#include <string>

#include "core/sinks.h"

// Kinds of HTTP route, the label values of orvel_http_requests_total.
enum http_route : uint8_t {
  ROUTE_RADIO, ROUTE_LONGPOLL, ROUTE_EVENTS, ROUTE_METRICS, ROUTE_HEALTH, ROUTE_DEVICES, ROUTE_CRON,
  ROUTE_LOG, ROUTE_STORE, ROUTE_UPLOAD, ROUTE_CONTROL, ROUTE_STATIC, ROUTE_OTHER, ROUTE_KINDS
};

struct metrics_counters {
  uint64_t packets;                 // every packet from the modem, dropped or not
  uint64_t dropped[RX_DROPS];       // by rx_drop
  uint64_t sent[TX_SOURCES];        // radio commands by tx_source
  uint64_t replies;                 // dispatched packets whose command has the reply bit
  uint64_t no_reply;                // commands whose reply did not come
  uint64_t http[ROUTE_KINDS];       // requests by http_route
  uint64_t cron_run;                // scheduled commands sent (first try)
  uint64_t cron_given_up;           // scheduled commands given up
};
extern metrics_counters metrics;

// Counts one HTTP request; `target` is the request target after its '/'.
void metrics_http_request(const char *target);
// The route kind of a request target (after its '/'), for the label.
http_route metrics_route_kind(const char *target);

// Sinks (core/sinks.cpp).
void metrics_packet(const uint8_t *packet);
void metrics_rx_drop(rx_drop reason);
void metrics_tx(tx_source source);
void metrics_no_reply();
void metrics_cron(bool given_up);
void metrics_usb(bool connected);

// States for /&metrics and /&health, in whole seconds of the monotonic clock.
long metrics_uptime();
bool metrics_modem();              // the modem is connected
long metrics_modem_down();         // seconds since the modem went (or the start), 0 while connected
long metrics_packet_age();         // seconds since the last dispatched packet, -1 when none yet

// The Prometheus text exposition of everything above and the connection tables.
std::string metrics_text();

void metrics_reset();

// "GET /&metrics": the text above as a 200 reply. Returns false: the
// connection closes after the reply.
bool metrics_http(uint32_t sock);
// "GET /&health": the health object, 200 when ok, 503 when degraded (no modem
// for more than HEALTH_GRACE seconds, 60 unless setup.ini says otherwise, or
// the MQTT bridge on but disconnected for longer). Returns false.
bool health_http(uint32_t sock);
// The health object; true when the status is "ok".
bool health_json(std::string &out);
