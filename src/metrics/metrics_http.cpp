// /&metrics and /&health: the registry and the connection tables as
// Prometheus text (format 0.0.4) and as a health object. Everything is read
// at the time of the request; nothing here keeps state but a setting.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "auth/auth.h"
#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/version.h"
#include "devices/device_list.h"
#include "metrics/metrics.h"
#include "mqtt/mqtt.h"
#include "net/conn.h"
#include "net/http_reply.h"
#include "net/router.h"
#include "net/socket.h"
#include "radio/heard.h"
#include "radio/modems.h"

namespace {

constexpr long HEALTH_GRACE_S = 60;

const char *const DROP_LABEL[RX_DROPS] = {"length", "duplicate", "weak"};
const char *const SOURCE_LABEL[TX_SOURCES] = {"http", "raw", "cron", "mqtt", "rule"};

const char EXTRA[] = "Cache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\n";

// One metric's HELP and TYPE lines.
void head(std::string &o, const char *name, const char *type, const char *help) {
  o += "# HELP ";
  o += name;
  o += ' ';
  o += help;
  o += "\n# TYPE ";
  o += name;
  o += ' ';
  o += type;
  o += '\n';
}

// One sample; `labels` is empty or the text inside the braces.
void sample(std::string &o, const char *name, const std::string &labels, double value) {
  char num[32];
  snprintf(num, sizeof num, "%.17g", value);
  o += name;
  if (!labels.empty()) o += "{" + labels + "}";
  o += ' ';
  o += num;
  o += '\n';
}

void one(std::string &o, const char *name, const char *type, const char *help, double value) {
  head(o, name, type, help);
  sample(o, name, "", value);
}

// A counter with one label over a table of values.
void labelled(std::string &o, const char *name, const char *help, const char *label, const char *const *values,
              const uint64_t *counts, int n) {
  head(o, name, "counter", help);
  for (int i = 0; i < n; i++) sample(o, name, std::string(label) + "=\"" + values[i] + "\"", (double)counts[i]);
}

// A label value with '\\', '"' and LF escaped.
std::string label_value(const char *text) {
  std::string v;
  for (const char *p = text; *p; p++) {
    if (*p == '\\' || *p == '"') v += '\\';
    if (*p == '\n') {
      v += "\\n";
      continue;
    }
    v += *p;
  }
  return v;
}

void devices(std::string &o) {
  static const char SEEN[] = "orvel_device_last_seen_timestamp_seconds";
  static const char SIGNAL[] = "orvel_device_signal_strength_ratio";
  head(o, SEEN, "gauge", "Time of the last state report of each listed device, in seconds since 1970.");
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (dev_list[i].time[0]) sample(o, SEEN, "id=\"" + label_value(dev_list[i].id) + "\"", atof(dev_list[i].time));
  head(o, SIGNAL, "gauge", "Signal strength of the last state report of each listed device (1 = full).");
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (dev_list[i].rssi[0])
      sample(o, SIGNAL, "id=\"" + label_value(dev_list[i].id) + "\"", atof(dev_list[i].rssi) / 100.0);
}

// Requests by route label, summed over the route table's rows, in the
// order the labels were first registered.
void http_requests(std::string &o) {
  static const char NAME[] = "orvel_http_requests_total";
  head(o, NAME, "counter", "HTTP requests, by kind of route.");
  const char *labels[ROUTES_MAX];
  uint64_t sums[ROUTES_MAX];
  int n = 0;
  uint64_t count;
  for (int i = 0; const route_row *row = route_at(i, &count); i++) {
    int k = 0;
    while (k < n && strcmp(labels[k], row->label) != 0) k++;
    if (k == n) labels[n] = row->label, sums[n++] = 0;
    sums[k] += count;
  }
  for (int k = 0; k < n; k++) sample(o, NAME, std::string("route=\"") + labels[k] + "\"", (double)sums[k]);
}

// The modems worth reporting: the configured ones and one opened by hand.
bool modem_shown(int n) { return modems[n].kind != MODEM_OFF || modems[n].up; }

const char *modem_via(const modem_rec &m) { return m.kind == MODEM_USB && !m.where[0] ? "usb" : m.where; }

std::string modem_label(int n) { return "modem=\"" + std::to_string(n + 1) + "\""; }

struct modem_counter {
  const char *name, *help, *json;
  uint64_t modem_rec::*field;
};
const modem_counter MODEM_COUNTERS[] = {
    {"orvel_radio_modem_reports_received_total", "Input reports read from each modem.", "reports",
     &modem_rec::reports},
    {"orvel_radio_modem_duplicates_total", "Radio packets each modem heard after a copy had come already.",
     "duplicates", &modem_rec::duplicates},
    {"orvel_radio_modem_reports_sent_total", "Output reports written through each modem.", "sent", &modem_rec::sent},
    {"orvel_radio_modem_losses_total", "Times each modem went away.", "losses", &modem_rec::losses},
};

// Each modem's state, counters, and the signal it heard each device with in the last hour.
void modems_text(std::string &o) {
  static const char UP[] = "orvel_radio_modem_up", SIGNAL[] = "orvel_radio_modem_device_signal_ratio";
  head(o, UP, "gauge", "1 while the modem is open; `via` is its setting (usb: the first one found).");
  for (int n = 0; n < MODEM_MAX; n++)
    if (modem_shown(n))
      sample(o, UP, modem_label(n) + ",via=\"" + label_value(modem_via(modems[n])) + "\"", modems[n].up);
  for (const modem_counter &c : MODEM_COUNTERS) {
    head(o, c.name, "counter", c.help);
    for (int n = 0; n < MODEM_MAX; n++)
      if (modem_shown(n)) sample(o, c.name, modem_label(n), (double)(modems[n].*c.field));
  }
  head(o, SIGNAL, "gauge", "Best signal strength each modem heard each device with in the last hour (1 = full).");
  heard_device d;
  for (int i = 0; i < HEARD_MAX; i++) {
    if (!heard_at(i, &d)) continue;
    for (int n = 0; n < MODEM_MAX; n++)
      if (d.signal[n] != HEARD_NONE) sample(o, SIGNAL, modem_label(n) + ",id=\"" + d.id + "\"", d.signal[n] / 100.0);
  }
}

// The modems as a JSON array (see health_json).
void modems_json(std::string &o) {
  o += '[';
  heard_device d;
  for (int n = 0; n < MODEM_MAX; n++) {
    if (!modem_shown(n)) continue;
    const modem_rec &m = modems[n];
    char via[2 * MODEM_TEXT_MAX], product[2 * MODEM_PRODUCT_MAX], num[160];
    via[0] = product[0] = '\0';
    json_escape_append(via, sizeof via, modem_via(m));
    json_escape_append(product, sizeof product, m.product);
    if (o.back() != '[') o += ',';
    snprintf(num, sizeof num, "{\"modem\":%d,\"up\":%s,\"for\":%lld,", n + 1, m.up ? "true" : "false",
             (long long)((clock_mono_ms() - m.changed_ms) / 1000));
    o += num;
    o += std::string("\"via\":\"") + via + "\",\"product\":\"" + product + "\"";
    for (const modem_counter &c : MODEM_COUNTERS) o += std::string(",\"") + c.json + "\":" + std::to_string(m.*c.field);
    o += ",\"signal\":{";
    bool first = true;
    for (int i = 0; i < HEARD_MAX; i++)
      if (heard_at(i, &d) && d.signal[n] != HEARD_NONE) {
        o += std::string(first ? "\"" : ",\"") + d.id + "\":" + std::to_string(d.signal[n]);
        first = false;
      }
    o += "}}";
  }
  o += ']';
}

long health_grace() {
  static long grace = 0;
  if (!grace) {
    char value[SETTING_VALUE];
    grace = setting_get("HEALTH_GRACE", value) == 1 ? atol(value) : 0;
    if (grace <= 0) grace = HEALTH_GRACE_S;
  }
  return grace;
}

void reply(uint32_t sock, const char *status, const char *type, const std::string &body) {
  http_respond(sock, status, type, EXTRA, body.data(), body.size());
}

route_verdict metrics_route(http_req &req) {
  reply(req.sock, "200 OK", "text/plain; version=0.0.4", metrics_text());
  return ROUTE_CLOSE;
}

route_verdict health_route(http_req &req) {
  std::string body;
  bool ok = health_json(body);
  reply(req.sock, ok ? "200 OK" : "503 Service Unavailable", "application/json", body);
  return ROUTE_CLOSE;
}

}  // namespace

std::string metrics_text() {
  std::string o;
  const metrics_counters &m = metrics;
  head(o, "orvel_build_info", "gauge", "The gateway's version, as a label; always 1.");
  sample(o, "orvel_build_info", "version=\"" ORVEL_VERSION "\"", 1);
  one(o, "orvel_uptime_seconds", "gauge", "Seconds since the gateway started.", (double)metrics_uptime());
  one(o, "orvel_modem_connected", "gauge", "1 while the radio modem is connected.", metrics_modem());
  one(o, "orvel_radio_packets_received_total", "counter", "Radio packets read from the modem, dropped ones included.",
      (double)m.packets);
  labelled(o, "orvel_radio_packets_dropped_total", "Radio packets dropped before dispatch, by reason.", "reason",
           DROP_LABEL, m.dropped, RX_DROPS);
  labelled(o, "orvel_radio_commands_sent_total", "Radio commands written to the modem, by where they came from.",
           "source", SOURCE_LABEL, m.sent, TX_SOURCES);
  one(o, "orvel_radio_replies_received_total", "counter", "Dispatched radio packets that answer a command.",
      (double)m.replies);
  one(o, "orvel_radio_commands_unanswered_total", "counter", "Radio commands whose reply did not come in time.",
      (double)m.no_reply);
  http_requests(o);
  one(o, "orvel_connections_open", "gauge", "Open client connections.", conn_count());
  one(o, "orvel_listeners", "gauge", "Raw-protocol listeners.", conn_count_role(ROLE_LISTENER));
  one(o, "orvel_waits", "gauge", "HTTP requests parked for a radio reply or a long-poll event.",
      conn_count_role(ROLE_WAIT | ROLE_LONGPOLL));
  one(o, "orvel_stream_clients", "gauge", "Event stream clients.", conn_count_role(ROLE_STREAM));
  one(o, "orvel_scheduled_commands_run_total", "counter", "Scheduled commands sent (first try).", (double)m.cron_run);
  one(o, "orvel_scheduled_commands_given_up_total", "counter", "Scheduled commands given up after their last try.",
      (double)m.cron_given_up);
  one(o, "orvel_mqtt_connected", "gauge", "1 while the MQTT bridge is connected to its broker.",
      strcmp(mqtt_state(), "connected") == 0);
  one(o, "orvel_mqtt_messages_published_total", "counter", "MQTT messages published by the bridge.",
      (double)mqtt_published_total());
  devices(o);
  modems_text(o);
  return o;
}

bool health_json(std::string &out) {
  long grace = health_grace();
  const char *mqtt = mqtt_state();
  bool ok = !(!metrics_modem() && metrics_modem_down() > grace) &&
            !(strcmp(mqtt, "disconnected") == 0 && mqtt_down_seconds() > grace);
  long age = metrics_packet_age();
  char text[192];
  char age_text[24] = "null";
  if (age >= 0) snprintf(age_text, sizeof age_text, "%ld", age);
  snprintf(text, sizeof text, "{\"status\":\"%s\",\"modem\":%s,\"uptime\":%ld,\"modems\":",
           ok ? "ok" : "degraded", metrics_modem() ? "true" : "false", metrics_uptime());
  out = text;
  modems_json(out);
  snprintf(text, sizeof text, ",\"mqtt\":\"%s\",\"last_packet_age\":%s,\"auth\":\"%s\"}", mqtt, age_text,
           auth_on() ? "on" : "off");
  out += text;
  return ok;
}

void metrics_start() {
  metrics_hooks();
  route_add({"&metrics", MATCH_NAME, HTTP_GET | HTTP_POST, DOOR_TOKEN, "metrics", metrics_route});
  // Public: a service check needs no token, and health tells nothing to protect.
  route_add({"&health", MATCH_NAME, HTTP_GET | HTTP_POST, DOOR_SITE, "health", health_route});
}
