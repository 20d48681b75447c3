// The MQTT bridge's connection (see mqtt.h): settings, one libmosquitto
// client run on the gateway's own loop (no thread), the reconnect back-off,
// the routing of received messages, and the hooks the bridge registers.
//
// The client's socket sits in the loop's poll set (core/watch.h) with POLLIN,
// and POLLOUT while libmosquitto has bytes queued; mosquitto_loop_misc runs
// from the once-a-second tick. Every call into libmosquitto is followed by
// link_watch(), which keeps the watched descriptor and its events current.
// A lost or refused connection is retried after 1 s, then 2, 4, ... 30 s.
#include "mqtt/mqtt.h"

#include <malloc.h>
#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/hooks.h"
#include "core/logs.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/version.h"
#include "core/watch.h"
#include "devices/device_list.h"
#include "home/home.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_payload.h"
#include "radio/modem.h"
#include "radio/packet.h"
#include "decode/event.h"
#include "radio/transmit.h"

constexpr int MQTT_PORT_DEFAULT = 1883;
constexpr int KEEPALIVE_S = 30;
constexpr int MQTT_PACKET_MAX = 64 * 1024;  // the largest packet the bridge takes
constexpr int BACKOFF_MAX_S = 30;
constexpr int CONNECT_TIMEOUT_S = 15;  // a broker that never answers the CONNECT
constexpr int SCAN_WAIT_S = 5;         // a scan whose probe never comes back ends anyway
constexpr uint8_t CMD_SS_PRESS = 0x0F;

mqtt_conf mqtt_cfg;

enum link_state { LINK_OFF, LINK_DOWN, LINK_CONNECTING, LINK_UP };

static struct {
  mosquitto *mosq;       // the client; null while off
  link_state state;
  int fd;                // the watched descriptor, -1 when none
  int backoff;           // seconds before the next attempt after a failure, 1..30
  time_t next_try;       // LINK_DOWN: when to connect again
  time_t started;        // LINK_CONNECTING: when the attempt began
  time_t down_since;     // since when not connected
  uint64_t published;    // messages handed to the client
  bool scanning;         // reading what the broker retains for the bridge (after a connect)
  time_t scan_started;
  unsigned rooms_seen;   // room_changes() when the configs were last brought in line
} conn = {nullptr, LINK_OFF, -1, 1, 0, 0, 0, 0, false, 0, 0};

static void setting_text(const char *key, char *dst, const char *fallback) {
  char value[SETTING_VALUE];
  if (setting_get(key, value) == 1 && value[0])
    snprintf(dst, MQTT_TEXT, "%.*s", MQTT_TEXT - 1, value);
  else
    snprintf(dst, MQTT_TEXT, "%s", fallback);
}

bool mqtt_conf_read() {
  memset(&mqtt_cfg, 0, sizeof mqtt_cfg);
  char host[MQTT_TEXT];
  setting_text("MQTT_HOST", host, "");
  if (!host[0]) return false;
  // "host", "host:port", "[v6 address]" or "[v6 address]:port".
  mqtt_cfg.port = MQTT_PORT_DEFAULT;
  char *port_at = nullptr;
  if (host[0] == '[') {
    char *close = strchr(host, ']');
    if (close) {
      *close = 0;
      if (close[1] == ':') port_at = close + 2;
      memmove(host, host + 1, strlen(host + 1) + 1);
    }
  } else if (char *colon = strchr(host, ':'); colon && !strchr(colon + 1, ':')) {
    *colon = 0;
    port_at = colon + 1;
  }
  if (port_at) {
    int p = atoi(port_at);
    if (p > 0 && p < 65536) mqtt_cfg.port = p;
  }
  snprintf(mqtt_cfg.host, sizeof mqtt_cfg.host, "%s", host);
  setting_text("MQTT_USER", mqtt_cfg.user, "");
  setting_text("MQTT_PASS", mqtt_cfg.pass, "");
  setting_text("MQTT_BASE", mqtt_cfg.base, "orvel");
  setting_text("MQTT_CAFILE", mqtt_cfg.cafile, "");
  setting_text("HA_PREFIX", mqtt_cfg.prefix, "homeassistant");
  char disc[MQTT_TEXT];
  setting_text("HA_DISCOVERY", disc, "1");
  mqtt_cfg.discovery = atoi(disc) != 0;
  // Wildcards would turn the subscriptions into someone else's topics.
  if (strpbrk(mqtt_cfg.base, "+#")) {
    printf("MQTT_BASE may not hold '+' or '#': using orvel\n");
    strcpy(mqtt_cfg.base, "orvel");
  }
  if (strpbrk(mqtt_cfg.prefix, "+#")) strcpy(mqtt_cfg.prefix, "homeassistant");
  bool changed = false;
  size_t n = 0;
  uint32_t hash = 2166136261u;  // FNV-1a of the base
  for (const char *p = mqtt_cfg.base; *p && n + 1 < sizeof mqtt_cfg.legacy_node; p++, n++) {
    char c = *p;
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    mqtt_cfg.legacy_node[n] = keep ? c : '_';
    changed |= !keep;
    hash = (hash ^ (uint8_t)c) * 16777619u;
  }
  mqtt_cfg.legacy_node[n] = 0;
  if (changed)
    snprintf(mqtt_cfg.node, sizeof mqtt_cfg.node, "%s_%06x", mqtt_cfg.legacy_node, (unsigned)(hash & 0xFFFFFF));
  else
    snprintf(mqtt_cfg.node, sizeof mqtt_cfg.node, "%s", mqtt_cfg.legacy_node);
  // The dashboard: the address the gateway listens on, else this machine's name.
  char bind[MQTT_TEXT] = "", port[MQTT_TEXT];
  setting_text("BIND", bind, "");
  if (!bind[0] || !strcmp(bind, "0.0.0.0") || !strcmp(bind, "::")) gethostname(bind, sizeof bind - 1);
  setting_text("PORT", port, "2020");
  snprintf(mqtt_cfg.dashboard, sizeof mqtt_cfg.dashboard, strchr(bind, ':') ? "http://[%s]:%d/" : "http://%s:%d/", bind,
           atoi(port));
  return true;
}

bool mqtt_online() { return conn.state == LINK_UP; }

void mqtt_topic(char *topic, const char *rest) {
  // A topic too long for the buffer is cut; the broker then simply never
  // matches it, which is all a bad setting deserves.
  if (snprintf(topic, MQTT_TOPIC, "%s/%s", mqtt_cfg.base, rest) >= MQTT_TOPIC) topic[MQTT_TOPIC - 1] = 0;
}

bool mqtt_publish(const char *topic, const char *payload, bool retain, int qos) {
  if (conn.state != LINK_UP) return false;
  if (mosquitto_publish(conn.mosq, nullptr, topic, (int)strlen(payload), payload, qos, retain) != MOSQ_ERR_SUCCESS)
    return false;
  conn.published++;
  return true;
}

void mqtt_log(const char *topic, const char *problem) {
  char body[512] = "{\"topic\":\"";
  json_escape_append(body, sizeof body - 64, topic);
  strcat(body, "\",\"error\":\"");
  json_escape_append(body, sizeof body - 3, problem);
  strcat(body, "\"}");
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/log");
  mqtt_publish(t, body, false);
}

static void link_ready(int fd, short revents);

// Keeps the poll set in step with the client: its current descriptor, with
// POLLOUT while it has bytes to write. A descriptor gone while connecting or
// connected means the link was lost.
static void link_lost(const char *why);
static void link_watch() {
  // Between attempts nothing is watched (a timed-out attempt's socket is
  // closed by the next attempt).
  int fd = conn.mosq && conn.state != LINK_DOWN ? mosquitto_socket(conn.mosq) : -1;
  if (conn.fd >= 0 && fd != conn.fd) watch_clear(conn.fd);
  conn.fd = fd;
  if (fd >= 0) {
    short events = POLLIN | (mosquitto_want_write(conn.mosq) ? POLLOUT : 0);
    if (!watch_set(fd, events, link_ready)) link_lost("no room in the poll set");
  } else if (conn.state == LINK_CONNECTING || conn.state == LINK_UP) {
    link_lost("connection closed");
  }
}

static void link_lost(const char *why) {
  time_t now = time(nullptr);
  bool was_up = conn.state == LINK_UP;
  if (was_up) {
    conn.down_since = now;
    printf("MQTT disconnected: %s\n", why);
    sys_log("MQTT disconnected: %s", why);
  }
  if (conn.fd >= 0) watch_clear(conn.fd);
  conn.fd = -1;
  conn.state = LINK_DOWN;
  conn.next_try = now + conn.backoff;
  conn.backoff = conn.backoff * 2 > BACKOFF_MAX_S ? BACKOFF_MAX_S : conn.backoff * 2;
  if (was_up) hook_hub.run(false);
}

static void link_ready(int, short revents) {
  if (!conn.mosq) return;
  if (revents & (POLLIN | POLLERR | POLLHUP)) mosquitto_loop_read(conn.mosq, 1);
  if ((revents & POLLOUT) && mosquitto_socket(conn.mosq) >= 0) mosquitto_loop_write(conn.mosq, 1);
  link_watch();
}

static void link_connect(time_t now) {
  conn.state = LINK_CONNECTING;
  conn.started = now;
  // A name is resolved here, on the loop: MQTT_HOST should be an address.
  int rc = mosquitto_connect_async(conn.mosq, mqtt_cfg.host, mqtt_cfg.port, KEEPALIVE_S);
  if (rc != MOSQ_ERR_SUCCESS) {
    link_lost(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
    return;
  }
  link_watch();
}

static int device_count() {
  int n = 0;
  while (n < DEV_MAX && dev_list[n].id[0]) n++;
  return n;
}

static void info_publish() {
  char body[512];
  snprintf(body, sizeof body, "{\"version\":\"%s\",\"modem\":%s,\"product\":\"", ORVEL_VERSION_TEXT,
           usb_handle ? "true" : "false");
  json_escape_append(body, sizeof body - 32, usb_version);
  snprintf(body + strlen(body), sizeof body - strlen(body), "\",\"devices\":%d}", device_count());
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/info");
  mqtt_publish(t, body, true, 1);
}

// Six characters 0-9 a-f.
static bool id_valid(const char *s) {
  for (int i = 0; i < 6; i++)
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  return true;
}

// What the bridge reads after a connect: the retained configs under its node
// (and under each listed device's node of the layout before the node level,
// which are all left over), the retained states and availabilities under its
// base, and last its own probe, which the broker delivers after them.
static void scan_each(void (*each)(const char *topic)) {
  char t[MQTT_TOPIC];
  if (mqtt_cfg.discovery) {
    snprintf(t, sizeof t, "%s/+/%s/+/config", mqtt_cfg.prefix, mqtt_cfg.node);
    each(t);
    snprintf(t, sizeof t, "%s/+/%s_bridge/+/config", mqtt_cfg.prefix, mqtt_cfg.legacy_node);
    each(t);
    for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++) {
      snprintf(t, sizeof t, "%s/+/%s_%.6s/+/config", mqtt_cfg.prefix, mqtt_cfg.legacy_node, dev_list[i].id);
      each(t);
    }
  }
  mqtt_topic(t, "+");
  each(t);
  mqtt_topic(t, "+/availability");
  each(t);
  mqtt_topic(t, "bridge/scan");
  each(t);
}

static void scan_begin() {
  conn.scanning = true;
  conn.scan_started = time(nullptr);
  scan_each([](const char *t) { mosquitto_subscribe(conn.mosq, nullptr, t, 0); });
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/scan");
  mqtt_publish(t, "", false);
}

// The scan is over (its probe came back, or it took too long): every config
// and state is published, and what no listed device owns is cleared.
static void scan_end() {
  conn.scanning = false;
  scan_each([](const char *t) { mosquitto_unsubscribe(conn.mosq, nullptr, t); });
  conn.rooms_seen = room_changes();
  mqtt_discovery_sync(false);
}

// A retained message seen while scanning: a config, a state or an availability.
static void scan_found(const char *t) {
  size_t plen = strlen(mqtt_cfg.prefix), blen = strlen(mqtt_cfg.base), tlen = strlen(t);
  if (!strncmp(t, mqtt_cfg.prefix, plen) && t[plen] == '/' && tlen > plen + 8 && !strcmp(t + tlen - 7, "/config")) {
    char key[MQTT_TOPIC];
    snprintf(key, sizeof key, "%.*s", (int)(tlen - plen - 8), t + plen + 1);
    retained_found(RETAINED_CONFIG, key);
    char node_level[MQTT_TOPIC];
    snprintf(node_level, sizeof node_level, "device_automation/%s/", mqtt_cfg.node);
    if (str_begin(key, node_level)) mqtt_discovery_found(key + strlen(node_level));
  } else if (!strncmp(t, mqtt_cfg.base, blen) && t[blen] == '/' && id_valid(t + blen + 1) &&
             (!t[blen + 7] || !strcmp(t + blen + 7, "/availability"))) {
    retained_found(RETAINED_STATE, t + blen + 1);
  }
}

static void link_on_connect(mosquitto *, void *, int rc) {
  if (rc != 0) {
    printf("MQTT refused: %s\n", mosquitto_connack_string(rc));
    sys_log("MQTT refused: %s", mosquitto_connack_string(rc));
    return;  // the broker closes the connection: the back-off runs from there
  }
  conn.state = LINK_UP;
  conn.backoff = 1;
  hook_hub.run(true);
  printf("MQTT connected to %s:%d\n", mqtt_cfg.host, mqtt_cfg.port);
  sys_log("MQTT connected to %s:%d", mqtt_cfg.host, mqtt_cfg.port);
  retained_reset();
  // Subscribed before "online": a client that has seen "online" may command.
  char t[MQTT_TOPIC];
  mqtt_topic(t, "+/set");
  mosquitto_subscribe(conn.mosq, nullptr, t, 1);
  mqtt_topic(t, "bridge/request/command");
  mosquitto_subscribe(conn.mosq, nullptr, t, 1);
  if (mqtt_cfg.discovery) {
    snprintf(t, sizeof t, "%s/status", mqtt_cfg.prefix);
    mosquitto_subscribe(conn.mosq, nullptr, t, 1);
  }
  mqtt_topic(t, "bridge/state");
  mqtt_publish(t, "online", true, 1);
  info_publish();
  scan_begin();
}

static void link_on_disconnect(mosquitto *, void *, int rc) {
  link_lost(rc == 0 ? "closed" : mosquitto_strerror(rc));
}

static void set_handle(const char *topic, const char *id, const char *payload, size_t len) {
  char cmds[SET_CMDS_MAX][SET_CMD_SIZE];
  const char *why = "";
  int i = device_list_find(id);
  int n = mqtt_set_parse(payload, len, id, cmds, &why, i >= 0 ? dev_list[i].level_on : 0);
  if (n == 0) mqtt_log(topic, why);
  mqtt_set_send(topic, cmds, n);
}

static void link_on_message(mosquitto *, void *, const mosquitto_message *m) {
  const char *payload = m->payload ? (const char *)m->payload : "";
  size_t len = m->payloadlen > 0 ? (size_t)m->payloadlen : 0;
  const char *t = m->topic;
  size_t plen = strlen(mqtt_cfg.prefix), blen = strlen(mqtt_cfg.base);
  bool own = !strncmp(t, mqtt_cfg.base, blen) && t[blen] == '/';
  if (conn.scanning && own && !strcmp(t + blen + 1, "bridge/scan")) return scan_end();
  if (conn.scanning && m->retain && len) scan_found(t);
  if (mqtt_cfg.discovery && !strncmp(t, mqtt_cfg.prefix, plen) && !strcmp(t + plen, "/status")) {
    // The hub (re)started: every config again (a scan publishes them anyway).
    if (len == 6 && !memcmp(payload, "online", 6) && !conn.scanning) mqtt_discovery_sync(true);
    return;
  }
  if (!own) return;
  const char *rest = t + blen + 1;
  bool request = !strcmp(rest, "bridge/request/command");
  bool set = strlen(rest) == 10 && !strcmp(rest + 6, "/set") && id_valid(rest);
  if (!request && !set) return;
  // A command left retained on the broker would be sent again at every
  // connect: a light switched off since would come back on.
  if (m->retain) return mqtt_log(t, "a retained command is ignored");
  if (len > MQTT_PACKET_MAX) return mqtt_log(t, "a message longer than 64 KiB is ignored");
  if (request)
    mqtt_request(payload, len);
  else {
    char id[7];
    memcpy(id, rest, 6);
    id[6] = 0;
    set_handle(t, id, payload, len);
  }
}

static void mqtt_tick(time_t);
static void mqtt_packet(const packet_view &p);
static void mqtt_device(int index);
static void mqtt_devices_loaded(int);
static void mqtt_usb(bool connected);
static void mqtt_reach(const char *id, bool reachable);

void mqtt_start() {
  if (!mqtt_conf_read()) return;
  hook_packet.add(mqtt_packet);
  hook_device.add(mqtt_device);
  hook_devices_loaded.add(mqtt_devices_loaded);
  hook_usb.add(mqtt_usb);
  hook_reach.add(mqtt_reach);
  hook_tick.add(mqtt_tick);
  mosquitto_lib_init();
  char client_id[MQTT_TEXT + 24];
  snprintf(client_id, sizeof client_id, "orvel-%s-%d", mqtt_cfg.node, (int)getpid());
  conn.mosq = mosquitto_new(client_id, true, nullptr);
  if (!conn.mosq) {
    printf("MQTT: no client (%s)\n", strerror(errno));
    return;
  }
  mosquitto_threaded_set(conn.mosq, false);
  // The client library holds each incoming message whole: a huge one is
  // dropped below, and with this its memory goes back to the system at once
  // (large blocks are mapped and unmapped instead of kept in the heap).
  mallopt(M_MMAP_THRESHOLD, MQTT_PACKET_MAX);
  if (mqtt_cfg.user[0]) mosquitto_username_pw_set(conn.mosq, mqtt_cfg.user, mqtt_cfg.pass[0] ? mqtt_cfg.pass : nullptr);
  char t[MQTT_TOPIC];
  mqtt_topic(t, "bridge/state");
  mosquitto_will_set(conn.mosq, t, 7, "offline", 1, true);  // QoS 1, retained
  if (mqtt_cfg.cafile[0]) {
    int rc = mosquitto_tls_set(conn.mosq, mqtt_cfg.cafile, nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) printf("MQTT_CAFILE %s: %s\n", mqtt_cfg.cafile, mosquitto_strerror(rc));
  }
  mosquitto_connect_callback_set(conn.mosq, link_on_connect);
  mosquitto_disconnect_callback_set(conn.mosq, link_on_disconnect);
  mosquitto_message_callback_set(conn.mosq, link_on_message);
  conn.state = LINK_DOWN;
  conn.down_since = time(nullptr);
  conn.next_try = 0;
  printf("MQTT broker %s:%d, base %s\n", mqtt_cfg.host, mqtt_cfg.port, mqtt_cfg.base);
}

void mqtt_reset() {
  if (conn.mosq) mosquitto_destroy(conn.mosq);
  conn = {nullptr, LINK_OFF, -1, 1, 0, 0, 0, 0, false, 0, 0};
  mqtt_request_reset();
  mqtt_discovery_reset();
  retained_reset();
}

const char *mqtt_state() {
  if (conn.state == LINK_OFF) return "off";
  return conn.state == LINK_UP ? "connected" : "disconnected";
}

long mqtt_down_seconds() {
  if (conn.state == LINK_OFF || conn.state == LINK_UP) return 0;
  return (long)(time(nullptr) - conn.down_since);
}

uint64_t mqtt_published_total() { return conn.published; }

bool mqtt_scanning() { return conn.scanning; }

static void mqtt_tick(time_t) {
  if (conn.state == LINK_OFF) return;
  time_t now = time(nullptr);
  if (conn.state == LINK_DOWN && now >= conn.next_try) {
    link_connect(now);
  } else if (conn.state == LINK_CONNECTING && now - conn.started > CONNECT_TIMEOUT_S) {
    link_lost("no answer from the broker");
  }
  if (conn.state == LINK_UP && conn.scanning && now - conn.scan_started > SCAN_WAIT_S) scan_end();
  if (conn.state == LINK_UP && !conn.scanning && conn.rooms_seen != room_changes()) {
    conn.rooms_seen = room_changes();  // a room is a device's suggested area
    mqtt_discovery_sync(false);
  }
  if (conn.state != LINK_DOWN) mosquitto_loop_misc(conn.mosq);
  link_watch();
}

// Whether retained messages may be published now.
static bool ready() { return conn.state == LINK_UP && !conn.scanning; }

static void mqtt_packet(const packet_view &p) {
  const uint8_t *packet = p.bytes;
  if (conn.state != LINK_UP) return;
  char t[MQTT_TOPIC];
  mqtt_topic(t, "event");
  mqtt_publish(t, p.event, false);
  if (packet[PK_CMD] == CMD_SS_PRESS && packet[PK_LEN] > PK_DATA) {
    char id[7], rest[24], press[16];
    sprint_hex(id, packet + PK_ID1, 3);
    snprintf(rest, sizeof rest, "%s/action", id);
    snprintf(press, sizeof press, "press_%d", packet[PK_DATA]);
    mqtt_topic(t, rest);
    mqtt_publish(t, press, false);
    int i = device_list_find(id);
    if (i >= 0 && ready() && !strcmp(dev_list[i].type, "btn")) {
      // A button's state is only when and how well it was last heard.
      char body[64];
      snprintf(body, sizeof body, "{\"rssi\":%d,\"last_seen\":%ld}", (int)g_rssi_i, (long)time(nullptr));
      retained_put(RETAINED_STATE, id, body, 0);
      mqtt_discovery_button(i, packet[PK_DATA]);
    }
  }
  link_watch();
}

static void mqtt_device(int index) {
  if (!ready() || index < 0 || index >= DEV_MAX) return;
  mqtt_discovery_state(index);
  mqtt_discovery_device(index);  // a status report may have told its version
  link_watch();
}

static void mqtt_reach(const char *id, bool) {
  if (!ready()) return;
  for (int i = 0; i < DEV_MAX && dev_list[i].id[0]; i++)
    if (!strcmp(dev_list[i].id, id)) mqtt_discovery_state(i);
  link_watch();
}

static void mqtt_devices_loaded(int) {
  if (conn.state != LINK_UP) return;
  info_publish();
  if (!conn.scanning) mqtt_discovery_sync(false);
  link_watch();
}

static void mqtt_usb(bool) {
  if (conn.state == LINK_OFF) return;
  info_publish();
  link_watch();
}
