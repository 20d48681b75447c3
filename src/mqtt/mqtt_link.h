// What the bridge's parts share: its settings and the one publish call. The
// connection itself (mqtt.cpp) is the only user of libmosquitto.
#pragma once
#include <cstddef>

constexpr int MQTT_TEXT = 64;     // a setting's value (the settings reader gives at most 62 characters)
constexpr int MQTT_TOPIC = 192;   // base or prefix (62) + node (69) + fixed parts

struct mqtt_conf {
  char host[MQTT_TEXT];   // address or name, without the port
  int port;               // 1883 unless MQTT_HOST names one
  char user[MQTT_TEXT];   // MQTT_USER; empty = anonymous
  char pass[MQTT_TEXT];   // MQTT_PASS
  char base[MQTT_TEXT];   // MQTT_BASE, "orvel"
  char cafile[MQTT_TEXT]; // MQTT_CAFILE; set = TLS
  bool discovery;         // HA_DISCOVERY, on unless "0"
  char prefix[MQTT_TEXT]; // HA_PREFIX, "homeassistant"
  char node[MQTT_TEXT];   // base with every character but [A-Za-z0-9_-] as '_': ids and discovery nodes
};
extern mqtt_conf mqtt_cfg;

// Reads the settings into mqtt_cfg; false when MQTT_HOST is absent (bridge off).
bool mqtt_conf_read();
// True while the broker has accepted the connection.
bool mqtt_online();
// Publishes at QoS 0 when online (payload "" with retain clears a retained
// message); false when offline or refused. Counts into mqtt_published_total.
bool mqtt_publish(const char *topic, const char *payload, bool retain);
// Writes "<base>/<rest>" into topic (MQTT_TOPIC bytes).
void mqtt_topic(char *topic, const char *rest);
// Publishes a problem with a message the bridge received on <base>/bridge/log.
void mqtt_log(const char *topic, const char *problem);

// Discovery (mqtt_discovery.cpp).
// Brings the hub's configs in line with the device table: clears those of
// devices gone or retyped since the last sync, publishes every current one.
void mqtt_discovery_sync();
// Publishes every config again (the hub restarted), forgetting nothing.
void mqtt_discovery_all();
// A press of `button` on device `id`: publishes its trigger config the first
// time this number is seen (and again after each reconnect).
void mqtt_discovery_button(const char *id, int button);
void mqtt_discovery_reset();

// Request/response (mqtt_request.cpp).
// Handles one message on <base>/bridge/request/command. The answer comes
// through the awaited-reply table: the device's event, "NO REPLY" after two
// ticks, or "USB REMOVED".
void mqtt_request(const char *payload, size_t len);
void mqtt_request_reset();
